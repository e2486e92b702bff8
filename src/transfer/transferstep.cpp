#include "transfer/transferstep.h"

#include "app/mainwindow.h"
#include "transfer/appendfile.h"

namespace transfer {

namespace {

QString restoreFailureText(const QString &path, qint64 size, bool created, const QString &why)
{
    if (created)
        return QStringLiteral("%1, which the transfer created, could not be removed (%2)")
                .arg(path, why);
    return QStringLiteral("%1 could not be cut back to its former %2 bytes (%3)")
            .arg(path)
            .arg(size)
            .arg(why);
}

} // namespace

void beginStep(MainWindow *window)
{
    if (window->transferRunning)
        return;
    window->transferAppends.clear();
    window->transferFailure.clear();
    window->transferRestoreFailures.clear();
}

void noteFailure(MainWindow *window, const QString &text)
{
    if (window->transferFailure.isEmpty())
        window->transferFailure = text;
}

bool openDestination(MainWindow *window, FileAppend *file)
{
    if (file->open())
        return true;
    noteFailure(window,
            QStringLiteral("Could not open %1: %2.").arg(file->path(), file->errorString()));
    return false;
}

bool commitAppend(MainWindow *window, FileAppend *file, const QByteArray &bytes)
{
    if (file->append(bytes)) {
        if (window->transferRunning)
            window->transferAppends.append({ file->path(), file->sizeBefore(), file->created() });
        return true;
    }
    noteFailure(window,
            QStringLiteral("Could not write %1: %2.").arg(file->path(), file->errorString()));
    if (!file->restoreError().isEmpty()) {
        window->transferRestoreFailures.append(restoreFailureText(
                file->path(), file->sizeBefore(), file->created(), file->restoreError()));
    }
    return false;
}

void restoreAppends(MainWindow *window)
{
    for (auto it = window->transferAppends.crbegin(); it != window->transferAppends.crend(); ++it) {
        QString why;
        if (!restoreFile(it->path, it->sizeBefore, it->created, &why)) {
            window->transferRestoreFailures.append(
                    restoreFailureText(it->path, it->sizeBefore, it->created, why));
        }
    }
    window->transferAppends.clear();
}

} // namespace transfer
