#include <QtTest>

#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <climits>

#include "app/mainwindow.h"
#include "support/modalanswer.h"
#include "support/worldfixture.h"
#include "world/filestamp.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace {

QByteArray accountRecord(int number, const QByteArray &name)
{
    return "SECTION ACCOUNT " + QByteArray::number(number) + "\n{\nNAME " + name + "\n}\n";
}

QByteArray characterRecord(int number, const QByteArray &name, int account, int serial)
{
    return "SECTION CHARACTER " + QByteArray::number(number) + "\n{\nNAME " + name + "\nACCOUNT "
            + QByteArray::number(account) + "\nSERIAL " + QByteArray::number(serial)
            + "\nSTR 50\n}\n";
}

// Accounts 1 Ann, 2 Bob and 3 Cid.
QByteArray threeAccounts()
{
    return accountRecord(1, "Ann") + accountRecord(2, "Bob") + accountRecord(3, "Cid");
}

QString quoted(const QString &text)
{
    return QStringLiteral("'%1'").arg(text);
}

// The tree in the view's order: an account as its quoted name, " open" when expanded; its
// characters below it, indented. Quotes show trailing blanks; a text in the column that
// should be empty is shown too.
QStringList treeLines(const QTreeWidget *view)
{
    QStringList lines;
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *account = view->topLevelItem(i);
        QString line = quoted(account->text(0));
        if (!account->text(1).isEmpty())
            line += QStringLiteral(" character=") + quoted(account->text(1));
        if (account->isExpanded())
            line += QStringLiteral(" open");
        lines << line;
        for (int c = 0; c < account->childCount(); ++c) {
            const QTreeWidgetItem *character = account->child(c);
            QString childLine = QStringLiteral("  ") + quoted(character->text(1));
            if (!character->text(0).isEmpty())
                childLine += QStringLiteral(" account=") + quoted(character->text(0));
            if (character->childCount() > 0)
                childLine += QStringLiteral(" with children");
            lines << childLine;
        }
    }
    return lines;
}

QStringList accountLines(const AccountMap &accounts)
{
    QStringList lines;
    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it)
        lines << QStringLiteral("%1 %2").arg(it.key()).arg(quoted(it.value()));
    return lines;
}

// Characters by account number, each list in its own order; offsets are checked apart.
QStringList characterLines(const CharacterMap &characters)
{
    QStringList lines;
    for (auto it = characters.cbegin(); it != characters.cend(); ++it) {
        for (const char_st &character : it.value()) {
            lines << QStringLiteral("%1 %2 serial %3")
                             .arg(it.key())
                             .arg(quoted(character.name))
                             .arg(character.serial);
        }
    }
    return lines;
}

// Remembers the override cursor that is in force when a world starts loading.
class CursorWatchingWindow : public MainWindow
{
public:
    QList<int> shapesAtLoad;

    void processFile(QString name, QTreeWidget *view, QMap<int, QString> *account,
            QMap<int, QList<char_st>> *character, bool dest) override
    {
        const QCursor *cursor = QApplication::overrideCursor();
        shapesAtLoad << (cursor ? int(cursor->shape()) : -1);
        MainWindow::processFile(name, view, account, character, dest);
    }
};

// What a directory chooser looked like when it came up.
struct ChooserSeen
{
    bool isFileDialog = false;
    QString objectName;
    bool parentIsWindow = false;
    bool directoriesOnly = false;
};

// Answers the next chooser by choosing `dir` (or cancelling when `dir` is empty).
void chooseNext(ModalRecord *record, ChooserSeen *seen, const QWidget *window, const QString &dir)
{
    answerNextModal(record, [=](QWidget *modal) {
        auto *chooser = qobject_cast<QFileDialog *>(modal);
        seen->isFileDialog = chooser != nullptr;
        seen->objectName = modal->objectName();
        seen->parentIsWindow = modal->parentWidget() == window;
        if (chooser) {
            seen->directoriesOnly = chooser->fileMode() == QFileDialog::Directory
                    && chooser->testOption(QFileDialog::ShowDirsOnly);
        }
        auto *dialog = qobject_cast<QDialog *>(modal);
        if (!chooser || dir.isEmpty()) {
            if (dialog)
                dialog->reject();
            return;
        }
        chooser->setDirectory(dir);
        dialog->accept();
    });
}

// Everything of one side of the window and of the destination's numbers, for comparing a
// state before and after.
struct Snapshot
{
    QStringList sourceTree, destTree, sourceAccounts, destAccounts, sourceChars, destChars;
    QString sourceTitle, destTitle, sourceDir, destDir;
    QList<int> counters;
    QList<int> itemMapSizes;
    bool cutOff = false;
    FileStamp stamp;

    explicit Snapshot(const MainWindow &w)
        : sourceTree(treeLines(w.listView1))
        , destTree(treeLines(w.listView2))
        , sourceAccounts(accountLines(w.sourceAccounts))
        , destAccounts(accountLines(w.destAccounts))
        , sourceChars(characterLines(w.sourceChars))
        , destChars(characterLines(w.destChars))
        , sourceTitle(w.groupBox1->title())
        , destTitle(w.groupBox2->title())
        , sourceDir(w.sourceDir)
        , destDir(w.destDir)
        , counters({ w.maxCharSection, w.maxItemSection, w.maxCharSerial, w.maxItemSerial })
        , itemMapSizes(
                  { int(w.serialMap.size()), int(w.containerMap.size()), int(w.moreMap.size()) })
        , cutOff(w.destCharsCutOff)
        , stamp(w.destCharsStamp)
    { }
};

void compareSnapshots(const Snapshot &actual, const Snapshot &expected)
{
    QCOMPARE(actual.sourceTree, expected.sourceTree);
    QCOMPARE(actual.destTree, expected.destTree);
    QCOMPARE(actual.sourceAccounts, expected.sourceAccounts);
    QCOMPARE(actual.destAccounts, expected.destAccounts);
    QCOMPARE(actual.sourceChars, expected.sourceChars);
    QCOMPARE(actual.destChars, expected.destChars);
    QCOMPARE(actual.sourceTitle, expected.sourceTitle);
    QCOMPARE(actual.destTitle, expected.destTitle);
    QCOMPARE(actual.sourceDir, expected.sourceDir);
    QCOMPARE(actual.destDir, expected.destDir);
    QCOMPARE(actual.counters, expected.counters);
    QCOMPARE(actual.itemMapSizes, expected.itemMapSizes);
    QCOMPARE(actual.cutOff, expected.cutOff);
    QVERIFY2(actual.stamp == expected.stamp, "the destination characters stamp changed");
}

// Gives the transfer state values a load must reset (or, for a source load, keep).
void dirtyTransferState(MainWindow *window)
{
    window->maxCharSection = 11;
    window->maxItemSection = 22;
    window->maxCharSerial = 33;
    window->maxItemSerial = 44;
    window->serialMap.insert(1, item_st());
    window->containerMap.insert(2, { 3 });
    window->moreMap.insert(4, { 5 });
}

} // namespace

