#include "faults/faultsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <QTemporaryFile>
#include <cerrno>
#include <cstring>

#include <memory>
#include <vector>

#include "support/worldfixture.h"
#include "world/worldformat.h"

namespace faults {

namespace {

const QStringList &worldFiles()
{
    static const QStringList names = { world::accountsFileName(), world::charactersFileName(),
        world::itemsFileName() };
    return names;
}

QByteArray item(qint64 section, qint64 serial, const char *name, qint64 owner, qint64 container,
        const QByteArray &extra = {})
{
    return QByteArray("SECTION WORLDITEM ") + QByteArray::number(section) + "\n{\nSERIAL "
            + QByteArray::number(serial) + "\nNAME " + name + "\nOWNER " + QByteArray::number(owner)
            + "\nCONT " + QByteArray::number(container) + "\n" + extra + "}\n\n";
}

QByteArray sourceItems()
{
    QByteArray items = "// Items of the test shard\n\n";
    items += item(0, 1073741825, "backpack", 1, 1, "LAYER 21\nTYPE 1\n");
    items += item(1, 1073741826, "bag", 1, 1073741825, "TYPE 1 // a bag\n");
    // Coins enough for an items append of a few kilobytes, yet less than a memory page, so
    // a full tmpfs can be made to hold exactly the appends or one byte less.
    for (int i = 0; i < 20; ++i)
        items += item(2 + i, 1073741830 + i, "gold coin", 1, 1073741826,
                "AMOUNT " + QByteArray::number(100 + i) + "\nCOLOR 0\n");
    items += item(50, 1073741900, "brass key", 1, 1073741825, "TYPE 7\nMORE 1073741826\n");
    items += item(51, 1073741828, "robe", 1, 1, "LAYER 22\n");
    items += item(52, 1073741901, "dagger", 2, 2, "LAYER 1\n");
    return items;
}

} // namespace

QString WorldBytes::differences(const WorldBytes &after) const
{
    QStringList lines;
    for (const QString &name : worldFiles()) {
        const bool had = files.contains(name);
        const bool has = after.files.contains(name);
        if (had != has) {
            lines << QStringLiteral("%1: %2").arg(
                    name, had ? QStringLiteral("was removed") : QStringLiteral("was created"));
        } else if (had && files.value(name) != after.files.value(name)) {
            const QByteArray before = files.value(name);
            const QByteArray now = after.files.value(name);
            lines << QStringLiteral("%1: %2 bytes (sha256 %3) became %4 bytes (sha256 %5)")
                             .arg(name)
                             .arg(before.size())
                             .arg(QString::fromLatin1(
                                     QCryptographicHash::hash(before, QCryptographicHash::Sha256)
                                             .toHex()
                                             .left(16)))
                             .arg(now.size())
                             .arg(QString::fromLatin1(
                                     QCryptographicHash::hash(now, QCryptographicHash::Sha256)
                                             .toHex()
                                             .left(16)));
        }
    }
    return lines.join(QLatin1String("; "));
}

WorldBytes snapshot(const QString &dir)
{
    WorldBytes bytes;
    for (const QString &name : worldFiles()) {
        const QString path = world::filePath(dir, name);
        if (QFileInfo(path).isFile())
            bytes.files.insert(name, fixture::readFile(path));
        else
            bytes.missing << name;
    }
    return bytes;
}

bool write(const QString &dir, const World &world)
{
    return QDir().mkpath(dir)
            && fixture::writeWorld(dir, world.accounts, world.characters, world.items);
}

World sourceWorld()
{
    World world;
    world.accounts = "// Accounts of the test shard\n"
                     "SECTION ACCOUNT 0\n{\nNAME harald\nPRIVLEVEL 1\n}\n\n"
                     "SECTION ACCOUNT 1\n{\nNAME mirelle\n}\n";
    world.characters =
            "// Characters of the test shard\n\n"
            "SECTION CHARACTER 0\n{\nSERIAL 1\nNAME Aldo Brand\nACCOUNT 0\nOWN 1\n"
            "ROBE 1073741828 // worn robe\nSTR 62 // strength\n}\n\n"
            "SECTION CHARACTER 1\n{\nSERIAL 2\nNAME Wren\nACCOUNT 0\nOWN 2\nROBE -1\n}\n";
    world.items = sourceItems();
    return world;
}

QList<Destination> destinations()
{
    const QByteArray accounts = "SECTION ACCOUNT 5\n{\nNAME newbie\n}\n";
    QList<Destination> list;
    list.append({ "empty-files", { accounts, "", "" } });
    list.append({ "missing-files", { accounts, QByteArray(), QByteArray() } });
    list.append({ "last-line-without-line-feed",
            { accounts, "SECTION CHARACTER 3\n{\nSERIAL 9\nNAME Old\nACCOUNT 5\n}",
                    "SECTION WORLDITEM 7\n{\nSERIAL 1073741999\nOWNER 9\nCONT 9\n}" } });
    QByteArray characters = "// Characters\r\n";
    QByteArray items = "// Items\r\n";
    for (int i = 0; i < 4; ++i) {
        characters += "SECTION CHARACTER " + QByteArray::number(10 + i) + "\r\n{\r\nSERIAL "
                + QByteArray::number(20 + i) + "\r\nNAME Hero " + QByteArray::number(i)
                + "\r\nACCOUNT " + (i < 2 ? "5" : "6") + "\r\n}\r\n\r\n";
        for (int j = 0; j < 5; ++j)
            items += "SECTION WORLDITEM " + QByteArray::number(100 + 5 * i + j) + "\r\n{\r\nSERIAL "
                    + QByteArray::number(1073742000 + 5 * i + j) + "\r\nOWNER "
                    + QByteArray::number(20 + i) + "\r\nCONT " + QByteArray::number(20 + i)
                    + "\r\nTYPE 7\r\nMORE 3\r\n}\r\n\r\n";
    }
    list.append({ "records-and-items",
            { accounts + "SECTION ACCOUNT 6\n{\nNAME veteran\n}\n", characters, items } });
    Destination same{ "same-as-source", sourceWorld() };
    same.sameAsSource = true;
    list.append(same);
    return list;
}

QPair<QString, QString> prepareWorlds(const QString &base, const Destination &destination)
{
    const QString source = base + QStringLiteral("/source");
    const QString dest = destination.sameAsSource ? source : base + QStringLiteral("/dest");
    if (!write(source, sourceWorld())
            || (!destination.sameAsSource && !write(dest, destination.world)))
        return {};
    return { source, dest };
}

QString targetAccount(const Destination &destination)
{
    return destination.sameAsSource ? QStringLiteral("mirelle") : QStringLiteral("newbie");
}

QString Run::describe() const
{
    QStringList parts;
    if (crashed)
        parts << QStringLiteral("crashed");
    if (timedOut)
        parts << QStringLiteral("timed out");
    parts << QStringLiteral("exit code %1").arg(exitCode);
    for (const auto &box : boxes)
        parts << QStringLiteral("box \"%1\": \"%2\"").arg(box.first, box.second);
    if (calls >= 0)
        parts << QStringLiteral("calls %1, fired %2").arg(calls).arg(fired);
    parts << QStringLiteral("%1 ms").arg(elapsedMs);
    QString text = parts.join(QLatin1String(", "));
    if (!errors.trimmed().isEmpty())
        text += QStringLiteral("\nstderr: ") + errors.trimmed().right(3000);
    return text;
}

double timeScale()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("FAULTS_TIME_SCALE").toDouble(&ok);
    return ok && scale > 0 ? scale : 1.0;
}

