#include <QtTest>

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include "support/worldfixture.h"
#include "world/worldformat.h"
#include "world/worldindex.h"

namespace {

// The rules as the toolkit's own string functions state them; the byte-level forms must
// agree with these on every line.
QString cutComment(const QString &text)
{
    const qsizetype pos = text.indexOf(QLatin1String("//"));
    return pos < 0 ? text : text.left(pos);
}

// simplified() for ASCII white space only: bytes of 0x80 and above belong to words.
QString simplifiedAscii(const QString &text)
{
    static const QRegularExpression space(QStringLiteral("[ \\t\\n\\x0b\\f\\r]+"));
    return text.split(space, Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

QString loaderForm(const QByteArray &raw)
{
    return cutComment(simplifiedAscii(QString::fromLatin1(raw)));
}

QString scannerForm(const QByteArray &raw)
{
    return simplifiedAscii(cutComment(QString::fromLatin1(raw)));
}

QString sectionWord(const QString &line, int i)
{
    return line.section(QLatin1Char(' '), i, i);
}

QString sectionFrom(const QString &line, int i)
{
    return line.section(QLatin1Char(' '), i, -1);
}

QString show(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto u = static_cast<uchar>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}

// Checks every operation of a conditioned line against the string functions; returns a
// description of the first difference, empty when there is none.
QString compareConditioned(const world::ConditionedLine &line, const QString &expected)
{
    auto differs = [&](const QString &what, const QString &got, const QString &want) {
        return QStringLiteral("%1: got '%2', want '%3' (line '%4')").arg(what, got, want, expected);
    };
    if (line.toString() != expected)
        return differs(QStringLiteral("toString"), line.toString(), expected);
    QByteArray appended = "x";
    line.appendTo(&appended);
    if (appended != "x" + world::encode(expected))
        return differs(QStringLiteral("appendTo"), world::decode(appended), expected);
    if (line.isEmpty() != expected.isEmpty())
        return QStringLiteral("isEmpty() is %1 for '%2'").arg(line.isEmpty()).arg(expected);
    for (int i : { 0, 1, 2, 3, 4, 5, 6, 40 }) {
        const QString word = world::decode(line.word(i));
        if (word != sectionWord(expected, i))
            return differs(QStringLiteral("word(%1)").arg(i), word, sectionWord(expected, i));
        if (line.wordsFrom(i) != sectionFrom(expected, i))
            return differs(QStringLiteral("wordsFrom(%1)").arg(i), line.wordsFrom(i),
                    sectionFrom(expected, i));
    }
    const QString key = sectionWord(expected, 0);
    for (const char *candidate : { "NAME", "SECTION", "SERIAL", "{", "}", "N", "NAMES" }) {
        const bool want = key == QLatin1String(candidate);
        if (line.keyIs(candidate) != want)
            return QStringLiteral("keyIs(%1) is %2 for '%3'")
                    .arg(QLatin1String(candidate))
                    .arg(line.keyIs(candidate))
                    .arg(expected);
    }
    for (const char *whole : { "{", "}", "NAME", "" }) {
        const bool want = expected == QLatin1String(whole);
        if (line.is(whole) != want)
            return QStringLiteral("is(%1) is %2 for '%3'")
                    .arg(QLatin1String(whole))
                    .arg(line.is(whole))
                    .arg(expected);
    }
    return QString();
}

struct ReadLine
{
    QByteArray bytes;
    qint64 pos;
    bool terminated;
};

// Reads a whole file line by line, checking on the way that atEnd() answers as a text
// stream would and leaves the line last read in place.
QList<ReadLine> readLines(
        const QString &path, qint64 start = 0, qint64 limit = -1, QString *problem = nullptr)
{
    QList<ReadLine> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(start)) {
        if (problem)
            *problem = file.errorString();
        return lines;
    }
    world::LineReader reader(&file, start);
    if (limit >= 0)
        reader.setLimit(limit);
    while (!reader.atEnd()) {
        if (!reader.readLine()) {
            if (problem)
                *problem = QStringLiteral("readLine() failed although atEnd() was false");
            return lines;
        }
        const QByteArray bytes = reader.line().toByteArray();
        const qint64 pos = reader.pos();
        reader.atEnd();
        if (reader.line() != bytes || reader.pos() != pos) {
            if (problem)
                *problem = QStringLiteral("atEnd() changed the line read at %1").arg(pos);
            return lines;
        }
        lines.append({ bytes, pos, reader.lineTerminated() });
    }
    if (reader.readLine() && problem)
        *problem = QStringLiteral("readLine() succeeded at the end");
    return lines;
}

QString writeTemp(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("ztpcs.wsc"));
    return fixture::writeFile(path, content) ? path : QString();
}

// Deterministic noise made of the bytes that matter to conditioning.
QByteArray randomLine(QRandomGenerator &random)
{
    static const QByteArray alphabet = QByteArray("  \t/aN{}x1-+", 12)
            + QByteArray("\r\v\f\x85\xa0\xe9\x1f", 7) + QByteArray(1, '\0');
    QByteArray line;
    const int length = random.bounded(24);
    for (int i = 0; i < length; ++i)
        line += alphabet.at(random.bounded(int(alphabet.size())));
    return line;
}

} // namespace

class tst_Format : public QObject
{
    Q_OBJECT

private slots:
    void stripComment_data();
    void stripComment();
    void conditioning_data();
    void conditioning();
    void conditioningOfEveryByte();
    void conditioningOfRandomLines();
    void recordLines_data();
    void recordLines();
    void numbers_data();
    void numbers();
    void numbersOfEveryByte();
    void lineOffsets_data();
    void lineOffsets();
    void atEnd_data();
    void atEnd();
    void largeFileOffsets();
    void lineLongerThanOneMiB();
    void startOffsetAndLimit();
    void latin1RoundTrip();
    void fileEncodings_data();
    void fileEncodings();
    void decodedText_data();
    void decodedText();
    void filePaths();
    void findAccount_data();
    void findAccount();
    void findCharacter_data();
    void findCharacter();
};

