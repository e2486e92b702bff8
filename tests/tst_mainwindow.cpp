#include <QtTest>

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSizeGrip>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>

#include "app/images/imagecollection.h"
#include "app/mainwindow.h"

namespace {

// The window with the three button slots replaced by counters, so clicks and key presses
// can be checked without opening a chooser or touching a world.
class CountingWindow : public MainWindow
{
public:
    using MainWindow::fileDestination;
    using MainWindow::languageChange;
    using MainWindow::MainWindow;

    void fileSource() override { ++sourceCalls; }
    void fileDestination() override { ++destinationCalls; }
    void fileDestination(QString) override { ++destinationDirCalls; }
    void fileTransfer() override { ++transferCalls; }

    int sourceCalls = 0;
    int destinationCalls = 0;
    int destinationDirCalls = 0;
    int transferCalls = 0;
};

// Everything a stray key press could change that a user would see or a transfer would read.
struct VisibleState
{
    explicit VisibleState(const CountingWindow &w)
        : title(w.windowTitle())
        , sourceTitle(w.groupBox1->title())
        , destinationTitle(w.groupBox2->title())
        , sourceItems(w.listView1->topLevelItemCount())
        , destinationItems(w.listView2->topLevelItemCount())
        , message(w.statusBar()->currentMessage())
        , progress(w.progressBar->value())
        , slotCalls(w.sourceCalls + w.destinationCalls + w.destinationDirCalls + w.transferCalls)
        , sourceDir(w.sourceDir)
        , destDir(w.destDir)
    { }
    bool operator==(const VisibleState &o) const
    {
        return title == o.title && sourceTitle == o.sourceTitle
                && destinationTitle == o.destinationTitle && sourceItems == o.sourceItems
                && destinationItems == o.destinationItems && message == o.message
                && progress == o.progress && slotCalls == o.slotCalls && sourceDir == o.sourceDir
                && destDir == o.destDir;
    }

    QString title;
    QString sourceTitle;
    QString destinationTitle;
    int sourceItems;
    int destinationItems;
    QString message;
    int progress;
    int slotCalls;
    QString sourceDir;
    QString destDir;
};

QList<QAction *> memberActions(const MainWindow &w)
{
    return { w.fileNewAction, w.fileOpenAction, w.fileSaveAction, w.fileSaveAsAction,
        w.filePrintAction, w.fileExitAction, w.editUndoAction, w.editRedoAction, w.editCutAction,
        w.editCopyAction, w.editPasteAction, w.editFindAction, w.helpContentsAction,
        w.helpIndexAction, w.helpAboutAction };
}

QStringList itemNames(const QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            names << item->widget()->objectName();
        else if (item->layout())
            names << QStringLiteral("layout:") + item->layout()->objectName();
        else
            names << QStringLiteral("other");
    }
    return names;
}

QString marginsText(const QLayout *layout)
{
    const QMargins m = layout->contentsMargins();
    return QStringLiteral("%1 %2 %3 %4").arg(m.left()).arg(m.top()).arg(m.right()).arg(m.bottom());
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void objectNames();
    void slotTable();
    void texts();
    void textsSetAgain();
    void stripCommentSlot();
    void widgetTree_data();
    void widgetTree();
    void windowLayouts();
    void groupLayouts_data();
    void groupLayouts();
    void worldTrees_data();
    void worldTrees();
    void size();
    void statusBar();
    void buttonClicks_data();
    void buttonClicks();
    void arrowButton();
    void tabOrder();
    void noMenusNoToolBar();
    void actions_data();
    void actions();
    void shortcutsChangeNothing_data();
    void shortcutsChangeNothing();
    void closingQuitsWithZero();
    void images_data();
    void images();
    void doubleArrowShape();
    void missingImages_data();
    void missingImages();
    void imagesDecodedOnce();
};

void tst_MainWindow::objectNames()
{
    MainWindow unnamed;
    QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(unnamed.metaObject()->className(), "MainWindow");
    MainWindow named(nullptr, "second");
    QCOMPARE(named.objectName(), QStringLiteral("second"));
    QVERIFY2(named.isWindow(), "the default flags make a top-level window");
}

