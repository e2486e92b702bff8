#include <QtTest>

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "app/mainwindow.h"
#include "support/modalanswer.h"
#include "support/worldfixture.h"
#include "transfer/appendfile.h"
#include "transfer/journal.h"
#include "transfer/worldlock.h"
#include "world/worldformat.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString accountsPath(const QString &dir)
{
    return world::filePath(dir, world::accountsFileName());
}

QString charactersPath(const QString &dir)
{
    return world::filePath(dir, world::charactersFileName());
}

QString itemsPath(const QString &dir)
{
    return world::filePath(dir, world::itemsFileName());
}

QByteArray account(int number, const QByteArray &name)
{
    return "SECTION ACCOUNT " + QByteArray::number(number) + "\n{\nNAME " + name + "\n}\n";
}

QByteArray character(int section, int serial, const QByteArray &name, int accountNumber,
        const QByteArray &extra = QByteArray())
{
    return "SECTION CHARACTER " + QByteArray::number(section) + "\n{\nSERIAL "
            + QByteArray::number(serial) + "\nNAME " + name + "\nACCOUNT "
            + QByteArray::number(accountNumber) + "\n" + extra + "}\n";
}

QByteArray itemRecord(int section, int serial, int owner, const QByteArray &extra = QByteArray())
{
    return "SECTION WORLDITEM " + QByteArray::number(section) + "\n{\nSERIAL "
            + QByteArray::number(serial) + "\nOWNER " + QByteArray::number(owner) + "\n" + extra
            + "}\n";
}

// The character and item headers the writers put before every copied record.
const QByteArray characterHead = "\n//********Transfered Character***********\nSECTION CHARACTER ";
const QByteArray itemHead = "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM ";

// The source world most tests start from. Aldo (serial 100, account alice) wears a robe,
// carries a bag with a coin and a key in it, a note inside the coin's pouch, and is linked
// to a type 7 marker; Bea (serial 101) owns one item.
struct SourceWorld
{
    QByteArray accounts = account(1, "alice") + account(2, "bob");
    QByteArray characters = "// source characters\n"
            + character(0, 100, "Aldo", 1, "OWN 100\nROBE 5000 // worn robe\nSTR 50 // strength\n")
            + character(1, 101, "Bea", 2);
    QByteArray items = itemRecord(1, 5000, 100, "NAME robe // worn\nCONT 100\n")
            + itemRecord(2, 5001, 100, "NAME  bag\nCONT 100\nTYPE 1\n")
            + itemRecord(3, 5002, 100, "NAME coin\nCONT 5001\n")
            + itemRecord(4, 5003, 100, "NAME key\nCONT 5001\nTYPE 7\nMORE 5002\n")
            + itemRecord(5, 5004, 101, "NAME apple\n")
            + itemRecord(6, 5005, 100, "NAME marker\nTYPE 7\nMORE 100\n")
            + itemRecord(7, 5006, 100, "NAME note\nCONT 5002\n");
};

// The destination: carol (3) holds Zed; dave (4) four characters; erin (5) five, one of
// them Aldo; frank (6) none; hank (8) an Aldo; ivan (9) an aldo. The highest character
// record number is 41 and serial 57, the highest item record number 99.
struct DestWorld
{
    QByteArray accounts = account(3, "carol") + account(4, "dave") + account(5, "erin")
            + account(6, "frank") + account(8, "hank") + account(9, "ivan");
    QByteArray characters = character(41, 57, "Zed", 3) + character(2, 20, "D1", 4)
            + character(3, 21, "D2", 4) + character(4, 22, "D3", 4) + character(5, 23, "D4", 4)
            + character(6, 30, "E1", 5) + character(7, 31, "E2", 5) + character(8, 32, "E3", 5)
            + character(9, 33, "E4", 5) + character(10, 34, "Aldo", 5)
            + character(11, 40, "Aldo", 8) + character(12, 41, "aldo", 9);
    QByteArray items = itemRecord(99, 1073741900, 57, "NAME sword\nCONT 57\n");
};

// Both directories with the worlds above in them.
bool writeWorlds(const QTemporaryDir &source, const QTemporaryDir &dest)
{
    const SourceWorld s;
    const DestWorld d;
    return source.isValid() && dest.isValid()
            && fixture::writeWorld(source.path(), s.accounts, s.characters, s.items)
            && fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items);
}

// Closes every modal widget that turns up while it lives and remembers its title, so a
// box that should not appear fails the test instead of blocking it.
class ModalGuard
{
public:
    QStringList seen() const { return m_collector.titles(); }

private:
    ModalCollector m_collector;
};

QTreeWidgetItem *findItem(
        QTreeWidget *view, const QString &accountName, const QString &characterName = QString())
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *accountItem = view->topLevelItem(i);
        if (accountItem->text(0) != accountName)
            continue;
        if (characterName.isEmpty())
            return accountItem;
        for (int c = 0; c < accountItem->childCount(); ++c) {
            if (accountItem->child(c)->text(1) == characterName)
                return accountItem->child(c);
        }
    }
    return nullptr;
}

QStringList characterNames(QTreeWidget *view, const QString &accountName)
{
    QStringList names;
    QTreeWidgetItem *accountItem = findItem(view, accountName);
    for (int c = 0; accountItem && c < accountItem->childCount(); ++c)
        names << accountItem->child(c)->text(1);
    // The view orders an account's characters itself; what counts is who is there.
    names.sort();
    return names;
}

// All files of a world, to compare before and after.
struct WorldBytes
{
    QByteArray accounts;
    QByteArray characters;
    QByteArray items;
    bool operator==(const WorldBytes &other) const
    {
        return accounts == other.accounts && characters == other.characters && items == other.items;
    }
};

WorldBytes readWorld(const QString &dir)
{
    return { fixture::readFile(accountsPath(dir)), fixture::readFile(charactersPath(dir)),
        fixture::readFile(itemsPath(dir)) };
}

// A record of a world file as key lines, for checking what a transfer made of it.
struct Record
{
    QByteArray header;
    QMap<QByteArray, QList<QByteArray>> values;
    int number(const QByteArray &key) const { return world::toNumber(values.value(key).value(0)); }
};

QList<Record> readRecords(const QByteArray &bytes)
{
    QList<Record> records;
    bool inside = false;
    for (const QByteArray &raw : bytes.split('\n')) {
        const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
        if (line.keyIs("SECTION")) {
            records.append(Record{ world::encode(line.toString()), {} });
            inside = false;
        } else if (line.is("{")) {
            inside = true;
        } else if (line.is("}")) {
            inside = false;
        } else if (inside && !records.isEmpty()) {
            records.last().values[line.word(0).toByteArray()].append(line.word(1).toByteArray());
        }
    }
    return records;
}

} // namespace

class tst_TransferCommand : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void transferGoesAhead_data();
    void transferGoesAhead();
    void exampleTables();
    void destinationWithoutRecords_data();
    void destinationWithoutRecords();
    void roundTripIsConsistent();
    void sourceChosenWithChooser();
    void firstOfTwoNamesakesIsCopied();
    void sameWorldTwice();

    void lookupFails_data();
    void lookupFails();
    void itemsAppendFailsCharactersRestored();
    void writeFailures_data();
    void writeFailures();
    void restoreFailureIsReported();
    void staleSource_data();
    void staleSource();
    void staleDestination_data();
    void staleDestination();
    void recordBeyondReach();
    void cutOffDestination_data();
    void cutOffDestination();
    void readErrorRefuses_data();
    void readErrorRefuses();
    void sourceRecordWithoutBrace();
    void sourceRecordWithoutBraceInSameWorld();
    void referencesOutsideTheTransfer();
    void clickDuringTransferIsIgnored();
    void countersAtTheLimit_data();
    void countersAtTheLimit();
    void keysAsTheLoaderReadsThem();
    void recordEnds_data();
    void recordEnds();
    void damagedWorlds_data();
    void damagedWorlds();
    void destinationAccountsChanged();
    void longWorldPath();
    void journalLeftInDestination();
    void sourceLoadUndoesAnInterruptedTransfer();
    void unexpectedBoxFailsAtOnce();
    void worldBusy_data();
    void worldBusy();
    void encodedWorlds_data();
    void encodedWorlds();

private:
    // Loads the worlds as a user would and selects in both trees. An empty character
    // selects the account item; an empty account selects nothing.
    bool setUp(MainWindow *window, const QString &source, const QString &dest);
    bool select(QTreeWidget *view, const QString &accountName, const QString &characterName);
    void clickArrow(MainWindow *window);
    // The state every transfer leaves, done or refused.
    void checkIdle(MainWindow *window);
    // Clicks the arrow expecting the warning box `caption`; returns its text.
    QString clickExpectingWarning(MainWindow *window, const QString &caption);
};

bool tst_TransferCommand::setUp(MainWindow *window, const QString &source, const QString &dest)
{
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        return false;
    window->processFile(
            source, window->listView1, &window->sourceAccounts, &window->sourceChars, false);
    window->sourceDir = source;
    window->fileDestination(dest);
    return window->listView1->topLevelItemCount() > 0 && window->listView2->topLevelItemCount() > 0;
}

bool tst_TransferCommand::select(
        QTreeWidget *view, const QString &accountName, const QString &characterName)
{
    view->clearSelection();
    if (accountName.isEmpty())
        return true;
    QTreeWidgetItem *item = findItem(view, accountName, characterName);
    if (!item)
        return false;
    view->setCurrentItem(item);
    return view->selectedItems().value(0) == item;
}

void tst_TransferCommand::clickArrow(MainWindow *window)
{
    QTest::mouseClick(window->pushButton1, Qt::LeftButton);
}

void tst_TransferCommand::checkIdle(MainWindow *window)
{
    QVERIFY2(QApplication::overrideCursor() == nullptr, "the wait cursor is removed");
    QVERIFY2(!window->transferRunning, "the transfer has ended");
}

QString tst_TransferCommand::clickExpectingWarning(MainWindow *window, const QString &caption)
{
    ModalRecord box;
    answerNextModal(&box);
    clickArrow(window);
    if (!box.ran) {
        QTest::qFail("no warning box appeared", __FILE__, __LINE__);
        return QString();
    }
    if (box.title != caption) {
        QTest::qFail(qPrintable(QStringLiteral("warning '%1' instead of '%2': %3")
                                        .arg(box.title, caption, box.text)),
                __FILE__, __LINE__);
    }
    return box.text;
}

