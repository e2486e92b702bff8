#include "items/itemscans.h"

#include <QByteArray>
#include <QFile>
#include <QSet>

#include <limits>
#include <utility>

#include "items/itemrecords.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace items {

namespace {

// The serial a record is filed under before any SERIAL line has been read. Every int can
// be written on a SERIAL line, so no value is safe from all files, but this one is the
// least likely to be mistaken for a real item: -1 is what a type-7 item without a MORE
// line is filed under (a serial-less record at -1 would keep all of those), and 0 is what
// a non-number reads as on SERIAL, CONT and MORE lines alike. Only the literal line
// "SERIAL -2147483648" gives this value.
constexpr int NoSerialYet = std::numeric_limits<int>::min();

// The first bytes of the lines a record that is not (yet) the character's needs: SERIAL,
// OWNER and "}" (SECTION lines between records begin with S too).
constexpr char BodyKeys[] = "SO}";

// The number after `n`. Past the largest int it goes round to the smallest, as a 32-bit
// count does, but without the undefined overflow of `n + 1`; the transfer refuses new
// numbers that went round.
int nextNumber(int n)
{
    return n == std::numeric_limits<int>::max() ? std::numeric_limits<int>::min() : n + 1;
}

// The OWNER line that names the character, made to name its copy instead. Every occurrence
// of the owner text is replaced, as a text replacement does, but only after the key: an
// owner that reads as 0 without being a number ("OWNER E") must not change the key itself,
// and an empty owner ("OWNER" alone) has no occurrences to replace, so the copy's number
// becomes the value.
QString rewriteOwnerLine(const world::ConditionedLine &line, const QString &newOwner)
{
    const QString owner = world::decode(line.word(1));
    const QString value = owner.isEmpty() ? newOwner : line.wordsFrom(1).replace(owner, newOwner);
    return QStringLiteral("OWNER ") + value;
}

// The raw line from its first non-blank byte on. A key can only stand there, so a line
// whose first byte differs from a key's is not that key, whatever the rest holds.
QByteArrayView keyStart(QByteArrayView raw)
{
    qsizetype i = 0;
    while (i < raw.size() && world::isSpace(raw[i]))
        ++i;
    return raw.sliced(i);
}

// Reads the lines between the byte positions `from` and `to` of `file` once more, hands
// each to `take` as the scan reads it (raw, and conditioned), and leaves the file where the
// scan's own reader expects it. A record's lines are only wanted once it turns out to be the
// character's, which is rare; reading those few again costs less than looking at every
// line of every record.
template <typename Take>
bool readLinesAgain(QFile &file, const world::LineReader &reader, qint64 from, qint64 to, Take take)
{
    // Most often the scan's own reader still holds them.
    if (reader.linesHeld(from, to, [&take](QByteArrayView raw) {
            take(raw, world::ConditionedLine::forScanner(raw));
        }))
        return true;
    const qint64 resume = file.pos();
    bool complete = file.seek(from);
    if (complete) {
        // No more than those lines is read, in one block.
        world::LineReader again(
                &file, from, qsizetype(qBound(qint64(64), to - from, qint64(1) << 18)));
        again.setLimit(to);
        while (again.readLine())
            take(again.line(), world::ConditionedLine::forScanner(again.line()));
        complete = again.errorString().isEmpty() && again.pos() == to;
    }
    return file.seek(resume) && complete;
}

} // namespace

