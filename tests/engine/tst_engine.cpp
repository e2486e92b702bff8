#include <QtTest>

#include "engine/transferrun.h"
#include "transfer/composition.h"
#include "transfer/verification.h"
#include "world/worldformat.h"

namespace {

// Every progress call, as the window's status bar and progress bar would receive it.
class RecordedProgress : public engine::Progress
{
public:
    QStringList calls;
    void reset() override { calls << QStringLiteral("reset"); }
    void setRange(int minimum, int maximum) override
    {
        calls << QStringLiteral("range %1 %2").arg(minimum).arg(maximum);
    }
    void setValue(int value) override { calls << QStringLiteral("value %1").arg(value); }
    void showMessage(const QString &message) override
    {
        calls << QStringLiteral("message ") + message;
    }
    void clearMessage() override { calls << QStringLiteral("clear"); }
    QStringList messages() const
    {
        QStringList only;
        for (const QString &call : calls) {
            if (call.startsWith(QLatin1String("message ")) || call == QLatin1String("clear"))
                only << call;
        }
        return only;
    }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool copyWorld(const QString &from, const QString &to)
{
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        if (!QFile::copy(world::filePath(from, name), world::filePath(to, name)))
            return false;
    }
    return true;
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void transfers_data();
    void transfers();
    void characterVerification_data();
    void characterVerification();
    void itemVerification_data();
    void itemVerification();
};

void tst_Engine::transfers_data()
{
    QTest::addColumn<QString>("sourceAccount");
    QTest::addColumn<QString>("character");
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("caption");

    const int done = int(engine::TransferResult::Done);
    const int refused = int(engine::TransferResult::Refused);
    QTest::newRow("into-linnea") << "harald"
                                 << "Aldo Brand"
                                 << "linnea" << done << "";
    QTest::newRow("account-limit") << "harald"
                                   << "Aldo Brand"
                                   << "ostara" << refused << "Account limit";
    QTest::newRow("duplicate") << "tobin"
                               << "Garrick"
                               << "bram" << refused << "Character Duplication";
    QTest::newRow("no-such-character") << "harald"
                                       << "Nobody"
                                       << "linnea" << refused << "Transfer Error";
}

// A whole transfer without a window: the same refusals, the same messages at the same
// moments as the window shows them, and a dry run that says exactly what a real one writes.
void tst_Engine::transfers()
{
    QFETCH(QString, sourceAccount);
    QFETCH(QString, character);
    QFETCH(QString, destAccount);
    QFETCH(int, result);
    QFETCH(QString, caption);

    QTemporaryDir dest;
    QVERIFY(dest.isValid());
    QVERIFY(copyWorld(QStringLiteral(EXAMPLES_DIR "/destination"), dest.path()));
    const QString source = QStringLiteral(EXAMPLES_DIR "/source");
    const QByteArray charactersBefore =
            readFile(world::filePath(dest.path(), world::charactersFileName()));
    const QByteArray itemsBefore = readFile(world::filePath(dest.path(), world::itemsFileName()));

    engine::Session session;
    RecordedProgress progress;
    engine::LoadListener listener;
    engine::loadWorld(session, source, false, progress, listener);
    engine::loadWorld(session, dest.path(), true, progress, listener);
    QCOMPARE(progress.messages(),
            QStringList(
                    { "message Processing accounts.adm", "clear", "message Processing ztpcs.wsc",
                            "message Ready", "message Processing accounts.adm", "clear",
                            "message Processing ztpcs.wsc", "message Ready" }));
    const engine::TransferRequest request{ sourceAccount, character, destAccount };

    engine::TransferSteps dryRunSteps(progress);
    const engine::TransferOutcome dry = engine::runTransfer(session, request, dryRunSteps, true);
    QCOMPARE(int(dry.result), result);
    QCOMPARE(dry.message.caption, caption);
    QCOMPARE(readFile(world::filePath(dest.path(), world::charactersFileName())), charactersBefore);
    QCOMPARE(readFile(world::filePath(dest.path(), world::itemsFileName())), itemsBefore);

    progress.calls.clear();
    engine::TransferSteps steps(progress);
    const engine::TransferOutcome outcome = engine::runTransfer(session, request, steps);
    QCOMPARE(int(outcome.result), result);
    QCOMPARE(outcome.message.caption, caption);
    const QByteArray charactersAfter =
            readFile(world::filePath(dest.path(), world::charactersFileName()));
    const QByteArray itemsAfter = readFile(world::filePath(dest.path(), world::itemsFileName()));
    if (outcome.result != engine::TransferResult::Done) {
        QVERIFY(progress.calls.isEmpty());
        QCOMPARE(charactersAfter, charactersBefore);
        QCOMPARE(itemsAfter, itemsBefore);
        return;
    }
    QCOMPARE(progress.messages(),
            QStringList({ "message Acquiring item serial numbers", "message Ready",
                    "message Identifiying items", "message Ready", "message Transferring Character",
                    "message Ready", "message Transferring Items",
                    "message Processing accounts.adm", "clear", "message Processing ztpcs.wsc",
                    "message Ready" }));
    QCOMPARE(charactersAfter, charactersBefore + outcome.characterText);
    QCOMPARE(itemsAfter, itemsBefore + outcome.itemsText);
    QCOMPARE(outcome.characterText, dry.characterText);
    QCOMPARE(outcome.itemsText, dry.itemsText);
    QCOMPARE(outcome.newSection, 10);
    QCOMPARE(outcome.newSerial, 11);
    QCOMPARE(outcome.itemsWritten, 11);
    QCOMPARE(outcome.itemsLeftBehind, 0);
    // The destination was loaded again and holds the new character.
    int account = -1;
    QVERIFY(world::findAccount(session.destAccounts, destAccount, &account));
    QVERIFY(world::findCharacter(session.destChars, account, character));
}

// The verification is the last net under the composition: each of its rules, on its own,
// must stop a composed character text that a slip in the composition broke in that one way.
void tst_Engine::characterVerification_data()
{
    QTest::addColumn<QByteArray>("source"); // the source characters file
    QTest::addColumn<QByteArray>("from"); // the composed text with this replaced...
    QTest::addColumn<QByteArray>("to"); // ...by this
    QTest::addColumn<QString>("problem"); // part of what the verifier says; empty: none

    const QByteArray aldo = "SECTION CHARACTER 0\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\nSTR 1\n}\n";
    const QString numbers = QStringLiteral("does not read back with its new record number, "
                                           "serial and account");
    QTest::newRow("as-composed") << aldo << QByteArray() << QByteArray() << QString();
    QTest::newRow("cut-short-by-a-header")
            << QByteArray("SECTION CHARACTER 0\n{\nSERIAL 100\nSECTION junk\nNAME Aldo\n"
                          "ACCOUNT 1\n}\n")
            << QByteArray() << QByteArray()
            << "is cut short here, before it has a NAME, an ACCOUNT and a SERIAL line";
    QTest::newRow("no-name") << aldo << QByteArray("NAME Aldo\n") << QByteArray()
                             << "lacks a NAME, an ACCOUNT or a SERIAL line";
    QTest::newRow("second-character")
            << aldo << QByteArray("STR 1\n") << QByteArray("NAME Bea\nACCOUNT 6\n")
            << "holds a second character here";
    QTest::newRow("other-name") << aldo << QByteArray("NAME Aldo") << QByteArray("NAME Alda")
                                << "would read back as the character \"Alda\", not \"Aldo\"";
    QTest::newRow("old-serial") << aldo << QByteArray("SERIAL 58") << QByteArray("SERIAL 100")
                                << numbers;
    QTest::newRow("other-account")
            << aldo << QByteArray("ACCOUNT 6") << QByteArray("ACCOUNT 1") << numbers;
    QTest::newRow("record-number-taken") << aldo << QByteArray("SECTION CHARACTER 42")
                                         << QByteArray("SECTION CHARACTER 41") << numbers;
    // An empty record of the same number after it: still one character, but two records.
    QTest::newRow("two-records") << aldo << QByteArray("}\n")
                                 << QByteArray("}\nSECTION CHARACTER 42\n{\n}\n") << numbers;
    QTest::newRow("no-closing-brace")
            << aldo << QByteArray("STR 1\n}\n") << QByteArray("STR 1\n") << numbers;
}

// A verification either passes (no `problem` expected) or names the expected problem,
// with the file, a line and what to do.
static void expectProblem(
        const transfer::Problem &found, const QString &problem, const QString &path)
{
    QVERIFY2(found.what.contains(problem), qPrintable(found.what));
    QCOMPARE(found.isEmpty(), problem.isEmpty());
    if (!found.isEmpty()) {
        QCOMPARE(found.path, path);
        QVERIFY(found.line > 0);
        QVERIFY(!found.repair.isEmpty());
    }
}

void tst_Engine::characterVerification()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, problem);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = world::filePath(dir.path(), world::charactersFileName());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(source) == source.size());
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 offset = source.indexOf('\n') + 1;
    const transfer::CharacterNumbers numbers{ 42, 58, 6 };
    transfer::CharacterText copy = transfer::composeCharacter(&file, offset, file.size(), numbers);
    if (!from.isEmpty()) {
        QVERIFY2(copy.text.contains(from), copy.text.constData());
        copy.text.replace(copy.text.indexOf(from), from.size(), to);
    }
    const transfer::Problem found = transfer::verifyCharacter(
            copy, QStringLiteral("Aldo"), world::TextEncoding::Ascii, numbers, path, offset);
    expectProblem(found, problem, path);
}

