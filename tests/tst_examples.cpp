// The example worlds in examples/ are what a new user tries the program on first, and what
// the README walks through: they must load as the README says, hold together, give a
// clean transfer and show each of the three refusals.

#include <QtTest>

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "app/mainwindow.h"
#include "engine/session.h"
#include "engine/transferrun.h"
#include "support/modalanswer.h"
#include "support/worldfixture.h"
#include "transfer/package.h"
#include "world/worldformat.h"

namespace {

// Account name to the names of its characters, sorted; how a tree reads to a user.
using Tree = QMap<QString, QStringList>;

const QStringList worldFiles = { world::accountsFileName(), world::charactersFileName(),
    world::itemsFileName() };

QString examplesDir()
{
    return QDir::cleanPath(QFINDTESTDATA("../examples"));
}

bool copyWorld(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QString &name : worldFiles) {
        if (!QFile::copy(world::filePath(from, name), world::filePath(to, name)))
            return false;
    }
    return true;
}

// One record of a world file as the item scanners read its lines: the header's number
// and the body's keys with their values, in file order.
struct Record
{
    int number = 0;
    QList<QPair<QByteArray, QByteArray>> keys;

    QByteArray value(const QByteArray &key) const
    {
        for (const auto &entry : keys) {
            if (entry.first == key)
                return entry.second;
        }
        return {};
    }
    int numberOf(const QByteArray &key) const { return world::toNumber(value(key)); }
    int count(const QByteArray &key) const
    {
        int n = 0;
        for (const auto &entry : keys)
            n += entry.first == key ? 1 : 0;
        return n;
    }
};

// The records of a world file from byte `from` on. `commentAfterText` collects the lines
// that carry a comment after text, which the loaders would read with a trailing blank.
QList<Record> readRecords(
        const QString &path, qint64 from = 0, QStringList *commentAfterText = nullptr)
{
    QList<Record> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return records;
    world::LineReader reader(&file, from);
    bool inBody = false;
    int lineNumber = 0;
    while (reader.readLine()) {
        ++lineNumber;
        const QByteArrayView raw = reader.line();
        const QByteArrayView beforeComment = world::stripComment(raw);
        if (commentAfterText && beforeComment.size() != raw.size()
                && !beforeComment.trimmed().isEmpty())
            commentAfterText->append(QStringLiteral("%1:%2").arg(path).arg(lineNumber));
        const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
        if (line.keyIs("SECTION")) {
            records.append(Record{ world::toNumber(line.word(2)), {} });
            inBody = false;
        } else if (line.is("{")) {
            inBody = !records.isEmpty();
        } else if (line.is("}")) {
            inBody = false;
        } else if (inBody && !line.isEmpty()) {
            records.last().keys.append(
                    { line.word(0).toByteArray(), world::encode(line.wordsFrom(1)) });
        }
    }
    return records;
}

Tree treeOf(const QTreeWidget *view)
{
    Tree tree;
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *account = view->topLevelItem(i);
        QStringList characters;
        for (int c = 0; c < account->childCount(); ++c)
            characters.append(account->child(c)->text(1));
        characters.sort();
        tree.insert(account->text(0), characters);
    }
    return tree;
}

QTreeWidgetItem *findItem(QTreeWidget *view, const QString &text, int column)
{
    return view->findItems(text, Qt::MatchExactly | Qt::MatchRecursive, column).value(0);
}

// Selects an account (column 0) or a character (column 1) by its text.
bool select(QTreeWidget *view, const QString &text)
{
    QTreeWidgetItem *item = findItem(view, text, 0);
    if (!item)
        item = findItem(view, text, 1);
    if (!item)
        return false;
    view->clearSelection();
    view->setCurrentItem(item);
    item->setSelected(true);
    return true;
}

// Presses a select-world button and answers its chooser with `dir`, as a user would.
// `record` must outlive the test: an unanswered wait goes on after a failure.
void chooseWorld(QPushButton *button, const QString &dir, ModalRecord *record)
{
    *record = {};
    answerNextModal(record, [dir](QWidget *modal) {
        auto *chooser = qobject_cast<QFileDialog *>(modal);
        if (!chooser) {
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            return;
        }
        chooser->setDirectory(dir);
        static_cast<QDialog *>(chooser)->accept();
    });
    QTest::mouseClick(button, Qt::LeftButton);
}

