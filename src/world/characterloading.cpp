#include "app/mainwindow.h"

void MainWindow::processChar(QString name, QTreeWidget *view, QMap<int, QString> *account,
                             QMap<int, QList<char_st>> *character, bool dest)
{
    Q_UNUSED(name);
    Q_UNUSED(view);
    Q_UNUSED(account);
    Q_UNUSED(character);
    Q_UNUSED(dest);
}
