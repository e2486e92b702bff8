// Loaded with LD_PRELOAD by the fault tests: makes the Nth write or flush to one named file
// fail the way a full or broken disk makes it fail, and counts the calls it saw so a sweep
// knows when N has passed the last call.
//
// Environment:
//   FAULT_FILE    file name the path must end with (after a '/'); nothing is touched without it
//   FAULT_CALL    write (write, pwrite, writev, pwritev), fsync (fsync, fdatasync) or
//                 truncate (ftruncate); default write
//   FAULT_AT      the matching call that fails, counted from 1; 0 or unset fails none
//   FAULT_ERRNO   ENOSPC (default) or EIO
//   FAULT_MODE    once:   only call N fails
//                 always: call N and every later matching call fail
//                 short:  call N writes half its bytes, every later matching call fails
//                         (a disk that fills up in the middle of a write)
//                 short-once: call N writes half its bytes, later calls work
//   FAULT_REPORT  file that receives "calls=C fired=F" (matching calls seen, faults made);
//                 rewritten after every matching call, so it is current even after a crash
//   FAULT_ALSO_FILE, FAULT_ALSO_CALL, FAULT_ALSO_AT, FAULT_ALSO_ERRNO, FAULT_ALSO_MODE
//                 a second fault of its own, on another file or call, counted apart (not in
//                 the report): a write that fails and a cut back that fails after it
//
// Or, to stop the process dead as a power cut or a kill would:
//   CRASH_DIR     a folder: every write, flush, truncation, file creation, rename and removal
//                 in it (or of it) is counted
//   CRASH_AT      the counted call before which the process kills itself with SIGKILL
//                 (0: none; the calls are only counted)
//   CALL_LOG      with CRASH_DIR, a file that receives a line for each counted call, in
//                 order: "create PATH", "write PATH", "fsync PATH", "truncate PATH",
//                 "rename FROM TO" or "unlink PATH" (a flushed folder shows as "fsync DIR")
//
// Or, to hold the process at one moment while a test does something beside it:
//   PAUSE_FILE    file name: once a file of that name has been put in place (created by
//                 open, or renamed onto), the process stops itself with SIGSTOP, the first
//                 time only; the test lets it go on with SIGCONT
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

enum class Call { Write, Fsync, Truncate };
enum class Mode { Once, Always, Short, ShortOnce };

struct Config
{
    bool active = false;
    char name[256] = {};
    Call call = Call::Write;
    long at = 0;
    int error = ENOSPC;
    Mode mode = Mode::Once;
    char report[1024] = {};
};

// The settings of one fault, from the variables that begin with `prefix`.
Config readConfig(const char *prefix)
{
    const auto variable = [prefix](const char *name) {
        char key[64];
        std::snprintf(key, sizeof key, "%s%s", prefix, name);
        return std::getenv(key);
    };
    Config r;
    const char *name = variable("FILE");
    if (!name || !*name || std::strlen(name) >= sizeof r.name)
        return r;
    r.active = true;
    std::strcpy(r.name, name);
    if (const char *call = variable("CALL")) {
        if (!std::strcmp(call, "fsync"))
            r.call = Call::Fsync;
        else if (!std::strcmp(call, "truncate"))
            r.call = Call::Truncate;
    }
    if (const char *at = variable("AT"))
        r.at = std::strtol(at, nullptr, 10);
    if (const char *error = variable("ERRNO"); error && !std::strcmp(error, "EIO"))
        r.error = EIO;
    if (const char *mode = variable("MODE")) {
        if (!std::strcmp(mode, "always"))
            r.mode = Mode::Always;
        else if (!std::strcmp(mode, "short"))
            r.mode = Mode::Short;
        else if (!std::strcmp(mode, "short-once"))
            r.mode = Mode::ShortOnce;
    }
    if (const char *report = variable("REPORT"); report && std::strlen(report) < sizeof r.report)
        std::strcpy(r.report, report);
    return r;
}

Config &config()
{
    static Config c = readConfig("FAULT_");
    return c;
}

Config &alsoConfig()
{
    static Config c = readConfig("FAULT_ALSO_");
    return c;
}

std::atomic<long> seen{ 0 };
std::atomic<long> fired{ 0 };
std::atomic<long> alsoSeen{ 0 };
// The error of the fault decided last.
std::atomic<int> failure{ ENOSPC };

template <typename F>
F next(const char *symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

// The path of an open descriptor; false when it has none.
bool pathOf(int fd, char *path, size_t size)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, size - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return true;
}

bool matches(const Config &c, int fd)
{
    char path[4096];
    if (!c.active || fd < 0 || !pathOf(fd, path, sizeof path))
        return false;
    const size_t length = std::strlen(path);
    const size_t nameLength = std::strlen(c.name);
    return length > nameLength && path[length - nameLength - 1] == '/'
            && !std::strcmp(path + length - nameLength, c.name);
}

