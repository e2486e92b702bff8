#include <QtTest>

#include <QProcess>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTreeWidget>

#include <algorithm>
#include <limits>
#include <vector>

#include "app/mainwindow.h"
#include "support/modalanswer.h"
#include "support/worldfixture.h"
#include "world/worldformat.h"

// The byte-level reading layer against the plain QString forms it stands for: the same
// lines, generated and random, must give the same words, numbers, lines and offsets; and
// whole worlds must load, scan and transfer the same whichever of the two paths runs.
class tst_FastPath : public QObject
{
    Q_OBJECT

private slots:
    void conditioning_data();
    void conditioning();
    void numbers_data();
    void numbers();
    void randomNumbers();
    void lineReader_data();
    void lineReader();
    void skippingLines_data();
    void skippingLines();
    void scansFollowThePlainRules_data();
    void scansFollowThePlainRules();
    void bothPathsOnAWorld_data();
    void bothPathsOnAWorld();
};

namespace {

// Bytes that white-space rules care about, in the proportions that make the tricky cases
// common: ASCII white space, bytes that look like it but are not (NEL 0x85 and NBSP 0xa0,
// which are parts of letters in UTF-8), comment slashes, signs and digits.
const char WhiteSpace[] = { ' ', '\t', '\r', '\v', '\f', '\n' };
const char NotWhiteSpace[] = { char(0x1c), char(0x1d), char(0x1e), char(0x1f), char(0x00),
    char(0x84), char(0x85), char(0x86), char(0x9f), char(0xa0), char(0xa1), char(0xff) };
const char *const Keys[] = { "SECTION", "SERIAL", "NAME", "ACCOUNT", "OWNER", "CONT", "TYPE",
    "MORE", "OWN", "ROBE", "{", "}", "SERIALS", "Name" };
const char *const Numbers[] = { "0", "7", "07", "+5", "-0", "-1", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "99999999999", "0x10", "1e3", "1,000", "12a", "+", "-", "--1",
    "+-1", "00000000000000000042", "\xd9\xa1",
    "\xa0"
    "5",
    "5\xa0", "1073741824" };

QByteArray pick(QRandomGenerator &random, const char *const *list, int count)
{
    return QByteArray(list[random.bounded(count)]);
}

QByteArray whiteSpaceRun(QRandomGenerator &random, bool allowNewline = false)
{
    QByteArray run;
    const int length = 1 + (random.bounded(4) == 0 ? random.bounded(4) : 0);
    for (int i = 0; i < length; ++i) {
        char c = WhiteSpace[random.bounded(int(sizeof WhiteSpace))];
        if (c == '\n' && !allowNewline)
            c = ' ';
        run += c;
    }
    return run;
}

QByteArray randomWord(QRandomGenerator &random)
{
    switch (random.bounded(8)) {
    case 0:
        return pick(random, Keys, int(sizeof Keys / sizeof *Keys));
    case 1:
        return pick(random, Numbers, int(sizeof Numbers / sizeof *Numbers));
    case 2: {
        QByteArray word; // bytes that are not white space, of any value
        const int length = random.bounded(3) == 0 ? random.bounded(40) : 1 + random.bounded(6);
        for (int i = 0; i < length; ++i)
            word += NotWhiteSpace[random.bounded(int(sizeof NotWhiteSpace))];
        return word;
    }
    case 3:
        return QByteArray(random.bounded(1, 4), '/');
    default: {
        QByteArray word;
        const int length = 1 + random.bounded(random.bounded(10) == 0 ? 300 : 9);
        for (int i = 0; i < length; ++i) {
            char c = char(random.bounded(0x21, 0x7f));
            if (random.bounded(20) == 0)
                c = char(random.bounded(0x80, 0x100));
            if (world::isSpace(c))
                c = 'x';
            word += c;
        }
        return word;
    }
    }
}

// One raw line (no line feed): words between runs of white space, comments anywhere.
QByteArray randomLine(QRandomGenerator &random)
{
    QByteArray line;
    if (random.bounded(4) == 0)
        line += whiteSpaceRun(random);
    const int words = random.bounded(7);
    for (int i = 0; i < words; ++i) {
        if (i > 0)
            line += whiteSpaceRun(random);
        line += randomWord(random);
        if (random.bounded(12) == 0)
            line += random.bounded(2) ? "//" : "/ /";
    }
    if (random.bounded(4) == 0)
        line += whiteSpaceRun(random);
    if (random.bounded(6) == 0)
        line += QByteArray(random.bounded(1, 4), '/') + randomWord(random);
    return line;
}

// Lines as world files have them, with the odd separator and comment.
QByteArray worldLikeLine(QRandomGenerator &random)
{
    const QByteArray key = pick(random, Keys, int(sizeof Keys / sizeof *Keys));
    QByteArray line = random.bounded(10) == 0 ? whiteSpaceRun(random) : QByteArray();
    line += key;
    if (key != "{" && key != "}") {
        line += whiteSpaceRun(random);
        line += random.bounded(2) ? pick(random, Numbers, int(sizeof Numbers / sizeof *Numbers))
                                  : randomWord(random);
        if (random.bounded(3) == 0)
            line += whiteSpaceRun(random) + randomWord(random);
    }
    if (random.bounded(5) == 0)
        line += (random.bounded(2) ? QByteArray() : whiteSpaceRun(random)) + "// note";
    if (random.bounded(8) == 0)
        line += whiteSpaceRun(random);
    return line;
}

QString printable(QByteArrayView bytes)
{
    QString text;
    for (const char c : bytes) {
        const uchar u = uchar(c);
        if (u >= 0x20 && u < 0x7f && u != '\\')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The first way in which the conditioned line differs from the reference, or empty.
QString compareConditioned(
        const world::ConditionedLine &line, const QString &expected, const char *how)
{
    const auto differs = [&](const QString &what, const QString &fast, const QString &ref) {
        return QStringLiteral("%1 %2: fast %3, reference %4")
                .arg(QLatin1String(how), what, printable(world::encode(fast)),
                        printable(world::encode(ref)));
    };
    if (line.toString() != expected)
        return differs(QStringLiteral("toString()"), line.toString(), expected);
    if (line.isEmpty() != expected.isEmpty())
        return QStringLiteral("%1 isEmpty(): fast %2").arg(QLatin1String(how)).arg(line.isEmpty());
    for (int i = 0; i <= 4; ++i) {
        const QString word = world::reference::word(expected, i);
        if (world::decode(line.word(i)) != word)
            return differs(QStringLiteral("word(%1)").arg(i), world::decode(line.word(i)), word);
        const QString rest = world::reference::wordsFrom(expected, i);
        if (line.wordsFrom(i) != rest)
            return differs(QStringLiteral("wordsFrom(%1)").arg(i), line.wordsFrom(i), rest);
    }
    for (const char *text : { "{", "}", "" }) {
        if (line.is(text) != (expected == QLatin1String(text)))
            return QStringLiteral("%1 is(\"%2\"): fast %3")
                    .arg(QLatin1String(how), QLatin1String(text))
                    .arg(line.is(text));
    }
    const QString first = world::reference::word(expected, 0);
    QList<QByteArray> keys{ world::encode(first), world::encode(first) + 'X', "" };
    if (!first.isEmpty())
        keys << world::encode(first.chopped(1));
    for (const char *key : Keys)
        keys << QByteArray(key);
    for (const QByteArray &key : std::as_const(keys)) {
        if (line.keyIs(key) != (first == world::decode(key)))
            return QStringLiteral("%1 keyIs(%2): fast %3")
                    .arg(QLatin1String(how), printable(key))
                    .arg(line.keyIs(key));
    }
    return QString();
}

QString compareLine(const QByteArray &raw)
{
    const QString text = world::decode(raw);
    QString failure = compareConditioned(world::ConditionedLine::forLoader(raw),
            world::reference::conditionForLoader(text), "forLoader");
    if (failure.isEmpty())
        failure = compareConditioned(world::ConditionedLine::forScanner(raw),
                world::reference::conditionForScanner(text), "forScanner");
    if (failure.isEmpty()
            && world::decode(world::stripComment(QByteArrayView(raw))) != world::stripComment(text))
        failure = QStringLiteral("stripComment differs");
    return failure;
}

// The reference way to read lines: a text stream in Latin-1.
QList<QByteArray> streamLines(const QByteArray &bytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QTextStream stream(&buffer);
    stream.setEncoding(QStringConverter::Latin1);
    QList<QByteArray> lines;
    while (!stream.atEnd())
        lines << world::encode(stream.readLine());
    return lines;
}

// Where each line begins, counted by hand: after every line feed.
QList<qint64> lineEnds(const QByteArray &bytes)
{
    QList<qint64> ends;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\n')
            ends << i + 1;
    }
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        ends << bytes.size();
    return ends;
}

QString worldgenPath()
{
    return QStringLiteral(CHARTRANSFER_WORLDGEN);
}

// Writes a world with the generator; returns the serial of its rich character.
int generateWorld(const QString &dir, const QStringList &sizes)
{
    QProcess process;
    process.start(worldgenPath(), QStringList{ dir } + sizes);
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return -1;
    const QString out = QString::fromLatin1(process.readAllStandardOutput());
    const qsizetype at = out.indexOf(QLatin1String("serial="));
    return at < 0 ? -1 : out.mid(at + 7).section(QLatin1Char('\t'), 0, 0).toInt();
}

// The same world with its lines roughed up the ways hand-edited files are: odd white space
// between and around words, comments after text and on lines of their own, CR LF endings.
QByteArray roughen(const QByteArray &bytes, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(bytes.size() * 11 / 10);
    for (const QByteArray &line : bytes.split('\n')) {
        QByteArray rough = line;
        switch (random.bounded(40)) {
        case 0:
            rough.replace(' ', whiteSpaceRun(random));
            break;
        case 1:
            rough = whiteSpaceRun(random) + rough;
            break;
        case 2:
            rough += whiteSpaceRun(random);
            break;
        case 3:
            rough += " // was " + randomWord(random);
            break;
        case 4:
            rough += "//" + randomWord(random);
            break;
        case 5:
            out += "// " + randomWord(random) + '\n';
            break;
        case 6:
            rough += '\r';
            break;
        default:
            break;
        }
        out += rough + '\n';
    }
    out.chop(1);
    return out;
}

QStringList treeTexts(QTreeWidget *view)
{
    QStringList texts;
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *account = view->topLevelItem(i);
        QString text = account->text(0) + QLatin1Char('|') + account->text(1)
                + (account->isExpanded() ? QLatin1String("|open") : QLatin1String("|closed"));
        for (int c = 0; c < account->childCount(); ++c)
            text += QLatin1String("||") + account->child(c)->text(0) + QLatin1Char('|')
                    + account->child(c)->text(1);
        texts << text;
    }
    return texts;
}

// Everything the loaders and scanners leave in a window, in a form QCOMPARE can show.
struct Outcome
{
    QMap<int, QString> accounts;
    QMap<int, QList<char_st>> characters;
    QStringList tree;
    QMap<int, QString> destAccounts;
    QMap<int, QList<char_st>> destCharacters;
    QStringList destTree;
    QList<int> counters;
    QMap<int, item_st> serialMap;
    QMap<int, QList<int>> containerMap;
    QMap<int, QList<int>> moreMap;
    QByteArray transferredCharacters;
    QByteArray transferredItems;
    QStringList afterTransfer;
    QString box;
};

// Loads `dir` on both sides, scans it, identifies `owner`'s items, and transfers that
// character into a copy of the world.
bool runWindow(const QString &dir, int owner, const QString &scratch, Outcome *outcome)
{
    MainWindow window;
    window.processFile(dir, window.listView1, &window.sourceAccounts, &window.sourceChars, false);
    window.sourceDir = dir;
    outcome->accounts = window.sourceAccounts;
    outcome->characters = window.sourceChars;
    outcome->tree = treeTexts(window.listView1);

    window.fileDestination(dir);
    outcome->destAccounts = window.destAccounts;
    outcome->destCharacters = window.destChars;
    outcome->destTree = treeTexts(window.listView2);
    outcome->counters << window.maxCharSection << window.maxCharSerial;
    window.acquireSerials(dir);
    outcome->counters << window.maxItemSection << window.maxItemSerial;
    window.getSerials(dir, owner);
    outcome->counters << window.maxItemSerial;
    outcome->serialMap = window.serialMap;
    outcome->containerMap = window.containerMap;
    outcome->moreMap = window.moreMap;

    // The transfer, into a copy: the owner's record from the source tree into the first
    // account with room for it.
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        if (!QFile::copy(world::filePath(dir, name), world::filePath(scratch, name)))
            return false;
    }
    window.fileDestination(scratch);
    QTreeWidgetItem *source = nullptr;
    for (int i = 0; i < window.listView1->topLevelItemCount() && !source; ++i) {
        QTreeWidgetItem *account = window.listView1->topLevelItem(i);
        int number = -1;
        if (!world::findAccount(window.sourceAccounts, account->text(0), &number))
            continue;
        for (int c = 0; c < account->childCount() && !source; ++c) {
            const char_st *character =
                    world::findCharacter(window.sourceChars, number, account->child(c)->text(1));
            if (character && character->serial == owner)
                source = account->child(c);
        }
    }
    QTreeWidgetItem *dest = nullptr;
    for (int i = 0; i < window.listView2->topLevelItemCount() && !dest; ++i) {
        QTreeWidgetItem *account = window.listView2->topLevelItem(i);
        bool fits = account->childCount() < 5;
        for (int c = 0; c < account->childCount(); ++c)
            fits = fits && account->child(c)->text(1) != source->text(1);
        if (fits)
            dest = account;
    }
    if (!source || !dest)
        return false;
    window.listView1->setCurrentItem(source);
    window.listView2->setCurrentItem(dest);
    const qint64 charactersBefore =
            QFileInfo(world::filePath(scratch, world::charactersFileName())).size();
    const qint64 itemsBefore = QFileInfo(world::filePath(scratch, world::itemsFileName())).size();
    // A box would stop the transfer; answer it and note it. The record outlives the test,
    // since the answering timer may still look after the window is gone.
    static ModalRecord boxes[16];
    static int boxesUsed = 0;
    ModalRecord *box = &boxes[boxesUsed++ % 16];
    *box = ModalRecord();
    answerNextModal(box);
    window.fileTransfer();
    outcome->box = box->ran ? box->title + QLatin1String(": ") + box->text : QString();
    outcome->transferredCharacters =
            fixture::readFile(world::filePath(scratch, world::charactersFileName()))
                    .mid(charactersBefore);
    outcome->transferredItems =
            fixture::readFile(world::filePath(scratch, world::itemsFileName())).mid(itemsBefore);
    outcome->afterTransfer = treeTexts(window.listView2);
    return true;
}

