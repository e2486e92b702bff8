#include "app/mainwindow.h"

#include <QAction>
#include <QGroupBox>
#include <QIcon>
#include <QKeySequence>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>

#include "app/images/imagecollection.h"

namespace {

QAction *makeAction(QObject *parent, const char *name)
{
    auto *action = new QAction(parent);
    action->setObjectName(QLatin1String(name));
    return action;
}

QIcon iconFor(const char *imageName)
{
    return QIcon(QPixmap::fromImage(findImage(QLatin1String(imageName))));
}

} // namespace

// The fifteen standard actions exist with their texts and shortcuts, but no menu or tool
// bar shows them and nothing is connected to them.
void MainWindow::createActions()
{
    fileNewAction = makeAction(this, "fileNewAction");
    fileNewAction->setIcon(iconFor(""));
    fileOpenAction = makeAction(this, "fileOpenAction");
    fileOpenAction->setIcon(iconFor("fileopen"));
    fileSaveAction = makeAction(this, "fileSaveAction");
    fileSaveAction->setIcon(iconFor("filesave"));
    fileSaveAsAction = makeAction(this, "fileSaveAsAction");
    filePrintAction = makeAction(this, "filePrintAction");
    filePrintAction->setIcon(iconFor("print"));
    fileExitAction = makeAction(this, "fileExitAction");
    editUndoAction = makeAction(this, "editUndoAction");
    editUndoAction->setIcon(iconFor("undo"));
    editRedoAction = makeAction(this, "editRedoAction");
    editRedoAction->setIcon(iconFor("redo"));
    editCutAction = makeAction(this, "editCutAction");
    editCutAction->setIcon(iconFor("editcut"));
    editCopyAction = makeAction(this, "editCopyAction");
    editCopyAction->setIcon(iconFor("editcopy"));
    editPasteAction = makeAction(this, "editPasteAction");
    editPasteAction->setIcon(iconFor("editpaste"));
    editFindAction = makeAction(this, "editFindAction");
    editFindAction->setIcon(iconFor("searchfind"));
    helpContentsAction = makeAction(this, "helpContentsAction");
    helpIndexAction = makeAction(this, "helpIndexAction");
    helpAboutAction = makeAction(this, "helpAboutAction");

    menubar = new QMenuBar(this);
    menubar->setObjectName(QStringLiteral("menubar"));
    setMenuBar(menubar);
}

// Sets every caption and label of the window through translation. The short text of an
// action is its icon text; its menu text, with the "&" marking the shortcut letter, is
// its text.
void MainWindow::languageChange()
{
    setWindowTitle(tr("Character Tranfer"));
    groupBox1->setTitle(tr("Source"));
    listView1->setHeaderLabels({ tr("Account"), tr("Character") });
    pushButton2->setText(tr("Select Source World"));
    pushButton1->setText(QString());
    // The arrow has no text; say in words what it does to screen readers and on hover.
    pushButton1->setAccessibleName(tr("Transfer character"));
    pushButton1->setToolTip(
            tr("Transfer the selected character to the selected destination account"));
    groupBox2->setTitle(tr("Destination"));
    listView2->setHeaderLabels({ tr("Account"), tr("Character") });
    pushButton3->setText(tr("Select Destination World"));

    const struct
    {
        QAction *action;
        const char *text;
        const char *menuText;
        const char *accel; // null: no shortcut
    } texts[] = {
        { fileNewAction, QT_TR_NOOP("New"), QT_TR_NOOP("&New"), QT_TR_NOOP("Ctrl+N") },
        { fileOpenAction, QT_TR_NOOP("Open"), QT_TR_NOOP("&Open..."), QT_TR_NOOP("Ctrl+O") },
        { fileSaveAction, QT_TR_NOOP("Save"), QT_TR_NOOP("&Save"), QT_TR_NOOP("Ctrl+S") },
        { fileSaveAsAction, QT_TR_NOOP("Save As"), QT_TR_NOOP("Save &As..."), nullptr },
        { filePrintAction, QT_TR_NOOP("Print"), QT_TR_NOOP("&Print..."), QT_TR_NOOP("Ctrl+P") },
        { fileExitAction, QT_TR_NOOP("Exit"), QT_TR_NOOP("E&xit"), nullptr },
        { editUndoAction, QT_TR_NOOP("Undo"), QT_TR_NOOP("&Undo"), QT_TR_NOOP("Ctrl+Z") },
        { editRedoAction, QT_TR_NOOP("Redo"), QT_TR_NOOP("&Redo"), QT_TR_NOOP("Ctrl+Y") },
        { editCutAction, QT_TR_NOOP("Cut"), QT_TR_NOOP("&Cut"), QT_TR_NOOP("Ctrl+X") },
        { editCopyAction, QT_TR_NOOP("Copy"), QT_TR_NOOP("C&opy"), QT_TR_NOOP("Ctrl+C") },
        { editPasteAction, QT_TR_NOOP("Paste"), QT_TR_NOOP("&Paste"), QT_TR_NOOP("Ctrl+V") },
        { editFindAction, QT_TR_NOOP("Find"), QT_TR_NOOP("&Find..."), QT_TR_NOOP("Ctrl+F") },
        { helpContentsAction, QT_TR_NOOP("Contents"), QT_TR_NOOP("&Contents..."), nullptr },
        { helpIndexAction, QT_TR_NOOP("Index"), QT_TR_NOOP("&Index..."), nullptr },
        { helpAboutAction, QT_TR_NOOP("About"), QT_TR_NOOP("&About"), nullptr },
    };
    for (const auto &entry : texts) {
        entry.action->setIconText(tr(entry.text));
        entry.action->setText(tr(entry.menuText));
        entry.action->setShortcut(entry.accel ? QKeySequence(tr(entry.accel)) : QKeySequence());
    }
}
