// Two programs on one world. A transfer held still after its checks, with its journal in
// place, while other programs start beside it; and rounds of two transfers into one
// destination with list running in a loop beside them, all started together. Whatever the
// order they meet in, a transfer that says "done" is on disk exactly once with numbers of
// its own, a refused one wrote nothing, and check finds nothing wrong.
#include <QtTest>

#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <memory>
#include <sys/types.h>

#include "faults/faultsupport.h"
#include "support/worldfixture.h"
#include "transfer/journal.h"
#include "world/worldformat.h"

using namespace faults;

namespace {

struct ToolRun
{
    int exitCode = -1;
    QString out;
    QString err;
    QString describe() const
    {
        return QStringLiteral("exit %1\nstdout: %2\nstderr: %3").arg(exitCode).arg(out, err);
    }
};

QProcessEnvironment toolEnvironment(const QString &pauseFile = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!pauseFile.isEmpty()) {
        environment.insert(QStringLiteral("LD_PRELOAD"), libraryPath());
        environment.insert(QStringLiteral("PAUSE_FILE"), pauseFile);
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                environment.value(QStringLiteral("ASAN_OPTIONS"))
                        + QStringLiteral(":verify_asan_link_order=0"));
    }
    return environment;
}

std::unique_ptr<QProcess> startTool(const QStringList &arguments, const QString &pauseFile = {})
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(toolEnvironment(pauseFile));
    process->start(QStringLiteral(CHARTRANSFER_CLI), arguments);
    return process;
}

ToolRun finishTool(QProcess *process)
{
    ToolRun run;
    if (!process->waitForFinished(int(30000 * timeScale()))) {
        process->kill();
        process->waitForFinished();
        run.err = QStringLiteral("(did not finish) ");
    }
    run.exitCode = process->exitStatus() == QProcess::CrashExit ? 128 : process->exitCode();
    run.out = QString::fromUtf8(process->readAllStandardOutput());
    run.err += QString::fromUtf8(process->readAllStandardError());
    return run;
}

ToolRun runTool(const QStringList &arguments)
{
    const auto process = startTool(arguments);
    return finishTool(process.get());
}

QStringList transferInto(const QString &source, const QString &dest, const QString &character,
        const QString &account = QStringLiteral("linnea"))
{
    return { QStringLiteral("transfer"), QStringLiteral("--from"), source, QStringLiteral("--to"),
        dest, QStringLiteral("--account"), account, character };
}

// Whether the process is stopped (SIGSTOP) right now.
bool stopped(qint64 pid)
{
    const QByteArray stat = fixture::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) == "T";
}

bool copyExamples(const QString &dir)
{
    for (const char *world : { "source", "destination" }) {
        const QString from = QStringLiteral(EXAMPLES_DIR "/%1").arg(QLatin1String(world));
        const QString to = QStringLiteral("%1/%2").arg(dir, QLatin1String(world));
        if (!QDir().mkpath(to))
            return false;
        for (const QString &name : { world::accountsFileName(), world::charactersFileName(),
                     world::itemsFileName() }) {
            if (!QFile::copy(world::filePath(from, name), world::filePath(to, name)))
                return false;
        }
    }
    return true;
}

// What `check` counts: "(4 account records, 9 character records, 25 item records)".
bool checkCounts(const QString &text, int *characters, int *items)
{
    static const QRegularExpression counts(
            QStringLiteral("no problems \\(\\d+ account records?, (\\d+) character records?, "
                           "(\\d+) item records?\\)"));
    const QRegularExpressionMatch match = counts.match(text);
    if (!match.hasMatch())
        return false;
    *characters = match.captured(1).toInt();
    *items = match.captured(2).toInt();
    return true;
}

// "Aldo Brand (harald) -> linnea: done: record 10, serial 11; 11 items moved, 0 left behind"
struct Done
{
    int record = -1;
    int serial = -1;
    int items = -1;
};
bool parseDone(const QString &out, Done *done)
{
    static const QRegularExpression line(
            QStringLiteral("done: record (\\d+), serial (\\d+); (\\d+) items? moved"));
    const QRegularExpressionMatch match = line.match(out);
    if (!match.hasMatch())
        return false;
    *done = { match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt() };
    return true;
}

} // namespace

class tst_WorldLock : public QObject
{
    Q_OBJECT

private slots:
    void heldAfterItsChecks();
    void concurrentTransfers();
};

