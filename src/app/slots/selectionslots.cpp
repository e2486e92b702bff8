// The window's world selection slots: the directory choosers and what a load shows.
#include "app/mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTreeWidget>

#include "transfer/journal.h"
#include "world/worldloading.h"

namespace {

// Asks for an existing directory; empty when the user cancels. Built by hand rather than
// with QFileDialog::getExistingDirectory so that it carries an object name.
QString chooseWorldDirectory(QWidget *parent, const QString &caption)
{
    QFileDialog dialog(parent, caption);
    dialog.setObjectName(QStringLiteral("Source Dialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

} // namespace

void MainWindow::showWorldPath(QGroupBox *group, const QString &dir)
{
    // The group is as wide as its tree and button need; the whole path is in the tooltip.
    group->setMinimumWidth(0);
    group->setTitle(QString());
    group->setMinimumWidth(group->minimumSizeHint().width());
    group->setTitle(dir);
    group->setToolTip(dir);
}

// A transfer that was interrupted left its journal in the world: it is undone, or the user
// is told why it cannot be, before the world is read. A reload inside a running transfer
// leaves its own journal alone.
void MainWindow::recoverInterruptedTransfer(const QString &dir)
{
    if (transferRunning)
        return;
    const transfer::Recovery recovery = transfer::recoverWorld(dir);
    if (recovery.result == transfer::RecoveryResult::InProgress) {
        // Another program is transferring into the world; its journal is left alone.
        QMessageBox::warning(this, QStringLiteral("World Busy"), recovery.message, QMessageBox::Ok);
    } else if (recovery.result != transfer::RecoveryResult::None) {
        QMessageBox::warning(
                this, QStringLiteral("Interrupted Transfer"), recovery.message, QMessageBox::Ok);
    }
}

void MainWindow::settleProgress()
{
    if (progressBar->minimum() == 0 && progressBar->maximum() == 0) {
        progressBar->setRange(0, 1);
        progressBar->reset();
    }
}

// Asks for the source world and loads it into the left side. The destination side, the
// counters and the item maps stay as they are.
void MainWindow::fileSource()
{
    const QString dir =
            chooseWorldDirectory(this, QStringLiteral("Select directory containing source world"));
    if (dir.isEmpty())
        return;
    recoverInterruptedTransfer(dir);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QApplication::restoreOverrideCursor(); });

    listView1->clear();
    sourceAccounts.clear();
    sourceChars.clear();
    processFile(dir, listView1, &sourceAccounts, &sourceChars, false);
    showWorldPath(groupBox1, dir);
    sourceDir = dir;
    settleProgress();
}

void MainWindow::fileDestination()
{
    fileDestination(
            chooseWorldDirectory(this, QStringLiteral("Select directory containing target world")));
}

// Loads `dir` as the destination world: the right side, its counters and the maps of the
// last transfer all start again from what the files hold. An empty path changes nothing.
void MainWindow::fileDestination(QString dir)
{
    if (dir.isEmpty())
        return;
    recoverInterruptedTransfer(dir);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QApplication::restoreOverrideCursor(); });

    listView2->clear();
    world::resetDestination(*this);
    processFile(dir, listView2, &destAccounts, &destChars, true);
    showWorldPath(groupBox2, dir);
    destDir = dir;
    settleProgress();
}
