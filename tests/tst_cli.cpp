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

#include <csignal>

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
    void notAWorld_data();
    void notAWorld();
    void helpDescribesTheOptions();
    void missingFiles_data();
    void missingFiles();
    void pluralsAreRight();
    void refusalsSpeakOfCommands_data();
    void refusalsSpeakOfCommands();
    void rerunWithSkipExisting();
    void chainedBatchInOneWorld();
    void dryRunWritesNothingAnywhere();
    void transferJson();
    void batchShowsItsPosition();
    void interruptedBatch_data();
    void interruptedBatch();
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
    if (file != world::accountsFileName())
        QVERIFY2(summary.contains(QLatin1String(" (1 account record, ")), qPrintable(summary));
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
    QTest::newRow("transfer without --account")
            << QStringList{ "transfer", "--from", source, "--to", source, "--json" } << 2;
    QTest::newRow("--show with --json") << QStringList{ "transfer", "--from", source, "--to",
        source, "--account", "tobin", "Wren", "--dry-run", "--show", "--json" }
                                        << 2;
    QTest::newRow("--skip-existing on list")
            << QStringList{ "list", source, "--skip-existing" } << 2;
    QTest::newRow("-q") << QStringList{ "-q", "list", source } << 0;
    QTest::newRow("-h") << QStringList{ "-h" } << 0;
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

// Every command says the same of a path that is no world.
void tst_Cli::notAWorld_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("kind");
    for (const char *command : { "list", "check", "recover", "transfer --from", "transfer --to" }) {
        for (const char *kind : { "missing", "file", "empty" }) {
            QTest::addRow("%s, %s", command, kind)
                    << QString::fromLatin1(command) << QString::fromLatin1(kind);
        }
    }
}

void tst_Cli::notAWorld()
{
    QFETCH(QString, command);
    QFETCH(QString, kind);
    QTemporaryDir temp;
    const QString path = temp.filePath(QStringLiteral("path"));
    const QString why = kind == QLatin1String("missing") ? QStringLiteral("no such directory")
            : kind == QLatin1String("file")
            ? QStringLiteral("not a directory")
            : QStringLiteral("it holds none of accounts.adm, ztpcs.wsc and ztitems.wsc");
    if (kind == QLatin1String("file"))
        QVERIFY(fixture::writeFile(path, "SECTION ACCOUNT 1\n"));
    if (kind == QLatin1String("empty"))
        QVERIFY(QDir().mkpath(path));
    const QString world = examples(QStringLiteral("source"));
    QStringList arguments = command.split(QLatin1Char(' '));
    if (command == QLatin1String("transfer --from"))
        arguments << path << "--to" << world << "--account"
                  << "tobin"
                  << "Wren";
    else if (command == QLatin1String("transfer --to"))
        arguments << path << "--from" << world << "--account"
                  << "tobin"
                  << "Wren";
    else
        arguments << path;
    const Run run = cli(arguments);
    QCOMPARE(run.status, 6);
    QCOMPARE(QString::fromLocal8Bit(run.err),
            QStringLiteral("chartransfer-cli: %1 is not a world: %2\n").arg(path, why));
}

// What --help promises is there, and nothing it does not hold.
void tst_Cli::helpDescribesTheOptions()
{
    const Run help = cli({ QStringLiteral("--help") });
    QCOMPARE(help.status, 0);
    for (const char *said : { "-q, --quiet", "--skip-existing", "--without-items", "--json",
                 "Put -- before a character", "130, 143" })
        QVERIFY2(help.out.contains(said), said);
    QVERIFY(!help.out.contains("help-all"));
}

