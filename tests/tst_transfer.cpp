#include <QtTest>

#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>

#include "app/mainwindow.h"
#include "support/worldfixture.h"
#include "transfer/appendfile.h"
#include "transfer/journal.h"
#include "transfer/textspool.h"
#include "transfer/verification.h"
#include "transfer/worldlock.h"
#include "world/worldformat.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

QString charactersPath(const QString &dir)
{
    return world::filePath(dir, world::charactersFileName());
}

QString itemsPath(const QString &dir)
{
    return world::filePath(dir, world::itemsFileName());
}

item_st item(int serial, const QList<QString> &lines)
{
    item_st record;
    record.serial = serial;
    record.lines = lines;
    return record;
}

// Replaces the system calls of the appender for one test and puts them back afterwards.
struct FileCallsOverride
{
    explicit FileCallsOverride(const transfer::FileCalls &calls) { transfer::fileCalls() = calls; }
    ~FileCallsOverride() { transfer::fileCalls() = transfer::systemFileCalls(); }
};

// Counters and switches the replacement calls below read; reset by each test.
struct CallScript
{
    int writes = 0;
    int fsyncs = 0;
    int truncates = 0;
    int failWriteAt = -1; // the n-th write call (from 1) fails with `writeError`
    int writeError = ENOSPC;
    int maxChunk = INT_MAX; // a write takes at most this many bytes
    int interruptWriteAt = -1; // the n-th write call fails with EINTR
    int failFsyncAt = -1; // the n-th fsync call fails with EIO
    bool failTruncate = false;
};
CallScript script;

// No append here takes more than this many calls; past it a writer that never gives up
// fails with ELOOP instead of hanging the suite.
constexpr int WriteCallLimit = 1000;

ssize_t scriptedWrite(int fd, const void *data, size_t size, off_t offset)
{
    ++script.writes;
    if (script.writes > WriteCallLimit) {
        errno = ELOOP;
        return -1;
    }
    if (script.writes == script.interruptWriteAt) {
        errno = EINTR;
        return -1;
    }
    if (script.writes == script.failWriteAt) {
        errno = script.writeError;
        return -1;
    }
    return ::pwrite(fd, data, qMin<size_t>(size, size_t(script.maxChunk)), offset);
}

int scriptedFsync(int fd)
{
    ++script.fsyncs;
    if (script.fsyncs == script.failFsyncAt) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

int scriptedTruncate(int fd, off_t size)
{
    ++script.truncates;
    if (script.failTruncate) {
        errno = EIO;
        return -1;
    }
    return ::ftruncate(fd, size);
}

const transfer::FileCalls scriptedCalls{ scriptedWrite, scriptedFsync, scriptedTruncate };

using ItemMap = QMap<int, item_st>;

} // namespace

class tst_Transfer : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // The two writers on their own, with the window's counters set by hand.
    void characterCopy_data();
    void characterCopy();
    void characterCopyMissingDestination();
    void characterCopySameFileStopsAtOldEnd();
    void itemCopy_data();
    void itemCopy();
    void itemCopyEmptyMap();
    void verificationRefusesNamedNumbers_data();
    void verificationRefusesNamedNumbers();

    // The appender under failing system calls.
    void appendFile_data();
    void appendFile();
    void appendFileCreatedThenFailed();
    void appendFileRestoreFails();
    void appendFileRefusesWhatIsNoFile();
    void restoreFile_data();
    void restoreFile();
    void journalRecovery_data();
    void journalRecovery();
    void journalFormats_data();
    void journalFormats();
    void journalNotWritten();
    void textSpool();
};

void tst_Transfer::init()
{
    script = CallScript();
}

