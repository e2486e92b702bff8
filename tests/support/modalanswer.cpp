#include "support/modalanswer.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

void poll(ModalRecord *record, std::function<void(QWidget *)> answer, int triesLeft)
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal) {
        if (triesLeft > 0)
            QTimer::singleShot(10, [=] { poll(record, answer, triesLeft - 1); });
        return;
    }
    record->ran = true;
    record->title = modal->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(modal))
        record->text = box->text();
    if (answer) {
        answer(modal);
    } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        if (ok)
            ok->click();
        else
            box->reject();
    } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
        dialog->reject();
    }
}

} // namespace

void answerNextModal(ModalRecord *record, std::function<void(QWidget *)> answer)
{
    QTimer::singleShot(0, [=] { poll(record, answer, 500); });
}
