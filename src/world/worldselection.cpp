#include "app/mainwindow.h"

void MainWindow::fileSource() { }

void MainWindow::fileDestination() { }

void MainWindow::fileDestination(QString dir)
{
    Q_UNUSED(dir);
}