void tst_Cli::missingFiles_data()
{
    QTest::addColumn<QString>("removed"); // "source/FILE" or "dest/FILE"
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says"); // on standard output for 0, else on standard error
    QTest::addColumn<bool>("written");
    QTest::newRow("source without items")
            << "source/ztitems.wsc" << QStringList{} << 3
            << "chartransfer-cli: the source world has no ztitems.wsc: Aldo Brand would arrive "
               "without any items; nothing was written."
            << false;
    QTest::newRow("source without items, --without-items")
            << "source/ztitems.wsc" << QStringList{ "--without-items" } << 0
            << "done: record 10, serial 11; 0 items moved, 0 left behind\n"
            << true;
    QTest::newRow("source without characters")
            << "source/ztpcs.wsc" << QStringList{} << 6
            << "chartransfer-cli: cannot read SRC/ztpcs.wsc: " << false;
    QTest::newRow("source without accounts")
            << "source/accounts.adm" << QStringList{} << 6
            << "chartransfer-cli: cannot read SRC/accounts.adm: " << false;
    QTest::newRow("destination without accounts")
            << "dest/accounts.adm" << QStringList{} << 6
            << "chartransfer-cli: cannot read DEST/accounts.adm: " << false;
    QTest::newRow("destination without items")
            << "dest/ztitems.wsc" << QStringList{} << 0 << "\ncreated DEST/ztitems.wsc\n"
            << true;
    QTest::newRow("destination without characters")
            << "dest/ztpcs.wsc" << QStringList{} << 0 << "\ncreated DEST/ztpcs.wsc\n"
            << true;
    QTest::newRow("destination without items, dry run")
            << "dest/ztitems.wsc" << QStringList{ "--dry-run" } << 0
            << "\nwould create DEST/ztitems.wsc\n"
            << false;
}

void tst_Cli::missingFiles()
{
    QFETCH(QString, removed);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, written);
    QTemporaryDir temp;
    const QString source = temp.filePath(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("source"), source));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    QVERIFY(QFile::remove(temp.filePath(removed)));
    const QByteArray before = worldBytes(dest);
    const Run run = cli(QStringList{ "transfer", "--from", source, "--to", dest, "--account",
                                "linnea", "Aldo Brand" }
            + options);
    QCOMPARE(run.status, status);
    says.replace(QLatin1String("SRC"), source).replace(QLatin1String("DEST"), dest);
    const QByteArray &shown = status == 0 ? run.out : run.err;
    QVERIFY2(shown.contains(says.toUtf8()), shown.constData());
    QCOMPARE(worldBytes(dest) != before, written);
}

// Counts read as English: "1 item", "2 items".
void tst_Cli::pluralsAreRight()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(fixture::writeWorld(source.path(), accounts,
            characters + "SECTION CHARACTER 1\n{\nSERIAL 101\nNAME Bo\nACCOUNT 1\n}\n",
            "SECTION WORLDITEM 1\n{\nSERIAL 5000\nOWNER 100\n}\n"));
    QVERIFY(fixture::writeWorld(dest.path(), accounts, QByteArray(""), QByteArray("")));
    const Run run = cli({ "transfer", "--from", source.path(), "--to", dest.path(), "--account",
            "alice", "Aldo", "Bo" });
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.contains("Aldo (alice) -> alice: done: record 0, serial 1; 1 item moved, 0 "
                              "left behind\n")
                    && run.out.contains("Bo (alice) -> alice: done: record 1, serial 2; 0 items "
                                        "moved, 0 left behind\n")
                    && run.out.contains("\n2 transfers done, 1 item moved, 0 left behind in "),
            run.out.constData());
}

// The engine's refusals give the window's advice ("select the world again"); the terminal
// program says what to do with commands instead.
void tst_Cli::refusalsSpeakOfCommands_data()
{
    QTest::addColumn<QByteArray>("appended"); // to the destination characters file
    QTest::addColumn<bool>("journal"); // a journal of a transfer that cannot be undone
    QTest::addColumn<QString>("says");
    QTest::newRow("destination cut off")
            << QByteArray("SECTION CHARACTER 99\n{\nNAME Cut\n") << false
            << "(complete or remove its last record), then run the command again.";
    QTest::newRow("journal kept") << QByteArray() << true
                                  << "Run the command again (or \"chartransfer-cli recover\" on "
                                     "the world): a transfer that can be undone is undone then";
}

