#include "app/mainwindow.h"

#include <QFile>
#include <QHash>
#include <QProgressBar>
#include <QStatusBar>
#include <QTreeWidget>

#include <algorithm>
#include <climits>

#include "world/characterrecords.h"
#include "world/filestamp.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

// Reads the world's ztpcs.wsc: every record that names a character, an account and a
// serial enters `character` under its account number and hangs a character item under
// that account's item in `view`. For the destination it also finds the highest record
// number and serial in use, notes what the file looked like, and whether it ends inside
// a record.
void MainWindow::processChar(QString name, QTreeWidget *view, QMap<int, QString> *account,
        QMap<int, QList<char_st>> *character, bool dest)
{
    if (dest) {
        destCharsCutOff = false;
        destCharsReadError.clear();
        destCharsHighestSection = INT_MIN;
        destCharsHighestSerial = INT_MIN;
    }
    QFile file(world::filePath(name, world::charactersFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        if (dest)
            destCharsStamp = FileStamp();
        return;
    }
    const qint64 size = file.size();
    if (dest) {
        destCharsStamp = world::stampOf(file);
        maxCharSerial = 0;
        maxCharSection = -1;
    }
    const world::ProgressScale progress(size);
    progressBar->reset();
    progressBar->setRange(0, progress.total());
    statusBar()->showMessage(QStringLiteral("Processing ztpcs.wsc"));

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
    // Per account number met in the file: its characters so far and the item they hang
    // under. A hash costs one lookup per character; the ordered map is filled at the end.
    struct AccountEntry
    {
        QList<char_st> characters;
        QTreeWidgetItem *item = nullptr;
    };
    QHash<int, AccountEntry> byAccount;

    const auto addCharacter = [&](int accountNumber, const QString &characterName, int serial,
                                      int offset) {
        auto entry = byAccount.find(accountNumber);
        if (entry == byAccount.end()) {
            const auto accountName = account->constFind(accountNumber);
            // An account number without an account record has no item to hang under: the
            // character stays in the map but not in the tree.
            QTreeWidgetItem *item = accountName == account->cend()
                    ? nullptr
                    : itemByName.value(accountName.value());
            entry = byAccount.insert(accountNumber, AccountEntry{ {}, item });
        }
        entry->characters.append(char_st{ characterName, serial, offset });
        if (entry->item) {
            // Column 0 stays empty (no text at all, which also makes siblings cheap to sort).
            auto *child = new QTreeWidgetItem;
            child->setText(1, characterName);
            entry->item->addChild(child);
        }
    };

    world::LineReader reader(&file);
    // A file that grows while it is read is read as it was when it was opened (and as the
    // stamp above describes it).
    if (!file.isSequential())
        reader.setLimit(size);
    world::ProgressThrottle throttle(size);
    world::CharacterFileFacts facts;
    world::readCharacters(
            reader, &facts,
            [&](const world::CharacterFound &found) {
                // Offsets are ints; a record beyond 2 GiB gets -1 rather than a wrapped
                // position that would point into some other record.
                addCharacter(found.account, found.name, found.serial,
                        found.offset <= INT_MAX ? int(found.offset) : -1);
            },
            [&](qint64 pos) {
                if (throttle.due(pos))
                    progressBar->setValue(progress.value(pos));
            });
    if (dest) {
        maxCharSection = facts.maxSection;
        maxCharSerial = facts.maxSerial;
        destCharsCutOff = facts.cutOff;
        destCharsHighestSection = facts.highestSection;
        destCharsHighestSerial = facts.highestSerial;
    }
    // A read error ends the pass like the end of the file would; the counters then stop
    // short of what the file holds.
    if (dest && !reader.errorString().isEmpty()) {
        destCharsReadError =
                QStringLiteral("Could not read %1: %2.").arg(file.fileName(), reader.errorString());
    }
    file.close();

    QList<int> numbers = byAccount.keys();
    std::sort(numbers.begin(), numbers.end());
    for (const int number : std::as_const(numbers)) {
        QList<char_st> &found = byAccount[number].characters;
        // The map keeps this list: without the room it grew for more characters.
        found.squeeze();
        auto listed = character->find(number);
        if (listed == character->end())
            character->insert(number, found);
        else
            listed->append(found);
    }

    view->addTopLevelItems(accountItems);
    // Expanding needs the items in the view; they are back at the rows they had.
    for (int row = 0; row < accountItems.size(); ++row) {
        if (accountItems.at(row)->childCount() > 0)
            view->expand(view->model()->index(row, 0));
    }
    view->setSortingEnabled(sorting);

    progressBar->reset();
    statusBar()->showMessage(QStringLiteral("Ready"));
}
