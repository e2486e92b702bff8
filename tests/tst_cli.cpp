// chartransfer-cli run as a user runs it, through QProcess, on copies of worlds.

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeWidget>

#include "app/mainwindow.h"
#include "engine/transferrun.h"
#include "support/worldfixture.h"
#include "transfer/journal.h"
#include "transfer/package.h"
#include "world/worldformat.h"

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run cli(const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CHARTRANSFER_CLI), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QString examples(const QString &name)
{
    return QStringLiteral(EXAMPLES_DIR "/") + name;
}

const QStringList worldFiles = { world::accountsFileName(), world::charactersFileName(),
    world::itemsFileName() };

// A fresh copy of an example world in `dir`.
bool copyExample(const QString &name, const QString &dir)
{
    if (!QDir().mkpath(dir))
        return false;
    for (const QString &file : worldFiles) {
        if (!QFile::copy(world::filePath(examples(name), file), world::filePath(dir, file)))
            return false;
    }
    return true;
}

QByteArray worldBytes(const QString &dir)
{
    QByteArray all;
    for (const QString &file : worldFiles)
        all += fixture::readFile(world::filePath(dir, file)) + '\0';
    return all;
}

// A small world without problems; a test row replaces one of its files.
const QByteArray accounts = "SECTION ACCOUNT 1\n{\nNAME alice\n}\n";
const QByteArray characters = "SECTION CHARACTER 0\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\n"
                              "ROBE 5000\n}\n";
const QByteArray items = "SECTION WORLDITEM 1\n{\nSERIAL 5000\nOWNER 100\nCONT 100\n}\n"
                         "SECTION WORLDITEM 2\n{\nSERIAL 5001\nCONT 5000\nTYPE 7\nMORE 5000\n}\n";

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void checkClean_data();
    void checkClean();
    void checkFindsDamage_data();
    void checkFindsDamage();
    void listsAsTheWindow();
    void exitStatuses_data();
    void exitStatuses();
    void sameBytesAsTheWindow();
    void batchEqualsOneByOne();
    void generatedBatchEqualsOneByOne();
    void dryRunShowsTheAppend();
    void refusalsWriteNothing_data();
    void refusalsWriteNothing();
    void ambiguousNameNeedsTheAccount();
    void failedTransferIsPutBack();
    void failedTransferNotPutBackKeepsTheJournal();
    void interruptedTransferIsRecovered();
    void recoverStatuses_data();
    void recoverStatuses();
    void exportRefusals_data();
    void exportRefusals();
    void packageCarriesTheCharacter();
    void renameOnArrival_data();
    void renameOnArrival();
};

void tst_Cli::checkClean_data()
{
    QTest::addColumn<QString>("world");
    QTest::newRow("examples/source") << examples(QStringLiteral("source"));
    QTest::newRow("examples/destination") << examples(QStringLiteral("destination"));
    QTest::newRow("generated") << QString();
}

void tst_Cli::checkClean()
{
    QFETCH(QString, world);
    QTemporaryDir temp;
    if (world.isEmpty()) {
        world = temp.filePath(QStringLiteral("generated"));
        QProcess worldgen;
        worldgen.setStandardOutputFile(QProcess::nullDevice());
        worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN),
                { world, QStringLiteral("--consistent"), QStringLiteral("--items"),
                        QStringLiteral("3000") });
        QVERIFY(worldgen.waitForFinished(60000) && worldgen.exitCode() == 0);
    }
    const Run run = cli({ QStringLiteral("check"), world });
    QVERIFY2(run.out.endsWith(" records)\n") && run.out.count('\n') == 1, run.out.constData());
    QVERIFY(run.out.contains(": no problems ("));
    QCOMPARE(run.status, 0);
}

