#include "app/mainwindow.h"
#include "world/worldformat.h"

// Every reader cuts comments the same way: at the first "//", keeping what stands before.
QString MainWindow::stripComment(QString input)
{
    return world::stripComment(input);
}