void tst_Format::stripComment_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no-comment") << "NAME Bob"
                                << "NAME Bob";
    QTest::newRow("comment-inside-value") << "NAME a//b"
                                          << "NAME a";
    QTest::newRow("only-comment") << "// x"
                                  << "";
    QTest::newRow("blank-before-comment-stays") << "NAME Bob  // x"
                                                << "NAME Bob  ";
    QTest::newRow("tab-before-comment-stays") << "NAME Bob\t// x"
                                              << "NAME Bob\t";
    QTest::newRow("leading-blanks-stay") << "   // x"
                                         << "   ";
    QTest::newRow("single-slash") << "NAME a/b"
                                  << "NAME a/b";
    QTest::newRow("slashes-apart") << "a/ /b"
                                   << "a/ /b";
    QTest::newRow("trailing-single-slash") << "a/"
                                           << "a/";
    QTest::newRow("three-slashes") << "a///b"
                                   << "a";
    QTest::newRow("first-of-two-comments") << "a//b//c"
                                           << "a";
    QTest::newRow("slash-then-comment") << "a/ //b"
                                        << "a/ ";
    QTest::newRow("bare-marker") << "//"
                                 << "";
    QTest::newRow("marker-at-end") << "SERIAL 5//"
                                   << "SERIAL 5";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("latin1-before-comment") << QString::fromLatin1("NAME J\xe9r\xf4me // x")
                                           << QString::fromLatin1("NAME J\xe9r\xf4me ");
}

void tst_Format::stripComment()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(world::stripComment(input), expected);
    QCOMPARE(cutComment(input), expected);
    const QByteArray bytes = world::encode(input);
    QCOMPARE(world::decode(world::stripComment(QByteArrayView(bytes))), expected);
}

void tst_Format::conditioning_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("loader");
    QTest::addColumn<QString>("scanner");

    // clang-format off
    //                                           raw line                          loaders' form     scanners' form
    QTest::newRow("plain")                    << QByteArray("NAME Bob")         << "NAME Bob"     << "NAME Bob";
    QTest::newRow("blanks-and-tabs")          << QByteArray(" \t NAME \t Old\t\tBob  \t") << "NAME Old Bob" << "NAME Old Bob";
    QTest::newRow("comment-after-text")       << QByteArray("NAME Bob // note") << "NAME Bob "    << "NAME Bob";
    QTest::newRow("comment-after-tab")        << QByteArray("NAME Bob\t\t// x") << "NAME Bob "    << "NAME Bob";
    QTest::newRow("comment-touching-text")    << QByteArray("NAME Bob// x")     << "NAME Bob"     << "NAME Bob";
    QTest::newRow("comment-inside-value")     << QByteArray("NAME a//b")        << "NAME a"       << "NAME a";
    QTest::newRow("brace-with-comment")       << QByteArray("{ // start")       << "{ "           << "{";
    QTest::newRow("closing-brace-comment")    << QByteArray("} // end")         << "} "           << "}";
    QTest::newRow("indented-brace")           << QByteArray("\t{\r")            << "{"            << "{";
    QTest::newRow("comment-only")             << QByteArray("// characters of account 3") << "" << "";
    QTest::newRow("indented-comment")         << QByteArray("   \t// x")        << ""             << "";
    QTest::newRow("empty")                    << QByteArray("")                 << ""             << "";
    QTest::newRow("white-space-only")         << QByteArray(" \t\v\f\r ")       << ""             << "";
    QTest::newRow("indented-header")          << QByteArray("\t  SECTION  CHARACTER\t12") << "SECTION CHARACTER 12" << "SECTION CHARACTER 12";
    QTest::newRow("trailing-cr")              << QByteArray("SERIAL 57\r")      << "SERIAL 57"    << "SERIAL 57";
    QTest::newRow("cr-between-words")         << QByteArray("A\rB")             << "A B"          << "A B";
    QTest::newRow("nbsp-is-no-white-space")   << QByteArray("NAME\xa0" "Bob")   << QString::fromLatin1("NAME\xa0" "Bob") << QString::fromLatin1("NAME\xa0" "Bob");
    QTest::newRow("nel-is-no-white-space")    << QByteArray("NAME\x85" "Bob")   << QString::fromLatin1("NAME\x85" "Bob") << QString::fromLatin1("NAME\x85" "Bob");
    QTest::newRow("utf8-a-grave")             << QByteArray("NAME \xc3\xa0 deux") << QString::fromLatin1("NAME \xc3\xa0 deux") << QString::fromLatin1("NAME \xc3\xa0 deux");
    QTest::newRow("utf8-a-ring-at-end")       << QByteArray("NAME \xc3\x85") << QString::fromLatin1("NAME \xc3\x85") << QString::fromLatin1("NAME \xc3\x85");
    QTest::newRow("utf8-s-caron-word-start")  << QByteArray("NAME \xc5\xa0" "tefan \xd0\xa0") << QString::fromLatin1("NAME \xc5\xa0" "tefan \xd0\xa0") << QString::fromLatin1("NAME \xc5\xa0" "tefan \xd0\xa0");
    QTest::newRow("cp1252-ellipsis")          << QByteArray("NAME Wait\x85 ") << QString::fromLatin1("NAME Wait\x85") << QString::fromLatin1("NAME Wait\x85");
    QTest::newRow("high-byte-only-line")      << QByteArray("\xa0\x85")         << QString::fromLatin1("\xa0\x85") << QString::fromLatin1("\xa0\x85");
    QTest::newRow("unit-separator-is-not")    << QByteArray("NAME\x1f" "Bob")   << QString::fromLatin1("NAME\x1f" "Bob") << QString::fromLatin1("NAME\x1f" "Bob");
    QTest::newRow("latin1-letters")           << QByteArray("NAME J\xe9r\xf4me") << QString::fromLatin1("NAME J\xe9r\xf4me") << QString::fromLatin1("NAME J\xe9r\xf4me");
    QTest::newRow("nbsp-before-comment")      << QByteArray("NAME Bob\xa0//x")  << QString::fromLatin1("NAME Bob\xa0") << QString::fromLatin1("NAME Bob\xa0");
    QTest::newRow("key-only-then-comment")    << QByteArray("NAME // x")        << "NAME "        << "NAME";
    QTest::newRow("spaced-slashes")           << QByteArray("a / / b")          << "a / / b"      << "a / / b";
    QTest::newRow("nul-byte-kept")            << QByteArray("A\0B", 3)          << QString::fromLatin1("A\0B", 3) << QString::fromLatin1("A\0B", 3);
    // clang-format on
}

