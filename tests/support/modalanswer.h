#pragma once

#include <QList>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

// Every modal window that comes up in a suite with a window is handled here, so that none
// can block a test: the answer armed last with answerNextModal() takes the next one; while a
// ModalCollector lives, it records and closes every other one; any box nobody asked for is
// unexpected: it is recorded, closed, and the test that is running fails at once, naming it.
// A modal window runs its own event loop, in which the handling runs.

// What a modal window showed.
struct ModalRecord
{
    ModalRecord() = default;
    ModalRecord(const ModalRecord &) = default;
    ModalRecord &operator=(const ModalRecord &) = default;
    // An answer armed for this record is dropped with it.
    ~ModalRecord();

    bool ran = false;
    QString title;
    QString text; // a message box's text
};

// Arms the answer for the next modal window of the running test: records its title and, for
// a message box, its text, then lets `answer` act on it. Without `answer` a message box gets
// its OK button pressed and any other dialog is rejected. Arming again replaces an answer
// that was not used yet; an answer not used by the end of its test is dropped.
void answerNextModal(ModalRecord *record, std::function<void(QWidget *)> answer = {});

// For a step that may show any number of boxes: while it lives, every modal window that no
// armed answer takes is recorded and closed (OK pressed, a dialog rejected), in order.
class ModalCollector
{
public:
    ModalCollector();
    ~ModalCollector();
    ModalCollector(const ModalCollector &) = delete;
    ModalCollector &operator=(const ModalCollector &) = delete;

    QList<ModalRecord> records;
    QStringList titles() const;
};

// The unexpected modal windows met so far in this process, oldest first.
QList<ModalRecord> unexpectedModals();