// Puts the reading layer back on its fast path however a test ends.
struct ReferenceMode
{
    explicit ReferenceMode(bool on) { world::setReferenceMode(on); }
    ~ReferenceMode() { world::setReferenceMode(false); }
};

} // namespace

void tst_FastPath::conditioning_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("world-like-lines") << 0 << 7u;
    QTest::newRow("random-lines") << 1 << 11u;
    QTest::newRow("random-lines-other-seed") << 1 << 12345u;
    QTest::newRow("random-bytes") << 2 << 99u;
}

void tst_FastPath::conditioning()
{
    QFETCH(int, kind);
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    for (int n = 0; n < 40000; ++n) {
        QByteArray raw;
        if (kind == 0) {
            raw = worldLikeLine(random);
        } else if (kind == 1) {
            raw = randomLine(random);
        } else {
            const int length = random.bounded(random.bounded(8) == 0 ? 200 : 24);
            for (int i = 0; i < length; ++i) {
                const int r = random.bounded(4);
                raw += r == 0    ? WhiteSpace[random.bounded(int(sizeof WhiteSpace))]
                        : r == 1 ? '/'
                                 : char(random.bounded(256));
            }
        }
        // The fast path may look at bytes around the line in memory; put the line at every
        // position against a page's end, not only at the start of its own allocation.
        QByteArray padded(4096 + 64, 'x');
        const int at = random.bounded(int(padded.size() - raw.size()) + 1);
        padded.replace(at, raw.size(), raw);
        const QByteArrayView view = QByteArrayView(padded).sliced(at, raw.size());
        const QString failure = compareLine(view.toByteArray());
        QVERIFY2(failure.isEmpty(),
                qPrintable(QStringLiteral("line %1 %2: %3").arg(n).arg(printable(raw), failure)));
        const QString inPlace = compareConditioned(world::ConditionedLine::forScanner(view),
                world::reference::conditionForScanner(world::decode(raw)), "in place");
        QVERIFY2(inPlace.isEmpty(),
                qPrintable(QStringLiteral("line %1 %2: %3").arg(n).arg(printable(raw), inPlace)));
    }
}

