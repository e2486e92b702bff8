#include "transfer/merge.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <climits>

#include "engine/session.h"
#include "engine/transferrun.h"
#include "items/itemscans.h"
#include "transfer/appendfile.h"
#include "transfer/composition.h"
#include "transfer/journal.h"
#include "transfer/textspool.h"
#include "transfer/transferchecks.h"
#include "transfer/transferstep.h"
#include "transfer/verification.h"
#include "transfer/worldlock.h"
#include "world/accountrecords.h"
#include "world/filestamp.h"
#include "world/textencoding.h"
#include "world/worldformat.h"
#include "world/worldindex.h"

namespace transfer {

namespace {

// The number drawn after `current` for a new record or serial, or false when none is
// left. Every number a merge hands out is drawn here, as a transfer draws its own.
// Why `text`, held in `from` by the source, would read otherwise in a destination file now
// in `*into` (which an append may turn from ASCII into the text's encoding); empty if not.
QString encodingMismatch(const QByteArray &text, world::TextEncoding from,
        world::TextEncoding *into, const QString &intoPath)
{
    if (world::readsAlikeAfterAppend(text, from, *into)) {
        *into = world::encodingAfterAppend(*into, text);
        return QString();
    }
    return QStringLiteral("its text holds letters beyond ASCII in %1, but %2 is in %3")
            .arg(world::encodingName(from), intoPath, world::encodingName(*into));
}

bool drawNumber(int current, int *next)
{
    if (current == INT_MAX)
        return false;
    *next = current + 1;
    return true;
}

// Where an account record of the source lies: its header, and its "{" to "}" lines.
struct AccountRecord
{
    int number = 0;
    qint64 headerLine = 0; // the line number of its SECTION line, counted from 1
    qint64 braceStart = -1; // where its "{" line begins
    qint64 end = -1; // just past its "}" line; -1 when none closes it
    bool endsWithFeed = true; // the "}" line has its line break
    QString problem; // why it cannot be copied as it stands
    qint64 problemLine = 0;
};

// What a pass over an accounts file finds: every record by number (the first of a number;
// a copy that does not read back as the loaded account is refused), the highest SECTION
// number anywhere, and whether the file ends inside a record.
struct AccountsFile
{
    QHash<int, AccountRecord> records;
    int highestSection = -1;
    bool cutOff = false;
    QString readError;
};

// Reads an accounts file with the loader's reader, and notes for every record where its
// braces are. A record's body ends at its first bare "}"; a SECTION line inside it would
// open a record of its own in the loader, so the record is not copied as it stands.
AccountsFile scanAccounts(const QString &path)
{
    AccountsFile found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists())
            found.readError =
                    QStringLiteral("Could not read %1: %2.").arg(path, file.errorString());
        return found;
    }
    world::LineReader reader(&file);
    reader.setLimit(file.size());
    qint64 lineNumber = 0;
    AccountRecord *open = nullptr; // the record whose "}" is still to come
    bool inBody = false;
    // The loader's own pass, which hands over every line it reads, once and in order.
    world::readAccounts(
            reader, [](int, const QString &) {}, [](qint64) {},
            [&](const world::ConditionedLine &line, world::LinePlace) {
                ++lineNumber;
                if (line.keyIs("SECTION")) {
                    const int number = world::toNumber(line.word(2));
                    found.highestSection = qMax(found.highestSection, number);
                    if (open && inBody && open->problem.isEmpty()) {
                        open->problem = QStringLiteral("a record header inside the account record, "
                                                       "which has no closing brace before it");
                        open->problemLine = lineNumber;
                    }
                    // A header that opens a record (not one inside a body, which the loader
                    // reads as a line of that record until its NAME line and then as a
                    // header).
                    AccountRecord record;
                    record.number = number;
                    record.headerLine = lineNumber;
                    if (!found.records.contains(number))
                        found.records.insert(number, record);
                    open = &found.records[number];
                    if (open->headerLine != lineNumber)
                        open = nullptr; // a second record of that number: the first is copied
                    inBody = false;
                    found.cutOff = true;
                    return;
                }
                if (!inBody && line.is("{")) {
                    inBody = true;
                    if (open && open->braceStart < 0)
                        open->braceStart = reader.lineStart();
                    return;
                }
                if (inBody && line.is("}")) {
                    if (open && open->end < 0) {
                        open->end = reader.pos();
                        open->endsWithFeed = reader.lineTerminated();
                    }
                    inBody = false;
                    open = nullptr;
                    found.cutOff = false;
                }
            });
    if (!reader.errorString().isEmpty())
        found.readError = QStringLiteral("Could not read %1: %2.").arg(path, reader.errorString());
    return found;
}