class tst_World : public QObject
{
    Q_OBJECT

private slots:
    void accountLoading_data();
    void accountLoading();
    void characterLoading_data();
    void characterLoading();
    void destinationCounters_data();
    void destinationCounters();
    void sourceLoadLeavesCounters();
    void recordOffsets_data();
    void recordOffsets();
    void decodedNames_data();
    void decodedNames();
    void latin1Names();
    void statusAndProgress_data();
    void statusAndProgress();
    void waitCursor();
    void chooser_data();
    void chooser();
    void cancelledChooser_data();
    void cancelledChooser();
    void destinationTwice();
    void newSourceLeavesDestination();
    void sameDirectoryBothSides();
    void directoryWithoutWorldFiles();
    void worldFileIsDirectory_data();
    void worldFileIsDirectory();
    void sortOrderKept();
    void charactersStamp();
    void progressScale_data();
    void progressScale();
};

void tst_World::accountLoading_data()
{
    QTest::addColumn<QByteArray>("accounts");
    QTest::addColumn<QStringList>("expectedAccounts");
    QTest::addColumn<QStringList>("expectedTree");

    QTest::newRow("only-word-one-names-the-account")
            << QByteArray("SECTION ACCOUNT 1\n{\nNAME John Smith\n}\n") << QStringList{ "1 'John'" }
            << QStringList{ "'John'" };
    QTest::newRow("name-without-value") << QByteArray("SECTION ACCOUNT 4\n{\nNAME\n}\n")
                                        << QStringList{ "4 ''" } << QStringList{ "''" };
    QTest::newRow("first-name-line-wins")
            << QByteArray("SECTION ACCOUNT 1\n{\nNAME Ann\nNAME Bea\n}\n")
            << QStringList{ "1 'Ann'" } << QStringList{ "'Ann'" };
    // Two items, but the map keeps the later name.
    QTest::newRow("same-number-twice")
            << accountRecord(1, "Zoe") + accountRecord(1, "Ann") << QStringList{ "1 'Ann'" }
            << QStringList{ "'Ann'", "'Zoe'" };
    QTest::newRow("empty-file") << QByteArray("") << QStringList() << QStringList();
    QTest::newRow("no-records") << QByteArray("// accounts\n\nNAME Ann\n") << QStringList()
                                << QStringList();
    // The last line of the file is never examined, with or without its line feed.
    QTest::newRow("name-on-last-line-without-newline")
            << QByteArray("SECTION ACCOUNT 1\n{\nNAME Ann") << QStringList() << QStringList();
    QTest::newRow("name-on-last-line-with-newline")
            << QByteArray("SECTION ACCOUNT 1\n{\nNAME Ann\n") << QStringList() << QStringList();
    QTest::newRow("brace-on-last-line")
            << QByteArray("SECTION ACCOUNT 1\n{\n") << QStringList() << QStringList();
    QTest::newRow("header-without-brace") << QByteArray("SECTION ACCOUNT 1\nNAME Ann\nNAME Bob\n")
                                          << QStringList() << QStringList();
    QTest::newRow("body-without-name")
            << QByteArray("SECTION ACCOUNT 1\n{\nPASS x\n}\n") + accountRecord(2, "Bob")
            << QStringList{ "2 'Bob'" } << QStringList{ "'Bob'" };
    // Simplified before the comment is cut, '{ // x' is no brace: the search runs on to
    // the next bare brace, and that body is read under the first header's number.
    QTest::newRow("brace-with-comment-is-no-brace")
            << QByteArray("SECTION ACCOUNT 1\n{ // start\nNAME Ann\n}\n") + accountRecord(2, "Bob")
            << QStringList{ "1 'Bob'" } << QStringList{ "'Bob'" };
    QTest::newRow("name-between-header-and-brace-ignored")
            << QByteArray("SECTION ACCOUNT 1\nNAME Ann\n{\nNAME Bob\n}\n")
            << QStringList{ "1 'Bob'" } << QStringList{ "'Bob'" };
    QTest::newRow("name-after-closing-brace-ignored")
            << QByteArray("SECTION ACCOUNT 1\n{\nPASS x\n}\nNAME Ann\n{\nNAME Bob\n}\n")
            << QStringList() << QStringList();
    QTest::newRow("name-with-comment") << QByteArray("SECTION ACCOUNT 1\n{\nNAME Ann // owner\n}\n")
                                       << QStringList{ "1 'Ann'" } << QStringList{ "'Ann'" };
    QTest::newRow("indented-with-tabs")
            << QByteArray("\t SECTION\tACCOUNT   7 \n  {\n\tNAME \t Ann \t\n }\n")
            << QStringList{ "7 'Ann'" } << QStringList{ "'Ann'" };
    QTest::newRow("keys-are-case-sensitive")
            << QByteArray("section ACCOUNT 1\n{\nNAME Ann\n}\nSECTION ACCOUNT 2\n{\nName "
                          "Bea\nNAME Bob\n}\n")
            << QStringList{ "2 'Bob'" } << QStringList{ "'Bob'" };
    QTest::newRow("number-not-a-number-reads-zero") << QByteArray(
            "SECTION ACCOUNT x\n{\nNAME Ann\n}\nSECTION ACCOUNT\n{\nNAME "
            "Bob\n}\n") << QStringList{ "0 'Bob'" } << QStringList{ "'Ann'", "'Bob'" };
    QTest::newRow("crlf") << QByteArray("SECTION ACCOUNT 1\r\n{\r\nNAME Ann\r\n}\r\n")
                          << QStringList{ "1 'Ann'" } << QStringList{ "'Ann'" };
    // Sorted by name, whatever the file order.
    QTest::newRow("view-sorted-by-name")
            << accountRecord(1, "Mia") + accountRecord(2, "Al") + accountRecord(3, "Zed")
            << QStringList{ "1 'Mia'", "2 'Al'", "3 'Zed'" }
            << QStringList{ "'Al'", "'Mia'", "'Zed'" };
}

