// Packages: a transfer from a package appends exactly what a transfer from the world it was
// exported from appends, for every character of several worlds; a changed package is
// refused; a package carries nothing of an account but its name.

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>

#include <unistd.h>

#include "engine/session.h"
#include "engine/transferrun.h"
#include "support/worldfixture.h"
#include "transfer/appendfile.h"
#include "transfer/package.h"
#include "world/worldformat.h"

namespace {

const QStringList worldFiles = { world::accountsFileName(), world::charactersFileName(),
    world::itemsFileName() };

QString examples(const QString &name)
{
    return QStringLiteral(EXAMPLES_DIR "/") + name;
}

bool generate(const QString &dir, const char *seed)
{
    QProcess worldgen;
    worldgen.setStandardOutputFile(QProcess::nullDevice());
    worldgen.start(QStringLiteral(CHARTRANSFER_WORLDGEN),
            { dir, QStringLiteral("--seed"), QString::fromLatin1(seed),
                    QStringLiteral("--accounts"), QStringLiteral("6"),
                    QStringLiteral("--characters"), QStringLiteral("16"), QStringLiteral("--items"),
                    QStringLiteral("600") });
    return worldgen.waitForFinished(60000) && worldgen.exitCode() == 0;
}

// A copy of a world with one more account, "arrivals", that has room for any character.
bool copyWithArrivals(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QString &name : worldFiles) {
        QByteArray bytes = fixture::readFile(world::filePath(from, name));
        if (name == world::accountsFileName())
            bytes += "\nSECTION ACCOUNT 9999\n{\nNAME arrivals\n}\n";
        if (!fixture::writeFile(world::filePath(to, name), bytes))
            return false;
    }
    return true;
}

// A hand-edited world with what the package must carry faithfully: CR LF lines, comments
// and blank lines before a brace, a name with a comment after it, a record that runs into
// the next one, a last line without its line feed, items left behind (in another player's
// container, in an item left behind, a key to another player's door, a key without a MORE
// line), an item two characters own, and account keys that must stay at home.
const QByteArray handAccounts = "// accounts\r\nSECTION ACCOUNT 1\r\n{\r\nPASSWORD secret\r\n"
                                "NAME alice // the first\r\nCONTACT alice@example.org\r\n}\r\n"
                                "SECTION ACCOUNT 2\n{\nNAME bob\nPASSWORD hunter2\n}\n";
const QByteArray handCharacters =
        "// characters\r\nSECTION CHARACTER 3\r\n// before the brace\r\n\r\n{\r\nSERIAL 100\r\n"
        "NAME Aldo  Brand\r\nACCOUNT 1 // alice\r\nOWN 100\r\nROBE 5000\r\n\tSTR 10\r\n}\r\n"
        "SECTION CHARACTER 4\n{\nSERIAL 101\nNAME Cara\nACCOUNT 2\n}\n"
        "SECTION CHARACTER 5\n{\nSERIAL 102\nNAME Dirk\nACCOUNT 2\nOWN 102\n"
        "SECTION CHARACTER 6\n{\nSERIAL 103\nNAME Eve\nACCOUNT 1\n}\n"
        "SECTION CHARACTER 7\n{\nSERIAL 104\nNAME Finn\nACCOUNT 1\n}";
const QByteArray handItems =
        "SECTION WORLDITEM 1\r\n{\r\nSERIAL 5000\r\nNAME robe // red\r\nOWNER 100\r\n"
        "CONT 100\r\n}\r\n"
        "SECTION WORLDITEM 2\n{\nSERIAL 5001\nOWNER 100\nCONT 9999\n}\n"
        "SECTION WORLDITEM 3\n{\nSERIAL 5002\nOWNER 100\nCONT 5001\nNAME in the chest\n}\n"
        "SECTION WORLDITEM 4\n{\nSERIAL 5003\nOWNER 100\nCONT 5000\nMORE 5000\nTYPE 7\n"
        "MORE 9998\n}\n"
        "SECTION WORLDITEM 5\n{\nSERIAL 5004\nOWNER 100\nOWNER 101\nCONT -1\n  AMOUNT   3 \n}\n"
        "SECTION WORLDITEM 6\n  // between\n{\nSERIAL 5005\nOWNER 101\nCONT 101\nTYPE 7\n}\n"
        "SECTION WORLDITEM 7\n{\nSERIAL 5006\nNAME nobody's\n}\n"
        "SECTION WORLDITEM 8\n{\nSERIAL 5007\nOWNER 100\nCONT 5004\n\tCOLOR  12 \n}\n"
        "SECTION WORLDITEM 9\n{\nSERIAL 5008\nOWNER 104\nCONT 104\n}";