void tst_Cli::checkFindsDamage_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("problems");
    const QString a = world::accountsFileName();
    const QString c = world::charactersFileName();
    const QString i = world::itemsFileName();
    QTest::newRow("item serial twice")
            << i << items + "SECTION WORLDITEM 3\n{\nSERIAL 5000\n}\n"
            << QStringList{ "ztitems.wsc:16: serial 5000 is used again (first at line 3)" };
    QTest::newRow("record number twice")
            << c << characters + "SECTION CHARACTER 0\n{\nSERIAL 101\n}\n"
            << QStringList{ "ztpcs.wsc:8: record number 0 is used again (first at line 1)" };
    QTest::newRow("dangling CONT, OWNER and MORE")
            << i
            << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 5000\nOWNER 7\n"
                          "CONT 8 // bag\nTYPE 7\nMORE 9\n}\n")
            << QStringList{ "ztitems.wsc:4: OWNER 7 names no character or item",
                   "ztitems.wsc:5: CONT 8 names no character or item",
                   "ztitems.wsc:7: MORE 9 names no character or item" };
    QTest::newRow("MORE before TYPE 7, TYPE 07: not keys")
            << i
            << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 5000\nMORE 9\nTYPE 7\n}\n"
                          "SECTION WORLDITEM 2\n{\nSERIAL 5001\nTYPE 07\nMORE 9\n}\n")
            << QStringList{};
    QTest::newRow("a reference to a later record")
            << i
            << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 5000\nCONT 5001\n}\n"
                          "SECTION WORLDITEM 2\n{\nSERIAL 5001\n}\n")
            << QStringList{};
    QTest::newRow("dangling ROBE and ACCOUNT")
            << c << QByteArray("SECTION CHARACTER 0\n{\nSERIAL 100\nACCOUNT 2\nROBE 100\n}\n")
            << QStringList{ "ztpcs.wsc:4: ACCOUNT 2 names no account",
                   "ztpcs.wsc:5: ROBE 100 names no item" };
    QTest::newRow("unclosed record")
            << c
            << QByteArray("SECTION CHARACTER 0\n{\nSERIAL 100\n"
                          "SECTION CHARACTER 1\n{\nSERIAL 101\n}\n")
            << QStringList{
                   "ztpcs.wsc:1: record 0 has no \"}\" before the SECTION line at line 4"
               };
    // The loaders simplify before they cut a comment: "{ // x" is no brace to them.
    QTest::newRow("no opening brace")
            << a
            << accounts
                    + "SECTION ACCOUNT 2\n{ // x\nNAME bob\n}\n"
                      "SECTION ACCOUNT 3\n{\nNAME carol\n}\n"
            << QStringList{ "accounts.adm:5: record 2 has no \"{\" after its SECTION line" };
    QTest::newRow("account without NAME or closing brace")
            << a << accounts + "SECTION ACCOUNT 2\n{\n}\nSECTION ACCOUNT 3\n{\nNAME x\n"
            << QStringList{ "accounts.adm:5: account record 2 has no NAME line",
                   "accounts.adm:8: record 3 is cut off: the file ends before its \"}\"" };
    QTest::newRow("cut off at the last line")
            << i << items + "SECTION WORLDITEM 3\n{\nSERIAL 5002"
            << QStringList{ "ztitems.wsc:14: record 3 is cut off: the file ends before its \"}\"" };
    QTest::newRow("no SERIAL, CR LF")
            << i << QByteArray(items).replace('\n', "\r\n") + "SECTION WORLDITEM 3\r\n{\r\n}\r\n"
            << QStringList{ "ztitems.wsc:14: record 3 has no SERIAL line" };
    QTest::newRow("items file missing")
            << i << QByteArray()
            << QStringList{ "ztitems.wsc: cannot be read: No such file or directory" };
}

void tst_Cli::checkFindsDamage()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, problems);
    QTemporaryDir dir;
    QVERIFY(fixture::writeWorld(dir.path(), accounts, characters, items));
    QFile::remove(world::filePath(dir.path(), file));
    QVERIFY(bytes.isNull() || fixture::writeFile(world::filePath(dir.path(), file), bytes));

    const Run run = cli({ QStringLiteral("check"), dir.path() });
    QStringList lines = QString::fromLocal8Bit(run.out).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    const QString summary = lines.takeLast();
    QVERIFY2(summary.startsWith(dir.path()), qPrintable(summary));
    for (QString &line : lines)
        line.remove(dir.path() + QLatin1Char('/'));
    QCOMPARE(lines, problems);
    QCOMPARE(run.status, problems.isEmpty() ? 0 : 1);

    const QJsonObject json = QJsonDocument::fromJson(
            cli({ QStringLiteral("check"), dir.path(), QStringLiteral("--json") }).out)
                                     .object();
    const QJsonArray listed = json[QLatin1String("problems")].toArray();
    QCOMPARE(listed.size(), problems.size());
    QCOMPARE(json[QLatin1String("clean")].toBool(), problems.isEmpty());
    // The same problems, as file, line (0 for a whole file) and text.
    for (qsizetype at = 0; at < listed.size(); ++at) {
        const QJsonValue problem = listed[at];
        const int line = problem[QLatin1String("line")].toInt();
        QCOMPARE(problem[QLatin1String("file")].toString()
                        + (line ? QStringLiteral(":%1: ").arg(line) : QStringLiteral(": "))
                        + problem[QLatin1String("problem")].toString(),
                problems[at]);
    }
}

void tst_Cli::listsAsTheWindow()
{
    const Run run = cli({ QStringLiteral("list"), examples(QStringLiteral("source")) });
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out,
            "account 0: harald\n"
            "    Aldo Brand  (serial 1, record 0)\n"
            "    Wren  (serial 2, record 1)\n"
            "account 1: mirelle\n"
            "    Sela Moor  (serial 3, record 2)\n"
            "account 2: tobin\n"
            "    Garrick  (serial 4, record 3)\n");

    const Run json = cli({ QStringLiteral("list"), examples(QStringLiteral("destination")),
            QStringLiteral("--json") });
    const QJsonArray listed =
            QJsonDocument::fromJson(json.out)[QLatin1String("accounts")].toArray();
    MainWindow window;
    window.processFile(examples(QStringLiteral("destination")), window.listView1,
            &window.sourceAccounts, &window.sourceChars, false);
    QCOMPARE(listed.size(), window.sourceAccounts.size());
    for (const QJsonValue &account : listed) {
        const int number = account[QLatin1String("number")].toInt();
        QCOMPARE(account[QLatin1String("name")].toString(), window.sourceAccounts.value(number));
        const QJsonArray held = account[QLatin1String("characters")].toArray();
        const QList<char_st> loaded = window.sourceChars.value(number);
        QCOMPARE(held.size(), loaded.size());
        for (qsizetype c = 0; c < held.size(); ++c) {
            QCOMPARE(held[c][QLatin1String("name")].toString(), loaded[c].name);
            QCOMPARE(held[c][QLatin1String("serial")].toInt(), loaded[c].serial);
        }
    }
}