// Reads a copied account record back the way the loader reads an accounts file: it must
// give exactly one account, of that number and name (decoded as the source file that
// holds the record decodes), and no other record header.
QString verifyAccount(
        const QByteArray &text, int number, const QString &name, world::TextEncoding encoding)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    world::LineReader reader(&buffer, 0, 1 << 12);
    int headers = 0;
    QList<QPair<int, QString>> accounts;
    bool closed = false;
    world::readAccounts(
            reader,
            [&](int n, const QString &found) {
                accounts.append({ n, world::decodeText(found, encoding) });
            },
            [](qint64) {},
            [&](const world::ConditionedLine &line, world::LinePlace place) {
                if (place == world::LinePlace::Header || line.keyIs("SECTION"))
                    ++headers;
                if (line.is("}"))
                    closed = true;
            });
    if (headers != 1)
        return QStringLiteral("a record header inside the account record");
    if (accounts.size() != 1 || accounts.constFirst().first != number
            || accounts.constFirst().second != name)
        return QStringLiteral("the account record does not read back as the account \"%1\"")
                .arg(name);
    if (!closed)
        return QStringLiteral("the account record has no closing brace");
    return QString();
}

QString damaged(const QString &name, const Problem &problem)
{
    return QStringLiteral("Damaged World: the character \"%1\" cannot be copied as the source "
                          "world holds it: %2, line %3: %4. %5")
            .arg(name, problem.path)
            .arg(problem.line)
            .arg(problem.what, problem.repair);
}

QString cutOffText(const QString &path)
{
    return QStringLiteral("Damaged World: the destination file %1 ends inside a record that "
                          "never reaches its closing brace, as after a crash during a save; "
                          "anything appended would become part of that record. Repair it "
                          "first (complete or remove its last record).")
            .arg(path);
}