void tst_TransferCommand::refusals_data()
{
    QTest::addColumn<QString>("sourceAccount");
    QTest::addColumn<QString>("sourceCharacter");
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<QString>("destCharacter");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("text");

    const QString selection = QStringLiteral("A character from the source, and account from the "
                                             "desitination must be selected to enable transfer.");
    const QString limit =
            QStringLiteral("The destination account has the maximum amount (5) characters.");
    const QString duplicate =
            QStringLiteral("The destination account all ready has a character by that name.");
    QTest::newRow("nothing-selected-in-source") << ""
                                                << ""
                                                << "frank"
                                                << ""
                                                << "Transfer Error" << selection;
    QTest::newRow("nothing-selected-in-destination") << "alice"
                                                     << "Aldo"
                                                     << ""
                                                     << ""
                                                     << "Transfer Error" << selection;
    QTest::newRow("account-selected-in-source") << "alice"
                                                << ""
                                                << "frank"
                                                << ""
                                                << "Transfer Error" << selection;
    QTest::newRow("nothing-selected-anywhere") << ""
                                               << ""
                                               << ""
                                               << ""
                                               << "Transfer Error" << selection;
    QTest::newRow("account-with-five-characters") << "bob"
                                                  << "Bea"
                                                  << "erin"
                                                  << ""
                                                  << "Account limit" << limit;
    // The limit is tested before the name: erin is full and also holds an Aldo.
    QTest::newRow("full-account-holding-the-name") << "alice"
                                                   << "Aldo"
                                                   << "erin"
                                                   << "E1"
                                                   << "Account limit" << limit;
    QTest::newRow("name-already-in-account") << "alice"
                                             << "Aldo"
                                             << "hank"
                                             << ""
                                             << "Character Duplication" << duplicate;
    QTest::newRow("name-already-in-account-of-selected-character")
            << "alice"
            << "Aldo"
            << "hank"
            << "Aldo"
            << "Character Duplication" << duplicate;
}

void tst_TransferCommand::refusals()
{
    QFETCH(QString, sourceAccount);
    QFETCH(QString, sourceCharacter);
    QFETCH(QString, destAccount);
    QFETCH(QString, destCharacter);
    QFETCH(QString, caption);
    QFETCH(QString, text);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));
    const WorldBytes sourceBefore = readWorld(source.path());
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, sourceAccount, sourceCharacter));
    QVERIFY(select(window.listView2, destAccount, destCharacter));
    const QString shown = window.statusBar()->currentMessage();

    QCOMPARE(clickExpectingWarning(&window, caption), text);
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "a refused transfer writes nothing");
    QVERIFY2(readWorld(source.path()) == sourceBefore, "the source is never written");
    QCOMPARE(window.statusBar()->currentMessage(), shown);
}

void tst_TransferCommand::transferGoesAhead_data()
{
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<QString>("destCharacter");
    QTest::addColumn<int>("accountNumber");
    QTest::addColumn<QStringList>("namesAfter");

    QTest::newRow("account-without-characters") << "frank"
                                                << "" << 6 << QStringList{ "Aldo" };
    QTest::newRow("account-with-four-characters")
            << "dave"
            << "" << 4 << QStringList{ "Aldo", "D1", "D2", "D3", "D4" };
    QTest::newRow("character-selected-goes-to-its-account")
            << "dave"
            << "D3" << 4 << QStringList{ "Aldo", "D1", "D2", "D3", "D4" };
    QTest::newRow("name-differing-in-case-is-no-duplicate")
            << "ivan"
            << "aldo" << 9 << QStringList{ "Aldo", "aldo" };
}

void tst_TransferCommand::transferGoesAhead()
{
    QFETCH(QString, destAccount);
    QFETCH(QString, destCharacter);
    QFETCH(int, accountNumber);
    QFETCH(QStringList, namesAfter);

    QTemporaryDir source;
    QTemporaryDir dest;
    const DestWorld d;
    QVERIFY(writeWorlds(source, dest));
    const WorldBytes sourceBefore = readWorld(source.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, destAccount, destCharacter));
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);
    {
        ModalGuard guard;
        clickArrow(&window);
        QVERIFY2(guard.seen().isEmpty(), qPrintable(guard.seen().join(", ")));
    }
    checkIdle(&window);

    QVERIFY2(readWorld(source.path()) == sourceBefore, "the source is never written");
    const QByteArray characters = fixture::readFile(charactersPath(dest.path()));
    QVERIFY(characters.startsWith(d.characters));
    QCOMPARE(characters.mid(d.characters.size()),
            characterHead + "42\n{\nSERIAL 58\nNAME Aldo\nACCOUNT "
                    + QByteArray::number(accountNumber)
                    + "\nOWN 58\nROBE -1\nSTR 50 // strength\n}\n");
    QCOMPARE(readRecords(fixture::readFile(itemsPath(dest.path()))).size(), 1 + 6);

    // The destination was loaded again: the new character shows under its account.
    QCOMPARE(characterNames(window.listView2, destAccount), namesAfter);
    const QList<char_st> listed = window.destChars.value(accountNumber);
    QCOMPARE(listed.last().name, QStringLiteral("Aldo"));
    QCOMPARE(listed.last().serial, 58);
    QCOMPARE(window.maxCharSection, 42);
    QCOMPARE(window.maxCharSerial, 58);
    QVERIFY(window.serialMap.isEmpty());
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));

    QStringList seen;
    for (const QList<QVariant> &message : std::as_const(messages))
        seen << message.at(0).toString();
    for (const char *phase : { "Acquiring item serial numbers", "Identifiying items",
                 "Transferring Character", "Transferring Items", "Processing ztpcs.wsc" }) {
        QVERIFY2(seen.contains(QLatin1String(phase)),
                qPrintable(QStringLiteral("%1 not among %2")
                                   .arg(QLatin1String(phase), seen.join(" | "))));
    }
    QVERIFY2(seen.indexOf("Transferring Character") < seen.indexOf("Transferring Items"),
            qPrintable(seen.join(" | ")));
}

// Both worked examples at once, through the window: the character record and the two
// items come out byte for byte as the tables give them.
void tst_TransferCommand::exampleTables()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const QByteArray sourceCharacters = "SECTION CHARACTER 5\n"
                                        "{\n"
                                        "SERIAL 12\n"
                                        "NAME Aldo Brand\n"
                                        "ACCOUNT 7\n"
                                        "OWN 12\n"
                                        "ROBE 900 // worn robe\n"
                                        "STR 50 // strength\n"
                                        "}\n";
    const QByteArray sourceItems = "SECTION WORLDITEM 1\n{\nSERIAL 200\nNAME bag\nOWNER 12\n"
                                   "TYPE 1\n}\n"
                                   "SECTION WORLDITEM 2\n{\nSERIAL 210\nOWNER 12\nCONT 200\n"
                                   "TYPE 7\nMORE 200\n}\n";
    QVERIFY(fixture::writeWorld(source.path(), account(7, "gina"), sourceCharacters, sourceItems));
    const QByteArray destCharacters = character(41, 57, "Zed", 3);
    const QByteArray destItems = itemRecord(99, 4000, 57);
    QVERIFY(fixture::writeWorld(dest.path(), account(3, "carol"), destCharacters, destItems));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "gina", "Aldo Brand"));
    QVERIFY(select(window.listView2, "carol", ""));
    clickArrow(&window);
    checkIdle(&window);

    QCOMPARE(fixture::readFile(charactersPath(dest.path())),
            destCharacters
                    + "\n"
                      "//********Transfered Character***********\n"
                      "SECTION CHARACTER 42\n"
                      "{\n"
                      "SERIAL 58\n"
                      "NAME Aldo Brand\n"
                      "ACCOUNT 3\n"
                      "OWN 58\n"
                      "ROBE -1\n"
                      "STR 50 // strength\n"
                      "}\n");
    // Serials below 0x40000000 in the destination: the new ones start at 0x40000001.
    QCOMPARE(fixture::readFile(itemsPath(dest.path())),
            destItems
                    + "\n"
                      "//********Transfered ITEM***********\n"
                      "\n"
                      "SECTION WORLDITEM 100\n"
                      "{\n"
                      "SERIAL 1073741825\n"
                      "NAME bag\n"
                      "OWNER 58\n"
                      "TYPE 1\n"
                      "}\n"
                      "\n"
                      "\n"
                      "//********Transfered ITEM***********\n"
                      "\n"
                      "SECTION WORLDITEM 101\n"
                      "{\n"
                      "SERIAL 1073741826\n"
                      "OWNER 58\n"
                      "CONT 1073741825\n"
                      "TYPE 7\n"
                      "MORE 1073741825\n"
                      "}\n"
                      "\n");
    QCOMPARE(characterNames(window.listView2, "carol"), (QStringList{ "Aldo Brand", "Zed" }));
}

void tst_TransferCommand::destinationWithoutRecords_data()
{
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QByteArray>("charactersAfter");
    QTest::addColumn<QByteArray>("itemsAfter");

    // The source names its records PLAYER and ITEM; the copies are CHARACTER and WORLDITEM.
    const QByteArray copiedItem = "{\nSERIAL 1073741825\nOWNER 1\nCONT 1\n}\n\n";
    // An empty characters file gives the counters -1 and 0: record 0, serial 1.
    QTest::newRow("empty-files") << QByteArray("") << QByteArray("")
                                 << characterHead
                    + "0\n{\nSERIAL 1\nNAME Aldo\nACCOUNT 6\nOWN 1\n}\n"
                                 << itemHead + "0\n" + copiedItem;
    // Files that cannot be read leave the counters at 0 from the load: record 1, serial 1;
    // the writers create them.
    QTest::newRow("missing-files")
            << QByteArray() << QByteArray()
            << characterHead + "1\n{\nSERIAL 1\nNAME Aldo\nACCOUNT 6\nOWN 1\n}\n"
            << itemHead + "0\n" + copiedItem;
    // Comments only, and no line feed at the end: the first line feed ends that line.
    QTest::newRow("comment-without-last-line-feed")
            << QByteArray("// no characters yet") << QByteArray("// no items yet")
            << "// no characters yet" + characterHead
                    + "0\n{\nSERIAL 1\nNAME Aldo\nACCOUNT 6\nOWN 1\n}\n"
            << "// no items yet" + itemHead + "0\n" + copiedItem;
}

void tst_TransferCommand::destinationWithoutRecords()
{
    QFETCH(QByteArray, characters);
    QFETCH(QByteArray, items);
    QFETCH(QByteArray, charactersAfter);
    QFETCH(QByteArray, itemsAfter);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    QVERIFY(fixture::writeWorld(source.path(), account(1, "alice"),
            "SECTION PLAYER 9\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\nOWN 100\n}\n",
            "SECTION ITEM 4\n{\nSERIAL 5000\nOWNER 100\nCONT 100\n}\n"));
    QVERIFY(fixture::writeWorld(dest.path(), account(6, "frank"), characters, items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())), charactersAfter);
    QCOMPARE(fixture::readFile(itemsPath(dest.path())), itemsAfter);
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });
}

