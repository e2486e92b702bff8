#include <QtTest>

#include "engine/transferrun.h"
#include "world/worldformat.h"

namespace {

// Every progress call, as the window's status bar and progress bar would receive it.
class RecordedProgress : public engine::Progress
{
public:
    QStringList calls;
    void reset() override { calls << QStringLiteral("reset"); }
    void setRange(int minimum, int maximum) override
    {
        calls << QStringLiteral("range %1 %2").arg(minimum).arg(maximum);
    }
    void setValue(int value) override { calls << QStringLiteral("value %1").arg(value); }
    void showMessage(const QString &message) override
    {
        calls << QStringLiteral("message ") + message;
    }
    void clearMessage() override { calls << QStringLiteral("clear"); }
    QStringList messages() const
    {
        QStringList only;
        for (const QString &call : calls) {
            if (call.startsWith(QLatin1String("message ")) || call == QLatin1String("clear"))
                only << call;
        }
        return only;
    }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool copyWorld(const QString &from, const QString &to)
{
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        if (!QFile::copy(world::filePath(from, name), world::filePath(to, name)))
            return false;
    }
    return true;
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void transfers_data();
    void transfers();
};

void tst_Engine::transfers_data()
{
    QTest::addColumn<QString>("sourceAccount");
    QTest::addColumn<QString>("character");
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("caption");

    const int done = int(engine::TransferResult::Done);
    const int refused = int(engine::TransferResult::Refused);
    QTest::newRow("into-linnea") << "harald"
                                 << "Aldo Brand"
                                 << "linnea" << done << "";
    QTest::newRow("account-limit") << "harald"
                                   << "Aldo Brand"
                                   << "ostara" << refused << "Account limit";
    QTest::newRow("duplicate") << "tobin"
                               << "Garrick"
                               << "bram" << refused << "Character Duplication";
    QTest::newRow("no-such-character") << "harald"
                                       << "Nobody"
                                       << "linnea" << refused << "Transfer Error";
}

// A whole transfer without a window: the same refusals, the same messages at the same
// moments as the window shows them, and a dry run that says exactly what a real one writes.
void tst_Engine::transfers()
{
    QFETCH(QString, sourceAccount);
    QFETCH(QString, character);
    QFETCH(QString, destAccount);
    QFETCH(int, result);
    QFETCH(QString, caption);

    QTemporaryDir dest;
    QVERIFY(dest.isValid());
    QVERIFY(copyWorld(QStringLiteral(EXAMPLES_DIR "/destination"), dest.path()));
    const QString source = QStringLiteral(EXAMPLES_DIR "/source");
    const QByteArray charactersBefore =
            readFile(world::filePath(dest.path(), world::charactersFileName()));
    const QByteArray itemsBefore = readFile(world::filePath(dest.path(), world::itemsFileName()));

    engine::Session session;
    RecordedProgress progress;
    engine::LoadListener listener;
    engine::loadWorld(session, source, false, progress, listener);
    engine::loadWorld(session, dest.path(), true, progress, listener);
    QCOMPARE(progress.messages(),
            QStringList(
                    { "message Processing accounts.adm", "clear", "message Processing ztpcs.wsc",
                            "message Ready", "message Processing accounts.adm", "clear",
                            "message Processing ztpcs.wsc", "message Ready" }));
    const engine::TransferRequest request{ sourceAccount, character, destAccount };

    engine::TransferSteps dryRunSteps(progress);
    const engine::TransferOutcome dry = engine::runTransfer(session, request, dryRunSteps, true);
    QCOMPARE(int(dry.result), result);
    QCOMPARE(dry.message.caption, caption);
    QCOMPARE(readFile(world::filePath(dest.path(), world::charactersFileName())), charactersBefore);
    QCOMPARE(readFile(world::filePath(dest.path(), world::itemsFileName())), itemsBefore);

    progress.calls.clear();
    engine::TransferSteps steps(progress);
    const engine::TransferOutcome outcome = engine::runTransfer(session, request, steps);
    QCOMPARE(int(outcome.result), result);
    QCOMPARE(outcome.message.caption, caption);
    const QByteArray charactersAfter =
            readFile(world::filePath(dest.path(), world::charactersFileName()));
    const QByteArray itemsAfter = readFile(world::filePath(dest.path(), world::itemsFileName()));
    if (outcome.result != engine::TransferResult::Done) {
        QVERIFY(progress.calls.isEmpty());
        QCOMPARE(charactersAfter, charactersBefore);
        QCOMPARE(itemsAfter, itemsBefore);
        return;
    }
    QCOMPARE(progress.messages(),
            QStringList({ "message Acquiring item serial numbers", "message Ready",
                    "message Identifiying items", "message Ready", "message Transferring Character",
                    "message Ready", "message Transferring Items",
                    "message Processing accounts.adm", "clear", "message Processing ztpcs.wsc",
                    "message Ready" }));
    QCOMPARE(charactersAfter, charactersBefore + outcome.characterText);
    QCOMPARE(itemsAfter, itemsBefore + outcome.itemsText);
    QCOMPARE(outcome.characterText, dry.characterText);
    QCOMPARE(outcome.itemsText, dry.itemsText);
    QCOMPARE(outcome.newSection, 10);
    QCOMPARE(outcome.newSerial, 11);
    QCOMPARE(outcome.itemsWritten, 11);
    QCOMPARE(outcome.itemsLeftBehind, 0);
    // The destination was loaded again and holds the new character.
    int account = -1;
    QVERIFY(world::findAccount(session.destAccounts, destAccount, &account));
    QVERIFY(world::findCharacter(session.destChars, account, character));
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
