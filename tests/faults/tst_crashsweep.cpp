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

#ifdef CHARTRANSFER_CLI
bool copyFolder(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    const QStringList names = QDir(from).entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        if (!QFile::copy(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name))
            return false;
    }
    return true;
}

// Any command of the tool that opens a world handles a journal found there first.
QString recoverWithTool(const QString &dir)
{
    QProcess tool;
    tool.start(QStringLiteral(CHARTRANSFER_CLI), { QStringLiteral("list"), dir });
    if (!tool.waitForFinished(30000))
        return QStringLiteral("the tool did not finish");
    return QString();
}
#endif

} // namespace

class tst_CrashSweep : public QObject
{
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
    void cleanupTestCase();

private:
    int m_points = 0;
};

void tst_CrashSweep::sweep_data()
{
    QTest::addColumn<int>("destinationIndex");
    const QList<Destination> list = destinations();
    for (int i = 0; i < list.size(); ++i) {
        const QByteArray tag = list.at(i).tag;
        if (tag == "records-and-items" || tag == "empty-files" || tag == "missing-files"
                || tag == "same-as-source")
            QTest::newRow(tag.constData()) << i;
    }
}

void tst_CrashSweep::sweep()
{
    QFETCH(int, destinationIndex);
    const Destination destination = destinations().at(destinationIndex);
    QTemporaryDir scratch(scratchTemplate());
    QVERIFY(scratch.isValid());

    // The transfer done without a crash, for the bytes a complete one leaves.
    const auto prepare = [&](const QString &base) -> QPair<QString, QString> {
        const QString source = base + QStringLiteral("/source");
        const QString dest = destination.sameAsSource ? source : base + QStringLiteral("/dest");
        if (!write(source, sourceWorld())
                || (!destination.sameAsSource && !write(dest, destination.world)))
            return {};
        return { source, dest };
    };
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
    for (int n = 1;; ++n) {
        const QString base = scratch.filePath(QStringLiteral("run%1").arg(n));
        const auto dirs = prepare(base);
        QVERIFY(!dirs.first.isEmpty());
        const Run run =
                runDriver(transferArguments(dirs.first, dirs.second, targetAccount(destination)),
                        { { QStringLiteral("CRASH_DIR"), dirs.second },
                                { QStringLiteral("CRASH_AT"), QString::number(n) } },
                        timeout);
        const QString context = QStringLiteral("crash point %1: %2").arg(n).arg(run.describe());
        if (run.fired == 0) {
            // Past the last point: the transfer ran to its end.
            QVERIFY2(run.transferred(), qPrintable(context));
            QVERIFY2(changedBeyond(snapshot(dirs.second), done, done).isEmpty(),
                    qPrintable(context));
            QVERIFY2(n > 1, "the transfer made no call that a crash could stop");
            break;
        }
        QVERIFY2(run.crashed, qPrintable(context));
        ++m_points;

        // The crashed world, loaded again by the tool, in a copy of its own.
#ifdef CHARTRANSFER_CLI
        const QString byTool = base + QStringLiteral("/tool");
        QVERIFY(copyFolder(dirs.second, byTool));
#endif
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
#ifdef CHARTRANSFER_CLI
        const QString toolError = recoverWithTool(byTool);
        QVERIFY2(toolError.isEmpty(), qPrintable(toolError));
        const WorldBytes afterTool = snapshot(byTool);
        QVERIFY2(changedBeyond(afterTool, before, done).isEmpty(),
                qPrintable(QStringLiteral("tool: ") + changedBeyond(afterTool, before, done)
                        + context));
        QVERIFY2(!QFileInfo::exists(transfer::journalPath(byTool)),
                qPrintable(QStringLiteral("journal left by the tool: ") + context));
#endif
    }
}

void tst_CrashSweep::cleanupTestCase()
{
    qInfo("%d crash points run", m_points);
}

QTEST_GUILESS_MAIN(tst_CrashSweep)
#include "tst_crashsweep.moc"
