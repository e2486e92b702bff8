#include "engine/transferrun.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStringList>

#include <climits>
#include <cstddef>

#include "items/itemscans.h"
#include "transfer/composition.h"
#include "transfer/copies.h"
#include "transfer/journal.h"
#include "transfer/transferchecks.h"
#include "transfer/transferstep.h"
#include "transfer/verification.h"
#include "transfer/worldlock.h"
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

// The last record of the destination characters file has a "}" with a comment after it,
// which the loader does not take for a closing brace.
Refusal commentedClose(const QString &path, qint64 line)
{
    return { QStringLiteral("Damaged World"),
        QStringLiteral("The destination file %1 does not end outside a record: line %2 was "
                       "meant to close its last record, but a \"}\" with a comment after it "
                       "does not close a record. Anything appended now would become part of "
                       "that record. Nothing was written.\n\nRemove the comment from line %2 "
                       "of %1 (leave the \"}\" alone on its line), then select the "
                       "destination world again.")
                .arg(path)
                .arg(line) };
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

// What the checks of one transfer look at: the session and the request, the character and
// the account the selection found, the files involved, and the numbers the scans started
// from. The worlds are those loaded when the transfer began.
struct Plan
{
    Plan(Session &session, const TransferRequest &request, bool dryRun)
        : session(session)
        , dryRun(dryRun)
        , name(request.character)
        , arriving(request.newName.isEmpty()
                          ? request.character
                          : world::decodeText(request.newName, newNameEncoding(session)))
        , request(request)
        , sourceWorld(session.sourceDir)
        , destWorld(session.destDir)
        , sourceCharsPath(world::filePath(sourceWorld, world::charactersFileName()))
        , sourceItemsPath(world::filePath(sourceWorld, world::itemsFileName()))
        , destCharsPath(world::filePath(destWorld, world::charactersFileName()))
        , destItemsPath(world::filePath(destWorld, world::itemsFileName()))
        , destAccountsPath(world::filePath(destWorld, world::accountsFileName()))
    { }

    // The encoding a new name is written in: the destination characters file's (plain ASCII
    // takes UTF-8).
    static world::TextEncoding newNameEncoding(const Session &session)
    {
        return session.destCharsEncoding == world::TextEncoding::Windows1252
                ? world::TextEncoding::Windows1252
                : world::TextEncoding::Utf8;
    }
    world::TextEncoding newNameEncoding() const { return newNameEncoding(session); }

    Session &session;
    const bool dryRun;
    const QString name;
    // The name the copy arrives under, as people read it: its own, or the new one asked for.
    const QString arriving;
    const TransferRequest &request;
    const QString sourceWorld;
    const QString destWorld;
    const QString sourceCharsPath;
    const QString sourceItemsPath;
    const QString destCharsPath;
    const QString destItemsPath;
    const QString destAccountsPath;
    char_st character; // the source record, found by the selection
    int account = 0; // the destination account's number, found by the selection
    // The highest item record number and serial of the destination, before the source scan
    // drew new serials above them.
    int scannedItemSection = 0;
    int scannedItemSerial = 0;
    // The destination's lock, from the checks that decide to the end of the transfer,
    // unless the caller holds it for a run of transfers.
    transfer::WorldLock lock;
    // A serial for the new character was left below 2147483647 once the numbers the
    // destination's item lines name were passed over.
    bool characterSerialFits = true;
};

// A check of the decision sequence: an empty refusal lets the transfer go on.
using Check = Refusal (*)(Plan &);

// The names are the only link back to the index. Worlds whose files disagree (two accounts
// under one number or one name) can show names that lead nowhere.
Refusal selection(Plan &plan)
{
    const Session &session = plan.session;
    int sourceAccount = 0;
    const char_st *found = nullptr;
    if (world::findAccount(session.sourceAccounts, plan.request.sourceAccount, &sourceAccount))
        found = world::findCharacter(session.sourceChars, sourceAccount, plan.name);
    if (!found) {
        return { QStringLiteral("Transfer Error"),
            QStringLiteral("The character \"%1\" could not be found in the source world "
                           "as it was loaded: its accounts and characters files do not "
                           "agree. Nothing was written.\n\nSelect the source world "
                           "again, or check its accounts.adm for accounts that share a "
                           "number or a name.")
                    .arg(plan.name) };
    }
    plan.character = *found;
    if (!world::findAccount(session.destAccounts, plan.request.destAccount, &plan.account)) {
        return { QStringLiteral("Transfer Error"),
            QStringLiteral("The account \"%1\" could not be found in the destination "
                           "world as it was loaded: its accounts file does not agree "
                           "with itself. Nothing was written.\n\nSelect the destination "
                           "world again, or check its accounts.adm for accounts that "
                           "share a number.")
                    .arg(plan.request.destAccount) };
    }
    return {};
}

// Room in the destination account, the name free there, and a source record the copy can
// reach.
Refusal limits(Plan &plan)
{
    const QList<char_st> present = plan.session.destChars.value(plan.account);
    if (present.size() >= AccountLimit) {
        return { QStringLiteral("Account limit"),
            QStringLiteral("The destination account has the maximum amount (5) "
                           "characters.") };
    }
    for (const char_st &other : present) {
        if (other.name == plan.arriving) {
            return { QStringLiteral("Character Duplication"),
                QStringLiteral("The destination account all ready has a character by "
                               "that name.") };
        }
    }
    // The loader gives no offset to a record that starts beyond what an int can count.
    if (plan.character.offset < 0) {
        return { QStringLiteral("Transfer Error"),
            QStringLiteral("The character \"%1\" lies beyond the first 2 GB of the "
                           "source world's characters file %2, where it cannot be read "
                           "back for copying. Nothing was written.")
                    .arg(plan.name, plan.sourceCharsPath) };
    }
    return {};
}

// One program at a time decides on and writes a world: another one's numbers would be
// drawn from the same files, and its journal would look interrupted. The checks that
// follow see the destination as nobody else changes it until the transfer is done.
Refusal worldLock(Plan &plan)
{
    if (plan.dryRun || plan.session.destLocked || plan.lock.acquire(plan.destWorld))
        return {};
    if (plan.lock.busy()) {
        return { QStringLiteral("World Busy"),
            QStringLiteral("The destination world %1 is busy: %2. Nothing was written.\n\n"
                           "Wait until that transfer has finished, then select the destination "
                           "world again and repeat the transfer.")
                    .arg(plan.destWorld, plan.lock.error()) };
    }
    return { QStringLiteral("Transfer Failed"),
        QStringLiteral("The transfer failed before it began. %1\n\nThe destination world was "
                       "left as it was: nothing of the character or its items was added.\n\n"
                       "Check the destination (free space, permissions), then try the "
                       "transfer again.")
                .arg(plan.lock.error()) };
}

// Numbers come from the last destination load and the record from the last source load;
// either file may have been rewritten since.
Refusal staleWorlds(Plan &plan)
{
    const Session &session = plan.session;
    // A characters file the load could not read (a directory, say) was not loaded, so it
    // cannot have changed since; the writer reports why it cannot be written.
    const FileStamp now = world::stampOf(plan.destCharsPath);
    const bool unreadable =
            !session.destCharsStamp.exists && !QFileInfo(plan.destCharsPath).isFile();
    if (now != session.destCharsStamp && !unreadable)
        return worldChanged(plan.destCharsPath, false, plan.name);
    if (world::stampOf(plan.destAccountsPath) != session.destAccountsStamp)
        return accountsChanged(plan.destAccountsPath);
    if (!transfer::recordStillHolds(
                plan.sourceCharsPath, plan.character, plan.session.sourceCharsEncoding))
        return worldChanged(plan.sourceCharsPath, true, plan.name);
    return {};
}

Refusal journal(Plan &plan)
{
    return interrupted(plan.destWorld);
}

// The destination characters file, read whole by the load and not ending inside a record.
Refusal cutOffCharacters(Plan &plan)
{
    if (!plan.session.destCharsReadError.isEmpty())
        return readError(plan.session.destCharsReadError);
    if (plan.session.destCharsCommentedClose >= 0) {
        return commentedClose(plan.destCharsPath,
                transfer::lineNumberAt(plan.destCharsPath, plan.session.destCharsCommentedClose));
    }
    if (plan.session.destCharsCutOff)
        return cutOff(plan.destCharsPath);
    return {};
}

Refusal characterNumbers(Plan &plan)
{
    Session &session = plan.session;
    // The new character is numbered above every record number and serial the file holds,
    // not only above those of the records the loader read through.
    session.maxCharSection = qMax(session.maxCharSection, session.destCharsHighestSection);
    session.maxCharSerial = qMax(session.maxCharSerial, session.destCharsHighestSerial);
    if (session.maxCharSection == INT_MAX || session.maxCharSerial == INT_MAX)
        return outOfNumbers(QStringLiteral("character numbers"));
    return {};
}

// Both scans read their files to the end.
Refusal scanReadErrors(Plan &plan)
{
    if (!plan.session.scanReadError.isEmpty())
        return readError(plan.session.scanReadError);
    return {};
}

Refusal cutOffItems(Plan &plan)
{
    if (plan.session.destItemsCutOff
            || !transfer::itemsEndOutsideRecord(
                    plan.destItemsPath, plan.session.destItemsLastHeader))
        return cutOff(plan.destItemsPath);
    return {};
}

Refusal characterSerial(Plan &plan)
{
    if (!plan.characterSerialFits)
        return outOfNumbers(QStringLiteral("character numbers"));
    return {};
}

Refusal itemNumbers(Plan &plan)
{
    if (plan.session.maxItemSection > INT_MAX - plan.session.serialMap.size())
        return outOfNumbers(QStringLiteral("item record numbers"));
    return {};
}

// New item serials count up from the highest one in use; one that is not above it went
// round past 2147483647.
Refusal itemSerials(Plan &plan)
{
    bool serialsFit = plan.session.maxItemSerial >= plan.scannedItemSerial;
    for (const item_st &item : std::as_const(plan.session.serialMap))
        serialsFit = serialsFit && item.serial > plan.scannedItemSerial;
    if (!serialsFit)
        return outOfNumbers(QStringLiteral("item serials"));
    return {};
}

// Two collected records filed under one serial: one of them would stay behind unseen.
Refusal sharedSerials(Plan &plan)
{
    const Session &session = plan.session;
    if (session.scanCollisionFirst < 0)
        return {};
    const qint64 first =
            transfer::lineNumberAt(plan.sourceItemsPath, session.scanCollisionFirst) - 1;
    const qint64 second =
            transfer::lineNumberAt(plan.sourceItemsPath, session.scanCollisionSecond) - 1;
    return damagedSource(plan.name,
            { plan.sourceItemsPath, second,
                    QStringLiteral("the item record that starts here is filed under the "
                                   "same serial as the item record at line %1 (a record "
                                   "without a SERIAL line of its own takes the serial of "
                                   "the record before it), so one of the two would be "
                                   "left behind")
                            .arg(first),
                    QStringLiteral("Give each item record its own SERIAL line, with a "
                                   "serial no other item has.") });
}

// Composes what the transfer would append, reads it back as the loader and the scans
// would, and keeps it for the writers; or says why it must not be written.
Refusal verification(Plan &plan)
{
    Session &session = plan.session;
    const char_st &character = plan.character;
    const int account = plan.account;
    const QString &sourceCharsPath = plan.sourceCharsPath;
    const QString &sourceItemsPath = plan.sourceItemsPath;
    const transfer::ItemsTaken taken{ plan.scannedItemSection, plan.scannedItemSerial,
        &session.destItemsReferenced };
    QFile source(sourceCharsPath);
    if (!source.open(QIODevice::ReadOnly)) {
        return readError(QStringLiteral("Could not read %1: %2.")
                                 .arg(sourceCharsPath, source.errorString()));
    }
    const transfer::CharacterNumbers numbers{ session.maxCharSection + 1, session.maxCharSerial + 1,
        account };
    // Only what the source held when the copy began is read: when source and destination
    // are the same file, the copy must not run on into its own output.
    const QByteArray newName =
            plan.request.newName.isEmpty() ? QByteArray() : world::encode(plan.request.newName);
    const transfer::CharacterText copy =
            transfer::composeCharacter(&source, character.offset, source.size(), numbers, newName);
    if (!copy.readError.isEmpty())
        return readError(
                QStringLiteral("Could not read %1: %2.").arg(sourceCharsPath, copy.readError));
    transfer::Problem problem = transfer::verifyCharacter(copy, plan.arriving,
            plan.request.newName.isEmpty() ? session.sourceCharsEncoding : plan.newNameEncoding(),
            numbers, sourceCharsPath, character.offset, &session.destItemsReferenced);
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

// The copy is the source's bytes. Text beyond ASCII in it must read the same in the
// destination files as in the source files, or the world would show it garbled there (and
// a file that stops being valid UTF-8 shows all its names otherwise).
Refusal encodings(Plan &plan)
{
    const Session &session = plan.session;
    struct Copied
    {
        const QByteArray &text;
        world::TextEncoding from;
        world::TextEncoding into;
        const QString &fromPath;
        const QString &intoPath;
    };
    // A new name is written in the destination's encoding already: the rest is the source's.
    QByteArray characterText = session.preparedCharacter;
    if (!plan.request.newName.isEmpty())
        characterText.replace("\nNAME " + world::encode(plan.request.newName), "\nNAME ");
    const Copied copies[] = {
        { characterText, session.sourceCharsEncoding, session.destCharsEncoding,
                plan.sourceCharsPath, plan.destCharsPath },
        { session.preparedItems, session.sourceItemsEncoding, session.destItemsEncoding,
                plan.sourceItemsPath, plan.destItemsPath },
    };
    for (const Copied &copy : copies) {
        // A destination file of ASCII alone comes to read the text the way the text is; any
        // other must stay as it is (or its own names would change).
        if (world::readsAlikeAfterAppend(copy.text, copy.from, copy.into))
            continue;
        const world::TextEncoding after = world::encodingAfterAppend(copy.into, copy.text);
        const QString destination = copy.into == world::TextEncoding::Ascii
                ? QStringLiteral("the destination file %1, which holds ASCII alone, would "
                                 "read them as %2")
                          .arg(copy.intoPath, world::encodingName(after))
                : QStringLiteral("the destination file %1 is in %2")
                          .arg(copy.intoPath, world::encodingName(copy.into));
        return { QStringLiteral("Encoding Mismatch"),
            QStringLiteral("The character \"%1\" cannot be copied: its text holds letters "
                           "beyond ASCII, which the source file %2 holds in %3, but %4. "
                           "Copied byte for byte they would show garbled there. Nothing was "
                           "written.\n\nConvert one of the two worlds to the other's "
                           "encoding (all three files of a world in one encoding), then "
                           "select that world again and repeat the transfer.")
                    .arg(plan.name, copy.fromPath, world::encodingName(copy.from), destination) };
    }
    return {};
}

// The destination's highest item numbers, then the items the character carries.
void scan(Plan &plan, TransferSteps &steps)
{
    Session &session = plan.session;
    steps.acquireSerials(session, plan.destWorld);
    steps.pause();
    // The new character's serial passes over the numbers that the destination's item lines
    // name (an item of a deleted character would otherwise come to belong to it); the item
    // identification then names that serial as the items' owner.
    const int characterSerial = session.destItemsReferenced.nextFree(session.maxCharSerial);
    plan.characterSerialFits = characterSerial > session.maxCharSerial;
    if (plan.characterSerialFits)
        session.maxCharSerial = characterSerial - 1;
    plan.scannedItemSerial = plan.session.maxItemSerial;
    plan.scannedItemSection = plan.session.maxItemSection;
    steps.getSerials(plan.session, plan.sourceWorld, plan.character.serial);
    steps.pause();
}

// The decision sequence of a transfer. The checks run in this order and the first that
// says no is the one the user is told, so this is also the order of the boxes.
//
// Before the scans, on what the loads found:
constexpr Check BeforeScans[] = {
    selection, // the names lead to a loaded character and account
    limits, // room in the account, the name free there, the record within reach
    worldLock, // no other program deciding on or writing the destination
    staleWorlds, // neither world rewritten since it was loaded
    journal, // no interrupted transfer in the destination
    cutOffCharacters, // the destination characters file read whole, not cut off
    characterNumbers, // numbers left for the new character
};
// After the scans, on what they found; then the worlds once more, as the scans take their
// time, and last the copy, composed and read back.
// clang-format off
constexpr Check AfterScans[] = {
    scanReadErrors,
    cutOffItems,
    characterSerial,
    itemNumbers,
    itemSerials,
    sharedSerials,
    staleWorlds,
    verification,
    encodings, // the copied text reads the same in the destination's files
};
// clang-format on

template <std::size_t N>
Refusal firstRefusal(Plan &plan, const Check (&checks)[N])
{
    for (const Check check : checks) {
        const Refusal refusal = check(plan);
        if (!refusal.isEmpty())
            return refusal;
    }
    return {};
}

// What is about to be appended goes to the journal first: if the process or the machine
// stops before both appends are on disk, the next load puts the files back. The worlds are
// compared once more right before, so that the journal notes the files the checks saw.
Refusal writeJournal(Plan &plan)
{
    const Refusal stale = staleWorlds(plan);
    if (!stale.isEmpty())
        return stale;
    const Session &session = plan.session;
    transfer::Journal entry{ plan.name, plan.sourceWorld,
        { { world::charactersFileName(), 0, true, 0, 0, session.preparedCharacter },
                { world::itemsFileName(), 0, true, 0, 0, session.preparedItems } } };
    QString journalError;
    if (transfer::describeFiles(plan.destWorld, &entry, &journalError)
            && transfer::writeJournal(plan.destWorld, entry, &journalError))
        return {};
    return { QStringLiteral("Transfer Failed"),
        QStringLiteral("The transfer failed before it began. %1\n\nThe destination "
                       "world was left as it was: nothing of the character or its "
                       "items was added.\n\nCheck the destination (free space, "
                       "permissions), then try the transfer again.")
                .arg(journalError) };
}

// Appends the character and its items. Removing the journal is what makes the transfer
// done; if that fails, the next load would undo it, so it is undone now and reported. On a
// failure both files are put back and the user is told.
void append(Plan &plan, TransferSteps &steps, TransferOutcome &outcome)
{
    Session &session = plan.session;
    const QString &destWorld = plan.destWorld;
    steps.copyCharacter(session, plan.character.serial, plan.character.offset, plan.account,
            plan.sourceWorld, destWorld);
    steps.pause();
    steps.copyItems(session, plan.character.serial, plan.account, destWorld);
    steps.pause();

    outcome.result = TransferResult::Done;
    QString journalError;
    if (session.transferFailure.isEmpty() && !transfer::removeJournal(destWorld, &journalError))
        session.transferFailure = journalError;
    if (session.transferFailure.isEmpty())
        return;
    transfer::restoreAppends(session);
    // Put back, the files no longer need the journal; otherwise it stays for the next load
    // to try again.
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

// The items a transfer collected belong to it alone.
void forgetScans(Session &session)
{
    session.serialMap.clear();
    session.containerMap.clear();
    session.moreMap.clear();
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

    Plan plan(session, request, dryRun);
    Refusal refusal = firstRefusal(plan, BeforeScans);
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
        forgetScans(session);
        steps.busy(false);
        return refuse(why);
    };

    steps.busy(true);
    scan(plan, steps);
    refusal = firstRefusal(plan, AfterScans);
    if (!refusal.isEmpty())
        return refuseAfterScans(refusal);

    const char_st &character = plan.character;
    outcome.newSection = session.maxCharSection + 1;
    outcome.newSerial = session.maxCharSerial + 1;
    outcome.characterText = session.preparedCharacter;
    outcome.itemsText = session.preparedItems;
    outcome.itemsWritten = int(transfer::writtenItems(session.serialMap, character.serial).size());
    // Every collected record drew a serial; those not written stay behind.
    outcome.itemsLeftBehind = int(session.destItemsReferenced.freeBetween(
                                      plan.scannedItemSerial, session.maxItemSerial))
            - outcome.itemsWritten;
    if (dryRun) {
        forgetScans(session);
        steps.busy(false);
        outcome.result = TransferResult::Done;
        return outcome;
    }

    refusal = writeJournal(plan);
    if (!refusal.isEmpty())
        return refuseAfterScans(refusal);
    append(plan, steps, outcome);
    steps.reload(session, plan.destWorld);
    steps.busy(false);
    return outcome;
}

} // namespace engine