void tst_Cli::refusalsSpeakOfCommands()
{
    QFETCH(QByteArray, appended);
    QFETCH(bool, journal);
    QFETCH(QString, says);
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QString characters = world::filePath(dest, world::charactersFileName());
    QVERIFY(fixture::writeFile(characters, fixture::readFile(characters) + appended));
    if (journal) {
        transfer::Journal kept{ QStringLiteral("Aldo Brand"), examples(QStringLiteral("source")),
            { { world::charactersFileName(), 0, true, 0, 0, "SECTION CHARACTER 10\n" } } };
        QString error;
        QVERIFY(transfer::describeFiles(dest, &kept, &error));
        QVERIFY(transfer::writeJournal(dest, kept, &error));
        // Changed since in another way: the journal cannot be trusted to cut with.
        QVERIFY(fixture::writeFile(characters, fixture::readFile(characters) + "// saved\n"));
    }
    const QByteArray before = worldBytes(dest);
    const Run run = cli({ "transfer", "--from", examples(QStringLiteral("source")), "--to", dest,
            "--account", "linnea", "Aldo Brand" });
    QCOMPARE(run.status, 3);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
    QVERIFY2(!run.err.contains("elect the"), run.err.constData());
    QCOMPARE(worldBytes(dest), before);
}

// A batch run again with --skip-existing passes over what is done and does the rest.
void tst_Cli::rerunWithSkipExisting()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    const QString expected = temp.filePath(QStringLiteral("expected"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    QVERIFY(copyExample(QStringLiteral("destination"), expected));
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    const QByteArray lines = "harald\tWren\tquill\nmirelle\tSela Moor\tquill\n"
                             "harald\tAldo Brand\tlinnea\n";
    QVERIFY(fixture::writeFile(batchFile, lines));
    QCOMPARE(cli({ "transfer", "--from", source, "--to", expected, "--batch", batchFile }).status,
            0);

    // The first line done before; the rerun does the other two.
    QCOMPARE(cli({ "transfer", "--from", source, "--to", dest, "--source-account", "harald",
                         "--account", "quill", "Wren" })
                     .status,
            0);
    const QStringList rerun = { "transfer", "--from", source, "--to", dest, "--batch", batchFile,
        "--skip-existing" };
    const Run second = cli(rerun);
    QCOMPARE(second.status, 0);
    QVERIFY2(second.out.startsWith(batchFile.toUtf8()
                     + ":1: Wren (harald) -> quill: already "
                       "there\n"),
            second.out.constData());
    QCOMPARE(second.out.count(": done: "), 2);
    QVERIFY2(second.out.contains("\n2 transfers done, 14 items moved, 0 left behind, 1 line "
                                 "passed over in "),
            second.out.constData());
    QCOMPARE(worldBytes(dest), worldBytes(expected));

    // Run once more, it does nothing.
    const QByteArray done = worldBytes(dest);
    const Run third = cli(rerun);
    QCOMPARE(third.status, 0);
    QCOMPARE(third.out.count(": already there\n"), 3);
    QCOMPARE(worldBytes(dest), done);
    // Without the option the first line is a duplicate, refused before anything is written.
    QCOMPARE(cli(rerun.mid(0, rerun.size() - 1)).status, 3);
    QCOMPARE(worldBytes(dest), done);
}

// Within one world a batch may move a character an earlier line moved: the same bytes as
// the lines run one at a time. A dry run of it writes nothing and says which line it
// cannot follow.
void tst_Cli::chainedBatchInOneWorld()
{
    QTemporaryDir temp;
    const QString batched = temp.filePath(QStringLiteral("batched"));
    const QString single = temp.filePath(QStringLiteral("single"));
    QVERIFY(copyExample(QStringLiteral("destination"), batched));
    QVERIFY(copyExample(QStringLiteral("destination"), single));
    const QList<QStringList> transfers = { { "bram", "Odo Fenn", "linnea" },
        { "linnea", "Odo Fenn", "quill" }, { "linnea", "Corra Dunn", "quill" },
        { "quill", "Corra Dunn", "bram" } };
    QByteArray batch;
    for (const QStringList &transfer : transfers) {
        batch += transfer.join(QLatin1Char('\t')).toUtf8() + '\n';
        QCOMPARE(cli({ "transfer", "--from", single, "--to", single, "--source-account",
                             transfer[0], "--account", transfer[2], transfer[1] })
                         .status,
                0);
    }
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile, batch));
    const QStringList run = { "transfer", "--from", batched, "--to", batched, "--batch",
        batchFile };

    const QByteArray before = worldBytes(batched);
    const Run dry = cli(run + QStringList{ "--dry-run" });
    QCOMPARE(dry.status, 0);
    QCOMPARE(worldBytes(batched), before);
    QVERIFY2(dry.out.contains(":2: Odo Fenn (linnea) -> quill: not checked: only an earlier "
                              "line of this dry run would write this character"),
            dry.out.constData());
    QCOMPARE(dry.out.count(": would be record "), 2);

    const Run real = cli(run);
    QCOMPARE(real.status, 0);
    QCOMPARE(real.out.count(": done: "), 4);
    QCOMPARE(worldBytes(batched), worldBytes(single));
}

