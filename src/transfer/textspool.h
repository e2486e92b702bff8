#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QString>

namespace transfer {

// A text written to a file of its own while it is composed, so that a long one (a merge's
// hundreds of megabytes) never has to be held in memory. It goes out in blocks of a MiB,
// through fileCalls() like every write of an append, and is flushed at the end; its size
// and SHA-1 are what a journal names it by.
class TextSpool
{
public:
    TextSpool() = default;
    // Closes the file; it stays on disk.
    ~TextSpool();
    TextSpool(const TextSpool &) = delete;
    TextSpool &operator=(const TextSpool &) = delete;

    // Creates the file, or empties one that is there. False with errorString() set.
    bool open(const QString &path);
    bool isOpen() const { return m_fd >= 0; }
    // Adds to the text; a failure to write is kept for finish().
    void add(QByteArrayView bytes);
    // Writes what is still held and flushes the file to disk. False with errorString() set
    // when any write or the flush failed.
    bool finish();

    QString path() const { return m_path; }
    qint64 size() const { return m_size; }
    // The SHA-1 of all that was added, in hexadecimal; once finish() is done.
    QByteArray digest() const { return m_digest; }
    QString errorString() const { return m_error; }

private:
    bool writeHeld();

    QString m_path;
    int m_fd = -1;
    QByteArray m_held;
    qint64 m_size = 0;
    qint64 m_written = 0;
    QCryptographicHash m_hash{ QCryptographicHash::Sha1 };
    QByteArray m_digest;
    QString m_error;
};

} // namespace transfer