// A character with equipped items, nested containers and type 7 links, loaded again after
// the transfer: every copied item belongs to the new character and points only at copied
// items, the character or nothing, and no number is used twice.
void tst_TransferCommand::roundTripIsConsistent()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);

    const char_st *copied = world::findCharacter(window.destChars, 6, QStringLiteral("Aldo"));
    QVERIFY2(copied, "the new character is loaded");
    const int newSerial = copied->serial;
    QCOMPARE(newSerial, 58);

    const QList<Record> characters = readRecords(fixture::readFile(charactersPath(dest.path())));
    QSet<int> characterSerials;
    QSet<int> characterSections;
    for (const Record &record : characters) {
        QVERIFY2(!characterSerials.contains(record.number("SERIAL")), record.header.constData());
        characterSerials.insert(record.number("SERIAL"));
        const int section = world::toNumber(record.header.split(' ').value(2));
        QVERIFY2(!characterSections.contains(section), record.header.constData());
        characterSections.insert(section);
    }

    const QList<Record> items = readRecords(fixture::readFile(itemsPath(dest.path())));
    QCOMPARE(items.size(), 1 + 6);
    QSet<int> itemSerials;
    QSet<int> itemSections;
    for (const Record &record : items) {
        QVERIFY2(!itemSerials.contains(record.number("SERIAL")), record.header.constData());
        itemSerials.insert(record.number("SERIAL"));
        const int section = world::toNumber(record.header.split(' ').value(2));
        QVERIFY2(!itemSections.contains(section), record.header.constData());
        itemSections.insert(section);
    }
    const QList<Record> copiedItems = items.mid(1);
    QSet<int> copiedSerials;
    for (const Record &record : copiedItems)
        copiedSerials.insert(record.number("SERIAL"));
    for (const Record &record : copiedItems) {
        QCOMPARE(record.number("OWNER"), newSerial);
        QVERIFY2(record.number("SERIAL") > 1073741900, record.header.constData());
        for (const char *key : { "CONT", "MORE" }) {
            for (const QByteArray &value : record.values.value(key)) {
                const int target = world::toNumber(value);
                QVERIFY2(target == -1 || target == newSerial || copiedSerials.contains(target),
                        qPrintable(QStringLiteral("%1 %2 %3")
                                           .arg(QLatin1String(record.header), QLatin1String(key))
                                           .arg(target)));
            }
        }
    }
    // The old serials, in ascending order, took the new ones in source order: robe 5000,
    // bag 5001, coin 5002, key 5003, marker 5005, note 5006.
    QCOMPARE(copiedItems.at(3).number("CONT"), copiedItems.at(1).number("SERIAL"));
    QCOMPARE(copiedItems.at(3).number("MORE"), copiedItems.at(2).number("SERIAL"));
    QCOMPARE(copiedItems.at(4).number("MORE"), newSerial);
    QCOMPARE(copiedItems.at(5).number("CONT"), copiedItems.at(2).number("SERIAL"));
    QCOMPARE(copiedItems.at(0).number("CONT"), newSerial);
}

void tst_TransferCommand::sourceChosenWithChooser()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalRecord chooser;
    answerNextModal(&chooser, [&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY(dialog);
        dialog->setDirectory(source.path());
        dialog->selectFile(source.path());
        static_cast<QDialog *>(dialog)->accept();
    });
    window.fileSource();
    QVERIFY(chooser.ran);
    QCOMPARE(window.sourceDir, source.path());
    window.fileDestination(dest.path());
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });
}

void tst_TransferCommand::firstOfTwoNamesakesIsCopied()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), account(1, "alice"),
            character(0, 100, "Aldo", 1, "STR 1\n") + character(1, 110, "Aldo", 1, "STR 2\n"),
            QByteArray("")));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())).mid(d.characters.size()),
            characterHead + "42\n{\nSERIAL 58\nNAME Aldo\nACCOUNT 6\nSTR 1\n}\n");
}

// Source and destination one directory: the world grows by each transfer, the source
// offsets stay valid, and each copy takes fresh numbers.
void tst_TransferCommand::sameWorldTwice()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const SourceWorld s;
    const QByteArray accounts = s.accounts + account(6, "frank") + account(4, "dave");
    QVERIFY(fixture::writeWorld(dir.path(), accounts, s.characters, s.items));

    MainWindow window;
    QVERIFY(setUp(&window, dir.path(), dir.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });

    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "dave", ""));
    {
        ModalGuard guard;
        clickArrow(&window);
        QVERIFY2(guard.seen().isEmpty(), qPrintable(guard.seen().join(", ")));
    }
    checkIdle(&window);
    QCOMPARE(characterNames(window.listView2, "dave"), QStringList{ "Aldo" });

    const QByteArray characters = fixture::readFile(charactersPath(dir.path()));
    QCOMPARE(characters,
            s.characters + characterHead
                    + "2\n{\nSERIAL 102\nNAME Aldo\nACCOUNT 6\nOWN 102\nROBE -1\n"
                      "STR 50 // strength\n}\n"
                    + characterHead
                    + "3\n{\nSERIAL 103\nNAME Aldo\nACCOUNT 4\nOWN 103\nROBE -1\n"
                      "STR 50 // strength\n}\n");
    // Each copy collects the items of serial 100 only: the six originals, not the copies
    // that now belong to serial 102.
    const QList<Record> items = readRecords(fixture::readFile(itemsPath(dir.path())));
    QCOMPARE(items.size(), 7 + 6 + 6);
    QSet<int> serials;
    for (const Record &record : items)
        serials.insert(record.number("SERIAL"));
    QCOMPARE(serials.size(), items.size());
    QCOMPARE(window.sourceChars.value(1).value(0).serial, 100);
}

void tst_TransferCommand::lookupFails_data()
{
    QTest::addColumn<QByteArray>("sourceAccounts");
    QTest::addColumn<QByteArray>("sourceCharacters");
    QTest::addColumn<QByteArray>("destAccounts");
    QTest::addColumn<QString>("sourceAccount");
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<QString>("expected");

    // Two accounts named alice: both accounts' characters hang under the first item, which
    // stands for account 1, so Cid of account 2 is not found there.
    QTest::newRow("source-character-under-namesake-account")
            << QByteArray(account(1, "alice") + account(2, "alice"))
            << QByteArray(character(0, 100, "Aldo", 1) + character(1, 120, "Cid", 2))
            << QByteArray(account(6, "frank")) << "alice"
            << "frank"
            << "The character \"Cid\" could not be found in the source world";
    // Two destination records numbered 6: the account map keeps "gus", so the item frank
    // leads to no account number.
    QTest::newRow("destination-account-number-given-twice")
            << QByteArray(account(1, "alice")) << QByteArray(character(0, 120, "Cid", 1))
            << QByteArray(account(6, "frank") + account(6, "gus")) << "alice"
            << "frank"
            << "The account \"frank\" could not be found in the destination world";
}

void tst_TransferCommand::lookupFails()
{
    QFETCH(QByteArray, sourceAccounts);
    QFETCH(QByteArray, sourceCharacters);
    QFETCH(QByteArray, destAccounts);
    QFETCH(QString, sourceAccount);
    QFETCH(QString, destAccount);
    QFETCH(QString, expected);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    QVERIFY(fixture::writeWorld(source.path(), sourceAccounts, sourceCharacters, QByteArray("")));
    QVERIFY(fixture::writeWorld(
            dest.path(), destAccounts, character(0, 5, "Zed", 99), QByteArray("")));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, sourceAccount, "Cid"));
    QVERIFY(select(window.listView2, destAccount, ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Transfer Error"));
    QVERIFY2(text.startsWith(expected), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("Nothing was written.")), qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
}

// The items file cannot be written (a directory stands where it should be) after the
// character record went in: the characters file is cut back to its old bytes.
void tst_TransferCommand::itemsAppendFailsCharactersRestored()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, s.items));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, QByteArray()));
    QVERIFY(QDir(dest.path()).mkdir(world::itemsFileName()));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Transfer Failed"));
    QCOMPARE(text,
            QStringLiteral("The transfer failed. Could not open %1: %2.\n\nThe destination "
                           "world was left as it was: nothing of the character or its items "
                           "was added.\n\nCheck the destination (free space, permissions), "
                           "then try the transfer again.")
                    .arg(itemsPath(dest.path()), qt_error_string(EISDIR)));
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())), d.characters);
    QVERIFY(QFileInfo(itemsPath(dest.path())).isDir());
    // Loaded again as usual, without the character.
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList());
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
}

namespace {

// Makes the n-th write or flush of one destination file fail, as a full disk or a failing
// disk would. Writes go through in halves, so a failure can come after some bytes landed.
struct Failing
{
    QString file; // "ztpcs.wsc" or "ztitems.wsc"
    int writeAt = -1;
    int fsyncAt = -1;
    bool failTruncate = false;
    QMap<QString, int> writes;
    QMap<QString, int> fsyncs;
} failing;

QString fileNameOf(int fd)
{
    char target[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t n = ::readlink(link.constData(), target, sizeof target);
    return n > 0 ? QFileInfo(QFile::decodeName(QByteArray(target, int(n)))).fileName() : QString();
}

ssize_t failingWrite(int fd, const void *data, size_t size, off_t offset)
{
    const QString name = fileNameOf(fd);
    if (++failing.writes[name] == failing.writeAt && name == failing.file) {
        errno = ENOSPC;
        return -1;
    }
    return ::pwrite(fd, data, size > 1 ? size / 2 : size, offset);
}

int failingFsync(int fd)
{
    const QString name = fileNameOf(fd);
    if (++failing.fsyncs[name] == failing.fsyncAt && name == failing.file) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

int failingTruncate(int fd, off_t size)
{
    if (failing.failTruncate) {
        errno = EIO;
        return -1;
    }
    return ::ftruncate(fd, size);
}

struct FailingCalls
{
    explicit FailingCalls(const QString &file, int writeAt, int fsyncAt, bool failTruncate = false)
    {
        failing = Failing();
        failing.file = file;
        failing.writeAt = writeAt;
        failing.fsyncAt = fsyncAt;
        failing.failTruncate = failTruncate;
        transfer::fileCalls() = { failingWrite, failingFsync, failingTruncate };
    }
    ~FailingCalls() { transfer::fileCalls() = transfer::systemFileCalls(); }
};

} // namespace

void tst_TransferCommand::writeFailures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("writeAt");
    QTest::addColumn<int>("fsyncAt");
    QTest::addColumn<QString>("reason");

    // clang-format off
    //                                                    file            write  fsync
    QTest::newRow("character-write-fails-at-once") << "ztpcs.wsc"   << 1  << -1 << qt_error_string(ENOSPC);
    QTest::newRow("character-write-fails-midway")  << "ztpcs.wsc"   << 3  << -1 << qt_error_string(ENOSPC);
    QTest::newRow("character-flush-fails")         << "ztpcs.wsc"   << -1 << 1  << qt_error_string(EIO);
    QTest::newRow("items-write-fails-at-once")     << "ztitems.wsc" << 1  << -1 << qt_error_string(ENOSPC);
    QTest::newRow("items-write-fails-midway")      << "ztitems.wsc" << 4  << -1 << qt_error_string(ENOSPC);
    QTest::newRow("items-flush-fails")             << "ztitems.wsc" << -1 << 1  << qt_error_string(EIO);
    // clang-format on
}

void tst_TransferCommand::writeFailures()
{
    QFETCH(QString, file);
    QFETCH(int, writeAt);
    QFETCH(int, fsyncAt);
    QFETCH(QString, reason);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));
    const WorldBytes destBefore = readWorld(dest.path());
    const WorldBytes sourceBefore = readWorld(source.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    QString text;
    {
        const FailingCalls calls(file, writeAt, fsyncAt);
        text = clickExpectingWarning(&window, QStringLiteral("Transfer Failed"));
        QVERIFY2(failing.writes.value(QStringLiteral("ztitems.wsc")) == 0
                        || file == QLatin1String("ztitems.wsc"),
                "no item is written when the character could not be");
    }
    QVERIFY2(text.startsWith(QStringLiteral("The transfer failed. Could not write %1: %2.")
                                     .arg(world::filePath(dest.path(), file), reason)),
            qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("The destination world was left as it was")),
            qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "both destination files are as before");
    QVERIFY2(readWorld(source.path()) == sourceBefore, "the source is never written");
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList());
}