namespace {

// Reads the items file once and collects, for every owner `names` accepts, the records
// with an OWNER line naming it, as they stand (no number given out yet). What a record
// sets (its serial, container, type 7 and MORE) is read the same way whoever owns it; the
// serial of the last SERIAL line carries over from record to record.
template <typename Names>
void collect(
        QFile &file, Names names, engine::Progress &progress, OwnedItems *owned, bool pack = false)
{
    const world::ProgressScale scale(file.size());
    progress.reset();
    progress.showMessage(QStringLiteral("Identifiying items"));
    progress.setRange(0, scale.total());

    int currentSerial = NoSerialYet; // set by every SERIAL line, kept across records
    world::LineReader reader(&file);
    bool readFailed = false;
    // Counts lines outside records and one per record, not the lines inside a record. Out
    // there only a SECTION line matters: the others are passed over in bulk, but never past
    // a 10000th line, where the bar moves to the position before it. (The bytes asked for
    // are those the record bodies below ask for: the reader then works out which bytes may
    // begin a wanted line once per 64 bytes, not again at every change of set.)
    for (qint64 lineCount = 0; !reader.atEnd();) {
        if (lineCount % 10000 == 0)
            progress.setValue(scale.value(reader.pos()));
        lineCount += reader.readLinesUntilKey(BodyKeys, 10000 - lineCount % 10000);
        world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
        if (!line.keyIs("SECTION"))
            continue;

        // A header of any record type opens a record.
        const qint64 offset = reader.pos();
        QList<QString> lines; // filled only once the record is known to be collected
        QByteArray packed; // or this, when packing
        const auto keep = [&](const world::ConditionedLine &taken) {
            if (pack) {
                taken.appendTo(&packed);
                packed += '\n';
            } else {
                lines.append(taken.toString());
            }
        };
        QList<int> namedOwners;
        bool typeSeven = false;
        int container = -1;
        int more = -1;

        // Whatever stands between the header and the opening brace is passed over, further
        // headers included.
        qint64 lineStart = reader.pos(); // where the current line begins
        while (!reader.atEnd() && !line.is("{")) {
            lineStart = reader.pos();
            reader.readLine();
            line = world::ConditionedLine::forScanner(reader.line());
        }
        // A header whose brace never comes: nothing more can follow it.
        if (reader.atEnd())
            break;

        // The body runs to the first closing brace; a header inside it is an ordinary line.
        // When the file ends inside the body, the record keeps what was read before its last
        // line, which is neither examined nor kept.
        //
        // Until an OWNER line names a wanted owner, a record's lines matter only for the
        // serial they set (which carries over to the next record) and for where the body
        // ends: lines that cannot be SERIAL, OWNER or "}" are passed over in bulk. Once the
        // record is collected, its lines so far are read again and taken in order as if
        // they had been taken all along, and the rest is read line by line.
        const qint64 bodyStart = lineStart;
        // What a line of a collected record sets.
        const auto examine = [&](QByteArrayView raw, const world::ConditionedLine &taken) {
            const QByteArrayView head = keyStart(raw);
            switch (head.isEmpty() ? '\0' : head.front()) {
            case 'S':
                if (taken.keyIs("SERIAL"))
                    currentSerial = world::toNumber(taken.word(1));
                break;
            case 'C':
                if (taken.keyIs("CONT"))
                    container = world::toNumber(taken.word(1));
                break;
            case 'T':
                // The text "7", not the number: "07" is another type.
                if (taken.keyIs("TYPE") && taken.word(1) == "7")
                    typeSeven = true;
                break;
            case 'M':
                // A MORE line before the record's TYPE 7 line is not taken.
                if (typeSeven && taken.keyIs("MORE"))
                    more = world::toNumber(taken.word(1));
                break;
            }
        };
        bool readable = true;
        while (!line.is("}")) {
            const bool isOwner = line.keyIs("OWNER");
            const int ownerNamed = isOwner ? world::toNumber(line.word(1)) : 0;
            const bool namesWanted = isOwner && names(ownerNamed);
            if (namesWanted && namedOwners.isEmpty()) {
                readable = readLinesAgain(file, reader, bodyStart, lineStart,
                        [&](QByteArrayView raw, const world::ConditionedLine &earlier) {
                            examine(raw, earlier);
                            keep(earlier);
                        });
            }
            const bool taking = namesWanted || !namedOwners.isEmpty();
            if (namesWanted && !namedOwners.contains(ownerNamed))
                namedOwners.append(ownerNamed);
            if (taking) {
                examine(reader.line(), line);
                keep(line);
            } else if (line.keyIs("SERIAL")) {
                currentSerial = world::toNumber(line.word(1));
            }
            if (!readable)
                break;
            if (taking) {
                lineStart = reader.pos();
                reader.readLine();
            } else {
                reader.readLinesUntilKey(BodyKeys, std::numeric_limits<qint64>::max());
                lineStart = reader.lineStart();
            }
            if (reader.atEnd())
                break;
            line = world::ConditionedLine::forScanner(reader.line());
        }
        // Lines that cannot be read again leave the record incomplete; it is not copied,
        // and the file is not trusted any further.
        if (!readable) {
            readFailed = true;
            break;
        }
        for (const int owner : std::as_const(namedOwners)) {
            owned->byOwner[owner].append(OwnedRecord{
                    offset, lines, packed, currentSerial, container, typeSeven, more });
        }
    }

    owned->encoding = reader.encoding();
    // Collection that stopped at a read error has missed the records after it.
    if (readFailed || !reader.errorString().isEmpty()) {
        owned->readError = QStringLiteral("Could not read %1: %2.")
                                   .arg(file.fileName(),
                                           reader.errorString().isEmpty() ? file.errorString()
                                                                          : reader.errorString());
    }
    progress.showMessage(QStringLiteral("Ready"));
    progress.reset();
}

// Opens the items file; false when it cannot be, with what that means noted.
bool openItems(QFile &file, engine::Progress &progress, OwnedItems *owned)
{
    // Unbuffered: the scan reads in large blocks of its own, and the few lines it reads
    // again would otherwise each fetch a whole buffer of the file.
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return true;
    progress.showMessage(QStringLiteral("Unable to open ztitems.wsc"));
    // Only a file that is not there means "no items"; one that is there but cannot be
    // read (a directory, no permission) would send the character without its items.
    if (file.exists())
        owned->readError =
                QStringLiteral("Could not read %1: %2.").arg(file.fileName(), file.errorString());
    return false;
}

} // namespace