// Presses OK on any message box that comes up while it exists; for a step after which no
// box is expected.
class BoxCatcher
{
public:
    ModalRecord caught() const { return m_collector.records.value(0); }

private:
    ModalCollector m_collector;
};

QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : worldFiles)
        files.insert(name, fixture::readFile(world::filePath(dir, name)));
    return files;
}

} // namespace

class tst_Examples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void worldsHoldTogether_data();
    void worldsHoldTogether();
    void worldsLoad_data();
    void worldsLoad();
    void transferSucceeds_data();
    void transferSucceeds();
    void refusals_data();
    void refusals();
    void packageAsSource();

private:
    ModalRecord m_chooser;
    ModalRecord m_box;
};

void tst_Examples::initTestCase()
{
    QVERIFY2(!examplesDir().isEmpty(), "examples/ not found next to tests/");
}

void tst_Examples::worldsHoldTogether_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("source") << "source";
    QTest::newRow("destination") << "destination";
}

// Every number in an example is consistent, as in a world a server saved: a user who
// looks into the files, or transfers from them, meets no dangling reference.
void tst_Examples::worldsHoldTogether()
{
    QFETCH(QString, name);
    const QString dir = examplesDir() + QLatin1Char('/') + name;
    QStringList commentsAfterText;
    const QList<Record> accounts =
            readRecords(world::filePath(dir, world::accountsFileName()), 0, &commentsAfterText);
    const QList<Record> characters =
            readRecords(world::filePath(dir, world::charactersFileName()), 0, &commentsAfterText);
    const QList<Record> items =
            readRecords(world::filePath(dir, world::itemsFileName()), 0, &commentsAfterText);
    QVERIFY2(commentsAfterText.isEmpty(),
            qPrintable(QStringLiteral("comment after text (the loaders would keep a trailing "
                                      "blank): %1")
                               .arg(commentsAfterText.join(QStringLiteral(", ")))));
    QVERIFY2(!accounts.isEmpty() && !characters.isEmpty() && !items.isEmpty(),
            qPrintable(dir + QStringLiteral(" lacks a world file or records")));

    for (const QList<Record> *file : { &accounts, &characters, &items }) {
        QSet<int> numbers;
        for (const Record &record : *file) {
            QVERIFY2(!numbers.contains(record.number),
                    qPrintable(QStringLiteral("record number %1 twice").arg(record.number)));
            numbers.insert(record.number);
            for (const QByteArray &key : { QByteArray("NAME"), QByteArray("SERIAL"),
                         QByteArray("OWNER"), QByteArray("CONT"), QByteArray("ACCOUNT") })
                QVERIFY2(record.count(key) <= 1,
                        qPrintable(QStringLiteral("record %1 has %2 twice")
                                           .arg(record.number)
                                           .arg(QString::fromLatin1(key))));
        }
    }

    QSet<int> accountNumbers;
    for (const Record &account : accounts) {
        QVERIFY2(!account.value("NAME").isEmpty(), "an account without a name");
        accountNumbers.insert(account.number);
    }

    QSet<int> characterSerials;
    QHash<int, QByteArray> robes;
    for (const Record &character : characters) {
        const int serial = character.numberOf("SERIAL");
        QVERIFY2(serial > 0 && !characterSerials.contains(serial),
                qPrintable(QStringLiteral("character serial %1 missing or twice").arg(serial)));
        characterSerials.insert(serial);
        QCOMPARE(character.numberOf("OWN"), serial);
        if (character.count("ACCOUNT") > 0)
            QVERIFY2(accountNumbers.contains(character.numberOf("ACCOUNT")),
                    qPrintable(QStringLiteral("character %1 names no account").arg(serial)));
        robes.insert(serial, character.value("ROBE"));
    }

    QHash<int, const Record *> itemsBySerial;
    for (const Record &item : items) {
        const int serial = item.numberOf("SERIAL");
        QVERIFY2(serial >= 0x40000000,
                qPrintable(QStringLiteral("item serial %1 below 0x40000000").arg(serial)));
        QVERIFY2(!itemsBySerial.contains(serial),
                qPrintable(QStringLiteral("item serial %1 twice").arg(serial)));
        itemsBySerial.insert(serial, &item);
    }
    for (const Record &item : items) {
        const int serial = item.numberOf("SERIAL");
        const int container = item.numberOf("CONT");
        QVERIFY2(item.count("CONT") == 1,
                qPrintable(QStringLiteral("item %1 has no CONT").arg(serial)));
        if (item.count("OWNER") == 0) {
            QVERIFY2(container == -1,
                    qPrintable(QStringLiteral("item %1 has no owner but lies in %2")
                                       .arg(serial)
                                       .arg(container)));
            continue;
        }
        const int owner = item.numberOf("OWNER");
        QVERIFY2(characterSerials.contains(owner),
                qPrintable(QStringLiteral("item %1 owned by no character").arg(serial)));
        const bool worn = container == owner;
        const bool inOwnContainer = itemsBySerial.contains(container)
                && itemsBySerial.value(container)->numberOf("OWNER") == owner;
        QVERIFY2(worn || inOwnContainer,
                qPrintable(QStringLiteral("item %1 lies in %2, not its owner nor an item of "
                                          "its owner")
                                   .arg(serial)
                                   .arg(container)));
        if (item.value("TYPE") == "7") {
            const int more = item.numberOf("MORE");
            QVERIFY2(itemsBySerial.contains(more)
                            && itemsBySerial.value(more)->numberOf("OWNER") == owner,
                    qPrintable(QStringLiteral("the key %1 opens %2, not an item of its owner")
                                       .arg(serial)
                                       .arg(more)));
        }
    }
    for (auto it = robes.cbegin(); it != robes.cend(); ++it) {
        const int robe = world::toNumber(it.value());
        if (robe != -1)
            QVERIFY2(itemsBySerial.contains(robe)
                            && itemsBySerial.value(robe)->numberOf("OWNER") == it.key(),
                    qPrintable(QStringLiteral("the robe of %1 is not its item").arg(it.key())));
    }
}