// The first transfer stops right after its journal is in place: it has decided, drawn its
// numbers and holds the lock. Nothing another program does may touch its journal or take
// its numbers, and one that waits goes on after it with numbers of its own.
void tst_WorldLock::heldAfterItsChecks()
{
    QTemporaryDir tmp(scratchTemplate());
    QVERIFY(tmp.isValid());
    QVERIFY(copyExamples(tmp.path()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    const QString dest = tmp.filePath(QStringLiteral("destination"));

    const auto first = startTool(
            transferInto(source, dest, QStringLiteral("Aldo Brand")), transfer::journalFileName());
    QVERIFY(first->waitForStarted());
    const qint64 pid = first->processId();
    QElapsedTimer clock;
    clock.start();
    while (!stopped(pid) && first->state() == QProcess::Running && clock.elapsed() < 20000)
        QTest::qWait(5);
    if (!stopped(pid))
        QFAIL(qPrintable(QStringLiteral("the transfer did not stop at its journal: ")
                + finishTool(first.get()).describe()));
    const auto resume = qScopeGuard([pid] { ::kill(pid_t(pid), SIGCONT); });
    QVERIFY(QFileInfo::exists(transfer::journalPath(dest)));
    const WorldBytes held = snapshot(dest);
    const QByteArray journal = fixture::readFile(transfer::journalPath(dest));
    const QString busy =
            QStringLiteral("a transfer into this world is in progress (process %1)").arg(pid);

    // Refused at once, with the holder named.
    ToolRun second = runTool(transferInto(source, dest, QStringLiteral("Wren")));
    QVERIFY2(second.exitCode == 3, qPrintable(second.describe()));
    QVERIFY2(second.err.contains(QLatin1String("World Busy")) && second.err.contains(busy),
            qPrintable(second.describe()));
    // The journal of a running transfer is not undone by a load, nor by recover, nor
    // discarded; a dry run says what a real run would meet.
    const ToolRun list = runTool({ QStringLiteral("list"), dest });
    QVERIFY2(list.err.contains(QLatin1String("World Busy")) && list.err.contains(busy),
            qPrintable(list.describe()));
    for (const QStringList &command : { QStringList{ QStringLiteral("recover"), dest },
                 QStringList{ QStringLiteral("recover"), dest, QStringLiteral("--discard") },
                 transferInto(source, dest, QStringLiteral("Wren"))
                         << QStringLiteral("--dry-run") }) {
        const ToolRun run = runTool(command);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.contains(busy), qPrintable(run.describe()));
    }
    QVERIFY(held.differences(snapshot(dest)).isEmpty());
    QCOMPARE(fixture::readFile(transfer::journalPath(dest)), journal);

    // One that waits starts after the first has finished, from what it wrote.
    const auto waiting = startTool(transferInto(source, dest, QStringLiteral("Wren"))
            << QStringLiteral("--wait") << QStringLiteral("60"));
    QVERIFY(waiting->waitForStarted());
    QVERIFY(!waiting->waitForFinished(300));
    QCOMPARE(::kill(pid_t(pid), SIGCONT), 0);
    const ToolRun done = finishTool(first.get());
    QCOMPARE(done.exitCode, 0);
    QVERIFY2(done.out.contains(QLatin1String("done: record 10, serial 11; 11 items moved")),
            qPrintable(done.describe()));
    const ToolRun after = finishTool(waiting.get());
    QCOMPARE(after.exitCode, 0);
    QVERIFY2(after.out.contains(QLatin1String("done: record 11, serial 12")),
            qPrintable(after.describe()));
    const ToolRun check = runTool({ QStringLiteral("check"), dest });
    QVERIFY2(check.exitCode == 0 && check.err.isEmpty(), qPrintable(check.describe()));
    QVERIFY(!transfer::journalPresent(dest));
}

// Rounds of two transfers into one destination and list in a loop, all started together.
void tst_WorldLock::concurrentTransfers()
{
    QTemporaryDir tmp(scratchTemplate());
    QVERIFY(tmp.isValid());
    QVERIFY(copyExamples(tmp.path()));
    const QString source = tmp.filePath(QStringLiteral("source"));
    const QString pristine = tmp.filePath(QStringLiteral("destination"));
    int baseCharacters = 0;
    int baseItems = 0;
    QVERIFY(checkCounts(
            runTool({ QStringLiteral("check"), pristine }).out, &baseCharacters, &baseItems));

    const int rounds = qEnvironmentVariableIntValue("WORLDLOCK_ROUNDS") > 0
            ? qEnvironmentVariableIntValue("WORLDLOCK_ROUNDS")
            : 50;
    int done = 0;
    int refusedBusy = 0;
    int refusedOther = 0;
    int lists = 0;
    int listsBusy = 0;
    QStringList violations;
    for (int round = 0; round < rounds; ++round) {
        const QString dest = tmp.filePath(QStringLiteral("round-%1").arg(round));
        QVERIFY(QDir().mkpath(dest));
        for (const QString &name :
                { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() })
            QVERIFY(QFile::copy(world::filePath(pristine, name), world::filePath(dest, name)));

        // Two different characters, the same one twice, and one of them waiting its turn.
        const QString firstName = QStringLiteral("Aldo Brand");
        const QString secondName =
                round % 3 == 1 ? QStringLiteral("Aldo Brand") : QStringLiteral("Wren");
        QStringList secondArguments = transferInto(source, dest, secondName);
        if (round % 3 == 2)
            secondArguments << QStringLiteral("--wait") << QStringLiteral("30");
        const QStringList names{ firstName, secondName };
        std::unique_ptr<QProcess> transfers[2] = { startTool(transferInto(source, dest, firstName)),
            startTool(secondArguments) };
        std::unique_ptr<QProcess> lister = startTool({ QStringLiteral("list"), dest });
        ++lists;
        const auto running = [&] {
            return transfers[0]->state() != QProcess::NotRunning
                    || transfers[1]->state() != QProcess::NotRunning;
        };
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 60000 * timeScale()) {
            QTest::qWait(1);
            if (lister->state() == QProcess::NotRunning) {
                const ToolRun run = finishTool(lister.get());
                if (run.exitCode != 0)
                    violations
                            << QStringLiteral("round %1: list: %2").arg(round).arg(run.describe());
                if (run.err.contains(QLatin1String("World Busy")))
                    ++listsBusy;
                if (run.err.contains(QLatin1String("Interrupted Transfer")))
                    violations
                            << QStringLiteral("round %1: list undid: %2").arg(round).arg(run.err);
                if (!running())
                    break;
                lister = startTool({ QStringLiteral("list"), dest });
                ++lists;
            }
        }

        int characters = baseCharacters;
        int items = baseItems;
        QMap<QString, int> doneOf;
        QList<Done> numbers;
        for (int i = 0; i < 2; ++i) {
            const ToolRun run = finishTool(transfers[i].get());
            Done result;
            if (run.exitCode == 0 && parseDone(run.out, &result)) {
                ++done;
                ++characters;
                items += result.items;
                doneOf[names.at(i)]++;
                numbers << result;
            } else if (run.exitCode == 3 && run.err.contains(QLatin1String("World Busy"))) {
                ++refusedBusy;
            } else if (run.exitCode == 3
                    && run.err.contains(QLatin1String("Character Duplication"))) {
                ++refusedOther;
            } else {
                violations << QStringLiteral("round %1: %2: %3")
                                      .arg(round)
                                      .arg(names.at(i), run.describe());
            }
        }

        // Every transfer that said done is there once, with the numbers it said; nothing
        // of a refused one is.
        const ToolRun check = runTool({ QStringLiteral("check"), dest });
        int checkedCharacters = 0;
        int checkedItems = 0;
        if (check.exitCode != 0 || !check.err.isEmpty()
                || !checkCounts(check.out, &checkedCharacters, &checkedItems)) {
            violations << QStringLiteral("round %1: check: %2").arg(round).arg(check.describe());
        } else if (checkedCharacters != characters || checkedItems != items) {
            violations << QStringLiteral("round %1: %2 character and %3 item records, expected "
                                         "%4 and %5")
                                  .arg(round)
                                  .arg(checkedCharacters)
                                  .arg(checkedItems)
                                  .arg(characters)
                                  .arg(items);
        }
        const QString listed = runTool({ QStringLiteral("list"), dest }).out;
        for (const QString &name : { firstName, secondName }) {
            const int times = int(listed.count(QStringLiteral("    %1  (").arg(name)));
            if (times != doneOf.value(name))
                violations << QStringLiteral("round %1: %2 is listed %3 times, done %4 times")
                                      .arg(round)
                                      .arg(name)
                                      .arg(times)
                                      .arg(doneOf.value(name));
        }
        for (const Done &number : std::as_const(numbers)) {
            if (listed.count(QStringLiteral("(serial %1, record %2)")
                                     .arg(number.serial)
                                     .arg(number.record))
                    != 1)
                violations << QStringLiteral("round %1: serial %2, record %3 is not listed once")
                                      .arg(round)
                                      .arg(number.serial)
                                      .arg(number.record);
        }
        if (numbers.size() == 2
                && (numbers[0].record == numbers[1].record
                        || numbers[0].serial == numbers[1].serial))
            violations
                    << QStringLiteral("round %1: both transfers drew the same numbers").arg(round);
        if (transfer::journalPresent(dest))
            violations << QStringLiteral("round %1: a journal was left").arg(round);
        if (violations.isEmpty())
            QDir(dest).removeRecursively();
    }
    qInfo("%d rounds: %d transfers done, %d refused as busy, %d refused otherwise; %d list runs, "
          "%d of them saw a transfer in progress; %d violations",
            rounds, done, refusedBusy, refusedOther, lists, listsBusy, int(violations.size()));
    QVERIFY2(violations.isEmpty(), qPrintable(violations.join(QLatin1Char('\n'))));
    // Each round did at least one transfer: a lock never left both refused.
    QVERIFY(done >= rounds);
}

QTEST_GUILESS_MAIN(tst_WorldLock)
#include "tst_worldlock.moc"