void tst_Format::conditioning()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, loader);
    QFETCH(QString, scanner);

    // The expectations are the string functions' own results.
    QCOMPARE(loaderForm(raw), loader);
    QCOMPARE(scannerForm(raw), scanner);

    const QString loaderProblem =
            compareConditioned(world::ConditionedLine::forLoader(raw), loader);
    QVERIFY2(loaderProblem.isEmpty(), qPrintable(QStringLiteral("loader: ") + loaderProblem));
    const QString scannerProblem =
            compareConditioned(world::ConditionedLine::forScanner(raw), scanner);
    QVERIFY2(scannerProblem.isEmpty(), qPrintable(QStringLiteral("scanner: ") + scannerProblem));
}

// Each of the 256 byte values between words, around them, and next to a comment.
void tst_Format::conditioningOfEveryByte()
{
    for (int value = 0; value < 256; ++value) {
        if (value == '\n')
            continue; // never inside a line
        const QByteArray b(1, char(value));
        const QByteArray raws[] = {
            "NAME" + b + "Bob",
            b + "NAME Bob" + b,
            "NAME " + b + " //x",
            b + "//" + b,
            "{" + b,
            b + b + "}" + b + b,
            "A" + b + b + "B//",
            b,
        };
        for (const QByteArray &raw : raws) {
            const QString loaderProblem =
                    compareConditioned(world::ConditionedLine::forLoader(raw), loaderForm(raw));
            QVERIFY2(loaderProblem.isEmpty(),
                    qPrintable(
                            QStringLiteral("loader, raw '%1': %2").arg(show(raw), loaderProblem)));
            const QString scannerProblem =
                    compareConditioned(world::ConditionedLine::forScanner(raw), scannerForm(raw));
            QVERIFY2(scannerProblem.isEmpty(),
                    qPrintable(QStringLiteral("scanner, raw '%1': %2")
                                       .arg(show(raw), scannerProblem)));
        }
    }
}

// Many short lines of the bytes that matter, each in its own allocation and again as read
// from a file, so lines end at every alignment.
void tst_Format::conditioningOfRandomLines()
{
    QRandomGenerator random(20261207);
    QByteArray file;
    QList<QByteArray> raws;
    for (int n = 0; n < 20000; ++n) {
        QByteArray raw = randomLine(random);
        raw.replace('\n', ' ');
        // A trailing CR would be taken as part of the line break by the reader.
        while (raw.endsWith('\r'))
            raw.chop(1);
        raws.append(raw);
        file += raw + (n % 3 ? "\n" : "\r\n");
    }
    for (const QByteArray &raw : raws) {
        const QByteArray copy(raw.constData(), raw.size());
        QString problem =
                compareConditioned(world::ConditionedLine::forLoader(copy), loaderForm(raw));
        QVERIFY2(problem.isEmpty(), qPrintable(show(raw) + QStringLiteral(": loader: ") + problem));
        problem = compareConditioned(world::ConditionedLine::forScanner(copy), scannerForm(raw));
        QVERIFY2(
                problem.isEmpty(), qPrintable(show(raw) + QStringLiteral(": scanner: ") + problem));
    }

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, file);
    QVERIFY(!path.isEmpty());
    QFile device(path);
    QVERIFY2(device.open(QIODevice::ReadOnly), qPrintable(device.errorString()));
    world::LineReader reader(&device);
    int n = 0;
    while (reader.readLine()) {
        QVERIFY(n < raws.size());
        const QByteArray &raw = raws.at(n++);
        QCOMPARE(reader.line(), QByteArrayView(raw));
        QString problem = compareConditioned(
                world::ConditionedLine::forLoader(reader.line()), loaderForm(raw));
        QVERIFY2(problem.isEmpty(), qPrintable(show(raw) + QStringLiteral(": loader: ") + problem));
        problem = compareConditioned(
                world::ConditionedLine::forScanner(reader.line()), scannerForm(raw));
        QVERIFY2(
                problem.isEmpty(), qPrintable(show(raw) + QStringLiteral(": scanner: ") + problem));
    }
    QCOMPARE(n, raws.size());
}

// How the loaders see the lines of a record: header, record number, key and value.
void tst_Format::recordLines_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("header");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("word1");
    QTest::addColumn<QString>("value");

    // clang-format off
    //                                       raw line                                      header  number  key        word 1   words 1 to last
    QTest::newRow("header")               << QByteArray("SECTION CHARACTER 12")         << true  << 12  << "SECTION" << "CHARACTER" << "CHARACTER 12";
    QTest::newRow("header-bad-number")    << QByteArray("SECTION CHARACTER x")          << true  << 0   << "SECTION" << "CHARACTER" << "CHARACTER x";
    QTest::newRow("header-alone")         << QByteArray("SECTION")                      << true  << 0   << "SECTION" << ""          << "";
    QTest::newRow("header-any-type")      << QByteArray("SECTION WORLDITEM 1073741823") << true  << 1073741823 << "SECTION" << "WORLDITEM" << "WORLDITEM 1073741823";
    QTest::newRow("header-indented")      << QByteArray(" \t SECTION\tITEM  3 ")        << true  << 3   << "SECTION" << "ITEM"      << "ITEM 3";
    QTest::newRow("header-lower-case")    << QByteArray("section ITEM 3")               << false << 3   << "section" << "ITEM"      << "ITEM 3";
    QTest::newRow("header-capitalised")   << QByteArray("Section ITEM 3")               << false << 3   << "Section" << "ITEM"      << "ITEM 3";
    QTest::newRow("header-glued")         << QByteArray("SECTIONS ITEM 3")              << false << 3   << "SECTIONS" << "ITEM"     << "ITEM 3";
    QTest::newRow("header-comment-number")<< QByteArray("SECTION ITEM 3// x")           << true  << 3   << "SECTION" << "ITEM"      << "ITEM 3";
    QTest::newRow("header-number-comment")<< QByteArray("SECTION ITEM 3 // x")          << true  << 3   << "SECTION" << "ITEM"      << "ITEM 3 ";
    QTest::newRow("name-inner-spaces")    << QByteArray("NAME Old   Bob")               << false << 0   << "NAME"    << "Old"       << "Old Bob";
    QTest::newRow("name-with-comment")    << QByteArray("NAME Bob // note")             << false << 0   << "NAME"    << "Bob"       << "Bob ";
    QTest::newRow("name-cut-by-comment")  << QByteArray("NAME a//b")                    << false << 0   << "NAME"    << "a"         << "a";
    QTest::newRow("name-empty")           << QByteArray("NAME")                         << false << 0   << "NAME"    << ""          << "";
    QTest::newRow("key-lower-case")       << QByteArray("Name Bob")                     << false << 0   << "Name"    << "Bob"       << "Bob";
    QTest::newRow("value-with-comment")   << QByteArray("STR 50 // strength")           << false << 0   << "STR"     << "50"        << "50 ";
    // clang-format on
}

