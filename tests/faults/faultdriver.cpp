// Runs one transfer the way a user does it, without a display: loads a source and a
// destination world, selects a character and an account in the two trees, clicks the arrow
// and answers every message box. Prints what it saw and tells the outcome by its exit code.
//
//   faultdriver --source DIR --dest DIR [--source-account NAME] [--character NAME]
//               [--account NAME] [--dest-character NAME] [--load-only] [--timeout-ms N]
//
// --character picks that character (under --source-account when given), --account that
// destination account and --dest-character one of its characters instead; without them
// the first character of the source tree and the first destination account are taken.
// Output lines:
//   BOX <title>\t<text>            every message box, in order (line breaks shown as \n)
//   TREE <side>\t<account>\t<character>   every tree item after the end
//   CURSOR left                    an override cursor was still set at the end
//   RESULT <what>
// Exit codes: 0 transferred (no box), 3 a message box was shown, 4 nothing to select,
// 5 timeout (hang), 2 bad arguments; anything else (a signal, a sanitizer's 1) is a crash.
#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include "app/mainwindow.h"

namespace {

enum ExitCode {
    Transferred = 0,
    Usage = 2,
    BoxShown = 3,
    NothingToSelect = 4,
    TimedOut = 5,
};

void say(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// Long texts (a name of megabytes) are cut: the output is for reading and comparing.
QString oneLine(QString text)
{
    if (text.size() > 1000)
        text = text.left(1000) + QStringLiteral("...(%1 characters)").arg(text.size());
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// Answers whatever modal window is up: a directory chooser gets `chooserAnswer`, a message
// box is recorded and confirmed.
class Answerer : public QObject
{
public:
    QString chooserAnswer;
    int boxes = 0;

    Answerer()
    {
        m_timer.setInterval(2);
        connect(&m_timer, &QTimer::timeout, this, &Answerer::answer);
        m_timer.start();
    }

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            ++boxes;
            say(QStringLiteral("BOX %1\t%2")
                            .arg(oneLine(box->windowTitle()), oneLine(box->text())));
            QAbstractButton *ok = box->button(QMessageBox::Ok);
            if (!ok && !box->buttons().isEmpty())
                ok = box->buttons().first();
            if (ok)
                ok->click();
            else
                box->reject();
        } else if (auto *chooser = qobject_cast<QFileDialog *>(modal)) {
            if (chooserAnswer.isEmpty()) {
                chooser->reject();
            } else {
                chooser->setDirectory(chooserAnswer);
                chooser->selectFile(chooserAnswer);
                static_cast<QDialog *>(chooser)->accept(); // as the Choose button does
            }
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            say(QStringLiteral("DIALOG %1").arg(oneLine(dialog->windowTitle())));
            dialog->reject();
        }
    }

    QTimer m_timer;
};

QTreeWidgetItem *topLevel(QTreeWidget *view, const QString &account)
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = view->topLevelItem(i);
        if (account.isNull() || item->text(0) == account)
            return item;
    }
    return nullptr;
}

QTreeWidgetItem *child(QTreeWidgetItem *parent, const QString &character)
{
    if (!parent)
        return nullptr;
    for (int i = 0; i < parent->childCount(); ++i) {
        if (character.isNull() || parent->child(i)->text(1) == character)
            return parent->child(i);
    }
    return nullptr;
}

// The first character named `character` (any when null) under the first account named
// `account` (any when null) that holds one.
QTreeWidgetItem *findCharacter(QTreeWidget *view, const QString &account, const QString &character)
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = view->topLevelItem(i);
        if (!account.isNull() && item->text(0) != account)
            continue;
        if (QTreeWidgetItem *found = child(item, character))
            return found;
    }
    return nullptr;
}

void select(QTreeWidget *view, QTreeWidgetItem *item)
{
    view->clearSelection();
    view->setCurrentItem(item);
    item->setSelected(true);
}