// The slot table is what the rest of the program and any translation tooling see; its
// order, signatures and parameter names are fixed.
void tst_MainWindow::slotTable()
{
    const QMetaObject *meta = &MainWindow::staticMetaObject;
    QStringList slotList;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QVERIFY2(method.methodType() == QMetaMethod::Slot,
                qPrintable(
                        QStringLiteral("not a slot: ") + QLatin1String(method.methodSignature())));
        QStringList parameters;
        for (const QByteArray &name : method.parameterNames())
            parameters << QString::fromLatin1(name);
        slotList << QStringLiteral("%1 %2 [%3]")
                            .arg(method.access() == QMetaMethod::Public
                                            ? QStringLiteral("public")
                                            : QStringLiteral("protected"),
                                    QString::fromLatin1(method.methodSignature()),
                                    parameters.join(QLatin1Char(',')));
    }
    const QStringList expected = {
        QStringLiteral("public fileSource() []"),
        QStringLiteral("public fileDestination(QString) [dir]"),
        QStringLiteral("public fileDestination() []"),
        QStringLiteral("public fileTransfer() []"),
        QStringLiteral("public processFile(QString,QTreeWidget*,QMap<int,QString>*,"
                       "QMap<int,QList<char_st>>*,bool) [name,view,account,character,dest]"),
        QStringLiteral("public processChar(QString,QTreeWidget*,QMap<int,QString>*,"
                       "QMap<int,QList<char_st>>*,bool) [name,view,account,character,dest]"),
        QStringLiteral("public stripComment(QString) [input]"),
        QStringLiteral("public getSerials(QString,int) [name,owner]"),
        QStringLiteral("public transferChar(int,int,int,QString,QString) "
                       "[owner,offset,transfer,input,output]"),
        QStringLiteral("public transferChar(int,int,QString) [owner,transfer,output]"),
        QStringLiteral("protected languageChange() []"),
    };
    QCOMPARE(slotList, expected);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
}

void tst_MainWindow::texts()
{
    MainWindow w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Character Tranfer"));
    QCOMPARE(w.groupBox1->title(), QStringLiteral("Source"));
    QCOMPARE(w.groupBox2->title(), QStringLiteral("Destination"));
    QCOMPARE(w.pushButton2->text(), QStringLiteral("Select Source World"));
    QCOMPARE(w.pushButton3->text(), QStringLiteral("Select Destination World"));
    QCOMPARE(w.pushButton1->text(), QString());
    for (QTreeWidget *view : { w.listView1, w.listView2 }) {
        QCOMPARE(view->columnCount(), 2);
        QCOMPARE(view->headerItem()->text(0), QStringLiteral("Account"));
        QCOMPARE(view->headerItem()->text(1), QStringLiteral("Character"));
    }
}

// A second languageChange() puts every text back, a loaded world's path in the group title
// included.
void tst_MainWindow::textsSetAgain()
{
    CountingWindow w;
    w.setWindowTitle(QStringLiteral("x"));
    w.groupBox1->setTitle(QStringLiteral("/srv/worlds/a"));
    w.groupBox2->setTitle(QStringLiteral("/srv/worlds/b"));
    w.listView1->setHeaderLabels({ QStringLiteral("a"), QStringLiteral("b") });
    w.pushButton1->setText(QStringLiteral("x"));
    w.editCopyAction->setText(QStringLiteral("x"));
    w.editCopyAction->setShortcut(QKeySequence());
    w.languageChange();
    QCOMPARE(w.windowTitle(), QStringLiteral("Character Tranfer"));
    QCOMPARE(w.groupBox1->title(), QStringLiteral("Source"));
    QCOMPARE(w.groupBox2->title(), QStringLiteral("Destination"));
    QCOMPARE(w.listView1->headerItem()->text(0), QStringLiteral("Account"));
    QCOMPARE(w.listView1->headerItem()->text(1), QStringLiteral("Character"));
    QCOMPARE(w.pushButton1->text(), QString());
    QCOMPARE(w.editCopyAction->text(), QStringLiteral("C&opy"));
    QCOMPARE(w.editCopyAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_C));
}

