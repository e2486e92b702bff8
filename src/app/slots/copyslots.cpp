// The window's two copy slots: the engine writes, the window shows how far it is.
#include "app/mainwindow.h"

#include <QStatusBar>

#include "app/windowprogress.h"
#include "transfer/copies.h"

void MainWindow::transferChar(int owner, int offset, int transfer, QString input, QString output)
{
    Q_UNUSED(owner);
    WindowProgress progress(statusBar(), progressBar);
    transfer::copyCharacter(*this, offset, transfer, input, output, progress);
}

void MainWindow::transferChar(int owner, int transfer, QString output)
{
    Q_UNUSED(transfer);
    WindowProgress progress(statusBar(), progressBar);
    transfer::copyItems(*this, owner, output, progress);
}
