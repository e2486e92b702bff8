// Transfers onto a real, nearly full file system: a small tmpfs mounted in a private mount
// namespace, filled so that exactly so many bytes are left. The kernel then writes what
// fits and refuses the rest, as it does when a server's disk fills up.
#include <QtTest>

#include <cstdio>
#include <cstring>

#include "faults/faultsupport.h"
#include "support/worldfixture.h"
#include "transfer/journal.h"
#include "world/worldformat.h"

using namespace faults;

class tst_FullDisk : public QObject
{
    Q_OBJECT

private slots:
    void fullDisk_data();
    void fullDisk();
};

namespace {

constexpr qint64 PageSize = 4096;

// The file made `slack` bytes short of a whole number of pages by a comment line at its
// start, which changes no record: appending more than `slack` bytes then needs a new page.
QByteArray withSlack(const QByteArray &content, qint64 slack)
{
    const qint64 minimum = content.size() + 4; // "//" + at least one byte + LF
    qint64 size = ((minimum + slack + PageSize - 1) / PageSize) * PageSize - slack;
    if (size < minimum)
        size += PageSize;
    return "//" + QByteArray(size - content.size() - 3, 'x') + "\n" + content;
}

const char *const script = R"(
set -e
mount -t tmpfs -o size=1m tmpfs "$MNT"
mkdir "$MNT/dest"
for f in accounts.adm ztpcs.wsc ztitems.wsc; do
    if [ -e "$WORLD/$f" ]; then cp "$WORLD/$f" "$MNT/dest/$f"; fi
done
# Every free page taken: what is left is the unused end of each file's last page, and the
# pages the transfer journal takes (it is written before anything is appended).
if [ "$JOURNAL_PAGES" -gt 0 ]; then
    dd if=/dev/zero of="$MNT/journal-room" bs=4096 count="$JOURNAL_PAGES" >/dev/null 2>&1
fi
dd if=/dev/zero of="$MNT/filler" bs=4096 >/dev/null 2>&1 || true
rm -f "$MNT/journal-room"
set +e
"$DRIVER" --source "$SOURCE" --dest "$MNT/dest" --character "$CHARACTER" --account "$ACCOUNT" \
    --timeout-ms "$TIMEOUT" >"$OUT/driver.out" 2>"$OUT/driver.err"
echo $? >"$OUT/rc"
mkdir -p "$OUT/after"
for f in accounts.adm ztpcs.wsc ztitems.wsc; do
    if [ -e "$MNT/dest/$f" ]; then cp "$MNT/dest/$f" "$OUT/after/$f"; fi
done
)";

} // namespace

void tst_FullDisk::fullDisk_data()
{
    QTest::addColumn<QString>("destinationTag");
    // How much room is left: none, a few bytes, one byte less than an append needs, or
    // exactly what both appends need.
    QTest::addColumn<QString>("room");

    for (const char *tag : { "records-and-items", "last-line-without-line-feed" }) {
        for (const char *room : { "no-free-space", "a-few-bytes", "one-byte-short-for-characters",
                     "one-byte-short-for-items", "exactly-enough", "no-room-for-the-journal" })
            QTest::addRow("%s-%s", tag, room)
                    << QString::fromLatin1(tag) << QString::fromLatin1(room);
    }
    for (const char *tag : { "empty-files", "missing-files" })
        QTest::addRow("%s-no-free-space", tag)
                << QString::fromLatin1(tag) << QStringLiteral("no-free-space");
}