// The window's comment stripping is the one every reader uses.
void tst_MainWindow::stripCommentSlot()
{
    MainWindow w;
    QCOMPARE(w.stripComment(QStringLiteral("NAME a//b")), QStringLiteral("NAME a"));
    QCOMPARE(w.stripComment(QStringLiteral("NAME Bob  // x")), QStringLiteral("NAME Bob  "));
    QCOMPARE(w.stripComment(QStringLiteral("// x")), QString());
    QCOMPARE(w.stripComment(QStringLiteral("a/b")), QStringLiteral("a/b"));
}

void tst_MainWindow::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QByteArray>("className");

    // clang-format off
    QTest::newRow("central-widget") << "qt_central_widget" << "MainWindow"        << QByteArray("QWidget");
    QTest::newRow("group-box-1")    << "groupBox1"         << "qt_central_widget" << QByteArray("QGroupBox");
    QTest::newRow("push-button-1")  << "pushButton1"       << "qt_central_widget" << QByteArray("QPushButton");
    QTest::newRow("group-box-2")    << "groupBox2"         << "qt_central_widget" << QByteArray("QGroupBox");
    QTest::newRow("list-view-1")    << "listView1"         << "groupBox1"         << QByteArray("QTreeWidget");
    QTest::newRow("push-button-2")  << "pushButton2"       << "groupBox1"         << QByteArray("QPushButton");
    QTest::newRow("list-view-2")    << "listView2"         << "groupBox2"         << QByteArray("QTreeWidget");
    QTest::newRow("push-button-3")  << "pushButton3"       << "groupBox2"         << QByteArray("QPushButton");
    QTest::newRow("menu-bar")       << "menubar"           << "MainWindow"        << QByteArray("QMenuBar");
    // clang-format on
}