// A dry run of a batch writes nothing, in the worlds or elsewhere, and says what the real
// run then does, line by line.
void tst_Cli::dryRunWritesNothingAnywhere()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    const QString scratch = temp.filePath(QStringLiteral("tmp"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    QVERIFY(QDir().mkpath(scratch));
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile,
            "harald\tWren\tquill\nmirelle\tSela Moor\tquill\ntobin\tGarrick\tquill\n"
            "harald\tAldo Brand\tquill\nharald\tAldo Brand\tlinnea\ntobin\tGarrick\tquill\n"));
    const QByteArray before = worldBytes(dest);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), scratch);
    process.setProcessEnvironment(environment);
    const QStringList run = { "transfer", "--from", source, "--to", dest, "--batch", batchFile };
    process.start(QStringLiteral(CHARTRANSFER_CLI), run + QStringList{ "--dry-run" });
    QVERIFY(process.waitForFinished(60000));
    const QByteArray dry = process.readAllStandardOutput();
    // The sixth would be a second Garrick in quill: only a dry run that follows the
    // destination sees that.
    QCOMPARE(process.exitCode(), 3);
    QCOMPARE(worldBytes(dest), before);
    QCOMPARE(QDir(scratch).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());

    const Run real = cli(run);
    QCOMPARE(real.status, 3);
    // The same lines, the time of the totals aside.
    const auto untimed = [](QByteArray text) { return text.left(text.lastIndexOf(" in ")); };
    QCOMPARE(untimed(QByteArray(dry)
                             .replace(": would be ", ": done: ")
                             .replace("would be done", "done")),
            untimed(real.out));
    QVERIFY2(real.err.contains(":6: Garrick (tobin) -> quill: refused, nothing written\n"
                               "Character Duplication: "),
            real.err.constData());
    QCOMPARE(real.out.count(": done: "), 5);
}

