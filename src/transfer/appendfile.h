#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <sys/types.h>

namespace transfer {

// The system calls through which appends reach a file. Tests swap them to make a write
// come up short, be interrupted or fail, which a full disk does in real life.
struct FileCalls
{
    ssize_t (*pwrite)(int fd, const void *data, size_t size, off_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t size);
};
FileCalls &fileCalls();
// The calls of the system itself.
FileCalls systemFileCalls();

// Appends one block of bytes to the end of a world file so that either all of it is on disk
// or the file is as it was: a failed append cuts the file back to its old size (or removes
// it when the append created it). Nothing is buffered in between, so no failed write can be
// repeated behind our back when the file is closed.
class FileAppend
{
public:
    explicit FileAppend(const QString &path);
    // Rolls back an append that was not committed, then closes the file.
    ~FileAppend();

    FileAppend(const FileAppend &) = delete;
    FileAppend &operator=(const FileAppend &) = delete;

    // Opens the file for reading and writing, creating it when it is missing, and notes its
    // size. False with errorString() set when that fails; nothing was changed then.
    bool open();
    // Writes `bytes` at the end noted by open() and flushes them to the disk. On failure
    // the file is cut back before this returns, and errorString() says why.
    bool append(const QByteArray &bytes);
    // The same for the first `length` bytes of the file `textPath`, copied in pieces.
    bool appendFrom(const QString &textPath, qint64 length);
    // Undoes the append: cuts the file back to its old size, or removes it when open()
    // created it. False when even that failed; restoreError() then says why.
    bool rollback();

    QString path() const { return m_path; }
    qint64 sizeBefore() const { return m_sizeBefore; }
    bool created() const { return m_created; }
    // The system's reason for the last failure, for instance "No space left on device".
    QString errorString() const { return m_error; }
    // Why the file could not be put back after a failure; empty when it was.
    QString restoreError() const { return m_restoreError; }

private:
    void close();
    // After the bytes went out (or failed to): flushes the file, and the folder of a file
    // it created; on any failure cuts the file back.
    bool settle(bool written);
    static constexpr qint64 CopyBlock = 1 << 20;

    QString m_path;
    int m_fd = -1;
    qint64 m_sizeBefore = 0;
    bool m_created = false;
    bool m_written = false; // bytes may have reached the file and are not committed yet
    QString m_error;
    QString m_restoreError;
};

// Writes all of `bytes` at `offset` of the open file `fd` through fileCalls(), going on
// after short and interrupted writes, then flushes the file to disk. False with `error`
// set (the system's reason) when a write or the flush fails.
bool writeAndFlush(int fd, const QByteArray &bytes, qint64 offset, QString *error);
// Writes all of `bytes` at `offset` through fileCalls(), without flushing.
bool writeAll(int fd, QByteArrayView bytes, qint64 offset, QString *error);
// The same for pieces written one after the other, with one flush at the end.
bool writeAndFlush(int fd, const QList<QByteArrayView> &pieces, qint64 offset, QString *error);

// Flushes the folder that holds `path`, so that a file created, renamed or removed in it
// stays so after a power cut. False with `error` set when that fails.
bool syncDirectoryOf(const QString &path, QString *error);

// Puts a file that was appended to back to `size` bytes (or removes it when the append had
// created it) and flushes that to disk. False with `error` set when it cannot.
bool restoreFile(const QString &path, qint64 size, bool created, QString *error);

} // namespace transfer