void tst_MainWindow::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, parentName);
    QFETCH(QByteArray, className);

    MainWindow w;
    const QHash<QString, QWidget *> members = {
        { QStringLiteral("qt_central_widget"), w.centralWidget() },
        { QStringLiteral("groupBox1"), w.groupBox1 },
        { QStringLiteral("pushButton1"), w.pushButton1 },
        { QStringLiteral("groupBox2"), w.groupBox2 },
        { QStringLiteral("listView1"), w.listView1 },
        { QStringLiteral("pushButton2"), w.pushButton2 },
        { QStringLiteral("listView2"), w.listView2 },
        { QStringLiteral("pushButton3"), w.pushButton3 },
        { QStringLiteral("menubar"), w.menuBar() },
    };
    const QList<QWidget *> found = w.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(widget, members.value(name));
    QCOMPARE(QByteArray(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    // No widget has a size of its own forced on it.
    QCOMPARE(widget->minimumSize(), QSize(0, 0));
    QCOMPARE(widget->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

void tst_MainWindow::windowLayouts()
{
    MainWindow w;
    QCOMPARE(w.centralWidget()->layout(), w.MainWindowLayout);
    QCOMPARE(w.MainWindowLayout->objectName(), QStringLiteral("MainWindowLayout"));
    QCOMPARE(w.MainWindowLayout->direction(), QBoxLayout::LeftToRight);
    QCOMPARE(marginsText(w.MainWindowLayout), QStringLiteral("11 11 11 11"));
    QCOMPARE(w.MainWindowLayout->spacing(), 6);
    QCOMPARE(itemNames(w.MainWindowLayout), QStringList{ QStringLiteral("layout:layout4") });
    QCOMPARE(w.MainWindowLayout->itemAt(0)->layout(), w.layout4);

    QCOMPARE(w.layout4->objectName(), QStringLiteral("layout4"));
    QCOMPARE(w.layout4->direction(), QBoxLayout::LeftToRight);
    QCOMPARE(marginsText(w.layout4), QStringLiteral("0 0 0 0"));
    QCOMPARE(w.layout4->spacing(), 6);
    QCOMPARE(itemNames(w.layout4),
            (QStringList{ QStringLiteral("groupBox1"), QStringLiteral("pushButton1"),
                    QStringLiteral("groupBox2") }));
    for (int i = 0; i < w.layout4->count(); ++i) {
        QCOMPARE(w.layout4->stretch(i), 0);
        QCOMPARE(w.layout4->itemAt(i)->alignment(), Qt::Alignment());
    }
}

void tst_MainWindow::groupLayouts_data()
{
    QTest::addColumn<bool>("destination");
    QTest::newRow("source") << false;
    QTest::newRow("destination") << true;
}

void tst_MainWindow::groupLayouts()
{
    QFETCH(bool, destination);

    MainWindow w;
    QGroupBox *box = destination ? w.groupBox2 : w.groupBox1;
    QHBoxLayout *boxLayout = destination ? w.groupBox2Layout : w.groupBox1Layout;
    QVBoxLayout *column = destination ? w.layout3 : w.layout2;
    const QString columnName = destination ? QStringLiteral("layout3") : QStringLiteral("layout2");
    QWidget *view = destination ? w.listView2 : w.listView1;
    QWidget *button = destination ? w.pushButton3 : w.pushButton2;

    // The group box's own layout, below its title.
    auto *inner = qobject_cast<QVBoxLayout *>(box->layout());
    QVERIFY2(inner, "the group box has a vertical layout of its own");
    QCOMPARE(inner->objectName(), QString());
    QCOMPARE(marginsText(inner), QStringLiteral("11 11 11 11"));
    QCOMPARE(inner->spacing(), 6);
    QCOMPARE(inner->count(), 1);
    QCOMPARE(inner->itemAt(0)->layout(), boxLayout);

    QCOMPARE(boxLayout->objectName(), QString());
    QCOMPARE(boxLayout->direction(), QBoxLayout::LeftToRight);
    QCOMPARE(boxLayout->alignment(), Qt::Alignment(Qt::AlignTop));
    QCOMPARE(marginsText(boxLayout), QStringLiteral("0 0 0 0"));
    QCOMPARE(boxLayout->spacing(), 6);
    QCOMPARE(itemNames(boxLayout), QStringList{ QStringLiteral("layout:") + columnName });
    QCOMPARE(boxLayout->itemAt(0)->layout(), column);

    QCOMPARE(column->objectName(), columnName);
    QCOMPARE(column->direction(), QBoxLayout::TopToBottom);
    QCOMPARE(marginsText(column), QStringLiteral("0 0 0 0"));
    QCOMPARE(column->spacing(), 6);
    QCOMPARE(column->count(), 2);
    QCOMPARE(column->itemAt(0)->widget(), view);
    QCOMPARE(column->itemAt(1)->widget(), button);
    for (int i = 0; i < column->count(); ++i) {
        QCOMPARE(column->stretch(i), 0);
        QCOMPARE(column->itemAt(i)->alignment(), Qt::Alignment());
    }
}

void tst_MainWindow::worldTrees_data()
{
    QTest::addColumn<bool>("destination");
    QTest::newRow("source") << false;
    QTest::newRow("destination") << true;
}

void tst_MainWindow::worldTrees()
{
    QFETCH(bool, destination);

    MainWindow w;
    QTreeWidget *view = destination ? w.listView2 : w.listView1;
    QCOMPARE(view->topLevelItemCount(), 0);
    QCOMPARE(view->header()->sectionResizeMode(0), QHeaderView::ResizeToContents);
    QCOMPARE(view->header()->sectionResizeMode(1), QHeaderView::ResizeToContents);
    QVERIFY2(!view->header()->stretchLastSection(), "no column fills the rest of the width");
    QVERIFY2(view->allColumnsShowFocus(), "focus spans the row");
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY2(view->header()->isSortIndicatorShown(), "the header shows the sort indicator");
    QVERIFY2(view->rootIsDecorated(), "top-level items show the expand decoration");
    QVERIFY2(view->isSortingEnabled(), "a header click sorts");
    QCOMPARE(view->header()->sortIndicatorSection(), 0);
    QCOMPARE(view->header()->sortIndicatorOrder(), Qt::AscendingOrder);

    // Accounts come out sorted by name whatever order they were added in.
    view->addTopLevelItem(new QTreeWidgetItem({ QStringLiteral("zed") }));
    view->addTopLevelItem(new QTreeWidgetItem({ QStringLiteral("abe") }));
    QCOMPARE(view->topLevelItem(0)->text(0), QStringLiteral("abe"));
}

void tst_MainWindow::size()
{
    MainWindow w;
    const QSize expected = QSize(361, 582).expandedTo(w.minimumSizeHint());
    QCOMPARE(w.size(), expected);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), expected);
}

void tst_MainWindow::statusBar()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStatusBar *bar = w.statusBar();
    QVERIFY2(bar->isVisible(), "the window has a status bar");
    QCOMPARE(bar->currentMessage(), QString());

    QVERIFY(w.progressBar);
    QCOMPARE(w.progressBar->parentWidget(), bar);
    QCOMPARE(w.progressBar->objectName(), QString());
    QCOMPARE(w.progressBar->minimum(), 0);
    QCOMPARE(w.progressBar->maximum(), 100);
    QCOMPARE(w.progressBar->value(), -1);
    QCOMPARE(w.findChildren<QProgressBar *>().size(), 1);

    // A temporary message takes the room left of the permanent widgets and never covers or
    // hides them, however long it is.
    bar->showMessage(QString(500, QLatin1Char('x')));
    QCoreApplication::processEvents();
    QCOMPARE(bar->currentMessage(), QString(500, QLatin1Char('x')));
    QVERIFY2(w.progressBar->isVisible(), "a message does not hide the progress bar");
    // Nothing but the size grip stands to the right of the progress bar.
    const int right = w.progressBar->geometry().right();
    for (QWidget *child : bar->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child == w.progressBar || qobject_cast<QSizeGrip *>(child) || !child->isVisible())
            continue;
        QVERIFY2(child->geometry().right() < right,
                qPrintable(QStringLiteral("%1 stands right of the progress bar")
                                   .arg(QLatin1String(child->metaObject()->className()))));
    }
    QVERIFY2(right < bar->width() && bar->width() - right <= 30,
            qPrintable(
                    QStringLiteral("progress bar ends at %1 of %2").arg(right).arg(bar->width())));
}

