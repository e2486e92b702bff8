#pragma once

#include <QString>

QT_BEGIN_NAMESPACE
class QFileDevice;
QT_END_NAMESPACE

// FileStamp lives with the window's state in app/mainwindow.h; include that to use these.
struct FileStamp;

namespace world {

// What the file at `path` is now: size, modification time and inode, or exists = false
// when it cannot be looked at. Two stamps differ when the file was written or replaced.
FileStamp stampOf(const QString &path);

// The same for a file that is open, taken from its descriptor, so it describes exactly
// the file being read even if the path is replaced meanwhile.
FileStamp stampOf(const QFileDevice &file);

} // namespace world