void tst_FastPath::numbers_data()
{
    QTest::addColumn<QByteArray>("word");
    for (const char *number : Numbers)
        QTest::newRow(qPrintable(printable(number))) << QByteArray(number);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("blank-around") << QByteArray(" 42 ");
    QTest::newRow("tab-before") << QByteArray("\t-7");
    QTest::newRow("nel-after") << QByteArray("8\x85");
    QTest::newRow("inner-blank") << QByteArray("4 2");
    QTest::newRow("nul-after") << QByteArray("5\0", 2);
    QTest::newRow("file-separator-after") << QByteArray("5\x1c");
    QTest::newRow("nine-digits") << QByteArray("999999999");
    QTest::newRow("ten-digits") << QByteArray("1000000000");
    QTest::newRow("minus-nine-digits") << QByteArray("-99999999");
    QTest::newRow("plus-max") << QByteArray("+2147483647");
    QTest::newRow("leading-zeros-max") << QByteArray("0002147483647");
    QTest::newRow("leading-zeros-over") << QByteArray("0002147483648");
    QTest::newRow("huge") << QByteArray("123456789012345678901234567890");
}

void tst_FastPath::numbers()
{
    QFETCH(QByteArray, word);
    QCOMPARE(world::toNumber(QByteArrayView(word)), world::decode(word).toInt(nullptr, 10));
    QCOMPARE(world::toNumber(world::decode(word)), world::decode(word).toInt(nullptr, 10));
}