void tst_MainWindow::buttonClicks_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("destination");
    QTest::addColumn<int>("transfer");

    QTest::newRow("arrow-transfers") << "pushButton1" << 0 << 0 << 1;
    QTest::newRow("select-source") << "pushButton2" << 1 << 0 << 0;
    QTest::newRow("select-destination") << "pushButton3" << 0 << 1 << 0;
}

void tst_MainWindow::buttonClicks()
{
    QFETCH(QString, button);
    QFETCH(int, source);
    QFETCH(int, destination);
    QFETCH(int, transfer);

    CountingWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *pushButton = w.findChild<QPushButton *>(button);
    QVERIFY(pushButton);
    QTest::mouseClick(pushButton, Qt::LeftButton);
    QCOMPARE(w.sourceCalls, source);
    QCOMPARE(w.destinationCalls, destination);
    QCOMPARE(w.transferCalls, transfer);
    QCOMPARE(w.destinationDirCalls, 0);

    // Each click calls its slot once more.
    QTest::mouseClick(pushButton, Qt::LeftButton);
    QCOMPARE(w.sourceCalls, 2 * source);
    QCOMPARE(w.destinationCalls, 2 * destination);
    QCOMPARE(w.transferCalls, 2 * transfer);
}

void tst_MainWindow::arrowButton()
{
    MainWindow w;
    QVERIFY2(!w.pushButton1->icon().isNull(), "the arrow button shows the double arrow");
    QCOMPARE(w.pushButton1->iconSize(), QSize(32, 32));
    QVERIFY2(w.pushButton1->icon().availableSizes().contains(QSize(32, 32)),
            "the icon is the 32x32 arrow image");
    QVERIFY2(!w.pushButton1->accessibleName().isEmpty(), "a screen reader can name the button");
    QVERIFY2(w.pushButton1->toolTip().contains(QLatin1String("Transfer")),
            qPrintable(w.pushButton1->toolTip()));
    QVERIFY2(w.windowIcon().availableSizes().contains(QSize(32, 32)),
            "the window's icon is the arrow");
}