void tst_Examples::worldsLoad_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Tree>("expected");

    // Characters without an account (the shard's folk) are not listed.
    QTest::newRow("source") << "source"
                            << Tree{ { "harald", { "Aldo Brand", "Wren" } },
                                   { "mirelle", { "Sela Moor" } }, { "tobin", { "Garrick" } } };
    QTest::newRow("destination")
            << "destination"
            << Tree{ { "bram", { "Garrick", "Odo Fenn" } }, { "linnea", { "Corra Dunn" } },
                   { "ostara", { "Brannoc", "Merrit Vale", "Pell", "Tamsin", "Ysolde" } },
                   { "quill", {} } };
}

// Both worlds load through the choosers on either side, as the README tells a user.
void tst_Examples::worldsLoad()
{
    QFETCH(QString, name);
    QFETCH(Tree, expected);
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString dir = tmp.filePath(name);
    QVERIFY(copyWorld(examplesDir() + QLatin1Char('/') + name, dir));

    MainWindow window;
    chooseWorld(window.pushButton2, dir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the source chooser did not open");
    QCOMPARE(m_chooser.title, QStringLiteral("Select directory containing source world"));
    chooseWorld(window.pushButton3, dir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the destination chooser did not open");
    QCOMPARE(m_chooser.title, QStringLiteral("Select directory containing target world"));

    QCOMPARE(window.sourceDir, dir);
    QCOMPARE(window.destDir, dir);
    QCOMPARE(treeOf(window.listView1), expected);
    QCOMPARE(treeOf(window.listView2), expected);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

void tst_Examples::transferSucceeds_data()
{
    QTest::addColumn<QString>("character");
    QTest::addColumn<QString>("destinationSelection");
    QTest::addColumn<QString>("account");
    QTest::addColumn<int>("accountNumber");
    QTest::addColumn<QStringList>("charactersAfter");

    QTest::newRow("aldo-brand-into-linnea")
            << "Aldo Brand"
            << "linnea"
            << "linnea" << 2 << QStringList{ "Aldo Brand", "Corra Dunn" };
    QTest::newRow("aldo-brand-onto-a-character-of-linnea")
            << "Aldo Brand"
            << "Corra Dunn"
            << "linnea" << 2 << QStringList{ "Aldo Brand", "Corra Dunn" };
    QTest::newRow("garrick-into-empty-account-quill") << "Garrick"
                                                      << "quill"
                                                      << "quill" << 3 << QStringList{ "Garrick" };
}

// The walkthrough's transfer into a copy of the destination example: the character is
// listed under the chosen account, its items are appended with every reference pointing
// at the new character or its new items, and nothing else changes.
void tst_Examples::transferSucceeds()
{
    QFETCH(QString, character);
    QFETCH(QString, destinationSelection);
    QFETCH(QString, account);
    QFETCH(int, accountNumber);
    QFETCH(QStringList, charactersAfter);

    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString sourceDir = tmp.filePath(QStringLiteral("source"));
    const QString destDir = tmp.filePath(QStringLiteral("destination"));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/source"), sourceDir));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/destination"), destDir));
    const QMap<QString, QByteArray> sourceBefore = snapshot(sourceDir);
    const QMap<QString, QByteArray> destBefore = snapshot(destDir);
    const QString charactersPath = world::filePath(destDir, world::charactersFileName());
    const QString itemsPath = world::filePath(destDir, world::itemsFileName());

    // What the source holds of this character, and the highest numbers the destination uses.
    int oldSerial = -1;
    for (const Record &record :
            readRecords(world::filePath(sourceDir, world::charactersFileName()))) {
        if (record.value("NAME") == world::encode(character) && record.count("ACCOUNT") > 0)
            oldSerial = record.numberOf("SERIAL");
    }
    QVERIFY(oldSerial > 0);
    // Item names are unique among the items of one example character.
    QHash<QByteArray, Record> oldItemsByName;
    QHash<int, QByteArray> oldNameBySerial;
    for (const Record &record : readRecords(world::filePath(sourceDir, world::itemsFileName()))) {
        if (record.numberOf("OWNER") == oldSerial) {
            oldItemsByName.insert(record.value("NAME"), record);
            oldNameBySerial.insert(record.numberOf("SERIAL"), record.value("NAME"));
        }
    }
    QCOMPARE(oldItemsByName.size(), oldNameBySerial.size());
    int maxCharSection = -1, maxCharSerial = 0, maxItemSection = -1, maxItemSerial = 0x40000000;
    for (const Record &record : readRecords(charactersPath)) {
        maxCharSection = qMax(maxCharSection, record.number);
        maxCharSerial = qMax(maxCharSerial, record.numberOf("SERIAL"));
    }
    QSet<int> oldDestItemSerials;
    for (const Record &record : readRecords(itemsPath)) {
        maxItemSection = qMax(maxItemSection, record.number);
        maxItemSerial = qMax(maxItemSerial, record.numberOf("SERIAL"));
        oldDestItemSerials.insert(record.numberOf("SERIAL"));
    }

    MainWindow window;
    chooseWorld(window.pushButton2, sourceDir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the source chooser did not open");
    chooseWorld(window.pushButton3, destDir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the destination chooser did not open");
    QVERIFY2(select(window.listView1, character), qPrintable(character));
    QVERIFY2(select(window.listView2, destinationSelection), qPrintable(destinationSelection));

    {
        BoxCatcher catcher;
        QTest::mouseClick(window.pushButton1, Qt::LeftButton);
        QVERIFY2(!catcher.caught().ran,
                qPrintable(QStringLiteral("a box \"%1\" came up: %2")
                                   .arg(catcher.caught().title, catcher.caught().text)));
    }

    // What the user sees: the new character under the chosen account, "Ready", no wait
    // cursor.
    QCOMPARE(treeOf(window.listView2).value(account), charactersAfter);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Ready"));
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");

    // The source world and the destination's accounts are never written; the destination's
    // own bytes stay as they were, in front of what was appended.
    QCOMPARE(snapshot(sourceDir), sourceBefore);
    QCOMPARE(fixture::readFile(world::filePath(destDir, world::accountsFileName())),
            destBefore.value(world::accountsFileName()));
    const QByteArray charactersAfterBytes = fixture::readFile(charactersPath);
    const QByteArray itemsAfterBytes = fixture::readFile(itemsPath);
    QVERIFY2(charactersAfterBytes.startsWith(destBefore.value(world::charactersFileName())),
            "the destination characters were changed, not appended to");
    QVERIFY2(itemsAfterBytes.startsWith(destBefore.value(world::itemsFileName())),
            "the destination items were changed, not appended to");

    // The character record: next record number, next serial, the chosen account.
    const QList<Record> newCharacters =
            readRecords(charactersPath, destBefore.value(world::charactersFileName()).size());
    QCOMPARE(newCharacters.size(), 1);
    const Record &copy = newCharacters.first();
    const int newSerial = maxCharSerial + 1;
    QCOMPARE(copy.number, maxCharSection + 1);
    QCOMPARE(copy.numberOf("SERIAL"), newSerial);
    QCOMPARE(copy.numberOf("OWN"), newSerial);
    QCOMPARE(copy.numberOf("ACCOUNT"), accountNumber);
    QCOMPARE(copy.value("ROBE"), QByteArray("-1"));

    // The item records: one for each item of the character, numbered on from the
    // destination's highest, with serials the destination does not use.
    const QList<Record> newItems =
            readRecords(itemsPath, destBefore.value(world::itemsFileName()).size());
    QCOMPARE(newItems.size(), oldItemsByName.size());
    QSet<int> newItemSerials;
    QHash<int, const Record *> newItemsBySerial;
    for (int i = 0; i < newItems.size(); ++i) {
        const Record &item = newItems.at(i);
        const int serial = item.numberOf("SERIAL");
        QCOMPARE(item.number, maxItemSection + 1 + i);
        QVERIFY2(serial > maxItemSerial && !newItemSerials.contains(serial)
                        && !oldDestItemSerials.contains(serial),
                qPrintable(QStringLiteral("new item serial %1 is in use").arg(serial)));
        QCOMPARE(item.numberOf("OWNER"), newSerial);
        newItemSerials.insert(serial);
        newItemsBySerial.insert(serial, &item);
    }
    // Every container and key target resolves, and to the same thing as in the source:
    // the pearls still lie in the pouch, the key still opens the strongbox.
    for (const Record &item : newItems) {
        const QByteArray name = item.value("NAME");
        QVERIFY2(oldItemsByName.contains(name), name.constData());
        const Record &old = oldItemsByName.value(name);
        const int container = item.numberOf("CONT");
        if (old.numberOf("CONT") == oldSerial) {
            QCOMPARE(container, newSerial);
        } else {
            QVERIFY2(newItemsBySerial.contains(container),
                    qPrintable(QStringLiteral("%1 lies in %2, which was not transferred")
                                       .arg(QString::fromLatin1(name))
                                       .arg(container)));
            QCOMPARE(newItemsBySerial.value(container)->value("NAME"),
                    oldNameBySerial.value(old.numberOf("CONT")));
        }
        if (item.value("TYPE") == "7") {
            const int more = item.numberOf("MORE");
            QVERIFY2(newItemsBySerial.contains(more),
                    qPrintable(QStringLiteral("%1 opens %2, which was not transferred")
                                       .arg(QString::fromLatin1(name))
                                       .arg(more)));
            QCOMPARE(newItemsBySerial.value(more)->value("NAME"),
                    oldNameBySerial.value(old.numberOf("MORE")));
        }
    }

    // The same character into the same account again: now a duplicate, and nothing is
    // written.
    const QMap<QString, QByteArray> destAfter = snapshot(destDir);
    QVERIFY2(select(window.listView1, character), qPrintable(character));
    QVERIFY2(select(window.listView2, destinationSelection), qPrintable(destinationSelection));
    m_box = {};
    answerNextModal(&m_box);
    QTest::mouseClick(window.pushButton1, Qt::LeftButton);
    QVERIFY2(m_box.ran, "a second transfer of the same character was not refused");
    QCOMPARE(m_box.title, QStringLiteral("Character Duplication"));
    QCOMPARE(snapshot(destDir), destAfter);
}

void tst_Examples::refusals_data()
{
    QTest::addColumn<QString>("sourceSelection");
    QTest::addColumn<QString>("destinationSelection");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("text");

    QTest::newRow("account-selected-on-source-side")
            << "harald"
            << "linnea"
            << "Transfer Error"
            << "A character from the source, and account from the desitination must be "
               "selected to enable transfer.";
    QTest::newRow("ostara-holds-five-characters")
            << "Aldo Brand"
            << "ostara"
            << "Account limit"
            << "The destination account has the maximum amount (5) characters.";
    QTest::newRow("bram-already-has-a-garrick")
            << "Garrick"
            << "bram"
            << "Character Duplication"
            << "The destination account all ready has a character by that name.";
}

// The accounts built for the three refusals refuse, with their boxes, and write nothing.
void tst_Examples::refusals()
{
    QFETCH(QString, sourceSelection);
    QFETCH(QString, destinationSelection);
    QFETCH(QString, caption);
    QFETCH(QString, text);

    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString sourceDir = tmp.filePath(QStringLiteral("source"));
    const QString destDir = tmp.filePath(QStringLiteral("destination"));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/source"), sourceDir));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/destination"), destDir));
    const QMap<QString, QByteArray> sourceBefore = snapshot(sourceDir);
    const QMap<QString, QByteArray> destBefore = snapshot(destDir);

    MainWindow window;
    chooseWorld(window.pushButton2, sourceDir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the source chooser did not open");
    chooseWorld(window.pushButton3, destDir, &m_chooser);
    QVERIFY2(m_chooser.ran, "the destination chooser did not open");
    const Tree destTree = treeOf(window.listView2);
    QVERIFY2(select(window.listView1, sourceSelection), qPrintable(sourceSelection));
    QVERIFY2(select(window.listView2, destinationSelection), qPrintable(destinationSelection));

    m_box = {};
    answerNextModal(&m_box);
    QTest::mouseClick(window.pushButton1, Qt::LeftButton);
    QVERIFY2(m_box.ran, "no warning box came up");
    QCOMPARE(m_box.title, caption);
    QCOMPARE(m_box.text, text);

    QCOMPARE(snapshot(sourceDir), sourceBefore);
    QCOMPARE(snapshot(destDir), destBefore);
    QCOMPARE(treeOf(window.listView2), destTree);
    QVERIFY2(!QApplication::overrideCursor(), "the wait cursor was left on");
}