// The source file holds the record's SECTION line, then `record` (what the copy reads from
// the record offset on), then whatever follows it in the file.
void tst_Transfer::characterCopy_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("destination");
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("serial");
    QTest::addColumn<int>("account");
    QTest::addColumn<QByteArray>("appended");

    const QByteArray next = "SECTION CHARACTER 13\n{\nSERIAL 99\nNAME Other\nACCOUNT 7\n}\n";

    // The worked example: counters 41 and 57, destination account 3.
    QTest::newRow("example-table")
            << QByteArray("{\nSERIAL 12\nNAME Aldo Brand\nACCOUNT 7\nOWN 12\n"
                          "ROBE 900 // worn robe\nSTR 50 // strength\n}\n")
                    + next
            << QByteArray("SECTION CHARACTER 41\n{\nSERIAL 57\n}\n") << 41 << 57 << 3
            << QByteArray("\n"
                          "//********Transfered Character***********\n"
                          "SECTION CHARACTER 42\n"
                          "{\n"
                          "SERIAL 58\n"
                          "NAME Aldo Brand\n"
                          "ACCOUNT 3\n"
                          "OWN 58\n"
                          "ROBE -1\n"
                          "STR 50 // strength\n"
                          "}\n");
    // The leading line feed completes a last line that had none.
    QTest::newRow("destination-without-last-line-feed")
            << QByteArray("{\nSERIAL 12\n}\n") << QByteArray("// last line") << 0 << 0 << 1
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 1\n"
                          "{\nSERIAL 1\n}\n");
    QTest::newRow("empty-destination-counters-from-empty-file")
            << QByteArray("{\nSERIAL 12\nOWN 12\n}\n") << QByteArray("") << -1 << 0 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 0\n"
                          "{\nSERIAL 1\nOWN 1\n}\n");
    // Only whole keys are rewritten; a rewritten line keeps nothing but key and value.
    QTest::newRow("key-prefix-and-bare-key")
            << QByteArray("{\nACCOUNTS 5\nSERIALS x\nSERIAL\nACCOUNT\nOWNER 12\n}\n")
            << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nACCOUNTS 5\nSERIALS x\nSERIAL 10\nACCOUNT 2\nOWNER 12\n}\n");
    QTest::newRow("rewritten-line-drops-comment-and-extra-words")
            << QByteArray("{\nSERIAL 12 // me\nACCOUNT 7 8 9\nOWN 1 2\nROBE\n}\n") << QByteArray("")
            << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\nACCOUNT 2\nOWN 10\nROBE -1\n}\n");
    // The loader reads keys after simplifying the line, so the copy must rewrite them too.
    QTest::newRow("indented-and-tab-separated-keys")
            << QByteArray("{\nSERIAL\t12\n  OWN 12\nROBE\t3\n\t ACCOUNT   7\n  NAME\tBob\n}\n")
            << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\nOWN 10\nROBE -1\nACCOUNT 2\n  NAME\tBob\n}\n");
    QTest::newRow("lower-case-keys-copied")
            << QByteArray("{\nserial 12\nOwn 12\n}\n") << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nserial 12\nOwn 12\n}\n");
    QTest::newRow("lines-before-brace-and-comments-copied-raw")
            << QByteArray("\n// kept\n{\n// also kept\nSTR   50  // as is\n}\n") << QByteArray("")
            << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "\n// kept\n{\n// also kept\nSTR   50  // as is\n}\n");
    QTest::newRow("crlf-source-written-with-lf")
            << QByteArray("{\r\nSERIAL 12\r\nNAME Bob\r\n}\r\n") << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\nNAME Bob\n}\n");
    // The loader ends a record at "}  " too; the copy must not run on into the next record.
    QTest::newRow("brace-with-trailing-blanks-ends-copy")
            << QByteArray("{\nSERIAL 12\n}  \n") + next << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\n}  \n");
    QTest::newRow("indented-brace-ends-copy")
            << QByteArray("{\nSERIAL 12\n\t}\n") + next << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\n\t}\n");
    // For the loader '} // x' is no brace (it reads '} '); the record runs on to the next
    // header, where the copy closes it itself.
    QTest::newRow("brace-with-comment-copied-and-closed")
            << QByteArray("{\nSERIAL 12\n} // x\n\n") + next << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\n} // x\n\n}\n");
    QTest::newRow("next-header-ends-unclosed-record")
            << QByteArray("{\nSERIAL 12\nNAME Bob\n") + next << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\nNAME Bob\n}\n");
    QTest::newRow("indented-next-header-ends-unclosed-record")
            << QByteArray("{\nSERIAL 12\n  SECTION\tITEM 4\n{\n}\n") << QByteArray("") << 4 << 9
            << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\n}\n");
    QTest::newRow("source-ends-without-brace")
            << QByteArray("{\nSERIAL 12\nNAME Bob") << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nSERIAL 10\nNAME Bob\n}\n");
    QTest::newRow("negative-account-written-with-sign")
            << QByteArray("{\nACCOUNT 7\n}\n") << QByteArray("") << 4 << 9 << -4
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nACCOUNT -4\n}\n");
    QTest::newRow("latin1-bytes-kept")
            << QByteArray("{\nNAME J\xf6rg \xa0x\n}\n") << QByteArray("") << 4 << 9 << 2
            << QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 5\n"
                          "{\nNAME J\xf6rg \xa0x\n}\n");
}

void tst_Transfer::characterCopy()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, destination);
    QFETCH(int, section);
    QFETCH(int, serial);
    QFETCH(int, account);
    QFETCH(QByteArray, appended);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const QByteArray header = "SECTION CHARACTER 12\n";
    const QByteArray sourceBytes = "// world\n" + header + record;
    QVERIFY(fixture::writeFile(charactersPath(source.path()), sourceBytes));
    QVERIFY(fixture::writeFile(charactersPath(dest.path()), destination));

    MainWindow window;
    window.maxCharSection = section;
    window.maxCharSerial = serial;
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);
    const int offset = int(QByteArray("// world\n").size() + header.size());
    window.transferChar(12, offset, account, source.path(), dest.path());

    QCOMPARE(fixture::readFile(charactersPath(dest.path())), destination + appended);
    QCOMPARE(fixture::readFile(charactersPath(source.path())), sourceBytes);
    QVERIFY2(window.transferFailure.isEmpty(), qPrintable(window.transferFailure));
    QCOMPARE(window.maxCharSection, section);
    QCOMPARE(window.maxCharSerial, serial);
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Transferring Character"));
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
}

void tst_Transfer::characterCopyMissingDestination()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    QVERIFY(fixture::writeFile(
            charactersPath(source.path()), "SECTION CHARACTER 1\n{\nSERIAL 5\n}\n"));
    MainWindow window;
    window.maxCharSection = -1;
    window.maxCharSerial = 0;
    window.transferChar(5, 20, 0, source.path(), dest.path());
    QCOMPARE(fixture::readFile(charactersPath(dest.path())),
            QByteArray("\n//********Transfered Character***********\nSECTION CHARACTER 0\n"
                       "{\nSERIAL 1\n}\n"));
}

