#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>

#include "app/mainwindow.h"
#include "items/itemrecords.h"
#include "support/worldfixture.h"
#include "world/worldformat.h"

using IntListMap = QMap<int, QList<int>>;

namespace {

constexpr int SerialBase = 0x40000000;

// An item record as the game writes one: header, braces, and the given body lines.
QByteArray record(int number, const QByteArray &body)
{
    return "SECTION WORLDITEM " + QByteArray::number(number) + "\n{\n" + body + "}\n";
}

// The byte position just past the header line that starts with `header`.
qint64 offsetAfter(const QByteArray &file, const QByteArray &header)
{
    const qsizetype at = file.indexOf(header);
    return at < 0 ? -1 : file.indexOf('\n', at) + 1;
}

// serialMap written out one entry a line, so a failing comparison shows what differs.
QStringList describe(const QMap<int, item_st> &map)
{
    QStringList entries;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        entries << QStringLiteral("%1 -> %2: %3")
                           .arg(it.key())
                           .arg(it.value().serial)
                           .arg(it.value().lines.join(QStringLiteral(" | ")));
    }
    return entries;
}

QStringList messages(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts << arguments.at(0).toString();
    return texts;
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> result;
    for (const QList<QVariant> &arguments : spy)
        result << arguments.at(0).toInt();
    return result;
}

// Writes the items file into `dir`; a null array writes nothing.
bool writeItems(const QTemporaryDir &dir, const QByteArray &items)
{
    return fixture::writeWorld(dir.path(), QByteArray(), QByteArray(), items);
}

} // namespace

class tst_Items : public QObject
{
    Q_OBJECT

private slots:
    // The serial scan.
    void scanResults_data();
    void scanResults();
    void scanMissingFile();
    void referencedNumbers_data();
    void referencedNumbers();
    void scanProgress_data();
    void scanProgress();

    // The item identification.
    void workedExample();
    void pruningOrder_data();
    void pruningOrder();
    void identification_data();
    void identification();
    void identificationOffsets_data();
    void identificationOffsets();
    void identificationLongRecords();
    void identificationNumbersGoRound();
    void identificationMissingFile();
    void identificationProgress_data();
    void identificationProgress();

    // Both.
    void statusAndBar_data();
    void statusAndBar();
};

void tst_Items::scanResults_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<int>("maxSection");
    QTest::addColumn<int>("maxSerial");
    QTest::addColumn<bool>("cutOff");

    // clang-format off
    QTest::newRow("empty-file") << QByteArray("") << -1 << SerialBase << false;
    QTest::newRow("only-comments") << QByteArray("// nothing\n\n   \n") << -1 << SerialBase << false;
    QTest::newRow("serials-below-base")
            << QByteArray(record(3, "SERIAL 5\n") + record(4, "SERIAL 1073741823\n"))
            << 4 << SerialBase << false;
    QTest::newRow("serial-above-base")
            << QByteArray(record(3, "SERIAL 1073741830\n") + record(1, "SERIAL 1073741825\n"))
            << 3 << 1073741830 << false;
    QTest::newRow("largest-int-serial") << QByteArray("SERIAL 2147483647\n") << -1 << INT_MAX << false;
    QTest::newRow("hexadecimal-serial-reads-zero") << QByteArray("SERIAL 0x50000000\n") << -1 << SerialBase << false;
    QTest::newRow("too-large-serial-reads-zero") << QByteArray("SERIAL 2147483648\n") << -1 << SerialBase << false;
    QTest::newRow("digits-then-letters-read-zero") << QByteArray("SERIAL 1073741900abc\n") << -1 << SerialBase << false;
    QTest::newRow("serial-without-number") << QByteArray("SERIAL\n") << -1 << SerialBase << false;
    QTest::newRow("serial-with-trailing-comment") << QByteArray("SERIAL 1073741901 // old\n") << -1 << 1073741901 << false;
    QTest::newRow("comment-glued-to-serial") << QByteArray("SERIAL 1073741902// old\n") << -1 << 1073741902 << false;
    QTest::newRow("serial-inside-comment") << QByteArray("// SERIAL 1073741903\n") << -1 << SerialBase << false;
    QTest::newRow("blanks-and-tabs-around-words")
            << QByteArray(" \t SECTION \t WORLDITEM   7 \n{\n\t SERIAL \t  1073741904  \n}\n")
            << 7 << 1073741904 << false;
    QTest::newRow("serial-outside-records")
            << QByteArray(record(2, "SERIAL 10\n") + "SERIAL 1073741905\n") << 2 << 1073741905 << false;
    QTest::newRow("lower-case-keys-passed-over")
            << QByteArray("serial 1073741906\nSection WORLDITEM 9\nsection WORLDITEM 9\n") << -1 << SerialBase << false;
    QTest::newRow("longer-key-passed-over")
            << QByteArray("SERIALS 1073741907\nSECTIONS WORLDITEM 9\n") << -1 << SerialBase << false;
    QTest::newRow("other-record-type-counts")
            << QByteArray("SECTION CHARACTER 12\n{\n}\n" + record(5, "")) << 12 << SerialBase << false;
    QTest::newRow("section-number-not-a-number") << QByteArray("SECTION WORLDITEM x\n{\n}\n") << 0 << SerialBase << false;
    QTest::newRow("section-alone") << QByteArray("SECTION\n{\n}\n") << 0 << SerialBase << false;
    QTest::newRow("negative-section-number") << QByteArray("SECTION WORLDITEM -5\n{\n}\n") << -1 << SerialBase << false;
    QTest::newRow("crlf-line-ends")
            << QByteArray("SECTION WORLDITEM 4\r\n{\r\nSERIAL 1073741908\r\n}\r\n") << 4 << 1073741908 << false;
    QTest::newRow("no-line-feed-at-end")
            << QByteArray("SECTION WORLDITEM 4\n{\nSERIAL 1073741909\n}") << 4 << 1073741909 << false;

    // Whether the file ends inside a record: after a header, before the next "}" line.
    QTest::newRow("cut-off-last-record-without-brace")
            << QByteArray(record(1, "SERIAL 5\n") + "SECTION WORLDITEM 2\n{\nSERIAL 1073741910\n")
            << 2 << 1073741910 << true;
    QTest::newRow("cut-off-header-at-end")
            << QByteArray(record(1, "") + "SECTION WORLDITEM 2") << 2 << SerialBase << true;
    QTest::newRow("cut-off-brace-with-text-does-not-close")
            << QByteArray("SECTION WORLDITEM 1\n{\n} x\n") << 1 << SerialBase << true;
    QTest::newRow("closing-brace-with-comment-closes")
            << QByteArray("SECTION WORLDITEM 1\n{\n  } // end\n") << 1 << SerialBase << false;
    QTest::newRow("lines-after-last-record")
            << QByteArray(record(1, "") + "\n// end of save\nSERIAL 3\n") << 1 << SerialBase << false;
    QTest::newRow("brace-without-header") << QByteArray("}\nSERIAL 3\n") << -1 << SerialBase << false;
    QTest::newRow("cut-off-header-inside-record")
            << QByteArray("SECTION WORLDITEM 1\n{\nSECTION WORLDITEM 2\n") << 2 << SerialBase << true;
    QTest::newRow("header-inside-record-then-brace")
            << QByteArray("SECTION WORLDITEM 1\n{\nSECTION WORLDITEM 2\n}\n") << 2 << SerialBase << false;
    // clang-format on
}