void tst_Cli::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    const QString source = examples(QStringLiteral("source"));
    QTest::newRow("no command") << QStringList{} << 2;
    QTest::newRow("unknown command") << QStringList{ "copy", source } << 2;
    QTest::newRow("check without a world") << QStringList{ "check" } << 2;
    QTest::newRow("--json on transfer")
            << QStringList{ "transfer", "--from", source, "--to", source, "--json" } << 2;
    QTest::newRow("--show without --dry-run") << QStringList{ "transfer", "--from", source, "--to",
        source, "--account", "tobin", "Wren", "--show" }
                                              << 2;
    QTest::newRow("no such world") << QStringList{ "list", source + "/nowhere" } << 6;
    QTest::newRow("no such source") << QStringList{ "transfer", "--from", source + "/nowhere",
        "--to", source, "--account", "tobin", "Wren" }
                                    << 6;
    QTest::newRow("--version") << QStringList{ "--version" } << 0;
}

void tst_Cli::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    const Run run = cli(arguments);
    QCOMPARE(run.status, status);
    QCOMPARE(run.err.isEmpty(), status == 0);
}

// The window and the terminal program append the same bytes for the same transfer.
void tst_Cli::sameBytesAsTheWindow()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString byWindow = temp.filePath(QStringLiteral("window"));
    const QString byCli = temp.filePath(QStringLiteral("cli"));
    QVERIFY(copyExample(QStringLiteral("destination"), byWindow));
    QVERIFY(copyExample(QStringLiteral("destination"), byCli));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.processFile(
            source, window.listView1, &window.sourceAccounts, &window.sourceChars, false);
    window.sourceDir = source;
    window.fileDestination(byWindow);
    const auto select = [](QTreeWidget *view, const QString &text, int column) {
        const QList<QTreeWidgetItem *> found =
                view->findItems(text, Qt::MatchExactly | Qt::MatchRecursive, column);
        if (!found.isEmpty())
            view->setCurrentItem(found.constFirst());
        return !found.isEmpty();
    };
    QVERIFY(select(window.listView1, QStringLiteral("Aldo Brand"), 1));
    QVERIFY(select(window.listView2, QStringLiteral("linnea"), 0));
    window.fileTransfer();

    const Run run = cli({ QStringLiteral("transfer"), QStringLiteral("--from"), source,
            QStringLiteral("--to"), byCli, QStringLiteral("--account"), QStringLiteral("linnea"),
            QStringLiteral("Aldo Brand") });
    QCOMPARE(run.status, 0);
    QVERIFY(worldBytes(byCli) != worldBytes(examples(QStringLiteral("destination"))));
    QCOMPARE(worldBytes(byCli), worldBytes(byWindow));
}

void tst_Cli::batchEqualsOneByOne()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString batched = temp.filePath(QStringLiteral("batched"));
    const QString single = temp.filePath(QStringLiteral("single"));
    QVERIFY(copyExample(QStringLiteral("destination"), batched));
    QVERIFY(copyExample(QStringLiteral("destination"), single));
    const QList<QStringList> transfers = { { "harald", "Aldo Brand", "linnea" },
        { "harald", "Wren", "quill" }, { "mirelle", "Sela Moor", "quill" } };
    QByteArray batch = "# three transfers\n\n";
    for (const QStringList &transfer : transfers) {
        batch += transfer.join(QLatin1Char('\t')).toUtf8() + '\n';
        QCOMPARE(cli({ "transfer", "--from", source, "--to", single, "--source-account",
                             transfer[0], "--account", transfer[2], transfer[1] })
                         .status,
                0);
    }
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile, batch));
    const Run run = cli({ "transfer", "--from", source, "--to", batched, "--batch", batchFile });
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out.count(": done: "), 3);
    QCOMPARE(worldBytes(batched), worldBytes(single));

    // A fourth line that is refused stops the batch there, after the ones before it.
    QVERIFY(fixture::writeFile(batchFile, batch + "tobin\tGarrick\tbram\nharald\tWren\tbram\n"));
    const QByteArray before = worldBytes(single);
    const Run stopped = cli({ "transfer", "--from", source, "--to", single, "--batch", batchFile });
    QCOMPARE(stopped.status, 3);
    QVERIFY2(stopped.err.contains(":3: Aldo Brand (harald) -> linnea: refused"),
            stopped.err.constData());
    QCOMPARE(worldBytes(single), before);
}

