// A transfer killed at every write, flush, truncation, file creation, rename and removal it
// makes in the destination, one run per point; then the world is loaded again as the window
// loads it and as the command-line tool does. Whatever the point, both destination files
// must afterwards be byte-identical to before the transfer or to a complete transfer, and
// the source is never changed.
#include <QtTest>

#include <QProcess>

#include "faults/faultsupport.h"
#include "transfer/journal.h"
#include "world/worldformat.h"

using namespace faults;

namespace {

// The destination files only: the accounts file is never written.
QString changedBeyond(const WorldBytes &now, const WorldBytes &before, const WorldBytes &done)
{
    QString changes;
    for (const QString &name : { world::charactersFileName(), world::itemsFileName() }) {
        const bool asBefore = now.files.value(name) == before.files.value(name)
                && now.missing.contains(name) == before.missing.contains(name);
        const bool asDone = now.files.value(name) == done.files.value(name)
                && now.missing.contains(name) == done.missing.contains(name);
        if (!asBefore && !asDone)
            changes += name + QStringLiteral(" is neither as before nor as after; ");
    }
    const bool charactersDone = now.files.value(world::charactersFileName())
            == done.files.value(world::charactersFileName());
    const bool itemsDone =
            now.files.value(world::itemsFileName()) == done.files.value(world::itemsFileName());
    if (charactersDone != itemsDone && done.files != before.files)
        changes += QStringLiteral("one file is transferred and the other is not; ");
    return changes;
}

// The tool's recover handles a journal found in the world (list and check only report it).
QString recoverWithTool(const QString &dir)
{
    QProcess tool;
    tool.start(QStringLiteral(CHARTRANSFER_CLI), { QStringLiteral("recover"), dir });
    if (!tool.waitForFinished(30000))
        return QStringLiteral("the tool did not finish");
    return QString();
}

// What the merge leaves beside the world files: nothing, once it is over.
QStringList journalFiles(const QString &dir)
{
    return QDir(dir).entryList({ QStringLiteral("chartransfer.journal*") }, QDir::Files);
}

// The tool's transfer, with the crash library preloaded: whether it died at the point. With
// `fault`, a call fails instead (the crash settings are then left out).
Run runTool(const QStringList &arguments, const QString &crashDir, int crashAt, int timeoutMs,
        const Fault &fault = {})
{
    QTemporaryFile report;
    report.open();
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), libraryPath());
    if (fault.isEmpty()) {
        environment.insert(QStringLiteral("CRASH_DIR"), crashDir);
        environment.insert(QStringLiteral("CRASH_AT"), QString::number(crashAt));
    }
    for (auto it = fault.cbegin(); it != fault.cend(); ++it)
        environment.insert(it.key(), it.value());
    environment.insert(QStringLiteral("FAULT_REPORT"), report.fileName());
    // The preloaded library is not instrumented; the sanitizers must not mind it.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
            environment.value(QStringLiteral("ASAN_OPTIONS"))
                    + QStringLiteral(":verify_asan_link_order=0"));
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral(CHARTRANSFER_CLI), arguments);
    Run run;
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        run.timedOut = true;
    }
    run.crashed = tool.exitStatus() == QProcess::CrashExit;
    run.exitCode = tool.exitCode();
    run.errors = QString::fromLocal8Bit(tool.readAllStandardError());
    run.calls = 0;
    run.fired = 0;
    QFile file(report.fileName());
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &field : file.readAll().simplified().split(' ')) {
            if (field.startsWith("calls="))
                run.calls = field.mid(6).toLong();
            else if (field.startsWith("fired="))
                run.fired = field.mid(6).toLong();
        }
    }
    return run;
}

} // namespace

class tst_CrashSweep : public QObject
{
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
    void mergeSweep_data();
    void mergeSweep();
    void mergeFaults_data();
    void mergeFaults();
    void cleanupTestCase();

private:
    int m_points = 0;
};