// With source and destination one file, the copy of a record that never closes must stop
// where the file ended when the copy began, not read on into what it appends.
void tst_Transfer::characterCopySameFileStopsAtOldEnd()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray before = "SECTION CHARACTER 3\n{\nSERIAL 7\nNAME Bob\nACCOUNT 1\n";
    QVERIFY(fixture::writeFile(charactersPath(dir.path()), before));
    MainWindow window;
    window.maxCharSection = 3;
    window.maxCharSerial = 7;
    window.transferChar(7, 20, 2, dir.path(), dir.path());
    QCOMPARE(fixture::readFile(charactersPath(dir.path())),
            before
                    + "\n//********Transfered Character***********\nSECTION CHARACTER 4\n"
                      "{\nSERIAL 8\nNAME Bob\nACCOUNT 2\n}\n");
}

void tst_Transfer::itemCopy_data()
{
    QTest::addColumn<ItemMap>("items");
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("owner");
    QTest::addColumn<QByteArray>("appended");

    // The worked example: a bag (old 200) and a TYPE 7 item in it (old 210); the new
    // serials A and B are 1073741825 and 1073741826; counters 99 and 57.
    QMap<int, item_st> example;
    example.insert(200, item(1073741825, { "{", "SERIAL 200", "NAME bag", "OWNER 58", "TYPE 1" }));
    example.insert(210,
            item(1073741826, { "{", "SERIAL 210", "OWNER 58", "CONT 200", "TYPE 7", "MORE 200" }));
    QTest::newRow("example-table") << example << 99 << 12
                                   << QByteArray("\n"
                                                 "//********Transfered ITEM***********\n"
                                                 "\n"
                                                 "SECTION WORLDITEM 100\n"
                                                 "{\n"
                                                 "SERIAL 1073741825\n"
                                                 "NAME bag\n"
                                                 "OWNER 58\n"
                                                 "TYPE 1\n"
                                                 "}\n"
                                                 "\n"
                                                 "\n"
                                                 "//********Transfered ITEM***********\n"
                                                 "\n"
                                                 "SECTION WORLDITEM 101\n"
                                                 "{\n"
                                                 "SERIAL 1073741826\n"
                                                 "OWNER 58\n"
                                                 "CONT 1073741825\n"
                                                 "TYPE 7\n"
                                                 "MORE 1073741825\n"
                                                 "}\n"
                                                 "\n");

    // Map order, not new-serial order; a first record numbered 0.
    QMap<int, item_st> order;
    order.insert(900, item(11, { "{", "SERIAL 900" }));
    order.insert(-5, item(12, { "{", "SERIAL -5" }));
    QTest::newRow("ascending-old-serial-first-number-zero")
            << order << -1 << 12
            << QByteArray("\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 0\n"
                          "{\nSERIAL 12\n}\n\n"
                          "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 1\n"
                          "{\nSERIAL 11\n}\n\n");

    // MORE is only a reference after TYPE 7 of the same record; '07' is not 7.
    QMap<int, item_st> types;
    types.insert(1, item(21, { "{", "SERIAL 1", "MORE 1", "TYPE 7", "MORE 1" }));
    types.insert(2, item(22, { "{", "SERIAL 2", "MORE 1", "TYPE 07", "MORE 1" }));
    types.insert(3, item(23, { "{", "TYPE 7", "TYPE 1", "MORE 2" }));
    QTest::newRow("type-seven-mark")
            << types << 5 << 12
            << QByteArray("\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 6\n"
                          "{\nSERIAL 21\nMORE 1\nTYPE 7\nMORE 21\n}\n\n"
                          "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 7\n"
                          "{\nSERIAL 22\nMORE 1\nTYPE 07\nMORE 1\n}\n\n"
                          "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 8\n"
                          "{\nTYPE 7\nTYPE 1\nMORE 22\n}\n\n");

    QMap<int, item_st> repeated;
    repeated.insert(4,
            item(31,
                    { "{", "SERIAL 4", "OWNER 3", "CONT 4", "SERIAL 4", "OWNER 9", "CONT 12",
                            "NAME a b" }));
    QTest::newRow("every-key-line-rewritten")
            << repeated << 5 << 12
            << QByteArray("\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 6\n"
                          "{\nSERIAL 31\nOWNER 58\nCONT 31\nSERIAL 31\nOWNER 58\nCONT 58\n"
                          "NAME a b\n}\n\n");

    // References to nothing else that was transferred: the character's old serial becomes
    // its new one and -1 stays -1; an item in, or a key to, anything else is not copied (a
    // loose item would otherwise lie on the ground at its container's inner coordinates).
    QMap<int, item_st> outside;
    outside.insert(7, item(41, { "{", "SERIAL 7", "CONT 12", "TYPE 7", "MORE 12" }));
    outside.insert(8, item(42, { "{", "SERIAL 8", "CONT -1", "TYPE 7", "MORE -1" }));
    outside.insert(9, item(43, { "{", "SERIAL 9", "CONT 777", "TYPE 7", "MORE 888" }));
    outside.insert(10, item(44, { "{", "SERIAL 10", "CONT x", "TYPE 7", "MORE" }));
    QTest::newRow("references-outside-the-transfer")
            << outside << 5 << 12
            << QByteArray("\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 6\n"
                          "{\nSERIAL 41\nCONT 58\nTYPE 7\nMORE 58\n}\n\n"
                          "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 7\n"
                          "{\nSERIAL 42\nCONT -1\nTYPE 7\nMORE -1\n}\n\n");
}