void tst_Format::recordLines()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, header);
    QFETCH(int, number);
    QFETCH(QString, key);
    QFETCH(QString, word1);
    QFETCH(QString, value);

    const auto line = world::ConditionedLine::forLoader(raw);
    QCOMPARE(line.keyIs("SECTION"), header);
    QCOMPARE(world::decode(line.word(0)), key);
    QCOMPARE(world::decode(line.word(1)), word1);
    QCOMPARE(line.wordsFrom(1), value);
    QCOMPARE(world::toNumber(line.word(2)), number);
    // The same through the toolkit's string functions.
    const QString text = loaderForm(raw);
    QCOMPARE(sectionWord(text, 0) == QLatin1String("SECTION"), header);
    QCOMPARE(sectionWord(text, 2).toInt(nullptr, 10), number);
    QCOMPARE(sectionFrom(text, 1), value);
}

void tst_Format::numbers_data()
{
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<int>("expected");

    // clang-format off
    QTest::newRow("plain")            << QByteArray("57")           << 57;
    QTest::newRow("zero")             << QByteArray("0")            << 0;
    QTest::newRow("leading-zeros")    << QByteArray("007")          << 7;
    QTest::newRow("minus")            << QByteArray("-5")           << -5;
    QTest::newRow("plus")             << QByteArray("+7")           << 7;
    QTest::newRow("minus-zero")       << QByteArray("-0")           << 0;
    QTest::newRow("largest")          << QByteArray("2147483647")   << 2147483647;
    QTest::newRow("smallest")         << QByteArray("-2147483648")  << int(-2147483647 - 1);
    QTest::newRow("largest-padded")   << QByteArray("0000000000002147483647") << 2147483647;
    QTest::newRow("overflow")         << QByteArray("2147483648")   << 0;
    QTest::newRow("underflow")        << QByteArray("-2147483649")  << 0;
    QTest::newRow("far-overflow")     << QByteArray("99999999999999999999") << 0;
    QTest::newRow("wraps-to-small")   << QByteArray("4294967297")   << 0;
    QTest::newRow("hex")              << QByteArray("0x1A")         << 0;
    QTest::newRow("hex-digits")       << QByteArray("1A")           << 0;
    QTest::newRow("letters")          << QByteArray("abc")          << 0;
    QTest::newRow("empty")            << QByteArray("")             << 0;
    QTest::newRow("sign-only")        << QByteArray("-")            << 0;
    QTest::newRow("plus-only")        << QByteArray("+")            << 0;
    QTest::newRow("two-signs")        << QByteArray("--5")          << 0;
    QTest::newRow("plus-minus")       << QByteArray("+-5")          << 0;
    QTest::newRow("sign-after")       << QByteArray("5-")           << 0;
    QTest::newRow("decimal-point")    << QByteArray("1.5")          << 0;
    QTest::newRow("exponent")         << QByteArray("1e3")          << 0;
    QTest::newRow("group-separator")  << QByteArray("1,000")        << 0;
    QTest::newRow("superscript-two")  << QByteArray("\xb2")         << 0;
    // toInt() reads up to a NUL byte and trims ASCII white space, but not NEL or NBSP.
    QTest::newRow("nul-after-digit")  << QByteArray("1\0", 2)       << 1;
    QTest::newRow("nul-inside")       << QByteArray("12\0" "3", 4)  << 12;
    QTest::newRow("nul-first")        << QByteArray("\0" "5", 2)    << 0;
    QTest::newRow("blanks-around")    << QByteArray(" \t-5\r ")     << -5;
    QTest::newRow("blank-after-sign") << QByteArray("- 5")          << 0;
    QTest::newRow("nbsp-before")      << QByteArray("\xa0" "5")     << 0;
    QTest::newRow("nel-after")        << QByteArray("5\x85")        << 0;
    // clang-format on
}

void tst_Format::numbers()
{
    QFETCH(QByteArray, word);
    QFETCH(int, expected);
    QCOMPARE(world::decode(word).toInt(nullptr, 10), expected);
    QCOMPARE(world::toNumber(QByteArrayView(word)), expected);
    QCOMPARE(world::toNumber(world::decode(word)), expected);
}

// Every byte value, alone and next to digits and signs.
void tst_Format::numbersOfEveryByte()
{
    for (int value = 0; value < 256; ++value) {
        const QByteArray b(1, char(value));
        for (const QByteArray &word :
                { b, "1" + b, b + "1", "-" + b, "+" + b + "2", "12" + b + "3" }) {
            QCOMPARE(world::toNumber(QByteArrayView(word)), world::decode(word).toInt(nullptr, 10));
        }
    }
    QRandomGenerator random(7);
    for (int n = 0; n < 20000; ++n) {
        QByteArray word = random.bounded(3) == 0 ? QByteArray("-") : QByteArray();
        const int digits = 1 + random.bounded(12);
        for (int i = 0; i < digits; ++i)
            word += char('0' + random.bounded(10));
        QCOMPARE(world::toNumber(QByteArrayView(word)), world::decode(word).toInt(nullptr, 10));
    }
}