void tst_TransferCommand::restoreFailureIsReported()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    const DestWorld d;
    QVERIFY(writeWorlds(source, dest));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    QString text;
    {
        const FailingCalls calls(QStringLiteral("ztitems.wsc"), -1, 1, true);
        text = clickExpectingWarning(&window, QStringLiteral("Transfer Failed"));
    }
    QVERIFY2(text.contains(QStringLiteral("could not be put back as it was: %1 could not be cut "
                                          "back to its former %2 bytes")
                                   .arg(itemsPath(dest.path()))
                                   .arg(d.items.size())),
            qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("%1 could not be cut back to its former %2 bytes")
                                   .arg(charactersPath(dest.path()))
                                   .arg(d.characters.size())),
            qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("Restore the destination world from a backup")),
            qPrintable(text));
    checkIdle(&window);
    // The journal stays: the next load, with the disk working again, puts both files back.
    QVERIFY2(QFileInfo::exists(transfer::journalPath(dest.path())),
            "the journal of a transfer that was not put back was removed");
    ModalRecord recovered;
    answerNextModal(&recovered);
    window.fileDestination(dest.path());
    QCOMPARE(recovered.title, QStringLiteral("Interrupted Transfer"));
    QVERIFY2(readWorld(dest.path()) == destBefore, "the next load put the files back");
    QVERIFY(!QFileInfo::exists(transfer::journalPath(dest.path())));
}

void tst_TransferCommand::staleSource_data()
{
    QTest::addColumn<QByteArray>("rewritten");

    const SourceWorld s;
    // A record put in front moves Aldo's record away from the offset that was loaded.
    QTest::newRow("record-inserted-before")
            << QByteArray(character(7, 300, "Newcomer", 2) + s.characters);
    // Same length, another name at the same place.
    QByteArray renamed = s.characters;
    renamed.replace("NAME Aldo", "NAME Alda");
    QTest::newRow("renamed-in-place") << renamed;
    QByteArray reserialed = s.characters;
    reserialed.replace("SERIAL 100", "SERIAL 109");
    QTest::newRow("serial-changed-in-place") << reserialed;
    QTest::newRow("file-emptied") << QByteArray("");
    // Aldo's record now follows Bo's, and Aldo's old offset (41) starts Bo's "ACCOUNT 2"
    // line. Read on from there, the lines pass Bo's brace and Aldo's header and give Aldo
    // and 100 again, yet a copy from there would take Bo's tail.
    const QByteArray aldo =
            character(0, 100, "Aldo", 1, "OWN 100\nROBE 5000 // worn robe\nSTR 50 // strength\n");
    QTest::newRow("offset-inside-the-record-before") << character(1, 101, "Bo", 2) + aldo;
}

void tst_TransferCommand::staleSource()
{
    QFETCH(QByteArray, rewritten);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(fixture::writeFile(charactersPath(source.path()), rewritten));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("World Changed"));
    QCOMPARE(text,
            QStringLiteral("The source world's characters file %1 has changed since the source "
                           "world was loaded: the character \"Aldo\" is no longer where it was "
                           "found. Nothing was written.\n\nSelect the source world again, then "
                           "repeat the transfer.")
                    .arg(charactersPath(source.path())));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
}

namespace {

// Appends `saved` to the destination characters file right after the destination scan, as
// a server that saves while the transfer runs would.
class SavingWindow : public MainWindow
{
public:
    QString charactersFile;
    QByteArray saved;

    void acquireSerials(QString dir) override
    {
        MainWindow::acquireSerials(dir);
        if (saved.isEmpty())
            return;
        QFile file(charactersFile);
        if (file.open(QIODevice::Append))
            file.write(saved);
        saved.clear();
    }
};

} // namespace

void tst_TransferCommand::staleDestination_data()
{
    QTest::addColumn<QByteArray>("loaded");
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<bool>("whileScanning");
    // The numbers of the copy made once the destination is selected again.
    QTest::addColumn<int>("sectionAfter");
    QTest::addColumn<int>("serialAfter");

    const DestWorld d;
    // The server saved a character with the numbers the transfer would take.
    const QByteArray late = character(42, 58, "Late", 4);
    QTest::newRow("saved-before-the-click") << d.characters << late << false << 43 << 59;
    QTest::newRow("saved-while-the-scans-run") << d.characters << late << true << 43 << 59;
    // No characters file at the load, so the transfer would start at serial 1: the file
    // saved since holds that one already.
    QTest::newRow("created-since-the-load")
            << QByteArray() << character(0, 1, "First", 4) << false << 1 << 2;
}

void tst_TransferCommand::staleDestination()
{
    QFETCH(QByteArray, loaded);
    QFETCH(QByteArray, saved);
    QFETCH(bool, whileScanning);
    QFETCH(int, sectionAfter);
    QFETCH(int, serialAfter);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, s.items));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, loaded, d.items));
    const WorldBytes destSaved{ d.accounts, loaded + saved, d.items };

    SavingWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    if (whileScanning) {
        window.charactersFile = charactersPath(dest.path());
        window.saved = saved;
    } else {
        QVERIFY(fixture::writeFile(charactersPath(dest.path()), loaded + saved));
    }
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("World Changed"));
    QCOMPARE(text,
            QStringLiteral("The destination world's characters file %1 has changed since the "
                           "destination world was loaded, so the numbers for the new character "
                           "may already be taken. Nothing was written.\n\nSelect the "
                           "destination world again, then repeat the transfer.")
                    .arg(charactersPath(dest.path())));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destSaved, "nothing written besides the save");
    QVERIFY2(window.serialMap.isEmpty(), "the collected items do not linger");

    // Selected again, the numbers come from the file as saved.
    window.fileDestination(dest.path());
    QVERIFY(select(window.listView2, "frank", ""));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())).mid(destSaved.characters.size()),
            characterHead + QByteArray::number(sectionAfter) + "\n{\nSERIAL "
                    + QByteArray::number(serialAfter) + "\nNAME Aldo\nACCOUNT 6\nOWN "
                    + QByteArray::number(serialAfter) + "\nROBE -1\nSTR 50 // strength\n}\n");
}

// A record that starts past 2 GiB gets no offset (-1) from the loader. The source file is
// that large without taking the room: between its two records lies a hole, which reads as
// zero bytes, cut into lines of a megabyte so that no line swells the reader's buffer. On
// tmpfs a hole costs no memory and reads at once; elsewhere it takes a few seconds.
void tst_TransferCommand::recordBeyondReach()
{
    const QString scratch = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
            ? QStringLiteral("/dev/shm")
            : QDir::tempPath();
    QTemporaryDir source(scratch + QStringLiteral("/tst_transfercommand-XXXXXX"));
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, QByteArray(), s.items));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));
    const WorldBytes destBefore = readWorld(dest.path());

    const qint64 aldoAt = qint64(INT_MAX) + 1;
    constexpr qint64 lineLength = 1 << 20;
    QFile file(charactersPath(source.path()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray bea = character(1, 101, "Bea", 2);
    QVERIFY(file.write(bea) == bea.size());
    for (qint64 lineEnd = lineLength - 1; lineEnd < aldoAt; lineEnd += lineLength)
        QVERIFY(file.seek(lineEnd) && file.write("\n", 1) == 1);
    const QByteArray aldo = character(0, 100, "Aldo", 1);
    QVERIFY(file.seek(aldoAt) && file.write(aldo) == aldo.size());
    file.close();
    struct stat info;
    QVERIFY(::stat(QFile::encodeName(file.fileName()).constData(), &info) == 0);
    if (qint64(info.st_blocks) * 512 > 64 * lineLength)
        QSKIP("this file system filled the hole");

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QCOMPARE(window.sourceChars.value(1).value(0).offset, -1);
    QCOMPARE(window.sourceChars.value(2).value(0).offset, 20);
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Transfer Error"));
    QCOMPARE(text,
            QStringLiteral("The character \"Aldo\" lies beyond the first 2 GB of the source "
                           "world's characters file %1, where it cannot be read back for "
                           "copying. Nothing was written.")
                    .arg(charactersPath(source.path())));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
}

void tst_TransferCommand::cutOffDestination_data()
{
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QString>("file");

    const DestWorld d;
    QTest::newRow("characters-end-inside-a-record")
            << QByteArray(d.characters + "SECTION CHARACTER 50\n{\nSERIAL 70\nNAME Half\n")
            << d.items << "ztpcs.wsc";
    QTest::newRow("characters-end-after-a-header")
            << QByteArray(d.characters + "SECTION CHARACTER 50\n") << d.items << "ztpcs.wsc";
    QTest::newRow("items-end-inside-a-record")
            << d.characters << QByteArray(d.items + "SECTION WORLDITEM 120\n{\nSERIAL 7\n")
            << "ztitems.wsc";
    // The scans would take the "{" of the first appended item as this record's.
    QTest::newRow("items-end-in-a-record-without-its-brace")
            << d.characters << QByteArray(d.items + "SECTION WORLDITEM 120\nSERIAL 7\n}\n")
            << "ztitems.wsc";
}

void tst_TransferCommand::cutOffDestination()
{
    QFETCH(QByteArray, characters);
    QFETCH(QByteArray, items);
    QFETCH(QString, file);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, s.items));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, characters, items));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString path = world::filePath(dest.path(), file);
    const QString text = clickExpectingWarning(&window, QStringLiteral("Damaged World"));
    QCOMPARE(text,
            QStringLiteral("The destination file %1 looks cut off: it ends inside a record that "
                           "never reaches its closing brace, as after a crash during a save. "
                           "Anything appended now would become part of that record. Nothing was "
                           "written.\n\nRepair %1 first (complete or remove its last record), "
                           "then select the destination world again.")
                    .arg(path));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "both files byte-identical");
    QVERIFY2(window.serialMap.isEmpty(), "the collected items do not linger");
}

