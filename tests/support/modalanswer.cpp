#include "support/modalanswer.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

// The running test function and data row; an answer armed in one is not used in another.
QByteArray currentTest()
{
    return QByteArray(QTest::currentTestFunction()) + '/' + QTest::currentDataTag();
}

void record(ModalRecord *into, QWidget *modal)
{
    into->ran = true;
    into->title = modal->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        into->text = box->text();
}

// Closes a modal window as a user who wants to go on would: OK on a message box, Cancel on
// anything else.
void close(QWidget *modal)
{
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        if (ok)
            ok->click();
        else
            box->reject();
    } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
        dialog->reject();
    } else {
        modal->close();
    }
}

class Watch
{
public:
    Watch()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start(10);
    }

    struct Armed
    {
        ModalRecord *record;
        std::function<void(QWidget *)> answer;
        QByteArray test;
    };
    std::optional<Armed> armed;
    QList<ModalCollector *> collectors;
    QList<ModalRecord> unexpected;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        // An answer may itself run an event loop while its window is still up.
        if (!modal || m_handling)
            return;
        m_handling = true;
        if (armed && armed->test != currentTest())
            armed.reset();
        if (armed) {
            const Armed answering = *armed;
            armed.reset();
            record(answering.record, modal);
            if (answering.answer)
                answering.answer(modal);
            else
                close(modal);
        } else if (!collectors.isEmpty()) {
            ModalRecord seen;
            record(&seen, modal);
            collectors.last()->records.append(seen);
            close(modal);
        } else {
            ModalRecord seen;
            record(&seen, modal);
            unexpected.append(seen);
            close(modal);
            QTest::qFail(qPrintable(QStringLiteral("an unexpected modal window \"%1\" came up "
                                                   "(closed): %2")
                                            .arg(seen.title, seen.text)),
                    __FILE__, __LINE__);
        }
        m_handling = false;
    }

    QTimer m_timer;
    bool m_handling = false;
};

Watch *watch()
{
    static Watch *instance = nullptr;
    if (!instance && qobject_cast<QApplication *>(QCoreApplication::instance())) {
        instance = new Watch;
        // Gone with the application, whose timers it uses.
        QObject::connect(qApp, &QObject::destroyed, [] {
            delete instance;
            instance = nullptr;
        });
    }
    return instance;
}

// Watching begins with the application, so that no test can meet a box before it.
void startWatching()
{
    watch();
}
Q_COREAPP_STARTUP_FUNCTION(startWatching)

} // namespace

ModalRecord::~ModalRecord()
{
    if (Watch *w = watch(); w && w->armed && w->armed->record == this)
        w->armed.reset();
}

void answerNextModal(ModalRecord *record, std::function<void(QWidget *)> answer)
{
    if (Watch *w = watch())
        w->armed = Watch::Armed{ record, std::move(answer), currentTest() };
}

ModalCollector::ModalCollector()
{
    if (Watch *w = watch())
        w->collectors.append(this);
}

ModalCollector::~ModalCollector()
{
    if (Watch *w = watch())
        w->collectors.removeOne(this);
}

QStringList ModalCollector::titles() const
{
    QStringList titles;
    for (const ModalRecord &seen : records)
        titles << seen.title;
    return titles;
}

QList<ModalRecord> unexpectedModals()
{
    Watch *w = watch();
    return w ? w->unexpected : QList<ModalRecord>();
}