OwnedItems collectOwned(
        const QString &name, const QList<int> &owners, engine::Progress &progress, bool pack)
{
    OwnedItems owned;
    QFile file(world::filePath(name, world::itemsFileName()));
    if (!openItems(file, progress, &owned))
        return owned;
    const QSet<int> wanted(owners.cbegin(), owners.cend());
    collect(
            file, [&wanted](int owner) { return wanted.contains(owner); }, progress, &owned, pack);
    return owned;
}

void fileOwned(engine::Session &session, int owner, const OwnedItems &owned)
{
    session.scanCollisionFirst = -1;
    session.scanCollisionSecond = -1;
    const QString newOwner = QString::number(nextNumber(session.maxCharSerial));
    for (const OwnedRecord &record : owned.byOwner.value(owner)) {
        if (record.container != -1)
            session.containerMap[record.container].append(record.serial);
        if (record.typeSeven)
            session.moreMap[record.more].append(record.serial);
        // The next number no line of the destination names (as nextNumber() when none does).
        session.maxItemSerial = session.destItemsReferenced.nextFree(session.maxItemSerial);
        // The OWNER lines that name the character come to name its copy.
        QList<QString> lines = record.lines;
        const auto file = [&](QString &stored, QByteArrayView raw) {
            const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
            if (line.keyIs("OWNER") && world::toNumber(line.word(1)) == owner)
                stored = rewriteOwnerLine(line, newOwner);
        };
        if (lines.isEmpty()) {
            for (qsizetype from = 0; from < record.packed.size();) {
                const qsizetype feed = record.packed.indexOf('\n', from);
                const QByteArrayView raw = QByteArrayView(record.packed).sliced(from, feed - from);
                lines.append(world::decode(raw));
                file(lines.last(), raw);
                from = feed + 1;
            }
        } else {
            for (QString &stored : lines)
                file(stored, world::encode(stored));
        }
        // A second record filed under a serial replaces the first, which would then stay
        // behind unseen; the transfer refuses that.
        const auto earlier = session.serialMap.constFind(record.serial);
        if (earlier != session.serialMap.cend() && session.scanCollisionFirst < 0) {
            session.scanCollisionFirst = earlier->offset;
            session.scanCollisionSecond = record.offset;
        }
        session.serialMap.insert(
                record.serial, item_st{ std::move(lines), session.maxItemSerial, record.offset });
    }

    // One pass, containers first, then MORE objects, each against serialMap as the pass
    // has left it so far: a record survives when what holds it is still collected at the
    // moment its key is tested, or is the character itself.
    const auto prune = [&session, owner](const QMap<int, QList<int>> &holders) {
        for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
            if (it.key() == owner || session.serialMap.contains(it.key()))
                continue;
            for (const int serial : it.value())
                session.serialMap.remove(serial);
        }
    };
    prune(session.containerMap);
    prune(session.moreMap);

    if (session.scanReadError.isEmpty())
        session.scanReadError = owned.readError;
    session.sourceItemsEncoding = owned.encoding;
}

// Collects every item record of the items file in `name` whose OWNER line names the
// character `owner`, gives each a new serial above maxItemSerial in file order, and then
// drops those whose container (or, for type 7, whose MORE object) was not collected and is
// not the character.
void getSerials(
        engine::Session &session, const QString &name, int owner, engine::Progress &progress)
{
    OwnedItems owned;
    QFile file(world::filePath(name, world::itemsFileName()));
    if (!openItems(file, progress, &owned)) {
        session.sourceItemsEncoding = world::TextEncoding::Ascii;
        session.scanCollisionFirst = -1;
        session.scanCollisionSecond = -1;
        if (session.scanReadError.isEmpty())
            session.scanReadError = owned.readError;
        return;
    }
    collect(
            file, [owner](int named) { return named == owner; }, progress, &owned);
    file.close();
    fileOwned(session, owner, owned);
}

} // namespace items