void tst_FullDisk::fullDisk()
{
    QFETCH(QString, destinationTag);
    QFETCH(QString, room);
    Destination destination;
    for (const Destination &d : destinations()) {
        if (QLatin1String(d.tag) == destinationTag)
            destination = d;
    }
    QVERIFY(destination.tag);
    const QString account = targetAccount(destination);

    QTemporaryDir tmp(scratchTemplate());
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    QVERIFY(write(source, sourceWorld()));

    // How many bytes each append takes, from the same transfer on an ordinary folder.
    const QString plain = tmp.filePath(QStringLiteral("plain"));
    QVERIFY(write(plain, destination.world));
    const WorldBytes plainBefore = snapshot(plain);
    const Run reference = runDriver(transferArguments(source, plain, account));
    QVERIFY2(reference.transferred(), qPrintable(reference.describe()));
    const WorldBytes plainAfter = snapshot(plain);
    const auto grown = [&](const QString &name) {
        return plainAfter.files.value(name).size() - plainBefore.files.value(name).size();
    };
    const qint64 needCharacters = grown(world::charactersFileName());
    const qint64 needItems = grown(world::itemsFileName());
    QVERIFY(needCharacters > 0 && needItems > 0);

    // Room for each file: the slack of its last page, with no free page in the file system.
    qint64 charactersSlack = 0;
    qint64 itemsRoom = 0;
    bool expectSuccess = false;
    if (room == QLatin1String("a-few-bytes")) {
        charactersSlack = 7;
        itemsRoom = 7;
    } else if (room == QLatin1String("one-byte-short-for-characters")) {
        charactersSlack = needCharacters - 1;
        itemsRoom = needItems;
    } else if (room == QLatin1String("one-byte-short-for-items")) {
        charactersSlack = needCharacters;
        itemsRoom = needItems - 1;
    } else if (room == QLatin1String("exactly-enough")) {
        charactersSlack = needCharacters;
        itemsRoom = needItems;
        expectSuccess = true;
    }
    // The journal holds both appends, a digest of each file and a few hundred bytes about
    // them; without its pages the transfer is refused before it appends anything. Its size
    // depends a little on the digits of the files' device and inode numbers. The world's
    // lock file, which names the process that holds it, takes a page of its own.
    const auto journalPagesWith = [&](quint64 identity) {
        const auto appended = [&](const QString &name) {
            return plainAfter.files.value(name).mid(plainBefore.files.value(name).size());
        };
        transfer::Journal journal{ sourceCharacter(), source,
            { { world::charactersFileName(), 0, true, identity, identity,
                      appended(world::charactersFileName()) },
                    { world::itemsFileName(), 0, true, identity, identity,
                            appended(world::itemsFileName()) } } };
        for (transfer::JournalFile &file : journal.files)
            file.digest = QByteArray(40, '0');
        return (transfer::journalSize(journal) + PageSize - 1) / PageSize;
    };
    if (journalPagesWith(0) != journalPagesWith(~quint64(0)))
        QSKIP("the journal ends too near a page boundary to leave room for it exactly");
    const qint64 lockPages = 1;
    const qint64 journalPages =
            room == QLatin1String("no-room-for-the-journal") ? 0 : lockPages + journalPagesWith(0);
    QVERIFY2(needCharacters < PageSize && needItems < PageSize,
            "an append needs more than a page: the room left cannot be set exactly");
    World world = destination.world;
    if (!world.characters.isNull() && !world.characters.isEmpty())
        world.characters = withSlack(world.characters, charactersSlack);
    if (!world.items.isNull() && !world.items.isEmpty())
        world.items = withSlack(world.items, itemsRoom);

    const QString before = tmp.filePath(QStringLiteral("before"));
    QVERIFY(write(before, world));
    const WorldBytes destBefore = snapshot(before);
    const WorldBytes sourceBefore = snapshot(source);
    const QString out = tmp.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("mnt"))));

    int exitCode = -1;
    QString error;
    const int timeout = int(20000 * timeScale());
    QVERIFY2(runIsolated(QString::fromLatin1(script),
                     { { QStringLiteral("MNT"), tmp.filePath(QStringLiteral("mnt")) },
                             { QStringLiteral("WORLD"), before },
                             { QStringLiteral("DRIVER"), driverPath() },
                             { QStringLiteral("SOURCE"), source },
                             { QStringLiteral("CHARACTER"), sourceCharacter() },
                             { QStringLiteral("ACCOUNT"), account },
                             { QStringLiteral("TIMEOUT"), QString::number(timeout) },
                             { QStringLiteral("JOURNAL_PAGES"), QString::number(journalPages) },
                             { QStringLiteral("OUT"), out },
                             { QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen") } },
                     &exitCode, &error, timeout + 30000),
            qPrintable(error));
    QVERIFY2(exitCode == 0,
            qPrintable(QStringLiteral("setting up the full disk failed (%1): %2")
                               .arg(exitCode)
                               .arg(error)));

    Run run;
    run.output = QString::fromUtf8(fixture::readFile(out + QStringLiteral("/driver.out")));
    run.errors = QString::fromUtf8(fixture::readFile(out + QStringLiteral("/driver.err")));
    run.exitCode =
            QString::fromLatin1(fixture::readFile(out + QStringLiteral("/rc"))).trimmed().toInt();
    parseOutput(&run);
    QVERIFY2(!run.crashed && !run.timedOut, qPrintable(run.describe()));
    QVERIFY2(!run.output.contains(QLatin1String("CURSOR left")), qPrintable(run.describe()));
    const WorldBytes destAfter = snapshot(out + QStringLiteral("/after"));
    const WorldBytes sourceAfter = snapshot(source);
    QVERIFY2(sourceBefore.differences(sourceAfter).isEmpty(),
            qPrintable(sourceBefore.differences(sourceAfter)));

    if (expectSuccess) {
        // The same bytes as the transfer on the ordinary folder, after the padding.
        QVERIFY2(run.transferred(), qPrintable(run.describe()));
        for (const QString &name : { world::charactersFileName(), world::itemsFileName() }) {
            const QByteArray appended =
                    plainAfter.files.value(name).mid(plainBefore.files.value(name).size());
            QCOMPARE(destAfter.files.value(name), destBefore.files.value(name) + appended);
        }
        return;
    }
    QVERIFY2(run.warned(), qPrintable(QStringLiteral("no warning: ") + run.describe()));
    QVERIFY2(destBefore.differences(destAfter).isEmpty(),
            qPrintable(QStringLiteral("destination changed: ") + destBefore.differences(destAfter)
                    + QLatin1Char('\n') + run.describe()));
    const QString failing = room == QLatin1String("one-byte-short-for-items")
            ? world::itemsFileName()
            : world::charactersFileName();
    bool named = false;
    for (const auto &box : run.boxes)
        named = named
                || (box.second.contains(failing)
                        && box.second.contains(QString::fromLocal8Bit(std::strerror(ENOSPC))));
    QVERIFY2(named,
            qPrintable(QStringLiteral("no box names %1 and the reason: %2")
                               .arg(failing, run.describe())));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString why;
    if (!canMountPrivately(&why)) {
        std::printf("SKIP: no tmpfs in a private mount namespace here: %s\n", qPrintable(why));
        return 77;
    }
    tst_FullDisk test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fulldisk.moc"