void tst_CrashSweep::sweep_data()
{
    QTest::addColumn<int>("destinationIndex");
    QTest::addColumn<bool>("byTool"); // the transfer that is killed: the tool's or the window's
    const QList<Destination> list = destinations();
    for (const bool tool : { false, true }) {
        for (int i = 0; i < list.size(); ++i) {
            const QByteArray tag = list.at(i).tag;
            if (tag == "records-and-items" || tag == "empty-files" || tag == "missing-files"
                    || tag == "same-as-source")
                QTest::addRow("%s-%s", tool ? "tool" : "window", tag.constData()) << i << tool;
        }
    }
}

void tst_CrashSweep::sweep()
{
    QFETCH(int, destinationIndex);
    QFETCH(bool, byTool);
    const Destination destination = destinations().at(destinationIndex);
    QTemporaryDir scratch(scratchTemplate());
    QVERIFY(scratch.isValid());

    // The transfer done without a crash, for the bytes a complete one leaves.
    const auto prepare = [&](const QString &base) { return prepareWorlds(base, destination); };
    const auto clean = prepare(scratch.filePath(QStringLiteral("clean")));
    QVERIFY(!clean.first.isEmpty());
    const WorldBytes sourceBefore = snapshot(clean.first);
    const WorldBytes before = snapshot(clean.second);
    const Run reference =
            runDriver(transferArguments(clean.first, clean.second, targetAccount(destination)));
    QVERIFY2(reference.transferred(), qPrintable(reference.describe()));
    const WorldBytes done = snapshot(clean.second);
    QVERIFY(done.files != before.files);

    const int timeout = int(20000 * timeScale());
    // The transfer of the tool or of the window, stopped dead before its `n`th call.
    const auto crashedTransfer = [&](const QPair<QString, QString> &dirs, int n) {
        if (byTool) {
            return runTool({ QStringLiteral("transfer"), QStringLiteral("--quiet"),
                                   QStringLiteral("--from"), dirs.first, QStringLiteral("--to"),
                                   dirs.second, QStringLiteral("--account"),
                                   targetAccount(destination), sourceCharacter() },
                    dirs.second, n, timeout);
        }
        return runDriver(transferArguments(dirs.first, dirs.second, targetAccount(destination)),
                { { QStringLiteral("CRASH_DIR"), dirs.second },
                        { QStringLiteral("CRASH_AT"), QString::number(n) } },
                timeout);
    };
    for (int n = 1;; ++n) {
        const QString base = scratch.filePath(QStringLiteral("run%1").arg(n));
        const auto dirs = prepare(base);
        QVERIFY(!dirs.first.isEmpty());
        const Run run = crashedTransfer(dirs, n);
        const QString context = QStringLiteral("crash point %1: %2").arg(n).arg(run.describe());
        if (run.fired == 0) {
            // Past the last point: the transfer ran to its end.
            QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(context + run.errors));
            QVERIFY2(changedBeyond(snapshot(dirs.second), done, done).isEmpty(),
                    qPrintable(context));
            QVERIFY2(n > 1, "the transfer made no call that a crash could stop");
            break;
        }
        QVERIFY2(run.crashed, qPrintable(context));
        ++m_points;

        // Loaded again by the window, which undoes what the journal says was begun.
        const Run reload = runDriver({ QStringLiteral("--source"), dirs.first,
                QStringLiteral("--dest"), dirs.second, QStringLiteral("--load-only") });
        QVERIFY2(!reload.crashed && !reload.timedOut, qPrintable(reload.describe()));
        const WorldBytes after = snapshot(dirs.second);
        QVERIFY2(changedBeyond(after, before, done).isEmpty(),
                qPrintable(changedBeyond(after, before, done) + context));
        QVERIFY2(!QFileInfo::exists(transfer::journalPath(dirs.second)),
                qPrintable(QStringLiteral("journal left: ") + context));
        if (!destination.sameAsSource) {
            QVERIFY2(sourceBefore.differences(snapshot(dirs.first)).isEmpty(),
                    qPrintable(QStringLiteral("source changed: ") + context));
        }
        // The same crash again, and the world opened by the tool this time.
        const QString again = scratch.filePath(QStringLiteral("tool%1").arg(n));
        const auto toolDirs = prepare(again);
        QVERIFY(!toolDirs.first.isEmpty());
        const Run second = crashedTransfer(toolDirs, n);
        QVERIFY2(second.crashed, qPrintable(second.describe()));
        const QString toolError = recoverWithTool(toolDirs.second);
        QVERIFY2(toolError.isEmpty(), qPrintable(toolError));
        const WorldBytes afterTool = snapshot(toolDirs.second);
        QVERIFY2(changedBeyond(afterTool, before, done).isEmpty(),
                qPrintable(QStringLiteral("tool: ") + changedBeyond(afterTool, before, done)
                        + context));
        QVERIFY2(!QFileInfo::exists(transfer::journalPath(toolDirs.second)),
                qPrintable(QStringLiteral("journal left by the tool: ") + context));
    }
}