void tst_Transfer::itemCopy()
{
    QFETCH(ItemMap, items);
    QFETCH(int, section);
    QFETCH(int, owner);
    QFETCH(QByteArray, appended);

    QTemporaryDir dest;
    QVERIFY(dest.isValid());
    const QByteArray before = "SECTION WORLDITEM 3\n{\nSERIAL 1\n}";
    QVERIFY(fixture::writeFile(itemsPath(dest.path()), before));

    MainWindow window;
    window.serialMap = items;
    window.maxItemSection = section;
    window.maxCharSerial = 57;
    QSignalSpy progress(window.progressBar, &QProgressBar::valueChanged);
    window.transferChar(owner, 3, dest.path());

    QCOMPARE(fixture::readFile(itemsPath(dest.path())), before + appended);
    QVERIFY2(window.transferFailure.isEmpty(), qPrintable(window.transferFailure));
    QCOMPARE(window.serialMap, items);
    // Items left behind use no record number.
    QCOMPARE(window.maxItemSection, section + int(appended.count("SECTION WORLDITEM")));
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Transferring Items"));
    QCOMPARE(window.progressBar->maximum(), int(items.size()));
    // One step per record, before it is written: 0, 1, ...
    QCOMPARE(progress.last().at(0).toInt(), int(items.size()) - 1);
}

// A copy whose new serial a line of the destination already names is refused, whatever drew
// that serial: the record naming it would come to hold, belong to or open the copy.
void tst_Transfer::verificationRefusesNamedNumbers_data()
{
    QTest::addColumn<QList<int>>("named");
    QTest::addColumn<QString>("characterProblem");
    QTest::addColumn<QString>("itemsProblem");
    QTest::newRow("nothing-named") << QList<int>{ 30, 32, 1073741900 } << QString() << QString();
    QTest::newRow("the-new-character") << QList<int>{ 31 }
                                       << "the copy of the record of the character \"Aldo\" "
                                          "would get the serial 31, which an OWNER"
                                       << QString();
    QTest::newRow("a-new-item") << QList<int>{ 1073741902 } << QString()
                                << "the copy of this item would get the serial 1073741902";
}

