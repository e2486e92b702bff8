#include "transfer/worldlock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "world/worldformat.h"

namespace transfer {

namespace {

// How often a waiting acquire tries again.
constexpr int RetryMs = 20;

// The whole file, as an open file description lock: it belongs to the descriptor, not to
// the process, so two locks in one process exclude each other as two processes do, and
// whether it is held can be asked without taking it.
struct flock wholeFile(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

QByteArray lockPath(const QString &dir)
{
    return QFile::encodeName(world::filePath(dir, lockFileName()));
}

// The process the lock file names; 0 when it names none (the holder has not written it yet).
qint64 recordedPid(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    return QByteArray(text, int(n)).trimmed().toLongLong();
}

} // namespace

QString lockFileName()
{
    return QStringLiteral("chartransfer.lock");
}

QString inProgressText(qint64 pid)
{
    if (pid > 0)
        return QStringLiteral("a transfer into this world is in progress (process %1)").arg(pid);
    return QStringLiteral("a transfer into this world is in progress");
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
    const QByteArray path = lockPath(dir);
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = QStringLiteral("Could not open %1, the lock that keeps two programs from "
                                 "writing %2 and %3 at once: %4.")
                          .arg(QFile::decodeName(path), world::charactersFileName(),
                                  world::itemsFileName(), qt_error_string(errno));
        return false;
    }
    const QDeadlineTimer deadline(qMax(waitMs, 0));
    for (;;) {
        struct flock lock = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
            break;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            m_error = QStringLiteral("Could not lock %1: %2.")
                              .arg(QFile::decodeName(path), qt_error_string(errno));
            ::close(fd);
            return false;
        }
        if (errno == EINTR)
            continue;
        if (deadline.hasExpired()) {
            m_busy = true;
            m_holder = recordedPid(fd);
            m_error = inProgressText(m_holder);
            ::close(fd);
            return false;
        }
        QThread::msleep(quint64(qMin<qint64>(RetryMs, qMax<qint64>(deadline.remainingTime(), 1))));
    }
    m_fd = fd;
    // The holder's process, for the message a second program shows. Nothing depends on it
    // reaching the disk.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
        // The lock holds all the same; the other program's message just names no process.
    }
    return true;
}

void WorldLock::release()
{
    if (m_fd < 0)
        return;
    // A file left behind names nobody. Closing the descriptor is what releases the lock.
    if (::ftruncate(m_fd, 0) != 0) {
        // It locks nothing once released, whatever it holds.
    }
    ::close(m_fd);
    m_fd = -1;
}

bool worldLockHeld(const QString &dir, qint64 *pid)
{
    const int fd = ::open(lockPath(dir).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock lock = wholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    if (held && pid)
        *pid = recordedPid(fd);
    ::close(fd);
    return held;
}

} // namespace transfer