engine::TransferOutcome dryRun(const QString &source, const QString &dest, const QString &account,
        const QString &character)
{
    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, source, false, quiet, none);
    engine::loadWorld(session, dest, true, quiet, none);
    engine::TransferSteps steps(quiet);
    return engine::runTransfer(
            session, { account, character, QStringLiteral("arrivals") }, steps, true);
}

// Every character of the world that can be named: its account's name leads to its account,
// and no earlier character of that account has its name.
QList<transfer::PackageRequest> namedCharacters(const engine::Session &session)
{
    QList<transfer::PackageRequest> requests;
    for (auto it = session.sourceChars.cbegin(); it != session.sourceChars.cend(); ++it) {
        int number = 0;
        const QString account = session.sourceAccounts.value(it.key());
        if (!world::findAccount(session.sourceAccounts, account, &number) || number != it.key())
            continue;
        for (const char_st &character : it.value()) {
            if (world::findCharacter(session.sourceChars, number, character.name)->offset
                    == character.offset)
                requests.append({ account, character.name });
        }
    }
    return requests;
}

bool exportTo(const engine::Session &session, const QList<transfer::PackageRequest> &requests,
        const QString &dir, transfer::PackageResult *package)
{
    engine::Progress quiet;
    *package = transfer::composePackage(session, requests, quiet);
    if (!package->refusal.isEmpty())
        return false;
    QString error;
    return transfer::writePackage(dir, package->files,
            transfer::packageManifest(*package, { QStringLiteral("test"), session.sourceDir, {} }),
            &error);
}

QString describe(const engine::TransferOutcome &outcome)
{
    return QStringLiteral("%1 %2: %3")
            .arg(int(outcome.result))
            .arg(outcome.message.caption, outcome.message.text);
}

} // namespace

class tst_Package : public QObject
{
    Q_OBJECT

private slots:
    void transferFromPackageEqualsDirect_data();
    void transferFromPackageEqualsDirect();
    void changedPackageIsRefused_data();
    void changedPackageIsRefused();
    void packageTargets_data();
    void packageTargets();
    void newNames_data();
    void newNames();
    void writeFailuresLeaveNothing_data();
    void writeFailuresLeaveNothing();
    void namesEncodingOfAWorld_data();
    void namesEncodingOfAWorld();
};

void tst_Package::transferFromPackageEqualsDirect_data()
{
    QTest::addColumn<QString>("world");
    QTest::newRow("examples") << "examples";
    QTest::newRow("generated") << "generated";
    QTest::newRow("hand-edited") << "hand-edited";
}