void tst_CrashSweep::mergeSweep_data()
{
    QTest::addColumn<int>("destinationIndex");
    const QList<Destination> list = destinations();
    for (int i = 0; i < list.size(); ++i) {
        const QByteArray tag = list.at(i).tag;
        if (tag == "records-and-items" || tag == "empty-files" || tag == "missing-files")
            QTest::addRow("%s", tag.constData()) << i;
    }
}

// A merge appends to three files under one journal: killed at any point and the world
// opened again by the tool, all three are as before or all three completely merged.
void tst_CrashSweep::mergeSweep()
{
    QFETCH(int, destinationIndex);
    const Destination destination = destinations().at(destinationIndex);
    QTemporaryDir scratch(scratchTemplate());
    QVERIFY(scratch.isValid());
    const auto prepare = [&](const QString &base) { return prepareWorlds(base, destination); };
    const auto arguments = [](const QPair<QString, QString> &dirs) {
        return QStringList{ QStringLiteral("merge"), QStringLiteral("--quiet"),
            QStringLiteral("--from"), dirs.first, QStringLiteral("--to"), dirs.second };
    };
    const auto clean = prepare(scratch.filePath(QStringLiteral("clean")));
    QVERIFY(!clean.first.isEmpty());
    const WorldBytes sourceBefore = snapshot(clean.first);
    const WorldBytes before = snapshot(clean.second);
    QProcess reference;
    reference.start(QStringLiteral(CHARTRANSFER_CLI), arguments(clean));
    QVERIFY(reference.waitForFinished(30000) && reference.exitCode() == 0);
    const WorldBytes done = snapshot(clean.second);
    QVERIFY(done.files.value(world::accountsFileName())
            != before.files.value(world::accountsFileName()));

    const auto asBeforeOrDone = [&](const WorldBytes &now) {
        return before.differences(now).isEmpty() || done.differences(now).isEmpty();
    };
    const int timeout = int(20000 * timeScale());
    for (int n = 1;; ++n) {
        const auto dirs = prepare(scratch.filePath(QStringLiteral("merge%1").arg(n)));
        QVERIFY(!dirs.first.isEmpty());
        const Run run = runTool(arguments(dirs), dirs.second, n, timeout);
        const QString context = QStringLiteral("crash point %1: %2").arg(n).arg(run.describe());
        if (run.fired == 0) {
            QVERIFY2(!run.crashed && run.exitCode == 0, qPrintable(context + run.errors));
            QVERIFY2(done.differences(snapshot(dirs.second)).isEmpty(), qPrintable(context));
            QVERIFY2(n > 1, "the merge made no call that a crash could stop");
            break;
        }
        QVERIFY2(run.crashed, qPrintable(context));
        ++m_points;
        const QString toolError = recoverWithTool(dirs.second);
        QVERIFY2(toolError.isEmpty(), qPrintable(toolError));
        const WorldBytes after = snapshot(dirs.second);
        QVERIFY2(asBeforeOrDone(after),
                qPrintable(QStringLiteral("neither as before nor merged: %1; %2")
                                   .arg(before.differences(after), context)));
        QVERIFY2(journalFiles(dirs.second).isEmpty(),
                qPrintable(
                        QStringLiteral("left: %1; %2")
                                .arg(journalFiles(dirs.second).join(QLatin1Char(' ')), context)));
        QVERIFY2(sourceBefore.differences(snapshot(dirs.first)).isEmpty(),
                qPrintable(QStringLiteral("source changed: ") + context));

        // The same crash, then the merge run again: it undoes what the crash left first,
        // and merges (or, when the crash came after the merge was complete, finds every
        // account there and refuses).
        const auto again = prepare(scratch.filePath(QStringLiteral("again%1").arg(n)));
        QVERIFY(runTool(arguments(again), again.second, n, timeout).crashed);
        QProcess rerun;
        rerun.start(QStringLiteral(CHARTRANSFER_CLI), arguments(again));
        QVERIFY(rerun.waitForFinished(30000));
        const QString said = QString::fromLocal8Bit(rerun.readAllStandardError());
        QVERIFY2(rerun.exitCode() == 0 || rerun.exitCode() == 3, qPrintable(said + context));
        QVERIFY2(!said.contains(QLatin1String("busy")), qPrintable(said + context));
        QVERIFY2(done.differences(snapshot(again.second)).isEmpty(),
                qPrintable(done.differences(snapshot(again.second)) + said + context));
        QVERIFY2(journalFiles(again.second).isEmpty(), qPrintable(said + context));
    }
}

