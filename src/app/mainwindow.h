#pragma once

#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QString>

#include <climits>

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

// What a world file looked like when it was loaded, so a transfer can tell whether it
// changed on disk since.
struct FileStamp
{
    bool exists = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    quint64 inode = 0;
};

inline bool operator==(const FileStamp &a, const FileStamp &b)
{
    return a.exists == b.exists && a.size == b.size && a.modifiedNs == b.modifiedNs
            && a.inode == b.inode;
}
inline bool operator!=(const FileStamp &a, const FileStamp &b)
{
    return !(a == b);
}

// The one window of the program: the source world on the left, the destination world on
// the right, the arrow between them copies the selected character.
class MainWindow : public QMainWindow
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

    QString sourceDir;
    QMap<int, QList<char_st>> destChars;
    QMap<int, QList<char_st>> sourceChars;
    QMap<int, QString> destAccounts;
    QMap<int, QString> sourceAccounts;
    QProgressBar *progressBar;
    QString destDir;
    int maxCharSection;
    int maxItemSection;
    int maxCharSerial;
    int maxItemSerial;
    QMap<int, item_st> serialMap;
    QMap<int, QList<int>> containerMap;
    QMap<int, QList<int>> moreMap;

    QHBoxLayout *MainWindowLayout;
    QHBoxLayout *layout4;
    QHBoxLayout *groupBox1Layout;
    QVBoxLayout *layout2;
    QHBoxLayout *groupBox2Layout;
    QVBoxLayout *layout3;

    // Facts the transfer checks before it writes anything; kept apart from the form's
    // members above. A transfer that is running ignores a second click on the arrow.
    bool transferRunning = false;
    // The destination characters file as the last destination load read it.
    FileStamp destCharsStamp;
    // The destination characters file ended after a record header and before that
    // record's closing brace (a save cut off): appending there would join that record.
    bool destCharsCutOff = false;
    // The same for the destination items file, noted by the serial scan.
    bool destItemsCutOff = false;
    // The highest numbers on any SECTION and SERIAL line of the destination characters file
    // as the last destination load read it, records the loader passed over included: a new
    // character is numbered above these too.
    int destCharsHighestSection = INT_MIN;
    int destCharsHighestSerial = INT_MIN;
    // The destination accounts file as the last destination load read it: the account
    // number a transfer writes comes from that reading.
    FileStamp destAccountsStamp;
    // Item identification filed two collected records under one serial (a record without a
    // SERIAL line of its own takes the serial of the record before it): the earlier one
    // would silently stay behind. The byte positions just past both records' headers.
    qint64 scanCollisionFirst = -1;
    qint64 scanCollisionSecond = -1;
    // What the running transfer verified and is about to write, so that the writers append
    // exactly that.
    QByteArray preparedCharacter;
    QByteArray preparedItems;
    bool transferPrepared = false;
    // A read error that ended a pass early, as the user is told it ("Could not read <file>:
    // <reason>."): that pass saw only part of its file, so the highest numbers it found, or
    // the items it collected, cannot be trusted. One for the destination's characters file
    // as the last destination load read it, one for the scans of the running transfer.
    QString destCharsReadError;
    QString scanReadError;
    // What the running transfer has appended so far, each file with the size it had
    // before, so that a failure in a later step can put every file back.
    struct TransferAppend
    {
        QString path;
        qint64 sizeBefore = 0;
        bool created = false;
    };
    QList<TransferAppend> transferAppends;
    // The first failure of the running transfer as the user is told it ("Could not write
    // <file>: <reason>."), empty while all goes well; and every file that could not be put
    // back afterwards.
    QString transferFailure;
    QList<QString> transferRestoreFailures;

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
    // Shows a world's directory as the title of its group, without letting a long path
    // widen the window past what the group holds.
    void showWorldPath(QGroupBox *group, const QString &dir);
};
