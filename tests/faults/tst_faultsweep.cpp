// Every write and every flush of a transfer made to fail, one at a time, in every way a disk
// fails: the destination must come out exactly as it was, and the user must be told.
#include <QtTest>

#include <cstring>

#include "faults/faultsupport.h"
#include "support/worldfixture.h"
#include "transfer/journal.h"
#include "world/worldformat.h"

using namespace faults;

class tst_FaultSweep : public QObject
{
    Q_OBJECT

private slots:
    void sweep_data();
    void sweep();
    void createdFilesReachTheFolder();
};

void tst_FaultSweep::sweep_data()
{
    QTest::addColumn<int>("destinationIndex");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("error");
    // Whether the warning may say the destination was put back as it was: not when the
    // flush that makes the put-back durable fails too (every flush of that file, or of the
    // folder of a file the transfer created and removes again, after the first failure).
    QTest::addColumn<bool>("putBack");

    const QList<Destination> list = destinations();
    const struct
    {
        const char *call;
        const char *mode;
        const char *error;
    } faults[] = {
        { "write", "once", "ENOSPC" },
        { "write", "once", "EIO" },
        { "write", "always", "ENOSPC" },
        { "write", "always", "EIO" },
        { "write", "short", "ENOSPC" },
        { "write", "short", "EIO" },
        { "write", "short-once", "ENOSPC" },
        { "fsync", "once", "ENOSPC" },
        { "fsync", "once", "EIO" },
        { "fsync", "always", "ENOSPC" },
        { "fsync", "always", "EIO" },
    };
    // A file the transfer creates is only durable once its folder is flushed too.
    for (const char *mode : { "once", "always" }) {
        for (const char *error : { "ENOSPC", "EIO" })
            QTest::addRow("missing-files-folder-fsync-%s-%s", mode,
                    QByteArray(error).toLower().constData())
                    << 1 << QStringLiteral("dest") << QStringLiteral("fsync")
                    << QString::fromLatin1(mode) << QString::fromLatin1(error)
                    << (std::strcmp(mode, "always") != 0);
    }
    for (int d = 0; d < list.size(); ++d) {
        for (const QString &fileName : { world::charactersFileName(), world::itemsFileName() }) {
            const World &files = list.at(d).world;
            const bool created =
                    (fileName == world::charactersFileName() ? files.characters : files.items)
                            .isNull();
            for (const auto &fault : faults) {
                const bool everyFlushFails =
                        !std::strcmp(fault.call, "fsync") && !std::strcmp(fault.mode, "always");
                QTest::addRow("%s-%s-%s-%s-%s", list.at(d).tag,
                        fileName == world::charactersFileName() ? "characters" : "items",
                        fault.call, fault.mode, QByteArray(fault.error).toLower().constData())
                        << d << fileName << QString::fromLatin1(fault.call)
                        << QString::fromLatin1(fault.mode) << QString::fromLatin1(fault.error)
                        << (!everyFlushFails || created);
            }
        }
    }
}