void tst_World::accountLoading()
{
    QFETCH(QByteArray, accounts);
    QFETCH(QStringList, expectedAccounts);
    QFETCH(QStringList, expectedTree);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accounts, QByteArray(), QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    QCOMPARE(accountLines(window.destAccounts), expectedAccounts);
    QCOMPARE(treeLines(window.listView2), expectedTree);
    QVERIFY(window.destChars.isEmpty());
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::characterLoading_data()
{
    QTest::addColumn<QByteArray>("accounts");
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<QStringList>("expectedCharacters");
    QTest::addColumn<QStringList>("expectedTree");

    const QByteArray accounts = threeAccounts();
    const QStringList noCharacters{ "'Ann'", "'Bob'", "'Cid'" };

    QTest::newRow("inner-blanks-simplified")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nNAME  Old \t Bob\nACCOUNT 1\n"
                          "SERIAL 5\n}\n")
            << QStringList{ "1 'Old Bob' serial 5" }
            << QStringList{ "'Ann' open", "  'Old Bob'", "'Bob'", "'Cid'" };
    // Simplified first, then the comment cut: the blank before it stays with the name.
    QTest::newRow("comment-after-name-keeps-blank")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nNAME Old Bob // x\nACCOUNT 2\n"
                          "SERIAL 5\n}\n")
            << QStringList{ "2 'Old Bob ' serial 5" }
            << QStringList{ "'Ann'", "'Bob' open", "  'Old Bob '", "'Cid'" };
    QTest::newRow("keys-in-any-order")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nSERIAL 7\nSTR 3\nNAME Al\nACCOUNT 3\n}\n"
                          "SECTION CHARACTER 2\n{\nACCOUNT 3\nNAME Bo\nSERIAL 8\n}\n")
            << QStringList{ "3 'Al' serial 7", "3 'Bo' serial 8" }
            << QStringList{ "'Ann'", "'Bob'", "'Cid' open", "  'Al'", "  'Bo'" };
    // Once added, only a further ACCOUNT line adds the character again.
    QTest::newRow("further-account-line-adds-again")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nSERIAL 7\nACCOUNT 1\nNAME Bo\n"
                          "SERIAL 9\nACCOUNT 2\n}\n")
            << QStringList{ "1 'Al' serial 7", "2 'Bo' serial 9" }
            << QStringList{ "'Ann' open", "  'Al'", "'Bob' open", "  'Bo'", "'Cid'" };
    QTest::newRow("serial-minus-one-is-not-seen")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nACCOUNT 1\nSERIAL -1\n}\n")
            << QStringList() << noCharacters;
    QTest::newRow("account-minus-one-is-not-seen")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nACCOUNT -1\nSERIAL 4\n}\n")
            << QStringList() << noCharacters;
    // Account 0 has no account record: kept in the map, left out of the tree.
    QTest::newRow("account-not-a-number-reads-zero")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nACCOUNT x\nSERIAL 4\n}\n")
            << QStringList{ "0 'Al' serial 4" } << noCharacters;
    QTest::newRow("unknown-account-only-in-map")
            << accounts << characterRecord(1, "Al", 9, 4) + characterRecord(2, "Bo", 1, 5)
            << QStringList{ "1 'Bo' serial 5", "9 'Al' serial 4" }
            << QStringList{ "'Ann' open", "  'Bo'", "'Bob'", "'Cid'" };
    QTest::newRow("file-order-within-account")
            << accounts
            << characterRecord(1, "Zoe", 2, 30) + characterRecord(2, "Al", 2, 10)
                    + characterRecord(3, "Mo", 2, 20)
            << QStringList{ "2 'Zoe' serial 30", "2 'Al' serial 10", "2 'Mo' serial 20" }
            << QStringList{ "'Ann'", "'Bob' open", "  'Zoe'", "  'Al'", "  'Mo'", "'Cid'" };
    QTest::newRow("same-name-twice-in-account")
            << accounts << characterRecord(1, "Al", 1, 10) + characterRecord(2, "Al", 1, 11)
            << QStringList{ "1 'Al' serial 10", "1 'Al' serial 11" }
            << QStringList{ "'Ann' open", "  'Al'", "  'Al'", "'Bob'", "'Cid'" };
    QTest::newRow("name-without-value-adds-nothing")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nNAME\nACCOUNT 1\nSERIAL 4\n}\n"
                          "SECTION CHARACTER 2\n{\nNAME // none\nACCOUNT 1\nSERIAL 5\n}\n")
            << QStringList() << noCharacters;
    QTest::newRow("last-line-never-examined")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nSERIAL 4\nACCOUNT 1")
            << QStringList() << noCharacters;
    QTest::newRow("last-line-never-examined-with-newline")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nSERIAL 4\nACCOUNT 1\n")
            << QStringList() << noCharacters;
    QTest::newRow("nothing-carries-over-between-records")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{\nNAME Al\nSERIAL 4\n}\n"
                          "SECTION CHARACTER 2\n{\nACCOUNT 1\n}\n")
            << QStringList() << noCharacters;
    QTest::newRow("keys-before-brace-ignored")
            << accounts << QByteArray("SECTION CHARACTER 1\nNAME Al\nACCOUNT 1\n{\nSERIAL 4\n}\n")
            << QStringList() << noCharacters;
    QTest::newRow("brace-with-comment-reads-next-body")
            << accounts
            << QByteArray("SECTION CHARACTER 1\n{ // start\nNAME Al\nACCOUNT 1\nSERIAL 4\n}\n")
                    + characterRecord(2, "Bo", 2, 5)
            << QStringList{ "2 'Bo' serial 5" }
            << QStringList{ "'Ann'", "'Bob' open", "  'Bo'", "'Cid'" };
    QTest::newRow("keys-are-case-sensitive")
            << accounts << QByteArray("SECTION CHARACTER 1\n{\nName Al\nACCOUNT 1\nSERIAL 4\n}\n")
            << QStringList() << noCharacters;
    QTest::newRow("indented-and-tabbed-crlf")
            << accounts
            << QByteArray("  SECTION CHARACTER 1\r\n\t{\r\n\tNAME\tOld\t Bob \r\n  ACCOUNT\t3\r\n"
                          "SERIAL  6\t\r\n}\r\n")
            << QStringList{ "3 'Old Bob' serial 6" }
            << QStringList{ "'Ann'", "'Bob'", "'Cid' open", "  'Old Bob'" };
    // Characters of both go under the first of the two items in the view's order.
    QTest::newRow("two-accounts-same-name")
            << accountRecord(1, "Ann") + accountRecord(2, "Ann")
            << characterRecord(1, "Al", 2, 10) + characterRecord(2, "Bo", 1, 11)
            << QStringList{ "1 'Bo' serial 11", "2 'Al' serial 10" }
            << QStringList{ "'Ann' open", "  'Al'", "  'Bo'", "'Ann'" };
    // The map keeps the later name for number 1, so its characters go under that item.
    QTest::newRow("account-number-given-twice")
            << accountRecord(1, "Ann") + accountRecord(1, "Bob") << characterRecord(1, "Al", 1, 10)
            << QStringList{ "1 'Al' serial 10" } << QStringList{ "'Ann'", "'Bob' open", "  'Al'" };
    QTest::newRow("empty-file") << accounts << QByteArray("") << QStringList() << noCharacters;
    QTest::newRow("missing-file") << accounts << QByteArray() << QStringList() << noCharacters;
}

