// Hand-edited worlds, damaged at random: cut anywhere, lines dropped or doubled, comments on
// brace lines, headers inside records, braces and SERIAL lines missing, characters with a
// second NAME or ACCOUNT, item records naming characters and items nobody has, misspelt
// headers; byte-order marks, and text in UTF-8 or Windows-1252 holding the bytes 0x85 and
// 0xa0. Whatever the damage, a transfer either is refused (one warning box, the destination
// as it was), or purely appends one character record and its item records that a fresh load
// and scan of the destination read back as exactly that character and its items, under
// numbers no other record uses and no record that was there before names. The source is
// never written.
//
// Every character of the source tree is transferred, into a damaged destination and into an
// intact one, in a new window and fresh folders each time. The worlds come from a seeded
// generator: each failure prints the seed, the world's index and its damage, and
//   DAMAGED_WORLDS_SEED=S DAMAGED_WORLDS_ONLY=I tst_damagedworlds damagedWorlds
// runs that world again; with DAMAGED_WORLDS_KEEP set, the folders of a failing transfer are
// kept. DAMAGED_WORLDS_COUNT sets how many worlds are made (300), and
// DAMAGED_WORLDS_BUDGET_S the seconds after which no further world is started (60).
#include <QtTest>

#include <QApplication>
#include <QBuffer>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "app/mainwindow.h"
#include "faults/faultsupport.h"
#include "support/modalanswer.h"
#include "support/worldfixture.h"
#include "world/worldformat.h"
#include "world/worldindex.h"

using faults::World;

namespace {

// ---- what is running, for a crash or a hang to name it ----

char runningCase[4096];
std::atomic<qint64> deadlineMs{ 0 }; // 0: nothing running
struct sigaction previousActions[NSIG];

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void say(const char *text)
{
    if (::write(STDERR_FILENO, text, std::strlen(text)) < 0)
        return;
}

void onFatalSignal(int signal)
{
    say("\nFATAL SIGNAL during: ");
    say(runningCase);
    say("\n");
    // Blocked while this handler runs: delivered to the test library's handler afterwards.
    sigaction(signal, &previousActions[signal], nullptr);
    raise(signal);
}

void watchForHangs()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const qint64 deadline = deadlineMs.load();
        if (deadline != 0 && nowMs() > deadline) {
            say("\nHANG (the transfer did not end) during: ");
            say(runningCase);
            say("\n");
            _exit(1);
        }
    }
}

// The offscreen platform says this of every message box it shows; a thousand of them would
// bury the report.
QtMessageHandler testLibraryHandler = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.contains(QLatin1String("propagateSizeHints")))
        testLibraryHandler(type, context, message);
}

// ---- lines, as the project's reader splits them ----

struct Line
{
    qsizetype start; // where the line begins in the file
    qsizetype end; // where the next one begins
    QByteArrayView text; // without its line end
};

QList<Line> linesOf(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    world::LineReader reader(&buffer);
    QList<Line> lines;
    while (reader.readLine()) {
        lines.append({ qsizetype(reader.lineStart()), qsizetype(reader.pos()),
                QByteArrayView(bytes.constData() + reader.lineStart(), reader.line().size()) });
    }
    return lines;
}

// The characters file is read by the loader, the items file by the scanners.
world::ConditionedLine conditioned(QByteArrayView raw, bool characters)
{
    return characters ? world::ConditionedLine::forLoader(raw)
                      : world::ConditionedLine::forScanner(raw);
}

QString quoted(QByteArrayView text)
{
    return QLatin1Char('"') + QString::fromLatin1(text.first(qMin<qsizetype>(text.size(), 60)))
            + QLatin1Char('"');
}

// ---- damage ----