void tst_Transfer::verificationRefusesNamedNumbers()
{
    QFETCH(QList<int>, named);
    QFETCH(QString, characterProblem);
    QFETCH(QString, itemsProblem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray header = "SECTION CHARACTER 0\n";
    const QByteArray characters = header + "{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\n}\n";
    const QByteArray items = "SECTION WORLDITEM 1\n{\nSERIAL 500\nOWNER 100\n}\n"
                             "SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\nCONT 500\n}\n";
    QVERIFY(fixture::writeWorld(dir.path(), QByteArray(), characters, items));
    const QString charactersPath = world::filePath(dir.path(), world::charactersFileName());
    const QString itemsPath = world::filePath(dir.path(), world::itemsFileName());
    const transfer::ReferencedNumbers referenced(std::vector<int>(named.cbegin(), named.cend()));

    QFile source(charactersPath);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const transfer::CharacterNumbers numbers{ 5, 31, 3 };
    const transfer::CharacterText copy =
            transfer::composeCharacter(&source, header.size(), source.size(), numbers);
    QCOMPARE(transfer::verifyCharacter(copy, QStringLiteral("Aldo"), world::TextEncoding::Ascii,
                     numbers, charactersPath, header.size(), &referenced)
                     .what.left(characterProblem.size()),
            characterProblem);

    QMap<int, item_st> collected;
    collected.insert(500, item_st{ { "{", "SERIAL 500", "OWNER 31" }, 1073741901, 20 });
    collected.insert(501, item_st{ { "{", "SERIAL 501", "OWNER 31", "CONT 500" }, 1073741902, 61 });
    const QSet<int> written = transfer::writtenItems(collected, 100);
    QCOMPARE(written.size(), 2);
    const QByteArray text = transfer::composeItems(collected, written, 10, 100, 31, [](int) {});
    QCOMPARE(transfer::verifyItems(
                     text, collected, written, { 9, 1073741900, &referenced }, 31, itemsPath)
                     .what.left(itemsProblem.size()),
            itemsProblem);
}

void tst_Transfer::itemCopyEmptyMap()
{
    QTemporaryDir dest;
    QVERIFY(dest.isValid());
    MainWindow window;
    window.maxItemSection = 4;
    window.transferChar(1, 1, dest.path());
    QVERIFY2(QFileInfo::exists(itemsPath(dest.path())), "a missing items file is created");
    QCOMPARE(fixture::readFile(itemsPath(dest.path())), QByteArray());
    QCOMPARE(window.maxItemSection, 4);
    QCOMPARE(window.progressBar->maximum(), 0);
}

void tst_Transfer::appendFile_data()
{
    QTest::addColumn<int>("maxChunk");
    QTest::addColumn<int>("interruptWriteAt");
    QTest::addColumn<int>("failWriteAt");
    QTest::addColumn<int>("failFsyncAt");
    QTest::addColumn<bool>("appended");
    QTest::addColumn<int>("fsyncCalls");
    QTest::addColumn<int>("reason"); // the errno the failure names

    // clang-format off
    //                                        chunk   EINTR  fail-write  fail-fsync  ok     fsyncs  reason
    QTest::newRow("whole-write")          << INT_MAX << -1  << -1      << -1      << true  << 1 << 0;
    QTest::newRow("short-writes")         << 3       << -1  << -1      << -1      << true  << 1 << 0;
    QTest::newRow("interrupted-write")    << 4       << 2   << -1      << -1      << true  << 1 << 0;
    QTest::newRow("disk-full-midway")     << 4       << -1  << 3       << -1      << false << 1 << ENOSPC;
    QTest::newRow("disk-full-at-once")    << INT_MAX << -1  << 1       << -1      << false << 1 << ENOSPC;
    // A failed fsync is not tried again; the one after it flushes the cut-back file.
    QTest::newRow("fsync-fails")          << INT_MAX << -1  << -1      << 1       << false << 2 << EIO;
    // A write that takes no byte and reports no error would be repeated for ever; the
    // disk is taken to be full.
    QTest::newRow("write-takes-nothing")  << 0       << -1  << -1      << -1      << false << 1 << ENOSPC;
    // clang-format on
}

void tst_Transfer::appendFile()
{
    QFETCH(int, maxChunk);
    QFETCH(int, interruptWriteAt);
    QFETCH(int, failWriteAt);
    QFETCH(int, failFsyncAt);
    QFETCH(bool, appended);
    QFETCH(int, fsyncCalls);
    QFETCH(int, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ztitems.wsc"));
    const QByteArray before = "SECTION WORLDITEM 1\n{\n}";
    QVERIFY(fixture::writeFile(path, before));
    const QByteArray bytes = "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM 2\n";

    script.maxChunk = maxChunk;
    script.interruptWriteAt = interruptWriteAt;
    script.failWriteAt = failWriteAt;
    script.failFsyncAt = failFsyncAt;
    const FileCallsOverride calls(scriptedCalls);
    {
        transfer::FileAppend file(path);
        QVERIFY2(file.open(), qPrintable(file.errorString()));
        QCOMPARE(file.sizeBefore(), before.size());
        QCOMPARE(file.append(bytes), appended);
        if (!appended) {
            QCOMPARE(file.errorString(), qt_error_string(reason));
            QVERIFY2(file.restoreError().isEmpty(), qPrintable(file.restoreError()));
        }
    }
    QCOMPARE(fixture::readFile(path), appended ? before + bytes : before);
    QCOMPARE(script.fsyncs, fsyncCalls);
}

void tst_Transfer::appendFileCreatedThenFailed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ztpcs.wsc"));
    script.failWriteAt = 1;
    const FileCallsOverride calls(scriptedCalls);
    transfer::FileAppend file(path);
    QVERIFY(file.open());
    QVERIFY(file.created());
    QVERIFY(!file.append("abc\n"));
    QCOMPARE(file.errorString(), qt_error_string(ENOSPC));
    QVERIFY2(!QFileInfo::exists(path), "a file the append created is removed again");
}

void tst_Transfer::appendFileRestoreFails()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ztpcs.wsc"));
    QVERIFY(fixture::writeFile(path, "x\n"));
    script.failFsyncAt = 1;
    script.failTruncate = true;
    const FileCallsOverride calls(scriptedCalls);
    transfer::FileAppend file(path);
    QVERIFY(file.open());
    QVERIFY(!file.append("abc\n"));
    QVERIFY2(!file.restoreError().isEmpty(), "a file that cannot be cut back is reported");
}

// A link to a device (a world file pointed at /dev/full, say) is not appended to at all.
void tst_Transfer::appendFileRefusesWhatIsNoFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ztitems.wsc"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    transfer::FileAppend file(path);
    QVERIFY(!file.open());
    QCOMPARE(file.errorString(), QStringLiteral("It is not a regular file"));
}

void tst_Transfer::restoreFile_data()
{
    QTest::addColumn<QByteArray>("now");
    QTest::addColumn<bool>("created");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<QByteArray>("after"); // null: the file is gone
    QTest::addColumn<QString>("error");

    // The file had 4 bytes before the transfer appended to it (or none when it created it).
    QTest::newRow("appended-bytes-cut-off")
            << QByteArray("abc\nxyz\n") << false << true << QByteArray("abc\n") << QString();
    QTest::newRow("created-file-removed")
            << QByteArray("xyz\n") << true << true << QByteArray() << QString();
    // Something else cut it below its old size: growing it back would add zero bytes where
    // its text was, so it is left as it is and reported.
    QTest::newRow("file-now-shorter") << QByteArray("ab") << false << false << QByteArray("ab")
                                      << "It is now shorter than before the transfer";
}

void tst_Transfer::restoreFile()
{
    QFETCH(QByteArray, now);
    QFETCH(bool, created);
    QFETCH(bool, restored);
    QFETCH(QByteArray, after);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ztpcs.wsc"));
    QVERIFY(fixture::writeFile(path, now));
    QString why;
    QCOMPARE(transfer::restoreFile(path, created ? 0 : 4, created, &why), restored);
    QCOMPARE(why, error);
    QCOMPARE(QFileInfo::exists(path), !after.isNull());
    if (!after.isNull())
        QCOMPARE(fixture::readFile(path), after);
}

