#include "transfer/worldlock.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "world/worldformat.h"

namespace transfer {

namespace {

// The holder writes its process number into the file, for the message of whoever waits.
qint64 readHolder(int fd)
{
    char buffer[32] = {};
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    return got > 0 ? QByteArray(buffer, int(got)).trimmed().toLongLong() : 0;
}

} // namespace

QString lockFileName()
{
    return QStringLiteral("chartransfer.lock");
}

WorldLock::~WorldLock()
{
    release();
}

WorldLock::WorldLock(WorldLock &&other) noexcept
    : m_fd(other.m_fd)
    , m_busy(other.m_busy)
    , m_holder(other.m_holder)
    , m_error(std::move(other.m_error))
{
    other.m_fd = -1;
}

WorldLock &WorldLock::operator=(WorldLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_fd = other.m_fd;
        m_busy = other.m_busy;
        m_holder = other.m_holder;
        m_error = std::move(other.m_error);
        other.m_fd = -1;
    }
    return *this;
}

bool WorldLock::acquire(const QString &dir, int waitMs)
{
    release();
    m_busy = false;
    m_holder = 0;
    m_error.clear();
    const QString path = world::filePath(dir, lockFileName());
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = QStringLiteral("cannot open the lock file %1: %2")
                          .arg(path, qt_error_string(errno));
        return false;
    }
    for (int waited = 0;; waited += 50) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_error = QStringLiteral("cannot lock %1: %2").arg(path, qt_error_string(errno));
            ::close(fd);
            return false;
        }
        if (waited >= waitMs) {
            m_busy = true;
            m_holder = readHolder(fd);
            m_error = m_holder > 0
                    ? QStringLiteral("a transfer into this world is in progress (process %1)")
                              .arg(m_holder)
                    : QStringLiteral("a transfer into this world is in progress");
            ::close(fd);
            return false;
        }
        QThread::msleep(50);
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0) [[maybe_unused]]
        const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
    m_fd = fd;
    return true;
}

void WorldLock::release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool WorldLock::held() const
{
    return m_fd >= 0;
}

bool WorldLock::busy() const
{
    return m_busy;
}

qint64 WorldLock::holderPid() const
{
    return m_holder;
}

QString WorldLock::error() const
{
    return m_error;
}

bool worldLockHeld(const QString &dir, qint64 *pid)
{
    const QString path = world::filePath(dir, lockFileName());
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (held && pid)
        *pid = readHolder(fd);
    ::close(fd);
    return held;
}

} // namespace transfer