// Does one kind of damage a hand edit does to a characters or items file, and says what.
QString damage(QByteArray *bytes, bool characters, QRandomGenerator &random)
{
    const QByteArray old = *bytes;
    const QList<Line> lines = linesOf(old);
    if (lines.isEmpty())
        return QStringLiteral("(empty, left as it is)");
    QList<int> opens, closes, serials, keyed[2]; // keyed: NAME and ACCOUNT lines
    int maxSection = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const auto line = world::ConditionedLine::forScanner(lines[i].text);
        if (line.is("{"))
            opens << i;
        else if (line.is("}"))
            closes << i;
        else if (line.keyIs("SERIAL"))
            serials << i;
        else if (line.keyIs("NAME"))
            keyed[0] << i;
        else if (line.keyIs("ACCOUNT"))
            keyed[1] << i;
        else if (line.keyIs("SECTION"))
            maxSection = qMax(maxSection, world::toNumber(line.word(2)));
    }
    const auto pick = [&](const QList<int> &from) {
        return from[random.bounded(int(from.size()))];
    };
    const auto where = [&](int i) {
        return QStringLiteral("line %1 %2").arg(i + 1).arg(quoted(lines[i].text));
    };
    const auto lineEnd = [&](int i) {
        return old.mid(lines[i].start + lines[i].text.size(),
                lines[i].end - lines[i].start - lines[i].text.size());
    };
    const auto replaceLine = [&](int i, const QByteArray &with) {
        bytes->replace(lines[i].start, lines[i].end - lines[i].start, with);
    };
    // Puts `text` on a line of its own somewhere in the body of a random record.
    const auto insertInBody = [&](const QByteArray &text) {
        const int open = pick(opens);
        int close = open + 1;
        while (close < lines.size()
                && !world::ConditionedLine::forScanner(lines[close].text).is("}"))
            ++close;
        const int at = open + 1 + random.bounded(close - open);
        const QByteArray end = lineEnd(open).isEmpty() ? QByteArray("\n") : lineEnd(open);
        if (at < lines.size())
            bytes->insert(lines[at].start, text + end);
        else
            bytes->append((old.endsWith('\n') ? QByteArray() : end) + text + end);
        return QStringLiteral("inserted %1 before line %2").arg(quoted(text)).arg(at + 1);
    };

    enum Kind {
        Cut,
        Drop,
        Duplicate,
        BraceComment,
        HeaderInBody,
        DropOpen,
        DropClose,
        DropSerial,
        SecondName,
        SecondAccount
    };
    const QList<int> braces = opens + closes;
    const QList<int> *needed[] = { nullptr, nullptr, nullptr, &braces, &opens, &opens, &closes,
        &serials, &keyed[0], &keyed[1] };
    Kind kind = Kind(random.bounded(characters ? SecondAccount + 1 : DropSerial + 1));
    if ((needed[kind] && needed[kind]->isEmpty()) || (kind >= SecondName && opens.isEmpty()))
        kind = Drop;
    switch (kind) {
    case Cut: {
        const qsizetype at = random.bounded(int(old.size()));
        bytes->truncate(at);
        int i = 0;
        while (i + 1 < lines.size() && lines[i + 1].start <= at)
            ++i;
        return QStringLiteral("cut at byte %1 (%2 of %3)")
                .arg(at)
                .arg(at - lines[i].start)
                .arg(where(i));
    }
    case Drop:
    case DropOpen:
    case DropClose:
    case DropSerial: {
        const int i = kind == Drop ? random.bounded(int(lines.size()))
                                   : pick(kind == DropOpen             ? opens
                                                   : kind == DropClose ? closes
                                                                       : serials);
        replaceLine(i, QByteArray());
        return QStringLiteral("dropped ") + where(i);
    }
    case Duplicate: {
        const int i = random.bounded(int(lines.size()));
        const QByteArray copy = old.mid(lines[i].start, lines[i].end - lines[i].start);
        bytes->insert(lines[i].end, lineEnd(i).isEmpty() ? "\n" + copy : copy);
        return QStringLiteral("doubled ") + where(i);
    }
    case BraceComment: {
        const int i = pick(braces);
        const bool open = opens.contains(i);
        const QByteArray text = open ? "{ // note" : "} // x";
        replaceLine(i, text + lineEnd(i));
        return QStringLiteral("%1 became %2").arg(where(i), quoted(text));
    }
    case HeaderInBody: {
        // Mostly the next free number, which a reader that skips record bodies misses.
        const int number = random.bounded(3) ? maxSection + 1 : random.bounded(maxSection + 1);
        return insertInBody((characters ? "SECTION CHARACTER " : "SECTION WORLDITEM ")
                + QByteArray::number(number));
    }
    case SecondName:
    case SecondAccount: {
        const QList<int> &from = keyed[kind == SecondName ? 0 : 1];
        return insertInBody(lines[pick(from)].text.toByteArray());
    }
    }
    return QString();
}

// The highest number on a SERIAL line of a file, as the scanners read it (`floor` at least).
int highestSerial(const QByteArray &bytes, int floor)
{
    for (const Line &raw : linesOf(bytes)) {
        const auto line = world::ConditionedLine::forScanner(raw.text);
        if (line.keyIs("SERIAL"))
            floor = qMax(floor, world::toNumber(line.word(1)));
    }
    return floor;
}

// Damage about numbers: an item record that names a character or an item nobody has (as
// when a character or a container was deleted), picked where the next transfer draws its
// numbers from; or a SECTION header misspelt or in lower case, which hides its record.
QString damageNumbers(World *target, QRandomGenerator &random)
{
    const bool characters = random.bounded(3) == 0;
    QByteArray *bytes = characters ? &target->characters : &target->items;
    const QList<Line> lines = linesOf(*bytes);
    QList<int> headers, opens;
    for (int i = 0; i < lines.size(); ++i) {
        const auto line = world::ConditionedLine::forScanner(lines[i].text);
        if (line.keyIs("SECTION"))
            headers << i;
        else if (line.is("{"))
            opens << i;
    }
    if (characters || opens.isEmpty() || random.bounded(3) == 0) {
        if (headers.isEmpty())
            return QStringLiteral("(no header to misspell)");
        const int i = headers[random.bounded(int(headers.size()))];
        QByteArray text = lines[i].text.toByteArray();
        if (random.bounded(2))
            text = text.toLower();
        else
            text.replace("SECTION", "SECTON");
        bytes->replace(lines[i].start, lines[i].text.size(), text);
        return QStringLiteral("%1: line %2 became %3")
                .arg(characters ? world::charactersFileName() : world::itemsFileName())
                .arg(i + 1)
                .arg(quoted(text));
    }
    const int number = random.bounded(2)
            ? highestSerial(target->characters, 0) + 1 + random.bounded(3)
            : highestSerial(target->items, 0x40000000) + 1 + random.bounded(4);
    static const char *const Keys[] = { "OWNER ", "CONT ", "TYPE 7\nMORE " };
    const QByteArray text = Keys[random.bounded(3)] + QByteArray::number(number);
    const int open = opens[random.bounded(int(opens.size()))];
    const bool crLf = lines[open].end - lines[open].start > lines[open].text.size() + 1;
    const QByteArray end = crLf ? "\r\n" : "\n";
    bytes->insert(lines[open].end, QByteArray(text).replace("\n", end) + end);
    return QStringLiteral("%1: inserted %2 after line %3")
            .arg(world::itemsFileName(), quoted(text))
            .arg(open + 1);
}