void tst_FastPath::randomNumbers()
{
    QRandomGenerator random(2024);
    for (int n = 0; n < 100000; ++n) {
        QByteArray word;
        if (random.bounded(3) == 0)
            word += "+- \t"[random.bounded(4)];
        const int digits = random.bounded(1, 14);
        for (int i = 0; i < digits; ++i)
            word += char('0' + random.bounded(10));
        if (random.bounded(10) == 0)
            word += randomWord(random).left(2);
        const int expected = world::decode(word).toInt(nullptr, 10);
        QVERIFY2(world::toNumber(QByteArrayView(word)) == expected,
                qPrintable(QStringLiteral("%1: fast %2, reference %3")
                                   .arg(printable(word))
                                   .arg(world::toNumber(QByteArrayView(word)))
                                   .arg(expected)));
    }
}

void tst_FastPath::lineReader_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<qsizetype>("blockSize");
    QTest::addColumn<bool>("reference");
    QTest::newRow("block-1") << 1u << qsizetype(1) << false;
    QTest::newRow("block-2") << 2u << qsizetype(2) << false;
    QTest::newRow("block-7") << 3u << qsizetype(7) << false;
    QTest::newRow("block-63") << 4u << qsizetype(63) << false;
    QTest::newRow("block-64") << 5u << qsizetype(64) << false;
    QTest::newRow("block-65") << 6u << qsizetype(65) << false;
    QTest::newRow("block-4096") << 7u << qsizetype(4096) << false;
    QTest::newRow("block-default") << 8u << world::LineReader::DefaultBlockSize << false;
    QTest::newRow("reference-mode") << 9u << world::LineReader::DefaultBlockSize << true;
}

void tst_FastPath::lineReader()
{
    QFETCH(quint32, seed);
    QFETCH(qsizetype, blockSize);
    QFETCH(bool, reference);
    const ReferenceMode mode(reference);
    QRandomGenerator random(seed);
    for (int file = 0; file < 30; ++file) {
        // Lines of every length, ended by LF, CR LF, a lone CR inside, and sometimes none.
        QByteArray bytes;
        const int lines = random.bounded(file < 3 ? 3 : 400);
        for (int i = 0; i < lines; ++i) {
            bytes += random.bounded(10) == 0 ? QByteArray(random.bounded(200), 'L')
                                             : randomLine(random);
            const int end = random.bounded(10);
            bytes += end == 0 ? "\r\n" : end == 1 ? "\r\r\n" : end == 2 ? "\r" : "\n";
        }
        if (random.bounded(2))
            bytes.chop(1);
        if (random.bounded(5) == 0)
            bytes += '\r';

        const QList<QByteArray> expected = streamLines(bytes);
        const QList<qint64> ends = lineEnds(bytes);
        QBuffer device(&bytes);
        QVERIFY(device.open(QIODevice::ReadOnly));
        world::LineReader reader(&device, 0, blockSize);
        qsizetype n = 0;
        while (!reader.atEnd()) {
            QVERIFY2(reader.readLine(),
                    qPrintable(QStringLiteral("file %1 line %2").arg(file).arg(n)));
            const QByteArray line = reader.line().toByteArray();
            const bool lastLine = n + 1 == expected.size();
            QVERIFY2(n < expected.size(),
                    qPrintable(QStringLiteral("file %1: more lines than the text stream reads")
                                       .arg(file)));
            QVERIFY2(line == expected.at(n),
                    qPrintable(QStringLiteral("file %1 line %2: %3, text stream %4")
                                       .arg(file)
                                       .arg(n)
                                       .arg(printable(line), printable(expected.at(n)))));
            QCOMPARE(reader.pos(), ends.at(n));
            QCOMPARE(reader.lineStart(), n > 0 ? ends.at(n - 1) : qint64(0));
            // Asking whether more follows must not disturb the line in hand.
            QCOMPARE(reader.atEnd(), lastLine);
            QCOMPARE(reader.line().toByteArray(), line);
            QCOMPARE(reader.lineTerminated(), bytes.at(ends.at(n) - 1) == '\n');
            ++n;
        }
        QCOMPARE(n, expected.size());
        QVERIFY(!reader.readLine());
    }
}