// Many transfers of a generated world in one run, read once, against the same transfers one
// run each: the same bytes, and the same place to stop if one is refused.
void tst_Cli::generatedBatchEqualsOneByOne()
{
    QTemporaryDir temp;
    const auto generate = [&](const QString &dir, const char *seed) {
        QProcess worldgen;
        worldgen.setStandardOutputFile(QProcess::nullDevice());
        worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN),
                { dir, QStringLiteral("--seed"), QString::fromLatin1(seed),
                        QStringLiteral("--accounts"), QStringLiteral("6"),
                        QStringLiteral("--characters"), QStringLiteral("16"),
                        QStringLiteral("--items"), QStringLiteral("400") });
        return worldgen.waitForFinished(60000) && worldgen.exitCode() == 0;
    };
    const QString source = temp.filePath(QStringLiteral("source"));
    const QString batched = temp.filePath(QStringLiteral("batched"));
    const QString single = temp.filePath(QStringLiteral("single"));
    QVERIFY(generate(source, "5") && generate(batched, "6") && generate(single, "6"));

    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, source, false, quiet, none);
    engine::loadWorld(session, single, true, quiet, none);
    QByteArray batch;
    QList<QStringList> transfers;
    const QStringList destAccounts = session.destAccounts.values();
    for (auto it = session.sourceChars.cbegin(); it != session.sourceChars.cend(); ++it) {
        for (const char_st &character : it.value()) {
            if (!session.sourceAccounts.contains(it.key()))
                continue;
            transfers.append({ session.sourceAccounts.value(it.key()), character.name,
                    destAccounts.at(transfers.size() % 3) });
        }
    }
    QVERIFY(transfers.size() > 8);
    int singleStatus = 0;
    for (const QStringList &transfer : std::as_const(transfers)) {
        batch += transfer.join(QLatin1Char('\t')).toUtf8() + '\n';
        if (singleStatus == 0) {
            singleStatus = cli({ "transfer", "--from", source, "--to", single, "--source-account",
                                       transfer[0], "--account", transfer[2], transfer[1] })
                                   .status;
        }
    }
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile, batch));
    const Run run = cli({ "transfer", "--from", source, "--to", batched, "--batch", batchFile });
    QCOMPARE(run.status, singleStatus);
    QCOMPARE(worldBytes(batched), worldBytes(single));
}

void tst_Cli::dryRunShowsTheAppend()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    const QStringList transfer = { "transfer", "--from", source, "--to", dest, "--account",
        "linnea", "Aldo Brand" };

    const Run dry = cli(transfer + QStringList{ "--dry-run", "--show" });
    QCOMPARE(dry.status, 0);
    QCOMPARE(worldBytes(dest), before);

    // Several transfers in one dry run: each sees the ones before it, and none is written.
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile, "harald\tWren\tquill\nmirelle\tSela Moor\tquill\n"));
    const Run batch =
            cli({ "transfer", "--from", source, "--to", dest, "--batch", batchFile, "--dry-run" });
    QCOMPARE(batch.status, 0);
    QCOMPARE(batch.out.count(": would be record "), 2);
    QVERIFY2(batch.out.contains("Wren (harald) -> quill: would be record 10, serial 11")
                    && batch.out.contains(
                            "Sela Moor (mirelle) -> quill: would be record 11, serial 12"),
            batch.out.constData());
    QCOMPARE(worldBytes(dest), before);
    // Each text follows a line that gives its size.
    QList<QByteArray> shown;
    for (qsizetype at = dry.out.indexOf("--- "); at >= 0 && shown.size() < 2;
            at = dry.out.indexOf("--- ", at)) {
        const qsizetype end = dry.out.indexOf('\n', at);
        const QByteArray head = dry.out.mid(at, end - at);
        const int size = head.split(' ').value(4).toInt();
        shown << dry.out.mid(end + 1, size);
        at = end + 1 + size;
    }
    QCOMPARE(shown.size(), 2);

    const QByteArray characters =
            fixture::readFile(world::filePath(dest, world::charactersFileName()));
    const QByteArray items = fixture::readFile(world::filePath(dest, world::itemsFileName()));
    QCOMPARE(cli(transfer).status, 0);
    QCOMPARE(fixture::readFile(world::filePath(dest, world::charactersFileName())),
            characters + shown[0]);
    QCOMPARE(fixture::readFile(world::filePath(dest, world::itemsFileName())), items + shown[1]);
}

void tst_Cli::refusalsWriteNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<bool>("written"); // by a transfer before the one refused
    QTest::newRow("account limit") << QStringList{ "--account", "ostara", "Aldo Brand" } << 3
                                   << "Account limit: " << false;
    QTest::newRow("duplicate name") << QStringList{ "--account", "bram", "Garrick" } << 3
                                    << "Character Duplication: " << false;
    QTest::newRow("wrong source account")
            << QStringList{ "--source-account", "tobin", "--account", "quill", "Wren" } << 3
            << "Transfer Error: " << false;
    QTest::newRow("no such character") << QStringList{ "--account", "quill", "Nobody" } << 3
                                       << "holds a character named" << false;
    QTest::newRow("second of two refused") << QStringList{ "--account", "bram", "Wren", "Garrick" }
                                           << 3 << "done before it: Wren." << true;
}

void tst_Cli::refusalsWriteNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, written);
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    const Run run = cli(
            QStringList{ "transfer", "--from", examples(QStringLiteral("source")), "--to", dest }
            + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
    QCOMPARE(worldBytes(dest) != before, written);
}