QString unreadable(const QString &dir)
{
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("%1 is not a world: no such directory").arg(dir);
    for (const QString &name : { world::accountsFileName(), world::charactersFileName() }) {
        QFile file(world::filePath(dir, name));
        if (name == world::charactersFileName() && !file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
    }
    return QString();
}

void extend(NumberRange *range, qint64 number)
{
    if (range->isEmpty()) {
        range->first = number;
        range->last = number;
    } else {
        range->last = qMax(range->last, number);
    }
}

struct Stamps
{
    FileStamp accounts;
    FileStamp characters;
    FileStamp items;
    bool operator==(const Stamps &other) const
    {
        return accounts == other.accounts && characters == other.characters && items == other.items;
    }
};

Stamps stampsOf(const QString &dir)
{
    return { world::stampOf(world::filePath(dir, world::accountsFileName())),
        world::stampOf(world::filePath(dir, world::charactersFileName())),
        world::stampOf(world::filePath(dir, world::itemsFileName())) };
}

// Where the texts for the destination's three files go while they are composed: files
// beside the journal, or nowhere on a dry run.
struct Spools
{
    TextSpool accounts;
    TextSpool characters;
    TextSpool items;
    bool writing = false;

    QList<QPair<QString, TextSpool *>> all()
    {
        return { { world::accountsFileName(), &accounts },
            { world::charactersFileName(), &characters }, { world::itemsFileName(), &items } };
    }
    void add(TextSpool &spool, QByteArrayView text)
    {
        if (writing)
            spool.add(text);
    }
};

// Plans the merge into `plan`: every conflict, or every text to append, into `spools`.
void plan(const MergeRequest &request, engine::Progress &progress, MergePlan *plan, Stamps *stamps,
        Spools &spools)
{
    const QString source = request.source;
    const QString dest = request.destination;
    const QString sourceAccountsPath = world::filePath(source, world::accountsFileName());
    const QString sourceCharsPath = world::filePath(source, world::charactersFileName());
    const QString sourceItemsPath = world::filePath(source, world::itemsFileName());
    const QString destAccountsPath = world::filePath(dest, world::accountsFileName());
    const QString destCharsPath = world::filePath(dest, world::charactersFileName());
    const QString destItemsPath = world::filePath(dest, world::itemsFileName());
    QStringList &conflicts = plan->conflicts;

    *stamps = stampsOf(dest);
    engine::Session session;
    engine::LoadListener none;
    engine::loadWorld(session, source, false, progress, none);
    engine::loadWorld(session, dest, true, progress, none);

    progress.showMessage(QStringLiteral("Reading account records"));
    const AccountsFile sourceAccounts = scanAccounts(sourceAccountsPath);
    const AccountsFile destAccounts = scanAccounts(destAccountsPath);
    for (const QString &error : { sourceAccounts.readError, destAccounts.readError }) {
        if (!error.isEmpty())
            conflicts << QStringLiteral("Read Error: %1").arg(error);
    }
    if (destAccounts.cutOff)
        conflicts << cutOffText(destAccountsPath);
    if (!session.destCharsReadError.isEmpty())
        conflicts << QStringLiteral("Read Error: %1").arg(session.destCharsReadError);
    if (session.destCharsCutOff)
        conflicts << cutOffText(destCharsPath);

    // Which source accounts, by name, in the order of their numbers.
    QList<int> chosen;
    QSet<QString> seenNames;
    for (auto it = session.sourceAccounts.cbegin(); it != session.sourceAccounts.cend(); ++it) {
        if (!request.accounts.isEmpty() && !request.accounts.contains(it.value()))
            continue;
        if (seenNames.contains(it.value())) {
            int first = 0;
            world::findAccount(session.sourceAccounts, it.value(), &first);
            conflicts << QStringLiteral("Transfer Error: the source has two accounts named "
                                        "\"%1\" (records %2 and %3): give one of them another "
                                        "name in %4.")
                                 .arg(it.value())
                                 .arg(first)
                                 .arg(it.key())
                                 .arg(sourceAccountsPath);
            continue;
        }
        seenNames.insert(it.value());
        chosen.append(it.key());
    }
    if (!request.withoutItems && !QFileInfo::exists(sourceItemsPath)) {
        int characters = 0;
        for (const int number : std::as_const(chosen))
            characters += int(session.sourceChars.value(number).size());
        if (characters > 0) {
            conflicts << QStringLiteral("Missing Items: the source world has no %1, so its %2 "
                                        "would arrive without any items. Copy %3 into it, or "
                                        "give --without-items to merge without items.")
                                 .arg(world::itemsFileName(),
                                         characters == 1
                                                 ? QStringLiteral("character")
                                                 : QStringLiteral("%1 characters").arg(characters),
                                         sourceItemsPath);
        }
    }
    for (const QString &name : request.accounts) {
        if (!seenNames.contains(name))
            conflicts << QStringLiteral("Transfer Error: the source %1 has no account named "
                                        "\"%2\".")
                                 .arg(source, name);
    }

    // A name stands for the smallest account number that carries it, as for a transfer.
    QHash<QString, int> destNames;
    for (auto it = session.destAccounts.cbegin(); it != session.destAccounts.cend(); ++it) {
        if (!destNames.contains(it.value()))
            destNames.insert(it.value(), it.key());
    }
    QFile sourceAccountsFile(sourceAccountsPath);
    const bool sourceAccountsOpen = sourceAccountsFile.open(QIODevice::ReadOnly);

    // Accounts: created or joined, with the limit and the duplicate names checked.
    int accountNumber = qMax(destAccounts.highestSection, -1);
    world::TextEncoding accountsEncoding = session.destAccountsEncoding;
    for (const int number : std::as_const(chosen)) {
        MergedAccount account;
        account.name = session.sourceAccounts.value(number);
        account.sourceNumber = number;
        QList<QString> present;
        const int existing = destNames.value(account.name, -1);
        if (destNames.contains(account.name)) {
            account.number = existing;
            if (!request.joinExisting) {
                conflicts << QStringLiteral("Account Exists: the destination already has an "
                                            "account \"%1\" (record %2); it may be another "
                                            "player. Give --join-existing to merge into it, or "
                                            "leave it out.")
                                     .arg(account.name)
                                     .arg(existing);
            }
            for (const char_st &character : session.destChars.value(existing))
                present << character.name;
        } else {
            account.created = true;
            if (!drawNumber(accountNumber, &account.number)) {
                conflicts << QStringLiteral("Serial Limit: the destination has run out of "
                                            "account record numbers.");
            }
            accountNumber = account.number;
            extend(&plan->accountRecords, account.number);
            const AccountRecord record = sourceAccounts.records.value(number);
            QString problem = record.problem;
            qint64 problemLine = record.problemLine;
            if (problem.isEmpty() && (record.braceStart < 0 || record.end < 0)) {
                problem = QStringLiteral("the account record has no closing brace");
                problemLine = record.headerLine;
            }
            if (problem.isEmpty()) {
                QByteArray text = accountHeader(account.number);
                if (sourceAccountsOpen && sourceAccountsFile.seek(record.braceStart)) {
                    const QByteArray body = sourceAccountsFile.read(record.end - record.braceStart);
                    if (body.size() == record.end - record.braceStart) {
                        text += body;
                        if (!record.endsWithFeed)
                            text += '\n';
                    }
                }
                problem = verifyAccount(
                        text, account.number, account.name, session.sourceAccountsEncoding);
                problemLine = record.headerLine;
                // A name or a password beyond ASCII must read the same in the destination,
                // or the player could not log in under it.
                const QString mismatch = problem.isEmpty()
                        ? encodingMismatch(text, session.sourceAccountsEncoding, &accountsEncoding,
                                destAccountsPath)
                        : QString();
                if (!mismatch.isEmpty()) {
                    conflicts << QStringLiteral("Encoding Mismatch: the account \"%1\" cannot be "
                                                "copied: %2. Convert one of the two worlds to the "
                                                "other's encoding first.")
                                         .arg(account.name, mismatch);
                } else if (problem.isEmpty()) {
                    spools.add(spools.accounts, text);
                }
            }
            if (!problem.isEmpty()) {
                conflicts << QStringLiteral("Damaged World: the account \"%1\" cannot be copied "
                                            "as the source world holds it: %2, line %3: %4. "
                                            "Repair the record there.")
                                     .arg(account.name, sourceAccountsPath)
                                     .arg(problemLine)
                                     .arg(problem);
            }
        }
        const QList<char_st> incoming = session.sourceChars.value(number);
        if (present.size() + incoming.size() > MergeAccountLimit) {
            conflicts << QStringLiteral("Account limit: the account \"%1\" would hold %2 "
                                        "characters (%3 already in the destination, %4 from the "
                                        "source); an account holds at most %5.")
                                 .arg(account.name)
                                 .arg(present.size() + incoming.size())
                                 .arg(present.size())
                                 .arg(incoming.size())
                                 .arg(MergeAccountLimit);
        }
        for (const char_st &character : incoming) {
            if (present.contains(character.name)) {
                conflicts << QStringLiteral("Character Duplication: the account \"%1\" would "
                                            "hold two characters named \"%2\".")
                                     .arg(account.name, character.name);
            }
            present << character.name;
            account.characters.append(MergedCharacter{ character.name, 0, 0, 0, 0 });
        }
        plan->accounts.append(account);
    }

    // The items of every merged character, read from the source in one pass.
    QList<int> owners;
    for (const MergedAccount &account : std::as_const(plan->accounts)) {
        for (const char_st &character : session.sourceChars.value(account.sourceNumber))
            owners.append(character.serial);
    }
    items::acquireSerials(session, dest, progress);
    if (!session.scanReadError.isEmpty())
        conflicts << QStringLiteral("Read Error: %1").arg(session.scanReadError);
    if (session.destItemsCutOff
            || !itemsEndOutsideRecord(destItemsPath, session.destItemsLastHeader))
        conflicts << cutOffText(destItemsPath);
    items::OwnedItems owned = items::collectOwned(source, owners, progress, true);
    if (!owned.readError.isEmpty())
        conflicts << QStringLiteral("Read Error: %1").arg(owned.readError);

    QFile sourceChars(sourceCharsPath);
    // Each record is read where it lies: a buffered file would read ahead at every one.
    if (!owners.isEmpty() && !sourceChars.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        conflicts << QStringLiteral("Read Error: Could not read %1: %2.")
                             .arg(sourceCharsPath, sourceChars.errorString());
        return;
    }
    const qint64 sourceCharsSize = sourceChars.size();

    // Every character as a transfer would copy it right after the ones before it: numbered
    // above everything the destination holds by then.
    int charSection = qMax(session.maxCharSection, session.destCharsHighestSection);
    int charSerial = qMax(session.maxCharSerial, session.destCharsHighestSerial);
    int itemSection = session.maxItemSection;
    int itemSerial = session.maxItemSerial;
    world::TextEncoding charactersEncoding = session.destCharsEncoding;
    world::TextEncoding itemsEncoding = session.destItemsEncoding;
    progress.reset();
    progress.showMessage(QStringLiteral("Composing characters and items"));
    progress.setRange(0, int(qMin<qsizetype>(owners.size(), INT_MAX)));
    int done = 0;
    for (MergedAccount &account : plan->accounts) {
        const QList<char_st> incoming = session.sourceChars.value(account.sourceNumber);
        for (qsizetype i = 0; i < incoming.size(); ++i) {
            progress.setValue(done++);
            const char_st &character = incoming.at(i);
            MergedCharacter &merged = account.characters[i];
            if (character.offset < 0) {
                conflicts << QStringLiteral("Transfer Error: the character \"%1\" lies beyond "
                                            "the first 2 GB of %2, where it cannot be read "
                                            "back for copying.")
                                     .arg(character.name, sourceCharsPath);
                continue;
            }
            CharacterNumbers numbers{ 0, 0, account.number };
            // A serial that a line of the destination's items names is passed over, as a
            // transfer passes it over: those items must not come to belong to the copy.
            numbers.serial = session.destItemsReferenced.nextFree(charSerial);
            if (!drawNumber(charSection, &numbers.section) || numbers.serial <= charSerial) {
                conflicts << QStringLiteral("Serial Limit: the destination has run out of "
                                            "character numbers.");
                break;
            }
            charSection = numbers.section;
            charSerial = numbers.serial;
            merged.section = numbers.section;
            merged.serial = numbers.serial;
            extend(&plan->characterRecords, numbers.section);
            extend(&plan->characterSerials, numbers.serial);

            const CharacterText copy = composeCharacter(&sourceChars, character.offset,
                    sourceCharsSize, numbers, QByteArray(), 1 << 12);
            if (!copy.readError.isEmpty()) {
                conflicts << QStringLiteral("Read Error: Could not read %1: %2.")
                                     .arg(sourceCharsPath, copy.readError);
                continue;
            }
            Problem problem = verifyCharacter(copy, character.name, session.sourceCharsEncoding,
                    numbers, sourceCharsPath, character.offset, &session.destItemsReferenced);
            if (!problem.isEmpty()) {
                conflicts << damaged(character.name, problem);
                continue;
            }

            // The character's items, filed as item identification files them.
            engine::Session filed;
            filed.maxItemSerial = itemSerial;
            filed.maxItemSection = itemSection;
            filed.maxCharSerial = numbers.serial - 1;
            // Item serials pass over referenced numbers too; the set is lent, not copied.
            std::swap(filed.destItemsReferenced, session.destItemsReferenced);
            items::fileOwned(filed, character.serial, owned);
            std::swap(filed.destItemsReferenced, session.destItemsReferenced);
            owned.byOwner.remove(character.serial);
            const int collected =
                    int(session.destItemsReferenced.freeBetween(itemSerial, filed.maxItemSerial));
            if (filed.scanCollisionFirst >= 0) {
                const qint64 first = lineNumberAt(sourceItemsPath, filed.scanCollisionFirst) - 1;
                const qint64 second = lineNumberAt(sourceItemsPath, filed.scanCollisionSecond) - 1;
                conflicts << damaged(character.name,
                        { sourceItemsPath, second,
                                QStringLiteral("the item record that starts here is filed "
                                               "under the same serial as the item record at "
                                               "line %1 (a record without a SERIAL line of its "
                                               "own takes the serial of the record before it), "
                                               "so one of the two would be left behind")
                                        .arg(first),
                                QStringLiteral("Give each item record its own SERIAL line, "
                                               "with a serial no other item has.") });
                continue;
            }
            bool serialsFit = filed.maxItemSerial >= itemSerial
                    && itemSection <= INT_MAX - filed.serialMap.size();
            for (const item_st &item : std::as_const(filed.serialMap))
                serialsFit = serialsFit && item.serial > itemSerial;
            if (!serialsFit) {
                conflicts << QStringLiteral("Serial Limit: the destination has run out of item "
                                            "record numbers or serials.");
                break;
            }
            const QSet<int> written = writtenItems(filed.serialMap, character.serial);
            const QByteArray text = composeItems(filed.serialMap, written, itemSection + 1,
                    character.serial, numbers.serial, [](int) {});
            problem = verifyItems(text, filed.serialMap, written,
                    { itemSection, itemSerial, &session.destItemsReferenced }, numbers.serial,
                    sourceItemsPath);
            if (!problem.isEmpty()) {
                conflicts << damaged(character.name, problem);
                continue;
            }
            // Text beyond ASCII must read the same in the destination's files as in the
            // source's, as for a transfer.
            const QString mismatch = encodingMismatch(
                    copy.text, session.sourceCharsEncoding, &charactersEncoding, destCharsPath);
            const QString itemsMismatch = encodingMismatch(
                    text, session.sourceItemsEncoding, &itemsEncoding, destItemsPath);
            if (!mismatch.isEmpty() || !itemsMismatch.isEmpty()) {
                conflicts << QStringLiteral("Encoding Mismatch: the character \"%1\" cannot be "
                                            "copied: %2. Convert one of the two worlds to the "
                                            "other's encoding first.")
                                     .arg(character.name,
                                             mismatch.isEmpty() ? itemsMismatch : mismatch);
                continue;
            }
            int highest = itemSerial;
            for (auto it = filed.serialMap.cbegin(); it != filed.serialMap.cend(); ++it) {
                if (written.contains(it.key())) {
                    highest = qMax(highest, it->serial);
                    extend(&plan->itemSerials, it->serial);
                }
            }
            int itemsWritten = 0;
            for (auto it = filed.serialMap.cbegin(); it != filed.serialMap.cend(); ++it)
                itemsWritten += written.contains(it.key()) ? 1 : 0;
            if (itemsWritten > 0) {
                extend(&plan->itemRecords, itemSection + 1);
                extend(&plan->itemRecords, itemSection + itemsWritten);
            }
            itemSection += itemsWritten;
            itemSerial = highest;
            merged.items = itemsWritten;
            merged.leftBehind = collected - itemsWritten;
            plan->items += merged.items;
            plan->itemsLeftBehind += merged.leftBehind;
            ++plan->characters;
            spools.add(spools.characters, copy.text);
            spools.add(spools.items, text);
        }
    }
    progress.reset();
}

} // namespace

