// The window's transfer command: the engine decides and writes, the window shows its boxes
// and the wait cursor, and lets its events run between the steps.
#include "app/mainwindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTreeWidget>

#include <optional>

#include "app/windowprogress.h"
#include "engine/transferrun.h"

namespace {

// The steps of a transfer run as the window's own members, so that a subclass that
// overrides one sees it called at its moment.
class WindowSteps : public engine::TransferSteps
{
public:
    WindowSteps(MainWindow *window, engine::Progress &progress)
        : engine::TransferSteps(progress)
        , m_window(window)
    { }

    void acquireSerials(engine::Session &, const QString &dir) override
    {
        m_window->acquireSerials(dir);
    }
    void getSerials(engine::Session &, const QString &dir, int owner) override
    {
        m_window->getSerials(dir, owner);
    }
    void copyCharacter(engine::Session &, int owner, int offset, int account, const QString &input,
            const QString &output) override
    {
        m_window->transferChar(owner, offset, account, input, output);
    }
    void copyItems(engine::Session &, int owner, int account, const QString &output) override
    {
        m_window->transferChar(owner, account, output);
    }
    void reload(engine::Session &, const QString &dir) override { m_window->fileDestination(dir); }
    // The status messages and the progress bar repaint; clicks are delivered too, which
    // the running transfer ignores.
    void pause() override { QCoreApplication::processEvents(); }
    void busy(bool on) override
    {
        if (on) {
            // Choosing another world in the middle would swap the world under the running
            // transfer.
            if (!m_sourceButton) {
                m_sourceButton.emplace(m_window->pushButton2);
                m_destButton.emplace(m_window->pushButton3);
            }
            QApplication::setOverrideCursor(Qt::WaitCursor);
        } else {
            QApplication::restoreOverrideCursor();
        }
    }
    void warn(const engine::Refusal &refusal) override
    {
        QMessageBox::warning(m_window, refusal.caption, refusal.text, QMessageBox::Ok);
    }

private:
    MainWindow *m_window;
    std::optional<QSignalBlocker> m_sourceButton;
    std::optional<QSignalBlocker> m_destButton;
};

// Selects the character just transferred in the reloaded destination tree and scrolls to
// it, so the user sees where it went.
void showTransferred(QTreeWidget *view, const QString &accountName, const QString &name)
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *accountItem = view->topLevelItem(i);
        if (accountItem->text(0) != accountName)
            continue;
        for (int c = 0; c < accountItem->childCount(); ++c) {
            QTreeWidgetItem *child = accountItem->child(c);
            if (child->text(1) == name) {
                view->setCurrentItem(child);
                view->scrollToItem(child);
                return;
            }
        }
    }
}

} // namespace

// The arrow: copies the character selected on the source side into the account selected on
// the destination side, or says why not. The destination is only appended to, and only
// after every check passed; if any write fails, both destination files are put back.
void MainWindow::fileTransfer()
{
    // The event processing between the steps delivers clicks; a transfer started from one
    // would renumber with the counters of the transfer that is still running.
    if (transferRunning)
        return;

    QTreeWidgetItem *sourceItem = listView1->selectedItems().value(0);
    QTreeWidgetItem *destItem = listView2->selectedItems().value(0);
    if (!sourceItem || !destItem || !sourceItem->parent()) {
        const engine::Refusal refusal = engine::selectionIncomplete();
        QMessageBox::warning(this, refusal.caption, refusal.text, QMessageBox::Ok);
        return;
    }
    // The tree texts are the only link back to the index.
    QTreeWidgetItem *accountItem = destItem->parent() ? destItem->parent() : destItem;
    const engine::TransferRequest request{ sourceItem->parent()->text(0), sourceItem->text(1),
        accountItem->text(0) };

    WindowProgress progress(statusBar(), progressBar);
    WindowSteps steps(this, progress);
    const engine::TransferOutcome outcome = engine::runTransfer(*this, request, steps);
    if (outcome.result == engine::TransferResult::Done) {
        showTransferred(listView2, request.destAccount, request.character);
        settleProgress();
    }
}
