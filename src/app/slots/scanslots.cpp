// The window's item scan members: the engine scans, the window shows how far it is.
#include "app/mainwindow.h"

#include <QStatusBar>

#include "app/windowprogress.h"
#include "items/itemscans.h"

void MainWindow::acquireSerials(QString dir)
{
    WindowProgress progress(statusBar(), progressBar);
    items::acquireSerials(*this, dir, progress);
}

void MainWindow::getSerials(QString name, int owner)
{
    WindowProgress progress(statusBar(), progressBar);
    items::getSerials(*this, name, owner, progress);
}
