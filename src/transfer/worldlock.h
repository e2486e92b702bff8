#pragma once

#include <QString>

namespace transfer {

// "chartransfer.lock", in the world directory.
QString lockFileName();

// The exclusive lock on one world: whatever writes or recovers a world holds it, so that
// a second program neither undoes a running transfer nor draws the same numbers.
// An advisory lock (flock) on the lock file, held through the open descriptor, so a killed
// process releases it. The file itself stays in the world when the lock is released: it
// is the held descriptor that locks, never the file's presence, so a file left behind
// (after a crash, say) locks nothing. While the lock is held the file names the holder's
// process, for the message a second program shows.
//
// Move-only; the destructor releases.
class WorldLock
{
public:
    WorldLock() = default;
    ~WorldLock();
    WorldLock(WorldLock &&other) noexcept;
    WorldLock &operator=(WorldLock &&other) noexcept;
    WorldLock(const WorldLock &) = delete;
    WorldLock &operator=(const WorldLock &) = delete;

    // Takes the lock of the world in `dir`, trying for up to `waitMs` milliseconds
    // (0: once). False when another process holds it (busy() true, holderPid() its
    // process when known) or the lock file cannot be made (error() says why).
    bool acquire(const QString &dir, int waitMs = 0);
    void release();
    bool held() const { return m_fd >= 0; }
    bool busy() const { return m_busy; }
    qint64 holderPid() const { return m_holder; }
    // The text for the user: "a transfer into this world is in progress (process N)"
    // or the reason the lock file could not be opened.
    QString error() const { return m_error; }

private:
    int m_fd = -1;
    bool m_busy = false;
    qint64 m_holder = 0;
    QString m_error;
};

// True when another process holds the lock of `dir` right now (without taking it).
bool worldLockHeld(const QString &dir, qint64 *pid = nullptr);

// The message for a world whose lock another process holds: "a transfer into this world is
// in progress (process N)", without the process when it is not known.
QString inProgressText(qint64 pid);

} // namespace transfer