void tst_MainWindow::tabOrder()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Walk the focus chain as Tab does, from the first tree round to it again.
    QStringList order;
    QWidget *widget = w.listView1;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && widget->isVisible()
                && widget->isEnabled())
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != w.listView1 && order.size() < 20);
    QCOMPARE(order,
            (QStringList{ QStringLiteral("listView1"), QStringLiteral("pushButton2"),
                    QStringLiteral("pushButton1"), QStringLiteral("listView2"),
                    QStringLiteral("pushButton3") }));
}

void tst_MainWindow::noMenusNoToolBar()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.menuBar(), w.menubar);
    QCOMPARE(w.menubar->parentWidget(), &w);
    QVERIFY2(w.menubar->actions().isEmpty(), "the menu bar holds nothing");
    QVERIFY2(w.findChildren<QMenu *>().isEmpty(), "no menu exists");
    QVERIFY2(w.findChildren<QToolBar *>().isEmpty(), "no tool bar exists");
    for (QAction *action : memberActions(w)) {
        QVERIFY2(action->associatedObjects().isEmpty(),
                qPrintable(action->objectName() + QStringLiteral(" is shown somewhere")));
    }
}

void tst_MainWindow::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("iconText");
    QTest::addColumn<QString>("menuText");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<bool>("hasIcon");

    const QKeySequence none;
    // clang-format off
    QTest::newRow("file-new")      << "fileNewAction"      << "New"      << "&New"         << QKeySequence(Qt::CTRL | Qt::Key_N) << false;
    QTest::newRow("file-open")     << "fileOpenAction"     << "Open"     << "&Open..."     << QKeySequence(Qt::CTRL | Qt::Key_O) << true;
    QTest::newRow("file-save")     << "fileSaveAction"     << "Save"     << "&Save"        << QKeySequence(Qt::CTRL | Qt::Key_S) << true;
    QTest::newRow("file-save-as")  << "fileSaveAsAction"   << "Save As"  << "Save &As..."  << none                               << false;
    QTest::newRow("file-print")    << "filePrintAction"    << "Print"    << "&Print..."    << QKeySequence(Qt::CTRL | Qt::Key_P) << true;
    QTest::newRow("file-exit")     << "fileExitAction"     << "Exit"     << "E&xit"        << none                               << false;
    QTest::newRow("edit-undo")     << "editUndoAction"     << "Undo"     << "&Undo"        << QKeySequence(Qt::CTRL | Qt::Key_Z) << true;
    QTest::newRow("edit-redo")     << "editRedoAction"     << "Redo"     << "&Redo"        << QKeySequence(Qt::CTRL | Qt::Key_Y) << true;
    QTest::newRow("edit-cut")      << "editCutAction"      << "Cut"      << "&Cut"         << QKeySequence(Qt::CTRL | Qt::Key_X) << true;
    QTest::newRow("edit-copy")     << "editCopyAction"     << "Copy"     << "C&opy"        << QKeySequence(Qt::CTRL | Qt::Key_C) << true;
    QTest::newRow("edit-paste")    << "editPasteAction"    << "Paste"    << "&Paste"       << QKeySequence(Qt::CTRL | Qt::Key_V) << true;
    QTest::newRow("edit-find")     << "editFindAction"     << "Find"     << "&Find..."     << QKeySequence(Qt::CTRL | Qt::Key_F) << true;
    QTest::newRow("help-contents") << "helpContentsAction" << "Contents" << "&Contents..." << none                               << false;
    QTest::newRow("help-index")    << "helpIndexAction"    << "Index"    << "&Index..."    << none                               << false;
    QTest::newRow("help-about")    << "helpAboutAction"    << "About"    << "&About"       << none                               << false;
    // clang-format on
}

