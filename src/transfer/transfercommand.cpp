#include "app/mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QStringList>
#include <QTreeWidget>

#include "transfer/composition.h"
#include "transfer/transferchecks.h"
#include "transfer/transferstep.h"
#include "transfer/verification.h"
#include "world/filestamp.h"
#include "world/worldformat.h"

#include <climits>

namespace {

// An account holds at most this many characters.
constexpr int AccountLimit = 5;

struct Refusal
{
    QString caption;
    QString text;
    bool isEmpty() const { return caption.isEmpty(); }
};

void warn(MainWindow *window, const Refusal &refusal)
{
    QMessageBox::warning(window, refusal.caption, refusal.text, QMessageBox::Ok);
}

Refusal worldChanged(const QString &path, bool source, const QString &name)
{
    if (source) {
        return { QStringLiteral("World Changed"),
            QStringLiteral("The source world's characters file %1 has changed since the "
                           "source world was loaded: the character \"%2\" is no longer "
                           "where it was found. Nothing was written.\n\nSelect the source "
                           "world again, then repeat the transfer.")
                    .arg(path, name) };
    }
    return { QStringLiteral("World Changed"),
        QStringLiteral("The destination world's characters file %1 has changed since the "
                       "destination world was loaded, so the numbers for the new character "
                       "may already be taken. Nothing was written.\n\nSelect the destination "
                       "world again, then repeat the transfer.")
                .arg(path) };
}

Refusal accountsChanged(const QString &path)
{
    return { QStringLiteral("World Changed"),
        QStringLiteral("The destination world's accounts file %1 has changed since the "
                       "destination world was loaded, so the account chosen for the "
                       "character may no longer be the one shown. Nothing was written.\n\n"
                       "Select the destination world again, then repeat the transfer.")
                .arg(path) };
}

// The copy of a record that would not read back as the character and its items.
Refusal damagedSource(const QString &name, const transfer::Problem &problem)
{
    return { QStringLiteral("Damaged World"),
        QStringLiteral("The character \"%1\" cannot be copied as the source world holds it: "
                       "%2, line %3: %4. Nothing was written.\n\n%5 Then select the source "
                       "world again and repeat the transfer.")
                .arg(name, problem.path)
                .arg(problem.line)
                .arg(problem.what, problem.repair) };
}

Refusal cutOff(const QString &path)
{
    return { QStringLiteral("Damaged World"),
        QStringLiteral("The destination file %1 looks cut off: it ends inside a record "
                       "that never reaches its closing brace, as after a crash during a "
                       "save. Anything appended now would become part of that record. "
                       "Nothing was written.\n\nRepair %1 first (complete or remove its "
                       "last record), then select the destination world again.")
                .arg(path) };
}

// A pass that met a read error saw only part of its file.
Refusal readError(const QString &failure)
{
    return { QStringLiteral("Read Error"),
        QStringLiteral("%1 Nothing was written.\n\nCheck the disk that holds the world, then "
                       "select the world again and repeat the transfer.")
                .arg(failure) };
}

Refusal outOfNumbers(const QString &what)
{
    return { QStringLiteral("Serial Limit"),
        QStringLiteral("The destination world has run out of %1: the transfer would need "
                       "numbers above 2147483647, the largest a world file can hold. "
                       "Nothing was written.\n\nTransfer the character into another "
                       "world.")
                .arg(what) };
}

// Composes what the transfer would append, reads it back as the loader and the scans
// would, and keeps it for the writers; or says why it must not be written.
Refusal prepareTransfer(MainWindow *window, const char_st &character, int account,
        const QString &sourceCharsPath, const QString &sourceItemsPath,
        const transfer::ItemsTaken &taken)
{
    QFile source(sourceCharsPath);
    if (!source.open(QIODevice::ReadOnly)) {
        return readError(QStringLiteral("Could not read %1: %2.")
                                 .arg(sourceCharsPath, source.errorString()));
    }
    const transfer::CharacterNumbers numbers{ window->maxCharSection + 1, window->maxCharSerial + 1,
        account };
    // Only what the source held when the copy began is read: when source and destination
    // are the same file, the copy must not run on into its own output.
    const transfer::CharacterText copy =
            transfer::composeCharacter(&source, character.offset, source.size(), numbers);
    if (!copy.readError.isEmpty())
        return readError(
                QStringLiteral("Could not read %1: %2.").arg(sourceCharsPath, copy.readError));
    transfer::Problem problem = transfer::verifyCharacter(
            copy, character.name, numbers, sourceCharsPath, character.offset);
    if (!problem.isEmpty())
        return damagedSource(character.name, problem);

    const QSet<int> written = transfer::writtenItems(window->serialMap, character.serial);
    const QByteArray items = transfer::composeItems(window->serialMap, written,
            window->maxItemSection + 1, character.serial, numbers.serial, [](int) {});
    problem = transfer::verifyItems(
            items, window->serialMap, written, taken, numbers.serial, sourceItemsPath);
    if (!problem.isEmpty())
        return damagedSource(character.name, problem);

    window->preparedCharacter = copy.text;
    window->preparedItems = items;
    window->transferPrepared = true;
    return {};
}

// Selects the character just transferred in the reloaded destination tree and scrolls to
// it, so the user sees where it went.
void showTransferred(
        QTreeWidget *view, const QMap<int, QString> &accounts, int account, const QString &name)
{
    const QString accountName = accounts.value(account);
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *accountItem = view->topLevelItem(i);
        if (accountItem->text(0) != accountName)
            continue;
        for (int c = 0; c < accountItem->childCount(); ++c) {
            QTreeWidgetItem *child = accountItem->child(c);
            if (child->text(1) == name) {
                view->setCurrentItem(child);
                view->scrollToItem(child);
                return;
            }
        }
    }
}

} // namespace