// What editors and other tools do to a file's text: a byte-order mark before its first line;
// text in UTF-8 or Windows-1252 whose bytes include 0x85 and 0xa0 (which were once taken
// for white space) on a NAME line or any other; such a byte where indentation would be.
QString damageEncoding(QByteArray *bytes, QRandomGenerator &random)
{
    static const QByteArray texts[] = {
        " \xc3\xa0 \xc3\x85sa \xc5\xa0", // UTF-8: à Åsa Š
        " \xd0\xa0\xd1\x83\xd0\xbd\xd0\xb0", // UTF-8: Руна
        "\xc3\x85", // UTF-8, touching the text before it
        " Wait\x85 \xa0x \x8a\x8c\x9e", // Windows-1252: Wait… x ŠŒž
        "\xa0", // Windows-1252: no-break space, touching
        "\x85",
    };
    const QByteArray bom("\xef\xbb\xbf");
    const QList<Line> lines = linesOf(*bytes);
    const int kind = random.bounded(3);
    if ((kind == 0 && !bytes->startsWith(bom)) || lines.isEmpty()) {
        bytes->prepend(bom);
        return QStringLiteral("a byte-order mark before the first line");
    }
    QList<int> names;
    for (int i = 0; i < lines.size(); ++i) {
        if (world::ConditionedLine::forScanner(lines[i].text).keyIs("NAME"))
            names << i;
    }
    const int i = kind == 1 && !names.isEmpty() ? names[random.bounded(int(names.size()))]
                                                : random.bounded(int(lines.size()));
    if (kind == 2) {
        const QByteArray byte = random.bounded(2) ? "\xa0" : "\x85";
        bytes->insert(lines[i].start, byte);
        return QStringLiteral("%1 before line %2 %3")
                .arg(quoted(byte))
                .arg(i + 1)
                .arg(quoted(lines[i].text));
    }
    const QByteArray &text = texts[random.bounded(int(std::size(texts)))];
    bytes->insert(lines[i].start + lines[i].text.size(), text);
    return QStringLiteral("%1 after line %2 %3")
            .arg(quoted(text))
            .arg(i + 1)
            .arg(quoted(lines[i].text));
}

QString damageSide(World *target, const char *side, int count, QRandomGenerator &random)
{
    QStringList said;
    for (int i = 0; i < count; ++i) {
        // One edit in four is to numbers, one in four to the text's encoding, in any of the
        // three files.
        const int kind = random.bounded(4);
        if (kind == 0) {
            said << QStringLiteral("%1 %2").arg(QLatin1String(side), damageNumbers(target, random));
            continue;
        }
        if (kind == 1) {
            const int file = random.bounded(3);
            QByteArray *bytes[] = { &target->accounts, &target->characters, &target->items };
            const QString names[] = { world::accountsFileName(), world::charactersFileName(),
                world::itemsFileName() };
            said << QStringLiteral("%1 %2: %3")
                            .arg(QLatin1String(side), names[file],
                                    damageEncoding(bytes[file], random));
            continue;
        }
        const bool characters = random.bounded(2) == 0;
        said << QStringLiteral("%1 %2: %3")
                        .arg(QLatin1String(side),
                                characters ? world::charactersFileName() : world::itemsFileName(),
                                damage(characters ? &target->characters : &target->items,
                                        characters, random));
    }
    return said.join(QLatin1String("; "));
}

World withCrLf(World world)
{
    for (QByteArray *bytes : { &world.accounts, &world.characters, &world.items })
        bytes->replace("\n", "\r\n");
    return world;
}

// ---- records, as the loader or the scanners delimit them ----

struct Record
{
    qsizetype header = 0; // where its SECTION line begins
    int number = 0; // the record number on that line
    bool textBeforeBrace = false;
    bool opened = false;
    bool closed = false;
    QList<world::ConditionedLine> body; // between "{" and "}"
    QList<int> values(QByteArrayView key, int word = 1) const
    {
        QList<int> found;
        for (const world::ConditionedLine &line : body) {
            if (line.keyIs(key))
                found << world::toNumber(line.word(word));
        }
        return found;
    }
};

// A file read the way its reader reads it: a SECTION line opens a record, lines up to a bare
// "{" are passed over (further headers too), the body runs to the first bare "}".
struct Reading
{
    QList<Record> records;
    QList<Record> appended; // those whose header lies at or after `from`
    QStringList problems; // with the appended text's place in the file
    QHash<int, int> serials; // number to how many SERIAL lines name it
    QHash<int, int> sections; // the same for SECTION lines
};

