#include "app/mainwindow.h"

#include <QFile>
#include <QProgressBar>
#include <QStatusBar>
#include <QTreeWidget>

#include "world/filestamp.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

// Reads the world's accounts.adm into `view` (one top-level item per account record with a
// NAME line) and `account` (record number to name), then reads its characters. A world
// without a readable accounts file stays empty and its characters file is not read.
void MainWindow::processFile(QString name, QTreeWidget *view, QMap<int, QString> *account,
        QMap<int, QList<char_st>> *character, bool dest)
{
#ifdef __GLIBC__
    // A reload comes here right after the old tree was cleared: its hundred thousand small
    // blocks go back to the system before the new tree is built, which keeps the peak down.
    malloc_trim(0);
#endif
    QFile file(world::filePath(name, world::accountsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        if (dest)
            destAccountsStamp = FileStamp();
        return;
    }
    if (dest)
        destAccountsStamp = world::stampOf(file);
    const qint64 size = file.size();
    const world::ProgressScale progress(size);
    progressBar->reset();
    progressBar->setRange(0, progress.total());
    statusBar()->showMessage(QStringLiteral("Processing accounts.adm"));

    QList<QTreeWidgetItem *> items;
    world::LineReader reader(&file);
    // A file that grows while it is read is read as it was when it was opened.
    if (!file.isSequential())
        reader.setLimit(size);
    world::ProgressThrottle throttle(size);
    while (!reader.atEnd()) {
        if (throttle.due(reader.pos()))
            progressBar->setValue(progress.value(reader.pos()));
        reader.readLine();
        world::ConditionedLine line = world::ConditionedLine::forLoader(reader.line());
        if (!line.keyIs("SECTION"))
            continue;
        const int number = world::toNumber(line.word(2));

        // Everything up to a bare "{" is skipped, further headers included. The loaders
        // simplify before they cut comments, so "{ // x" is not a brace here.
        while (!reader.atEnd() && !line.is("{")) {
            reader.readLine();
            line = world::ConditionedLine::forLoader(reader.line());
        }
        if (reader.atEnd())
            continue;

        // The body, up to its "}" or its first NAME line. The file's last line is never
        // examined: reaching the end returns to the top-level loop, which then stops.
        for (;;) {
            if (line.is("}"))
                break;
            if (line.keyIs("NAME")) {
                // Only word 1 names the account; the rest of the record is read as
                // top-level lines and ignored.
                const QString accountName = world::decode(line.word(1));
                account->insert(number, accountName);
                auto *item = new QTreeWidgetItem;
                item->setText(0, accountName);
                items.append(item);
                break;
            }
            reader.readLine();
            line = world::ConditionedLine::forLoader(reader.line());
            if (reader.atEnd())
                break;
        }
    }
    file.close();
    progressBar->reset();
    statusBar()->clearMessage();

    // A sorted view would sort again at every insertion; fill it unsorted in one batch and
    // sort once, after the characters are in, by the column and order its header shows.
    const bool sorting = view->isSortingEnabled();
    view->setSortingEnabled(false);
    view->addTopLevelItems(items);
    processChar(name, view, account, character, dest);
    view->setSortingEnabled(sorting);
}
