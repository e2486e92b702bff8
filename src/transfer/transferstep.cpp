#include "transfer/transferstep.h"

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

void beginStep(engine::Session &session)
{
    if (session.transferRunning)
        return;
    session.transferAppends.clear();
    session.transferFailure.clear();
    session.transferRestoreFailures.clear();
}

void noteFailure(engine::Session &session, const QString &text)
{
    if (session.transferFailure.isEmpty())
        session.transferFailure = text;
}

bool openDestination(engine::Session &session, FileAppend *file)
{
    if (file->open())
        return true;
    noteFailure(session,
            QStringLiteral("Could not open %1: %2.").arg(file->path(), file->errorString()));
    return false;
}

namespace {

bool commit(engine::Session &session, FileAppend *file, bool appended)
{
    if (appended) {
        if (session.transferRunning)
            session.transferAppends.append({ file->path(), file->sizeBefore(), file->created() });
        return true;
    }
    noteFailure(session,
            QStringLiteral("Could not write %1: %2.").arg(file->path(), file->errorString()));
    if (!file->restoreError().isEmpty()) {
        session.transferRestoreFailures.append(restoreFailureText(
                file->path(), file->sizeBefore(), file->created(), file->restoreError()));
    }
    return false;
}

} // namespace

bool commitAppend(engine::Session &session, FileAppend *file, const QByteArray &bytes)
{
    return commit(session, file, file->append(bytes));
}

bool commitAppendFrom(
        engine::Session &session, FileAppend *file, const QString &textPath, qint64 length)
{
    return commit(session, file, file->appendFrom(textPath, length));
}

void restoreAppends(engine::Session &session)
{
    for (auto it = session.transferAppends.crbegin(); it != session.transferAppends.crend(); ++it) {
        QString why;
        if (!restoreFile(it->path, it->sizeBefore, it->created, &why)) {
            session.transferRestoreFailures.append(
                    restoreFailureText(it->path, it->sizeBefore, it->created, why));
        }
    }
    session.transferAppends.clear();
}

} // namespace transfer
