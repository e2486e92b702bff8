#pragma once

#include <QByteArray>
#include <QString>

#include "engine/session.h"

namespace transfer {

class FileAppend;

// Starts a writer step. Outside a running transfer each step stands alone, so what an
// earlier step noted is forgotten.
void beginStep(engine::Session &session);

// Notes the first failure of the running transfer, as the user is to read it.
void noteFailure(engine::Session &session, const QString &text);

// Opens the destination file of a step; on failure notes why and returns false.
bool openDestination(engine::Session &session, FileAppend *file);

// Appends a step's bytes and flushes them to disk. On success the append is remembered so
// that a later failure of the transfer can take it back; on failure the file is already cut
// back and the failure noted.
bool commitAppend(engine::Session &session, FileAppend *file, const QByteArray &bytes);
// The same for the first `length` bytes of the file `textPath`.
bool commitAppendFrom(
        engine::Session &session, FileAppend *file, const QString &textPath, qint64 length);

// Puts every file the running transfer appended to back as it was, latest first, noting
// each file that cannot be put back.
void restoreAppends(engine::Session &session);

} // namespace transfer
