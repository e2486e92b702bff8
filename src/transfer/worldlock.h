#pragma once

#include <QString>
#include <QtGlobal>

namespace transfer {

// "chartransfer.lock", in the world directory.
QString lockFileName();

// The exclusive lock on one world: whatever writes or recovers a world holds it, so that
// a second program neither undoes a running transfer nor draws the same numbers.
// An advisory lock (flock or fcntl OFD lock) on the lock file, held through the open
// descriptor, so a killed process releases it. Move-only; the destructor releases.
class WorldLock
{
public:
    WorldLock() = default;
    ~WorldLock();
    WorldLock(WorldLock &&other) noexcept;
    WorldLock &operator=(WorldLock &&other) noexcept;
    // Takes the lock of the world in `dir`, trying for up to `waitMs` milliseconds
    // (0: once). False when another process holds it (busy() true, holderPid() its
    // process when known) or the lock file cannot be made (error() says why).
    bool acquire(const QString &dir, int waitMs = 0);
    void release();
    bool held() const;
    bool busy() const;
    qint64 holderPid() const;
    // The text for the user: "a transfer into this world is in progress (process N)"
    // or the reason the lock file could not be opened.
    QString error() const;

private:
    int m_fd = -1;
    bool m_busy = false;
    qint64 m_holder = 0;
    QString m_error;
};

// True when another process holds the lock of `dir` right now (without taking it).
bool worldLockHeld(const QString &dir, qint64 *pid = nullptr);

} // namespace transfer
