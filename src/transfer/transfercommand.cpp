#include "app/mainwindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QStringList>
#include <QTreeWidget>

#include "transfer/transferchecks.h"
#include "transfer/transferstep.h"
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

    // Numbers come from the last destination load and the record from the last source load;
    // either file may have been rewritten since.
    const auto worldsUnchanged = [&]() -> Refusal {
        // A characters file the load could not read (a directory, say) was not loaded, so
        // it cannot have changed since; the writer reports why it cannot be written.
        const FileStamp now = world::stampOf(destCharsPath);
        const bool unreadable = !destCharsStamp.exists && !QFileInfo(destCharsPath).isFile();
        if (now != destCharsStamp && !unreadable)
            return worldChanged(destCharsPath, false, name);
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
    // Every collected item draws a serial above this one; at the top there is none left.
    if (scannedItemSerial == INT_MAX) {
        refuseAfterScans(outOfNumbers(QStringLiteral("item serials")));
        return;
    }
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
    if (refusal.isEmpty())
        refusal = worldsUnchanged();
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
    QApplication::restoreOverrideCursor();
}
