// chartransfer-cli merge, run as a user runs it, on copies of the example worlds and of
// generated ones: a merge must equal the same work done by hand, or write nothing at all.

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "support/worldfixture.h"
#include "transfer/worldlock.h"
#include "world/worldformat.h"

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run cli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(CHARTRANSFER_CLI), arguments);
    Run run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

const QStringList worldFiles = { world::accountsFileName(), world::charactersFileName(),
    world::itemsFileName() };

bool copyWorld(const QString &from, const QString &dir)
{
    if (!QDir().mkpath(dir))
        return false;
    for (const QString &file : worldFiles) {
        if (!QFile::copy(world::filePath(from, file), world::filePath(dir, file)))
            return false;
    }
    return true;
}

QString examples(const QString &name)
{
    return QStringLiteral(EXAMPLES_DIR "/") + name;
}

bool generate(const QString &dir, const QStringList &arguments)
{
    QProcess worldgen;
    worldgen.setStandardOutputFile(QProcess::nullDevice());
    worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN), QStringList{ dir } + arguments);
    return worldgen.waitForFinished(60000) && worldgen.exitCode() == 0;
}

QByteArray worldBytes(const QString &dir)
{
    QByteArray all;
    for (const QString &file : worldFiles)
        all += fixture::readFile(world::filePath(dir, file)) + '\0';
    return all;
}

// The lines of an accounts file from the "{" after the header "SECTION ACCOUNT <number>" to
// the next "}" line, as they stand: what a created account's record holds.
QByteArray accountBody(const QByteArray &file, int number)
{
    const QByteArray header = "SECTION ACCOUNT " + QByteArray::number(number);
    qsizetype at = 0;
    while (at < file.size()) {
        const qsizetype end = file.indexOf('\n', at);
        const QByteArray line = file.mid(at, end < 0 ? -1 : end - at).trimmed();
        at = end < 0 ? file.size() : end + 1;
        if (line == header)
            break;
    }
    const qsizetype brace = file.indexOf("{", at);
    qsizetype close = file.indexOf("\n}", brace);
    if (brace < 0 || close < 0)
        return QByteArray();
    close = file.indexOf('\n', close + 1);
    return file.mid(brace, close < 0 ? -1 : close + 1 - brace);
}

// Edits a world file in place: replaces the first `from` with `to`.
bool edit(const QString &path, const QByteArray &from, const QByteArray &to)
{
    QByteArray bytes = fixture::readFile(path);
    const qsizetype at = bytes.indexOf(from);
    if (at < 0)
        return false;
    bytes.replace(at, from.size(), to);
    return fixture::writeFile(path, bytes);
}

} // namespace

class tst_Merge : public QObject
{
    Q_OBJECT

private slots:
    void equalsByHand_data();
    void equalsByHand();
    void conflicts_data();
    void conflicts();
    void dryRunWritesNothing();
    void busyAndUnreadable();

private:
    QTemporaryDir m_dir;
};

void tst_Merge::equalsByHand_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("options");

    QTest::newRow("examples, every account") << "examples" << QStringList();
    // The order of --account does not matter: accounts merge in the source's order.
    QTest::newRow("examples, two accounts")
            << "examples" << QStringList{ "--account", "tobin", "--account", "harald" };
    // quill (no characters) is renamed harald in the destination and joined.
    QTest::newRow("examples, one joined") << "joined" << QStringList{ "--join-existing" };
    QTest::newRow("generated worlds") << "generated" << QStringList();
}

