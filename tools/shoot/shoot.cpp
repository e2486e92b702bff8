// Opens the main window on a source and a destination world, selects a character on the
// left and an account on the right as a user about to transfer would, and saves the window
// as a PNG. With --transfer it then presses the arrow first, which writes to the
// destination world: give it a copy.
//
//   chartransfer_shoot [--transfer] <source dir> <destination dir> <character> <account>
//                      <out.png>
//
// The source goes through the real chooser (answered from a timer), the destination
// through fileDestination(dir), so the picture shows what the program shows.

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

#include <functional>

#include "app/mainwindow.h"

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// Waits for the chooser that the next call opens, points it at `dir` and accepts it.
void answerChooser(const QString &dir, bool *answered, int triesLeft = 500)
{
    QTimer::singleShot(10, [=] {
        auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!chooser) {
            if (triesLeft > 0)
                answerChooser(dir, answered, triesLeft - 1);
            return;
        }
        *answered = true;
        chooser->setDirectory(dir);
        static_cast<QDialog *>(chooser)->accept();
    });
}

QTreeWidgetItem *findItem(QTreeWidget *view, const QString &text, int column)
{
    const QList<QTreeWidgetItem *> found =
            view->findItems(text, Qt::MatchExactly | Qt::MatchRecursive, column);
    return found.value(0);
}

bool select(QTreeWidget *view, const QString &text, int column)
{
    QTreeWidgetItem *item = findItem(view, text, column);
    if (!item)
        return false;
    view->setCurrentItem(item);
    item->setSelected(true);
    return true;
}

// Calls `then` once the window is on the screen (or after about five seconds).
void whenExposed(QWidget *window, std::function<void()> then, int triesLeft = 500)
{
    QTimer::singleShot(10, [=] {
        if ((window->windowHandle() && window->windowHandle()->isExposed()) || triesLeft == 0)
            then();
        else
            whenExposed(window, then, triesLeft - 1);
    });
}

} // namespace

int main(int argc, char *argv[])
{
    // The chooser must be Qt's own so the timer above can answer it.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    const bool transfer = args.removeAll(QStringLiteral("--transfer")) > 0;
    if (args.size() != 6) {
        err() << "usage: chartransfer_shoot [--transfer] <source dir> <destination dir> "
                 "<character> <account> <out.png>\n";
        return 2;
    }
    const QString source = QDir(args.at(1)).absolutePath();
    const QString destination = QDir(args.at(2)).absolutePath();
    const QString character = args.at(3);
    const QString account = args.at(4);
    const QString out = args.at(5);

    MainWindow window;
    window.show();

    bool answered = false;
    answerChooser(source, &answered);
    window.fileSource();
    if (!answered) {
        err() << "the source chooser did not open\n";
        return 1;
    }
    window.fileDestination(destination);

    if (!select(window.listView1, character, 1)) {
        err() << "no character " << character << " in the source tree of " << source << '\n';
        return 1;
    }
    if (!select(window.listView2, account, 0)) {
        err() << "no account " << account << " in the destination tree of " << destination << '\n';
        return 1;
    }
    window.listView1->setFocus();

    if (transfer) {
        // A box would mean the transfer was refused or failed: press OK and say so.
        QString box;
        QTimer boxWatch;
        QObject::connect(&boxWatch, &QTimer::timeout, [&box] {
            auto *shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!shown)
                return;
            box = shown->windowTitle() + QStringLiteral(": ") + shown->text();
            shown->accept();
        });
        boxWatch.start(10);
        window.pushButton1->click();
        if (!box.isEmpty()) {
            err() << "the transfer did not go through: " << box << '\n';
            return 1;
        }
    }

    int status = 0;
    whenExposed(&window, [&] {
        if (!window.grab().save(out, "PNG")) {
            err() << "cannot write " << out << '\n';
            status = 1;
        }
        QCoreApplication::quit();
    });
    app.exec();
    return status;
}