void tst_World::characterLoading()
{
    QFETCH(QByteArray, accounts);
    QFETCH(QByteArray, characters);
    QFETCH(QStringList, expectedCharacters);
    QFETCH(QStringList, expectedTree);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accounts, characters, QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    QCOMPARE(characterLines(window.destChars), expectedCharacters);
    QCOMPARE(treeLines(window.listView2), expectedTree);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    // The source side reads the same way.
    window.processFile(
            dir.path(), window.listView1, &window.sourceAccounts, &window.sourceChars, false);
    QCOMPARE(characterLines(window.sourceChars), expectedCharacters);
    QCOMPARE(treeLines(window.listView1), expectedTree);
}

void tst_World::destinationCounters_data()
{
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<int>("maxSection");
    QTest::addColumn<int>("maxSerial");
    QTest::addColumn<bool>("cutOff");

    const QByteArray two = characterRecord(3, "Al", 1, 5) + characterRecord(8, "Bo", 1, 40);

    // Cannot be opened: the 0 and 0 that selecting the world gave them.
    QTest::newRow("missing-file") << QByteArray() << 0 << 0 << false;
    QTest::newRow("empty-file") << QByteArray("") << -1 << 0 << false;
    QTest::newRow("no-records") << QByteArray("// nothing yet\n\n") << -1 << 0 << false;
    QTest::newRow("two-records") << two << 8 << 40 << false;
    QTest::newRow("any-header-type-counts")
            << two + QByteArray("SECTION WORLDITEM 12\n{\nSERIAL 9\n}\n") << 12 << 40 << false;
    QTest::newRow("record-without-character-counts")
            << QByteArray("SECTION CHARACTER 6\n{\nSERIAL 70\n}\n") << 6 << 70 << false;
    QTest::newRow("number-not-a-number-reads-zero")
            << QByteArray("SECTION CHARACTER x\n{\n}\n") << 0 << 0 << false;
    QTest::newRow("negative-numbers")
            << QByteArray("SECTION CHARACTER -4\n{\nSERIAL -5\n}\n") << -1 << 0 << false;
    QTest::newRow("negative-serial-never-lowers")
            << two + QByteArray("SECTION CHARACTER 9\n{\nSERIAL -50\n}\n") << 9 << 40 << false;
    QTest::newRow("serial-outside-body-not-counted") << QByteArray(
            "SERIAL 99\nSECTION CHARACTER 1\nSERIAL 98\n{\nSERIAL 3\n}\nSERIAL 97\n"
            "}\n") << 1 << 3 << false;
    QTest::newRow("header-before-brace-not-counted")
            << QByteArray("SECTION CHARACTER 1\nSECTION CHARACTER 50\n{\n}\n") << 1 << 0 << false;
    QTest::newRow("serial-on-last-line-not-counted")
            << QByteArray("SECTION CHARACTER 1\n{\nSERIAL 3\nSERIAL 80") << 1 << 3 << true;
    QTest::newRow("crlf") << QByteArray("SECTION CHARACTER 4\r\n{\r\nSERIAL 12\r\n}\r\n") << 4 << 12
                          << false;
    // Where the file ends decides whether a record was left unfinished.
    QTest::newRow("ends-after-header")
            << two + QByteArray("SECTION CHARACTER 9\n") << 9 << 40 << true;
    QTest::newRow("ends-at-opening-brace")
            << two + QByteArray("SECTION CHARACTER 9\n{\n") << 9 << 40 << true;
    QTest::newRow("ends-inside-body")
            << two + QByteArray("SECTION CHARACTER 9\n{\nNAME Cy\n") << 9 << 40 << true;
    QTest::newRow("ends-between-header-and-brace")
            << two + QByteArray("SECTION CHARACTER 9\nNAME Cy\n") << 9 << 40 << true;
    // The last line is not examined, but a bare "}" there still closes the record.
    QTest::newRow("closing-brace-without-newline")
            << QByteArray("SECTION CHARACTER 1\n{\nSERIAL 3\n}") << 1 << 3 << false;
    QTest::newRow("closing-brace-crlf")
            << QByteArray("SECTION CHARACTER 1\r\n{\r\nSERIAL 3\r\n}\r\n") << 1 << 3 << false;
    QTest::newRow("closing-brace-with-blanks")
            << QByteArray("SECTION CHARACTER 1\n{\nSERIAL 3\n \t}  \n") << 1 << 3 << false;
    // Simplified before the comment is cut, "} // x" is no closing brace to the loaders.
    QTest::newRow("closing-brace-with-comment")
            << QByteArray("SECTION CHARACTER 1\n{\nSERIAL 3\n} // end\n") << 1 << 3 << true;
    QTest::newRow("opening-brace-never-found")
            << QByteArray("SECTION CHARACTER 1\n{ // x\nSERIAL 3\n}\n") << 1 << 0 << true;
    QTest::newRow("comments-after-last-record")
            << two + QByteArray("// end of save\n\n") << 8 << 40 << false;
}

void tst_World::destinationCounters()
{
    QFETCH(QByteArray, characters);
    QFETCH(int, maxSection);
    QFETCH(int, maxSerial);
    QFETCH(bool, cutOff);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accountRecord(1, "Ann"), characters, QByteArray()));

    MainWindow window;
    // Left over from an earlier world: a load must not keep any of it.
    window.destCharsCutOff = !cutOff;
    dirtyTransferState(&window);
    window.fileDestination(dir.path());
    QCOMPARE(window.maxCharSection, maxSection);
    QCOMPARE(window.maxCharSerial, maxSerial);
    QCOMPARE(window.destCharsCutOff, cutOff);
    QCOMPARE(window.maxItemSection, 0);
    QCOMPARE(window.maxItemSerial, 0);
    QVERIFY2(
            window.serialMap.isEmpty() && window.containerMap.isEmpty() && window.moreMap.isEmpty(),
            "the item maps of the last transfer were kept");
}

void tst_World::sourceLoadLeavesCounters()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accountRecord(1, "Ann"),
            characterRecord(90, "Al", 1, 900) + "SECTION CHARACTER 91\n", QByteArray()));

    MainWindow window;
    dirtyTransferState(&window);
    window.destCharsCutOff = false;
    window.processFile(
            dir.path(), window.listView1, &window.sourceAccounts, &window.sourceChars, false);
    QCOMPARE(characterLines(window.sourceChars), QStringList{ "1 'Al' serial 900" });
    QCOMPARE(window.maxCharSection, 11);
    QCOMPARE(window.maxItemSection, 22);
    QCOMPARE(window.maxCharSerial, 33);
    QCOMPARE(window.maxItemSerial, 44);
    QCOMPARE(window.serialMap.size(), 1);
    QCOMPARE(window.destCharsCutOff, false);
    QVERIFY2(!window.destCharsStamp.exists, "a source load stamped the destination");
}