// Rewrites the report file, bypassing the wrappers: "calls=C fired=F".
void report(const char *file, long calls, long fired)
{
    if (!*file)
        return;
    static auto realOpen = next<int (*)(const char *, int, ...)>("open");
    static auto realWrite = next<ssize_t (*)(int, const void *, size_t)>("write");
    const int fd = realOpen(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[128];
    const int n = std::snprintf(text, sizeof text, "calls=%ld fired=%ld\n", calls, fired);
    if (realWrite(fd, text, size_t(n)) < 0) {
        // Nothing to do about it: the sweep then sees no report and fails.
    }
    close(fd);
}

void writeReport()
{
    report(config().report, seen.load(), fired.load());
}

enum class Verdict { Pass, Fail, Half };

// Crash mode: counts the calls that change what is on disk in one folder, and dies before
// the chosen one.
struct CrashConfig
{
    bool active = false;
    char dir[1024] = {};
    long at = 0;
    char report[1024] = {};
    char log[1024] = {};
};

CrashConfig &crashConfig()
{
    static CrashConfig c = [] {
        CrashConfig r;
        const char *dir = std::getenv("CRASH_DIR");
        if (!dir || !*dir || std::strlen(dir) >= sizeof r.dir)
            return r;
        r.active = true;
        std::strcpy(r.dir, dir);
        if (const char *at = std::getenv("CRASH_AT"))
            r.at = std::strtol(at, nullptr, 10);
        if (const char *report = std::getenv("FAULT_REPORT");
                report && std::strlen(report) < sizeof r.report)
            std::strcpy(r.report, report);
        if (const char *log = std::getenv("CALL_LOG"); log && std::strlen(log) < sizeof r.log)
            std::strcpy(r.log, log);
        return r;
    }();
    return c;
}

std::atomic<long> crashCalls{ 0 };

// `path` made absolute in `absolute`, or as it is.
const char *absolutePath(const char *path, char *absolute, size_t size)
{
    if (path[0] == '/' || !getcwd(absolute, size - 1))
        return path;
    std::strncat(absolute, "/", size - std::strlen(absolute) - 1);
    std::strncat(absolute, path, size - std::strlen(absolute) - 1);
    return absolute;
}

// Whether `path` names a file called `name` (after a '/').
bool endsWithName(const char *path, const char *name)
{
    const size_t length = std::strlen(path);
    const size_t nameLength = std::strlen(name);
    return nameLength > 0 && length > nameLength && path[length - nameLength - 1] == '/'
            && !std::strcmp(path + length - nameLength, name);
}

std::atomic<bool> paused{ false };

// Stops the process once a file of the PAUSE_FILE name is in place.
void pausePoint(const char *path, bool succeeded)
{
    static const char *name = std::getenv("PAUSE_FILE");
    if (!name || !path || !succeeded || !endsWithName(path, name) || paused.exchange(true))
        return;
    raise(SIGSTOP);
}

bool inCrashDir(const char *path)
{
    const CrashConfig &c = crashConfig();
    if (!path)
        return false;
    char absolute[4096];
    path = absolutePath(path, absolute, sizeof absolute);
    const size_t length = std::strlen(c.dir);
    return !std::strncmp(path, c.dir, length) && (path[length] == '\0' || path[length] == '/');
}

// Appends one line to the call log, bypassing the wrappers.
void logCall(const char *kind, const char *path, const char *other = nullptr)
{
    const CrashConfig &c = crashConfig();
    if (!*c.log)
        return;
    static auto realOpen = next<int (*)(const char *, int, ...)>("open");
    static auto realWrite = next<ssize_t (*)(int, const void *, size_t)>("write");
    char absolute[4096] = {};
    char otherAbsolute[4096] = {};
    char line[8400];
    const int n = std::snprintf(line, sizeof line, "%s %s%s%s\n", kind,
            absolutePath(path, absolute, sizeof absolute), other ? " " : "",
            other ? absolutePath(other, otherAbsolute, sizeof otherAbsolute) : "");
    const int fd = realOpen(c.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (realWrite(fd, line, size_t(n < int(sizeof line) ? n : int(sizeof line) - 1)) < 0) {
        // Nothing to do about it: the test then misses the line and fails.
    }
    close(fd);
}

void crashPoint(bool counted, const char *kind, const char *path, const char *other = nullptr)
{
    const CrashConfig &c = crashConfig();
    if (!c.active || !counted)
        return;
    const long number = ++crashCalls;
    logCall(kind, path, other);
    report(c.report, number, c.at > 0 && number >= c.at ? 1 : 0);
    if (c.at > 0 && number == c.at)
        raise(SIGKILL);
}

void crashPointFd(int fd, Call call)
{
    if (!crashConfig().active)
        return;
    char path[4096];
    if (pathOf(fd, path, sizeof path)) {
        crashPoint(inCrashDir(path),
                call == Call::Write           ? "write"
                        : call == Call::Fsync ? "fsync"
                                              : "truncate",
                path);
    }
}

// The mode of an open that may create a file, which counts as a crash point.
mode_t creationMode(const char *path, int flags, va_list arguments)
{
    if (!(flags & (O_CREAT | O_TMPFILE)))
        return 0;
    const mode_t mode = mode_t(va_arg(arguments, int));
    if (crashConfig().active)
        crashPoint(inCrashDir(path), "create", path);
    return mode;
}

// Counts a call that matches the fault `c` and says what to do with it.
Verdict decideBy(const Config &c, std::atomic<long> &count, int fd, Call call)
{
    if (c.call != call || !matches(c, fd))
        return Verdict::Pass;
    const long number = ++count;
    Verdict verdict = Verdict::Pass;
    if (c.at > 0 && number >= c.at) {
        const bool first = number == c.at;
        switch (c.mode) {
        case Mode::Once:
            verdict = first ? Verdict::Fail : Verdict::Pass;
            break;
        case Mode::Always:
            verdict = Verdict::Fail;
            break;
        case Mode::Short:
            verdict = first ? Verdict::Half : Verdict::Fail;
            break;
        case Mode::ShortOnce:
            verdict = first ? Verdict::Half : Verdict::Pass;
            break;
        }
    }
    if (verdict != Verdict::Pass)
        failure = c.error;
    return verdict;
}

// Counts a call against both faults and says what to do with it.
Verdict decide(int fd, Call call)
{
    crashPointFd(fd, call);
    const bool counted = config().call == call && matches(config(), fd);
    const Verdict verdict = decideBy(config(), seen, fd, call);
    if (verdict != Verdict::Pass)
        ++fired;
    if (counted)
        writeReport();
    if (verdict != Verdict::Pass)
        return verdict;
    return decideBy(alsoConfig(), alsoSeen, fd, call);
}

} // namespace

extern "C" {

ssize_t write(int fd, const void *data, size_t size)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    switch (decide(fd, Call::Write)) {
    case Verdict::Pass:
        return real(fd, data, size);
    case Verdict::Half:
        if (size / 2 > 0)
            return real(fd, data, size / 2);
        break;
    case Verdict::Fail:
        break;
    }
    errno = failure;
    return -1;
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    switch (decide(fd, Call::Write)) {
    case Verdict::Pass:
        return real(fd, data, size, offset);
    case Verdict::Half:
        if (size / 2 > 0)
            return real(fd, data, size / 2, offset);
        break;
    case Verdict::Fail:
        break;
    }
    errno = failure;
    return -1;
}

ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset)
{
    return pwrite(fd, data, size, offset);
}

