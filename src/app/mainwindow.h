#pragma once

#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QString>

#include <climits>

#include "engine/session.h"
#include "items/itemrecords.h"
#include "world/worldindex.h"

QT_BEGIN_NAMESPACE
class QAction;
class QGroupBox;
class QHBoxLayout;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QVBoxLayout;
QT_END_NAMESPACE

// The one window of the program: the source world on the left, the destination world on
// the right, the arrow between them copies the selected character.
class MainWindow : public QMainWindow, public engine::Session
{
    Q_OBJECT

public:
    MainWindow(
            QWidget *parent = nullptr, const char *name = nullptr, Qt::WindowFlags fl = Qt::Window);
    ~MainWindow() override;

    QGroupBox *groupBox1;
    QTreeWidget *listView1;
    QPushButton *pushButton2;
    QPushButton *pushButton1;
    QGroupBox *groupBox2;
    QTreeWidget *listView2;
    QPushButton *pushButton3;
    QMenuBar *menubar;
    QAction *fileNewAction;
    QAction *fileOpenAction;
    QAction *fileSaveAction;
    QAction *fileSaveAsAction;
    QAction *filePrintAction;
    QAction *fileExitAction;
    QAction *editUndoAction;
    QAction *editRedoAction;
    QAction *editCutAction;
    QAction *editCopyAction;
    QAction *editPasteAction;
    QAction *editFindAction;
    QAction *helpContentsAction;
    QAction *helpIndexAction;
    QAction *helpAboutAction;

    // The worlds' indexes, the numbers new records are drawn from and the collected items
    // (sourceDir, destChars, sourceChars, destAccounts, sourceAccounts, destDir, the four
    // counters, serialMap, containerMap and moreMap) live in engine::Session, which the
    // window is; the progress bar in its status bar stands among them.
    QProgressBar *progressBar;

    QHBoxLayout *MainWindowLayout;
    QHBoxLayout *layout4;
    QHBoxLayout *groupBox1Layout;
    QVBoxLayout *layout2;
    QHBoxLayout *groupBox2Layout;
    QVBoxLayout *layout3;

public slots:
    virtual void fileSource();
    virtual void fileDestination(QString dir);
    virtual void fileDestination();
    virtual void fileTransfer();
    virtual void processFile(QString name, QTreeWidget *view, QMap<int, QString> *account,
            QMap<int, QList<char_st>> *character, bool dest);
    virtual void processChar(QString name, QTreeWidget *view, QMap<int, QString> *account,
            QMap<int, QList<char_st>> *character, bool dest);
    virtual QString stripComment(QString input);
    virtual void getSerials(QString name, int owner);
    virtual void transferChar(int owner, int offset, int transfer, QString input, QString output);
    virtual void transferChar(int owner, int transfer, QString output);

public:
    virtual void acquireSerials(QString dir);

protected slots:
    virtual void languageChange();

private:
    void createActions();
    void init();
    // Leaves the progress bar idle after the last pass of a command: a pass over an empty
    // file leaves a total of 0, which the bar shows as a busy indicator.
    void settleProgress();
    // Undoes a transfer into `dir` that a crash interrupted, or says why it cannot.
    void recoverInterruptedTransfer(const QString &dir);
    // Shows a world's directory as the title of its group, without letting a long path
    // widen the window past what the group holds.
    void showWorldPath(QGroupBox *group, const QString &dir);
};