void tst_FastPath::skippingLines_data()
{
    QTest::addColumn<QByteArray>("firsts");
    QTest::addColumn<qsizetype>("blockSize");
    QTest::addColumn<quint32>("seed");
    const QList<QPair<const char *, QByteArray>> sets{ { "serial-and-section", "S" },
        { "serial-section-and-brace", "S}" }, { "item-keys", "SOCTM}" },
        { "nothing-but-white-space", "" }, { "more-bytes-than-one-look-takes", "SOCTM}NA" },
        { "odd-bytes", QByteArray("\x85/\x00\xff\x1c", 5) } };
    const QList<QPair<const char *, qsizetype>> blocks{ { "block-1", 1 }, { "block-63", 63 },
        { "block-64", 64 }, { "block-65", 65 },
        { "block-default", world::LineReader::DefaultBlockSize } };
    quint32 seed = 100;
    for (const auto &set : sets) {
        for (const auto &block : blocks) {
            QTest::addRow("%s-%s", set.first, block.first) << set.second << block.second << seed++;
        }
    }
}

// A line that begins with white space, as a hand-edited file has them: any of the bytes
// of ASCII white space, an empty line, or a line that is only white space; or with a byte
// that looks like white space but is not.
QByteArray indentedLine(QRandomGenerator &random)
{
    static const char Indents[] = { ' ', '\t', '\v', '\f', '\r', char(0x85), char(0xa0) };
    QByteArray line;
    switch (random.bounded(5)) {
    case 0:
        return QByteArray();
    case 1:
        return QByteArray(random.bounded(1, 3), Indents[random.bounded(int(sizeof Indents))]);
    default:
        line += Indents[random.bounded(int(sizeof Indents))];
        return line + worldLikeLine(random);
    }
}

// The reader passes over lines in bulk; whatever it does, it must read exactly the lines the
// plain way reads (one readLine() after another, stopping at the first line whose first byte
// is wanted or white space, or after the most lines asked for): the same count, the same
// line in hand, the same positions.
void tst_FastPath::skippingLines()
{
    QFETCH(QByteArray, firsts);
    QFETCH(qsizetype, blockSize);
    QFETCH(quint32, seed);
    const auto wanted = [&firsts](const QByteArray &line) {
        return !line.isEmpty() && (firsts.contains(line.front()) || world::isSpace(line.front()));
    };
    QRandomGenerator random(seed);
    for (int file = 0; file < 25; ++file) {
        QByteArray bytes;
        const int count = file < 3 ? file : random.bounded(1, 2000);
        // Some files are long runs of lines that are passed over, with few stops.
        const int stopsOneIn = random.bounded(2) ? 3 : 200;
        for (int i = 0; i < count; ++i) {
            QByteArray line;
            switch (random.bounded(stopsOneIn)) {
            case 0:
                line = indentedLine(random);
                break;
            case 1:
                line = randomLine(random);
                break;
            case 2:
                line = worldLikeLine(random);
                break;
            default:
                // Keys that begin with none of the bytes, of every length.
                line = random.bounded(30) == 0 ? QByteArray(random.bounded(64, 300), 'L')
                                               : "X" + QByteArray::number(random.bounded(1000000));
                break;
            }
            const int end = random.bounded(12);
            bytes += line + (end == 0 ? "\r\n" : end == 1 ? "\r" : "\n");
        }
        if (random.bounded(2))
            bytes.chop(1);

        // Every line, where it begins and where the next begins, the plain way.
        QList<QByteArray> lines;
        QList<qint64> starts;
        QList<qint64> positions;
        {
            QBuffer device(&bytes);
            QVERIFY(device.open(QIODevice::ReadOnly));
            world::LineReader reader(&device);
            qint64 previous = 0;
            while (reader.readLine()) {
                lines << reader.line().toByteArray();
                starts << previous;
                positions << reader.pos();
                previous = reader.pos();
            }
        }

        QBuffer device(&bytes);
        QVERIFY(device.open(QIODevice::ReadOnly));
        world::LineReader reader(&device, 0, blockSize);
        qsizetype index = 0;
        while (!reader.atEnd()) {
            const QString where = QStringLiteral("file %1 line %2").arg(file).arg(index);
            // Now and then a plain readLine() in between, as a scan reads a record's lines.
            if (random.bounded(10) == 0) {
                QVERIFY2(reader.readLine(), qPrintable(where));
                ++index;
            } else if (random.bounded(3) == 0) {
                // Visiting: each line the bulk pass would stop at is handed over where it
                // stands, and the pass goes on unless the visitor says stop (here: at lines
                // of a length divisible by 3).
                const qint64 most = random.bounded(3) ? random.bounded(1, 60) : 1000000;
                const auto stops = [](const QByteArray &line) { return line.size() % 3 == 0; };
                qint64 expected = 0;
                QList<qsizetype> expectedVisits;
                while (index + expected < lines.size() && expected < most) {
                    const QByteArray &line = lines.at(index + expected);
                    ++expected;
                    if (wanted(line)) {
                        expectedVisits << index + expected - 1;
                        if (stops(line))
                            break;
                    }
                }
                struct Visitor : world::LineReader::LineVisitor
                {
                    world::LineReader *reader;
                    QList<QByteArray> seen;
                    QList<qint64> starts;
                    QList<qint64> ends;
                    bool visit(QByteArrayView line) override
                    {
                        seen << line.toByteArray();
                        starts << reader->lineStart();
                        ends << reader->pos();
                        return line.size() % 3 != 0;
                    }
                } visitor;
                visitor.reader = &reader;
                const qint64 read = reader.readLinesVisiting(firsts, most, visitor);
                QVERIFY2(read == expected,
                        qPrintable(QStringLiteral("%1: visiting read %2 lines, the plain way %3")
                                           .arg(where)
                                           .arg(read)
                                           .arg(expected)));
                QCOMPARE(visitor.seen.size(), expectedVisits.size());
                for (qsizetype v = 0; v < expectedVisits.size(); ++v) {
                    QVERIFY2(visitor.seen.at(v) == lines.at(expectedVisits.at(v)),
                            qPrintable(where));
                    QCOMPARE(visitor.starts.at(v), starts.at(expectedVisits.at(v)));
                    QCOMPARE(visitor.ends.at(v), positions.at(expectedVisits.at(v)));
                }
                index += read;
            } else {
                const qint64 most = random.bounded(3) ? random.bounded(1, 60) : 1000000;
                qint64 expected = 0;
                while (index + expected < lines.size() && expected < most) {
                    ++expected;
                    if (wanted(lines.at(index + expected - 1)))
                        break;
                }
                const qint64 read = reader.readLinesUntilKey(firsts, most);
                QVERIFY2(read == expected,
                        qPrintable(QStringLiteral("%1: read %2 lines, the plain way %3")
                                           .arg(where)
                                           .arg(read)
                                           .arg(expected)));
                index += read;
            }
            QVERIFY2(reader.line().toByteArray() == lines.at(index - 1),
                    qPrintable(QStringLiteral("%1: %2, the plain way %3")
                                       .arg(where, printable(reader.line()),
                                               printable(lines.at(index - 1)))));
            QCOMPARE(reader.pos(), positions.at(index - 1));
            QCOMPARE(reader.lineStart(), starts.at(index - 1));
            QCOMPARE(reader.lineTerminated(), bytes.at(positions.at(index - 1) - 1) == '\n');
        }
        QCOMPARE(index, lines.size());
        QCOMPARE(reader.readLinesUntilKey(firsts, 10), qint64(0));
        QCOMPARE(reader.pos(), qint64(bytes.size()));
    }
}