// A short vectored write keeps the first half of the first buffer only.
ssize_t writev(int fd, const struct iovec *vector, int count)
{
    static auto real = next<ssize_t (*)(int, const struct iovec *, int)>("writev");
    static auto realWrite = next<ssize_t (*)(int, const void *, size_t)>("write");
    switch (decide(fd, Call::Write)) {
    case Verdict::Pass:
        return real(fd, vector, count);
    case Verdict::Half:
        if (count > 0 && vector[0].iov_len / 2 > 0)
            return realWrite(fd, vector[0].iov_base, vector[0].iov_len / 2);
        break;
    case Verdict::Fail:
        break;
    }
    errno = failure;
    return -1;
}

ssize_t pwritev(int fd, const struct iovec *vector, int count, off_t offset)
{
    static auto real = next<ssize_t (*)(int, const struct iovec *, int, off_t)>("pwritev");
    static auto realPwrite = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    switch (decide(fd, Call::Write)) {
    case Verdict::Pass:
        return real(fd, vector, count, offset);
    case Verdict::Half:
        if (count > 0 && vector[0].iov_len / 2 > 0)
            return realPwrite(fd, vector[0].iov_base, vector[0].iov_len / 2, offset);
        break;
    case Verdict::Fail:
        break;
    }
    errno = failure;
    return -1;
}

ssize_t pwritev64(int fd, const struct iovec *vector, int count, off_t offset)
{
    return pwritev(fd, vector, count, offset);
}

int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    if (decide(fd, Call::Fsync) == Verdict::Pass)
        return real(fd);
    errno = failure;
    return -1;
}

int fdatasync(int fd)
{
    static auto real = next<int (*)(int)>("fdatasync");
    if (decide(fd, Call::Fsync) == Verdict::Pass)
        return real(fd);
    errno = failure;
    return -1;
}

int ftruncate(int fd, off_t size)
{
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    if (decide(fd, Call::Truncate) == Verdict::Pass)
        return real(fd, size);
    errno = failure;
    return -1;
}

int ftruncate64(int fd, off_t size)
{
    return ftruncate(fd, size);
}

int open(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = creationMode(path, flags, arguments);
    va_end(arguments);
    const int fd = real(path, flags, mode);
    if (flags & O_CREAT)
        pausePoint(path, fd >= 0);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = creationMode(path, flags, arguments);
    va_end(arguments);
    const int fd = real(path, flags, mode);
    if (flags & O_CREAT)
        pausePoint(path, fd >= 0);
    return fd;
}

int rename(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    if (crashConfig().active)
        crashPoint(inCrashDir(from) || inCrashDir(to), "rename", from, to);
    const int result = real(from, to);
    pausePoint(to, result == 0);
    return result;
}

int unlink(const char *path)
{
    static auto real = next<int (*)(const char *)>("unlink");
    if (crashConfig().active)
        crashPoint(inCrashDir(path), "unlink", path);
    return real(path);
}

} // extern "C"
