// Broken worlds loaded as the source and as the destination, and transferred from and into
// where the trees offer something to select: never a crash or a hang, every case well
// under two seconds, the source never written, a destination only ever appended to.
#include <QtTest>

#include <QRegularExpression>

#include "faults/badworlds.h"
#include "faults/faultsupport.h"
#include "world/worldformat.h"

using namespace faults;

class tst_BadInput : public QObject
{
    Q_OBJECT

private slots:
    void corpusCoversEveryKind();
    void badWorld_data();
    void badWorld();
};

namespace {

// Whether `after` is `before` with text appended to its files (or created ones).
QString notOnlyAppended(const WorldBytes &before, const WorldBytes &after)
{
    QStringList problems;
    for (auto it = before.files.begin(); it != before.files.end(); ++it) {
        const QByteArray now = after.files.value(it.key());
        if (!after.files.contains(it.key()) || !now.startsWith(it.value()))
            problems << QStringLiteral("%1 was changed, not appended to").arg(it.key());
    }
    return problems.join(QLatin1String("; "));
}

QString check(const Run &run, const char *what, qint64 limitMs)
{
    if (run.crashed || run.timedOut)
        return QStringLiteral("%1: %2").arg(QLatin1String(what), run.describe());
    if (run.exitCode != 0 && run.exitCode != 3 && run.exitCode != 4)
        return QStringLiteral("%1: unexpected exit: %2").arg(QLatin1String(what), run.describe());
    if (run.elapsedMs >= limitMs)
        return QStringLiteral("%1: took %2 ms").arg(QLatin1String(what)).arg(run.elapsedMs);
    if (run.output.contains(QLatin1String("CURSOR left")))
        return QStringLiteral("%1: the wait cursor was left on").arg(QLatin1String(what));
    return QString();
}

} // namespace

void tst_BadInput::corpusCoversEveryKind()
{
    const QList<badworlds::Case> cases = badworlds::corpus();
    QVERIFY2(cases.size() >= 200, qPrintable(QString::number(cases.size())));
    QSet<QString> names;
    QSet<QString> kinds;
    static const QRegularExpression tagForm(QStringLiteral("^[a-z0-9]+(-[a-z0-9]+)*$"));
    for (const badworlds::Case &c : cases) {
        QVERIFY2(tagForm.match(c.name).hasMatch(), qPrintable(c.name));
        QVERIFY2(!names.contains(c.name), qPrintable(QStringLiteral("twice: ") + c.name));
        names.insert(c.name);
        kinds.insert(c.name.section(QLatin1Char('-'), 0, 0));
    }
    for (const char *kind : { "cut", "crlf", "lone", "mixed", "nul", "high", "long", "empty",
                 "missing", "directory", "link", "number", "headers", "braces" })
        QVERIFY2(kinds.contains(QLatin1String(kind)), kind);
}

void tst_BadInput::badWorld_data()
{
    QTest::addColumn<int>("index");
    const QList<badworlds::Case> cases = badworlds::corpus();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(qPrintable(cases.at(i).name)) << i;
}

void tst_BadInput::badWorld()
{
    QFETCH(int, index);
    const badworlds::Case bad = badworlds::corpus().at(index);
    QTemporaryDir tmp(scratchTemplate());
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString badSource = tmp.filePath(QStringLiteral("bad-source"));
    const QString badDest = tmp.filePath(QStringLiteral("bad-dest"));
    const QString goodSource = tmp.filePath(QStringLiteral("good-source"));
    const QString goodDest = tmp.filePath(QStringLiteral("good-dest"));
    QString error;
    QVERIFY2(badworlds::materialize(bad, badSource, &error), qPrintable(error));
    QVERIFY2(badworlds::materialize(bad, badDest, &error), qPrintable(error));
    QVERIFY(write(goodSource, badworlds::soundWorld()));
    QVERIFY(write(goodDest, badworlds::soundWorld()));
    const WorldBytes badSourceBefore = snapshot(badSource);
    const WorldBytes badDestBefore = snapshot(badDest);
    const WorldBytes goodSourceBefore = snapshot(goodSource);
    const WorldBytes goodDestBefore = snapshot(goodDest);

    // The bad world as the source (its first character into the first account), and as
    // the destination (of the sound world's character, into its first account).
    const qint64 limitMs = qint64(2000 * timeScale());
    const QList<Run> runs = runDrivers(
            { { QStringLiteral("--source"), badSource, QStringLiteral("--dest"), goodDest },
                    { QStringLiteral("--source"), goodSource, QStringLiteral("--dest"), badDest,
                            QStringLiteral("--character"), QStringLiteral("Aldo Brand") } },
            int(limitMs + 1000));
    const Run &fromBad = runs.at(0);
    const Run &intoBad = runs.at(1);
    const QString fromProblem = check(fromBad, "from the bad world", limitMs);
    QVERIFY2(fromProblem.isEmpty(), qPrintable(fromProblem));
    const QString intoProblem = check(intoBad, "into the bad world", limitMs);
    QVERIFY2(intoProblem.isEmpty(), qPrintable(intoProblem));

    // Sources are never written.
    QVERIFY2(badSourceBefore.differences(snapshot(badSource)).isEmpty(),
            qPrintable(badSourceBefore.differences(snapshot(badSource))));
    QVERIFY2(goodSourceBefore.differences(snapshot(goodSource)).isEmpty(),
            qPrintable(goodSourceBefore.differences(snapshot(goodSource))));
    // A destination is appended to by a transfer that went through, else left as it was.
    const WorldBytes goodDestAfter = snapshot(goodDest);
    const WorldBytes badDestAfter = snapshot(badDest);
    if (fromBad.transferred())
        QVERIFY2(notOnlyAppended(goodDestBefore, goodDestAfter).isEmpty(),
                qPrintable(notOnlyAppended(goodDestBefore, goodDestAfter)));
    else
        QVERIFY2(goodDestBefore.differences(goodDestAfter).isEmpty(),
                qPrintable(goodDestBefore.differences(goodDestAfter) + QLatin1Char('\n')
                        + fromBad.describe()));
    if (intoBad.transferred())
        QVERIFY2(notOnlyAppended(badDestBefore, badDestAfter).isEmpty(),
                qPrintable(notOnlyAppended(badDestBefore, badDestAfter)));
    else
        QVERIFY2(badDestBefore.differences(badDestAfter).isEmpty(),
                qPrintable(badDestBefore.differences(badDestAfter) + QLatin1Char('\n')
                        + intoBad.describe()));
}

QTEST_GUILESS_MAIN(tst_BadInput)
#include "tst_badinput.moc"