namespace {

// Item records as hand-edited files have them: keys in any order (CONT, TYPE and MORE before
// or after the OWNER line, MORE before TYPE), serials shared between records, records without
// a SERIAL, lines before the brace, text between records, odd white space and comments, and
// now and then a file cut off inside a record.
QByteArray randomItemsFile(QRandomGenerator &random, int records)
{
    const auto spaced = [&random](QByteArray line) {
        if (random.bounded(6) == 0)
            line.replace(' ', whiteSpaceRun(random));
        if (random.bounded(6) == 0)
            line.prepend(whiteSpaceRun(random));
        if (random.bounded(8) == 0)
            line += (random.bounded(2) ? " //" : "//") + randomWord(random);
        return line;
    };
    const auto number = [&random]() -> QByteArray {
        static const char *const Numbers[] = { "100", "+100", "0100", "999", "-1", "7", "box",
            "2147483648", "1073741900", "1073741901" };
        return random.bounded(3) ? QByteArray::number(random.bounded(1, 40))
                                 : QByteArray(Numbers[random.bounded(10)]);
    };
    QByteArray bytes;
    const char *const ending = random.bounded(4) == 0 ? "\r\n" : "\n";
    for (int r = 0; r < records; ++r) {
        while (random.bounded(5) == 0)
            bytes += (random.bounded(2) ? randomLine(random) : spaced("// between")) + ending;
        bytes += spaced("SECTION WORLDITEM " + QByteArray::number(r)) + ending;
        if (random.bounded(10) == 0)
            bytes += spaced(random.bounded(2) ? "NAME before" : "{ // not a brace here?") + ending;
        bytes += (random.bounded(8) ? QByteArray("{") : spaced("{")) + ending;
        QList<QByteArray> body;
        if (random.bounded(8))
            body << "SERIAL " + number();
        if (random.bounded(3))
            body << "OWNER " + QByteArray(random.bounded(3) ? "100" : "200");
        if (random.bounded(2))
            body << "CONT " + number();
        if (random.bounded(3) == 0)
            body << QByteArray(random.bounded(4) ? "TYPE 7" : "TYPE 07");
        if (random.bounded(3) == 0)
            body << "MORE " + number();
        for (const char *other : { "NAME thing", "COLOR 0x0022", "MOREX 1", "MOVABLE 1", "ID 2",
                     "X 3", "CREATED 99", "OWNERS 100", "SECTION INSIDE 77" }) {
            if (random.bounded(4) == 0)
                body << other;
        }
        if (random.bounded(10) == 0)
            body << "SERIAL " + number();
        if (random.bounded(6) == 0)
            body << randomLine(random);
        for (qsizetype i = body.size() - 1; i > 0; --i)
            body.swapItemsAt(i, random.bounded(int(i + 1)));
        for (const QByteArray &line : std::as_const(body))
            bytes += spaced(line) + ending;
        bytes += (random.bounded(6) ? QByteArray("}") : spaced("}")) + ending;
    }
    while (random.bounded(3) == 0)
        bytes += (random.bounded(2) ? randomLine(random) : spaced("// after")) + ending;
    if (random.bounded(4) == 0) // cut off inside the last record
        bytes.chop(random.bounded(1, 20));
    return bytes;
}

// The serial scan and the item identification the plain way: a text stream, each line
// conditioned with the QString forms, one line after another, every rule spelled out.
struct PlainScan
{
    int maxItemSection = -1;
    int maxItemSerial = 0x40000000;
    bool cutOff = false;
    QList<int> scanProgress;
    QMap<int, item_st> serialMap;
    QMap<int, QList<int>> containerMap;
    QMap<int, QList<int>> moreMap;
    int identifiedMaxItemSerial = 0;
    QList<int> identifyProgress;
    // What OWNER, CONT and (after TYPE 7, up to the record's end) MORE lines name, kept
    // where a new number could meet it: up to 2^24 above the highest character serial, and
    // above the highest item serial.
    std::vector<int> referenced;
};

PlainScan plainScan(const QByteArray &bytes, int owner, int maxCharSerial, int maxItemSerial,
        int scanCharSerial)
{
    using namespace world::reference;
    const QList<QByteArray> raw = streamLines(bytes);
    const QList<qint64> ends = lineEnds(bytes);
    QStringList lines;
    for (const QByteArray &line : raw)
        lines << conditionForScanner(world::decode(line));
    const qsizetype n = lines.size();
    const auto at = [&](qsizetype next) { return next == 0 ? qint64(0) : ends.at(next - 1); };
    PlainScan scan;

    QList<int> named;
    bool inKey = false;
    for (qsizetype i = 0; i < n; ++i) {
        if (i % 10000 == 0)
            scan.scanProgress << int(at(i));
        const QString key = word(lines.at(i), 0);
        const int value = toNumber(word(lines.at(i), 1));
        if (key == QLatin1String("SERIAL")) {
            scan.maxItemSerial = qMax(scan.maxItemSerial, value);
        } else if (key == QLatin1String("SECTION")) {
            scan.maxItemSection = qMax(scan.maxItemSection, toNumber(word(lines.at(i), 2)));
            scan.cutOff = true;
        } else if (lines.at(i) == QLatin1String("}")) {
            scan.cutOff = false;
            inKey = false;
        } else if (key == QLatin1String("OWNER") || key == QLatin1String("CONT")
                || (inKey && key == QLatin1String("MORE"))) {
            named << value;
        } else if (key == QLatin1String("TYPE") && word(lines.at(i), 1) == QLatin1String("7")) {
            inKey = true;
        }
    }
    for (const int number : std::as_const(named)) {
        if ((number > scanCharSerial && qint64(number) - scanCharSerial <= (1 << 24))
                || number > scan.maxItemSerial)
            scan.referenced.push_back(number);
    }
    std::sort(scan.referenced.begin(), scan.referenced.end());
    scan.referenced.erase(
            std::unique(scan.referenced.begin(), scan.referenced.end()), scan.referenced.end());

    const QString newOwner = QString::number(maxCharSerial + 1);
    int current = std::numeric_limits<int>::min();
    qsizetype next = 0; // the line the stream reads next; at its end when next == n
    qint64 count = 0;
    while (next < n) {
        if (count++ % 10000 == 0)
            scan.identifyProgress << int(at(next));
        QString line = lines.at(next++);
        if (word(line, 0) != QLatin1String("SECTION"))
            continue;
        const qint64 offset = at(next);
        QList<QString> kept;
        bool owned = false;
        bool typeSeven = false;
        int container = -1;
        int more = -1;
        while (next < n && line != QLatin1String("{"))
            line = lines.at(next++);
        if (next == n)
            break;
        for (;;) {
            if (line == QLatin1String("}"))
                break;
            const QString key = word(line, 0);
            const QString value = word(line, 1);
            if (key == QLatin1String("SERIAL")) {
                current = toNumber(value);
            } else if (key == QLatin1String("OWNER")) {
                if (toNumber(value) == owner) {
                    owned = true;
                    line = QStringLiteral("OWNER ") + wordsFrom(line, 1).replace(value, newOwner);
                }
            } else if (key == QLatin1String("CONT")) {
                container = toNumber(value);
            } else if (key == QLatin1String("TYPE")) {
                typeSeven = typeSeven || value == QLatin1String("7");
            } else if (key == QLatin1String("MORE")) {
                if (typeSeven)
                    more = toNumber(value);
            }
            kept << line;
            line = lines.at(next++);
            if (next == n)
                break;
        }
        if (!owned)
            continue;
        if (container != -1)
            scan.containerMap[container] << current;
        if (typeSeven)
            scan.moreMap[more] << current;
        scan.serialMap.insert(current, item_st{ kept, ++maxItemSerial, offset });
    }
    for (const auto *holders : { &scan.containerMap, &scan.moreMap }) {
        for (auto it = holders->cbegin(); it != holders->cend(); ++it) {
            if (it.key() != owner && !scan.serialMap.contains(it.key())) {
                for (const int serial : it.value())
                    scan.serialMap.remove(serial);
            }
        }
    }
    scan.identifiedMaxItemSerial = maxItemSerial;
    return scan;
}

QList<int> progressValues(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &signal : spy)
        values << signal.at(0).toInt();
    return values;
}

} // namespace