void tst_Merge::equalsByHand()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, options);
    const QString base = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const QString source = base + "/source";
    const QString merged = base + "/merged";
    const QString byHand = base + "/byhand";
    if (kind == QLatin1String("generated")) {
        QVERIFY(QDir().mkpath(base));
        QVERIFY(generate(
                source, { "--preset", "small", "--unique-names", "--consistent", "--seed", "3" }));
        QVERIFY(generate(merged,
                { "--preset", "small", "--unique-names", "--consistent", "--seed", "4",
                        "--account-prefix", "east" }));
        QVERIFY(copyWorld(merged, byHand));
    } else {
        QVERIFY(copyWorld(examples("source"), source));
        QVERIFY(copyWorld(examples("destination"), merged));
        QVERIFY(copyWorld(examples("destination"), byHand));
        if (kind == QLatin1String("joined")) {
            for (const QString &dir : { merged, byHand })
                QVERIFY(edit(world::filePath(dir, world::accountsFileName()), "NAME quill",
                        "NAME harald"));
        }
    }

    const Run run =
            cli(QStringList{ "merge", "--from", source, "--to", merged, "--json" } + options);
    QCOMPARE(run.status, 0);
    const QJsonObject plan = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(plan.value("result").toString(), QStringLiteral("done"));

    // By hand: the created account records appended with the merge's numbers, then the
    // characters transferred one by one, in the merge's order.
    const QByteArray sourceAccounts =
            fixture::readFile(world::filePath(source, world::accountsFileName()));
    QByteArray accountsText;
    QByteArray batch;
    int characters = 0;
    for (const QJsonValue &value : plan.value("accounts").toArray()) {
        const QJsonObject account = value.toObject();
        const QByteArray name = account.value("name").toString().toLatin1();
        if (account.value("created").toBool()) {
            const QByteArray body =
                    accountBody(sourceAccounts, account.value("sourceRecord").toInt());
            QVERIFY(!body.isEmpty());
            accountsText += "\n//********Merged Account***********\n\nSECTION ACCOUNT "
                    + QByteArray::number(account.value("record").toInt()) + '\n' + body;
        }
        for (const QJsonValue &character : account.value("characters").toArray()) {
            batch += name + '\t' + character.toObject().value("name").toString().toLatin1() + '\t'
                    + name + '\n';
            ++characters;
        }
    }
    QVERIFY(characters > 0);
    QCOMPARE(plan.value("totals").toObject().value("characters").toInt(), characters);
    const QString accountsPath = world::filePath(byHand, world::accountsFileName());
    QVERIFY(fixture::writeFile(accountsPath, fixture::readFile(accountsPath) + accountsText));
    const QString batchPath = base + "/batch.txt";
    QVERIFY(fixture::writeFile(batchPath, batch));
    const Run transfers =
            cli({ "transfer", "--from", source, "--to", byHand, "--batch", batchPath });
    QVERIFY2(transfers.status == 0, transfers.err.constData());

    for (const QString &file : worldFiles) {
        const QByteArray a = fixture::readFile(world::filePath(merged, file));
        const QByteArray b = fixture::readFile(world::filePath(byHand, file));
        QVERIFY2(a == b, qPrintable(file));
    }
    QVERIFY(!QFileInfo::exists(world::filePath(merged, "chartransfer.journal")));
    const Run check = cli({ "check", merged });
    QVERIFY2(check.status == 0, check.out.right(2000).constData());
}