void tst_Cli::ambiguousNameNeedsTheAccount()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(fixture::writeWorld(source.path(), accounts + "SECTION ACCOUNT 2\n{\nNAME bob\n}\n",
            characters + "SECTION CHARACTER 1\n{\nSERIAL 101\nNAME Aldo\nACCOUNT 2\n}\n", items));
    QVERIFY(fixture::writeWorld(dest.path(), accounts, QByteArray(""), QByteArray("")));
    const QStringList transfer = { "transfer", "--from", source.path(), "--to", dest.path(),
        "--account", "alice", "Aldo" };
    const Run ambiguous = cli(transfer);
    QCOMPARE(ambiguous.status, 2);
    QVERIFY2(ambiguous.err.contains("Aldo is a character of alice, bob in"),
            ambiguous.err.constData());
    QCOMPARE(fixture::readFile(world::filePath(dest.path(), world::charactersFileName())), "");
    QCOMPARE(cli(transfer + QStringList{ "--source-account", "bob" }).status, 0);
}

// The items file cannot be written (immutable, which binds root too): the character written
// before it is taken back, and the status says so.
void tst_Cli::failedTransferIsPutBack()
{
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QString items = world::filePath(dest, world::itemsFileName());
    if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), items }) != 0)
        QSKIP("chattr +i is not possible here (needs root and a file system that has it)");
    const QByteArray before = worldBytes(dest);
    const Run run = cli({ "transfer", "--from", examples(QStringLiteral("source")), "--to", dest,
            "--account", "linnea", "Aldo Brand" });
    QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), items });
    QCOMPARE(run.status, 4);
    QVERIFY2(run.err.contains("failed, destination put back as it was\nTransfer Failed: "),
            run.err.constData());
    QCOMPARE(worldBytes(dest), before);
}

// The items append fails and the character's append cannot be cut back: the status says
// the destination was not put back, and the journal stays, so that recover puts both files
// back exactly once the disk works again.
void tst_Cli::failedTransferNotPutBackKeepsTheJournal()
{
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAULTINJECT));
    // The preloaded library is not instrumented; the sanitizers must not mind it.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
            environment.value(QStringLiteral("ASAN_OPTIONS"))
                    + QStringLiteral(":verify_asan_link_order=0"));
    environment.insert(QStringLiteral("FAULT_FILE"), world::itemsFileName());
    environment.insert(QStringLiteral("FAULT_CALL"), QStringLiteral("write"));
    environment.insert(QStringLiteral("FAULT_AT"), QStringLiteral("1"));
    environment.insert(QStringLiteral("FAULT_MODE"), QStringLiteral("always"));
    environment.insert(QStringLiteral("FAULT_ALSO_FILE"), world::charactersFileName());
    environment.insert(QStringLiteral("FAULT_ALSO_CALL"), QStringLiteral("truncate"));
    environment.insert(QStringLiteral("FAULT_ALSO_AT"), QStringLiteral("1"));
    environment.insert(QStringLiteral("FAULT_ALSO_MODE"), QStringLiteral("always"));
    environment.insert(QStringLiteral("FAULT_ALSO_ERRNO"), QStringLiteral("EIO"));
    const Run run = cli({ "transfer", "--from", examples(QStringLiteral("source")), "--to", dest,
                                "--account", "linnea", "Aldo Brand" },
            environment);
    QCOMPARE(run.status, 5);
    QVERIFY2(run.err.contains("failed, destination NOT put back\nTransfer Failed: "),
            run.err.constData());
    QVERIFY2(run.err.contains("could not be cut back"), run.err.constData());
    QVERIFY2(worldBytes(dest) != before, "the character's append was not cut back");
    QVERIFY2(QFileInfo::exists(transfer::journalPath(dest)),
            "the journal of a transfer that was not put back was removed");

    const Run recover = cli({ QStringLiteral("recover"), dest });
    QCOMPARE(recover.status, 0);
    QCOMPARE(worldBytes(dest), before);
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest)));
}

// A transfer stopped half way: its journal is there and part of its text was appended.
void tst_Cli::interruptedTransferIsRecovered()
{
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    const QString characters = world::filePath(dest, world::charactersFileName());
    transfer::Journal journal{ QStringLiteral("Aldo Brand"), examples(QStringLiteral("source")),
        { { world::charactersFileName(), 0, true, 0, 0, "\nSECTION CHARACTER 10\n{\n}\n" } } };
    const auto interrupt = [&] {
        transfer::Journal copy = journal;
        QString error;
        return transfer::describeFiles(dest, &copy, &error)
                && transfer::writeJournal(dest, copy, &error)
                && fixture::writeFile(characters, fixture::readFile(characters) + "\nSECTION CHA");
    };

    // Every command that opens the world undoes it first, and says so.
    QVERIFY(interrupt());
    const Run check = cli({ QStringLiteral("check"), dest });
    QCOMPARE(check.status, 0);
    QVERIFY2(check.err.contains("Interrupted Transfer: "), check.err.constData());
    QCOMPARE(worldBytes(dest), before);

    // A dry run changes nothing, so it only refuses; recover undoes it.
    QVERIFY(interrupt());
    const QStringList transfer = { "transfer", "--from", examples(QStringLiteral("source")), "--to",
        dest, "--account", "linnea", "Aldo Brand" };
    QCOMPARE(cli(transfer + QStringList{ "--dry-run" }).status, 3);
    QCOMPARE(cli({ QStringLiteral("recover"), dest }).status, 0);
    QCOMPARE(worldBytes(dest), before);
    QCOMPARE(cli({ QStringLiteral("check"), dest }).status, 0);

    // A transfer undoes it itself, then does what it was asked, exactly as on a clean world.
    const QString clean = temp.filePath(QStringLiteral("clean"));
    QVERIFY(copyExample(QStringLiteral("destination"), clean));
    QCOMPARE(cli({ "transfer", "--from", examples(QStringLiteral("source")), "--to", clean,
                         "--account", "linnea", "Aldo Brand" })
                     .status,
            0);
    QVERIFY(interrupt());
    const Run run = cli(transfer);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.err.contains("Interrupted Transfer: "), run.err.constData());
    QCOMPARE(worldBytes(dest), worldBytes(clean));
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest)));
}