// The arrow: copies the character selected on the source side into the account selected on
// the destination side, or says why not. The destination is only appended to, and only
// after every check passed; if any write fails, both destination files are put back.
void MainWindow::fileTransfer()
{
    // The event processing between the steps delivers clicks; a transfer started from one
    // would renumber with the counters of the transfer that is still running.
    if (transferRunning)
        return;

    QTreeWidgetItem *sourceItem = listView1->selectedItems().value(0);
    QTreeWidgetItem *destItem = listView2->selectedItems().value(0);
    if (!sourceItem || !destItem || !sourceItem->parent()) {
        warn(this,
                { QStringLiteral("Transfer Error"),
                        QStringLiteral("A character from the source, and account from the "
                                       "desitination must be selected to enable transfer.") });
        return;
    }

    // The tree texts are the only link back to the index. Worlds whose files disagree (two
    // accounts under one number or one name) can show items that lead nowhere.
    const QString name = sourceItem->text(1);
    int sourceAccount = 0;
    const char_st *found = nullptr;
    if (world::findAccount(sourceAccounts, sourceItem->parent()->text(0), &sourceAccount))
        found = world::findCharacter(sourceChars, sourceAccount, name);
    if (!found) {
        warn(this,
                { QStringLiteral("Transfer Error"),
                        QStringLiteral(
                                "The character \"%1\" could not be found in the source world "
                                "as it was loaded: its accounts and characters files do not "
                                "agree. Nothing was written.\n\nSelect the source world "
                                "again, or check its accounts.adm for accounts that share a "
                                "number or a name.")
                                .arg(name) });
        return;
    }
    const char_st character = *found;
    QTreeWidgetItem *accountItem = destItem->parent() ? destItem->parent() : destItem;
    int transfer = 0;
    if (!world::findAccount(destAccounts, accountItem->text(0), &transfer)) {
        warn(this,
                { QStringLiteral("Transfer Error"),
                        QStringLiteral(
                                "The account \"%1\" could not be found in the destination "
                                "world as it was loaded: its accounts file does not agree "
                                "with itself. Nothing was written.\n\nSelect the destination "
                                "world again, or check its accounts.adm for accounts that "
                                "share a number.")
                                .arg(accountItem->text(0)) });
        return;
    }

    const QList<char_st> present = destChars.value(transfer);
    if (present.size() >= AccountLimit) {
        warn(this,
                { QStringLiteral("Account limit"),
                        QStringLiteral("The destination account has the maximum amount (5) "
                                       "characters.") });
        return;
    }
    for (const char_st &other : present) {
        if (other.name == name) {
            warn(this,
                    { QStringLiteral("Character Duplication"),
                            QStringLiteral("The destination account all ready has a character by "
                                           "that name.") });
            return;
        }
    }

    const QString sourceWorld = sourceDir;
    const QString destWorld = destDir;
    const QString sourceCharsPath = world::filePath(sourceWorld, world::charactersFileName());
    const QString destCharsPath = world::filePath(destWorld, world::charactersFileName());
    const QString destItemsPath = world::filePath(destWorld, world::itemsFileName());
    const QString destAccountsPath = world::filePath(destWorld, world::accountsFileName());
    const QString sourceItemsPath = world::filePath(sourceWorld, world::itemsFileName());

    // Numbers come from the last destination load and the record from the last source load;
    // either file may have been rewritten since.
    const auto worldsUnchanged = [&]() -> Refusal {
        // A characters file the load could not read (a directory, say) was not loaded, so
        // it cannot have changed since; the writer reports why it cannot be written.
        const FileStamp now = world::stampOf(destCharsPath);
        const bool unreadable = !destCharsStamp.exists && !QFileInfo(destCharsPath).isFile();
        if (now != destCharsStamp && !unreadable)
            return worldChanged(destCharsPath, false, name);
        if (world::stampOf(destAccountsPath) != destAccountsStamp)
            return accountsChanged(destAccountsPath);
        if (!transfer::recordStillHolds(sourceCharsPath, character))
            return worldChanged(sourceCharsPath, true, name);
        return {};
    };

    Refusal refusal;
    // The loader gives no offset to a record that starts beyond what an int can count.
    if (character.offset < 0) {
        refusal = { QStringLiteral("Transfer Error"),
            QStringLiteral("The character \"%1\" lies beyond the first 2 GB of the "
                           "source world's characters file %2, where it cannot be read "
                           "back for copying. Nothing was written.")
                    .arg(name, sourceCharsPath) };
    }
    if (refusal.isEmpty())
        refusal = worldsUnchanged();
    if (refusal.isEmpty() && !destCharsReadError.isEmpty())
        refusal = readError(destCharsReadError);
    if (refusal.isEmpty() && destCharsCutOff)
        refusal = cutOff(destCharsPath);
    if (refusal.isEmpty()) {
        // The new character is numbered above every record number and serial the file
        // holds, not only above those of the records the loader read through.
        maxCharSection = qMax(maxCharSection, destCharsHighestSection);
        maxCharSerial = qMax(maxCharSerial, destCharsHighestSerial);
    }
    if (refusal.isEmpty() && (maxCharSection == INT_MAX || maxCharSerial == INT_MAX))
        refusal = outOfNumbers(QStringLiteral("character numbers"));
    if (!refusal.isEmpty()) {
        warn(this, refusal);
        return;
    }

    transferRunning = true;
    transferAppends.clear();
    transferFailure.clear();
    transferRestoreFailures.clear();
    const auto finished = qScopeGuard([this] {
        transferRunning = false;
        transferAppends.clear();
        transferPrepared = false;
        preparedCharacter.clear();
        preparedItems.clear();
    });
    // Choosing another world in the middle would swap the world under the running transfer.
    const QSignalBlocker sourceButton(pushButton2);
    const QSignalBlocker destButton(pushButton3);

    // A refusal after the scans: they wrote nothing, but the items they collected must not
    // leak into the next transfer.
    const auto refuseAfterScans = [this](const Refusal &why) {
        serialMap.clear();
        containerMap.clear();
        moreMap.clear();
        QApplication::restoreOverrideCursor();
        warn(this, why);
    };

    QApplication::setOverrideCursor(Qt::WaitCursor);
    acquireSerials(destWorld);
    QCoreApplication::processEvents();
    const int scannedItemSerial = maxItemSerial;
    const int scannedItemSection = maxItemSection;
    getSerials(sourceWorld, character.serial);
    QCoreApplication::processEvents();

    if (!scanReadError.isEmpty())
        refusal = readError(scanReadError);
    if (refusal.isEmpty() && destItemsCutOff)
        refusal = cutOff(destItemsPath);
    if (refusal.isEmpty() && maxItemSection > INT_MAX - serialMap.size())
        refusal = outOfNumbers(QStringLiteral("item record numbers"));
    if (refusal.isEmpty()) {
        // New item serials count up from the highest one in use; one that is not above it
        // went round past 2147483647.
        bool serialsFit = maxItemSerial >= scannedItemSerial;
        for (const item_st &item : std::as_const(serialMap))
            serialsFit = serialsFit && item.serial > scannedItemSerial;
        if (!serialsFit)
            refusal = outOfNumbers(QStringLiteral("item serials"));
    }
    if (refusal.isEmpty() && scanCollisionFirst >= 0) {
        const qint64 first = transfer::lineNumberAt(sourceItemsPath, scanCollisionFirst) - 1;
        refusal = damagedSource(name,
                { sourceItemsPath, transfer::lineNumberAt(sourceItemsPath, scanCollisionSecond) - 1,
                        QStringLiteral("the item record that starts here is filed under the "
                                       "same serial as the item record at line %1 (a record "
                                       "without a SERIAL line of its own takes the serial of "
                                       "the record before it), so one of the two would be "
                                       "left behind")
                                .arg(first),
                        QStringLiteral("Give each item record its own SERIAL line, with a "
                                       "serial no other item has.") });
    }
    if (refusal.isEmpty())
        refusal = worldsUnchanged();
    if (refusal.isEmpty())
        refusal = prepareTransfer(this, character, transfer, sourceCharsPath, sourceItemsPath,
                { scannedItemSection, scannedItemSerial });
    if (!refusal.isEmpty()) {
        refuseAfterScans(refusal);
        return;
    }

    transferChar(character.serial, character.offset, transfer, sourceWorld, destWorld);
    QCoreApplication::processEvents();
    transferChar(character.serial, transfer, destWorld);
    QCoreApplication::processEvents();

    if (!transferFailure.isEmpty()) {
        transfer::restoreAppends(this);
        QString text = QStringLiteral("The transfer failed. %1\n\n").arg(transferFailure);
        if (transferRestoreFailures.isEmpty()) {
            text += QStringLiteral("The destination world was left as it was: nothing of the "
                                   "character or its items was added.\n\nCheck the destination "
                                   "(free space, permissions), then try the transfer again.");
        } else {
            text += QStringLiteral("The destination world could not be put back as it was: %1."
                                   "\n\nRestore the destination world from a backup before you "
                                   "use it.")
                            .arg(transferRestoreFailures.join(QStringLiteral("; ")));
        }
        QApplication::restoreOverrideCursor();
        warn(this, { QStringLiteral("Transfer Failed"), text });
        QApplication::setOverrideCursor(Qt::WaitCursor);
    }

    fileDestination(destWorld);
    if (transferFailure.isEmpty())
        showTransferred(listView2, destAccounts, transfer, name);
    settleProgress();
    QApplication::restoreOverrideCursor();
}