void tst_TransferCommand::readErrorRefuses_data()
{
    QTest::addColumn<bool>("inSource");
    // Reading /proc/self/mem from its start fails with EIO, a stand-in for a failing disk.
    QTest::newRow("destination-items-scan") << false;
    QTest::newRow("source-items-identification") << true;
}

// A scan that stops at a read error has seen only part of its file: the highest serial it
// found may already be in use, or the character's items may be missing. Nothing is written.
void tst_TransferCommand::readErrorRefuses()
{
    QFETCH(bool, inSource);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, QByteArray()));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, QByteArray()));
    const QString unreadable = itemsPath(inSource ? source.path() : dest.path());
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), unreadable));
    QVERIFY(fixture::writeFile(
            itemsPath(inSource ? dest.path() : source.path()), inSource ? d.items : s.items));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Read Error"));
    QVERIFY2(text.startsWith(QStringLiteral("Could not read %1: ").arg(unreadable)),
            qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Nothing was written.")), qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "the destination is unchanged");
    QVERIFY2(window.serialMap.isEmpty(), "the collected items do not linger");
}

// Aldo's record is the last of the source file and never closes: the copy stops at the
// end of the source and closes the record itself.
void tst_TransferCommand::sourceRecordWithoutBrace()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const QByteArray characters = character(0, 101, "Bea", 2)
            + "SECTION CHARACTER 1\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\nSTR 9\nDEX 8";
    QVERIFY(fixture::writeWorld(
            source.path(), account(1, "alice") + account(2, "bob"), characters, QByteArray("")));
    const DestWorld d;
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())).mid(d.characters.size()),
            characterHead + "42\n{\nSERIAL 58\nNAME Aldo\nACCOUNT 6\nSTR 9\nDEX 8\n}\n");
    QVERIFY2(!window.destCharsCutOff, "the appended record is finished");
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });
}

// The same record with source and destination one world: the world's characters file
// itself ends inside that record, so nothing may be appended to it.
void tst_TransferCommand::sourceRecordWithoutBraceInSameWorld()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray characters = character(0, 101, "Bea", 2)
            + "SECTION CHARACTER 1\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\nSTR 9\nDEX 8\n";
    QVERIFY(fixture::writeWorld(
            dir.path(), account(1, "alice") + account(2, "bob"), characters, QByteArray("")));
    const WorldBytes before = readWorld(dir.path());

    MainWindow window;
    QVERIFY(setUp(&window, dir.path(), dir.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "bob", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Damaged World"));
    QVERIFY2(text.startsWith(QStringLiteral("The destination file %1 looks cut off")
                                     .arg(charactersPath(dir.path()))),
            qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dir.path()) == before, "nothing written");
}

// Items whose container or MORE object was not transferred: the character's own serial
// becomes its new one, -1 stays, everything else becomes -1.
void tst_TransferCommand::referencesOutsideTheTransfer()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    // 300 lies in 900, which is not Aldo's; 400 lies in 300. The single pruning pass tests
    // key 300 while 300 is still collected and keeps 400, then drops 300: 400 lies in an
    // item that is not copied, so it stays behind with it. 500 has CONT -1, 600 is type 7
    // linked to the character.
    const QByteArray items = itemRecord(1, 300, 100, "CONT 900\n")
            + itemRecord(2, 400, 100, "CONT 300\n") + itemRecord(3, 500, 100, "CONT -1\n")
            + itemRecord(4, 600, 100, "CONT 100\nTYPE 7\nMORE 100\n")
            + itemRecord(5, 900, 55, "NAME chest\n");
    QVERIFY(fixture::writeWorld(
            source.path(), account(1, "alice"), character(0, 100, "Aldo", 1), items));
    const DestWorld d;
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    // New serials in source order: 300 -> ...901 (pruned), 400 -> 902 (left behind),
    // 500 -> 903, 600 -> 904.
    QCOMPARE(fixture::readFile(itemsPath(dest.path())).mid(d.items.size()),
            itemHead + "100\n{\nSERIAL 1073741903\nOWNER 58\nCONT -1\n}\n\n" + itemHead
                    + "101\n{\nSERIAL 1073741904\nOWNER 58\nCONT 58\nTYPE 7\nMORE 58\n}\n\n");
}

namespace {

// Clicks the arrow (and the destination button) again from inside the running transfer,
// as the event processing between its steps lets a user do.
class ImpatientWindow : public MainWindow
{
public:
    using MainWindow::fileDestination;
    int transfers = 0;
    int scans = 0;
    int destinationChoices = 0;

    void fileTransfer() override
    {
        ++transfers;
        MainWindow::fileTransfer();
    }
    void fileDestination() override { ++destinationChoices; }
    void acquireSerials(QString dir) override
    {
        ++scans;
        MainWindow::acquireSerials(dir);
        QTest::mouseClick(pushButton1, Qt::LeftButton);
        QTest::mouseClick(pushButton3, Qt::LeftButton);
    }
};

} // namespace

void tst_TransferCommand::clickDuringTransferIsIgnored()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    const DestWorld d;
    QVERIFY(writeWorlds(source, dest));

    ImpatientWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(window.transfers, 2);
    QCOMPARE(window.scans, 1);
    QCOMPARE(window.destinationChoices, 0);
    QCOMPARE(readRecords(fixture::readFile(charactersPath(dest.path()))).size(),
            readRecords(d.characters).size() + 1);
    QCOMPARE(readRecords(fixture::readFile(itemsPath(dest.path()))).size(), 1 + 6);
}

void tst_TransferCommand::countersAtTheLimit_data()
{
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<QString>("what");
    QTest::addColumn<QByteArray>("sourceItems"); // null: the usual source items

    const DestWorld d;
    QTest::newRow("character-record-number")
            << QByteArray(d.characters + character(2147483647, 60, "Max", 4)) << d.items
            << "character numbers" << QByteArray();
    QTest::newRow("character-serial")
            << QByteArray(d.characters + character(60, 2147483647, "Max", 4)) << d.items
            << "character numbers" << QByteArray();
    // The one serial left at the top is named by a record of a deleted character.
    QTest::newRow("character-serial-named-at-the-top")
            << QByteArray(d.characters + character(60, 2147483646, "Max", 4))
            << QByteArray(d.items + itemRecord(120, 7, 2147483647)) << "character numbers"
            << QByteArray();
    QTest::newRow("item-record-number")
            << d.characters << QByteArray(d.items + itemRecord(2147483645, 7, 1))
            << "item record numbers" << QByteArray();
    QTest::newRow("item-serial") << d.characters
                                 << QByteArray(d.items + itemRecord(120, 2147483647, 1))
                                 << "item serials" << QByteArray();
    // Two serials are left at the top and Aldo owns six items: the third would go round.
    QTest::newRow("item-serials-run-past-the-top")
            << d.characters << QByteArray(d.items + itemRecord(120, 2147483645, 1))
            << "item serials" << QByteArray();
    // Seven serials are left, but lines of the destination name six of them.
    QTest::newRow("item-serials-pass-named-numbers-past-the-top")
            << d.characters
            << QByteArray(d.items
                       + itemRecord(120, 2147483640, 1,
                               "CONT 2147483641\nCONT 2147483642\nCONT 2147483643\n"
                               "CONT 2147483644\nTYPE 7\nMORE 2147483645\n")
                       + itemRecord(121, 8, 2147483646))
            << "item serials" << QByteArray();
    // Aldo's six items fit exactly below the top; a seventh record of his, in Bea's apple,
    // stays behind but drew a serial all the same, and that one went round. Nothing that
    // would be written is wrong, so no later check would refuse.
    const SourceWorld s;
    QTest::newRow("serial-of-an-item-left-behind-runs-past-the-top")
            << d.characters << QByteArray(d.items + itemRecord(120, 2147483641, 1))
            << "item serials" << QByteArray(s.items + itemRecord(8, 5007, 100, "CONT 5004\n"));
}

void tst_TransferCommand::countersAtTheLimit()
{
    QFETCH(QByteArray, characters);
    QFETCH(QByteArray, items);
    QFETCH(QString, what);
    QFETCH(QByteArray, sourceItems);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const SourceWorld s;
    const DestWorld d;
    QVERIFY(fixture::writeWorld(
            source.path(), s.accounts, s.characters, sourceItems.isNull() ? s.items : sourceItems));
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, characters, items));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Serial Limit"));
    QCOMPARE(text,
            QStringLiteral("The destination world has run out of %1: the transfer would need "
                           "numbers above 2147483647, the largest a world file can hold. "
                           "Nothing was written.\n\nTransfer the character into another world.")
                    .arg(what));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
}

// Keys indented or followed by a TAB are keys to the loader, so the copy rewrites them:
// the new character has the new serial, and its items belong to it.
void tst_TransferCommand::keysAsTheLoaderReadsThem()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const QByteArray characters = "SECTION CHARACTER 0\n{\nSERIAL\t100\n  NAME Aldo\n"
                                  "\tACCOUNT  1\n  OWN 100\nROBE\t5000 // robe\n}\n";
    QVERIFY(fixture::writeWorld(source.path(), account(1, "alice"), characters,
            itemRecord(1, 5000, 100, "CONT 100\n")));
    const DestWorld d;
    // A destination character with serial 100 shows why the old serial must not survive.
    const QByteArray destCharacters = d.characters + character(13, 100, "Owner100", 3);
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, destCharacters, d.items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);

    // Highest serial 100 now: the copy is 101.
    QCOMPARE(fixture::readFile(charactersPath(dest.path())).mid(destCharacters.size()),
            characterHead + "42\n{\nSERIAL 101\n  NAME Aldo\nACCOUNT 6\nOWN 101\nROBE -1\n}\n");
    const char_st *copied = world::findCharacter(window.destChars, 6, QStringLiteral("Aldo"));
    QVERIFY(copied);
    QCOMPARE(copied->serial, 101);
    const QList<Record> items = readRecords(fixture::readFile(itemsPath(dest.path())));
    QCOMPARE(items.last().number("OWNER"), 101);
    QCOMPARE(items.last().number("CONT"), 101);
}

void tst_TransferCommand::recordEnds_data()
{
    QTest::addColumn<QByteArray>("aldo");
    QTest::addColumn<QByteArray>("appended");

    const QByteArray body = "SECTION CHARACTER 0\n{\nSERIAL 100\nNAME Aldo\nACCOUNT 1\n";
    const QByteArray copied = characterHead + "42\n{\nSERIAL 58\nNAME Aldo\nACCOUNT 6\n";
    QTest::newRow("brace-followed-by-blanks") << body + "}  \n" << copied + "}  \n";
    QTest::newRow("brace-followed-by-tab") << body + "}\t\n" << copied + "}\t\n";
    // '} // x' is no brace to the loader, which reads on into Bea's record; the copy stops
    // at Bea's header and closes the record.
    QTest::newRow("brace-followed-by-comment") << body + "} // x\n" << copied + "} // x\n}\n";
    QTest::newRow("next-header-directly") << body << copied + "}\n";
}

