#include "app/mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QScopeGuard>
#include <QTreeWidget>

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

// Asks for the source world and loads it into the left side. The destination side, the
// counters and the item maps stay as they are.
void MainWindow::fileSource()
{
    const QString dir =
            chooseWorldDirectory(this, QStringLiteral("Select directory containing source world"));
    if (dir.isEmpty())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QApplication::restoreOverrideCursor(); });

    listView1->clear();
    sourceAccounts.clear();
    sourceChars.clear();
    processFile(dir, listView1, &sourceAccounts, &sourceChars, false);
    groupBox1->setTitle(dir);
    sourceDir = dir;
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
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QApplication::restoreOverrideCursor(); });

    destAccounts.clear();
    destChars.clear();
    listView2->clear();
    serialMap.clear();
    containerMap.clear();
    moreMap.clear();
    maxItemSerial = 0;
    maxCharSerial = 0;
    maxCharSection = 0;
    maxItemSection = 0;
    // Until the characters file is read nothing is known about it; a world without an
    // accounts file never reads it.
    destCharsCutOff = false;
    destCharsStamp = FileStamp();
    destCharsReadError.clear();
    processFile(dir, listView2, &destAccounts, &destChars, true);
    groupBox2->setTitle(dir);
    destDir = dir;
}