QString scratchTemplate()
{
    const QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
            ? QStringLiteral("/dev/shm")
            : QDir::tempPath();
    return base + QStringLiteral("/chartransfer-faults-XXXXXX");
}

QString driverPath()
{
    return QStringLiteral(FAULTDRIVER);
}
QString libraryPath()
{
    return QStringLiteral(FAULTINJECT);
}

namespace {

QProcessEnvironment driverEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A sanitized driver wants its runtime first; the fault library only wraps libc.
    QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    if (!asan.isEmpty())
        asan += QLatin1Char(':');
    asan += QLatin1String("verify_asan_link_order=0");
    environment.insert(QStringLiteral("ASAN_OPTIONS"), asan);
    return environment;
}

void start(QProcess *process, const QStringList &arguments, int timeoutMs,
        const QStringList &wrapper = {})
{
    QStringList allArguments = arguments;
    allArguments << QStringLiteral("--timeout-ms") << QString::number(timeoutMs);
    if (wrapper.isEmpty())
        process->start(driverPath(), allArguments);
    else
        process->start(wrapper.first(), wrapper.mid(1) + QStringList(driverPath()) + allArguments);
}

Run finish(QProcess *process, int timeoutMs, const QElapsedTimer &clock)
{
    Run run;
    if (!process->waitForFinished(timeoutMs + 10000)) {
        process->kill();
        process->waitForFinished();
        run.timedOut = true;
    }
    run.elapsedMs = clock.elapsed();
    run.output = QString::fromUtf8(process->readAllStandardOutput());
    run.errors = QString::fromUtf8(process->readAllStandardError());
    run.exitCode = process->exitStatus() == QProcess::CrashExit ? 128 : process->exitCode();
    parseOutput(&run);
    return run;
}

} // namespace