// The property: for every character, a transfer from a package of it alone, and from a
// package of all the characters, gives what a transfer from its world gives, byte for byte
// and number for number; and a character that a transfer refuses is refused at export with
// the same words.
void tst_Package::transferFromPackageEqualsDirect()
{
    QFETCH(QString, world);
    QTemporaryDir temp;
    QString source = temp.filePath(QStringLiteral("source"));
    const QString dest = temp.filePath(QStringLiteral("dest"));
    if (world == QLatin1String("examples")) {
        source = examples(QStringLiteral("source"));
        QVERIFY(copyWithArrivals(examples(QStringLiteral("destination")), dest));
    } else if (world == QLatin1String("generated")) {
        const QString generatedDest = temp.filePath(QStringLiteral("generated-dest"));
        QVERIFY(generate(source, "5") && generate(generatedDest, "6"));
        QVERIFY(copyWithArrivals(generatedDest, dest));
    } else {
        QVERIFY(QDir().mkpath(source));
        QVERIFY(fixture::writeWorld(source, handAccounts, handCharacters, handItems));
        QVERIFY(copyWithArrivals(examples(QStringLiteral("destination")), dest));
    }

    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, source, false, quiet, none);
    const QList<transfer::PackageRequest> everyone = namedCharacters(session);
    QVERIFY(everyone.size() >= 3);

    QList<transfer::PackageRequest> transferable;
    QHash<QString, engine::TransferOutcome> direct;
    int refused = 0;
    int leftBehind = 0;
    for (const transfer::PackageRequest &request : everyone) {
        const QString key = request.sourceAccount + QLatin1Char('/') + request.character;
        const engine::TransferOutcome outcome =
                dryRun(source, dest, request.sourceAccount, request.character);
        direct.insert(key, outcome);
        const QString package =
                temp.filePath(QStringLiteral("one-%1").arg(transferable.size() + refused));
        transfer::PackageResult packed;
        const bool exported = exportTo(session, { request }, package, &packed);
        if (outcome.result != engine::TransferResult::Done) {
            ++refused;
            QVERIFY2(!exported, qPrintable(key));
            QCOMPARE(packed.refusal.caption, outcome.message.caption);
            QCOMPARE(packed.refusal.text, outcome.message.text);
            QVERIFY(!QFileInfo::exists(package));
            continue;
        }
        QVERIFY2(exported, qPrintable(key + QLatin1String(": ") + packed.refusal.text));
        transferable.append(request);
        leftBehind += outcome.itemsLeftBehind;
        const engine::TransferOutcome fromPackage =
                dryRun(package, dest, request.sourceAccount, request.character);
        QVERIFY2(fromPackage.result == engine::TransferResult::Done,
                qPrintable(key + QLatin1String(": ") + describe(fromPackage)));
        QCOMPARE(fromPackage.characterText, outcome.characterText);
        QCOMPARE(fromPackage.itemsText, outcome.itemsText);
        QCOMPARE(fromPackage.newSection, outcome.newSection);
        QCOMPARE(fromPackage.newSerial, outcome.newSerial);
        QCOMPARE(fromPackage.itemsWritten, outcome.itemsWritten);
        QCOMPARE(fromPackage.itemsLeftBehind, outcome.itemsLeftBehind);
        QCOMPARE(packed.characters.value(0).items, outcome.itemsWritten);
        QVERIFY(transfer::damagedPackage(package).isEmpty());
    }
    // Each world has characters with items left behind; the hand-edited one has refusals.
    QVERIFY(leftBehind > 0 || world == QLatin1String("examples"));
    QCOMPARE(refused > 0, world == QLatin1String("hand-edited"));

    // One package of every character a transfer takes: each still arrives the same.
    const QString all = temp.filePath(QStringLiteral("all"));
    transfer::PackageResult packed;
    QVERIFY2(exportTo(session, transferable, all, &packed), qPrintable(packed.refusal.text));
    for (const transfer::PackageRequest &request : std::as_const(transferable)) {
        const engine::TransferOutcome &outcome =
                direct[request.sourceAccount + QLatin1Char('/') + request.character];
        const engine::TransferOutcome fromPackage =
                dryRun(all, dest, request.sourceAccount, request.character);
        QVERIFY2(fromPackage.result == engine::TransferResult::Done,
                qPrintable(request.character + QLatin1String(": ") + describe(fromPackage)));
        QCOMPARE(fromPackage.characterText, outcome.characterText);
        QCOMPARE(fromPackage.itemsText, outcome.itemsText);
        QCOMPARE(fromPackage.itemsLeftBehind, outcome.itemsLeftBehind);
    }

    // Of an account the package holds its number and name, nothing else.
    const QList<QByteArray> lines =
            fixture::readFile(world::filePath(all, world::accountsFileName())).split('\n');
    for (const QByteArray &line : lines) {
        QVERIFY2(line.isEmpty() || line == "{" || line == "}" || line.startsWith("NAME ")
                        || line.startsWith("SECTION ACCOUNT "),
                line.constData());
    }
    QVERIFY(!fixture::readFile(world::filePath(all, world::accountsFileName())).contains("alice@"));
}

void tst_Package::changedPackageIsRefused_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bytes"); // what replaces it; null: removed
    QTest::addColumn<QString>("says");
    QTest::newRow("item appended")
            << world::itemsFileName()
            << QByteArray("SECTION WORLDITEM 99\n{\nSERIAL 7\nOWNER 1\n}\n") << "ztitems.wsc holds";
    QTest::newRow("same size, other bytes")
            << world::charactersFileName() << QByteArray() << "ztpcs.wsc differs";
    QTest::newRow("accounts removed")
            << world::accountsFileName() << QByteArray() << "accounts.adm is missing";
    QTest::newRow("manifest cut") << transfer::packageManifestName() << QByteArray("{\"fil")
                                  << "cannot be read";
}

