#include "app/mainwindow.h"

void MainWindow::transferChar(int owner, int transfer, QString output)
{
    Q_UNUSED(owner);
    Q_UNUSED(transfer);
    Q_UNUSED(output);
}