void tst_MainWindow::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, iconText);
    QFETCH(QString, menuText);
    QFETCH(QKeySequence, shortcut);
    QFETCH(bool, hasIcon);

    MainWindow w;
    // The members, in declaration order, are the actions of the table, in its order.
    const QList<QAction *> members = memberActions(w);
    const int row = members.indexOf(w.findChild<QAction *>(name));
    QVERIFY2(row >= 0, qPrintable(name + QStringLiteral(" is not a member")));
    QAction *action = members.at(row);
    QCOMPARE(action->objectName(), name);
    QCOMPARE(action->parent(), &w);
    QCOMPARE(w.findChildren<QAction *>(name).size(), 1);

    QCOMPARE(action->iconText(), iconText);
    QCOMPARE(action->text(), menuText);
    QCOMPARE(action->shortcut(), shortcut);
    QCOMPARE(action->shortcuts().size(), shortcut.isEmpty() ? 0 : 1);
    QCOMPARE(action->icon().isNull(), !hasIcon);
    if (hasIcon)
        QVERIFY2(action->icon().availableSizes().contains(QSize(22, 22)), "tool icons are 22x22");
    QVERIFY2(!action->isCheckable(), "a plain action, not a toggle");
    QVERIFY2(action->isEnabled(), "enabled");
    QCOMPARE(action->statusTip(), QString());
    QCOMPARE(action->whatsThis(), QString());
}

void tst_MainWindow::shortcutsChangeNothing_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("ctrl-n") << int(Qt::Key_N);
    QTest::newRow("ctrl-o") << int(Qt::Key_O);
    QTest::newRow("ctrl-s") << int(Qt::Key_S);
    QTest::newRow("ctrl-p") << int(Qt::Key_P);
    QTest::newRow("ctrl-z") << int(Qt::Key_Z);
    QTest::newRow("ctrl-y") << int(Qt::Key_Y);
    QTest::newRow("ctrl-x") << int(Qt::Key_X);
    QTest::newRow("ctrl-c") << int(Qt::Key_C);
    QTest::newRow("ctrl-v") << int(Qt::Key_V);
    QTest::newRow("ctrl-f") << int(Qt::Key_F);
}

void tst_MainWindow::shortcutsChangeNothing()
{
    QFETCH(int, key);

    CountingWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // With something in a tree and a message showing, a shortcut could clear or sort either.
    w.listView1->addTopLevelItem(new QTreeWidgetItem({ QStringLiteral("account") }));
    w.statusBar()->showMessage(QStringLiteral("Ready"));
    const VisibleState before(w);

    for (QWidget *target : { static_cast<QWidget *>(&w), static_cast<QWidget *>(w.listView1),
                 static_cast<QWidget *>(w.pushButton1) }) {
        QTest::keyClick(target, Qt::Key(key), Qt::ControlModifier);
        QCoreApplication::processEvents();
        QVERIFY2(VisibleState(w) == before,
                qPrintable(QStringLiteral("a shortcut sent to %1 changed the window")
                                   .arg(target->objectName())));
    }
    QCOMPARE(w.windowTitle(), QStringLiteral("Character Tranfer"));
    QVERIFY2(w.isVisible(), "the window stays open");
}

// main() ends the event loop when the last window closes; the loop's result is the exit
// code. Built here the way main() builds it.
void tst_MainWindow::closingQuitsWithZero()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QMetaObject::Connection quit = QObject::connect(
            qApp, &QGuiApplication::lastWindowClosed, qApp, &QCoreApplication::quit);
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    QTimer::singleShot(0, &w, &QWidget::close);
    const int exitCode = QCoreApplication::exec();
    QObject::disconnect(quit);
    QCOMPARE(exitCode, 0);
    QCOMPARE(lastClosed.size(), 1);
    QVERIFY2(!w.isVisible(), "the window closed");
}

void tst_MainWindow::images_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");

    const QSize tool(22, 22);
    QTest::newRow("fileopen") << "fileopen" << tool;
    QTest::newRow("filesave") << "filesave" << tool;
    QTest::newRow("print") << "print" << tool;
    QTest::newRow("undo") << "undo" << tool;
    QTest::newRow("redo") << "redo" << tool;
    QTest::newRow("editcut") << "editcut" << tool;
    QTest::newRow("editcopy") << "editcopy" << tool;
    QTest::newRow("editpaste") << "editpaste" << tool;
    QTest::newRow("searchfind") << "searchfind" << tool;
    QTest::newRow("2rightarrow-png") << "2rightarrow.png" << QSize(32, 32);
}