Reading readRecords(const QByteArray &bytes, qsizetype from, bool characters)
{
    Reading reading;
    enum { Outside, BeforeBrace, Body } state = Outside;
    bool reachedFrom = false;
    for (const Line &raw : linesOf(bytes)) {
        const world::ConditionedLine line = conditioned(raw.text, characters);
        const bool appended = raw.start >= from;
        if (raw.start < from && raw.start + raw.text.size() > from)
            reading.problems << QStringLiteral("the appended text continues the old last line");
        if (appended && !reachedFrom) {
            reachedFrom = true;
            if (state != Outside) {
                reading.problems << QStringLiteral(
                        "it follows an unfinished record (at byte %1), which takes it in")
                                            .arg(reading.records.last().header);
            }
        }
        if (line.keyIs("SERIAL"))
            ++reading.serials[world::toNumber(line.word(1))];
        if (line.keyIs("SECTION"))
            ++reading.sections[world::toNumber(line.word(2))];
        if (state == Outside && line.keyIs("SECTION")) {
            reading.records.append(Record());
            reading.records.last().header = raw.start;
            reading.records.last().number = world::toNumber(line.word(2));
            state = BeforeBrace;
        } else if (state == Outside) {
            if (appended && !line.isEmpty())
                reading.problems << QStringLiteral("stray line %1").arg(quoted(raw.text));
        } else if (state == BeforeBrace) {
            if (line.is("{")) {
                reading.records.last().opened = true;
                state = Body;
            } else if (!line.isEmpty()) {
                reading.records.last().textBeforeBrace = true;
            }
        } else if (line.is("}")) {
            reading.records.last().closed = true;
            state = Outside;
        } else {
            reading.records.last().body << line;
        }
    }
    for (const Record &record : std::as_const(reading.records)) {
        if (record.header >= from)
            reading.appended << record;
    }
    return reading;
}

QString listed(const QList<int> &numbers)
{
    QStringList texts;
    for (const int number : numbers)
        texts << QString::number(number);
    return texts.isEmpty() ? QStringLiteral("none") : texts.join(QLatin1String(", "));
}

QString describeRecord(const char *what, const Record &record)
{
    return QStringLiteral("%1 record %2").arg(QLatin1String(what)).arg(record.number);
}

// What is wrong with one appended record's frame: where it begins and ends, and its number.
QStringList frameProblems(const char *what, const Reading &reading, const Record &record)
{
    QStringList problems;
    const QString name = describeRecord(what, record);
    if (!record.opened)
        problems << name + QStringLiteral(" never opens: no bare \"{\" follows its header");
    else if (!record.closed)
        problems << name + QStringLiteral(" never closes");
    if (record.opened && record.textBeforeBrace)
        problems << name + QStringLiteral(" has text before its \"{\"");
    if (!record.values("SECTION", 2).isEmpty())
        problems << name + QStringLiteral(" has a SECTION line inside");
    if (reading.sections.value(record.number) != 1)
        problems << name
                        + QStringLiteral(": number used by %1 other SECTION lines")
                                  .arg(reading.sections.value(record.number) - 1);
    return problems;
}

// ---- windows ----

void loadWorlds(MainWindow *window, const QString &source, const QString &dest)
{
    window->processFile(
            source, window->listView1, &window->sourceAccounts, &window->sourceChars, false);
    window->sourceDir = source;
    window->fileDestination(dest);
}

int countCharacters(QTreeWidget *view, const QString &account, const QString &name)
{
    int count = 0;
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = view->topLevelItem(i);
        for (int c = 0; item->text(0) == account && c < item->childCount(); ++c)
            count += item->child(c)->text(1) == name;
    }
    return count;
}

// Answers every modal window that comes up while it runs, and remembers what it said.
class BoxRecorder
{
public:
    QStringList captions() const { return m_collector.titles(); }
    QStringList texts() const
    {
        QStringList said;
        for (const ModalRecord &box : m_collector.records)
            said << box.text;
        return said;
    }

private:
    ModalCollector m_collector;
};

struct WorldFiles
{
    QByteArray accounts, characters, items;
    explicit WorldFiles(const QString &dir)
        : accounts(fixture::readFile(world::filePath(dir, world::accountsFileName())))
        , characters(fixture::readFile(world::filePath(dir, world::charactersFileName())))
        , items(fixture::readFile(world::filePath(dir, world::itemsFileName())))
    { }
    bool operator==(const WorldFiles &o) const
    {
        return accounts == o.accounts && characters == o.characters && items == o.items;
    }
};