void tst_World::recordOffsets_data()
{
    QTest::addColumn<QByteArray>("characters");

    const QByteArray lf = "// save\n\n" + characterRecord(1, "Al", 1, 10)
            + "   SECTION CHARACTER 2  // next\n{\nNAME Bo\nACCOUNT 1\nSERIAL 11\n}\n"
            + characterRecord(3, "Cy", 1, 12);
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    QByteArray mixed = lf;
    mixed.replace("{\n", "{\r\n");
    QTest::newRow("lf") << lf;
    QTest::newRow("crlf") << crlf;
    QTest::newRow("mixed") << mixed;
    // A record whose brace the loaders do not see takes the body of the next record; the
    // character found there carries the offset of the first header.
    QTest::newRow("crlf-record-read-under-earlier-header")
            << QByteArray("SECTION CHARACTER 1\r\n{ // x\r\nSTR 1\r\n}\r\n") + crlf;
}

void tst_World::recordOffsets()
{
    QFETCH(QByteArray, characters);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accountRecord(1, "Ann"), characters, QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    const QList<char_st> found = window.destChars.value(1);
    QVERIFY2(!found.isEmpty(), "no character was loaded");
    // Each offset is where the line after the record's header begins: the header is the
    // last SECTION line before it, and the bytes before the offset end with its terminator.
    for (const char_st &character : found) {
        QVERIFY2(character.offset > 0 && character.offset <= characters.size(),
                qPrintable(QStringLiteral("offset %1").arg(character.offset)));
        const QByteArray before = characters.left(character.offset);
        QVERIFY2(before.endsWith('\n'), qPrintable(character.name));
        const qsizetype lineStart = before.lastIndexOf('\n', before.size() - 2) + 1;
        const QByteArray header = before.mid(lineStart);
        QVERIFY2(header.trimmed().startsWith("SECTION CHARACTER"),
                qPrintable(
                        QStringLiteral("%1: %2").arg(character.name, QString::fromLatin1(header))));
    }
    // The same offsets counted by hand from the bytes: the first, second and third headers.
    QList<int> expected;
    for (const QByteArray &header : { QByteArray("SECTION CHARACTER 1"),
                 QByteArray("SECTION CHARACTER 2  // next"), QByteArray("SECTION CHARACTER 3") }) {
        const qsizetype at = characters.lastIndexOf(header);
        expected << int(characters.indexOf('\n', at) + 1);
    }
    QList<int> actual;
    for (const char_st &character : found)
        actual << character.offset;
    if (QByteArray(QTest::currentDataTag()) == "crlf-record-read-under-earlier-header")
        expected[0] = int(characters.indexOf('\n') + 1);
    QCOMPARE(actual, expected);
}

void tst_World::decodedNames_data()
{
    QTest::addColumn<QByteArray>("accountName"); // bytes, in accounts.adm
    QTest::addColumn<QByteArrayList>("names"); // bytes, one character each in ztpcs.wsc
    QTest::addColumn<QString>("shownAccount");
    QTest::addColumn<QStringList>("shown");

    // clang-format off
    QTest::newRow("utf8")
            << QByteArray("Bj\xc3\xb6rn") << QByteArrayList{ "Bj\xc3\xb6rn", "\xc3\x89p\xc3\xa9" "e" }
            << QStringLiteral(u"Bj\u00f6rn") << QStringList{ QStringLiteral(u"Bj\u00f6rn"), QStringLiteral(u"\u00c9p\u00e9e") };
    // The second bytes of Å (0x85) and à (0xa0) are no white space: two names, not one.
    QTest::newRow("utf8-a-ring-and-a-grave")
            << QByteArray("ostara") << QByteArrayList{ "\xc3\x85sa", "\xc3\xa0sa", "\xc5\xa0tefan" }
            << QStringLiteral("ostara") << QStringList{ QStringLiteral(u"\u00c5sa"), QStringLiteral(u"\u00e0sa"), QStringLiteral(u"\u0160tefan") };
    QTest::newRow("utf8-cyrillic")
            << QByteArray("\xd0\xb0\xd0\xbd\xd0\xbd\xd0\xb0") << QByteArrayList{ "\xd0\x9f\xd1\x91\xd1\x82\xd1\x80 \xd0\xa0\xd0\xb5\xd0\xbf\xd0\xb8\xd0\xbd" }
            << QStringLiteral(u"\u0430\u043d\u043d\u0430") << QStringList{ QStringLiteral(u"\u041f\u0451\u0442\u0440 \u0420\u0435\u043f\u0438\u043d") };
    QTest::newRow("windows-1252")
            << QByteArray("\x8a\x8c\x9e") << QByteArrayList{ "\x8aime\x85", "\x80 \x9f\xa0x" }
            << QStringLiteral(u"\u0160\u0152\u017e") << QStringList{ QStringLiteral(u"\u0160ime\u2026"), QStringLiteral(u"\u20ac \u0178\u00a0x") };
    // Latin-1 letters alone are no valid UTF-8; Windows-1252 reads them as Latin-1 does.
    QTest::newRow("latin1")
            << QByteArray("\xc5sa") << QByteArrayList{ "J\xf6rg", "\xe0sa" }
            << QStringLiteral(u"\u00c5sa") << QStringList{ QStringLiteral(u"J\u00f6rg"), QStringLiteral(u"\u00e0sa") };
    // The five bytes Windows-1252 leaves undefined keep their Latin-1 code points.
    QTest::newRow("windows-1252-undefined")
            << QByteArray("a") << QByteArrayList{ "\x81\x8d\x8f\x90\x9d" }
            << QStringLiteral("a") << QStringList{ QStringLiteral(u"\u0081\u008d\u008f\u0090\u009d") };
    // clang-format on
}

