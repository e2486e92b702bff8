#include "world/filestamp.h"

#include <QDateTime>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace world {

namespace {

#ifdef Q_OS_UNIX
FileStamp fromStat(const struct stat &info)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
    stamp.inode = quint64(info.st_ino);
    return stamp;
}
#endif

} // namespace

FileStamp stampOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return FileStamp();
    return fromStat(info);
#else
    const QFileInfo info(path);
    if (!info.exists())
        return FileStamp();
    FileStamp stamp;
    stamp.exists = true;
    stamp.size = info.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    return stamp;
#endif
}

FileStamp stampOf(const QFileDevice &file)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if (file.handle() < 0 || ::fstat(file.handle(), &info) != 0)
        return stampOf(file.fileName());
    return fromStat(info);
#else
    return stampOf(file.fileName());
#endif
}

} // namespace world
