#pragma once

#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

// Answers modal dialogs that a call opens and runs to completion, as a user would.
struct ModalRecord
{
    bool ran = false;
    QString title;
    QString text;
};

// Waits (from the event loop) for the next modal widget, records its title and, for a
// message box, its text, then lets `answer` act on it. Without `answer` a message box gets
// its OK button pressed and any other dialog is rejected.
void answerNextModal(ModalRecord *record, std::function<void(QWidget *)> answer = {});