void tst_Package::changedPackageIsRefused()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, says);
    QTemporaryDir temp;
    const QString package = temp.filePath(QStringLiteral("package"));
    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, examples(QStringLiteral("source")), false, quiet, none);
    transfer::PackageResult packed;
    QVERIFY(exportTo(session, { { QStringLiteral("harald"), QStringLiteral("Aldo Brand") } },
            package, &packed));
    QVERIFY(transfer::damagedPackage(package).isEmpty());

    const QString path = world::filePath(package, file);
    QByteArray changed = fixture::readFile(path);
    if (QByteArray(QTest::currentDataTag()) == "item appended")
        changed += bytes;
    else if (QByteArray(QTest::currentDataTag()) == "same size, other bytes")
        changed.replace("STR 62", "STR 99");
    else
        changed = bytes;
    if (changed.isNull())
        QVERIFY(QFile::remove(path));
    else
        QVERIFY(fixture::writeFile(path, changed));
    const engine::Refusal refusal = transfer::damagedPackage(package);
    QCOMPARE(refusal.caption, QStringLiteral("Damaged Package"));
    QVERIFY2(refusal.text.contains(says), qPrintable(refusal.text));
}

void tst_Package::packageTargets_data()
{
    QTest::addColumn<QString>("target"); // under a fresh temporary folder
    QTest::addColumn<QByteArray>("fileInside"); // made inside the target first; null: none
    QTest::addColumn<bool>("written");
    QTest::newRow("new folder") << "package" << QByteArray() << true;
    QTest::newRow("empty folder") << "." << QByteArray() << true;
    QTest::newRow("folder with a file") << "." << QByteArray("notes.txt") << false;
    QTest::newRow("folder with a hidden file") << "." << QByteArray(".keep") << false;
    QTest::newRow("parent missing") << "no/package" << QByteArray() << false;
}

// A package goes into a new or empty folder, whole, or nowhere; nothing is left beside it.
void tst_Package::packageTargets()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, fileInside);
    QFETCH(bool, written);
    QTemporaryDir temp;
    const QString parent = temp.filePath(QStringLiteral("parent"));
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/empty")));
    const QString dir = target == QLatin1String(".") ? parent + QStringLiteral("/empty")
                                                     : parent + QLatin1Char('/') + target;
    if (!fileInside.isNull())
        QVERIFY(fixture::writeFile(dir + QLatin1Char('/') + QString::fromLatin1(fileInside), "x"));
    QCOMPARE(transfer::packageTargetProblem(dir).isEmpty(), written);

    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, examples(QStringLiteral("source")), false, quiet, none);
    transfer::PackageResult packed = transfer::composePackage(
            session, { { QStringLiteral("harald"), QStringLiteral("Wren") } }, quiet);
    QVERIFY(packed.refusal.isEmpty());
    QString error;
    const QByteArray manifest = transfer::packageManifest(packed, { "test", "source", {} });
    QCOMPARE(transfer::writePackage(dir, packed.files, manifest, &error), written);
    QCOMPARE(error.isEmpty(), written);
    QStringList expected = { QStringLiteral("empty") };
    if (written && target != QLatin1String("."))
        expected.append(target);
    QCOMPARE(QDir(parent).entryList(
                     QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
            expected);
    if (written) {
        QCOMPARE(fixture::readFile(world::filePath(dir, world::itemsFileName())),
                packed.files.items);
        QVERIFY(transfer::damagedPackage(dir).isEmpty());
        QCOMPARE(QJsonDocument::fromJson(
                         fixture::readFile(world::filePath(dir, transfer::packageManifestName())))
                         .object()
                         .value(QStringLiteral("characters"))
                         .toArray()
                         .size(),
                1);
    }
}

void tst_Package::newNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("bytes"); // what is written; null: refused
    QTest::addColumn<QString>("rule");
    const int utf8 = int(transfer::NameEncoding::Utf8);
    const int cp1252 = int(transfer::NameEncoding::Windows1252);
    QTest::newRow("plain") << "Aldo" << utf8 << QByteArray("Aldo") << "";
    QTest::newRow("two words") << "Aldo Brand" << cp1252 << QByteArray("Aldo Brand") << "";
    QTest::newRow("accent, UTF-8")
            << QString::fromUtf8("Zoë") << utf8 << QByteArray("Zo\xc3\xab") << "";
    QTest::newRow("accent, Windows-1252")
            << QString::fromUtf8("Zoë") << cp1252 << QByteArray("Zo\xeb") << "";
    QTest::newRow("euro, Windows-1252")
            << QString::fromUtf8("€uro") << cp1252 << QByteArray("\x80uro") << "";
    QTest::newRow("not in Windows-1252")
            << QString::fromUtf8("Ωmega") << cp1252 << QByteArray() << "cannot hold";
    QTest::newRow("empty") << "" << utf8 << QByteArray() << "empty";
    QTest::newRow("control character") << "Al\tdo" << utf8 << QByteArray() << "control";
    QTest::newRow("comment") << "Al//do" << utf8 << QByteArray() << "comment";
    QTest::newRow("leading blank") << " Aldo" << utf8 << QByteArray() << "begins or ends";
    QTest::newRow("trailing blank") << "Aldo " << utf8 << QByteArray() << "begins or ends";
    QTest::newRow("two blanks") << "Aldo  Brand" << utf8 << QByteArray() << "read the new name";
}