void tst_Format::lineOffsets_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QList<qint64>>("positions");
    QTest::addColumn<bool>("lastTerminated");

    // Positions by hand: each line's bytes plus its terminator, added up.
    // "// c\n" 5, "SECTION CHARACTER 12\n" 21, "{\n" 2, "NAME Bob\n" 9, "}\n" 2.
    QTest::newRow("lf") << QByteArray("// c\nSECTION CHARACTER 12\n{\nNAME Bob\n}\n")
                        << QByteArrayList{ "// c", "SECTION CHARACTER 12", "{", "NAME Bob", "}" }
                        << QList<qint64>{ 5, 26, 28, 37, 39 } << true;
    // The same with CR LF: one byte more per line.
    QTest::newRow("crlf") << QByteArray("// c\r\nSECTION CHARACTER 12\r\n{\r\nNAME Bob\r\n}\r\n")
                          << QByteArrayList{ "// c", "SECTION CHARACTER 12", "{", "NAME Bob", "}" }
                          << QList<qint64>{ 6, 28, 31, 41, 44 } << true;
    // "SECTION ITEM 1\n" 15, "{\n" 2, "}" 1.
    QTest::newRow("last-line-unterminated")
            << QByteArray("SECTION ITEM 1\n{\n}") << QByteArrayList{ "SECTION ITEM 1", "{", "}" }
            << QList<qint64>{ 15, 17, 18 } << false;
    QTest::newRow("crlf-last-line-unterminated")
            << QByteArray("SECTION ITEM 1\r\n{\r\n}")
            << QByteArrayList{ "SECTION ITEM 1", "{", "}" } << QList<qint64>{ 16, 19, 20 } << false;
    QTest::newRow("mixed-terminators")
            << QByteArray("A\r\nB\nC\r\nD") << QByteArrayList{ "A", "B", "C", "D" }
            << QList<qint64>{ 3, 5, 8, 9 } << false;
    // A CR that ends the file belongs to the line break, not to the line.
    QTest::newRow("lone-cr-at-end")
            << QByteArray("A\nB\r") << QByteArrayList{ "A", "B" } << QList<qint64>{ 2, 4 } << false;
    QTest::newRow("only-a-cr") << QByteArray("\r") << QByteArrayList{ "" } << QList<qint64>{ 1 }
                               << false;
    QTest::newRow("cr-inside-line")
            << QByteArray("A\rB\n") << QByteArrayList{ "A\rB" } << QList<qint64>{ 4 } << true;
    QTest::newRow("two-crs-before-lf") << QByteArray("A\r\r\nB") << QByteArrayList{ "A\r", "B" }
                                       << QList<qint64>{ 4, 5 } << false;
    QTest::newRow("empty-lines") << QByteArray("\n\r\n\n") << QByteArrayList{ "", "", "" }
                                 << QList<qint64>{ 1, 3, 4 } << true;
    QTest::newRow("latin1-name") << QByteArray("NAME J\xe9r\xf4me\r\n")
                                 << QByteArrayList{ "NAME J\xe9r\xf4me" } << QList<qint64>{ 13 }
                                 << true;
}

void tst_Format::lineOffsets()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArrayList, lines);
    QFETCH(QList<qint64>, positions);
    QFETCH(bool, lastTerminated);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    QString problem;
    const QList<ReadLine> read = readLines(path, 0, -1, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), lines.size());
    for (int i = 0; i < read.size(); ++i) {
        QCOMPARE(read.at(i).bytes, lines.at(i));
        QCOMPARE(read.at(i).pos, positions.at(i));
        QCOMPARE(read.at(i).terminated, i + 1 < read.size() || lastTerminated);
    }
    QCOMPARE(positions.last(), qint64(content.size()));

    // The lines a reader still holds come back as readLine() gave them, whatever the block
    // size; with one block for the whole file it holds them all until it looks for the end
    // of an unterminated last line.
    for (const qsizetype blockSize : { qsizetype(1), qsizetype(3), qsizetype(1) << 16 }) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        world::LineReader reader(&file, 0, blockSize);
        for (int i = 0; reader.readLine(); ++i) {
            for (int j = 0; j <= i; ++j) {
                QByteArrayList held;
                const qint64 from = j == 0 ? 0 : positions.at(j - 1);
                if (!reader.linesHeld(from, reader.lineStart(),
                            [&held](QByteArrayView line) { held.append(line.toByteArray()); })) {
                    QVERIFY(blockSize < content.size() || !reader.lineTerminated());
                    continue;
                }
                QCOMPARE(held, lines.mid(j, i - j));
            }
        }
    }
}

void tst_Format::atEnd_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("lineCount");
    QTest::newRow("empty-file") << QByteArray() << 0;
    QTest::newRow("one-terminated-line") << QByteArray("A\n") << 1;
    QTest::newRow("one-unterminated-line") << QByteArray("A") << 1;
    QTest::newRow("one-empty-line") << QByteArray("\n") << 1;
    QTest::newRow("empty-line-after-text") << QByteArray("A\n\n") << 2;
}

// At the end exactly when no byte is left, as a text stream's atEnd(): a terminated last
// line is followed by no further empty line.
void tst_Format::atEnd()
{
    QFETCH(QByteArray, content);
    QFETCH(int, lineCount);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    world::LineReader reader(&file);
    for (int i = 0; i < lineCount; ++i) {
        QVERIFY2(!reader.atEnd(), qPrintable(QStringLiteral("at end before line %1").arg(i)));
        QVERIFY(reader.readLine());
    }
    QVERIFY2(reader.atEnd(), "not at end after the last line");
    QVERIFY2(reader.atEnd(), "asking twice changes nothing");
    QVERIFY(!reader.readLine());
    QCOMPARE(reader.pos(), qint64(content.size()));
    QCOMPARE(reader.errorString(), QString());

    // A text stream over the same bytes agrees.
    QFile again(path);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QTextStream stream(&again);
    stream.setEncoding(QStringConverter::Latin1);
    int streamLines = 0;
    while (!stream.atEnd()) {
        stream.readLine();
        ++streamLines;
    }
    QCOMPARE(streamLines, lineCount);
}