// The same for the items text: three items of the character (old owner 100, new 58), a bag
// on him, a coin in the bag and a key that opens the bag, renumbered from serial 1001 and
// record 10 in a destination whose highest are 1000 and 9.
void tst_Engine::itemVerification_data()
{
    QTest::addColumn<QList<int>>("newSerials"); // what the composition gave the three items
    QTest::addColumn<int>("highestSerial"); // of the destination
    QTest::addColumn<int>("highestSection");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("problem");

    const QList<int> serials = { 1001, 1002, 1003 };
    const QString taken = QStringLiteral("the copy of this item would get a serial that is taken");
    const QString notCopied =
            QStringLiteral("the copy of this item would name an object that is not copied");
    QTest::newRow("as-composed") << serials << 1000 << 9 << QByteArray() << QByteArray()
                                 << QString();
    QTest::newRow("a-record-more")
            << serials << 1000 << 9 << QByteArray("MORE 1001\n}\n\n")
            << QByteArray("MORE 1001\n}\n\nSECTION WORLDITEM 13\n{\nSERIAL 1004\nOWNER 58\n}\n")
            << "would read back as more records than were collected";
    QTest::newRow("a-record-less")
            << serials << 1000 << 9
            << QByteArray("SECTION WORLDITEM 12\n{\nSERIAL 1003\nOWNER 58\nNAME key\nTYPE 7\n"
                          "MORE 1001\n}\n")
            << QByteArray() << "would not read back as the records that were collected";
    QTest::newRow("record-number-not-above-the-highest")
            << serials << 1000 << 10 << QByteArray() << QByteArray()
            << "would get a record number that is taken";
    QTest::newRow("record-number-twice")
            << serials << 1000 << 9 << QByteArray("SECTION WORLDITEM 11")
            << QByteArray("SECTION WORLDITEM 10") << "would get a record number that is taken";
    QTest::newRow("no-serial") << serials << 1000 << 9 << QByteArray("SERIAL 1002\n")
                               << QByteArray() << "has no SERIAL line of its own";
    QTest::newRow("header-inside-a-record") << serials << 1000 << 9 << QByteArray("NAME coin\n")
                                            << QByteArray("NAME coin\nSECTION WORLDITEM 20\n")
                                            << "a record header stands inside an item record here";
    QTest::newRow("serial-not-the-new-one") << serials << 1000 << 9 << QByteArray("SERIAL 1002")
                                            << QByteArray("SERIAL 1005") << taken;
    QTest::newRow("serial-not-above-the-highest")
            << serials << 1001 << 9 << QByteArray() << QByteArray() << taken;
    QTest::newRow("serial-twice") << QList<int>{ 1001, 1001, 1003 } << 1000 << 9 << QByteArray()
                                  << QByteArray() << taken;
    QTest::newRow("other-owner") << serials << 1000 << 9 << QByteArray("OWNER 58")
                                 << QByteArray("OWNER 57")
                                 << "the copy of this item would not belong to the new character";
    QTest::newRow("container-not-copied") << serials << 1000 << 9 << QByteArray("CONT 1001")
                                          << QByteArray("CONT 500") << notCopied;
    QTest::newRow("key-to-what-is-not-copied") << serials << 1000 << 9 << QByteArray("MORE 1001")
                                               << QByteArray("MORE 500") << notCopied;
}