// One JSON document: each line's outcome, the refusal with its caption and text, the totals.
void tst_Cli::transferJson()
{
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const Run run = cli({ "transfer", "--from", source, "--to", dest, "--account", "bram", "--json",
            "Wren", "Garrick" });
    QCOMPARE(run.status, 3);
    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(run.out, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonArray transfers = json[QLatin1String("transfers")].toArray();
    QCOMPARE(transfers.size(), 2);
    const QJsonObject done = transfers[0].toObject();
    QCOMPARE(done[QLatin1String("result")].toString(), QStringLiteral("done"));
    QCOMPARE(done[QLatin1String("character")].toString(), QStringLiteral("Wren"));
    QCOMPARE(done[QLatin1String("sourceAccount")].toString(), QStringLiteral("harald"));
    QCOMPARE(done[QLatin1String("record")].toInt(), 10);
    QCOMPARE(done[QLatin1String("serial")].toInt(), 11);
    QCOMPARE(done[QLatin1String("itemsWritten")].toInt(), 3);
    QCOMPARE(done[QLatin1String("itemsLeftBehind")].toInt(), 0);
    const QJsonObject refused = transfers[1].toObject();
    QCOMPARE(refused[QLatin1String("result")].toString(), QStringLiteral("refused"));
    QCOMPARE(refused[QLatin1String("caption")].toString(), QStringLiteral("Character Duplication"));
    QVERIFY(refused[QLatin1String("text")].toString().contains(QLatin1String("all ready")));
    const QJsonObject totals = json[QLatin1String("totals")].toObject();
    QCOMPARE(totals[QLatin1String("transfers")].toInt(), 1);
    QCOMPARE(totals[QLatin1String("items")].toInt(), 3);
    QCOMPARE(json[QLatin1String("stopped")][QLatin1String("reason")].toString(),
            QStringLiteral("refused"));
    QCOMPARE(json[QLatin1String("stopped")][QLatin1String("firstNotDone")].toString(),
            QStringLiteral("Garrick"));

    // A run that cannot begin is a document too, with the reason.
    const Run typo = cli(
            { "transfer", "--from", source, "--to", dest, "--account", "Quill", "--json", "Wren" });
    QCOMPARE(typo.status, 3);
    const QJsonObject stopped =
            QJsonDocument::fromJson(typo.out).object()[QLatin1String("stopped")].toObject();
    QCOMPARE(stopped[QLatin1String("reason")].toString(), QStringLiteral("refused"));
    QVERIFY(stopped[QLatin1String("text")].toString().contains(
            QLatin1String("did you mean \"quill\"?")));
}

// On a terminal, a batch's progress names its place in the batch.
void tst_Cli::batchShowsItsPosition()
{
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
        QSKIP("script(1) is needed to run the program at a terminal");
    QTemporaryDir temp;
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    QVERIFY(fixture::writeFile(batchFile, "harald\tWren\tquill\nmirelle\tSela Moor\tquill\n"));
    QStringList command = { QStringLiteral(CHARTRANSFER_CLI), "transfer", "--from",
        examples(QStringLiteral("source")), "--to", dest, "--batch", batchFile };
    for (QString &word : command)
        word = QLatin1Char('\'') + word + QLatin1Char('\'');
    QProcess process;
    process.start(QStringLiteral("script"),
            { "-qec", command.join(QLatin1Char(' ')), QProcess::nullDevice() });
    QVERIFY(process.waitForFinished(60000));
    const QByteArray shown = process.readAllStandardOutput();
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(shown.contains("\r\033[K2/2 Sela Moor: "), shown.constData());
    QVERIFY2(shown.contains("1 item moved") || shown.contains("2 transfers done, 6 items moved"),
            shown.constData());
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
    QTest::addColumn<QString>("says"); // SRC and DEST stand for the worlds
    QTest::addColumn<bool>("written"); // by a transfer before the one refused
    QTest::newRow("account limit") << QStringList{ "--account", "ostara", "Aldo Brand" } << 3
                                   << "Account limit: " << false;
    QTest::newRow("duplicate name") << QStringList{ "--account", "bram", "Garrick" } << 3
                                    << "Character Duplication: " << false;
    // A name that matches nothing is the operator's typo, not a world that disagrees.
    QTest::newRow("account in another case")
            << QStringList{ "--account", "Quill", "Wren" } << 3
            << "no account \"Quill\" in DEST/accounts.adm; did you mean \"quill\"?\n"
            << false;
    QTest::newRow("source account, two letters swapped")
            << QStringList{ "--source-account", "harlad", "--account", "quill", "Wren" } << 3
            << "no account \"harlad\" in SRC/accounts.adm; did you mean \"harald\"?\n"
            << false;
    QTest::newRow("right character, wrong source account")
            << QStringList{ "--source-account", "tobin", "--account", "quill", "Wren" } << 3
            << "no character \"Wren\" in the account tobin in SRC/ztpcs.wsc; \"Wren\" is a "
               "character of harald\n"
            << false;
    QTest::newRow("character, one letter left out")
            << QStringList{ "--source-account", "harald", "--account", "quill", "Aldo Bran" } << 3
            << "no character \"Aldo Bran\" in the account harald in SRC/ztpcs.wsc; did you mean "
               "\"Aldo Brand\"?\n"
            << false;
    QTest::newRow("character, every account searched")
            << QStringList{ "--account", "quill", "aldo brant" } << 3
            << "no character \"aldo brant\" in SRC/ztpcs.wsc (searched the accounts harald, "
               "mirelle, tobin); did you mean \"Aldo Brand\" (harald)?\n"
            << false;
    QTest::newRow("nothing like it") << QStringList{ "--account", "quill", "Nobody" } << 3
                                     << "(searched the accounts harald, mirelle, tobin)\n"
                                     << false;
    QTest::newRow("a typo in the second, the first not done")
            << QStringList{ "--account", "quill", "Wren", "Garick" } << 3
            << "did you mean \"Garrick\" (tobin)?\nNothing was written.\n"
            << false;
    QTest::newRow("second of two refused") << QStringList{ "--account", "bram", "Wren", "Garrick" }
                                           << 3 << "done before it: 1 line, the last Wren." << true;
}

void tst_Cli::refusalsWriteNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, says);
    QFETCH(bool, written);
    QTemporaryDir temp;
    const QString source = examples(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    QVERIFY(copyExample(QStringLiteral("destination"), dest));
    const QByteArray before = worldBytes(dest);
    const Run run = cli(QStringList{ "transfer", "--from", source, "--to", dest } + arguments);
    QCOMPARE(run.status, status);
    says.replace(QLatin1String("SRC"), source).replace(QLatin1String("DEST"), dest);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
    // Only worlds that contradict themselves are said not to agree, and the advice is the
    // terminal's, not the window's.
    QVERIFY2(!run.err.contains("agree") && !run.err.contains("elect the"), run.err.constData());
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

    // Two accounts of one name, the character in the second: the name stands for the first,
    // so this world really contradicts itself, and is said to.
    QTemporaryDir twice;
    QVERIFY(fixture::writeWorld(twice.path(), accounts + "SECTION ACCOUNT 2\n{\nNAME alice\n}\n",
            "SECTION CHARACTER 0\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 2\n}\n", items));
    const Run contradicts = cli({ "transfer", "--from", twice.path(), "--to", dest.path(),
            "--source-account", "alice", "--account", "alice", "Aldo", "--without-items" });
    QCOMPARE(contradicts.status, 3);
    QVERIFY2(contradicts.err.contains("its accounts and characters files do not agree"),
            contradicts.err.constData());
    QVERIFY2(contradicts.err.contains("Run the command again, or check its accounts.adm"),
            contradicts.err.constData());
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

    // list and check only read: they say what is pending and leave it; check counts it as
    // a problem.
    QVERIFY(interrupt());
    const QByteArray interrupted = worldBytes(dest);
    const QByteArray pending = "an interrupted transfer of \"Aldo Brand\" is pending (";
    const QByteArray undoes =
            QStringLiteral("): `chartransfer-cli recover %1` undoes it\n").arg(dest).toUtf8();
    const Run check = cli({ QStringLiteral("check"), dest });
    QCOMPARE(check.status, 1);
    QVERIFY2(check.out.contains(pending) && check.out.contains(undoes), check.out.constData());
    const Run list = cli({ QStringLiteral("list"), dest });
    QCOMPARE(list.status, 0);
    QVERIFY2(list.err.contains(pending) && list.err.contains(undoes), list.err.constData());
    QCOMPARE(worldBytes(dest), interrupted);
    QVERIFY(QFileInfo::exists(transfer::journalPath(dest)));

    // A dry run changes nothing, so it only refuses; recover undoes it.
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

    // A journal whose writing was cut short was never in place: a transfer removes it and
    // says so.
    QVERIFY(fixture::writeFile(transfer::journalPath(dest) + QStringLiteral(".new"), "CHAR"));
    const Run cleaned = cli({ "transfer", "--from", examples(QStringLiteral("source")), "--to",
            dest, "--account", "quill", "Wren" });
    QCOMPARE(cleaned.status, 0);
    QVERIFY2(cleaned.err.contains("chartransfer.journal.new, a journal whose writing was "
                                  "interrupted"),
            cleaned.err.constData());
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest) + QStringLiteral(".new")));
    // recover does the same.
    QVERIFY(fixture::writeFile(transfer::journalPath(dest) + QStringLiteral(".new"), "CHAR"));
    const Run recovered = cli({ QStringLiteral("recover"), dest });
    QCOMPARE(recovered.status, 0);
    QVERIFY2(recovered.out.contains("chartransfer.journal.new, a journal whose writing was "
                                    "interrupted"),
            recovered.out.constData());
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest) + QStringLiteral(".new")));
}