void tst_Items::scanResults()
{
    QFETCH(QByteArray, items);
    QFETCH(int, maxSection);
    QFETCH(int, maxSerial);
    QFETCH(bool, cutOff);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxItemSection = 99;
    window.maxItemSerial = 0x50000000;
    window.destItemsCutOff = !cutOff;
    window.acquireSerials(dir.path());

    QCOMPARE(window.maxItemSection, maxSection);
    QCOMPARE(window.maxItemSerial, maxSerial);
    QCOMPARE(window.destItemsCutOff, cutOff);
}

// The numbers OWNER, CONT and a key's MORE lines name, where new numbers could meet them:
// just above the highest character serial (10 here) and above the highest item serial.
void tst_Items::referencedNumbers_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QList<int>>("referenced");
    QTest::addColumn<int>("after"); // the first free number after this one is
    QTest::addColumn<int>("next");

    QTest::newRow("items-of-a-deleted-character")
            << QByteArray(record(1, "SERIAL 1073741830\nOWNER 12\nCONT 12\n")
                       + record(2, "SERIAL 1073741831\nOWNER 11\n"))
            << QList<int>{ 11, 12 } << 10 << 13;
    QTest::newRow("none-above-the-highest-character")
            << record(1, "OWNER 5\nCONT 10\n") << QList<int>{} << 10 << 11;
    QTest::newRow("as-far-as-2-to-the-24-above-it")
            << record(1, "CONT 16777226\nCONT 16777227\n") << QList<int>{ 16777226 } << 16777225
            << 16777227;
    QTest::newRow("existing-items-are-no-concern")
            << QByteArray(record(1, "SERIAL 1073741830\n")
                       + record(2, "CONT 1073741830\nCONT 1073741831\nCONT 1073741833\n"))
            << QList<int>{ 1073741831, 1073741833 } << 1073741830 << 1073741832;
    QTest::newRow("a-later-record-is-no-concern") << QByteArray(
            record(1, "SERIAL 1073741830\nCONT 1073741835\n") + record(2, "SERIAL 1073741840\n"))
                                                  << QList<int>{} << 1073741840 << 1073741841;
    QTest::newRow("keys-only-after-type-7")
            << QByteArray(record(1, "SERIAL 1073741830\nTYPE 7\nMORE 1073741850\n")
                       + record(2, "MORE 1073741851\nTYPE 7\n")
                       + record(3, "TYPE 07\nMORE 1073741852\nTYPE 1\nMORE 1073741853\n")
                       + record(4, "TYPE 7\nSECTION WORLDITEM 9\n  MORE\t1073741854 // door\n"))
            << QList<int>{ 1073741850, 1073741854 } << 1073741849 << 1073741851;
    QTest::newRow("anywhere-in-any-form")
            << QByteArray("CONT 13\n  OWNER\t0014 // old\nCONTS 15\nOWNER 16x\n" + record(1, ""))
            << QList<int>{ 13, 14 } << 12 << 15;
    QTest::newRow("round-past-the-top") << record(1, "SERIAL 2147483646\nCONT 2147483647\n")
                                        << QList<int>{ 2147483647 } << 2147483646 << INT_MIN;
}