void tst_FaultSweep::sweep()
{
    QFETCH(int, destinationIndex);
    QFETCH(QString, fileName);
    QFETCH(QString, call);
    QFETCH(QString, mode);
    QFETCH(QString, error);
    QFETCH(bool, putBack);
    const Destination destination = destinations().at(destinationIndex);
    const QString account = targetAccount(destination);

    QTemporaryDir tmp(scratchTemplate());
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));

    // The same transfer without a fault: how the destination must look after a success,
    // and how many calls there are to fail.
    const auto reference = prepareWorlds(tmp.filePath(QStringLiteral("reference")), destination);
    QVERIFY(!reference.first.isEmpty());
    const Run clean = runDriver(transferArguments(reference.first, reference.second, account),
            { { QStringLiteral("FAULT_FILE"), fileName }, { QStringLiteral("FAULT_CALL"), call },
                    { QStringLiteral("FAULT_AT"), QStringLiteral("0") } });
    QVERIFY2(clean.transferred(), qPrintable(clean.describe()));
    QVERIFY2(clean.calls > 0,
            qPrintable(QStringLiteral("no %1 call on %2 to fail: %3")
                               .arg(call, fileName, clean.describe())));
    const WorldBytes transferred = snapshot(reference.second);

    for (long n = 1;; ++n) {
        QVERIFY2(n <= clean.calls + 1, "the fault library counted more calls than without fault");
        const auto dirs = prepareWorlds(tmp.filePath(QStringLiteral("run%1").arg(n)), destination);
        QVERIFY(!dirs.first.isEmpty());
        const WorldBytes sourceBefore = snapshot(dirs.first);
        const WorldBytes destBefore = snapshot(dirs.second);
        const Run run = runDriver(transferArguments(dirs.first, dirs.second, account),
                { { QStringLiteral("FAULT_FILE"), fileName },
                        { QStringLiteral("FAULT_CALL"), call },
                        { QStringLiteral("FAULT_AT"), QString::number(n) },
                        { QStringLiteral("FAULT_MODE"), mode },
                        { QStringLiteral("FAULT_ERRNO"), error } });
        const QString context = QStringLiteral("%1 %2 of %3 failing: %4")
                                        .arg(call)
                                        .arg(n)
                                        .arg(clean.calls)
                                        .arg(run.describe());
        QVERIFY2(!run.crashed && !run.timedOut, qPrintable(context));
        QVERIFY2(!run.output.contains(QLatin1String("CURSOR left")), qPrintable(context));

        if (run.fired == 0) {
            // Past the last call: the sweep is complete and the run a plain success.
            QCOMPARE(n, clean.calls + 1);
            QVERIFY2(run.transferred(), qPrintable(context));
            QVERIFY2(transferred.differences(snapshot(dirs.second)).isEmpty(), qPrintable(context));
            break;
        }

        const WorldBytes destAfter = snapshot(dirs.second);
        if (mode == QLatin1String("short-once") && run.transferred()) {
            // A write that comes up short once and then goes on is no failure: the rest
            // must have been written after it, byte for byte.
            QVERIFY2(transferred.differences(destAfter).isEmpty(),
                    qPrintable(context + QLatin1Char('\n') + transferred.differences(destAfter)));
            continue;
        }
        QVERIFY2(run.warned(), qPrintable(QStringLiteral("no warning: ") + context));
        QVERIFY2(destBefore.differences(destAfter).isEmpty(),
                qPrintable(QStringLiteral("destination changed: ")
                        + destBefore.differences(destAfter) + QLatin1Char('\n') + context));
        if (!destination.sameAsSource) {
            const WorldBytes sourceAfter = snapshot(dirs.first);
            QVERIFY2(sourceBefore.differences(sourceAfter).isEmpty(),
                    qPrintable(QStringLiteral("source changed: ")
                            + sourceBefore.differences(sourceAfter)));
        }
        // The warning names the file and the system's reason.
        bool named = false;
        for (const auto &box : run.boxes)
            named = named
                    || (box.second.contains(fileName) && box.second.contains(reasonFor(error)));
        QVERIFY2(named,
                qPrintable(QStringLiteral("no box names %1 and \"%2\": %3")
                                   .arg(fileName, reasonFor(error), context)));
        // And tells whether the destination is safe to use as it is.
        const QString outcome = putBack
                ? QStringLiteral("The destination world was left as it was")
                : QStringLiteral("The destination world could not be put back as it was");
        // A failing first flush of the folder now fails the transfer journal, before
        // anything is appended: then there is nothing to put back.
        bool told = false;
        for (const auto &box : run.boxes) {
            told = told || box.second.contains(outcome)
                    || (box.second.contains(QLatin1String("failed before it began"))
                            && box.second.contains(
                                    QLatin1String("The destination world was left as it was")));
        }
        QVERIFY2(told, qPrintable(QStringLiteral("no box says \"%1\": %2").arg(outcome, context)));
    }
}

// A file the transfer creates is on disk only once its folder is: after each world file it
// created has its bytes flushed, the folder is flushed, before the journal is removed and
// the transfer counts as done. Only a power cut would show the harm, so the calls are read.
void tst_FaultSweep::createdFilesReachTheFolder()
{
    const Destination destination = destinations().at(1);
    QCOMPARE(QByteArray(destination.tag), QByteArray("missing-files"));
    QTemporaryDir tmp(scratchTemplate());
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const auto dirs = prepareWorlds(tmp.filePath(QStringLiteral("run")), destination);
    QVERIFY(!dirs.first.isEmpty());
    const QString log = tmp.filePath(QStringLiteral("calls.log"));
    const Run run =
            runDriver(transferArguments(dirs.first, dirs.second, targetAccount(destination)),
                    { { QStringLiteral("CRASH_DIR"), dirs.second },
                            { QStringLiteral("CRASH_AT"), QStringLiteral("0") },
                            { QStringLiteral("CALL_LOG"), log } });
    QVERIFY2(run.transferred(), qPrintable(run.describe()));

    const QStringList calls = QString::fromLocal8Bit(fixture::readFile(log))
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString all = calls.join(QLatin1Char('\n'));
    const qsizetype done =
            calls.indexOf(QStringLiteral("unlink ") + transfer::journalPath(dirs.second));
    QVERIFY2(done > 0, qPrintable(all));
    for (const QString &name : { world::charactersFileName(), world::itemsFileName() }) {
        const QString path = world::filePath(dirs.second, name);
        const qsizetype created = calls.indexOf(QStringLiteral("create ") + path);
        QVERIFY2(created >= 0, qPrintable(name + QStringLiteral(" was not created:\n") + all));
        const qsizetype flushed = calls.lastIndexOf(QStringLiteral("fsync ") + path, done);
        QVERIFY2(flushed > created, qPrintable(name + QStringLiteral(" not flushed:\n") + all));
        const qsizetype folder = calls.indexOf(QStringLiteral("fsync ") + dirs.second, flushed);
        QVERIFY2(folder > flushed && folder < done,
                qPrintable(QStringLiteral("the folder is not flushed after %1 was created and "
                                          "before the journal was removed:\n")
                                   .arg(name)
                        + all));
    }
}

QTEST_GUILESS_MAIN(tst_FaultSweep)
#include "tst_faultsweep.moc"