void tst_Cli::recoverStatuses_data()
{
    QTest::addColumn<QString>("left"); // what an earlier run left in the world
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("undone"); // the files hold what they held before the transfer
    QTest::addColumn<bool>("journalKept");
    QTest::newRow("nothing") << "nothing" << 0 << true << false;
    QTest::newRow("half a transfer") << "half" << 0 << true << false;
    // The server saved since: what follows the old end is no part of the transfer.
    QTest::newRow("files changed since") << "saved" << 3 << false << true;
    // One digit of the journal's size changed, its checksum not: trusted, it would cut the
    // last line feed off the characters file.
    QTest::newRow("journal altered") << "altered" << 3 << true << true;
    // A journal never put in place: nothing was appended, and it goes.
    QTest::newRow("journal never put in place") << "new" << 0 << true << false;
}

// recover's status is what a script decides on (recover && start the server): 0 only when
// the world is whole again.
void tst_Cli::recoverStatuses()
{
    QFETCH(QString, left);
    QFETCH(int, status);
    QFETCH(bool, undone);
    QFETCH(bool, journalKept);
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    const QString characters = world::filePath(dest, world::charactersFileName());
    const QString journalFile = transfer::journalPath(dest);
    transfer::Journal journal{ QStringLiteral("Aldo Brand"), examples(QStringLiteral("source")),
        { { world::charactersFileName(), 0, true, 0, 0, "\nSECTION CHARACTER 10\n{\n}\n" } } };
    QString error;
    if (left != QLatin1String("nothing") && left != QLatin1String("new")) {
        QVERIFY2(transfer::describeFiles(dest, &journal, &error)
                        && transfer::writeJournal(dest, journal, &error),
                qPrintable(error));
    }
    if (left == QLatin1String("half")) {
        QVERIFY(fixture::writeFile(characters, fixture::readFile(characters) + "\nSECTION CHA"));
    } else if (left == QLatin1String("saved")) {
        QVERIFY(fixture::writeFile(characters, fixture::readFile(characters) + "\n// saved\n"));
    } else if (left == QLatin1String("altered")) {
        QByteArray bytes = fixture::readFile(journalFile);
        const QByteArray size = QByteArray::number(journal.files.first().sizeBefore);
        const QByteArray field = ' ' + world::charactersFileName().toUtf8() + ' ' + size + ' ';
        QVERIFY2(bytes.contains(field), bytes.constData());
        bytes.replace(field,
                ' ' + world::charactersFileName().toUtf8() + ' '
                        + QByteArray::number(journal.files.first().sizeBefore - 1) + ' ');
        QVERIFY(fixture::writeFile(journalFile, bytes));
    } else if (left == QLatin1String("new")) {
        QVERIFY(fixture::writeFile(journalFile + QStringLiteral(".new"), "chartransfer journal"));
    }
    const QByteArray leftBytes = worldBytes(dest);

    const Run run = cli({ QStringLiteral("recover"), dest });
    QCOMPARE(run.status, status);
    QCOMPARE(worldBytes(dest), undone ? before : leftBytes);
    QCOMPARE(QFileInfo::exists(journalFile), journalKept);
    QVERIFY(!QFileInfo::exists(journalFile + QStringLiteral(".new")));
    if (journalKept)
        QVERIFY2(run.err.contains("--discard"), run.err.constData());
}

void tst_Cli::exportRefusals_data()
{
    QTest::addColumn<QString>("source"); // "examples", "two in one", or a missing folder
    QTest::addColumn<QStringList>("arguments"); // after export --from SOURCE --to PACKAGE
    QTest::addColumn<bool>("targetFilled"); // the package folder holds a file already
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<bool>("asTransfer"); // a transfer of the same says the same
    QTest::newRow("no such character") << "examples" << QStringList{ "Nobody" } << false << 3
                                       << "holds a character named Nobody" << true;
    QTest::newRow("wrong source account")
            << "examples" << QStringList{ "--source-account", "tobin", "Wren" } << false << 3
            << "Transfer Error: " << true;
    QTest::newRow("copy would not read back")
            << "two in one" << QStringList{ "Aldo" } << false << 3 << "Damaged World: " << true;
    QTest::newRow("folder not empty") << "examples" << QStringList{ "Wren" } << true << 2
                                      << "is not empty; nothing was written" << false;
    QTest::newRow("source missing")
            << "nowhere" << QStringList{ "Wren" } << false << 6 << "no such directory" << false;
    QTest::newRow("--account") << "examples" << QStringList{ "--account", "quill", "Wren" } << false
                               << 2 << "--account is not for export" << false;
    QTest::newRow("--dry-run") << "examples" << QStringList{ "--dry-run", "Wren" } << false << 2
                               << "--dry-run is not for export" << false;
}