QByteArray accountHeader(int number)
{
    return "\n//********Merged Account***********\n\nSECTION ACCOUNT " + QByteArray::number(number)
            + '\n';
}

MergeOutcome runMerge(const MergeRequest &request, engine::Progress &progress, bool dryRun)
{
    MergeOutcome outcome;
    const QString dest = request.destination;
    for (const QString &dir : { request.source, dest }) {
        const QString error = unreadable(dir);
        if (!error.isEmpty()) {
            outcome.result = MergeResult::Unreadable;
            outcome.message = error;
            return outcome;
        }
    }
    const auto refuse = [&](const QString &text) {
        outcome.result = MergeResult::Refused;
        outcome.message = text;
        return outcome;
    };
    if (QFileInfo(request.source).canonicalFilePath() == QFileInfo(dest).canonicalFilePath())
        return refuse(QStringLiteral("Transfer Error: %1 and %2 are the same world; a merge "
                                     "joins two different worlds.")
                              .arg(request.source, dest));

    // The lock is held from before the destination is read until the journal is gone, so
    // that no other program draws the same numbers or undoes this merge halfway. A dry run
    // writes nothing, not even the lock file.
    WorldLock lock;
    if (!dryRun) {
        if (!lock.acquire(dest)) {
            return refuse(QStringLiteral("World Busy: %1: %2. Nothing was written; try again "
                                         "when it is done.")
                                  .arg(dest, lock.error()));
        }
        // Under the lock this merge holds: taking it again would find the world busy.
        const Recovery recovery = recoverLockedWorld(dest);
        if (recovery.result != RecoveryResult::None)
            outcome.recovery = recovery.message;
    }
    for (const QString &dir : { dest, request.source }) {
        const QString summary = journalSummary(dir);
        if (!summary.isEmpty()) {
            return refuse(QStringLiteral("Interrupted Transfer: %1 holds the journal of an "
                                         "interrupted transfer (%2): run \"chartransfer-cli "
                                         "recover %1\" first. Nothing was written.")
                                  .arg(dir, summary));
        }
    }

    // The texts go to files beside the journal as they are composed, never all into memory;
    // a dry run keeps none of them. Under the lock, files of an earlier run are overwritten.
    Spools spools;
    spools.writing = !dryRun;
    const auto failedBeforeBegin = [&](const QString &why) {
        removeSpools(dest);
        outcome.result = MergeResult::Failed;
        outcome.message = QStringLiteral("The merge failed before it began. %1 The destination "
                                         "world was left as it was. Check the destination (free "
                                         "space, permissions), then run the merge again.")
                                  .arg(why);
        return outcome;
    };
    for (const auto &spool : spools.all()) {
        const QString path = world::filePath(dest, spoolFileName(spool.first));
        if (spools.writing && !spool.second->open(path)) {
            return failedBeforeBegin(QStringLiteral("Could not write %1: %2.")
                                             .arg(path, spool.second->errorString()));
        }
    }

    Stamps stamps;
    plan(request, progress, &outcome.plan, &stamps, spools);
    MergePlan &merge = outcome.plan;
    if (!merge.conflicts.isEmpty()) {
        if (spools.writing)
            removeSpools(dest);
        return refuse(QStringLiteral("The merge was refused, nothing was written: %1 %2 found.")
                              .arg(merge.conflicts.size())
                              .arg(merge.conflicts.size() == 1 ? QStringLiteral("conflict")
                                                               : QStringLiteral("conflicts")));
    }
    outcome.result = MergeResult::Done;
    if (dryRun)
        return outcome;

    for (const auto &spool : spools.all()) {
        if (!spool.second->finish()) {
            return failedBeforeBegin(
                    QStringLiteral("Could not write %1: %2.")
                            .arg(spool.second->path(), spool.second->errorString()));
        }
    }
    // The destination is locked against other copies of this program, not against the game
    // server: a world saved since the planning would get numbers that are no longer free.
    if (!(stampsOf(dest) == stamps)) {
        removeSpools(dest);
        return refuse(QStringLiteral("World Changed: the destination world %1 changed while the "
                                     "merge was planned. Nothing was written; run the merge "
                                     "again.")
                              .arg(dest));
    }

    progress.showMessage(QStringLiteral("Writing"));
    Journal journal;
    journal.source = request.source;
    for (const auto &spool : spools.all()) {
        if (spool.second->size() == 0) {
            QFile::remove(spool.second->path());
            continue;
        }
        JournalFile file(spool.first, 0, true, 0, 0, QByteArray());
        file.spooled = true;
        file.spoolSize = spool.second->size();
        file.spoolDigest = spool.second->digest();
        journal.files.append(file);
    }
    if (journal.files.isEmpty())
        return outcome;
    QString journalError;
    if (!describeFiles(dest, &journal, &journalError)
            || !writeJournal(dest, journal, &journalError))
        return failedBeforeBegin(journalError);

    engine::Session session;
    session.transferRunning = true;
    for (const JournalFile &file : std::as_const(journal.files)) {
        FileAppend append(world::filePath(dest, file.name));
        if (!openDestination(session, &append)
                || !commitAppendFrom(session, &append,
                        world::filePath(dest, spoolFileName(file.name)), file.spoolSize))
            break;
    }
    journal.files.clear();
    if (session.transferFailure.isEmpty() && !removeJournal(dest, &journalError))
        session.transferFailure = journalError;
    if (session.transferFailure.isEmpty()) {
        progress.clearMessage();
        return outcome;
    }
    restoreAppends(session);
    if (session.transferRestoreFailures.isEmpty())
        removeJournal(dest, &journalError);
    if (session.transferRestoreFailures.isEmpty()) {
        outcome.result = MergeResult::Failed;
        outcome.message = QStringLiteral("The merge failed. %1 The destination world was left "
                                         "as it was: nothing of the merge was added. Check the "
                                         "destination (free space, permissions), then run the "
                                         "merge again.")
                                  .arg(session.transferFailure);
    } else {
        outcome.result = MergeResult::FailedNotRestored;
        outcome.message =
                QStringLiteral("The merge failed. %1 The destination world could not be put "
                               "back as it was: %2. Restore the destination world from a backup "
                               "before you use it.")
                        .arg(session.transferFailure,
                                session.transferRestoreFailures.join(QStringLiteral("; ")));
    }
    return outcome;
}

} // namespace transfer