// What a transfer that went through must have appended.
QStringList appendProblems(const WorldFiles &before, const WorldFiles &after,
        const QString &destDir, const QString &name, const QString &accountName, int accountNumber,
        int shownBefore)
{
    QStringList problems;
    if (!after.characters.startsWith(before.characters) || !after.items.startsWith(before.items))
        return { QStringLiteral("the destination was changed, not appended to") };
    if (after.characters.size() == before.characters.size())
        return { after.items == before.items
                    ? QStringLiteral("no warning, yet nothing was appended")
                    : QStringLiteral("items were appended without a character") };

    const Reading characters = readRecords(after.characters, before.characters.size(), true);
    problems << characters.problems;
    if (characters.appended.size() != 1)
        problems << QStringLiteral("%1 character records appended").arg(characters.appended.size());
    // The serial the items must name; unknown when the record cannot be read as a character.
    int serial = -1;
    if (!characters.appended.isEmpty() && characters.appended.first().opened) {
        const Record &record = characters.appended.first();
        problems << frameProblems("character", characters, record);
        const QList<int> serials = record.values("SERIAL");
        if (serials.isEmpty() || serials.count(serials.first()) != serials.size())
            problems << QStringLiteral("the character has SERIAL lines %1").arg(listed(serials));
        else
            serial = serials.first();
        if (serial != -1 && characters.serials.value(serial) != serials.size())
            problems << QStringLiteral("the character's serial %1 is on %2 other SERIAL lines")
                                .arg(serial)
                                .arg(characters.serials.value(serial) - serials.size());
        const QList<int> accounts = record.values("ACCOUNT");
        if (accounts.isEmpty() || accounts.count(accountNumber) != accounts.size())
            problems << QStringLiteral("the character's ACCOUNT lines say %1, not only %2")
                                .arg(listed(accounts))
                                .arg(accountNumber);
    } else if (!characters.appended.isEmpty()) {
        problems << frameProblems("character", characters, characters.appended.first());
    }

    MainWindow fresh;
    fresh.fileDestination(destDir);
    const int shown = countCharacters(fresh.listView2, accountName, name);
    if (shown != shownBefore + 1)
        problems << QStringLiteral("a fresh load shows \"%1\" under \"%2\" %3 times, %4 before")
                            .arg(name, accountName)
                            .arg(shown)
                            .arg(shownBefore);

    const Reading items = readRecords(after.items, before.items.size(), false);
    problems << items.problems;
    // Once the first record is taken into an old one, the rest says nothing new.
    if (!items.problems.isEmpty())
        return problems;
    QSet<int> copies;
    for (const Record &record : items.appended) {
        if (!record.values("SERIAL").isEmpty())
            copies << record.values("SERIAL").first();
    }
    for (const Record &record : items.appended) {
        const QString what = describeRecord("item", record);
        problems << frameProblems("item", items, record);
        const QList<int> serials = record.values("SERIAL");
        if (serials.size() != 1)
            problems << what + QStringLiteral(" has %1 SERIAL lines").arg(serials.size());
        else if (items.serials.value(serials.first()) != 1)
            problems << what
                            + QStringLiteral(": serial %1 is on %2 other SERIAL lines")
                                      .arg(serials.first())
                                      .arg(items.serials.value(serials.first()) - 1);
        if (serial == -1)
            continue;
        const QList<int> owners = record.values("OWNER");
        if (owners.isEmpty() || owners.count(serial) != owners.size())
            problems << what
                            + QStringLiteral(" has OWNER lines %1, the character is %2")
                                      .arg(listed(owners))
                                      .arg(serial);
        // CONT, and MORE after a TYPE 7 line, name what the copy holds: its own items, the
        // character, or nothing.
        bool typeSeven = false;
        for (const world::ConditionedLine &line : record.body) {
            typeSeven = typeSeven || (line.keyIs("TYPE") && line.word(1) == "7");
            const bool reference = line.keyIs("CONT") || (typeSeven && line.keyIs("MORE"));
            const int value = world::toNumber(line.word(1));
            if (reference && value != -1 && value != serial && !copies.contains(value))
                problems << what
                                + QStringLiteral(": %1 names %2, which was not copied")
                                          .arg(line.toString())
                                          .arg(value);
        }
    }
    // No record that was in the destination before names a new number: it would come to
    // hold, belong to or open the copy.
    const Reading old = readRecords(before.items, before.items.size(), false);
    for (const Record &record : old.records) {
        bool typeSeven = false;
        for (const world::ConditionedLine &line : record.body) {
            typeSeven = typeSeven || (line.keyIs("TYPE") && line.word(1) == "7");
            const int value = world::toNumber(line.word(1));
            if ((line.keyIs("OWNER") || line.keyIs("CONT") || (typeSeven && line.keyIs("MORE")))
                    && ((serial != -1 && value == serial) || copies.contains(value)))
                problems << QStringLiteral("%1 (old record at byte %2) names the new number %3")
                                    .arg(line.toString())
                                    .arg(record.header)
                                    .arg(value);
        }
    }
    if (serial != -1) {
        fresh.getSerials(destDir, serial);
        const QList<int> collected = fresh.serialMap.keys();
        const QSet<int> found(collected.begin(), collected.end());
        // Every copy, and nothing that was there before.
        if (found != copies || copies.size() != items.appended.size())
            problems << QStringLiteral(
                    "a scan for owner %1 collects %2 items, %3 of them appended, "
                    "of %4 appended records")
                                .arg(serial)
                                .arg(collected.size())
                                .arg(QSet<int>(found).intersect(copies).size())
                                .arg(items.appended.size());
    }
    problems.removeDuplicates();
    return problems;
}

// ---- the cases ----

struct Tally
{
    int worlds = 0;
    int transfers = 0;
    int refused = 0;
    int appended = 0;
    int broken = 0;
};

struct SourceCharacter
{
    int accountRow;
    int row;
    QString account;
    QString name;
};

