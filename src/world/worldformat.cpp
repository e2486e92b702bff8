#include "world/worldformat.h"

#include <QIODevice>

#include <climits>
#include <memory>
#include <utility>
#include <vector>

namespace world {

namespace detail {

// clang-format off
const unsigned char spaceTable[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 0, // TAB LF VT FF CR
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // blank
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // NEL
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // NBSP
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

// Everything the inline form leaves: signs, white space around the number, long or
// overflowing digit runs, and the reference mode.
int toNumberSlow(QByteArrayView word)
{
    if (referenceMode)
        return reference::toNumber(decode(word));
    // The conversion ends at a NUL byte and ignores ASCII white space on either side
    // (not NEL or NBSP), as toInt() does.
    const char *p = word.data();
    const char *end = p + word.size();
    if (const void *nul = word.isEmpty() ? nullptr : std::memchr(p, 0, size_t(word.size())))
        end = static_cast<const char *>(nul);
    const auto asciiSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (p < end && asciiSpace(*p))
        ++p;
    while (end > p && asciiSpace(end[-1]))
        --end;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end)
        return 0;
    long long value = 0;
    for (; p < end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned('0');
        if (digit > 9)
            return 0;
        value = value * 10 + digit;
        if (value > 2147483648LL)
            return 0;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return 0;
    return int(value);
}

} // namespace detail

void setReferenceMode(bool on)
{
    detail::referenceMode = on;
}

QString stripComment(const QString &input)
{
    const qsizetype pos = input.indexOf(QLatin1String("//"));
    return pos < 0 ? input : input.left(pos);
}

// ---- LineReader --------------------------------------------------------------------------

namespace {
// Room past the buffered bytes so that a 64-byte look at the last chunk stays inside the
// allocation.
constexpr qsizetype ScanSlack = 64;
} // namespace

LineReader::LineReader(QIODevice *device, qint64 startOffset, qsizetype blockSize)
    : m_device(device)
    , m_blockSize(qMax<qsizetype>(blockSize, 1))
    , m_base(startOffset)
    , m_read(startOffset)
    , m_reference(detail::referenceMode)
{ }

// Looks at the next 64 buffered bytes (fewer at the end of the buffer) for line feeds.
void LineReader::scanChunk()
{
    const qsizetype count = qMin<qsizetype>(64, m_end - m_scanned);
    quint64 mask = detail::newlines64(m_data + m_scanned);
    if (count < 64)
        mask &= (quint64(1) << count) - 1;
    m_chunk = m_scanned;
    m_newlines = mask;
    m_scanned += count;
}

bool LineReader::readInto(qsizetype at, qsizetype room)
{
    qint64 want = qMin<qint64>(m_blockSize, room);
    if (m_limit >= 0)
        want = qMin<qint64>(want, m_limit - m_read);
    if (want <= 0) {
        m_deviceDone = true;
        return false;
    }
    const qint64 got = m_device->read(m_data + at, want);
    if (got < 0)
        m_error = m_device->errorString();
    if (got <= 0) {
        m_deviceDone = true;
        return false;
    }
    m_end = at + got;
    m_read += got;
    return true;
}

// Moves the unread bytes to the front of the buffer and appends the next block; false when
// the device (or the limit) has nothing more. Only readLine() calls it: the line handed out
// before may be overwritten.
bool LineReader::fill()
{
    if (m_deviceDone)
        return false;
    const qsizetype remaining = m_end - m_begin;
    if (m_begin > 0) {
        if (remaining > 0)
            std::memmove(m_data, m_data + m_begin, size_t(remaining));
        m_scanned -= m_begin;
        m_chunk -= m_begin;
        m_base += m_begin;
        m_begin = 0;
        m_end = remaining;
    }
    // A line longer than the buffer makes it grow; otherwise its size stays fixed.
    const qsizetype capacity = m_buffer.size() - ScanSlack;
    if (capacity < m_end + m_blockSize) {
        m_buffer.resize(qMax<qsizetype>(m_end + m_blockSize, 2 * capacity) + ScanSlack);
        m_data = m_buffer.data();
    }
    const qsizetype before = m_end;
    if (!readInto(m_end, m_buffer.size() - ScanSlack - m_end)) {
        m_end = before;
        return false;
    }
    return true;
}

// atEnd() found every buffered byte consumed. The line handed out last must stay as it is,
// so the next block goes into the other of two buffers; that one's old contents belong to
// a line that an earlier readLine() already replaced.
bool LineReader::fillKeepingLine()
{
    if (m_reference)
        return !(m_deviceDone || (m_limit >= 0 && m_read >= m_limit) || m_device->atEnd());
    if (m_deviceDone)
        return false;
    std::swap(m_buffer, m_spare);
    if (m_buffer.size() < m_blockSize + ScanSlack)
        m_buffer.resize(m_blockSize + ScanSlack);
    m_data = m_buffer.data();
    m_base += m_end;
    m_begin = m_end = m_scanned = m_chunk = 0;
    m_newlines = 0;
    return readInto(0, m_buffer.size() - ScanSlack);
}

bool LineReader::readLineSlow()
{
    if (m_reference)
        return readLineReference();
    for (;;) {
        // Every line feed before m_scanned has been handed out; look further.
        while (m_scanned < m_end) {
            scanChunk();
            if (m_newlines)
                return readLine();
        }
        if (!fill())
            break;
    }
    if (m_begin == m_end)
        return false;
    // The last line has no line feed. A carriage return that ends the file is still taken
    // as part of a line break, as a text stream takes it.
    const char *start = m_data + m_begin;
    qsizetype length = m_end - m_begin;
    if (start[length - 1] == '\r')
        --length;
    m_line = QByteArrayView(start, length);
    m_begin = m_scanned = m_end;
    m_terminated = false;
    return true;
}

// One line the plain way: byte by byte up to a line feed, then the terminator cut as a
// text stream cuts it.
bool LineReader::readLineReference()
{
    if (atEnd())
        return false;
    QByteArray bytes;
    char c = 0;
    while ((m_limit < 0 || m_read < m_limit) && m_device->getChar(&c)) {
        ++m_read;
        bytes += c;
        if (c == '\n')
            break;
    }
    if (bytes.isEmpty()) {
        m_deviceDone = true;
        m_error = m_device->errorString();
        return false;
    }
    m_base += bytes.size();
    m_terminated = bytes.endsWith('\n');
    if (m_terminated)
        bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    m_referenceLine = bytes;
    m_line = m_referenceLine;
    return true;
}

// ---- ConditionedLine ---------------------------------------------------------------------

// The conditioned line as a string, and its words as section() gives them.
struct ConditionedLine::Reference
{
    explicit Reference(QString conditioned)
        : text(std::move(conditioned))
    {
        const qsizetype count = text.count(QLatin1Char(' ')) + 1;
        for (qsizetype i = 0; i < count; ++i)
            words.append(encode(reference::word(text, int(i))));
    }
    QString text;
    QList<QByteArray> words;
};

ConditionedLine ConditionedLine::referenceForLoader(QByteArrayView raw)
{
    ConditionedLine line;
    line.m_reference = nextReference(reference::conditionForLoader(decode(raw)));
    return line;
}

ConditionedLine ConditionedLine::referenceForScanner(QByteArrayView raw)
{
    ConditionedLine line;
    line.m_reference = nextReference(reference::conditionForScanner(decode(raw)));
    return line;
}

// The reference forms of the lines conditioned last, reused round robin.
const ConditionedLine::Reference *ConditionedLine::nextReference(QString conditioned)
{
    constexpr int RingSize = 1 << 16;
    thread_local std::vector<std::unique_ptr<ConditionedLine::Reference>> ring(RingSize);
    thread_local int next = 0;
    std::unique_ptr<ConditionedLine::Reference> &slot = ring[size_t(next)];
    next = (next + 1) % RingSize;
    slot = std::make_unique<ConditionedLine::Reference>(std::move(conditioned));
    return slot.get();
}

QByteArrayView ConditionedLine::referenceWord(int i) const
{
    if (i < 0 || i >= m_reference->words.size())
        return QByteArrayView();
    return m_reference->words.at(i);
}

bool ConditionedLine::referenceKeyIs(QByteArrayView key) const
{
    return reference::word(m_reference->text, 0) == decode(key);
}

bool ConditionedLine::referenceIs(QByteArrayView text) const
{
    return m_reference->text == decode(text);
}

bool ConditionedLine::referenceIsEmpty() const
{
    return m_reference->text.isEmpty();
}

QString ConditionedLine::wordsFrom(int i) const
{
    if (m_reference)
        return reference::wordsFrom(m_reference->text, i);
    const Text line = conditioned();
    const char *p = line.text.data();
    const char *end = p + line.text.size();
    for (int n = 0; n < i; ++n) {
        while (p < end && !isSpace(*p))
            ++p;
        if (p == end)
            return QString();
        while (p < end && isSpace(*p))
            ++p;
    }
    // Join the remaining words by single blanks.
    QString result(end - p + 1, Qt::Uninitialized);
    QChar *out = result.data();
    while (p < end) {
        if (isSpace(*p)) {
            *out++ = QLatin1Char(' ');
            while (p < end && isSpace(*p))
                ++p;
        } else {
            *out++ = QLatin1Char(*p++);
        }
    }
    if (line.trailingBlank)
        *out++ = QLatin1Char(' ');
    result.truncate(out - result.constData());
    return result;
}

QString ConditionedLine::toString() const
{
    return wordsFrom(0);
}

int toNumber(const QString &word)
{
    return reference::toNumber(word);
}

namespace reference {

QString conditionForLoader(const QString &raw)
{
    return stripComment(raw.simplified());
}

QString conditionForScanner(const QString &raw)
{
    return stripComment(raw).simplified();
}

QString word(const QString &line, int i)
{
    return line.section(QLatin1Char(' '), i, i);
}

QString wordsFrom(const QString &line, int i)
{
    return line.section(QLatin1Char(' '), i, -1);
}

int toNumber(const QString &word)
{
    return word.toInt(nullptr, 10);
}

} // namespace reference

} // namespace world
