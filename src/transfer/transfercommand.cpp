#include "app/mainwindow.h"

void MainWindow::fileTransfer() { }