// What a load does with the journal of an interrupted transfer: cut back only files that
// hold their old bytes (by content) and then nothing but part or all of the journaled text,
// and leave alone the journal of a transfer that still holds the world's lock.
void tst_Transfer::journalRecovery_data()
{
    QTest::addColumn<QByteArray>("before"); // what the characters file held before the transfer
    QTest::addColumn<QByteArray>("characters"); // what the file holds when the world is loaded
    QTest::addColumn<QByteArray>("items"); // null: missing
    QTest::addColumn<bool>("replaced"); // the characters file is another file since
    QTest::addColumn<QByteArray>("journalTail"); // appended to the journal's bytes (tearing it)
    QTest::addColumn<QByteArray>("journalHead"); // replaces the journal's first line
    QTest::addColumn<bool>("locked"); // another holder has the world's lock
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("charactersAfter");
    QTest::addColumn<QByteArray>("itemsAfter");
    QTest::addColumn<QString>("says"); // part of the message

    const QByteArray oldCharacters = "SECTION CHARACTER 1\n{\nSERIAL 5\n}\n";
    const QByteArray characterText = "\n//x\nSECTION CHARACTER 2\n{\nSERIAL 6\n}\n";
    const QByteArray itemText = "\n//y\nSECTION WORLDITEM 9\n{\nSERIAL 7\n}\n\n";
    const QByteArray none;
    const int undone = int(transfer::RecoveryResult::Undone);
    const int kept = int(transfer::RecoveryResult::Kept);
    const int running = int(transfer::RecoveryResult::InProgress);
    const QString differs = QStringLiteral("ztpcs.wsc: its content differs");
    QTest::newRow("nothing-appended-yet")
            << oldCharacters << oldCharacters << none << false << none << none << false << undone
            << oldCharacters << none << "hold again exactly";
    QTest::newRow("character-half-written")
            << oldCharacters << oldCharacters + characterText.left(9) << none << false << none
            << none << false << undone << oldCharacters << none << "Bob";
    QTest::newRow("both-written-journal-not-removed")
            << oldCharacters << oldCharacters + characterText << itemText << false << none << none
            << false << undone << oldCharacters << none << "Bob";
    QTest::newRow("created-items-file-empty")
            << oldCharacters << oldCharacters + characterText << QByteArray("") << false << none
            << none << false << undone << oldCharacters << none << "Bob";
    // Anything else: the server saved since, or the journal is not whole.
    QTest::newRow("other-bytes-after")
            << oldCharacters << oldCharacters + "SECTION CHARACTER 2\n"
            << none << false << none << none << false << kept
            << oldCharacters + "SECTION CHARACTER 2\n"
            << none << "ztpcs.wsc: its content differs: the 20 bytes after its old end";
    QTest::newRow("file-shorter") << oldCharacters << oldCharacters.left(10) << none << false
                                  << none << none << false << kept << oldCharacters.left(10) << none
                                  << "ztpcs.wsc: its size differs: it holds 10 bytes";
    QTest::newRow("more-than-the-text-after")
            << oldCharacters << oldCharacters + characterText + "x" << none << false << none << none
            << false << kept << oldCharacters + characterText + "x" << none
            << "ztpcs.wsc: its size differs: it holds 39 bytes after its old end";
    // A server that saved in place: its file is one byte longer, and that byte is the "\n" a
    // journaled text starts with. Only the bytes before the old end tell it apart.
    const QByteArray saved = QByteArray(oldCharacters).replace("SERIAL 5", "SERIAL 8") + "\n";
    QTest::newRow("saved-in-place-one-byte-longer")
            << oldCharacters << saved << none << false << none << none << false << kept << saved
            << none << differs + ": its first 33 bytes";
    const QByteArray sameSize = QByteArray(oldCharacters).replace("SERIAL 5", "SERIAL 8");
    QTest::newRow("saved-in-place-same-size")
            << oldCharacters << sameSize << none << false << none << none << false << kept
            << sameSize << none << differs;
    // A copied world (cp -a, a backup put back): other files, the same content.
    QTest::newRow("file-replaced-same-content")
            << oldCharacters << oldCharacters + characterText << none << true << none << none
            << false << undone << oldCharacters << none << "ztpcs.wsc is not the file";
    QTest::newRow("file-replaced-other-content")
            << oldCharacters << sameSize + characterText << none << true << none << none << false
            << kept << sameSize + characterText << none
            << differs
                    + ": its first 33 bytes are no longer what it held before the transfer, "
                      "and it is another file";
    // Files beyond the size hashed whole: the first and the last 64 KiB count.
    const QByteArray large = QByteArray(2 << 20, 'a') + oldCharacters;
    QByteArray endChanged = large;
    endChanged[endChanged.size() - 100] = 'b';
    QByteArray middleChanged = large;
    middleChanged[1 << 20] = 'b';
    QTest::newRow("large-file-undone") << large << large + characterText << none << false << none
                                       << none << false << undone << large << none << "Bob";
    QTest::newRow("large-file-end-changed")
            << large << endChanged + characterText << none << false << none << none << false << kept
            << endChanged + characterText << none << differs + ": the first or the last 64 KiB";
    QTest::newRow("large-file-middle-changed-is-not-looked-at")
            << large << middleChanged << none << false << none << none << false << undone
            << middleChanged << none << "Bob";
    QTest::newRow("journal-torn") << oldCharacters << oldCharacters + characterText << none << false
                                  << QByteArray("x") << none << false << kept
                                  << oldCharacters + characterText << none << "cannot be read";
    QTest::newRow("journal-of-another-version")
            << oldCharacters << oldCharacters + characterText << none << false << none
            << QByteArray("chartransfer journal 1") << false << kept
            << oldCharacters + characterText << none
            << "cannot be read: another version of chartransfer wrote it (journal format 1)";
    QTest::newRow("journal-of-a-running-transfer")
            << oldCharacters << oldCharacters + characterText << none << false << none << none
            << true << running << oldCharacters + characterText << none
            << QStringLiteral("a transfer into this world is in progress (process %1)")
                       .arg(::getpid());
}