void tst_FastPath::scansFollowThePlainRules_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("records");
    for (quint32 seed = 1; seed <= 8; ++seed)
        QTest::addRow("small-files-seed-%u", seed) << seed << 40 << 30;
    // Enough lines that the bar moves several times.
    QTest::newRow("large-files") << 50u << 2 << 6000;
}

// The scans pass over lines in bulk and look at a record's lines only once it turns out to
// be the character's; what they find must be what the rules find reading every line.
void tst_FastPath::scansFollowThePlainRules()
{
    QFETCH(quint32, seed);
    QFETCH(int, files);
    QFETCH(int, records);
    QRandomGenerator random(seed);
    for (int file = 0; file < files; ++file) {
        const QByteArray bytes = randomItemsFile(random, random.bounded(records + 1));
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        QVERIFY(fixture::writeFile(world::filePath(dir.path(), world::itemsFileName()), bytes));
        const PlainScan expected = plainScan(bytes, 100, 56, 1000, 5);
        const QString where = QStringLiteral("file %1 (%2 bytes)").arg(file).arg(bytes.size());

        MainWindow window;
        QSignalSpy scanMoves(window.progressBar, &QProgressBar::valueChanged);
        window.maxCharSerial = 5;
        window.acquireSerials(dir.path());
        QVERIFY2(window.destItemsReferenced.numbers() == expected.referenced, qPrintable(where));
        QVERIFY2(window.maxItemSection == expected.maxItemSection, qPrintable(where));
        QVERIFY2(window.maxItemSerial == expected.maxItemSerial, qPrintable(where));
        QVERIFY2(window.destItemsCutOff == expected.cutOff, qPrintable(where));
        QCOMPARE(progressValues(scanMoves), expected.scanProgress);

        window.maxCharSerial = 56;
        window.maxItemSerial = 1000;
        QSignalSpy identifyMoves(window.progressBar, &QProgressBar::valueChanged);
        window.getSerials(dir.path(), 100);
        if (window.serialMap != expected.serialMap) {
            for (auto it = expected.serialMap.cbegin(); it != expected.serialMap.cend(); ++it)
                qDebug() << "expected" << it.key() << it.value().lines << it.value().serial;
            for (auto it = window.serialMap.cbegin(); it != window.serialMap.cend(); ++it)
                qDebug() << "found" << it.key() << it.value().lines << it.value().serial;
        }
        QVERIFY2(window.serialMap == expected.serialMap, qPrintable(where));
        QVERIFY2(window.containerMap == expected.containerMap, qPrintable(where));
        QVERIFY2(window.moreMap == expected.moreMap, qPrintable(where));
        QVERIFY2(window.maxItemSerial == expected.identifiedMaxItemSerial, qPrintable(where));
        QCOMPARE(progressValues(identifyMoves), expected.identifyProgress);
    }
}