void tst_TransferCommand::recordEnds()
{
    QFETCH(QByteArray, aldo);
    QFETCH(QByteArray, appended);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    QVERIFY(fixture::writeWorld(source.path(), account(1, "alice") + account(2, "bob"),
            aldo + character(1, 101, "Bea", 2), QByteArray("")));
    const DestWorld d;
    QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    clickArrow(&window);
    checkIdle(&window);
    QCOMPARE(fixture::readFile(charactersPath(dest.path())).mid(d.characters.size()), appended);
    // One finished record: the reload sees exactly one new character and the file is not
    // left open inside a record.
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });
    QCOMPARE(window.maxCharSection, 42);
    QCOMPARE(window.maxCharSerial, 58);
    QVERIFY2(!window.destCharsCutOff, "the appended record is finished");
}

// Hand-edited worlds: the copy writes what reads back as exactly the character and its
// items, with numbers nobody has, or nothing at all.
void tst_TransferCommand::damagedWorlds_data()
{
    QTest::addColumn<QByteArray>("sourceCharacters");
    QTest::addColumn<QByteArray>("sourceItems"); // "<directory>": a directory in its place
    QTest::addColumn<QByteArray>("destCharacters");
    QTest::addColumn<QByteArray>("destItems");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption"); // empty: the transfer goes ahead
    QTest::addColumn<QString>("textPart");
    QTest::addColumn<QByteArray>("appendedCharacters");
    QTest::addColumn<QByteArray>("appendedItems");

    const QByteArray bob = character(1, 5, "Bob", 1);
    const QByteArray zed = character(7, 30, "Zed", 3);
    const QByteArray sword = itemRecord(9, 1073741900, 30);
    const QByteArray cup = itemRecord(1, 500, 5, "NAME cup\n");
    const QByteArray bobAppended = characterHead + "8\n{\nSERIAL 31\nNAME Bob\nACCOUNT 3\n}\n";
    const QByteArray cupAppended = itemHead + "10\n{\nSERIAL 1073741901\nOWNER 31\nNAME cup\n}\n\n";
    const QString damaged = QStringLiteral("Damaged World");
    const QString sourceFile = QStringLiteral("ztpcs.wsc, line %1: ");
    const QString itemsFile = QStringLiteral("ztitems.wsc, line %1: ");

    // "{ // note" is no brace to the loader: it lists Cat at record 1's offset.
    QTest::newRow("brace-with-comment")
            << QByteArray("SECTION CHARACTER 1\n{ // note\nSERIAL 5\nNAME Bob\nACCOUNT 1\n}\n"
                          "SECTION CHARACTER 2\n{\nSERIAL 6\nNAME Cat\nACCOUNT 1\n}\n")
            << (itemRecord(1, 500, 6, "NAME cup\n") + itemRecord(2, 501, 5)) << zed << sword
            << "Cat"
            << ""
            << "" << characterHead + "8\n{\nSERIAL 31\nNAME Cat\nACCOUNT 3\n}\n"
            << cupAppended;
    QTest::newRow("header-passed-over")
            << QByteArray("SECTION CHARACTER 1\nSECTION CHARACTER 2\n// kept\n\n{\nSERIAL 5\n"
                          "NAME Bob\nACCOUNT 1\n}\n")
            << cup << zed << sword << "Bob"
            << ""
            << "" << characterHead + "8\n// kept\n\n{\nSERIAL 31\nNAME Bob\nACCOUNT 3\n}\n"
            << cupAppended;
    QTest::newRow("header-inside-body") << QByteArray(
            "SECTION CHARACTER 1\n{\nNAME Bob\nSECTION junk\nSERIAL 5\nACCOUNT 1\n}\n")
                                        << cup << zed << sword << "Bob" << damaged
                                        << sourceFile.arg(4) << QByteArray() << QByteArray();
    QTest::newRow("two-characters-in-one-record")
            << QByteArray("SECTION CHARACTER 1\n{\nNAME A\nACCOUNT 1\nSERIAL 5\nNAME B\n"
                          "ACCOUNT 1\n}\n")
            << cup << zed << sword << "B" << damaged << sourceFile.arg(7) + "the record of"
            << QByteArray() << QByteArray();
    // Numbers the destination's loader passed over are taken all the same.
    QTest::newRow("destination-brace-with-comment")
            << bob << cup
            << QByteArray("SECTION CHARACTER 50\n{ // first\nSERIAL 90\nNAME X\nACCOUNT 3\n}\n"
                          "SECTION CHARACTER 60\n{\nSERIAL 20\nNAME Y\nACCOUNT 3\n}\n")
            << sword << "Bob"
            << ""
            << "" << characterHead + "61\n{\nSERIAL 91\nNAME Bob\nACCOUNT 3\n}\n"
            << itemHead + "10\n{\nSERIAL 1073741901\nOWNER 91\nNAME cup\n}\n\n";
    QTest::newRow("destination-record-without-brace")
            << bob << cup
            << QByteArray("SECTION CHARACTER 50\n{\nSERIAL 20\nNAME X\nACCOUNT 3\n"
                          "SECTION CHARACTER 60\n{\nSERIAL 95\nNAME Y\nACCOUNT 4\n}\n")
            << sword << "Bob"
            << ""
            << "" << characterHead + "61\n{\nSERIAL 96\nNAME Bob\nACCOUNT 3\n}\n"
            << itemHead + "10\n{\nSERIAL 1073741901\nOWNER 96\nNAME cup\n}\n\n";
    QTest::newRow("item-swallows-next")
            << bob
            << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 500\nOWNER 5\nSECTION WORLDITEM 2\n{\n"
                          "SERIAL 501\nOWNER 9\n}\n")
            << zed << sword << "Bob" << damaged << itemsFile.arg(5) << QByteArray() << QByteArray();
    QTest::newRow("item-without-serial")
            << bob << QByteArray("SECTION WORLDITEM 1\n{\nOWNER 5\nNAME cup\n}\n") << zed << sword
            << "Bob" << damaged << itemsFile.arg(1) + "the item record that starts here has no"
            << QByteArray() << QByteArray();
    // Filed under the serial of the record before it, it would push that one out.
    QTest::newRow("item-without-serial-after-another")
            << bob << cup + "SECTION WORLDITEM 2\n{\nOWNER 5\nCONT 777\n}\n"
            << zed << sword << "Bob" << damaged
            << itemsFile.arg(7) + "the item record that starts here is filed" << QByteArray()
            << QByteArray();
    QTest::newRow("items-file-unreadable")
            << bob << QByteArray("<directory>") << zed << sword << "Bob"
            << "Read Error"
            << "Could not read " << QByteArray() << QByteArray();
    // Records of the destination still name a deleted character (31) and lost items: the
    // new numbers pass over what OWNER, CONT and a key's MORE name, not over a MORE before
    // the record's TYPE 7 line nor the MORE of another type.
    QTest::newRow("destination-names-deleted-records")
            << bob
            << (cup + itemRecord(2, 501, 5, "NAME bowl\n") + itemRecord(3, 502, 5, "NAME spoon\n"))
            << zed
            << (sword + itemRecord(10, 1073741902, 31, "NAME spellbook\nCONT 31\n")
                       + "SECTION WORLDITEM 11\n{\nSERIAL 1073741903\nNAME ruby\n"
                         "CONT 1073741904\nMORE 1073741906\nTYPE 7\nMORE 1073741905\n}\n"
                       + "SECTION WORLDITEM 12\n{\nSERIAL 1073741899\nTYPE 1\nMORE 1073741907\n}\n")
            << "Bob"
            << ""
            << "" << characterHead + "8\n{\nSERIAL 32\nNAME Bob\nACCOUNT 3\n}\n"
            << itemHead + "13\n{\nSERIAL 1073741906\nOWNER 32\nNAME cup\n}\n\n" + itemHead
                    + "14\n{\nSERIAL 1073741907\nOWNER 32\nNAME bowl\n}\n\n" + itemHead
                    + "15\n{\nSERIAL 1073741908\nOWNER 32\nNAME spoon\n}\n\n";
    // The loader reads "} // ..." as "} ", no closing brace: the file ends inside Corra.
    QTest::newRow("destination-last-brace-with-comment")
            << bob << cup
            << zed + "SECTION CHARACTER 8\n{\nSERIAL 31\nNAME Corra\nACCOUNT 4\n} // end of Corra\n"
            << sword << "Bob" << damaged
            << "line 12 was meant to close its last record, but a \"}\" with a comment"
            << QByteArray() << QByteArray();
    // Written for each SERIAL line, the new serial would stand twice in the copy.
    QTest::newRow("item-with-two-serial-lines")
            << bob << QByteArray("SECTION WORLDITEM 1\n{\nSERIAL 500\nOWNER 5\nSERIAL 502\n}\n")
            << zed << sword << "Bob" << damaged
            << itemsFile.arg(5)
                    + "the item record that starts at line 1 has two SERIAL lines, line 3 "
                      "(\"SERIAL 500\") and line 5 (\"SERIAL 502\")"
            << QByteArray() << QByteArray();
    // A bag in somebody else's chest stays behind, and with it a chain of ten items, each
    // inside the one before: leaving one behind leaves the next behind, until none is left.
    // Only the cup goes (any other copy would lie loose on the ground, CONT -1).
    QByteArray chain = cup + itemRecord(2, 900, 77, "NAME chest\n")
            + itemRecord(3, 600, 5, "NAME bag\nCONT 900\n");
    for (int link = 1; link <= 10; ++link) {
        chain += itemRecord(3 + link, 600 + link, 5,
                "NAME link\nCONT " + QByteArray::number(600 + link - 1) + "\n");
    }
    QTest::newRow("chain-in-a-container-left-behind") << bob << chain << zed << sword << "Bob"
                                                      << ""
                                                      << "" << bobAppended << cupAppended;
    // No item needs a serial, so the highest one possible in use is no reason to refuse.
    QTest::newRow("no-items-at-the-serial-limit")
            << bob << itemRecord(1, 500, 6) << zed << itemRecord(9, 2147483647, 30) << "Bob"
            << ""
            << "" << bobAppended << QByteArray("");
}