void tst_Transfer::journalRecovery()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, characters);
    QFETCH(QByteArray, items);
    QFETCH(bool, replaced);
    QFETCH(QByteArray, journalTail);
    QFETCH(QByteArray, journalHead);
    QFETCH(bool, locked);
    QFETCH(int, result);
    QFETCH(QByteArray, charactersAfter);
    QFETCH(QByteArray, itemsAfter);
    QFETCH(QString, says);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString charactersFile = charactersPath(dir.path());
    QVERIFY(fixture::writeFile(charactersFile, before));
    transfer::Journal journal{ QStringLiteral("Bob"), QStringLiteral("/src"),
        { { world::charactersFileName(), 0, true, 0, 0,
                  "\n//x\nSECTION CHARACTER 2\n{\nSERIAL 6\n}\n" },
                { world::itemsFileName(), 0, true, 0, 0,
                        "\n//y\nSECTION WORLDITEM 9\n{\nSERIAL 7\n}\n\n" } } };
    QString error;
    QVERIFY2(transfer::describeFiles(dir.path(), &journal, &error), qPrintable(error));
    QVERIFY2(transfer::writeJournal(dir.path(), journal, &error), qPrintable(error));
    const QString journalFile = transfer::journalPath(dir.path());
    if (!journalTail.isEmpty())
        QVERIFY(fixture::writeFile(journalFile, fixture::readFile(journalFile) + journalTail));
    if (!journalHead.isEmpty()) {
        const QByteArray bytes = fixture::readFile(journalFile);
        QVERIFY(fixture::writeFile(journalFile, journalHead + bytes.mid(bytes.indexOf('\n'))));
    }
    if (replaced) {
        // Saved anew and renamed into place, as a server may save or a copy makes: another
        // file.
        QVERIFY(fixture::writeFile(charactersFile + QStringLiteral(".saved"), characters));
        QVERIFY(::rename(QFile::encodeName(charactersFile + QStringLiteral(".saved")).constData(),
                        QFile::encodeName(charactersFile).constData())
                == 0);
    } else {
        QVERIFY(fixture::writeFile(charactersFile, characters));
    }
    if (!items.isNull())
        QVERIFY(fixture::writeFile(itemsPath(dir.path()), items));

    transfer::WorldLock other;
    if (locked)
        QVERIFY2(other.acquire(dir.path()), qPrintable(other.error()));
    const transfer::Recovery recovery = transfer::recoverWorld(dir.path());
    QCOMPARE(int(recovery.result), result);
    QVERIFY2(recovery.message.contains(says), qPrintable(recovery.message));
    QVERIFY(recovery.message.contains(QLatin1String("Bob"))
            || result != int(transfer::RecoveryResult::Undone));
    QCOMPARE(fixture::readFile(charactersFile), charactersAfter);
    QCOMPARE(QFileInfo::exists(itemsPath(dir.path())), !itemsAfter.isNull());
    QCOMPARE(QFileInfo::exists(journalFile), result != int(transfer::RecoveryResult::Undone));
    if (result == int(transfer::RecoveryResult::Kept))
        QVERIFY(recovery.message.contains(QLatin1String("--discard")));
    // A second load finds nothing more to do, or the same journal still kept; once the
    // running transfer lets go, its journal is handled as any other.
    other.release();
    QCOMPARE(int(transfer::recoverWorld(dir.path()).result),
            result == int(transfer::RecoveryResult::Undone) ? int(transfer::RecoveryResult::None)
                    : result == int(transfer::RecoveryResult::Kept)
                    ? result
                    : int(transfer::RecoveryResult::Undone));
}

void tst_Transfer::journalFormats_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("undone");
    QTest::newRow("as-written") << QString() << true;
    // A journal the previous version left (SHA-256, its closing digest over the texts too)
    // is still undone after an upgrade.
    QTest::newRow("version-2") << QStringLiteral("version-2") << true;
    QTest::newRow("version-2-text-changed") << QStringLiteral("version-2 text") << false;
    // The closing digest covers the head only; the texts are known by the head's digests.
    QTest::newRow("text-changed") << QStringLiteral("text") << false;
    QTest::newRow("text-digest-changed") << QStringLiteral("digest") << false;
    // A merge's text kept in a file of its own beside the journal.
    QTest::newRow("spooled") << QStringLiteral("spool") << true;
    QTest::newRow("spooled-text-changed") << QStringLiteral("spool changed") << false;
    QTest::newRow("spooled-text-missing") << QStringLiteral("spool missing") << false;
}