void tst_CrashSweep::mergeFaults_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("error");
    // The texts written beside the journal while the merge is planned, the journal, and
    // the appends themselves.
    for (const char *name : { "chartransfer.journal.ztpcs.wsc", "chartransfer.journal.ztitems.wsc",
                 "chartransfer.journal.new", "accounts.adm", "ztpcs.wsc", "ztitems.wsc" }) {
        QTest::addRow("%s-write-enospc", name)
                << QString::fromLatin1(name) << QStringLiteral("write") << QStringLiteral("ENOSPC");
        QTest::addRow("%s-fsync-eio", name)
                << QString::fromLatin1(name) << QStringLiteral("fsync") << QStringLiteral("EIO");
    }
}

// A merge whose write or flush fails anywhere leaves the destination as it was and nothing
// beside it, and says which file and why.
void tst_CrashSweep::mergeFaults()
{
    QFETCH(QString, fileName);
    QFETCH(QString, call);
    QFETCH(QString, error);
    const Destination destination = destinations().at(0);
    QTemporaryDir scratch(scratchTemplate());
    QVERIFY(scratch.isValid());
    const auto arguments = [](const QPair<QString, QString> &dirs) {
        return QStringList{ QStringLiteral("merge"), QStringLiteral("--quiet"),
            QStringLiteral("--from"), dirs.first, QStringLiteral("--to"), dirs.second };
    };
    for (int n = 1;; ++n) {
        const auto dirs =
                prepareWorlds(scratch.filePath(QStringLiteral("merge%1").arg(n)), destination);
        QVERIFY(!dirs.first.isEmpty());
        const WorldBytes before = snapshot(dirs.second);
        const Run run = runTool(arguments(dirs), QString(), 0, int(20000 * timeScale()),
                { { QStringLiteral("FAULT_FILE"), fileName },
                        { QStringLiteral("FAULT_CALL"), call },
                        { QStringLiteral("FAULT_AT"), QString::number(n) },
                        { QStringLiteral("FAULT_ERRNO"), error } });
        const QString context = QStringLiteral("%1 %2 failing: %3 %4")
                                        .arg(call)
                                        .arg(n)
                                        .arg(run.describe(), run.errors);
        QVERIFY2(!run.crashed && !run.timedOut, qPrintable(context));
        QVERIFY2(journalFiles(dirs.second).isEmpty(),
                qPrintable(
                        QStringLiteral("left: %1; %2")
                                .arg(journalFiles(dirs.second).join(QLatin1Char(' ')), context)));
        if (run.fired == 0) {
            QVERIFY2(n > 1, qPrintable(QStringLiteral("no call to fail: ") + context));
            QVERIFY2(run.exitCode == 0, qPrintable(context));
            break;
        }
        QVERIFY2(run.exitCode == 4, qPrintable(context));
        QVERIFY2(before.differences(snapshot(dirs.second)).isEmpty(),
                qPrintable(before.differences(snapshot(dirs.second)) + context));
        QVERIFY2(run.errors.contains(reasonFor(error)), qPrintable(context));
        QVERIFY2(run.errors.contains(QLatin1String("left as it was")), qPrintable(context));
    }
}

void tst_CrashSweep::cleanupTestCase()
{
    qInfo("%d crash points run", m_points);
}

QTEST_GUILESS_MAIN(tst_CrashSweep)
#include "tst_crashsweep.moc"