void tst_Items::referencedNumbers()
{
    QFETCH(QByteArray, items);
    QFETCH(QList<int>, referenced);
    QFETCH(int, after);
    QFETCH(int, next);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");
    MainWindow window;
    window.maxCharSerial = 10;
    window.acquireSerials(dir.path());
    const std::vector<int> &found = window.destItemsReferenced.numbers();
    QCOMPARE(QList<int>(found.cbegin(), found.cend()), referenced);
    QCOMPARE(window.destItemsReferenced.nextFree(after), next);
    if (next > after)
        QCOMPARE(window.destItemsReferenced.freeBetween(after, next), qint64(1));
}

void tst_Items::scanMissingFile()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));

    MainWindow window;
    window.maxItemSection = 99;
    window.maxItemSerial = 0x50000000;
    window.destItemsCutOff = true;
    window.progressBar->setRange(0, 500);
    window.progressBar->setValue(123);
    QSignalSpy status(window.statusBar(), &QStatusBar::messageChanged);

    window.acquireSerials(dir.path());

    QCOMPARE(window.maxItemSection, -1);
    QCOMPARE(window.maxItemSerial, SerialBase);
    QVERIFY2(!window.destItemsCutOff, "a missing items file cannot end inside a record");
    QCOMPARE(messages(status), QStringList{ QStringLiteral("Unable to open ztitems.wsc") });
    QCOMPARE(window.progressBar->maximum(), 500);
    QCOMPARE(window.progressBar->value(), 123);
}

void tst_Items::scanProgress_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QList<int>>("moves");

    const QByteArray line("SERIAL 1\n"); // 9 bytes
    // 5 lines, 32 bytes: every line counts, inside records or not.
    const QByteArray fiveLines("SECTION A 1\n{\nSERIAL 1\nNAME x\n}\n");
    QTest::newRow("empty-file") << QByteArray("") << QList<int>{};
    QTest::newRow("one-line") << line << QList<int>{ 0 };
    QTest::newRow("10000-lines") << line.repeated(10000) << QList<int>{ 0 };
    QTest::newRow("10001-lines") << line.repeated(10001) << QList<int>{ 0, 90000 };
    QTest::newRow("25000-lines") << line.repeated(25000) << QList<int>{ 0, 90000, 180000 };
    QTest::newRow("25000-lines-crlf")
            << QByteArray("SERIAL 1\r\n").repeated(25000) << QList<int>{ 0, 100000, 200000 };
    QTest::newRow("25000-lines-in-records")
            << fiveLines.repeated(5000) << QList<int>{ 0, 2000 * 32, 4000 * 32 };
}

void tst_Items::scanProgress()
{
    QFETCH(QByteArray, items);
    QFETCH(QList<int>, moves);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    QSignalSpy progress(window.progressBar, &QProgressBar::valueChanged);
    window.acquireSerials(dir.path());

    QCOMPARE(values(progress), moves);
    QCOMPARE(window.progressBar->maximum(), int(items.size()));
    QCOMPARE(window.progressBar->value(), window.progressBar->minimum() - 1); // reset
}

void tst_Items::workedExample()
{
    // clang-format off
    const QByteArray items =
            "// items of the world\n"
            + record(1, "SERIAL 501\nNAME bag\nOWNER 100\nCONT 100\n")
            + record(2, "SERIAL 502\nNAME coin\nOWNER 100\nCONT 501\n")
            + record(3, "SERIAL 503\nOWNER 100\nCONT 777\n")
            + record(4, "SERIAL 504\nOWNER 100\nTYPE 7\nMORE 888\n")
            + record(5, "SERIAL 505\nOWNER 200\n")
            + record(6, "SERIAL 506\nOWNER 100\nTYPE 7\nMORE 100\n");
    // clang-format on
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    const int n = SerialBase + 10;
    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = n;
    window.maxItemSection = 42;
    window.getSerials(dir.path(), 100);

    QCOMPARE(window.containerMap,
            (IntListMap{ { 100, { 501 } }, { 501, { 502 } }, { 777, { 503 } } }));
    QCOMPARE(window.moreMap, (IntListMap{ { 100, { 506 } }, { 888, { 504 } } }));
    QCOMPARE(window.serialMap.keys(), (QList<int>{ 501, 502, 506 }));
    QCOMPARE(window.serialMap.value(501),
            (item_st{ { "{", "SERIAL 501", "NAME bag", "OWNER 57", "CONT 100" }, n + 1,
                    offsetAfter(items, "SECTION WORLDITEM 1") }));
    QCOMPARE(window.serialMap.value(502),
            (item_st{ { "{", "SERIAL 502", "NAME coin", "OWNER 57", "CONT 501" }, n + 2,
                    offsetAfter(items, "SECTION WORLDITEM 2") }));
    QCOMPARE(window.serialMap.value(506),
            (item_st{ { "{", "SERIAL 506", "OWNER 57", "TYPE 7", "MORE 100" }, n + 5,
                    offsetAfter(items, "SECTION WORLDITEM 6") }));
    QCOMPARE(window.maxItemSerial, n + 5);
    QCOMPARE(window.maxItemSection, 42);
}