Run runDriver(
        const QStringList &arguments, const Fault &fault, int timeoutMs, const QStringList &wrapper)
{
    QProcess process;
    QProcessEnvironment environment = driverEnvironment();
    QTemporaryFile report;
    if (!fault.isEmpty()) {
        report.open();
        environment.insert(QStringLiteral("LD_PRELOAD"), libraryPath());
        environment.insert(QStringLiteral("FAULT_REPORT"), report.fileName());
        for (auto it = fault.begin(); it != fault.end(); ++it)
            environment.insert(it.key(), it.value());
    }
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    start(&process, arguments, timeoutMs, wrapper);
    Run run = finish(&process, timeoutMs, clock);
    if (!fault.isEmpty()) {
        const QString text = QString::fromLatin1(fixture::readFile(report.fileName()));
        for (const QString &field : text.simplified().split(QLatin1Char(' '))) {
            if (field.startsWith(QLatin1String("calls=")))
                run.calls = field.mid(6).toLong();
            else if (field.startsWith(QLatin1String("fired=")))
                run.fired = field.mid(6).toLong();
        }
        if (run.calls < 0)
            run.calls = 0; // the report is written at the first matching call
        if (run.fired < 0)
            run.fired = 0;
    }
    return run;
}

QList<Run> runDrivers(const QList<QStringList> &argumentLists, int timeoutMs)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    QList<QElapsedTimer> clocks;
    for (const QStringList &arguments : argumentLists) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->setProcessEnvironment(driverEnvironment());
        clocks.append(QElapsedTimer());
        clocks.last().start();
        start(processes.back().get(), arguments, timeoutMs);
    }
    QList<Run> runs;
    for (size_t i = 0; i < processes.size(); ++i)
        runs.append(finish(processes[i].get(), timeoutMs, clocks.at(qsizetype(i))));
    return runs;
}

void parseOutput(Run *run)
{
    // Exit codes 0 to 5 are the driver's own; a sanitizer ends with 1 by default, and a
    // signal shows as 128 or more.
    run->crashed = run->exitCode == 1 || run->exitCode > 5;
    if (run->exitCode == 5)
        run->timedOut = true;
    run->boxes.clear();
    const QStringList lines = run->output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("BOX "))) {
            const QString rest = line.mid(4);
            const qsizetype tab = rest.indexOf(QLatin1Char('\t'));
            run->boxes.append({ rest.left(tab), rest.mid(tab + 1) });
        }
    }
}

bool runIsolated(const QString &script, const QMap<QString, QString> &environment, int *exitCode,
        QString *error, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("unshare"),
            { QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                    QStringLiteral("sh"), QStringLiteral("-c"), script });
    if (!process.waitForStarted()) {
        *error = process.errorString();
        return false;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        *error = QStringLiteral("timed out");
        return false;
    }
    *exitCode = process.exitStatus() == QProcess::CrashExit ? 128 : process.exitCode();
    *error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return true;
}

bool canMountPrivately(QString *why)
{
    QTemporaryDir dir(scratchTemplate());
    int exitCode = -1;
    if (!runIsolated(QStringLiteral("mount -t tmpfs -o size=64k tmpfs \"$PROBE\""),
                { { QStringLiteral("PROBE"), dir.path() } }, &exitCode, why, 20000))
        return false;
    if (exitCode != 0 && why->isEmpty())
        *why = QStringLiteral("mount failed with exit code %1").arg(exitCode);
    return exitCode == 0;
}

QStringList transferArguments(const QString &source, const QString &dest, const QString &account)
{
    return { QStringLiteral("--source"), source, QStringLiteral("--dest"), dest,
        QStringLiteral("--character"), sourceCharacter(), QStringLiteral("--account"), account };
}

QString reasonFor(const QString &error)
{
    return QString::fromLocal8Bit(std::strerror(error == QLatin1String("EIO") ? EIO : ENOSPC));
}

} // namespace faults