void tst_MainWindow::images()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);

    const QImage image = findImage(name);
    QVERIFY2(!image.isNull(), qPrintable(name));
    QCOMPARE(image.size(), size);
    QCOMPARE(image.depth(), 32);
    QVERIFY2(image.hasAlphaChannel(), "drawn on a transparent background");
    // An icon, not a blank square: transparent somewhere, opaque somewhere.
    int transparent = 0;
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            transparent += alpha == 0;
            opaque += alpha == 255;
        }
    }
    QVERIFY2(transparent > 0 && opaque > 0,
            qPrintable(QStringLiteral("%1 transparent, %2 opaque pixels")
                               .arg(transparent)
                               .arg(opaque)));
}

// Two solid grey triangles side by side, pointing right.
void tst_MainWindow::doubleArrowShape()
{
    const QImage arrow = findImage(QStringLiteral("2rightarrow.png"));
    QCOMPARE(arrow.size(), QSize(32, 32));
    auto solidGrey = [&](int x, int y) {
        const QRgb p = arrow.pixel(x, y);
        return qAlpha(p) == 255 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p);
    };
    auto clear = [&](int x, int y) { return qAlpha(arrow.pixel(x, y)) == 0; };
    // Corners are transparent.
    QVERIFY(clear(0, 0) && clear(31, 0) && clear(0, 31) && clear(31, 31));
    // Near the top each triangle is narrow at its left edge, with a gap before the next.
    QVERIFY2(solidGrey(5, 8) && clear(11, 8) && solidGrey(18, 8) && clear(25, 8),
            "two narrow bands near the top");
    QVERIFY2(solidGrey(5, 23) && clear(11, 23) && solidGrey(18, 23) && clear(25, 23),
            "and near the bottom");
    // Across the middle both are at their widest and meet: no gap between them.
    for (int x = 4; x <= 27; ++x) {
        QVERIFY2(qAlpha(arrow.pixel(x, 15)) > 0 && qAlpha(arrow.pixel(x, 16)) > 0,
                qPrintable(QStringLiteral("gap at x=%1").arg(x)));
    }
}

void tst_MainWindow::missingImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("arrow-without-2") << "rightarrow.png";
    QTest::newRow("upper-case") << "FILEOPEN";
    QTest::newRow("empty") << "";
    QTest::newRow("null") << QString();
    QTest::newRow("tool-icon-with-extension") << "fileopen.png";
    QTest::newRow("arrow-without-extension") << "2rightarrow";
    QTest::newRow("resource-path") << ":/images/fileopen";
    QTest::newRow("relative-path") << "../images/fileopen";
    QTest::newRow("dot-path") << "./fileopen";
    QTest::newRow("leading-slash") << "/fileopen";
    QTest::newRow("trailing-slash") << "fileopen/";
    QTest::newRow("doubled-slash") << "/2rightarrow.png";
    QTest::newRow("trailing-blank") << "fileopen ";
}

void tst_MainWindow::missingImages()
{
    QFETCH(QString, name);
    const int decoded = imageDecodeCount();
    QVERIFY2(findImage(name).isNull(), qPrintable(name));
    QVERIFY2(findImage(name).isNull(), "and again");
    QCOMPARE(imageDecodeCount(), decoded);
}

void tst_MainWindow::imagesDecodedOnce()
{
    const int before = imageDecodeCount();
    const QImage first = findImage(QStringLiteral("searchfind"));
    const int afterFirst = imageDecodeCount();
    QVERIFY2(afterFirst - before <= 1, "one lookup decodes at most one image");
    QCOMPARE(findImage(QStringLiteral("searchfind")), first);
    QCOMPARE(imageDecodeCount(), afterFirst);

    // Building a window looks up the arrow and the nine tool icons; a second window reuses
    // every one of them.
    {
        MainWindow w;
    }
    const int afterWindow = imageDecodeCount();
    QVERIFY2(afterWindow <= 10, qPrintable(QString::number(afterWindow)));
    {
        MainWindow w;
    }
    QCOMPARE(imageDecodeCount(), afterWindow);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