void tst_Items::pruningOrder_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<IntListMap>("containers");
    QTest::addColumn<IntListMap>("mores");
    QTest::addColumn<QList<int>>("kept");

    // 300 is tested as a container while it is still collected, so 400 stays; 900 then
    // removes 300.
    QTest::newRow("inner-key-tested-first")
            << QByteArray(record(1, "SERIAL 300\nOWNER 100\nCONT 900\n")
                       + record(2, "SERIAL 400\nOWNER 100\nCONT 300\n"))
            << IntListMap{ { 300, { 400 } }, { 900, { 300 } } } << IntListMap{}
            << QList<int>{ 400 };
    // The same nesting with the numbers reversed: 300 removes 900, then 900 removes 400.
    QTest::newRow("outer-key-tested-first")
            << QByteArray(record(1, "SERIAL 900\nOWNER 100\nCONT 300\n")
                       + record(2, "SERIAL 400\nOWNER 100\nCONT 900\n"))
            << IntListMap{ { 300, { 900 } }, { 900, { 400 } } } << IntListMap{} << QList<int>{};
    // Containers go first: the container pass removes 700, so the MORE pass removes 600.
    QTest::newRow("container-pass-before-more-pass")
            << QByteArray(record(1, "SERIAL 600\nOWNER 100\nTYPE 7\nMORE 700\n")
                       + record(2, "SERIAL 700\nOWNER 100\nCONT 999\n"))
            << IntListMap{ { 999, { 700 } } } << IntListMap{ { 700, { 600 } } } << QList<int>{};
    // ... and is not run again: 600 was kept by the container pass before the MORE pass
    // removed its container 700.
    QTest::newRow("single-pass-keeps-earlier-decision")
            << QByteArray(record(1, "SERIAL 600\nOWNER 100\nCONT 700\n")
                       + record(2, "SERIAL 700\nOWNER 100\nTYPE 7\nMORE 999\n"))
            << IntListMap{ { 700, { 600 } } } << IntListMap{ { 999, { 700 } } }
            << QList<int>{ 600 };
    // Under the character itself nothing is removed, even though no item has its serial.
    QTest::newRow("character-as-holder")
            << QByteArray(record(1, "SERIAL 800\nOWNER 100\nCONT 100\n")
                       + record(2, "SERIAL 801\nOWNER 100\nTYPE 7\nMORE 100\n"))
            << IntListMap{ { 100, { 800 } } } << IntListMap{ { 100, { 801 } } }
            << QList<int>{ 800, 801 };
    // One missing container removes every record filed under it.
    QTest::newRow("whole-list-removed") << QByteArray(record(1, "SERIAL 810\nOWNER 100\nCONT 999\n")
            + record(2, "SERIAL 811\nOWNER 100\n") + record(3, "SERIAL 812\nOWNER 100\nCONT 999\n"))
                                        << IntListMap{ { 999, { 810, 812 } } } << IntListMap{}
                                        << QList<int>{ 811 };
}

void tst_Items::pruningOrder()
{
    QFETCH(QByteArray, items);
    QFETCH(IntListMap, containers);
    QFETCH(IntListMap, mores);
    QFETCH(QList<int>, kept);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.getSerials(dir.path(), 100);

    QCOMPARE(window.containerMap, containers);
    QCOMPARE(window.moreMap, mores);
    QCOMPARE(window.serialMap.keys(), kept);
    // Serials are drawn before pruning: every collected record took one.
    QCOMPARE(window.maxItemSerial, 1000 + int(items.count("OWNER 100")));
}

