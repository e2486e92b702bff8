#include "app/mainwindow.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/images/imagecollection.h"

namespace {

// Both world trees look and sort alike: two columns that fit their contents, whole-row
// selection of one item, sorted by account name from the start.
void setUpWorldTree(QTreeWidget *view)
{
    view->setColumnCount(2);
    view->setHeaderLabels({ QStringLiteral("Account"), QStringLiteral("Character") });
    view->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->header()->setStretchLastSection(false);
    view->setAllColumnsShowFocus(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->header()->setSortIndicatorShown(true);
    view->setRootIsDecorated(true);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSortingEnabled(true);
    view->sortByColumn(0, Qt::AscendingOrder);
}

// A group box's own vertical layout below its title, holding one top-aligned row.
QHBoxLayout *makeGroupLayout(QGroupBox *box)
{
    auto *inner = new QVBoxLayout(box);
    inner->setSpacing(6);
    inner->setContentsMargins(11, 11, 11, 11);
    auto *row = new QHBoxLayout();
    inner->addLayout(row);
    row->setContentsMargins(0, 0, 0, 0);
    row->setAlignment(Qt::AlignTop);
    return row;
}

QVBoxLayout *makeColumnLayout(const char *name)
{
    auto *column = new QVBoxLayout();
    column->setObjectName(QLatin1String(name));
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    return column;
}

} // namespace

MainWindow::MainWindow(QWidget *parent, const char *name, Qt::WindowFlags fl)
    : QMainWindow(parent, fl)
{
    statusBar();
    setObjectName(name ? QLatin1String(name) : QLatin1String("MainWindow"));

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("qt_central_widget"));
    setCentralWidget(central);

    MainWindowLayout = new QHBoxLayout(central);
    MainWindowLayout->setObjectName(QStringLiteral("MainWindowLayout"));
    MainWindowLayout->setContentsMargins(11, 11, 11, 11);
    MainWindowLayout->setSpacing(6);

    layout4 = new QHBoxLayout();
    layout4->setObjectName(QStringLiteral("layout4"));
    layout4->setContentsMargins(0, 0, 0, 0);
    layout4->setSpacing(6);

    groupBox1 = new QGroupBox(central);
    groupBox1->setObjectName(QStringLiteral("groupBox1"));
    groupBox1Layout = makeGroupLayout(groupBox1);
    layout2 = makeColumnLayout("layout2");
    listView1 = new QTreeWidget(groupBox1);
    listView1->setObjectName(QStringLiteral("listView1"));
    setUpWorldTree(listView1);
    layout2->addWidget(listView1);
    pushButton2 = new QPushButton(groupBox1);
    pushButton2->setObjectName(QStringLiteral("pushButton2"));
    layout2->addWidget(pushButton2);
    groupBox1Layout->addLayout(layout2);
    layout4->addWidget(groupBox1);

    pushButton1 = new QPushButton(central);
    pushButton1->setObjectName(QStringLiteral("pushButton1"));
    // The arrow button shows only the double arrow; the same image is the window's icon.
    const QIcon arrow(QPixmap::fromImage(findImage(QStringLiteral("2rightarrow.png"))));
    pushButton1->setIcon(arrow);
    if (!arrow.isNull())
        pushButton1->setIconSize(arrow.availableSizes().value(0));
    setWindowIcon(arrow);
    layout4->addWidget(pushButton1);

    groupBox2 = new QGroupBox(central);
    groupBox2->setObjectName(QStringLiteral("groupBox2"));
    groupBox2Layout = makeGroupLayout(groupBox2);
    layout3 = makeColumnLayout("layout3");
    listView2 = new QTreeWidget(groupBox2);
    listView2->setObjectName(QStringLiteral("listView2"));
    setUpWorldTree(listView2);
    layout3->addWidget(listView2);
    pushButton3 = new QPushButton(groupBox2);
    pushButton3->setObjectName(QStringLiteral("pushButton3"));
    layout3->addWidget(pushButton3);
    groupBox2Layout->addLayout(layout3);
    layout4->addWidget(groupBox2);
    MainWindowLayout->addLayout(layout4);

    // Tab goes left to right in the order the widgets stand.
    setTabOrder(listView1, pushButton2);
    setTabOrder(pushButton2, pushButton1);
    setTabOrder(pushButton1, listView2);
    setTabOrder(listView2, pushButton3);

    createActions();
    languageChange();
    resize(QSize(361, 582).expandedTo(minimumSizeHint()));

    connect(pushButton2, &QPushButton::clicked, this, &MainWindow::fileSource);
    connect(pushButton3, &QPushButton::clicked, this, qOverload<>(&MainWindow::fileDestination));
    connect(pushButton1, &QPushButton::clicked, this, &MainWindow::fileTransfer);
    init();
}

// Widgets, layouts and actions are children of the window and go with it.
MainWindow::~MainWindow() = default;

// The progress bar sits at the right end of the status bar, where temporary messages
// never cover it.
void MainWindow::init()
{
    progressBar = new QProgressBar(statusBar());
    statusBar()->addPermanentWidget(progressBar, 0);
}