// Transfers one character as a user would and returns what broke the rule, if anything.
QStringList transferOne(const World &source, const World &dest, const SourceCharacter &character,
        QRandomGenerator &random, Tally *tally)
{
    QTemporaryDir tmp(faults::scratchTemplate());
    const QString sourceDir = tmp.filePath(QStringLiteral("source"));
    const QString destDir = tmp.filePath(QStringLiteral("dest"));
    if (!tmp.isValid() || !faults::write(sourceDir, source) || !faults::write(destDir, dest))
        return { QStringLiteral("cannot write the worlds") };
    MainWindow window;
    loadWorlds(&window, sourceDir, destDir);
    QTreeWidgetItem *item =
            window.listView1->topLevelItem(character.accountRow)->child(character.row);
    if (item->text(1) != character.name || item->parent()->text(0) != character.account)
        return { QStringLiteral("the source tree differs from one load to the next") };

    // An account with room and no namesake, when there is one.
    QList<QTreeWidgetItem *> fitting, all;
    for (int i = 0; i < window.listView2->topLevelItemCount(); ++i) {
        QTreeWidgetItem *account = window.listView2->topLevelItem(i);
        all << account;
        if (account->childCount() < 5
                && countCharacters(window.listView2, account->text(0), character.name) == 0)
            fitting << account;
    }
    const QList<QTreeWidgetItem *> &choice = fitting.isEmpty() ? all : fitting;
    if (choice.isEmpty())
        return {};
    QTreeWidgetItem *target = choice[random.bounded(int(choice.size()))];
    const QString accountName = target->text(0);
    int accountNumber = -1;
    world::findAccount(window.destAccounts, accountName, &accountNumber);
    const int shownBefore = countCharacters(window.listView2, accountName, character.name);
    window.listView1->setCurrentItem(item);
    window.listView2->setCurrentItem(target);

    const WorldFiles sourceBefore(sourceDir);
    const WorldFiles destBefore(destDir);
    const QString what = QStringLiteral("\"%1\" (%2) into account \"%3\"")
                                 .arg(character.name, character.account, accountName);
    qstrncpy(runningCase + qstrlen(runningCase), qPrintable(QStringLiteral(" / ") + what),
            sizeof runningCase - qstrlen(runningCase));
    QStringList problems;
    {
        BoxRecorder boxes;
        deadlineMs = nowMs() + qint64(10000 * faults::timeScale());
        window.pushButton1->click();
        deadlineMs = 0;
        ++tally->transfers;
        const WorldFiles destAfter(destDir);
        if (!(WorldFiles(sourceDir) == sourceBefore))
            problems << QStringLiteral("the source world was written");
        if (destAfter.accounts != destBefore.accounts)
            problems << QStringLiteral("accounts.adm was written");
        if (QApplication::overrideCursor())
            problems << QStringLiteral("the wait cursor was left on");
        if (boxes.captions().size() > 1) {
            problems << QStringLiteral("%1 boxes: %2")
                                .arg(boxes.captions().size())
                                .arg(boxes.captions().join(QLatin1String(", ")));
        } else if (boxes.captions().size() == 1) {
            ++tally->refused;
            if (boxes.captions().first() == QLatin1String("Transfer Failed"))
                problems << QStringLiteral("\"Transfer Failed\": ")
                                + boxes.texts().first().simplified();
            if (destAfter.characters != destBefore.characters
                    || destAfter.items != destBefore.items)
                problems << QStringLiteral("warning \"%1\", but the destination was written")
                                    .arg(boxes.captions().first());
        } else {
            ++tally->appended;
            problems << appendProblems(destBefore, destAfter, destDir, character.name, accountName,
                    accountNumber, shownBefore);
        }
    }
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    if (!problems.isEmpty()) {
        problems[0].prepend(what + QStringLiteral(": "));
        // The folders as the transfer left them, for a look by hand.
        if (qEnvironmentVariableIsSet("DAMAGED_WORLDS_KEEP")) {
            tmp.setAutoRemove(false);
            problems << QStringLiteral("(kept in %1)").arg(tmp.path());
        }
    }
    return problems;
}

// Transfers every character of the source tree into `dests` (tag and world each); adds a
// line per broken transfer to `report`.
void transferAll(const World &source, const QList<QPair<QString, World>> &dests,
        QRandomGenerator &random, Tally *tally, QStringList *report)
{
    QList<SourceCharacter> characters;
    {
        QTemporaryDir tmp(faults::scratchTemplate());
        faults::write(tmp.path(), source);
        MainWindow survey;
        survey.processFile(
                tmp.path(), survey.listView1, &survey.sourceAccounts, &survey.sourceChars, false);
        for (int a = 0; a < survey.listView1->topLevelItemCount(); ++a) {
            QTreeWidgetItem *account = survey.listView1->topLevelItem(a);
            for (int c = 0; c < account->childCount(); ++c)
                characters.append({ a, c, account->text(0), account->child(c)->text(1) });
        }
    }
    const QByteArray prefix(runningCase);
    for (const SourceCharacter &character : std::as_const(characters)) {
        for (const auto &dest : dests) {
            qstrncpy(runningCase, prefix + " / into the " + dest.first.toLatin1() + " destination",
                    sizeof runningCase);
            const QStringList problems = transferOne(source, dest.second, character, random, tally);
            if (!problems.isEmpty()) {
                ++tally->broken;
                *report << QStringLiteral("  into the %1 destination, %2")
                                   .arg(dest.first, problems.join(QLatin1String("; ")));
            }
        }
    }
}

QString summary(const Tally &tally)
{
    return QStringLiteral("%1 worlds, %2 transfers: %3 refused, %4 appended; %5 broke the rule")
            .arg(tally.worlds)
            .arg(tally.transfers)
            .arg(tally.refused)
            .arg(tally.appended)
            .arg(tally.broken);
}

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

} // namespace

class tst_DamagedWorlds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void intactWorlds();
    void damagedWorlds();
    void mergedWorlds();