// Each file's names are decoded as UTF-8 when the whole file is valid UTF-8, as
// Windows-1252 otherwise; the tree shows them so, and its texts lead back to the index.
void tst_World::decodedNames()
{
    QFETCH(QByteArray, accountName);
    QFETCH(QByteArrayList, names);
    QFETCH(QString, shownAccount);
    QFETCH(QStringList, shown);

    QByteArray characters;
    for (int i = 0; i < names.size(); ++i)
        characters += characterRecord(i + 1, names.at(i), 1, i + 5);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(
            dir.path(), accountRecord(1, accountName), characters, QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    QCOMPARE(window.destAccounts.value(1), shownAccount);
    QStringList expectedTree{ quoted(shownAccount) + QStringLiteral(" open") };
    for (int i = 0; i < shown.size(); ++i) {
        QCOMPARE(window.destChars.value(1).value(i).name, shown.at(i));
        expectedTree << QStringLiteral("  ") + quoted(shown.at(i));
    }
    QCOMPARE(treeLines(window.listView2), expectedTree);
    int account = -1;
    QVERIFY(world::findAccount(
            window.destAccounts, window.listView2->topLevelItem(0)->text(0), &account));
    for (int i = 0; i < shown.size(); ++i) {
        const QString text = window.listView2->topLevelItem(0)->child(i)->text(1);
        const char_st *found = world::findCharacter(window.destChars, account, text);
        QVERIFY(found);
        QCOMPARE(found->serial, i + 5);
    }
}

void tst_World::latin1Names()
{
    // Every byte from 0x80 to 0xFF, NEL (0x85) and NBSP (0xa0) among them: none is white
    // space, so each is part of the name. Not valid UTF-8, so read as Windows-1252, which
    // is Latin-1 from 0xa0 on.
    QByteArray high;
    for (int byte = 0x80; byte <= 0xff; ++byte)
        high += char(byte);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accountRecord(1, "\xc5sa" + high),
            characterRecord(1, "J\xf6rg " + high, 1, 5) + characterRecord(2, "A\xa0\x85Z", 1, 6),
            QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    const QString upper = QString::fromLatin1(high.mid(0x20));
    const QString accountName = QString::fromLatin1("\xc5sa")
            + world::decodeText(
                    QString::fromLatin1(high.first(0x20)), world::TextEncoding::Windows1252)
            + upper;
    QCOMPARE(accountName.mid(3, 2), QStringLiteral(u"\u20ac\u0081"));
    QCOMPARE(window.destAccounts.value(1), accountName);
    const QString characterName = QStringLiteral(u"J\u00f6rg ") + accountName.mid(3);
    QCOMPARE(window.destChars.value(1).value(0).name, characterName);
    QCOMPARE(window.destChars.value(1).value(1).name, QStringLiteral(u"A\u00a0\u2026Z"));
    QCOMPARE(treeLines(window.listView2),
            QStringList({ quoted(accountName) + QStringLiteral(" open"),
                    QStringLiteral("  ") + quoted(characterName),
                    QStringLiteral(u"  'A\u00a0\u2026Z'") }));
}

void tst_World::statusAndProgress_data()
{
    QTest::addColumn<QByteArray>("accounts");
    QTest::addColumn<QByteArray>("characters");
    QTest::addColumn<QStringList>("expectedMessages");
    QTest::addColumn<QList<int>>("expectedValues");
    QTest::addColumn<QStringList>("expectedTree");

    // "// list\n" is 8 bytes, the account record 31 ("SECTION ACCOUNT 1\n" 18, "{\n" 2,
    // "NAME Ann\n" 9, "}\n" 2). Top-level lines start at 0, 8 and 37 (the rest of the record
    // after its NAME line): the bar shows each position before that line is read.
    const QByteArray accounts = "// list\n" + accountRecord(1, "Ann");
    // One record (58 bytes: 20 + 2 + 8 + 10 + 9 + 7 + 2) then a comment: top-level lines at 0
    // and at the record's end.
    const QByteArray characters = characterRecord(5, "Al", 1, 7) + "// end\n";
    const QStringList all{ "Processing accounts.adm", "", "Processing ztpcs.wsc", "Ready" };

    QTest::newRow("whole-world") << accounts << characters << all << QList<int>{ 0, 8, 37, 0, 58 }
                                 << QStringList{ "'Ann' open", "  'Al'" };
    QTest::newRow("no-accounts-file")
            << QByteArray() << characters << QStringList() << QList<int>() << QStringList();
    QTest::newRow("no-characters-file")
            << accounts << QByteArray() << QStringList{ "Processing accounts.adm", "" }
            << QList<int>{ 0, 8, 37 } << QStringList{ "'Ann'" };
    QTest::newRow("empty-accounts-file")
            << QByteArray("") << characters << all << QList<int>{ 0, 58 } << QStringList();
    QTest::newRow("empty-files") << QByteArray("") << QByteArray("") << all << QList<int>()
                                 << QStringList();
}

void tst_World::statusAndProgress()
{
    QFETCH(QByteArray, accounts);
    QFETCH(QByteArray, characters);
    QFETCH(QStringList, expectedMessages);
    QFETCH(QList<int>, expectedValues);
    QFETCH(QStringList, expectedTree);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), accounts, characters, QByteArray()));

    MainWindow window;
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);
    QSignalSpy values(window.progressBar, &QProgressBar::valueChanged);
    const int valueBefore = window.progressBar->value();
    const int maximumBefore = window.progressBar->maximum();
    window.fileDestination(dir.path());

    QStringList shown;
    for (const QList<QVariant> &message : messages)
        shown << message.at(0).toString();
    QCOMPARE(shown, expectedMessages);
    QList<int> moved;
    for (const QList<QVariant> &value : values)
        moved << value.at(0).toInt();
    QCOMPARE(moved, expectedValues);
    QCOMPARE(treeLines(window.listView2), expectedTree);
    QCOMPARE(window.groupBox2->title(), dir.path());
    QCOMPARE(window.destDir, dir.path());
    if (expectedMessages.isEmpty()) {
        // Nothing was read: the bar is as it was.
        QCOMPARE(window.progressBar->value(), valueBefore);
        QCOMPARE(window.progressBar->maximum(), maximumBefore);
    } else {
        // Reset at the end, its total the size of the last file read; after an empty one
        // it is left idle rather than busy.
        QCOMPARE(window.progressBar->value(), window.progressBar->minimum() - 1);
        const QByteArray last = characters.isNull() ? accounts : characters;
        QCOMPARE(window.progressBar->maximum(), last.isEmpty() ? 1 : int(last.size()));
    }
    QCOMPARE(window.statusBar()->currentMessage(),
            expectedMessages.value(expectedMessages.size() - 1));
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::waitCursor()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(
            dir.path(), threeAccounts(), characterRecord(1, "Al", 1, 5), QByteArray()));

    CursorWatchingWindow window;
    window.fileDestination(dir.path());
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    ModalRecord record;
    ChooserSeen seen;
    chooseNext(&record, &seen, &window, dir.path());
    window.fileSource();
    QVERIFY2(record.ran, "no chooser came up");
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    // Overrides stack: a load inside a transfer removes only its own.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    window.fileDestination(dir.path());
    const QCursor *outer = QApplication::overrideCursor();
    const bool outerKept = outer && outer->shape() == Qt::ArrowCursor;
    QApplication::restoreOverrideCursor();
    QVERIFY2(outerKept, "the load removed an override it had not set");
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    // A directory without world files is loaded under the wait cursor as well.
    QTemporaryDir empty;
    QVERIFY2(empty.isValid(), qPrintable(empty.errorString()));
    window.fileDestination(empty.path());
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    QCOMPARE(window.shapesAtLoad,
            QList<int>({ Qt::WaitCursor, Qt::WaitCursor, Qt::WaitCursor, Qt::WaitCursor }));
}

void tst_World::chooser_data()
{
    QTest::addColumn<bool>("source");
    QTest::addColumn<QString>("caption");
    QTest::newRow("source") << true << "Select directory containing source world";
    QTest::newRow("destination") << false << "Select directory containing target world";
}