// What a transfer refuses, export refuses with the same words; no refusal leaves anything.
void tst_Cli::exportRefusals()
{
    QFETCH(QString, source);
    QFETCH(QStringList, arguments);
    QFETCH(bool, targetFilled);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, asTransfer);
    QTemporaryDir temp;
    QString from = temp.filePath(source);
    if (source == QLatin1String("examples")) {
        from = examples(QStringLiteral("source"));
    } else if (source == QLatin1String("two in one")) {
        QVERIFY(QDir().mkpath(from));
        QVERIFY(fixture::writeWorld(from, accounts,
                "SECTION CHARACTER 0\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\nNAME Bert\n"
                "ACCOUNT 1\n}\n",
                items));
    }
    const QString package = temp.filePath(QStringLiteral("package"));
    if (targetFilled)
        QVERIFY(QDir().mkpath(package)
                && fixture::writeFile(package + QStringLiteral("/notes.txt"), "mine"));
    const Run run = cli(QStringList{ "export", "--from", from, "--to", package } + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
    QCOMPARE(QDir(package).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            targetFilled ? QStringList{ QStringLiteral("notes.txt") } : QStringList{});
    QCOMPARE(QDir(temp.path())
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                     .filter(QStringLiteral("partial")),
            QStringList{});
    if (!asTransfer)
        return;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const Run transfer =
            cli(QStringList{ "transfer", "--from", from, "--to", dest, "--account", "quill" }
                    + arguments);
    QCOMPARE(transfer.status, status);
    // The first line names the transfer or the export; what follows is the same.
    const auto reason = [](const QByteArray &err) {
        return err.contains("refused, nothing written\n") ? err.mid(err.indexOf('\n') + 1) : err;
    };
    QCOMPARE(reason(run.err), reason(transfer.err));
}

// Export on one server, copy the folder, transfer on the other: the same bytes as a
// transfer from the world itself. A package that changed on the way is refused.
void tst_Cli::packageCarriesTheCharacter()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString exported = temp.filePath(QStringLiteral("exported"));
    const Run run = cli({ "export", "--from", source, "--to", exported, "--json", "Aldo Brand",
            "--source-account", "harald", "Wren" });
    QCOMPARE(run.status, 0);
    QCOMPARE(
            run.out, fixture::readFile(world::filePath(exported, transfer::packageManifestName())));
    const QJsonObject manifest = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(manifest.value("characters").toArray().at(0).toObject().value("items").toInt(), 11);
    QCOMPARE(manifest.value("source").toString(), QDir(source).canonicalPath());

    // The copy another server receives.
    const QString package = temp.filePath(QStringLiteral("received"));
    QVERIFY(QDir().mkpath(package));
    for (const QString &file : worldFiles + QStringList{ transfer::packageManifestName() }) {
        QVERIFY(QFile::copy(world::filePath(exported, file), world::filePath(package, file)));
    }
    const Run listed = cli({ "list", package });
    QCOMPARE(listed.status, 0);
    QCOMPARE(listed.out,
            "account 0: harald\n    Aldo Brand  (serial 1, record 0)\n"
            "    Wren  (serial 2, record 1)\n");

    const QString direct = temp.filePath(QStringLiteral("direct"));
    const QString arrived = temp.filePath(QStringLiteral("arrived"));
    QVERIFY(copyExample(QStringLiteral("destination"), direct));
    QVERIFY(copyExample(QStringLiteral("destination"), arrived));
    for (const QString &character : { QStringLiteral("Wren"), QStringLiteral("Aldo Brand") }) {
        QCOMPARE(cli({ "transfer", "--from", source, "--to", direct, "--account", "linnea",
                             character })
                         .status,
                0);
        QCOMPARE(cli({ "transfer", "--from", package, "--to", arrived, "--account", "linnea",
                             character })
                         .status,
                0);
    }
    QCOMPARE(worldBytes(arrived), worldBytes(direct));

    // Into a package nothing goes: it would no longer be what its manifest says.
    const QByteArray packed = worldBytes(package);
    const Run into = cli(
            { "transfer", "--from", source, "--to", package, "--account", "harald", "Sela Moor" });
    QCOMPARE(into.status, 3);
    QCOMPARE(worldBytes(package), packed);

    // Changed on the way: every command that reads it refuses, and nothing is written.
    const QString characters = world::filePath(package, world::charactersFileName());
    QVERIFY(fixture::writeFile(
            characters, fixture::readFile(characters).replace("STR 62", "STR 99")));
    const QByteArray before = worldBytes(arrived);
    const Run damaged =
            cli({ "transfer", "--from", package, "--to", arrived, "--account", "quill", "Wren" });
    QCOMPARE(damaged.status, 3);
    QVERIFY2(damaged.err.contains("Damaged Package: ") && damaged.err.contains("ztpcs.wsc differs"),
            damaged.err.constData());
    QCOMPARE(worldBytes(arrived), before);
    QCOMPARE(cli({ "list", package }).status, 6);
    QCOMPARE(cli({ "check", package }).status, 6);
}

