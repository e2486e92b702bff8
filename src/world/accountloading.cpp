#include "app/mainwindow.h"

void MainWindow::processFile(QString name, QTreeWidget *view, QMap<int, QString> *account,
                             QMap<int, QList<char_st>> *character, bool dest)
{
    Q_UNUSED(view);
    Q_UNUSED(account);
    processChar(name, view, account, character, dest);
}