void tst_FastPath::bothPathsOnAWorld_data()
{
    QTest::addColumn<bool>("rough");
    QTest::newRow("generated") << false;
    QTest::newRow("roughened") << true;
}

void tst_FastPath::bothPathsOnAWorld()
{
    QFETCH(bool, rough);
    QTemporaryDir temp;
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
    const QString dir = temp.filePath(QStringLiteral("world"));
    // A few MB: big enough for thousands of records and many read blocks.
    const int owner = generateWorld(dir,
            { QStringLiteral("--seed"), QStringLiteral("5"), QStringLiteral("--accounts"),
                    QStringLiteral("300"), QStringLiteral("--characters"), QStringLiteral("1200"),
                    QStringLiteral("--items"), QStringLiteral("12000"),
                    QStringLiteral("--rich-items"), QStringLiteral("400") });
    QVERIFY2(owner > 0, qPrintable(QStringLiteral("running %1 failed").arg(worldgenPath())));
    if (rough) {
        quint32 seed = 1;
        for (const QString &name : { world::accountsFileName(), world::charactersFileName(),
                     world::itemsFileName() }) {
            const QString path = world::filePath(dir, name);
            // Saved by an editor that writes a byte-order mark.
            QVERIFY(fixture::writeFile(
                    path, "\xef\xbb\xbf" + roughen(fixture::readFile(path), seed++)));
        }
    }

    Outcome fast;
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("fast"))));
    QVERIFY(runWindow(dir, owner, temp.filePath(QStringLiteral("fast")), &fast));
    Outcome slow;
    {
        const ReferenceMode mode(true);
        QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("reference"))));
        QVERIFY(runWindow(dir, owner, temp.filePath(QStringLiteral("reference")), &slow));
    }

    // The run must have had something to compare.
    QVERIFY(fast.accounts.size() >= 250);
    QVERIFY(fast.tree.size() >= 250);
    QVERIFY(fast.serialMap.size() >= 300);
    QVERIFY(!fast.transferredItems.isEmpty());

    QCOMPARE(fast.accounts, slow.accounts);
    QCOMPARE(fast.characters, slow.characters);
    QCOMPARE(fast.tree, slow.tree);
    QCOMPARE(fast.destAccounts, slow.destAccounts);
    QCOMPARE(fast.destCharacters, slow.destCharacters);
    QCOMPARE(fast.destTree, slow.destTree);
    QCOMPARE(fast.counters, slow.counters);
    QCOMPARE(fast.serialMap.keys(), slow.serialMap.keys());
    QCOMPARE(fast.serialMap, slow.serialMap);
    QCOMPARE(fast.containerMap, slow.containerMap);
    QCOMPARE(fast.moreMap, slow.moreMap);
    QCOMPARE(fast.transferredCharacters, slow.transferredCharacters);
    QCOMPARE(fast.transferredItems, slow.transferredItems);
    QCOMPARE(fast.afterTransfer, slow.afterTransfer);
    QCOMPARE(fast.box, QString());
    QCOMPARE(slow.box, QString());

    // And the transfer itself holds together: one record per collected item, each
    // owned by the new character's serial, and the new character in the tree.
    const int newOwner = fast.counters.at(1) + 1;
    QCOMPARE(fast.transferredItems.count("SECTION WORLDITEM "), fast.serialMap.size());
    QCOMPARE(fast.transferredItems.count("\nOWNER " + QByteArray::number(newOwner) + '\n'),
            fast.serialMap.size());
    QVERIFY(fast.transferredCharacters.contains("\nSERIAL " + QByteArray::number(newOwner) + '\n'));
    QVERIFY(fast.afterTransfer.join(QLatin1Char('\n')).contains(QLatin1String("Magnus the Rich")));
}

QTEST_MAIN(tst_FastPath)
#include "tst_fastpath.moc"