// Offsets stay exact across the reader's block boundaries and buffer moves.
void tst_Format::largeFileOffsets()
{
    QRandomGenerator random(42);
    QByteArray content;
    QList<QByteArray> lines;
    QList<qint64> positions;
    while (content.size() < 6 * 1024 * 1024) {
        QByteArray line;
        // Two lines longer than a read block among many short ones.
        const bool longLine = lines.size() == 1000 || lines.size() == 30000;
        const int length = longLine ? 1200000 + int(lines.size()) : random.bounded(120);
        line.reserve(length);
        for (int i = 0; i < length; ++i)
            line += char('!' + random.bounded(90));
        content += line;
        content += random.bounded(2) ? "\r\n" : "\n";
        lines.append(line);
        positions.append(content.size());
    }
    content += "SECTION ITEM 9"; // the last line has no terminator
    lines.append("SECTION ITEM 9");
    positions.append(content.size());

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    QString problem;
    const QList<ReadLine> read = readLines(path, 0, -1, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), lines.size());
    for (int i = 0; i < read.size(); ++i) {
        QVERIFY2(read.at(i).bytes == lines.at(i), qPrintable(QStringLiteral("line %1").arg(i)));
        QCOMPARE(read.at(i).pos, positions.at(i));
    }
}

void tst_Format::lineLongerThanOneMiB()
{
    const QByteArray longLine(3 * 1024 * 1024 / 2 + 7, 'x');
    const QByteArray content = "SECTION CHARACTER 1\r\n" + longLine + "\r\nNAME Bob\n" + longLine;
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    QString problem;
    const QList<ReadLine> read = readLines(path, 0, -1, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), 4);
    QCOMPARE(read.at(0).pos, qint64(21));
    QCOMPARE(read.at(1).bytes.size(), longLine.size());
    QVERIFY(read.at(1).bytes == longLine);
    QCOMPARE(read.at(1).pos, qint64(21 + longLine.size() + 2));
    QCOMPARE(read.at(2).bytes, QByteArray("NAME Bob"));
    QCOMPARE(read.at(2).pos, qint64(21 + longLine.size() + 2 + 9));
    QVERIFY(read.at(3).bytes == longLine);
    QCOMPARE(read.at(3).pos, qint64(content.size()));
    QVERIFY(!read.at(3).terminated);

    const auto conditioned = world::ConditionedLine::forScanner(read.at(1).bytes);
    QCOMPARE(conditioned.word(0).size(), longLine.size());
}

// A reader that starts inside a file counts from there; a limit ends the file early.
void tst_Format::startOffsetAndLimit()
{
    // "SECTION CHARACTER 1\n" 20, "{\n" 2, "NAME Bob\r\n" 10, "}\n" 2.
    const QByteArray content("SECTION CHARACTER 1\n{\nNAME Bob\r\n}\n");
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());

    QString problem;
    QList<ReadLine> read = readLines(path, 20, -1, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), 3);
    QCOMPARE(read.at(0).bytes, QByteArray("{"));
    QCOMPARE(read.at(0).pos, qint64(22));
    QCOMPARE(read.at(1).pos, qint64(32));
    QCOMPARE(read.at(2).pos, qint64(34));

    // The limit cuts "NAME Bob" after "NAM": that part is an unterminated last line.
    read = readLines(path, 0, 25, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), 3);
    QCOMPARE(read.at(2).bytes, QByteArray("NAM"));
    QCOMPARE(read.at(2).pos, qint64(25));
    QVERIFY(!read.at(2).terminated);

    // A limit on a line start ends the file after the line before it.
    read = readLines(path, 0, 22, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), 2);
    QCOMPARE(read.at(1).pos, qint64(22));
    QVERIFY(read.at(1).terminated);

    read = readLines(path, 20, 20, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(read.isEmpty());
}