private:
    struct Pair
    {
        QString tag;
        World source;
        World dest;
    };
    QList<Pair> m_pairs;
    QTemporaryDir m_generated{ faults::scratchTemplate() };
};

void tst_DamagedWorlds::initTestCase()
{
    for (int signal : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT }) {
        struct sigaction action = {};
        action.sa_handler = onFatalSignal;
        sigaction(signal, &action, &previousActions[signal]);
    }
    std::thread(watchForHangs).detach();
    testLibraryHandler = qInstallMessageHandler(quietHandler);

    const QString examples = QFINDTESTDATA("../../examples");
    QVERIFY2(!examples.isEmpty(), "examples/ not found");
    const auto readWorld = [](const QString &dir) {
        return World{ fixture::readFile(world::filePath(dir, world::accountsFileName())),
            fixture::readFile(world::filePath(dir, world::charactersFileName())),
            fixture::readFile(world::filePath(dir, world::itemsFileName())) };
    };
    const World exampleSource = readWorld(examples + QStringLiteral("/source"));
    const World exampleDest = readWorld(examples + QStringLiteral("/destination"));
    QVERIFY(!exampleSource.characters.isEmpty() && !exampleDest.items.isEmpty());

    // Small generated worlds: five accounts, twelve characters, 120 items.
    QList<World> generated;
    for (int seed = 1; seed <= 3; ++seed) {
        const QString dir = m_generated.filePath(QString::number(seed));
        QProcess worldgen;
        worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN),
                { dir, QStringLiteral("--seed"), QString::number(seed),
                        QStringLiteral("--accounts"), QStringLiteral("5"),
                        QStringLiteral("--characters"), QStringLiteral("12"),
                        QStringLiteral("--items"), QStringLiteral("120"),
                        QStringLiteral("--rich-items"), QStringLiteral("20") });
        QVERIFY2(worldgen.waitForFinished(60000) && worldgen.exitCode() == 0,
                qPrintable(worldgen.errorString()));
        generated << readWorld(dir);
    }
    m_pairs = { { QStringLiteral("examples"), exampleSource, exampleDest },
        { QStringLiteral("generated 1 into generated 2"), generated[0], generated[1] },
        { QStringLiteral("generated 3 into the example destination"), generated[2], exampleDest },
        { QStringLiteral("the example source into generated 1"), exampleSource, generated[0] } };
}

// Without damage every transfer goes through and reads back as it should.
void tst_DamagedWorlds::intactWorlds()
{
    Tally tally;
    QStringList report;
    QRandomGenerator random(1);
    for (const Pair &pair : std::as_const(m_pairs)) {
        for (const bool crLf : { false, true }) {
            const QString tag = pair.tag + (crLf ? QStringLiteral(", CR LF") : QString());
            qstrncpy(runningCase, qPrintable(QStringLiteral("intact ") + tag), sizeof runningCase);
            ++tally.worlds;
            QStringList broken;
            transferAll(crLf ? withCrLf(pair.source) : pair.source,
                    { { QStringLiteral("intact"), crLf ? withCrLf(pair.dest) : pair.dest } },
                    random, &tally, &broken);
            if (!broken.isEmpty())
                report << tag << broken;
        }
    }
    runningCase[0] = '\0';
    qInfo("%s", qPrintable(summary(tally)));
    QVERIFY2(report.isEmpty(), qPrintable(report.join(QLatin1Char('\n'))));
    QCOMPARE(tally.appended, tally.transfers);
}

void tst_DamagedWorlds::damagedWorlds()
{
    const quint32 seed = quint32(environmentNumber("DAMAGED_WORLDS_SEED", 1));
    const int count = environmentNumber("DAMAGED_WORLDS_COUNT", 300);
    const int only = environmentNumber("DAMAGED_WORLDS_ONLY", -1);
    const qint64 budgetMs = environmentNumber("DAMAGED_WORLDS_BUDGET_S", 60) * qint64(1000);
    QElapsedTimer clock;
    clock.start();
    Tally tally;
    QStringList report;
    for (int index = only < 0 ? 0 : only; index < (only < 0 ? count : only + 1); ++index) {
        if (clock.elapsed() > budgetMs) {
            qInfo("time budget spent after %d of %d worlds", index, count);
            break;
        }
        const quint32 seeds[] = { seed, quint32(index) };
        QRandomGenerator random(seeds);
        const Pair &pair = m_pairs[random.bounded(int(m_pairs.size()))];
        const bool sourceCrLf = random.bounded(5) == 0;
        const bool destCrLf = random.bounded(5) == 0;
        World source = sourceCrLf ? withCrLf(pair.source) : pair.source;
        const World intact = destCrLf ? withCrLf(pair.dest) : pair.dest;
        World dest = intact;
        // The source alone, the destination alone, or both; mostly one edit each.
        const int side = random.bounded(5);
        const auto edits = [&] {
            const int r = random.bounded(10);
            return r < 7 ? 1 : r < 9 ? 2 : 3;
        };
        QStringList damageSaid;
        if (side != 2 && side != 3)
            damageSaid << damageSide(&source, "source", edits(), random);
        if (side >= 2)
            damageSaid << damageSide(&dest, "destination", edits(), random);
        const QString title =
                QStringLiteral("world %1 (DAMAGED_WORLDS_SEED=%2 DAMAGED_WORLDS_ONLY=%1): %3%4%5")
                        .arg(index)
                        .arg(seed)
                        .arg(pair.tag, sourceCrLf ? QStringLiteral(", source CR LF") : QString(),
                                destCrLf ? QStringLiteral(", destination CR LF") : QString());
        qstrncpy(runningCase,
                qPrintable(title + QStringLiteral("; damage: ")
                        + damageSaid.join(QLatin1String("; "))),
                sizeof runningCase);
        ++tally.worlds;
        QList<QPair<QString, World>> dests;
        if (side >= 2)
            dests << qMakePair(QStringLiteral("damaged"), dest);
        dests << qMakePair(QStringLiteral("intact"), intact);
        QStringList broken;
        transferAll(source, dests, random, &tally, &broken);
        if (!broken.isEmpty())
            report << title
                   << QStringLiteral("  damage: ") + damageSaid.join(QLatin1String("\n          "))
                   << broken;
    }
    runningCase[0] = '\0';
    for (const QString &line : std::as_const(report))
        qInfo("%s", qPrintable(line));
    qInfo("seed %u: %s in %lld s", seed, qPrintable(summary(tally)), clock.elapsed() / 1000);
    QVERIFY2(tally.broken == 0,
            qPrintable(
                    QStringLiteral("%1 transfers broke the rule (see above)").arg(tally.broken)));
}