void tst_Cli::renameOnArrival_data()
{
    QTest::addColumn<QStringList>("arguments"); // after transfer --from SRC --to DEST
    QTest::addColumn<QByteArray>("batch"); // the batch file, for --batch
    QTest::addColumn<bool>("windows1252"); // the destination's names are not UTF-8
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QByteArray>("nameLine"); // the copy's NAME line when done
    QTest::newRow("renamed") << QStringList{ "--account", "linnea", "--name", "Aldo", "Aldo Brand" }
                             << QByteArray() << false << 0
                             << "Aldo Brand (harald) -> linnea as Aldo: done"
                             << QByteArray("NAME Aldo");
    QTest::newRow("old name taken there, new one free")
            << QStringList{ "--account", "bram", "--name", "Garrick the Second", "Garrick" }
            << QByteArray() << false << 0 << "done" << QByteArray("NAME Garrick the Second");
    QTest::newRow("new name taken there")
            << QStringList{ "--account", "linnea", "--name", "Corra Dunn", "Wren" } << QByteArray()
            << false << 3 << "Character Duplication: " << QByteArray();
    QTest::newRow("account full") << QStringList{ "--account", "ostara", "--name", "Al", "Wren" }
                                  << QByteArray() << false << 3
                                  << "Account limit: " << QByteArray();
    QTest::newRow("comment in the name")
            << QStringList{ "--account", "quill", "--name", "Wren//x", "Wren" } << QByteArray()
            << false << 3 << "Character Name: the new name holds \"//\"" << QByteArray();
    QTest::newRow("blank at the end")
            << QStringList{ "--account", "quill", "--name", "Wren ", "Wren" } << QByteArray()
            << false << 3 << "begins or ends with a blank" << QByteArray();
    QTest::newRow("UTF-8 destination")
            << QStringList{ "--account", "quill", "--name", QString::fromUtf8("Zoë"), "Wren" }
            << QByteArray() << false << 0 << "done" << QByteArray("NAME Zo\xc3\xab");
    QTest::newRow("Windows-1252 destination")
            << QStringList{ "--account", "quill", "--name", QString::fromUtf8("Zoë"), "Wren" }
            << QByteArray() << true << 0 << "done" << QByteArray("NAME Zo\xeb");
    QTest::newRow("not in Windows-1252")
            << QStringList{ "--account", "quill", "--name", QString::fromUtf8("Ωmega"), "Wren" }
            << QByteArray() << true << 3 << "cannot hold" << QByteArray();
    QTest::newRow("two characters")
            << QStringList{ "--account", "quill", "--name", "X", "Wren", "Garrick" } << QByteArray()
            << false << 2 << "name only one" << QByteArray();
    QTest::newRow("batch, fourth column")
            << QStringList{} << QByteArray("harald\tWren\tquill\tWren the Younger\n") << false << 0
            << "as Wren the Younger: done" << QByteArray("NAME Wren the Younger");
    QTest::newRow("batch, a bad name stops all before anything is written")
            << QStringList{}
            << QByteArray("harald\tWren\tquill\nmirelle\tSela Moor\tquill\tSela//\n") << false << 3
            << "moves.txt:2: Sela Moor (mirelle) -> quill as Sela//: refused" << QByteArray();
    // The run knows the first copy by its new name without reading the destination again.
    QTest::newRow("batch, second copy under the same new name")
            << QStringList{}
            << QByteArray("harald\tWren\tquill\tBo\nmirelle\tSela Moor\tquill\tBo\n") << false << 3
            << "done before it: Wren" << QByteArray();
}

void tst_Cli::renameOnArrival()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, batch);
    QFETCH(bool, windows1252);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(QByteArray, nameLine);
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QString characters = world::filePath(dest, world::charactersFileName());
    if (windows1252) {
        QVERIFY(fixture::writeFile(characters,
                fixture::readFile(characters).replace("// Characters", "// Caf\xe9 characters")));
    }
    if (!batch.isEmpty()) {
        const QString file = temp.filePath(QStringLiteral("moves.txt"));
        QVERIFY(fixture::writeFile(file, batch));
        arguments = QStringList{ "--batch", file };
    }
    const QByteArray before = worldBytes(dest);
    const qsizetype oldSize = fixture::readFile(characters).size();
    const Run run = cli(
            QStringList{ "transfer", "--from", examples(QStringLiteral("source")), "--to", dest }
            + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2((run.out + run.err).contains(says.toUtf8()), (run.out + run.err).constData());
    if (status != 0) {
        QCOMPARE(worldBytes(dest) == before, !says.contains(QLatin1String("done before it")));
        return;
    }
    // The copy reads back under its new name, and only its NAME lines changed.
    const QByteArray appended = fixture::readFile(characters).mid(oldSize);
    QVERIFY2(appended.contains("\n" + nameLine + "\n"), appended.constData());
    QCOMPARE(appended.count("\nNAME "), 1);
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
