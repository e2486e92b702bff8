#include "transfer/textspool.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "transfer/appendfile.h"

namespace transfer {

namespace {

constexpr qsizetype Block = 1 << 20;

} // namespace

TextSpool::~TextSpool()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TextSpool::open(const QString &path)
{
    m_path = path;
    // Always a new file of our own: whatever stands at that name (one left by an earlier
    // run, or a link someone put there) is removed, never written through.
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) != 0 && errno != ENOENT) {
        m_error = qt_error_string(errno);
        return false;
    }
    m_fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = qt_error_string(errno);
        return false;
    }
    m_held.reserve(Block);
    return true;
}

void TextSpool::add(QByteArrayView bytes)
{
    m_size += bytes.size();
    m_hash.addData(bytes);
    m_held.append(bytes);
    if (m_held.size() >= Block)
        writeHeld();
}

bool TextSpool::writeHeld()
{
    if (m_fd < 0 || !m_error.isEmpty()) {
        m_held.resize(0);
        return false;
    }
    const bool ok = writeAll(m_fd, m_held, m_written, &m_error);
    m_written += m_held.size();
    m_held.resize(0); // keeps its room for the next block
    return ok;
}

bool TextSpool::finish()
{
    if (m_fd < 0)
        return false;
    writeHeld();
    m_digest = m_hash.result().toHex();
    if (m_error.isEmpty() && fileCalls().fsync(m_fd) != 0)
        m_error = qt_error_string(errno);
    return m_error.isEmpty();
}

} // namespace transfer