void tst_TransferCommand::damagedWorlds()
{
    QFETCH(QByteArray, sourceCharacters);
    QFETCH(QByteArray, sourceItems);
    QFETCH(QByteArray, destCharacters);
    QFETCH(QByteArray, destItems);
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, textPart);
    QFETCH(QByteArray, appendedCharacters);
    QFETCH(QByteArray, appendedItems);

    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(source.isValid() && dest.isValid());
    const bool itemsDirectory = sourceItems == "<directory>";
    QVERIFY(fixture::writeWorld(source.path(), account(1, "alice"), sourceCharacters,
            itemsDirectory ? QByteArray() : sourceItems));
    if (itemsDirectory)
        QVERIFY(QDir(source.path()).mkdir(world::itemsFileName()));
    QVERIFY(fixture::writeWorld(
            dest.path(), account(3, "carol") + account(4, "dave"), destCharacters, destItems));
    const WorldBytes sourceBefore = readWorld(source.path());
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(select(window.listView1, "alice", name));
    QVERIFY(select(window.listView2, "carol", ""));
    if (caption.isEmpty()) {
        ModalGuard guard;
        clickArrow(&window);
        QCOMPARE(guard.seen(), QStringList());
        const WorldBytes after = readWorld(dest.path());
        QCOMPARE(after.characters, destBefore.characters + appendedCharacters);
        QCOMPARE(after.items, destBefore.items + appendedItems);
        // The new character is shown, selected, in the reloaded tree.
        QVERIFY(window.listView2->currentItem());
        QCOMPARE(window.listView2->currentItem()->text(1), name);
        QCOMPARE(window.listView2->currentItem()->parent()->text(0), QStringLiteral("carol"));
    } else {
        const QString text = clickExpectingWarning(&window, caption);
        QVERIFY2(text.contains(textPart), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("Nothing was written.")), qPrintable(text));
        QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
    }
    checkIdle(&window);
    QVERIFY2(readWorld(source.path()) == sourceBefore, "the source is only read");
}

// The account number written comes from the destination's accounts file as loaded.
void tst_TransferCommand::destinationAccountsChanged()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    const DestWorld d;
    QVERIFY(writeWorlds(source, dest));

    MainWindow window;
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QVERIFY(fixture::writeFile(accountsPath(dest.path()), account(7, "frank") + d.accounts));
    const WorldBytes destBefore = readWorld(dest.path());
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("World Changed"));
    QVERIFY2(text.contains(accountsPath(dest.path())), qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
}

// A long directory path is the group's title, whole, but does not widen the window.
void tst_TransferCommand::longWorldPath()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString longPath = base.path() + QLatin1Char('/') + QString(40, QLatin1Char('d'))
            + QLatin1Char('/') + QString(80, QLatin1Char('e')) + QLatin1Char('/')
            + QString(80, QLatin1Char('f'));
    QVERIFY(QDir().mkpath(longPath));
    const DestWorld d;
    QVERIFY(fixture::writeWorld(longPath, d.accounts, d.characters, d.items));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int widthBefore = window.minimumSizeHint().width();
    window.fileDestination(longPath);
    QCOMPARE(window.groupBox2->title(), longPath);
    QCOMPARE(window.groupBox2->toolTip(), longPath);
    QVERIFY2(window.minimumSizeHint().width() <= widthBefore + 1,
            qPrintable(QString::number(window.minimumSizeHint().width())));
    QVERIFY(window.minimumWidth() <= widthBefore + 1);
}

// A journal that cannot be trusted (torn, or its files changed since) keeps every transfer
// out of its world until the operator removes it; loading the world says so.
void tst_TransferCommand::journalLeftInDestination()
{
    QTemporaryDir source;
    QTemporaryDir dest;
    QVERIFY(writeWorlds(source, dest));
    QVERIFY(fixture::writeFile(transfer::journalPath(dest.path()), "chartransfer journal 1\ntorn"));
    const WorldBytes destBefore = readWorld(dest.path());

    MainWindow window;
    ModalRecord loadBox;
    answerNextModal(&loadBox);
    QVERIFY(setUp(&window, source.path(), dest.path()));
    QCOMPARE(loadBox.title, QStringLiteral("Interrupted Transfer"));
    QVERIFY2(loadBox.text.contains(QLatin1String("cannot be read")), qPrintable(loadBox.text));
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("Interrupted Transfer"));
    QVERIFY2(text.contains(QLatin1String("Nothing was written.")), qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
    QVERIFY(QFileInfo::exists(transfer::journalPath(dest.path())));
}

// Another program holds the destination's lock: it is deciding on or writing a transfer of
// its own. The window's transfer is refused at once, and a load leaves that program's
// journal alone; once it lets go the transfer goes ahead.
void tst_TransferCommand::worldBusy_data()
{
    QTest::addColumn<bool>("journal"); // the other program has written its journal
    QTest::newRow("deciding") << false;
    QTest::newRow("appending") << true;
}

void tst_TransferCommand::worldBusy()
{
    QFETCH(bool, journal);
    QTemporaryDir source;
    QTemporaryDir dest;
    const DestWorld d;
    QVERIFY(writeWorlds(source, dest));
    transfer::WorldLock other;
    QVERIFY2(other.acquire(dest.path()), qPrintable(other.error()));
    QString error;
    if (journal) {
        transfer::Journal entry{ QStringLiteral("Zed"), source.path(),
            { { world::charactersFileName(), 0, true, 0, 0, "\n//x\n" } } };
        QVERIFY2(transfer::describeFiles(dest.path(), &entry, &error)
                        && transfer::writeJournal(dest.path(), entry, &error),
                qPrintable(error));
        QVERIFY(fixture::writeFile(charactersPath(dest.path()), d.characters + "\n//x"));
    }
    const WorldBytes destBefore = readWorld(dest.path());
    const QString busy = QStringLiteral("a transfer into this world is in progress (process %1)")
                                 .arg(::getpid());

    MainWindow window;
    ModalRecord loadBox;
    if (journal)
        answerNextModal(&loadBox);
    QVERIFY(setUp(&window, source.path(), dest.path()));
    if (journal) {
        QCOMPARE(loadBox.title, QStringLiteral("World Busy"));
        QVERIFY2(loadBox.text.contains(busy), qPrintable(loadBox.text));
    }
    QVERIFY(select(window.listView1, "alice", "Aldo"));
    QVERIFY(select(window.listView2, "frank", ""));
    const QString text = clickExpectingWarning(&window, QStringLiteral("World Busy"));
    QVERIFY2(text.contains(busy) && text.contains(QLatin1String("Nothing was written.")),
            qPrintable(text));
    checkIdle(&window);
    QVERIFY2(readWorld(dest.path()) == destBefore, "nothing written");
    QCOMPARE(QFileInfo::exists(transfer::journalPath(dest.path())), journal);

    // The other program is done: the transfer goes ahead, on the world as it now is.
    if (journal) {
        QVERIFY(fixture::writeFile(charactersPath(dest.path()), d.characters));
        QVERIFY(transfer::removeJournal(dest.path(), &error));
        window.fileDestination(dest.path());
        QVERIFY(select(window.listView2, "frank", ""));
    }
    other.release();
    {
        ModalGuard guard;
        clickArrow(&window);
        QVERIFY2(guard.seen().isEmpty(), qPrintable(guard.seen().join(", ")));
    }
    checkIdle(&window);
    QCOMPARE(characterNames(window.listView2, "frank"), QStringList{ "Aldo" });
    // The window let go of the lock with the transfer.
    QVERIFY(!transfer::worldLockHeld(dest.path()));
}

// A transfer into the source world that stopped after the character and before its items:
// choosing that world as the source undoes it first, so the half-written character is never
// offered for a transfer.
void tst_TransferCommand::sourceLoadUndoesAnInterruptedTransfer()
{
    QTemporaryDir source;
    QVERIFY(source.isValid());
    const SourceWorld s;
    QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, s.items));
    const WorldBytes before = readWorld(source.path());
    const QByteArray cy = characterHead + "2\n{\nSERIAL 102\nNAME Cy\nACCOUNT 1\n}\n";
    transfer::Journal journal{ QStringLiteral("Cy"), QStringLiteral("/elsewhere"),
        { { world::charactersFileName(), 0, true, 0, 0, cy },
                { world::itemsFileName(), 0, true, 0, 0,
                        itemHead + "8\n{\nSERIAL 9000\nOWNER 102\n}\n\n" } } };
    QString error;
    QVERIFY2(transfer::describeFiles(source.path(), &journal, &error), qPrintable(error));
    QVERIFY2(transfer::writeJournal(source.path(), journal, &error), qPrintable(error));
    QVERIFY(fixture::writeFile(charactersPath(source.path()), s.characters + cy));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalRecord chooser;
    ModalRecord box;
    answerNextModal(&chooser, [&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY(dialog);
        dialog->setDirectory(source.path());
        dialog->selectFile(source.path());
        answerNextModal(&box);
        static_cast<QDialog *>(dialog)->accept();
    });
    window.fileSource();
    QCOMPARE(window.sourceDir, source.path());
    QVERIFY(chooser.ran);
    QCOMPARE(box.title, QStringLiteral("Interrupted Transfer"));
    QVERIFY2(box.text.contains(QLatin1String("\"Cy\"")), qPrintable(box.text));
    QVERIFY2(readWorld(source.path()) == before, "the source was put back");
    QVERIFY(!QFileInfo::exists(transfer::journalPath(source.path())));
    QCOMPARE(characterNames(window.listView1, "alice"), QStringList{ "Aldo" });
}

namespace {

// Run in a process of its own by unexpectedBoxFailsAtOnce: a refusal box nobody expects.
const char UnexpectedBoxChild[] = "CHARTRANSFER_UNEXPECTED_BOX_CHILD";

class tst_UnexpectedBox : public QObject
{
    Q_OBJECT

private slots:
    void refusalNobodyExpects()
    {
        QTemporaryDir source;
        QTemporaryDir dest;
        QVERIFY(source.isValid() && dest.isValid());
        const SourceWorld s;
        const DestWorld d;
        QVERIFY(fixture::writeWorld(source.path(), s.accounts, s.characters, s.items));
        QVERIFY(fixture::writeWorld(dest.path(), d.accounts, d.characters, d.items));
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.processFile(source.path(), window.listView1, &window.sourceAccounts,
                &window.sourceChars, false);
        window.sourceDir = source.path();
        window.fileDestination(dest.path());
        window.listView1->setCurrentItem(findItem(window.listView1, "alice", "Aldo"));
        window.listView2->setCurrentItem(findItem(window.listView2, "erin"));
        // erin holds five characters: "Account limit" comes up, and nothing answers it.
        QTest::mouseClick(window.pushButton1, Qt::LeftButton);
        qInfo("after the box");
    }
};

} // namespace

// A box that no test step expects is recorded, closed and fails the test that met it; it
// never leaves a suite waiting for a click.
void tst_TransferCommand::unexpectedBoxFailsAtOnce()
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(UnexpectedBoxChild), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    const bool finished = child.waitForFinished(60000);
    if (!finished) {
        child.kill();
        child.waitForFinished();
    }
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(finished, "the suite hung on the box");
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1); // one test failed
    QVERIFY2(output.contains(QLatin1String("FAIL!  : tst_UnexpectedBox::refusalNobodyExpects() "
                                           "an unexpected modal window \"Account limit\" came "
                                           "up (closed): The destination account has the "
                                           "maximum amount (5) characters.")),
            qPrintable(output));
    // The box was closed and the step went on.
    QVERIFY2(output.contains(QLatin1String("after the box")), qPrintable(output));
}

