#include "transfer/appendfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace transfer {

namespace {

QString systemReason(int error)
{
    return qt_error_string(error);
}

int openRetrying(const QByteArray &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

// A file created or removed is only durable once its directory entry is on disk too.
bool syncDirectoryOf(const QString &path, QString *error)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(path).path());
    const int fd = openRetrying(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemReason(errno);
        return false;
    }
    const bool ok = fileCalls().fsync(fd) == 0;
    if (!ok)
        *error = systemReason(errno);
    ::close(fd);
    return ok;
}

namespace {

bool removeCreated(const QString &path, QString *error)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        *error = systemReason(errno);
        return false;
    }
    return syncDirectoryOf(path, error);
}

// Cuts an open file back to `size` and makes that durable. A failed fsync is never
// repeated: after one, the kernel may already have dropped the pages it could not write.
bool truncateOpen(int fd, qint64 size, QString *error)
{
    int result;
    do {
        result = fileCalls().ftruncate(fd, off_t(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0 || fileCalls().fsync(fd) != 0) {
        *error = systemReason(errno);
        return false;
    }
    return true;
}

} // namespace

FileCalls systemFileCalls()
{
    return FileCalls{ ::pwrite, ::fsync, ::ftruncate };
}

FileCalls &fileCalls()
{
    static FileCalls calls = systemFileCalls();
    return calls;
}

bool writeAll(int fd, QByteArrayView bytes, qint64 offset, QString *error)
{
    const char *data = bytes.data();
    const qint64 total = bytes.size();
    qint64 done = 0;
    while (done < total) {
        const ssize_t n =
                fileCalls().pwrite(fd, data + done, size_t(total - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        // A write that takes nothing would take nothing forever: the disk is full.
        if (n <= 0) {
            *error = systemReason(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}

namespace {

bool flush(int fd, QString *error)
{
    // A failed flush is never repeated: after one, the kernel may already have dropped the
    // pages it could not write.
    if (fileCalls().fsync(fd) != 0) {
        *error = systemReason(errno);
        return false;
    }
    return true;
}

} // namespace

bool writeAndFlush(int fd, const QByteArray &bytes, qint64 offset, QString *error)
{
    return writeAll(fd, bytes, offset, error) && flush(fd, error);
}

bool writeAndFlush(int fd, const QList<QByteArrayView> &pieces, qint64 offset, QString *error)
{
    for (const QByteArrayView piece : pieces) {
        if (!writeAll(fd, piece, offset, error))
            return false;
        offset += piece.size();
    }
    return flush(fd, error);
}

FileAppend::FileAppend(const QString &path)
    : m_path(path)
{ }

FileAppend::~FileAppend()
{
    if (m_written)
        rollback();
    close();
}

void FileAppend::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool FileAppend::open()
{
    const QByteArray native = QFile::encodeName(m_path);
    for (int attempt = 1;; ++attempt) {
        m_fd = openRetrying(native, O_RDWR | O_CLOEXEC);
        if (m_fd >= 0) {
            m_created = false;
            break;
        }
        if (errno != ENOENT) {
            m_error = systemReason(errno);
            return false;
        }
        m_fd = openRetrying(native, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_created = true;
            break;
        }
        // Someone else created it in between: open that one. A symbolic link that points
        // nowhere looks missing to the first open and present to the second, every time.
        if (errno != EEXIST || attempt == 3) {
            struct stat link;
            const bool dangling = errno == EEXIST && ::lstat(native.constData(), &link) == 0
                    && S_ISLNK(link.st_mode);
            m_error = dangling ? QStringLiteral("It is a symbolic link to a file that does not "
                                                "exist")
                               : systemReason(errno);
            return false;
        }
    }
    // Appending to anything but a plain file (a FIFO, a device) could block or lose data.
    struct stat info;
    const bool statted = ::fstat(m_fd, &info) == 0;
    if (!statted || !S_ISREG(info.st_mode)) {
        m_error = statted ? QStringLiteral("It is not a regular file") : systemReason(errno);
        close();
        if (m_created) {
            QString ignored;
            removeCreated(m_path, &ignored);
        }
        return false;
    }
    m_sizeBefore = info.st_size;
    return true;
}

bool FileAppend::append(const QByteArray &bytes)
{
    Q_ASSERT(m_fd >= 0);
    m_written = true;
    return settle(writeAll(m_fd, bytes, m_sizeBefore, &m_error));
}

bool FileAppend::appendFrom(const QString &textPath, qint64 length)
{
    Q_ASSERT(m_fd >= 0);
    m_written = true;
    const int text = openRetrying(QFile::encodeName(textPath), O_RDONLY | O_CLOEXEC);
    bool ok = text >= 0;
    if (!ok)
        m_error = QStringLiteral("Could not read %1: %2").arg(textPath, systemReason(errno));
    // In pieces, so that a long text never needs to be in memory.
    QByteArray buffer(qsizetype(qMin<qint64>(length, CopyBlock)), Qt::Uninitialized);
    for (qint64 done = 0; ok && done < length;) {
        const ssize_t n = ::pread(text, buffer.data(),
                size_t(qMin<qint64>(length - done, buffer.size())), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = QStringLiteral("Could not read %1: %2")
                              .arg(textPath,
                                      n < 0 ? systemReason(errno)
                                            : QStringLiteral("it is shorter than was written"));
            ok = false;
            break;
        }
        ok = writeAll(m_fd, QByteArrayView(buffer.constData(), n), m_sizeBefore + done, &m_error);
        done += n;
    }
    if (text >= 0)
        ::close(text);
    return settle(ok);
}

bool FileAppend::settle(bool written)
{
    if (!written || !flush(m_fd, &m_error) || (m_created && !syncDirectoryOf(m_path, &m_error))) {
        rollback();
        return false;
    }
    m_written = false;
    return true;
}

bool FileAppend::rollback()
{
    m_written = false;
    QString failure;
    bool restored;
    if (m_created) {
        close();
        restored = removeCreated(m_path, &failure);
    } else if (m_fd >= 0) {
        restored = truncateOpen(m_fd, m_sizeBefore, &failure);
    } else {
        restored = restoreFile(m_path, m_sizeBefore, false, &failure);
    }
    if (!restored)
        m_restoreError = failure;
    return restored;
}

bool restoreFile(const QString &path, qint64 size, bool created, QString *error)
{
    if (created)
        return removeCreated(path, error);
    const int fd = openRetrying(QFile::encodeName(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemReason(errno);
        return false;
    }
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok) {
        *error = systemReason(errno);
    } else if (info.st_size < size) {
        // Something else cut it shorter; growing it back would only add zero bytes.
        *error = QStringLiteral("It is now shorter than before the transfer");
        ok = false;
    } else {
        ok = truncateOpen(fd, size, error);
    }
    ::close(fd);
    return ok;
}

} // namespace transfer