// Every byte of a name read from one world reaches the other world unchanged.
void tst_Format::latin1RoundTrip()
{
    QByteArray high;
    for (int value = 0x80; value <= 0xff; ++value)
        high += char(value);
    const QString text = world::decode(high);
    QCOMPARE(text.size(), 128);
    for (int i = 0; i < text.size(); ++i)
        QCOMPARE(text.at(i).unicode(), char16_t(0x80 + i));
    QCOMPARE(world::encode(text), high);

    // Through a file, the reader and both conditionings. No byte of 0x80 and above is white
    // space (in UTF-8 0x85 and 0xa0 are parts of letters), so the name is one word.
    const QByteArray content = "SECTION CHARACTER 1\n{\nNAME " + high + "\r\n}\n";
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    QString problem;
    const QList<ReadLine> read = readLines(path, 0, -1, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(read.size(), 4);
    QCOMPARE(read.at(2).bytes, "NAME " + high);

    for (const auto &line : { world::ConditionedLine::forLoader(read.at(2).bytes),
                 world::ConditionedLine::forScanner(read.at(2).bytes) }) {
        QCOMPARE(world::encode(line.wordsFrom(1)), high);
        QCOMPARE(line.wordsFrom(1), sectionFrom(loaderForm(read.at(2).bytes), 1));
        QCOMPARE(line.word(1), QByteArrayView(high));
    }
    const QByteArray word = high;
    const QByteArray raw = "NAME " + word + " // x"; // the line views these bytes
    const auto line = world::ConditionedLine::forLoader(raw);
    QCOMPARE(line.word(1), QByteArrayView(word));
    QCOMPARE(world::encode(line.wordsFrom(1)), word + ' ');
}

void tst_Format::fileEncodings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::addColumn<qint64>("firstLineStart");

    const int ascii = int(world::TextEncoding::Ascii);
    const int utf8 = int(world::TextEncoding::Utf8);
    const int cp1252 = int(world::TextEncoding::Windows1252);
    const QByteArray bom("\xef\xbb\xbf");
    const QByteArray header("SECTION ACCOUNT 1");
    const QByteArray longAscii(150, 'a'); // past the 64-byte looks
    // clang-format off
    QTest::newRow("empty")                << QByteArray()                          << ascii  << QByteArray() << qint64(-1);
    QTest::newRow("ascii")                << header + "\n{\n}\n"                  << ascii  << header << qint64(0);
    // The mark is no part of the first line: the header is read as a header.
    QTest::newRow("bom-then-header")      << bom + header + "\n"                  << utf8   << header << qint64(3);
    QTest::newRow("bom-crlf")             << bom + header + "\r\n{\r\n"          << utf8   << header << qint64(3);
    QTest::newRow("bom-only")             << bom                                   << utf8   << QByteArray() << qint64(-1);
    QTest::newRow("bom-then-1252")        << bom + "NAME Wait\x85\n"              << cp1252 << QByteArray("NAME Wait\x85") << qint64(3);
    // Only at the very start: elsewhere its bytes are text (valid UTF-8).
    QTest::newRow("bom-on-second-line")   << "A\n" + bom + "B\n"                  << utf8   << QByteArray("A") << qint64(0);
    QTest::newRow("two-boms")             << bom + bom + "A\n"                    << utf8   << bom + "A" << qint64(3);
    QTest::newRow("half-a-bom")           << QByteArray("\xef\xbb" "A\n")          << cp1252 << QByteArray("\xef\xbb" "A") << qint64(0);
    QTest::newRow("utf8-names")           << QByteArray("NAME Bj\xc3\xb6rn \xc3\xa0 \xc5\xa0\n") << utf8 << QByteArray("NAME Bj\xc3\xb6rn \xc3\xa0 \xc5\xa0") << qint64(0);
    QTest::newRow("utf8-four-bytes")      << QByteArray("\xf0\x9f\x97\xa1\xf4\x8f\xbf\xbf") << utf8 << QByteArray("\xf0\x9f\x97\xa1\xf4\x8f\xbf\xbf") << qint64(0);
    QTest::newRow("utf8-after-long-ascii") << longAscii + "\xd0\x9f\n" + longAscii << utf8 << longAscii + "\xd0\x9f" << qint64(0);
    QTest::newRow("1252-after-long-ascii") << longAscii + "\n" + longAscii + "\x85" << cp1252 << longAscii << qint64(0);
    QTest::newRow("latin1-letter")        << QByteArray("NAME J\xf6rg\n")        << cp1252 << QByteArray("NAME J\xf6rg") << qint64(0);
    QTest::newRow("cut-off-sequence")     << QByteArray("NAME \xc3")              << cp1252 << QByteArray("NAME \xc3") << qint64(0);
    QTest::newRow("overlong")             << QByteArray("\xc0\xaf")               << cp1252 << QByteArray("\xc0\xaf") << qint64(0);
    QTest::newRow("overlong-three")       << QByteArray("\xe0\x9f\xbf")           << cp1252 << QByteArray("\xe0\x9f\xbf") << qint64(0);
    QTest::newRow("surrogate")            << QByteArray("\xed\xa0\x80")           << cp1252 << QByteArray("\xed\xa0\x80") << qint64(0);
    QTest::newRow("above-unicode")        << QByteArray("\xf4\x90\x80\x80")       << cp1252 << QByteArray("\xf4\x90\x80\x80") << qint64(0);
    QTest::newRow("lone-continuation")    << QByteArray("a\xa0")                  << cp1252 << QByteArray("a\xa0") << qint64(0);
    QTest::newRow("sequence-broken-by-lf") << QByteArray("\xe2\x80\n\xa6")        << cp1252 << QByteArray("\xe2\x80") << qint64(0);
    // clang-format on
}

// A file's encoding, found while its lines are read in blocks of any size, on both paths;
// a byte-order mark at its start is consumed before the first line.
void tst_Format::fileEncodings()
{
    QFETCH(QByteArray, content);
    QFETCH(int, encoding);
    QFETCH(QByteArray, firstLine);
    QFETCH(qint64, firstLineStart);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString path = writeTemp(dir, content);
    QVERIFY(!path.isEmpty());
    for (const bool reference : { false, true }) {
        for (const qsizetype block : { qsizetype(1), qsizetype(2), qsizetype(5), qsizetype(64),
                     world::LineReader::DefaultBlockSize }) {
            const QString where =
                    QStringLiteral("reference %1, block %2").arg(reference).arg(block);
            world::setReferenceMode(reference);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            world::LineReader reader(&file, 0, block);
            QList<QByteArray> lines;
            qint64 start = -1;
            while (reader.readLine()) {
                if (lines.isEmpty())
                    start = reader.lineStart();
                lines.append(reader.line().toByteArray());
            }
            world::setReferenceMode(false);
            QVERIFY2(int(reader.encoding()) == encoding, qPrintable(where));
            QVERIFY2(lines.value(0) == firstLine, qPrintable(where));
            QVERIFY2(start == firstLineStart, qPrintable(where));
            QVERIFY2(reader.pos() == content.size(), qPrintable(where));
            QVERIFY2(reader.hadByteOrderMark() == content.startsWith("\xef\xbb\xbf"),
                    qPrintable(where));
        }
    }
    // Read from a position inside the file, nothing is taken for a mark.
    if (content.startsWith("\xef\xbb\xbf")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.seek(1));
        world::LineReader reader(&file, 1);
        QVERIFY(!reader.hadByteOrderMark());
    }
}

