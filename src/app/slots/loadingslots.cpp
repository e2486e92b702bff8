// The window's loading slots: the engine reads the world, the window shows it.
#include "app/mainwindow.h"

#include <QHash>
#include <QStatusBar>
#include <QTreeWidget>

#include <algorithm>

#include "app/windowprogress.h"
#include "world/worldformat.h"
#include "world/worldloading.h"

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
    WindowProgress progress(statusBar(), progressBar);
    QList<QString> names;
    if (!world::loadAccounts(*this, name, account, dest, progress, &names))
        return;

    QList<QTreeWidgetItem *> items;
    items.reserve(names.size());
    for (const QString &accountName : std::as_const(names)) {
        auto *item = new QTreeWidgetItem;
        item->setText(0, accountName);
        items.append(item);
    }
    // A sorted view would sort again at every insertion; fill it unsorted in one batch and
    // sort once, after the characters are in, by the column and order its header shows.
    const bool sorting = view->isSortingEnabled();
    view->setSortingEnabled(false);
    view->addTopLevelItems(items);
    processChar(name, view, account, character, dest);
    view->setSortingEnabled(sorting);
}

// Reads the world's ztpcs.wsc into `character` and hangs a character item under its
// account's item in `view`.
void MainWindow::processChar(QString name, QTreeWidget *view, QMap<int, QString> *account,
        QMap<int, QList<char_st>> *character, bool dest)
{
    // Characters are hung on the account items while those are out of the view, so that
    // adding 100,000 children costs no model bookkeeping; they go back in one batch.
    const bool sorting = view->isSortingEnabled();
    view->setSortingEnabled(false);
    const QList<QTreeWidgetItem *> accountItems = view->invisibleRootItem()->takeChildren();
    // A character goes under the first item, in the view's order, that carries its
    // account's name.
    QHash<QString, QTreeWidgetItem *> itemByName;
    itemByName.reserve(accountItems.size());
    for (auto it = accountItems.crbegin(); it != accountItems.crend(); ++it)
        itemByName.insert((*it)->text(0), *it);
    // The item each account number met in the file hangs its characters under.
    QHash<int, QTreeWidgetItem *> itemByAccount;
    // Items whose names hold bytes of 0x80 and above: decoded once the file's encoding is
    // known.
    QList<QTreeWidgetItem *> undecoded;

    WindowProgress progress(statusBar(), progressBar);
    world::loadCharacters(*this, name, character, dest, progress,
            [&](int accountNumber, const QString &characterName) {
                auto entry = itemByAccount.find(accountNumber);
                if (entry == itemByAccount.end()) {
                    const auto accountName = account->constFind(accountNumber);
                    // An account number without an account record has no item to hang
                    // under: the character stays in the map but not in the tree.
                    entry = itemByAccount.insert(accountNumber,
                            accountName == account->cend() ? nullptr
                                                           : itemByName.value(accountName.value()));
                }
                if (*entry) {
                    // Column 0 stays empty (no text at all, which also makes siblings
                    // cheap to sort).
                    auto *child = new QTreeWidgetItem;
                    child->setText(1, characterName);
                    (*entry)->addChild(child);
                    if (std::any_of(characterName.cbegin(), characterName.cend(),
                                [](QChar c) { return c.unicode() >= 0x80; }))
                        undecoded.append(child);
                }
            });
    const world::TextEncoding encoding = dest ? destCharsEncoding : sourceCharsEncoding;
    for (QTreeWidgetItem *child : std::as_const(undecoded))
        child->setText(1, world::decodeText(child->text(1), encoding));

    view->addTopLevelItems(accountItems);
    // Expanding needs the items in the view; they are back at the rows they had.
    for (int row = 0; row < accountItems.size(); ++row) {
        if (accountItems.at(row)->childCount() > 0)
            view->expand(view->model()->index(row, 0));
    }
    view->setSortingEnabled(sorting);
}

// Every reader cuts comments the same way: at the first "//", keeping what stands before.
QString MainWindow::stripComment(QString input)
{
    return world::stripComment(input);
}