void tst_Merge::conflicts_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("account exists") << "dest:NAME quill>NAME harald" << QStringList()
                                    << QStringList{ "Account Exists: the destination already "
                                                    "has an account \"harald\" (record 3)" };
    QTest::newRow("limit when joined")
            << "source:NAME harald>NAME ostara" << QStringList{ "--join-existing" }
            << QStringList{ "Account limit: the account \"ostara\" would hold 7 characters" };
    QTest::newRow("duplicate when joined")
            << "source:NAME tobin>NAME bram" << QStringList{ "--join-existing" }
            << QStringList{ "Character Duplication: the account \"bram\" would hold two "
                            "characters named \"Garrick\"" };
    // Every conflict is listed, not only the first.
    QTest::newRow("several at once")
            << "source:NAME tobin>NAME bram;dest:NAME quill>NAME harald" << QStringList()
            << QStringList{ "Account Exists: the destination already has an account \"bram\"",
                   "Account Exists: the destination already has an account \"harald\"" };
    QTest::newRow("unknown account") << "" << QStringList{ "--account", "nobody" }
                                     << QStringList{ "has no account named \"nobody\"" };
    QTest::newRow("created account over the limit")
            << "source:END>SECTION CHARACTER 50\n{\nSERIAL 50\nNAME Extra One\nACCOUNT 0\n}\n"
               "SECTION CHARACTER 51\n{\nSERIAL 51\nNAME Extra Two\nACCOUNT 0\n}\n;"
               "source:ACCOUNT 1\n>ACCOUNT 0\n;source:ACCOUNT 2\n>ACCOUNT 0\n"
            << QStringList()
            << QStringList{ "Account limit: the account \"harald\" would hold 6 characters (0 "
                            "already in the destination, 6 from the source)" };
    // A damaged record refuses with the text a transfer of that character gives.
    QTest::newRow("damaged character")
            << "source:NAME Aldo Brand\n>NAME Aldo Brand\nSECTION CHARACTER 77\n"
            << QStringList() << QStringList{ "transfer:harald:Aldo Brand" };
    QTest::newRow("account record without its brace")
            << "source:CONTACT mirelle@greymoor.example\n}\n>CONTACT mirelle@greymoor.example\n"
            << QStringList() << QStringList{ "Damaged World: the account \"mirelle\"" };
    // A UTF-8 name copied into a Windows-1252 accounts file would read as other letters.
    QTest::newRow("account name in another encoding")
            << "source:NAME mirelle>NAME mir\xc3\x83\xc2\xa9lle;dest:NAME quill>NAME qu\xc3\xa9ll"
            << QStringList()
            << QStringList{ "Encoding Mismatch: the account \"mir\xc3\xa9lle\" cannot be copied: "
                            "its text holds letters beyond ASCII in UTF-8" };
    // The same name into a UTF-8 destination is no conflict: only the planted one is.
    QTest::newRow("account name in the same encoding")
            << "source:NAME mirelle>NAME mir\xc3\x83\xc2\xa9lle;dest:NAME bram>NAME "
               "br\xc3\x83\xc2\xa1m;dest:NAME quill>NAME harald"
            << QStringList()
            << QStringList{ "1 conflict found",
                   "Account Exists: the destination already has an account \"harald\"" };
    // Forgetting the items file is the likeliest mistake; the characters would arrive bare.
    QTest::newRow("source without items") << "source:items:REMOVE>" << QStringList()
                                          << QStringList{ "1 conflict found",
                                                 "Missing Items: the source world has no "
                                                 "ztitems.wsc, so its 4 characters would" };
    QTest::newRow("source without items, allowed")
            << "source:items:REMOVE>;dest:NAME quill>NAME harald"
            << QStringList{ "--without-items" }
            << QStringList{ "1 conflict found",
                   "Account Exists: the destination already has an "
                   "account \"harald\"" };
    QTest::newRow("destination items cut off")
            << "dest:items:END>SECTION WORLDITEM 999\n{\nSERIAL 5\n"
            << QStringList() << QStringList{ "ztitems.wsc ends inside a record" };
    // A created account appended there would become part of the cut-off record.
    QTest::newRow("destination accounts cut off")
            << "dest:accounts:END>SECTION ACCOUNT 99\n{\nNAME half\n"
            << QStringList() << QStringList{ "accounts.adm ends inside a record" };
}

void tst_Merge::conflicts()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);
    const QString base = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const QString source = base + "/source";
    const QString dest = base + "/dest";
    QVERIFY(copyWorld(examples("source"), source));
    QVERIFY(copyWorld(examples("destination"), dest));
    for (const QString &step : damage.split(';', Qt::SkipEmptyParts)) {
        const QString where = step.section(':', 0, 0);
        QString rest = step.section(':', 1);
        QString file = world::charactersFileName();
        if (rest.startsWith("items:")) {
            file = world::itemsFileName();
            rest = rest.mid(6);
        } else if (rest.startsWith("accounts:")) {
            file = world::accountsFileName();
            rest = rest.mid(9);
        } else if (rest.startsWith("NAME ") && !rest.startsWith("NAME Aldo")) {
            file = world::accountsFileName();
        } else if (rest.startsWith("CONTACT")) {
            file = world::accountsFileName();
        }
        const QString path = world::filePath(where == "dest" ? dest : source, file);
        const QByteArray from = rest.section('>', 0, 0).toLatin1();
        const QByteArray to = rest.section('>', 1).toLatin1();
        if (from == "REMOVE")
            QVERIFY(QFile::remove(path));
        else if (from == "END")
            QVERIFY(fixture::writeFile(path, fixture::readFile(path) + to));
        else
            QVERIFY2(edit(path, from, to), qPrintable(step));
    }
    const QByteArray before = worldBytes(dest);

    const Run run = cli(QStringList{ "merge", "--from", source, "--to", dest } + options);
    QCOMPARE(run.status, 3);
    QVERIFY(run.err.contains("The merge was refused, nothing was written"));
    for (QString want : expected) {
        if (want.startsWith("transfer:")) {
            // What the transfer of that character says about its record.
            const Run transfer = cli(
                    { "transfer", "--from", source, "--to", dest, "--dry-run", "--source-account",
                            want.section(':', 1, 1), "--account", "quill", want.section(':', 2) });
            QCOMPARE(transfer.status, 3);
            const QString text = QString::fromLocal8Bit(transfer.err);
            const qsizetype from = text.indexOf(world::filePath(source, "ztpcs.wsc, line"));
            const qsizetype to = text.indexOf(". Nothing was written");
            QVERIFY(from > 0 && to > from);
            want = text.mid(from, to - from);
        }
        QVERIFY2(QString::fromLocal8Bit(run.err).contains(want),
                qPrintable(QString::fromLocal8Bit(run.err) + "\nwanted: " + want));
    }
    QCOMPARE(worldBytes(dest), before);
    QVERIFY(!QFileInfo::exists(world::filePath(dest, "chartransfer.journal")));

    // As one JSON document, the same conflicts.
    const Run json =
            cli(QStringList{ "merge", "--from", source, "--to", dest, "--json" } + options);
    QCOMPARE(json.status, 3);
    const QJsonObject document = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(document.value("result").toString(), QStringLiteral("refused"));
    QCOMPARE(document.value("conflicts").toArray().size(), qsizetype(run.err.count("\n  ")));
    QCOMPARE(worldBytes(dest), before);
}