namespace {

QByteArray runTool(const QStringList &arguments, int *status)
{
    QProcess tool;
    tool.start(QStringLiteral(CHARTRANSFER_CLI), arguments);
    *status = tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit
            ? tool.exitCode()
            : -1;
    return tool.readAllStandardOutput();
}

// The "account: character" pairs that the tool's list shows.
QSet<QString> listedCharacters(const QByteArray &list)
{
    QSet<QString> pairs;
    QString account;
    for (const QByteArray &line : list.split('\n')) {
        if (line.startsWith("account ")) {
            account = QString::fromLocal8Bit(line.mid(line.indexOf(": ") + 2));
            account.remove(QStringLiteral(" (no characters)"));
        } else if (line.startsWith("    ")) {
            const QByteArray name = line.mid(4, line.lastIndexOf("  (") - 4);
            pairs.insert(account + QStringLiteral(": ") + QString::fromLocal8Bit(name));
        }
    }
    return pairs;
}

} // namespace

// The same damaged worlds merged whole: the merge refuses with the destination unchanged,
// or the destination holds every source character under its account and check finds no
// problem it did not find before.
void tst_DamagedWorlds::mergedWorlds()
{
    const int count = environmentNumber("DAMAGED_WORLDS_MERGES", 60);
    QTemporaryDir scratch(faults::scratchTemplate());
    int refused = 0;
    int merged = 0;
    QStringList report;
    for (int index = 0; index < count; ++index) {
        const quint32 seeds[] = { 7, quint32(index) };
        QRandomGenerator random(seeds);
        const Pair &pair = m_pairs[random.bounded(int(m_pairs.size()))];
        World source = pair.source;
        World dest = pair.dest;
        const int side = random.bounded(3);
        QString said;
        if (side != 1)
            said += damageSide(&source, "source", 1, random);
        if (side != 0)
            said += damageSide(&dest, "destination", 1, random);
        const QString title = QStringLiteral("merge %1: %2; %3").arg(index).arg(pair.tag, said);
        const QString sourceDir = scratch.filePath(QStringLiteral("s%1").arg(index));
        const QString destDir = scratch.filePath(QStringLiteral("d%1").arg(index));
        QVERIFY(faults::write(sourceDir, { source.accounts, source.characters, source.items }));
        QVERIFY(faults::write(destDir, { dest.accounts, dest.characters, dest.items }));
        const faults::WorldBytes before = faults::snapshot(destDir);
        int status = 0;
        const int problemsBefore =
                int(runTool({ QStringLiteral("check"), destDir }, &status).count('\n'));
        runTool({ QStringLiteral("merge"), QStringLiteral("--from"), sourceDir,
                        QStringLiteral("--to"), destDir, QStringLiteral("--join-existing") },
                &status);
        if (status != 0) {
            ++refused;
            if (status != 3 && status != 6)
                report << title + QStringLiteral(": exit status %1").arg(status);
            else if (!before.differences(faults::snapshot(destDir)).isEmpty())
                report << title + QStringLiteral(": refused, but the destination changed");
            continue;
        }
        ++merged;
        const int problemsAfter =
                int(runTool({ QStringLiteral("check"), destDir }, &status).count('\n'));
        if (problemsAfter > problemsBefore)
            report << title
                            + QStringLiteral(": check finds %1 problems, before %2")
                                      .arg(problemsAfter - 1)
                                      .arg(problemsBefore - 1);
        const QSet<QString> wanted =
                listedCharacters(runTool({ QStringLiteral("list"), sourceDir }, &status));
        const QSet<QString> present =
                listedCharacters(runTool({ QStringLiteral("list"), destDir }, &status));
        for (const QString &character : wanted) {
            if (!present.contains(character))
                report << title + QStringLiteral(": %1 missing after the merge").arg(character);
        }
    }
    qInfo("%d merges: %d done, %d refused", count, merged, refused);
    QVERIFY2(report.isEmpty(), qPrintable(report.join(QLatin1Char('\n'))));
    QVERIFY(merged > 0 && refused > 0);
}

QTEST_MAIN(tst_DamagedWorlds)
#include "tst_damagedworlds.moc"