void printTree(const char *side, QTreeWidget *view)
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        QTreeWidgetItem *account = view->topLevelItem(i);
        say(QStringLiteral("TREE %1\t%2\t").arg(QLatin1String(side), oneLine(account->text(0))));
        for (int j = 0; j < account->childCount(); ++j)
            say(QStringLiteral("TREE %1\t%2\t%3")
                            .arg(QLatin1String(side), oneLine(account->text(0)),
                                    oneLine(account->child(j)->text(1))));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption sourceOption(
            QStringLiteral("source"), QString(), QStringLiteral("dir"));
    const QCommandLineOption destOption(QStringLiteral("dest"), QString(), QStringLiteral("dir"));
    const QCommandLineOption sourceAccountOption(
            QStringLiteral("source-account"), QString(), QStringLiteral("name"));
    const QCommandLineOption characterOption(
            QStringLiteral("character"), QString(), QStringLiteral("name"));
    const QCommandLineOption accountOption(
            QStringLiteral("account"), QString(), QStringLiteral("name"));
    const QCommandLineOption destCharacterOption(
            QStringLiteral("dest-character"), QString(), QStringLiteral("name"));
    const QCommandLineOption loadOnlyOption(QStringLiteral("load-only"));
    const QCommandLineOption timeoutOption(
            QStringLiteral("timeout-ms"), QString(), QStringLiteral("ms"), QStringLiteral("20000"));
    parser.addOptions({ sourceOption, destOption, sourceAccountOption, characterOption,
            accountOption, destCharacterOption, loadOnlyOption, timeoutOption });
    if (!parser.parse(app.arguments()) || !parser.isSet(sourceOption)
            || !parser.isSet(destOption)) {
        std::fprintf(stderr,
                "usage: faultdriver --source DIR --dest DIR [--source-account NAME] "
                "[--character NAME] [--account NAME] [--dest-character NAME] "
                "[--load-only] [--timeout-ms N]\n");
        return Usage;
    }

    // A hang shows as exit code 5 however stuck the GUI thread is.
    const int timeout = parser.value(timeoutOption).toInt();
    std::thread([timeout] {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
        say(QStringLiteral("RESULT timeout"));
        _exit(TimedOut);
    }).detach();

    MainWindow window;
    window.show();
    Answerer answerer;

    // The source through its chooser, as a user picks it; the destination through the
    // slot that the chooser and the transfer's reload both use.
    answerer.chooserAnswer = parser.value(sourceOption);
    window.pushButton2->click();
    answerer.chooserAnswer.clear();
    window.fileDestination(parser.value(destOption));

    int result = Transferred;
    if (parser.isSet(loadOnlyOption)) {
        say(QStringLiteral("RESULT loaded"));
    } else {
        const auto optional = [&](const QCommandLineOption &option) {
            return parser.isSet(option) ? parser.value(option) : QString();
        };
        QTreeWidgetItem *character = findCharacter(
                window.listView1, optional(sourceAccountOption), optional(characterOption));
        QTreeWidgetItem *target = topLevel(window.listView2, optional(accountOption));
        if (target && parser.isSet(destCharacterOption))
            target = child(target, parser.value(destCharacterOption));
        if (!character || !target) {
            say(QStringLiteral("RESULT nothing-to-select"));
            result = NothingToSelect;
        } else {
            select(window.listView1, character);
            select(window.listView2, target);
            window.pushButton1->click();
            result = answerer.boxes > 0 ? BoxShown : Transferred;
            say(result == BoxShown ? QStringLiteral("RESULT warning")
                                   : QStringLiteral("RESULT transferred"));
        }
    }
    if (QApplication::overrideCursor())
        say(QStringLiteral("CURSOR left"));
    printTree("source", window.listView1);
    printTree("dest", window.listView2);
    say(QStringLiteral("STATUS %1").arg(oneLine(window.statusBar()->currentMessage())));
    return result;
}
