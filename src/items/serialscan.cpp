#include "app/mainwindow.h"

void MainWindow::acquireSerials(QString dir)
{
    Q_UNUSED(dir);
}
