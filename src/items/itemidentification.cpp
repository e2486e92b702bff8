#include "app/mainwindow.h"

void MainWindow::getSerials(QString name, int owner)
{
    Q_UNUSED(name);
    Q_UNUSED(owner);
}