void tst_World::chooser()
{
    QFETCH(bool, source);
    QFETCH(QString, caption);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(
            dir.path(), threeAccounts(), characterRecord(1, "Al", 2, 5), QByteArray()));

    MainWindow window;
    ModalRecord record;
    ChooserSeen seen;
    chooseNext(&record, &seen, &window, dir.path());
    if (source)
        window.fileSource();
    else
        window.fileDestination();
    QVERIFY2(record.ran, "no chooser came up");
    QCOMPARE(record.title, caption);
    QVERIFY2(seen.isFileDialog, "the chooser is not a file dialog");
    QCOMPARE(seen.objectName, QStringLiteral("Source Dialog"));
    QVERIFY2(seen.parentIsWindow, "the chooser is not parented to the window");
    QVERIFY2(seen.directoriesOnly, "the chooser does not ask for a directory only");

    const QStringList tree{ "'Ann'", "'Bob' open", "  'Al'", "'Cid'" };
    QTreeWidget *loaded = source ? window.listView1 : window.listView2;
    QTreeWidget *other = source ? window.listView2 : window.listView1;
    QCOMPARE(treeLines(loaded), tree);
    QCOMPARE(treeLines(other), QStringList());
    QCOMPARE(source ? window.sourceDir : window.destDir, dir.path());
    QCOMPARE(source ? window.destDir : window.sourceDir, QString());
    QCOMPARE((source ? window.groupBox1 : window.groupBox2)->title(), dir.path());
    QCOMPARE((source ? window.groupBox2 : window.groupBox1)->title(),
            source ? QStringLiteral("Destination") : QStringLiteral("Source"));
    QCOMPARE(accountLines(source ? window.sourceAccounts : window.destAccounts),
            QStringList({ "1 'Ann'", "2 'Bob'", "3 'Cid'" }));
    QCOMPARE(characterLines(source ? window.sourceChars : window.destChars),
            QStringList{ "2 'Al' serial 5" });
    QCOMPARE(window.maxCharSerial, source ? 0 : 5);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::cancelledChooser_data()
{
    QTest::addColumn<bool>("source");
    QTest::newRow("source") << true;
    QTest::newRow("destination") << false;
}

void tst_World::cancelledChooser()
{
    QFETCH(bool, source);
    QTemporaryDir first, second;
    QVERIFY2(first.isValid(), qPrintable(first.errorString()));
    QVERIFY2(second.isValid(), qPrintable(second.errorString()));
    QVERIFY(fixture::writeWorld(
            first.path(), threeAccounts(), characterRecord(1, "Al", 2, 5), QByteArray()));
    QVERIFY(fixture::writeWorld(
            second.path(), accountRecord(7, "Dee"), characterRecord(1, "Bo", 7, 8), QByteArray()));

    // Both sides loaded, then a cancelled choice on one of them.
    MainWindow window;
    ModalRecord loadSource;
    ChooserSeen seen;
    chooseNext(&loadSource, &seen, &window, first.path());
    window.fileSource();
    QVERIFY2(loadSource.ran, "no chooser came up");
    window.fileDestination(second.path());
    dirtyTransferState(&window);
    const Snapshot before(window);
    QSignalSpy messages(window.statusBar(), &QStatusBar::messageChanged);

    ModalRecord cancel;
    chooseNext(&cancel, &seen, &window, QString());
    if (source)
        window.fileSource();
    else
        window.fileDestination();
    QVERIFY2(cancel.ran, "no chooser came up");
    compareSnapshots(Snapshot(window), before);
    QCOMPARE(messages.size(), 0);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::destinationTwice()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(), threeAccounts(),
            characterRecord(4, "Al", 1, 5) + characterRecord(9, "Bo", 3, 6), QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    const Snapshot once(window);
    QCOMPARE(once.destTree,
            QStringList({ "'Ann' open", "  'Al'", "'Bob'", "'Cid' open", "  'Bo'" }));
    QCOMPARE(once.counters, QList<int>({ 9, 0, 6, 0 }));

    dirtyTransferState(&window);
    window.destCharsCutOff = true;
    window.fileDestination(dir.path());
    compareSnapshots(Snapshot(window), once);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::newSourceLeavesDestination()
{
    QTemporaryDir sourceDir, destDir;
    QVERIFY2(sourceDir.isValid(), qPrintable(sourceDir.errorString()));
    QVERIFY2(destDir.isValid(), qPrintable(destDir.errorString()));
    QVERIFY(fixture::writeWorld(sourceDir.path(), accountRecord(7, "Dee"),
            characterRecord(50, "Bo", 7, 800) + "SECTION CHARACTER 51\n", QByteArray()));
    // The destination ends inside a record; a source load must not clear that note.
    QVERIFY(fixture::writeWorld(destDir.path(), threeAccounts(),
            characterRecord(4, "Al", 1, 5) + "SECTION CHARACTER 5\n{\n", QByteArray()));

    MainWindow window;
    window.fileDestination(destDir.path());
    QVERIFY(window.destCharsCutOff);
    dirtyTransferState(&window);
    const Snapshot before(window);

    ModalRecord record;
    ChooserSeen seen;
    chooseNext(&record, &seen, &window, sourceDir.path());
    window.fileSource();
    QVERIFY2(record.ran, "no chooser came up");
    const Snapshot after(window);
    QCOMPARE(after.sourceTree, QStringList({ "'Dee' open", "  'Bo'" }));
    QCOMPARE(after.sourceDir, sourceDir.path());
    QCOMPARE(after.destTree, before.destTree);
    QCOMPARE(after.destAccounts, before.destAccounts);
    QCOMPARE(after.destChars, before.destChars);
    QCOMPARE(after.destTitle, before.destTitle);
    QCOMPARE(after.destDir, before.destDir);
    QCOMPARE(after.counters, before.counters);
    QCOMPARE(after.itemMapSizes, before.itemMapSizes);
    QCOMPARE(after.cutOff, true);
    QVERIFY2(after.stamp == before.stamp, "a source load changed the destination stamp");
}

void tst_World::sameDirectoryBothSides()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(
            dir.path(), threeAccounts(), characterRecord(1, "Al", 2, 5), QByteArray()));

    MainWindow window;
    ModalRecord record;
    ChooserSeen seen;
    chooseNext(&record, &seen, &window, dir.path());
    window.fileSource();
    QVERIFY2(record.ran, "no chooser came up");
    chooseNext(&record, &seen, &window, dir.path());
    window.fileDestination();

    const Snapshot both(window);
    QCOMPARE(both.sourceTree, QStringList({ "'Ann'", "'Bob' open", "  'Al'", "'Cid'" }));
    QCOMPARE(both.destTree, both.sourceTree);
    QCOMPARE(both.destAccounts, both.sourceAccounts);
    QCOMPARE(both.destChars, both.sourceChars);
    QCOMPARE(both.sourceDir, dir.path());
    QCOMPARE(both.destDir, dir.path());
    QCOMPARE(both.sourceTitle, dir.path());
    QCOMPARE(both.destTitle, dir.path());
}

