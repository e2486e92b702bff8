#include "app/mainwindow.h"

void MainWindow::transferChar(int owner, int offset, int transfer, QString input, QString output)
{
    Q_UNUSED(owner);
    Q_UNUSED(offset);
    Q_UNUSED(transfer);
    Q_UNUSED(input);
    Q_UNUSED(output);
}
