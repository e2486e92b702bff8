// Destination files that cannot be written, made in ways that stop root as well (the suite
// runs as root in CI, and root ignores permission bits): a read-only bind mount, the
// immutable and append-only attributes, a directory or a dangling symbolic link where a
// file belongs, and an unprivileged user. The transfer must say so and change nothing;
// the loaders stay quiet about a world they cannot read.
#include <QtTest>

#include <QFile>
#include <QProcess>

#include <cstdio>

#include "faults/faultsupport.h"
#include "world/worldformat.h"

using namespace faults;

namespace {

int rowsRun = 0;
int rowsSkipped = 0;

// A row this machine cannot set up; when every row is such, the suite exits with 77.
#define SKIP_ROW(message)                                                                          \
    do {                                                                                           \
        ++rowsSkipped;                                                                             \
        QSKIP(qPrintable(message));                                                                \
    } while (false)

bool run(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return ok;
}

// Takes the attribute off again whatever the test's outcome, so the folder can be removed.
struct Attribute
{
    QString path;
    QString flag;
    ~Attribute()
    {
        if (!path.isEmpty())
            run(QStringLiteral("chattr"), { QStringLiteral("-") + flag, path });
    }
};

} // namespace

class tst_Unwritable : public QObject
{
    Q_OBJECT

private slots:
    void init() { ++rowsRun; }
    void destination_data();
    void destination();
    void unreadableSource_data();
    void unreadableSource();
};

void tst_Unwritable::destination_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("fileName");
    const QString characters = world::charactersFileName();
    const QString items = world::itemsFileName();
    QTest::newRow("read-only-bind-mount") << "read-only-mount" << characters;
    QTest::newRow("immutable-characters-file") << "immutable" << characters;
    QTest::newRow("immutable-items-file") << "immutable" << items;
    QTest::newRow("append-only-characters-file") << "append-only" << characters;
    QTest::newRow("append-only-items-file") << "append-only" << items;
    QTest::newRow("directory-as-characters-file") << "directory" << characters;
    QTest::newRow("directory-as-items-file") << "directory" << items;
    QTest::newRow("dangling-link-as-characters-file") << "dangling-link" << characters;
    QTest::newRow("dangling-link-as-items-file") << "dangling-link" << items;
    QTest::newRow("unprivileged-user") << "unprivileged" << characters;
}

void tst_Unwritable::destination()
{
    QFETCH(QString, how);
    QFETCH(QString, fileName);

    // Attributes need a file system that has them: the temporary folder, not /dev/shm.
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/chartransfer-unwritable-XXXXXX"));
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    const QString dest = tmp.filePath(QStringLiteral("dest"));
    QVERIFY(write(source, sourceWorld()));
    QVERIFY(write(dest, destinations().at(3).world)); // a world with records and items
    const QString path = world::filePath(dest, fileName);
    const QString linkTarget = tmp.filePath(QStringLiteral("gone/target"));

    Attribute attribute;
    QString output;
    if (how == QLatin1String("immutable") || how == QLatin1String("append-only")) {
        const QString flag =
                how == QLatin1String("immutable") ? QStringLiteral("i") : QStringLiteral("a");
        if (!run(QStringLiteral("chattr"), { QStringLiteral("+") + flag, path }, &output))
            SKIP_ROW(QStringLiteral("chattr +%1 is not possible here: %2").arg(flag, output));
        attribute.path = path;
        attribute.flag = flag;
    } else if (how == QLatin1String("directory")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    } else if (how == QLatin1String("dangling-link")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(linkTarget, path));
    } else if (how == QLatin1String("unprivileged")) {
        // Readable to everyone, writable by root only.
        for (const QString &dir : { tmp.path(), source, dest })
            QVERIFY(QFile::setPermissions(dir,
                    QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup
                            | QFile::ExeGroup));
    }

    const WorldBytes sourceBefore = snapshot(source);
    const WorldBytes destBefore = snapshot(dest);
    const QStringList arguments = transferArguments(source, dest, QStringLiteral("newbie"));
    const int timeout = int(20000 * timeScale());
    QStringList wrapper;
    if (how == QLatin1String("read-only-mount")) {
        QString why;
        if (!canMountPrivately(&why))
            SKIP_ROW(QStringLiteral("no private mount namespace here: ") + why);
        wrapper = QStringList{ QStringLiteral("unshare"), QStringLiteral("--mount"),
            QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("sh"),
            QStringLiteral("-c"),
            QStringLiteral("set -e; mount --bind '%1' '%1'; "
                           "mount -o remount,bind,ro '%1'; exec \"$@\"")
                    .arg(dest),
            QStringLiteral("sh") };
    } else if (how == QLatin1String("unprivileged")) {
        wrapper = QStringList{ QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
            QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups") };
    }
    const Run result = runDriver(arguments, {}, timeout, wrapper);
    QVERIFY2(!result.crashed && !result.timedOut, qPrintable(result.describe()));
    QVERIFY2(result.warned(), qPrintable(QStringLiteral("no warning: ") + result.describe()));
    QVERIFY2(!result.output.contains(QLatin1String("CURSOR left")), qPrintable(result.describe()));
    const WorldBytes destAfter = snapshot(dest);
    QVERIFY2(destBefore.differences(destAfter).isEmpty(),
            qPrintable(
                    QStringLiteral("destination changed: ") + destBefore.differences(destAfter)));
    const WorldBytes sourceAfter = snapshot(source);
    QVERIFY2(sourceBefore.differences(sourceAfter).isEmpty(),
            qPrintable(QStringLiteral("source changed: ") + sourceBefore.differences(sourceAfter)));
    // Nothing was made through the link either.
    QVERIFY2(!QFileInfo::exists(linkTarget), "a file was created where the link points");
    if (how == QLatin1String("directory"))
        QVERIFY(QFileInfo(path).isDir());
    bool named = false;
    for (const auto &box : result.boxes)
        named = named || box.second.contains(fileName);
    QVERIFY2(named,
            qPrintable(QStringLiteral("no box names %1: %2").arg(fileName, result.describe())));
}