// A package exported from the source is a world to the window: chosen as the source, it lists
// what it holds, and its character arrives as from the source itself.
void tst_Examples::packageAsSource()
{
    QTemporaryDir tmp;
    QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
    const QString sourceDir = examplesDir() + QStringLiteral("/source");
    const QString packageDir = tmp.filePath(QStringLiteral("package"));
    const QString byPackage = tmp.filePath(QStringLiteral("by-package"));
    const QString bySource = tmp.filePath(QStringLiteral("by-source"));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/destination"), byPackage));
    QVERIFY(copyWorld(examplesDir() + QStringLiteral("/destination"), bySource));

    engine::Session session;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, sourceDir, false, quiet, none);
    const transfer::PackageResult package = transfer::composePackage(session,
            { { QStringLiteral("harald"), QStringLiteral("Aldo Brand") },
                    { QStringLiteral("mirelle"), QStringLiteral("Sela Moor") } },
            quiet);
    QVERIFY2(package.refusal.isEmpty(), qPrintable(package.refusal.text));
    QString error;
    QVERIFY2(transfer::writePackage(packageDir, package.files,
                     transfer::packageManifest(package, { "test", sourceDir, {} }), &error),
            qPrintable(error));

    for (const QString &dir : { bySource, byPackage }) {
        MainWindow window;
        chooseWorld(window.pushButton2, dir == bySource ? sourceDir : packageDir, &m_chooser);
        QVERIFY2(m_chooser.ran, "the source chooser did not open");
        if (dir == byPackage) {
            const Tree expected{ { QStringLiteral("harald"), { QStringLiteral("Aldo Brand") } },
                { QStringLiteral("mirelle"), { QStringLiteral("Sela Moor") } } };
            QCOMPARE(treeOf(window.listView1), expected);
        }
        chooseWorld(window.pushButton3, dir, &m_chooser);
        QVERIFY2(m_chooser.ran, "the destination chooser did not open");
        QVERIFY(select(window.listView1, QStringLiteral("Aldo Brand")));
        QVERIFY(select(window.listView2, QStringLiteral("linnea")));
        BoxCatcher catcher;
        QTest::mouseClick(window.pushButton1, Qt::LeftButton);
        QVERIFY2(!catcher.caught().ran, qPrintable(catcher.caught().text));
        QVERIFY(treeOf(window.listView2)
                        .value(QStringLiteral("linnea"))
                        .contains(QStringLiteral("Aldo Brand")));
    }
    QVERIFY(snapshot(byPackage) != snapshot(examplesDir() + QStringLiteral("/destination")));
    QCOMPARE(snapshot(byPackage), snapshot(bySource));
    QVERIFY(transfer::damagedPackage(packageDir).isEmpty());
}

QTEST_MAIN(tst_Examples)
#include "tst_examples.moc"