void tst_Engine::itemVerification()
{
    QFETCH(QList<int>, newSerials);
    QFETCH(int, highestSerial);
    QFETCH(int, highestSection);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, problem);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray source = "SECTION WORLDITEM 1\n{\nSERIAL 500\nOWNER 100\nNAME bag\n"
                              "CONT 100\n}\n"
                              "SECTION WORLDITEM 2\n{\nSERIAL 501\nOWNER 100\nNAME coin\n"
                              "CONT 500\n}\n"
                              "SECTION WORLDITEM 3\n{\nSERIAL 502\nOWNER 100\nNAME key\n"
                              "TYPE 7\nMORE 500\n}\n";
    const QString path = world::filePath(dir.path(), world::itemsFileName());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(source) == source.size());
    file.close();
    // Each record as the scan collects it: from its brace, the OWNER line renamed already.
    QMap<int, item_st> items;
    qint64 header = 0;
    for (int i = 0; i < 3; ++i) {
        const qint64 offset = source.indexOf('\n', header) + 1;
        const qint64 end = source.indexOf("}\n", offset);
        QList<QString> lines;
        for (const QByteArray &line : source.mid(offset, end - offset).split('\n')) {
            if (!line.isEmpty())
                lines << QString::fromLatin1(line);
        }
        items.insert(500 + i, item_st{ lines, newSerials.at(i), offset });
        header = end + 2;
    }
    const QSet<int> written = transfer::writtenItems(items, 100);
    QCOMPARE(written.size(), 3);
    QByteArray text = transfer::composeItems(items, written, 10, 100, 58, [](int) {});
    if (!from.isEmpty()) {
        QVERIFY2(text.contains(from), text.constData());
        text.replace(text.indexOf(from), from.size(), to);
    }
    const transfer::Problem found = transfer::verifyItems(
            text, items, written, { highestSection, highestSerial }, 58, path);
    expectProblem(found, problem, path);
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