void tst_TransferCommand::encodedWorlds_data()
{
    QTest::addColumn<QByteArrayList>("source"); // accounts, characters, items
    QTest::addColumn<QByteArrayList>("dest");
    QTest::addColumn<QString>("sourceAccount");
    QTest::addColumn<QString>("name"); // as the tree shows it
    QTest::addColumn<QString>("destAccount");
    QTest::addColumn<QString>("caption"); // empty: the transfer goes ahead
    QTest::addColumn<QByteArrayList>("copied"); // lines the appended text holds, byte for byte
    QTest::addColumn<int>("newSection");

    const QByteArray bom("\xef\xbb\xbf");
    const QByteArray ascii = account(1, "alice");
    const QByteArray destAccounts = account(3, "carol") + account(4, "dave");
    const QByteArray destCharacters = character(41, 57, "Zed", 3);
    const QByteArray destItems = itemRecord(99, 4000, 57);
    // Item text of the bytes that were once taken for white space.
    const QByteArray utf8Items = itemRecord(1, 200, 100,
                                         "NAME \xc3\x89p\xc3\xa9"
                                         "e \xc3\xa0 deux mains\n")
            + itemRecord(2, 201, 100,
                    "NAME \xc3\x85sa's \xc5\xa0"
                    "al \xd0\xa0\xd1\x83\xd0\xbd\xd0\xb0\n");
    const QByteArray cp1252Items = itemRecord(1, 200, 100, "NAME Wait\x85 \xa0x \x8a\x8c\x9e\n");
    const QByteArray bjorn = character(0, 100, "Bj\xc3\xb6rn", 1);
    const QString bjornShown = QStringLiteral(u"Bj\u00f6rn");

    QTest::newRow("utf8-name-and-item-text")
            << QByteArrayList{ ascii, bjorn, utf8Items }
            << QByteArrayList{ destAccounts, destCharacters, destItems } << "alice" << bjornShown
            << "carol"
            << ""
            << QByteArrayList{ "NAME Bj\xc3\xb6rn\n",
                   "NAME \xc3\x89p\xc3\xa9"
                   "e \xc3\xa0 deux mains\n",
                   "NAME \xc3\x85sa's \xc5\xa0"
                   "al \xd0\xa0\xd1\x83\xd0\xbd\xd0\xb0\n" }
            << 42;
    QTest::newRow("cp1252-name-and-item-text")
            << QByteArrayList{ ascii, character(0, 100, "\x8aime\x85", 1), cp1252Items }
            << QByteArrayList{ destAccounts, destCharacters, destItems } << "alice"
            << QStringLiteral(u"\u0160ime\u2026") << "carol"
            << "" << QByteArrayList{ "NAME \x8aime\x85\n", "NAME Wait\x85 \xa0x \x8a\x8c\x9e\n" }
            << 42;
    // Å and à differ in their second byte (0x85, 0xa0): no duplicates.
    QTest::newRow("a-ring-and-a-grave-differ")
            << QByteArrayList{ ascii, character(0, 100, "\xc3\xa0sa", 1), QByteArray() }
            << QByteArrayList{ destAccounts, destCharacters + character(42, 58, "\xc3\x85sa", 3),
                   destItems }
            << "alice" << QStringLiteral(u"\u00e0sa") << "carol"
            << "" << QByteArrayList{ "NAME \xc3\xa0sa\n" } << 43;
    // The same name in two encodings is the same name.
    QTest::newRow("duplicate-across-encodings")
            << QByteArrayList{ ascii, bjorn, QByteArray() }
            << QByteArrayList{ destAccounts, destCharacters + character(42, 58, "Bj\xf6rn", 3),
                   destItems }
            << "alice" << bjornShown << "carol"
            << "Character Duplication" << QByteArrayList{} << 0;
    QTest::newRow("utf8-name-into-cp1252-characters")
            << QByteArrayList{ ascii, bjorn, QByteArray() }
            << QByteArrayList{ destAccounts, destCharacters + character(42, 58, "\x8aime", 4),
                   destItems }
            << "alice" << bjornShown << "carol"
            << "Encoding Mismatch" << QByteArrayList{} << 0;
    QTest::newRow("utf8-items-into-cp1252-items")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), utf8Items }
            << QByteArrayList{ destAccounts, destCharacters,
                   destItems + itemRecord(100, 4001, 57, "NAME \x85\n") }
            << "alice"
            << "Aldo"
            << "carol"
            << "Encoding Mismatch" << QByteArrayList{} << 0;
    QTest::newRow("cp1252-items-into-utf8-items")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), cp1252Items }
            << QByteArrayList{ destAccounts, destCharacters,
                   destItems + itemRecord(100, 4001, 57, "NAME \xc3\x85\n") }
            << "alice"
            << "Aldo"
            << "carol"
            << "Encoding Mismatch" << QByteArrayList{} << 0;
    // Windows-1252 text whose bytes happen to be valid UTF-8 ("\xc3\xa0" is "\u00c3\u00a0"): a
    // destination of ASCII alone would read it as UTF-8.
    QTest::newRow("cp1252-text-that-reads-as-utf8")
            << QByteArrayList{ ascii,
                   character(0, 100, "Aldo\xc3\xa0", 1) + character(1, 101, "Wait\x85", 1),
                   QByteArray() }
            << QByteArrayList{ destAccounts, destCharacters, destItems } << "alice"
            << QStringLiteral(u"Aldo\u00c3\u00a0") << "carol"
            << "Encoding Mismatch" << QByteArrayList{} << 0;
    // Text of ASCII alone means the same in any file.
    QTest::newRow("ascii-copy-between-encodings")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1) + bjorn, QByteArray() }
            << QByteArrayList{ destAccounts, destCharacters + character(42, 58, "\x8aime", 4),
                   destItems }
            << "alice"
            << "Aldo"
            << "carol"
            << "" << QByteArrayList{ "NAME Aldo\n" } << 43;
    // A byte-order mark is no part of the first line: the record after it counts, and the
    // mark is never copied.
    QTest::newRow("bom-in-every-source-file")
            << QByteArrayList{ bom + ascii, bom + bjorn, bom + utf8Items }
            << QByteArrayList{ destAccounts, destCharacters, destItems } << "alice" << bjornShown
            << "carol"
            << ""
            << QByteArrayList{ "NAME Bj\xc3\xb6rn\n",
                   "NAME \xc3\x89p\xc3\xa9"
                   "e \xc3\xa0 deux mains\n" }
            << 42;
    QTest::newRow("bom-in-destination-characters")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), QByteArray() }
            << QByteArrayList{ destAccounts, bom + character(50, 70, "Aldo", 4) + destCharacters,
                   destItems }
            << "alice"
            << "Aldo"
            << "dave"
            << "Character Duplication" << QByteArrayList{} << 0;
    QTest::newRow("bom-in-destination-characters-numbers")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), QByteArray() }
            << QByteArrayList{ destAccounts, bom + character(50, 70, "Ann", 4) + destCharacters,
                   destItems }
            << "alice"
            << "Aldo"
            << "carol"
            << "" << QByteArrayList{ "SERIAL 71\n" } << 51;
    QTest::newRow("bom-in-destination-accounts")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), QByteArray() }
            << QByteArrayList{ bom + destAccounts, destCharacters, destItems } << "alice"
            << "Aldo"
            << "carol"
            << "" << QByteArrayList{ "ACCOUNT 3\n" } << 42;
    QTest::newRow("bom-in-destination-items")
            << QByteArrayList{ ascii, character(0, 100, "Aldo", 1), utf8Items }
            << QByteArrayList{ destAccounts, destCharacters,
                   bom + itemRecord(300, 1073741950, 57) + destItems }
            << "alice"
            << "Aldo"
            << "carol"
            << "" << QByteArrayList{ "SECTION WORLDITEM 301\n", "SERIAL 1073741951\n" } << 42;
}

// Worlds in UTF-8 and Windows-1252, with byte-order marks: names are matched as decoded,
// text is copied byte for byte, and a copy that would read otherwise is refused.
void tst_TransferCommand::encodedWorlds()
{
    QFETCH(QByteArrayList, source);
    QFETCH(QByteArrayList, dest);
    QFETCH(QString, sourceAccount);
    QFETCH(QString, name);
    QFETCH(QString, destAccount);
    QFETCH(QString, caption);
    QFETCH(QByteArrayList, copied);
    QFETCH(int, newSection);

    QTemporaryDir sourceDir;
    QTemporaryDir destDir;
    QVERIFY(sourceDir.isValid() && destDir.isValid());
    QVERIFY(fixture::writeWorld(sourceDir.path(), source.at(0), source.at(1), source.at(2)));
    QVERIFY(fixture::writeWorld(destDir.path(), dest.at(0), dest.at(1), dest.at(2)));
    const WorldBytes before = readWorld(destDir.path());

    MainWindow window;
    QVERIFY(setUp(&window, sourceDir.path(), destDir.path()));
    QVERIFY(select(window.listView1, sourceAccount, name));
    QVERIFY(select(window.listView2, destAccount, QString()));
    if (!caption.isEmpty()) {
        const QString text = clickExpectingWarning(&window, caption);
        checkIdle(&window);
        QVERIFY2(readWorld(destDir.path()) == before, "a refused transfer writes nothing");
        if (caption == QLatin1String("Encoding Mismatch")) {
            QVERIFY2(text.contains(QStringLiteral("\"%1\"").arg(name))
                            && text.contains(QLatin1String("UTF-8"))
                            && text.contains(QLatin1String("Windows-1252"))
                            && text.contains(QLatin1String("Nothing was written")),
                    qPrintable(text));
        }
        return;
    }
    {
        ModalGuard guard;
        clickArrow(&window);
        QVERIFY2(guard.seen().isEmpty(), qPrintable(guard.seen().join(", ")));
    }
    checkIdle(&window);
    const WorldBytes after = readWorld(destDir.path());
    QVERIFY(after.characters.startsWith(before.characters));
    QVERIFY(after.items.startsWith(before.items));
    const QByteArray appended =
            after.characters.mid(before.characters.size()) + after.items.mid(before.items.size());
    QVERIFY2(appended.startsWith(characterHead + QByteArray::number(newSection) + "\n"),
            appended.constData());
    QVERIFY2(!appended.contains("\xef\xbb\xbf"), "a byte-order mark is never copied");
    for (const QByteArray &line : std::as_const(copied))
        QVERIFY2(appended.contains("\n" + line), line.constData());
    // The new character shows as the source showed it, and leads back to the index.
    QVERIFY(findItem(window.listView2, destAccount, name));
    int number = -1;
    QVERIFY(world::findAccount(window.destAccounts, destAccount, &number));
    QVERIFY(world::findCharacter(window.destChars, number, name));
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    if (qEnvironmentVariableIsSet(UnexpectedBoxChild)) {
        tst_UnexpectedBox child;
        return QTest::qExec(&child, argc, argv);
    }
    tst_TransferCommand suite;
    return QTest::qExec(&suite, argc, argv);
}

#include "tst_transfercommand.moc"