// A batch stopped by SIGINT or SIGTERM at many points: the summary says how many lines were
// done, standard output lists exactly those, and the destination holds exactly their
// appends, with no journal left.
void tst_Cli::interruptedBatch_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("afterLines"); // of standard output
    QTest::addColumn<int>("delay"); // milliseconds after them
    QTest::addColumn<bool>("twice"); // a second signal right after the first
    for (int lines : { 0, 1, 2, 3, 5, 8, 12 }) {
        for (int delay : { 0, 2 })
            QTest::addRow("SIGINT after %d lines, %d ms", lines, delay)
                    << int(SIGINT) << lines << delay << false;
    }
    QTest::newRow("SIGTERM at the start") << int(SIGTERM) << 0 << 0 << false;
    QTest::newRow("SIGTERM after 4 lines") << int(SIGTERM) << 4 << 1 << false;
    QTest::newRow("SIGINT twice after 2 lines") << int(SIGINT) << 2 << 0 << true;
    QTest::newRow("SIGINT twice after 6 lines") << int(SIGINT) << 6 << 1 << true;
}

void tst_Cli::interruptedBatch()
{
    QFETCH(int, signal);
    QFETCH(int, afterLines);
    QFETCH(int, delay);
    QFETCH(bool, twice);
    static QTemporaryDir temp;
    const QString source = temp.filePath(QStringLiteral("source"));
    const QString pristine = temp.filePath(QStringLiteral("pristine"));
    const QString batchFile = temp.filePath(QStringLiteral("batch.txt"));
    static QList<QByteArray> characterTexts;
    static QList<QByteArray> itemTexts;
    if (characterTexts.isEmpty()) {
        // Once: the worlds, a batch of every source character, and what each line appends.
        const auto generate = [&](const QString &dir, const char *seed, const char *accounts) {
            QProcess worldgen;
            worldgen.setStandardOutputFile(QProcess::nullDevice());
            worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN),
                    { dir, QStringLiteral("--seed"), QString::fromLatin1(seed),
                            QStringLiteral("--accounts"), QString::fromLatin1(accounts),
                            QStringLiteral("--characters"), QStringLiteral("30"),
                            QStringLiteral("--items"), QStringLiteral("3000") });
            return worldgen.waitForFinished(60000) && worldgen.exitCode() == 0;
        };
        QVERIFY(generate(source, "11", "10") && generate(pristine, "12", "40"));
        engine::Session session;
        engine::Progress quiet;
        engine::LoadListener none;
        engine::loadWorld(session, source, false, quiet, none);
        engine::loadWorld(session, pristine, true, quiet, none);
        const QStringList destAccounts = session.destAccounts.values();
        QByteArray batch;
        int line = 0;
        for (auto it = session.sourceChars.cbegin(); it != session.sourceChars.cend(); ++it) {
            for (const char_st &character : it.value()) {
                if (session.sourceAccounts.contains(it.key())) {
                    batch += (QStringList{ session.sourceAccounts.value(it.key()), character.name,
                                      destAccounts.at(line++ % destAccounts.size()) })
                                     .join(QLatin1Char('\t'))
                                     .toUtf8()
                            + '\n';
                }
            }
        }
        QVERIFY(fixture::writeFile(batchFile, batch));
        const Run dry = cli({ "transfer", "--from", source, "--to", pristine, "--batch", batchFile,
                "--dry-run", "--show" });
        // A line the generated worlds refuse ends the batch before it.
        if (dry.status == 3) {
            const qsizetype at = dry.err.indexOf(batchFile.toUtf8() + ':');
            const int refused = dry.err.mid(at + batchFile.size() + 1).split(':').value(0).toInt();
            QVERIFY(refused > 12);
            QVERIFY(fixture::writeFile(
                    batchFile, batch.split('\n').mid(0, refused - 1).join('\n') + '\n'));
        } else {
            QCOMPARE(dry.status, 0);
        }
        for (qsizetype at = dry.out.indexOf("\n--- "); at >= 0;
                at = dry.out.indexOf("\n--- ", at)) {
            const qsizetype end = dry.out.indexOf('\n', at + 1);
            const QByteArray head = dry.out.mid(at + 1, end - at - 1);
            if (head == "--- end") {
                at = end;
                continue;
            }
            const int size = head.split(' ').value(4).toInt();
            (head.contains("ztpcs.wsc") ? characterTexts : itemTexts) << dry.out.mid(end + 1, size);
            at = end + size;
        }
        QVERIFY(characterTexts.size() > 12);
        QCOMPARE(itemTexts.size(), characterTexts.size());
    }
    const int total = int(fixture::readFile(batchFile).count('\n'));
    QVERIFY(characterTexts.size() >= total);

    const QString dest = temp.filePath(QStringLiteral("dest"));
    QDir(dest).removeRecursively();
    QVERIFY(QDir().mkpath(dest));
    for (const QString &file : worldFiles)
        QVERIFY(QFile::copy(world::filePath(pristine, file), world::filePath(dest, file)));

    QProcess process;
    process.start(QStringLiteral(CHARTRANSFER_CLI),
            { "transfer", "--from", source, "--to", dest, "--batch", batchFile });
    QVERIFY(process.waitForStarted());
    QByteArray out;
    while (out.count('\n') < afterLines && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    // The signal is caught from the moment the run is about to touch a world; before that
    // it ends the program as usual, having done nothing. Wait for that moment.
    const auto catches = [&] {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("SigCgt:"))
                return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1) != 0;
        }
        return false;
    };
    while (!catches() && process.state() == QProcess::Running)
        QThread::usleep(200);
    QTest::qSleep(delay);
    ::kill(pid_t(process.processId()), signal);
    if (twice) {
        QTest::qSleep(1);
        ::kill(pid_t(process.processId()), signal);
    }
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    out += process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();

    int done = total;
    // A signal that came while lines were left stops the run before them.
    QVERIFY2(process.exitCode() != 0 || afterLines >= total - 1, err.constData());
    if (process.exitCode() != 0) {
        QCOMPARE(process.exitCode(), 128 + signal);
        const QByteArray said =
                QByteArray("stopped by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ": ";
        const qsizetype at = err.indexOf(said);
        QVERIFY2(at >= 0, err.constData());
        done = err.mid(at + said.size()).split(' ').value(0).toInt();
        QVERIFY2(err.contains(QStringLiteral(" of %1 lines done").arg(total).toUtf8()),
                err.constData());
        QVERIFY2(err.contains(QStringLiteral("the first not done: %1:%2 (")
                                      .arg(batchFile)
                                      .arg(done + 1)
                                      .toUtf8()),
                err.constData());
        if (done > 0) {
            QVERIFY2(
                    err.contains(
                            QStringLiteral(", the last %1:%2 (").arg(batchFile).arg(done).toUtf8()),
                    err.constData());
        }
    }
    QCOMPARE(int(out.count(": done: ")), done);
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest)));
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest) + QStringLiteral(".new")));
    QByteArray characters =
            fixture::readFile(world::filePath(pristine, world::charactersFileName()));
    QByteArray items = fixture::readFile(world::filePath(pristine, world::itemsFileName()));
    for (int line = 0; line < done; ++line) {
        characters += characterTexts.at(line);
        items += itemTexts.at(line);
    }
    QVERIFY(fixture::readFile(world::filePath(dest, world::charactersFileName())) == characters);
    QVERIFY(fixture::readFile(world::filePath(dest, world::itemsFileName())) == items);
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
                                       << "no character \"Nobody\" in " << true;
    QTest::newRow("wrong source account")
            << "examples" << QStringList{ "--source-account", "tobin", "Wren" } << false << 3
            << "\"Wren\" is a character of harald\n"
            << true;
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
            << "moves.txt:2: Sela Moor (mirelle) -> quill as Bo: refused, nothing written\n"
               "Character Duplication: The destination account all ready has a character by "
               "that name.\nStopped there; done before it: 1 line"
            << QByteArray();
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