void tst_Merge::dryRunWritesNothing()
{
    const QString source = m_dir.filePath("dry/source");
    const QString dest = m_dir.filePath("dry/dest");
    QVERIFY(copyWorld(examples("source"), source));
    QVERIFY(copyWorld(examples("destination"), dest));
    const QStringList before = QDir(dest).entryList(QDir::AllEntries | QDir::Hidden);
    const QByteArray bytes = worldBytes(dest);

    const Run run = cli({ "merge", "--from", source, "--to", dest, "--dry-run" });
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.contains("account harald: created as record 4 (source record 0)\n"
                             "    Aldo Brand: record 10, serial 11; 11 items moved, 0 left "
                             "behind\n"));
    QVERIFY(run.out.contains("new numbers: account records 4 to 6; character records 10 to "
                             "13, serials 11 to 14; item records 25 to 44"));
    QVERIFY(run.out.contains("would merge 3 accounts (3 created, 0 joined), 4 characters, 20 "
                             "items moved, 0 left behind"));
    const Run json = cli({ "merge", "--from", source, "--to", dest, "--dry-run", "--json" });
    QCOMPARE(json.status, 0);
    const QJsonObject document = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(document.value("dryRun").toBool(), true);
    QCOMPARE(document.value("totals").toObject().value("items").toInt(), 20);
    QCOMPARE(document.value("numbers")
                     .toObject()
                     .value("characterRecords")
                     .toObject()
                     .value("last")
                     .toInt(),
            13);
    QCOMPARE(worldBytes(dest), bytes);
    QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden), before);
}

void tst_Merge::busyAndUnreadable()
{
    const QString source = m_dir.filePath("busy/source");
    const QString dest = m_dir.filePath("busy/dest");
    QVERIFY(copyWorld(examples("source"), source));
    QVERIFY(copyWorld(examples("destination"), dest));
    const QByteArray bytes = worldBytes(dest);
    {
        transfer::WorldLock lock;
        QVERIFY(lock.acquire(dest));
        const Run run = cli({ "merge", "--from", source, "--to", dest });
        QCOMPARE(run.status, 3);
        QVERIFY(run.err.contains("World Busy"));
        QCOMPARE(worldBytes(dest), bytes);
    }
    const Run missing = cli({ "merge", "--from", m_dir.filePath("nowhere"), "--to", dest });
    QCOMPARE(missing.status, 6);
    const Run usage = cli({ "merge", "--from", source, "--to", dest, "--batch", "x" });
    QCOMPARE(usage.status, 2);
    const Run same = cli({ "merge", "--from", dest, "--to", dest });
    QCOMPARE(same.status, 3);
    QCOMPARE(worldBytes(dest), bytes);
}

QTEST_GUILESS_MAIN(tst_Merge)
#include "tst_merge.moc"