void tst_Items::identification_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<int>("owner");
    QTest::addColumn<QStringList>("entries"); // old serial -> new serial: stored lines
    QTest::addColumn<IntListMap>("containers");
    QTest::addColumn<IntListMap>("mores");
    QTest::addColumn<int>("lastSerial"); // maxItemSerial afterwards; 1000 before

    const QString noSerial = QString::number(INT_MIN);

    // clang-format off
    QTest::newRow("empty-file") << QByteArray("") << 100 << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("not-owned-leaves-no-trace")
            << record(1, "SERIAL 615\nOWNER 200\nCONT 999\nTYPE 7\nMORE 5\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("inside-collected-container-but-not-owned")
            << QByteArray(record(1, "SERIAL 501\nOWNER 100\n") + record(2, "SERIAL 502\nOWNER 200\nCONT 501\n"))
            << 100 << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;

    // OWNER lines.
    QTest::newRow("owner-with-trailing-comment")
            << record(1, "SERIAL 501\nOWNER 100 // me\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-with-glued-comment")
            << record(1, "SERIAL 501\nOWNER 100//me\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-with-plus-sign")
            << record(1, "SERIAL 501\nOWNER +100\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-text-replaced-everywhere")
            << record(1, "SERIAL 501\nOWNER 100 100\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-text-replaced-inside-words")
            << record(1, "SERIAL 501\nOWNER 1 x1y\n") << 1
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57 x57y"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-without-value-names-character-zero")
            << record(1, "SERIAL 501\nOWNER // nobody\n") << 0
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-value-inside-key-leaves-key")
            << record(1, "SERIAL 501\nOWNER E\n") << 0
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-digits-then-letters-is-not-owner")
            << record(1, "SERIAL 501\nOWNER 100abc\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("other-owner-line-kept-as-is")
            << record(1, "SERIAL 501\nOWNER 100\nOWNER 200\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57 | OWNER 200"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-after-other-owner")
            << record(1, "SERIAL 501\nOWNER 200\nOWNER 100\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 200 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("lower-case-owner-is-no-owner")
            << record(1, "SERIAL 501\nowner 100\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;

    // Conditioning of stored lines.
    QTest::newRow("white-space-simplified-blank-lines-kept")
            << record(1, "\t NAME  Old \t Bob \n// only a comment\n\nSERIAL 501\n  OWNER   100  \n   \nCOLOR 5 // red\n")
            << 100 << QStringList{"501 -> 1001: { | NAME Old Bob |  |  | SERIAL 501 | OWNER 57 |  | COLOR 5"}
            << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("lines-before-brace-not-stored")
            << QByteArray("SECTION WORLDITEM 1\nNAME before\n// x\n{\nSERIAL 501\nOWNER 100\n}\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("braces-with-comments")
            << QByteArray("SECTION WORLDITEM 1\n{ // start\nSERIAL 501\nOWNER 100\n  } // end\nSERIAL 9\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("crlf-line-ends")
            << QByteArray("SECTION WORLDITEM 1\r\n{\r\nSERIAL 501\r\nOWNER 100\r\nCONT 100\r\n}\r\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57 | CONT 100"} << IntListMap{{100, {501}}} << IntListMap{} << 1001;

    // Headers and record boundaries.
    QTest::newRow("header-of-any-type")
            << QByteArray("SECTION CHARACTER 3\n{\nSERIAL 501\nOWNER 100\n}\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("indented-header")
            << QByteArray(" \t SECTION   WORLDITEM 3\n{\nSERIAL 501\nOWNER 100\n}\n") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("lower-case-header-is-no-header")
            << QByteArray("section WORLDITEM 3\n{\nSERIAL 501\nOWNER 100\n}\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("records-do-not-nest")
            << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 501\nSECTION WORLDITEM 2\n{\nOWNER 100\n}\nSERIAL 502\nOWNER 100\n}\n")
            << 100 << QStringList{"501 -> 1001: { | SERIAL 501 | SECTION WORLDITEM 2 | { | OWNER 57"}
            << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("brace-search-passes-later-header")
            << QByteArray("SECTION WORLDITEM 1\nSERIAL 500\nOWNER 100\nSECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\n}\n")
            << 100 << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("cut-off-record-keeps-lines-read")
            << QByteArray(record(1, "SERIAL 500\nOWNER 200\n") + "SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\nCONT 100\nCOLOR 3\n")
            << 100 << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57 | CONT 100"}
            << IntListMap{{100, {501}}} << IntListMap{} << 1001;
    QTest::newRow("cut-off-last-serial-not-examined")
            << QByteArray("SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\nSERIAL 502") << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("owner-as-last-line-not-examined")
            << QByteArray("SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("owner-as-last-line-without-line-feed")
            << QByteArray("SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("brace-never-comes")
            << QByteArray(record(1, "SERIAL 501\nOWNER 100\n") + "SECTION WORLDITEM 2\nSERIAL 502\nOWNER 100\n}\n")
            << 100 << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("brace-is-last-line")
            << QByteArray("SECTION WORLDITEM 2\n{\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{} << 1000;
    QTest::newRow("header-is-last-line")
            << QByteArray("SECTION WORLDITEM 2") << 100 << QStringList{} << IntListMap{} << IntListMap{} << 1000;

    // The current serial.
    QTest::newRow("lines-outside-records-not-examined")
            << QByteArray("SERIAL 900\nOWNER 100\n" + record(1, "OWNER 100\n")) << 100
            << QStringList{noSerial + " -> 1001: { | OWNER 57"} << IntListMap{} << IntListMap{} << 1001;
    // Before any SERIAL line a record is filed apart from -1 (where type-7 items without
    // MORE are filed, so 700 is still pruned) and from 0 (what a non-number reads as).
    QTest::newRow("no-serial-line-yet")
            << QByteArray(record(1, "OWNER 100\nNAME first\n") + record(2, "SERIAL abc\nOWNER 100\n")
                          + record(3, "SERIAL 700\nOWNER 100\nTYPE 7\n"))
            << 100 << QStringList{noSerial + " -> 1001: { | OWNER 57 | NAME first", "0 -> 1002: { | SERIAL abc | OWNER 57"}
            << IntListMap{} << IntListMap{{-1, {700}}} << 1003;
    QTest::newRow("no-serial-line-takes-previous-records")
            << QByteArray(record(1, "SERIAL 501\nOWNER 200\n") + record(2, "OWNER 100\nNAME x\n")) << 100
            << QStringList{"501 -> 1001: { | OWNER 57 | NAME x"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("same-serial-twice-later-record-stays")
            << QByteArray(record(1, "SERIAL 501\nOWNER 100\nNAME a\n") + record(2, "SERIAL 501\nOWNER 100\nNAME b\n")) << 100
            << QStringList{"501 -> 1002: { | SERIAL 501 | OWNER 57 | NAME b"} << IntListMap{} << IntListMap{} << 1002;

    // Containers and MORE objects.
    QTest::newRow("cont-minus-one-is-no-container")
            << record(1, "SERIAL 605\nOWNER 100\nCONT -1\n") << 100
            << QStringList{"605 -> 1001: { | SERIAL 605 | OWNER 57 | CONT -1"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("cont-not-a-number-is-zero")
            << record(1, "SERIAL 607\nOWNER 100\nCONT box\n") << 100
            << QStringList{} << IntListMap{{0, {607}}} << IntListMap{} << 1001;
    QTest::newRow("container-reset-per-record")
            << QByteArray(record(1, "SERIAL 613\nOWNER 100\nCONT 999\n") + record(2, "SERIAL 614\nOWNER 100\n")) << 100
            << QStringList{"614 -> 1002: { | SERIAL 614 | OWNER 57"} << IntListMap{{999, {613}}} << IntListMap{} << 1002;
    QTest::newRow("type-07-is-not-type-7")
            << record(1, "SERIAL 601\nOWNER 100\nTYPE 07\nMORE 999\n") << 100
            << QStringList{"601 -> 1001: { | SERIAL 601 | OWNER 57 | TYPE 07 | MORE 999"} << IntListMap{} << IntListMap{} << 1001;
    QTest::newRow("type-7-without-more")
            << record(1, "SERIAL 603\nOWNER 100\nTYPE 7\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{{-1, {603}}} << 1001;
    QTest::newRow("more-before-type-not-taken")
            << QByteArray(record(1, "SERIAL 501\nOWNER 100\n") + record(2, "SERIAL 602\nOWNER 100\nMORE 501\nTYPE 7\n")) << 100
            << QStringList{"501 -> 1001: { | SERIAL 501 | OWNER 57"} << IntListMap{} << IntListMap{{-1, {602}}} << 1002;
    QTest::newRow("type-7-without-more-kept-by-serial-minus-one")
            << QByteArray(record(1, "SERIAL -1\nOWNER 100\n") + record(2, "SERIAL 604\nOWNER 100\nTYPE 7\n")) << 100
            << QStringList{"-1 -> 1001: { | SERIAL -1 | OWNER 57", "604 -> 1002: { | SERIAL 604 | OWNER 57 | TYPE 7"}
            << IntListMap{} << IntListMap{{-1, {604}}} << 1002;
    QTest::newRow("last-more-line-counts")
            << record(1, "SERIAL 609\nOWNER 100\nTYPE 7\nMORE 100\nMORE 888\n") << 100
            << QStringList{} << IntListMap{} << IntListMap{{888, {609}}} << 1001;
    QTest::newRow("type-7-reset-per-record")
            << QByteArray(record(1, "SERIAL 611\nOWNER 100\nTYPE 7\nMORE 100\n") + record(2, "SERIAL 612\nOWNER 100\nMORE 999\n")) << 100
            << QStringList{"611 -> 1001: { | SERIAL 611 | OWNER 57 | TYPE 7 | MORE 100", "612 -> 1002: { | SERIAL 612 | OWNER 57 | MORE 999"}
            << IntListMap{} << IntListMap{{100, {611}}} << 1002;
    QTest::newRow("no-cont-removed-only-by-more-pass")
            << QByteArray(record(1, "SERIAL 620\nOWNER 100\n") + record(2, "SERIAL 621\nOWNER 100\nTYPE 7\nMORE 999\n")) << 100
            << QStringList{"620 -> 1001: { | SERIAL 620 | OWNER 57"} << IntListMap{} << IntListMap{{999, {621}}} << 1002;
    // clang-format on
}

void tst_Items::identification()
{
    QFETCH(QByteArray, items);
    QFETCH(int, owner);
    QFETCH(QStringList, entries);
    QFETCH(IntListMap, containers);
    QFETCH(IntListMap, mores);
    QFETCH(int, lastSerial);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.maxItemSection = 42;
    window.getSerials(dir.path(), owner);

    QCOMPARE(describe(window.serialMap), entries);
    QCOMPARE(window.containerMap, containers);
    QCOMPARE(window.moreMap, mores);
    QCOMPARE(window.maxItemSerial, lastSerial);
    QCOMPARE(window.maxItemSection, 42);
}

void tst_Items::identificationOffsets_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QByteArray>("header"); // the header whose end is the record's offset

    const QByteArray lf = "// save\n" + record(1, "SERIAL 500\nOWNER 200\n") + "\n"
            + record(2, "SERIAL 501\nNAME x // note\nOWNER 100\n");
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    QTest::newRow("lf") << lf << QByteArray("SECTION WORLDITEM 2");
    QTest::newRow("crlf") << crlf << QByteArray("SECTION WORLDITEM 2");
    // The brace search passes the second header; the record keeps the first one's offset.
    QTest::newRow("brace-after-second-header") << QByteArray(
            "SECTION WORLDITEM 1\nNAME x\nSECTION WORLDITEM 2\n{\nSERIAL 501\nNAME x\n"
            "OWNER 100\n}\n") << QByteArray("SECTION WORLDITEM 1");
}

void tst_Items::identificationOffsets()
{
    QFETCH(QByteArray, items);
    QFETCH(QByteArray, header);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.getSerials(dir.path(), 100);

    QCOMPARE(window.serialMap.keys(), QList<int>{ 501 });
    const item_st item = window.serialMap.value(501);
    QCOMPARE(item.offset, offsetAfter(items, header));
    QCOMPARE(item.lines, (QList<QString>{ "{", "SERIAL 501", "NAME x", "OWNER 57" }));
}

// Records longer than the reader's blocks, and the character's records among many others:
// every kept line arrives once and in order, and reading goes on right after each record.
void tst_Items::identificationLongRecords()
{
    const QByteArray filler = QByteArray("NAME  filler // x\n").repeated(100000); // 1.9 MB
    QByteArray items = record(1, "SERIAL 500\nOWNER 200\n" + filler);
    items += record(2, "SERIAL 501\n" + filler + "OWNER 100\n" + filler + "CONT 502\n");
    for (int i = 0; i < 20000; ++i)
        items += record(3 + i, "SERIAL " + QByteArray::number(600 + i) + "\nOWNER 200\n");
    items += record(99999, "SERIAL 502\r\nOWNER 100\r\nTYPE 7\r\nMORE 100\r\n");

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.getSerials(dir.path(), 100);

    QCOMPARE(window.serialMap.keys(), (QList<int>{ 501, 502 }));
    QList<QString> expected{ "{", "SERIAL 501" };
    for (int i = 0; i < 100000; ++i)
        expected << QStringLiteral("NAME filler");
    expected << QStringLiteral("OWNER 57");
    for (int i = 0; i < 100000; ++i)
        expected << QStringLiteral("NAME filler");
    expected << QStringLiteral("CONT 502");
    const item_st big = window.serialMap.value(501);
    QCOMPARE(big.lines.size(), expected.size());
    QCOMPARE(big.lines, expected);
    QCOMPARE(big.serial, 1001);
    QCOMPARE(big.offset, offsetAfter(items, "SECTION WORLDITEM 2"));
    QCOMPARE(window.serialMap.value(502),
            (item_st{ { "{", "SERIAL 502", "OWNER 57", "TYPE 7", "MORE 100" }, 1002,
                    offsetAfter(items, "SECTION WORLDITEM 99999") }));
    QCOMPARE(window.containerMap, (IntListMap{ { 502, { 501 } } }));
    QCOMPARE(window.moreMap, (IntListMap{ { 100, { 502 } } }));
}

// At the top of the int range new numbers go round to the smallest int, without the
// undefined behaviour of an overflowing addition, so the transfer can see it and refuse.
void tst_Items::identificationNumbersGoRound()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir,
                     record(1, "SERIAL 501\nOWNER 100\n") + record(2, "SERIAL 502\nOWNER 100\n")),
            "could not write the items file");

    MainWindow window;
    window.maxCharSerial = INT_MAX;
    window.maxItemSerial = INT_MAX - 1;
    window.getSerials(dir.path(), 100);

    QCOMPARE(describe(window.serialMap),
            (QStringList{ QStringLiteral("501 -> 2147483647: { | SERIAL 501 | OWNER -2147483648"),
                    QStringLiteral("502 -> -2147483648: { | SERIAL 502 | OWNER -2147483648") }));
    QCOMPARE(window.maxItemSerial, INT_MIN);
}

void tst_Items::identificationMissingFile()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.maxItemSection = 42;
    const QMap<int, item_st> serials{ { 7, item_st{ { "{", "SERIAL 7" }, 999, 12 } } };
    window.serialMap = serials;
    window.containerMap = IntListMap{ { 3, { 7 } } };
    window.moreMap = IntListMap{ { 4, { 7 } } };
    window.progressBar->setRange(0, 500);
    window.progressBar->setValue(123);
    QSignalSpy status(window.statusBar(), &QStatusBar::messageChanged);

    window.getSerials(dir.path(), 100);

    QCOMPARE(messages(status), QStringList{ QStringLiteral("Unable to open ztitems.wsc") });
    QCOMPARE(window.serialMap, serials);
    QCOMPARE(window.containerMap, (IntListMap{ { 3, { 7 } } }));
    QCOMPARE(window.moreMap, (IntListMap{ { 4, { 7 } } }));
    QCOMPARE(window.maxItemSerial, 1000);
    QCOMPARE(window.maxItemSection, 42);
    QCOMPARE(window.maxCharSerial, 56);
    QCOMPARE(window.progressBar->maximum(), 500);
    QCOMPARE(window.progressBar->value(), 123);
}

void tst_Items::identificationProgress_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QList<int>>("moves");

    const QByteArray shortRecord("SECTION A 1\n{\nNAME x\n}\n"); // 23 bytes, counts once
    QTest::newRow("empty-file") << QByteArray("") << QList<int>{};
    QTest::newRow("25000-records")
            << shortRecord.repeated(25000) << QList<int>{ 0, 10000 * 23, 20000 * 23 };
    // A line outside records counts like a record: 12500 pairs make 25000 counts.
    QTest::newRow("lines-and-records") << QByteArray("// note\n" + shortRecord).repeated(12500)
                                       << QList<int>{ 0, 5000 * 31, 10000 * 31 };
    // Lines before the brace belong to the record and do not count.
    QTest::newRow("lines-before-brace")
            << QByteArray("SECTION A 1\nNAME pre\n{\n}\n").repeated(25000)
            << QList<int>{ 0, 10000 * 25, 20000 * 25 };
    QTest::newRow("one-long-record")
            << QByteArray("SECTION A 1\n{\n" + QByteArray("NAME x\n").repeated(25000) + "}\n")
            << QList<int>{ 0 };
    QTest::newRow("25000-lines-crlf")
            << QByteArray("x\r\n").repeated(25000) << QList<int>{ 0, 30000, 60000 };
}

void tst_Items::identificationProgress()
{
    QFETCH(QByteArray, items);
    QFETCH(QList<int>, moves);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    QSignalSpy progress(window.progressBar, &QProgressBar::valueChanged);
    window.getSerials(dir.path(), 100);

    QCOMPARE(values(progress), moves);
    QCOMPARE(window.progressBar->maximum(), int(items.size()));
    QCOMPARE(window.progressBar->value(), window.progressBar->minimum() - 1); // reset
}

void tst_Items::statusAndBar_data()
{
    QTest::addColumn<bool>("identify"); // getSerials, else acquireSerials
    QTest::addColumn<QByteArray>("items"); // null: no items file
    QTest::addColumn<bool>("directory"); // a directory stands where the items file belongs
    QTest::addColumn<QStringList>("expected");

    const QByteArray file = record(1, "SERIAL 501\nOWNER 100\n");
    const QString scanning = QStringLiteral("Acquiring item serial numbers");
    const QString identifying = QStringLiteral("Identifiying items");
    const QString ready = QStringLiteral("Ready");
    const QString unable = QStringLiteral("Unable to open ztitems.wsc");
    QTest::newRow("scan") << false << file << false << QStringList{ scanning, ready };
    QTest::newRow("scan-empty-file")
            << false << QByteArray("") << false << QStringList{ scanning, ready };
    QTest::newRow("scan-missing-file") << false << QByteArray() << false << QStringList{ unable };
    QTest::newRow("scan-directory") << false << QByteArray() << true << QStringList{ unable };
    QTest::newRow("identify") << true << file << false << QStringList{ identifying, ready };
    QTest::newRow("identify-empty-file")
            << true << QByteArray("") << false << QStringList{ identifying, ready };
    QTest::newRow("identify-missing-file")
            << true << QByteArray() << false << QStringList{ unable };
    QTest::newRow("identify-directory") << true << QByteArray() << true << QStringList{ unable };
}

void tst_Items::statusAndBar()
{
    QFETCH(bool, identify);
    QFETCH(QByteArray, items);
    QFETCH(bool, directory);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(writeItems(dir, items), "could not write the items file");
    if (directory)
        QVERIFY2(QDir(dir.path()).mkdir(world::itemsFileName()), "could not make the directory");

    MainWindow window;
    window.maxCharSerial = 56;
    window.maxItemSerial = 1000;
    window.progressBar->setRange(0, 500);
    window.progressBar->setValue(123);
    QSignalSpy status(window.statusBar(), &QStatusBar::messageChanged);
    QSignalSpy progress(window.progressBar, &QProgressBar::valueChanged);

    if (identify)
        window.getSerials(dir.path(), 100);
    else
        window.acquireSerials(dir.path());

    QCOMPARE(messages(status), expected);
    QCOMPARE(window.statusBar()->currentMessage(), expected.last());
    if (items.isNull()) {
        QVERIFY2(progress.isEmpty(), "the bar must not move when the file cannot be opened");
        QCOMPARE(window.progressBar->maximum(), 500);
        QCOMPARE(window.progressBar->value(), 123);
    } else {
        // The bar counted the file's bytes and was reset at the end.
        QCOMPARE(window.progressBar->minimum(), 0);
        QCOMPARE(window.progressBar->maximum(), int(items.size()));
        QCOMPARE(window.progressBar->value(), -1);
    }
}

QTEST_MAIN(tst_Items)
#include "tst_items.moc"
