#include "engine/transferrun.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <climits>

#include "items/itemscans.h"
#include "transfer/composition.h"
#include "transfer/copies.h"
#include "transfer/journal.h"
#include "transfer/transferchecks.h"
#include "transfer/transferstep.h"
#include "transfer/verification.h"
#include "world/filestamp.h"
#include "world/worldformat.h"
#include "world/worldloading.h"

namespace engine {

namespace {

// An account holds at most this many characters.
constexpr int AccountLimit = 5;

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

// A journal in the destination: a transfer into it was interrupted and not yet undone.
Refusal interrupted(const QString &dir)
{
    const QString summary = transfer::journalSummary(dir);
    if (summary.isEmpty())
        return {};
    return { QStringLiteral("Interrupted Transfer"),
        QStringLiteral("The destination world %1 holds the journal of an interrupted transfer "
                       "(%2), so its files may hold part of that transfer. Nothing was "
                       "written.\n\nSelect the destination world again: a transfer that can "
                       "be undone is undone then, and otherwise you are told what to do.")
                .arg(dir, summary) };
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
Refusal prepareTransfer(engine::Session &session, const char_st &character, int account,
        const QString &sourceCharsPath, const QString &sourceItemsPath,
        const transfer::ItemsTaken &taken)
{
    QFile source(sourceCharsPath);
    if (!source.open(QIODevice::ReadOnly)) {
        return readError(QStringLiteral("Could not read %1: %2.")
                                 .arg(sourceCharsPath, source.errorString()));
    }
    const transfer::CharacterNumbers numbers{ session.maxCharSection + 1, session.maxCharSerial + 1,
        account };
    // Only what the source held when the copy began is read: when source and destination
    // are the same file, the copy must not run on into its own output.
    const transfer::CharacterText copy =
            transfer::composeCharacter(&source, character.offset, source.size(), numbers);
    if (!copy.readError.isEmpty())
        return readError(
                QStringLiteral("Could not read %1: %2.").arg(sourceCharsPath, copy.readError));
    transfer::Problem problem = transfer::verifyCharacter(copy, character.name,
            session.sourceCharsEncoding, numbers, sourceCharsPath, character.offset);
    if (!problem.isEmpty())
        return damagedSource(character.name, problem);

    const QSet<int> written = transfer::writtenItems(session.serialMap, character.serial);
    const QByteArray items = transfer::composeItems(session.serialMap, written,
            session.maxItemSection + 1, character.serial, numbers.serial, [](int) {});
    problem = transfer::verifyItems(
            items, session.serialMap, written, taken, numbers.serial, sourceItemsPath);
    if (!problem.isEmpty())
        return damagedSource(character.name, problem);

    session.preparedCharacter = copy.text;
    session.preparedItems = items;
    return {};
}

} // namespace

Refusal selectionIncomplete()
{
    return { QStringLiteral("Transfer Error"),
        QStringLiteral("A character from the source, and account from the "
                       "desitination must be selected to enable transfer.") };
}

void loadWorld(
        Session &session, const QString &dir, bool dest, Progress &progress, LoadListener &listener)
{
    if (dest) {
        world::resetDestination(session);
    } else {
        session.sourceAccounts.clear();
        session.sourceChars.clear();
    }
    AccountMap *accounts = dest ? &session.destAccounts : &session.sourceAccounts;
    CharacterMap *characters = dest ? &session.destChars : &session.sourceChars;
    QList<QString> names;
    if (world::loadAccounts(session, dir, accounts, dest, progress, &names)) {
        listener.accountsRead(names);
        // Names are decoded once the whole file has shown its encoding.
        QList<std::pair<int, QString>> read;
        world::loadCharacters(session, dir, characters, dest, progress,
                [&read](int account, const QString &name) {
                    read.append({ account, name });
                });
        const world::TextEncoding encoding =
                dest ? session.destCharsEncoding : session.sourceCharsEncoding;
        for (const auto &[account, name] : std::as_const(read))
            listener.characterRead(account, world::decodeText(name, encoding));
        listener.charactersDone();
    }
    (dest ? session.destDir : session.sourceDir) = dir;
}

void TransferSteps::acquireSerials(Session &session, const QString &dir)
{
    items::acquireSerials(session, dir, m_progress);
}

void TransferSteps::getSerials(Session &session, const QString &dir, int owner)
{
    items::getSerials(session, dir, owner, m_progress);
}

void TransferSteps::copyCharacter(Session &session, int owner, int offset, int account,
        const QString &input, const QString &output)
{
    Q_UNUSED(owner);
    transfer::copyCharacter(session, offset, account, input, output, m_progress);
}

void TransferSteps::copyItems(Session &session, int owner, int account, const QString &output)
{
    Q_UNUSED(account);
    transfer::copyItems(session, owner, output, m_progress);
}

void TransferSteps::reload(Session &session, const QString &dir)
{
    LoadListener none;
    loadWorld(session, dir, true, m_progress, none);
}

TransferOutcome runTransfer(
        Session &session, const TransferRequest &request, TransferSteps &steps, bool dryRun)
{
    TransferOutcome outcome;
    const auto refuse = [&](const Refusal &why) {
        outcome.result = TransferResult::Refused;
        outcome.message = why;
        steps.warn(why);
        return outcome;
    };
    if (session.transferRunning)
        return outcome;

    // The names are the only link back to the index. Worlds whose files disagree (two
    // accounts under one number or one name) can show names that lead nowhere.
    const QString name = request.character;
    int sourceAccount = 0;
    const char_st *found = nullptr;
    if (world::findAccount(session.sourceAccounts, request.sourceAccount, &sourceAccount))
        found = world::findCharacter(session.sourceChars, sourceAccount, name);
    if (!found) {
        return refuse({ QStringLiteral("Transfer Error"),
                QStringLiteral("The character \"%1\" could not be found in the source world "
                               "as it was loaded: its accounts and characters files do not "
                               "agree. Nothing was written.\n\nSelect the source world "
                               "again, or check its accounts.adm for accounts that share a "
                               "number or a name.")
                        .arg(name) });
    }
    const char_st character = *found;
    int transfer = 0;
    if (!world::findAccount(session.destAccounts, request.destAccount, &transfer)) {
        return refuse({ QStringLiteral("Transfer Error"),
                QStringLiteral("The account \"%1\" could not be found in the destination "
                               "world as it was loaded: its accounts file does not agree "
                               "with itself. Nothing was written.\n\nSelect the destination "
                               "world again, or check its accounts.adm for accounts that "
                               "share a number.")
                        .arg(request.destAccount) });
    }

    const QList<char_st> present = session.destChars.value(transfer);
    if (present.size() >= AccountLimit) {
        return refuse({ QStringLiteral("Account limit"),
                QStringLiteral("The destination account has the maximum amount (5) "
                               "characters.") });
    }
    for (const char_st &other : present) {
        if (other.name == name) {
            return refuse({ QStringLiteral("Character Duplication"),
                    QStringLiteral("The destination account all ready has a character by "
                                   "that name.") });
        }
    }

    const QString sourceWorld = session.sourceDir;
    const QString destWorld = session.destDir;
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
        const bool unreadable =
                !session.destCharsStamp.exists && !QFileInfo(destCharsPath).isFile();
        if (now != session.destCharsStamp && !unreadable)
            return worldChanged(destCharsPath, false, name);
        if (world::stampOf(destAccountsPath) != session.destAccountsStamp)
            return accountsChanged(destAccountsPath);
        if (!transfer::recordStillHolds(sourceCharsPath, character, session.sourceCharsEncoding))
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
    if (refusal.isEmpty())
        refusal = interrupted(destWorld);
    if (refusal.isEmpty() && !session.destCharsReadError.isEmpty())
        refusal = readError(session.destCharsReadError);
    if (refusal.isEmpty() && session.destCharsCutOff)
        refusal = cutOff(destCharsPath);
    if (refusal.isEmpty()) {
        // The new character is numbered above every record number and serial the file
        // holds, not only above those of the records the loader read through.
        session.maxCharSection = qMax(session.maxCharSection, session.destCharsHighestSection);
        session.maxCharSerial = qMax(session.maxCharSerial, session.destCharsHighestSerial);
    }
    if (refusal.isEmpty()
            && (session.maxCharSection == INT_MAX || session.maxCharSerial == INT_MAX))
        refusal = outOfNumbers(QStringLiteral("character numbers"));
    if (!refusal.isEmpty())
        return refuse(refusal);

    session.transferRunning = true;
    session.transferAppends.clear();
    session.transferFailure.clear();
    session.transferRestoreFailures.clear();
    const auto finished = qScopeGuard([&session] {
        session.transferRunning = false;
        session.transferAppends.clear();
        session.preparedCharacter.clear();
        session.preparedItems.clear();
    });

    // A refusal after the scans: they wrote nothing, but the items they collected must not
    // leak into the next transfer.
    const auto refuseAfterScans = [&](const Refusal &why) {
        session.serialMap.clear();
        session.containerMap.clear();
        session.moreMap.clear();
        steps.busy(false);
        return refuse(why);
    };

    steps.busy(true);
    steps.acquireSerials(session, destWorld);
    steps.pause();
    const int scannedItemSerial = session.maxItemSerial;
    const int scannedItemSection = session.maxItemSection;
    steps.getSerials(session, sourceWorld, character.serial);
    steps.pause();

    if (!session.scanReadError.isEmpty())
        refusal = readError(session.scanReadError);
    if (refusal.isEmpty()
            && (session.destItemsCutOff
                    || !transfer::itemsEndOutsideRecord(
                            destItemsPath, session.destItemsLastHeader)))
        refusal = cutOff(destItemsPath);
    if (refusal.isEmpty() && session.maxItemSection > INT_MAX - session.serialMap.size())
        refusal = outOfNumbers(QStringLiteral("item record numbers"));
    if (refusal.isEmpty()) {
        // New item serials count up from the highest one in use; one that is not above it
        // went round past 2147483647.
        bool serialsFit = session.maxItemSerial >= scannedItemSerial;
        for (const item_st &item : std::as_const(session.serialMap))
            serialsFit = serialsFit && item.serial > scannedItemSerial;
        if (!serialsFit)
            refusal = outOfNumbers(QStringLiteral("item serials"));
    }
    if (refusal.isEmpty() && session.scanCollisionFirst >= 0) {
        const qint64 first =
                transfer::lineNumberAt(sourceItemsPath, session.scanCollisionFirst) - 1;
        const qint64 second =
                transfer::lineNumberAt(sourceItemsPath, session.scanCollisionSecond) - 1;
        refusal = damagedSource(name,
                { sourceItemsPath, second,
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
    if (refusal.isEmpty()) {
        refusal = prepareTransfer(session, character, transfer, sourceCharsPath, sourceItemsPath,
                { scannedItemSection, scannedItemSerial });
    }
    if (!refusal.isEmpty())
        return refuseAfterScans(refusal);

    outcome.newSection = session.maxCharSection + 1;
    outcome.newSerial = session.maxCharSerial + 1;
    outcome.characterText = session.preparedCharacter;
    outcome.itemsText = session.preparedItems;
    outcome.itemsWritten = int(transfer::writtenItems(session.serialMap, character.serial).size());
    // Every collected record drew a serial; those not written stay behind.
    outcome.itemsLeftBehind =
            int(qint64(session.maxItemSerial) - scannedItemSerial) - outcome.itemsWritten;
    if (dryRun) {
        session.serialMap.clear();
        session.containerMap.clear();
        session.moreMap.clear();
        steps.busy(false);
        outcome.result = TransferResult::Done;
        return outcome;
    }

    // What is about to be appended goes to the journal first: if the process or the
    // machine stops before both appends are on disk, the next load puts the files back.
    transfer::Journal journal{ name, sourceWorld,
        { { world::charactersFileName(), 0, true, 0, 0, session.preparedCharacter },
                { world::itemsFileName(), 0, true, 0, 0, session.preparedItems } } };
    QString journalError;
    if (!transfer::describeFiles(destWorld, &journal, &journalError)
            || !transfer::writeJournal(destWorld, journal, &journalError)) {
        return refuseAfterScans({ QStringLiteral("Transfer Failed"),
                QStringLiteral("The transfer failed before it began. %1\n\nThe destination "
                               "world was left as it was: nothing of the character or its "
                               "items was added.\n\nCheck the destination (free space, "
                               "permissions), then try the transfer again.")
                        .arg(journalError) });
    }

    steps.copyCharacter(
            session, character.serial, character.offset, transfer, sourceWorld, destWorld);
    steps.pause();
    steps.copyItems(session, character.serial, transfer, destWorld);
    steps.pause();

    outcome.result = TransferResult::Done;
    // Removing the journal is what makes the transfer done; if that fails, the next load
    // would undo it, so it is undone now and reported.
    if (session.transferFailure.isEmpty() && !transfer::removeJournal(destWorld, &journalError))
        session.transferFailure = journalError;
    if (!session.transferFailure.isEmpty()) {
        transfer::restoreAppends(session);
        // Put back, the files no longer need the journal; otherwise it stays for the next
        // load to try again.
        if (session.transferRestoreFailures.isEmpty())
            transfer::removeJournal(destWorld, &journalError);
        QString text = QStringLiteral("The transfer failed. %1\n\n").arg(session.transferFailure);
        if (session.transferRestoreFailures.isEmpty()) {
            outcome.result = TransferResult::Failed;
            text += QStringLiteral("The destination world was left as it was: nothing of the "
                                   "character or its items was added.\n\nCheck the destination "
                                   "(free space, permissions), then try the transfer again.");
        } else {
            outcome.result = TransferResult::FailedNotRestored;
            text += QStringLiteral("The destination world could not be put back as it was: %1."
                                   "\n\nRestore the destination world from a backup before you "
                                   "use it.")
                            .arg(session.transferRestoreFailures.join(QStringLiteral("; ")));
        }
        outcome.message = { QStringLiteral("Transfer Failed"), text };
        steps.busy(false);
        steps.warn(outcome.message);
        steps.busy(true);
    }

    steps.reload(session, destWorld);
    steps.busy(false);
    return outcome;
}

} // namespace engine
