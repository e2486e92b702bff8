#pragma once

#include <QString>

QT_BEGIN_NAMESPACE
class QFileDevice;
QT_END_NAMESPACE

// What a world file looked like when it was loaded, so a transfer can tell whether it
// changed on disk since.
struct FileStamp
{
    bool exists = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    quint64 inode = 0;
};

inline bool operator==(const FileStamp &a, const FileStamp &b)
{
    return a.exists == b.exists && a.size == b.size && a.modifiedNs == b.modifiedNs
            && a.inode == b.inode;
}
inline bool operator!=(const FileStamp &a, const FileStamp &b)
{
    return !(a == b);
}

namespace world {

// What the file at `path` is now: size, modification time and inode, or exists = false
// when it cannot be looked at. Two stamps differ when the file was written or replaced.
FileStamp stampOf(const QString &path);

// The same for a file that is open, taken from its descriptor, so it describes exactly
// the file being read even if the path is replaced meanwhile.
FileStamp stampOf(const QFileDevice &file);

} // namespace world