void tst_Format::decodedText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("text");
    const int ascii = int(world::TextEncoding::Ascii);
    const int utf8 = int(world::TextEncoding::Utf8);
    const int cp1252 = int(world::TextEncoding::Windows1252);
    // clang-format off
    QTest::newRow("ascii")            << QByteArray("Aldo Brand")          << ascii  << QStringLiteral("Aldo Brand");
    QTest::newRow("utf8")             << QByteArray("Bj\xc3\xb6rn")         << utf8   << QStringLiteral(u"Bj\u00f6rn");
    QTest::newRow("utf8-cyrillic")    << QByteArray("\xd0\x9f\xd1\x91\xd1\x82\xd1\x80") << utf8 << QStringLiteral(u"\u041f\u0451\u0442\u0440");
    QTest::newRow("1252-letters")     << QByteArray("\x8a\x8c\x9e\x9f")     << cp1252 << QStringLiteral(u"\u0160\u0152\u017e\u0178");
    QTest::newRow("1252-punctuation") << QByteArray("\x80\x85\x91\x92\x96\x99") << cp1252 << QStringLiteral(u"\u20ac\u2026\u2018\u2019\u2013\u2122");
    QTest::newRow("1252-undefined")   << QByteArray("\x81\x8d\x8f\x90\x9d") << cp1252 << QStringLiteral(u"\u0081\u008d\u008f\u0090\u009d");
    QTest::newRow("1252-latin1-half") << QByteArray("\xa0\xc5\xe0\xff")     << cp1252 << QStringLiteral(u"\u00a0\u00c5\u00e0\u00ff");
    // clang-format on
}

void tst_Format::decodedText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, encoding);
    QFETCH(QString, text);
    QCOMPARE(world::decodeText(world::decode(bytes), world::TextEncoding(encoding)), text);
    // And back to the very bytes.
    QCOMPARE(world::encodeText(text, world::TextEncoding(encoding)), world::decode(bytes));
}

void tst_Format::filePaths()
{
    QCOMPARE(world::filePath(QStringLiteral("/srv/w"), world::accountsFileName()),
            QStringLiteral("/srv/w/accounts.adm"));
    // The directory is taken exactly as chosen: nothing is normalised.
    QCOMPARE(world::filePath(QStringLiteral("/srv/w/"), world::charactersFileName()),
            QStringLiteral("/srv/w//ztpcs.wsc"));
    QCOMPARE(world::filePath(QStringLiteral("w"), world::itemsFileName()),
            QStringLiteral("w/ztitems.wsc"));
}

void tst_Format::findAccount_data()
{
    QTest::addColumn<QList<int>>("numbers");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<int>("expected"); // -1: no account

    // Entries are inserted in the order given, as the loader meets the records.
    // clang-format off
    QTest::newRow("single")                << QList<int> { 3 }        << QStringList { "bob" }                  << "bob"  << 3;
    QTest::newRow("not-there")             << QList<int> { 3 }        << QStringList { "bob" }                  << "al"   << -1;
    QTest::newRow("empty-map")             << QList<int> {}           << QStringList {}                         << "bob"  << -1;
    QTest::newRow("same-name-smallest")    << QList<int> { 9, 2, 5 }  << QStringList { "bob", "bob", "al" }     << "bob"  << 2;
    QTest::newRow("same-name-negative")    << QList<int> { 0, -4 }    << QStringList { "bob", "bob" }           << "bob"  << -4;
    QTest::newRow("case-sensitive")        << QList<int> { 1 }        << QStringList { "Bob" }                  << "bob"  << -1;
    QTest::newRow("trailing-space-counts") << QList<int> { 1, 2 }     << QStringList { "bob ", "bob" }          << "bob"  << 2;
    QTest::newRow("empty-name")            << QList<int> { 4, 7 }     << QStringList { "bob", "" }              << ""     << 7;
    // Two records with one number: the later name replaces the earlier one.
    QTest::newRow("number-reused-later")   << QList<int> { 3, 3 }     << QStringList { "first", "second" }      << "second" << 3;
    QTest::newRow("number-reused-earlier") << QList<int> { 3, 3 }     << QStringList { "first", "second" }      << "first"  << -1;
    // clang-format on
}

void tst_Format::findAccount()
{
    QFETCH(QList<int>, numbers);
    QFETCH(QStringList, names);
    QFETCH(QString, wanted);
    QFETCH(int, expected);

    AccountMap accounts;
    for (int i = 0; i < numbers.size(); ++i)
        accounts.insert(numbers.at(i), names.at(i));
    int number = 12345;
    const bool found = world::findAccount(accounts, wanted, &number);
    QCOMPARE(found, expected != -1);
    QCOMPARE(number, found ? expected : 12345);
}

void tst_Format::findCharacter_data()
{
    QTest::addColumn<int>("account");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("serial"); // 0: not found

    // clang-format off
    QTest::newRow("found")                << 1 << "Bob"     << 101;
    QTest::newRow("first-of-same-names")  << 1 << "Twin"    << 102;
    QTest::newRow("inner-spaces")         << 1 << "Old Bob" << 104;
    QTest::newRow("case-sensitive")       << 1 << "bob"     << 0;
    QTest::newRow("trailing-blank")       << 1 << "Bob "    << 105;
    QTest::newRow("other-account")        << 2 << "Bob"     << 201;
    QTest::newRow("not-in-this-account")  << 2 << "Twin"    << 0;
    QTest::newRow("account-without-list") << 3 << "Bob"     << 0;
    QTest::newRow("empty-name")           << 2 << ""        << 202;
    // clang-format on
}

void tst_Format::findCharacter()
{
    QFETCH(int, account);
    QFETCH(QString, name);
    QFETCH(int, serial);

    // Offsets are ten times the serial, so the record found shows in both.
    CharacterMap characters;
    characters.insert(1,
            { { QStringLiteral("Bob"), 101, 1010 }, { QStringLiteral("Twin"), 102, 1020 },
                    { QStringLiteral("Twin"), 103, 1030 }, { QStringLiteral("Old Bob"), 104, 1040 },
                    { QStringLiteral("Bob "), 105, 1050 } });
    characters.insert(2, { { QStringLiteral("Bob"), 201, 2010 }, { QString(), 202, 2020 } });
    const char_st *found = world::findCharacter(characters, account, name);
    QCOMPARE(found ? found->serial : 0, serial);
    if (found) {
        QCOMPARE(found->offset, serial * 10);
        QCOMPARE(found->name, name);
    }
}

QTEST_APPLESS_MAIN(tst_Format)
#include "tst_format.moc"