void tst_Package::newNames()
{
    QFETCH(QString, name);
    QFETCH(int, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, rule);
    QString loaded;
    const QString problem =
            transfer::newNameProblem(name, transfer::NameEncoding(encoding), &loaded);
    QVERIFY2(problem.contains(rule), qPrintable(problem));
    QCOMPARE(problem.isEmpty(), !bytes.isNull());
    if (!bytes.isNull())
        QCOMPARE(world::encode(loaded), bytes);
}

namespace {

// Counts the flushes and fails the one asked for, or every write.
int flushes = 0;
int failingFlush = 0;
bool writesFail = false;

int countingFsync(int fd)
{
    if (++flushes == failingFlush) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

ssize_t failingPwrite(int fd, const void *data, size_t size, off_t offset)
{
    if (writesFail) {
        errno = ENOSPC;
        return -1;
    }
    return ::pwrite(fd, data, size, offset);
}

} // namespace

void tst_Package::writeFailuresLeaveNothing_data()
{
    QTest::addColumn<int>("failingFlush"); // 0: none
    QTest::addColumn<bool>("writesFail");
    QTest::addColumn<QString>("says");
    QTest::newRow("disk full") << 0 << true << "No space left";
    QTest::newRow("a file's flush fails") << 2 << false << "Could not write";
    QTest::newRow("the folder's flush fails") << 5 << false << "Could not flush the folder";
    QTest::newRow("the flush after the rename fails") << 6 << false << "that holds";
}

// A package that cannot be written whole leaves nothing: no half package under its own name,
// no temporary folder beside it.
void tst_Package::writeFailuresLeaveNothing()
{
    QFETCH(int, failingFlush);
    QFETCH(bool, writesFail);
    QFETCH(QString, says);
    QTemporaryDir temp;
    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, examples(QStringLiteral("source")), false, quiet, none);
    const transfer::PackageResult packed = transfer::composePackage(
            session, { { QStringLiteral("harald"), QStringLiteral("Aldo Brand") } }, quiet);
    QVERIFY(packed.refusal.isEmpty());

    transfer::FileCalls &calls = transfer::fileCalls();
    const transfer::FileCalls saved = calls;
    flushes = 0;
    ::failingFlush = failingFlush;
    ::writesFail = writesFail;
    calls.fsync = countingFsync;
    calls.pwrite = failingPwrite;
    QString error;
    const bool written = transfer::writePackage(temp.filePath(QStringLiteral("package")),
            packed.files, transfer::packageManifest(packed, { "test", "source", {} }), &error);
    calls = saved;
    QVERIFY(!written);
    QVERIFY2(error.contains(says), qPrintable(error));
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{});
}

void tst_Package::namesEncodingOfAWorld_data()
{
    QTest::addColumn<QByteArray>("characters"); // null: no characters file
    QTest::addColumn<int>("encoding");
    const int utf8 = int(transfer::NameEncoding::Utf8);
    const int cp1252 = int(transfer::NameEncoding::Windows1252);
    QTest::newRow("no characters file") << QByteArray() << utf8;
    QTest::newRow("ASCII") << QByteArray("NAME Aldo\n") << utf8;
    QTest::newRow("UTF-8") << QByteArray("NAME Zo\xc3\xab\n") << utf8;
    QTest::newRow("Windows-1252") << QByteArray("NAME Zo\xeb\n") << cp1252;
    QTest::newRow("cut short at the end") << QByteArray("NAME Zo\xc3") << cp1252;
    QTest::newRow("overlong") << QByteArray("NAME \xc0\xaf\n") << cp1252;
    QTest::newRow("across a read block") << QByteArray((1 << 20) - 1, 'x') + "\xc3\xab\n" << utf8;
}

void tst_Package::namesEncodingOfAWorld()
{
    QFETCH(QByteArray, characters);
    QFETCH(int, encoding);
    QTemporaryDir temp;
    if (!characters.isNull())
        QVERIFY(fixture::writeFile(
                world::filePath(temp.path(), world::charactersFileName()), characters));
    QCOMPARE(int(transfer::nameEncodingOf(temp.path())), encoding);
}

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