void tst_Unwritable::unreadableSource_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("fileName");
    for (const QString &fileName : { world::accountsFileName(), world::charactersFileName() }) {
        for (const char *how : { "directory", "dangling-link", "unprivileged" })
            QTest::addRow("%s-as-%s-file", how,
                    fileName == world::accountsFileName() ? "accounts" : "characters")
                    << QString::fromLatin1(how) << fileName;
    }
}

// A world whose files cannot be read loads as far as it can, without a message.
void tst_Unwritable::unreadableSource()
{
    QFETCH(QString, how);
    QFETCH(QString, fileName);
    QTemporaryDir tmp(scratchTemplate());
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    QVERIFY(write(source, sourceWorld()));
    const QString path = world::filePath(source, fileName);
    QStringList wrapper;
    if (how == QLatin1String("directory")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path));
    } else if (how == QLatin1String("dangling-link")) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("gone")), path));
    } else {
        // The folders open to everyone, the file to nobody but root.
        for (const QString &dir : { tmp.path(), source })
            QVERIFY(QFile::setPermissions(
                    dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        wrapper = QStringList{ QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
            QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups") };
    }
    const WorldBytes before = snapshot(source);
    const Run result = runDriver({ QStringLiteral("--source"), source, QStringLiteral("--dest"),
                                         source, QStringLiteral("--load-only") },
            {}, int(20000 * timeScale()), wrapper);
    QVERIFY2(result.exitCode == 0 && !result.crashed, qPrintable(result.describe()));
    QVERIFY2(result.boxes.isEmpty(), qPrintable(result.describe()));
    // Without the accounts nothing shows; without the characters the accounts do.
    const bool accountsShown = result.output.contains(QLatin1String("TREE source\tharald\t\n"));
    QCOMPARE(accountsShown, fileName != world::accountsFileName());
    QVERIFY2(!result.output.contains(QLatin1String("Aldo Brand")), qPrintable(result.output));
    QVERIFY2(before.differences(snapshot(source)).isEmpty(), "the world changed");
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tst_Unwritable test;
    const int result = QTest::qExec(&test, argc, argv);
    if (result == 0 && rowsRun > 0 && rowsSkipped == rowsRun) {
        std::printf("SKIP: nothing of this suite can be set up on this machine\n");
        return 77;
    }
    return result;
}

#include "tst_unwritable.moc"