// What recovery trusts: a journal whose texts are not what its head says is kept.
void tst_Transfer::journalFormats()
{
    QFETCH(QString, change);
    QFETCH(bool, undone);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray before = "SECTION CHARACTER 1\n{\nSERIAL 5\n}\n";
    const QByteArray text = "\n//x\nSECTION CHARACTER 2\n{\nSERIAL 6\n}\n";
    QVERIFY(fixture::writeFile(charactersPath(dir.path()), before));
    transfer::Journal journal{ QStringLiteral("Bob"), QStringLiteral("/src"),
        { { world::charactersFileName(), 0, true, 0, 0, text } } };
    QString error;
    QVERIFY2(transfer::describeFiles(dir.path(), &journal, &error), qPrintable(error));
    const QString spool =
            world::filePath(dir.path(), transfer::spoolFileName(world::charactersFileName()));
    if (change.startsWith(QLatin1String("spool"))) {
        transfer::JournalFile &file = journal.files.first();
        file.spooled = true;
        file.spoolSize = file.text.size();
        file.spoolDigest = QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex();
        file.text.clear();
        QVERIFY(fixture::writeFile(spool, text));
    }
    QVERIFY2(transfer::writeJournal(dir.path(), journal, &error), qPrintable(error));
    const bool spooled = change.startsWith(QLatin1String("spool"));
    const QString journalFile = transfer::journalPath(dir.path());
    const QByteArray bytes = fixture::readFile(journalFile);
    if (spooled) {
        QVERIFY(!bytes.contains(text));
        if (change.endsWith(QLatin1String("changed")))
            QVERIFY(fixture::writeFile(spool, QByteArray(text).replace("SERIAL 6", "SERIAL 7")));
        if (change.endsWith(QLatin1String("missing")))
            QVERIFY(QFile::remove(spool));
    }
    const qsizetype textAt = bytes.indexOf("\ntext\n") + 6;
    const qsizetype endAt = bytes.lastIndexOf("\nend ");
    QByteArrayList head = bytes.left(textAt - 1).split('\n');
    QByteArray texts = bytes.mid(textAt, endAt - textAt);
    QByteArray closing = bytes.mid(endAt);
    QCOMPARE(texts, spooled ? QByteArray() : text);
    if (change.contains(QLatin1String("text")))
        texts[10] = 'X';
    if (change == QLatin1String("digest"))
        head[3].replace(head[3].split(' ').at(7), QByteArray(40, '0'));
    if (change.startsWith(QLatin1String("version-2"))) {
        const auto sha256 = [](const QByteArray &b) {
            return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex();
        };
        head[0] = "chartransfer journal 2";
        head[3].replace(head[3].split(' ').at(7), sha256(text));
        head[3].chop(2); // no text is kept in a file of its own
        QVERIFY(head[3].endsWith(' ' + head[3].split(' ').at(9)));
        const QByteArray body = head.join('\n') + '\n' + texts;
        closing = "\nend " + sha256(body) + '\n';
    }
    QVERIFY(fixture::writeFile(journalFile, head.join('\n') + '\n' + texts + closing));
    QVERIFY(fixture::writeFile(charactersPath(dir.path()), before + text.left(12)));

    const transfer::Recovery recovery = transfer::recoverWorld(dir.path());
    QCOMPARE(recovery.result,
            undone ? transfer::RecoveryResult::Undone : transfer::RecoveryResult::Kept);
    QCOMPARE(fixture::readFile(charactersPath(dir.path())),
            undone ? before : before + text.left(12));
    QVERIFY2(undone
                    || recovery.message.contains(spooled ? QLatin1String("missing or not what was")
                                                         : QLatin1String("cannot be read")),
            qPrintable(recovery.message));
    // Undone, nothing of it is left; kept, the journal keeps its text.
    QCOMPARE(QFileInfo::exists(spool), change == QLatin1String("spool changed"));
}

// A journal that cannot be flushed is not left behind, and the transfer does not begin.
void tst_Transfer::journalNotWritten()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    script = CallScript();
    script.failFsyncAt = 1;
    const FileCallsOverride calls(scriptedCalls);
    QString error;
    const transfer::Journal journal{ QStringLiteral("Bob"), QStringLiteral("/src"), {} };
    QVERIFY(!transfer::writeJournal(dir.path(), journal, &error));
    QVERIFY2(error.contains(QString::fromLocal8Bit(strerror(EIO))), qPrintable(error));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// A merge's text file: written in blocks, known by size and SHA-1, and always a file of
// its own, never written through whatever stood at its name.
void tst_Transfer::textSpool()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString victim = dir.filePath(QStringLiteral("victim"));
    const QString path = dir.filePath(QStringLiteral("spool"));
    QVERIFY(fixture::writeFile(victim, "precious\n"));
    QVERIFY(QFile::link(victim, path));
    QByteArray text;
    {
        transfer::TextSpool spool;
        QVERIFY2(spool.open(path), qPrintable(spool.errorString()));
        for (int i = 0; i < 3000; ++i) {
            const QByteArray line = "SECTION WORLDITEM " + QByteArray::number(i) + "\n{\n}\n";
            spool.add(QByteArray(1000, 'x') + line); // past one block of a MiB
            text += QByteArray(1000, 'x') + line;
        }
        QVERIFY2(spool.finish(), qPrintable(spool.errorString()));
        QCOMPARE(spool.size(), qint64(text.size()));
        QCOMPARE(spool.digest(), QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex());
    }
    QCOMPARE(fixture::readFile(victim), QByteArray("precious\n"));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(fixture::readFile(path), text);
}

QTEST_MAIN(tst_Transfer)
#include "tst_transfer.moc"