void tst_World::directoryWithoutWorldFiles()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    // The characters file alone is never read without an accounts file.
    QVERIFY(fixture::writeWorld(
            dir.path(), QByteArray(), characterRecord(3, "Al", 1, 5), QByteArray()));

    MainWindow window;
    dirtyTransferState(&window);
    window.destCharsCutOff = true;
    window.fileDestination(dir.path());
    QCOMPARE(treeLines(window.listView2), QStringList());
    QVERIFY(window.destAccounts.isEmpty());
    QVERIFY(window.destChars.isEmpty());
    QCOMPARE(window.groupBox2->title(), dir.path());
    QCOMPARE(window.destDir, dir.path());
    QCOMPARE(window.maxCharSection, 0);
    QCOMPARE(window.maxCharSerial, 0);
    QCOMPARE(window.destCharsCutOff, false);
    QVERIFY2(!window.destCharsStamp.exists, "a characters file that was not read was stamped");
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    ModalRecord record;
    ChooserSeen seen;
    chooseNext(&record, &seen, &window, dir.path());
    window.fileSource();
    QVERIFY2(record.ran, "no chooser came up");
    QCOMPARE(treeLines(window.listView1), QStringList());
    QCOMPARE(window.groupBox1->title(), dir.path());
    QCOMPARE(window.sourceDir, dir.path());
}

void tst_World::worldFileIsDirectory_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("expectedTree");
    QTest::newRow("accounts") << world::accountsFileName() << QStringList();
    QTest::newRow("characters") << world::charactersFileName() << QStringList{ "'Ann'" };
}

// A directory where a world file is expected cannot be opened: it reads as a missing file.
void tst_World::worldFileIsDirectory()
{
    QFETCH(QString, fileName);
    QFETCH(QStringList, expectedTree);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(
            dir.path(), accountRecord(1, "Ann"), characterRecord(1, "Al", 1, 5), QByteArray()));
    const QString path = world::filePath(dir.path(), fileName);
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkdir(path));

    MainWindow window;
    window.fileDestination(dir.path());
    QCOMPARE(treeLines(window.listView2), expectedTree);
    QVERIFY(window.destChars.isEmpty());
    QCOMPARE(window.maxCharSection, 0);
    QCOMPARE(window.maxCharSerial, 0);
    QVERIFY2(!window.destCharsStamp.exists, "a characters file that was not read was stamped");
    QCOMPARE(window.destDir, dir.path());
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_World::sortOrderKept()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY(fixture::writeWorld(dir.path(),
            accountRecord(1, "Mia") + accountRecord(2, "Al") + accountRecord(3, "Zed"),
            characterRecord(1, "Bo", 3, 5), QByteArray()));

    MainWindow window;
    window.fileDestination(dir.path());
    QCOMPARE(treeLines(window.listView2), QStringList({ "'Al'", "'Mia'", "'Zed' open", "  'Bo'" }));
    QVERIFY(window.listView2->isSortingEnabled());
    QCOMPARE(window.listView2->header()->sortIndicatorSection(), 0);
    QCOMPARE(window.listView2->header()->sortIndicatorOrder(), Qt::AscendingOrder);
    QVERIFY(window.listView2->header()->isSortIndicatorShown());

    // The user sorted the other way: a reload keeps that.
    window.listView2->sortByColumn(0, Qt::DescendingOrder);
    window.fileDestination(dir.path());
    QCOMPARE(treeLines(window.listView2), QStringList({ "'Zed' open", "  'Bo'", "'Mia'", "'Al'" }));
    QVERIFY(window.listView2->isSortingEnabled());
    QCOMPARE(window.listView2->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    QVERIFY(window.listView2->header()->isSortIndicatorShown());
}

void tst_World::charactersStamp()
{
    QTemporaryDir dir, other;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    QVERIFY2(other.isValid(), qPrintable(other.errorString()));
    const QByteArray characters = characterRecord(1, "Al", 1, 5);
    QVERIFY(fixture::writeWorld(dir.path(), accountRecord(1, "Ann"), characters, QByteArray()));
    QVERIFY(fixture::writeWorld(other.path(), accountRecord(1, "Ann"), QByteArray(), QByteArray()));
    const QString path = world::filePath(dir.path(), world::charactersFileName());

    MainWindow window;
    window.fileDestination(dir.path());
    const FileStamp loaded = window.destCharsStamp;
    QVERIFY2(loaded.exists, "the characters file read was not stamped");
    QCOMPARE(loaded.size, qint64(characters.size()));
    QVERIFY2(loaded == world::stampOf(path), "the stamp differs from the file as it is");

    // The same bytes written again under a new inode (a save that replaces the file).
    const QString replacement = path + QStringLiteral(".new");
    QVERIFY(fixture::writeFile(replacement, characters));
    QVERIFY(QFile::remove(path));
    QVERIFY(QFile::rename(replacement, path));
    QVERIFY2(world::stampOf(path) != loaded, "a replaced file has the same stamp");
    window.fileDestination(dir.path());
    QVERIFY2(window.destCharsStamp == world::stampOf(path), "a reload did not stamp afresh");

    // Appended to since: the stamp tells.
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QVERIFY(file.write("\n") == 1);
    file.close();
    QVERIFY2(world::stampOf(path) != window.destCharsStamp, "an appended file has the same stamp");

    // A world whose characters file cannot be opened.
    window.fileDestination(other.path());
    QVERIFY2(!window.destCharsStamp.exists, "a missing characters file was stamped");
    QVERIFY2(window.destCharsStamp
                    == world::stampOf(world::filePath(other.path(), world::charactersFileName())),
            "a missing file's stamp differs from a missing file");
}

void tst_World::progressScale_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("expectedTotal");

    QTest::newRow("empty") << qint64(0) << 0;
    QTest::newRow("small") << qint64(1234) << 1234;
    QTest::newRow("largest-int") << qint64(INT_MAX) << INT_MAX;
    // Halved once: 2^31 / 2.
    QTest::newRow("two-gib") << (qint64(1) << 31) << 1073741824;
    // 2^40 + 5 shifted right by 10.
    QTest::newRow("one-tib") << (qint64(1) << 40) + 5 << 1073741824;
}

void tst_World::progressScale()
{
    QFETCH(qint64, size);
    QFETCH(int, expectedTotal);
    const world::ProgressScale scale(size);
    QCOMPARE(scale.total(), expectedTotal);
    QCOMPARE(scale.value(0), 0);
    QCOMPARE(scale.value(size), expectedTotal);
    QVERIFY2(scale.value(size / 2) >= 0 && scale.value(size / 2) <= expectedTotal,
            "a value outside the bar's range");
    QCOMPARE(scale.value(size + 100), expectedTotal);
}

QTEST_MAIN(tst_World)
#include "tst_world.moc"
