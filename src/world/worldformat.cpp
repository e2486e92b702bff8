#include "world/worldformat.h"

#include <QIODevice>

#include <climits>
#include <cstring>

namespace world {

namespace {

constexpr qsizetype BlockSize = 1 << 20;

QByteArrayView trimmed(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace

QString stripComment(const QString &input)
{
    const qsizetype pos = input.indexOf(QLatin1String("//"));
    return pos < 0 ? input : input.left(pos);
}

QByteArrayView stripComment(QByteArrayView input)
{
    const char *data = input.data();
    const qsizetype size = input.size();
    for (qsizetype i = 0; i + 1 < size;) {
        const void *slash = std::memchr(data + i, '/', size_t(size - 1 - i));
        if (!slash)
            break;
        i = static_cast<const char *>(slash) - data;
        if (data[i + 1] == '/')
            return input.first(i);
        i += 1;
    }
    return input;
}

LineReader::LineReader(QIODevice *device, qint64 startOffset)
    : m_device(device)
    , m_pos(startOffset)
    , m_read(startOffset)
{
}

// Moves unread bytes to the front of the buffer and appends the next block; false when the
// device (or the limit) has nothing more.
bool LineReader::fill()
{
    if (m_deviceDone)
        return false;
    if (m_begin > 0) {
        const qsizetype remaining = m_end - m_begin;
        if (remaining > 0)
            std::memmove(m_buffer.data(), m_buffer.constData() + m_begin, size_t(remaining));
        m_end = remaining;
        m_begin = 0;
    }
    qint64 want = BlockSize;
    if (m_limit >= 0)
        want = qMin<qint64>(want, m_limit - m_read);
    if (want <= 0) {
        m_deviceDone = true;
        return false;
    }
    // A line longer than the buffer makes it grow; otherwise its size stays fixed.
    if (m_buffer.size() < m_end + want)
        m_buffer.resize(qMax<qsizetype>(m_end + want, 2 * m_buffer.size()));
    const qint64 got = m_device->read(m_buffer.data() + m_end, want);
    if (got < 0)
        m_error = m_device->errorString();
    if (got <= 0) {
        m_deviceDone = true;
        return false;
    }
    m_end += got;
    m_read += got;
    return true;
}

bool LineReader::atEnd()
{
    return m_begin == m_end && !fill();
}

bool LineReader::readLine()
{
    if (atEnd())
        return false;
    qsizetype searchFrom = m_begin;
    for (;;) {
        const void *found = std::memchr(m_buffer.constData() + searchFrom, '\n',
                                        size_t(m_end - searchFrom));
        if (found) {
            const qsizetype nl = static_cast<const char *>(found) - m_buffer.constData();
            qsizetype lineEnd = nl;
            if (lineEnd > m_begin && m_buffer.at(lineEnd - 1) == '\r')
                --lineEnd;
            m_line = QByteArrayView(m_buffer.constData() + m_begin, lineEnd - m_begin);
            m_pos += nl + 1 - m_begin;
            m_begin = nl + 1;
            m_terminated = true;
            return true;
        }
        const qsizetype scanned = m_end - m_begin;
        if (!fill())
            break;
        searchFrom = m_begin + scanned;
    }
    // The last line has no line feed. A carriage return that ends the file is still taken
    // as part of a line break, as a text stream takes it.
    qsizetype lineEnd = m_end;
    if (lineEnd > m_begin && m_buffer.at(lineEnd - 1) == '\r')
        --lineEnd;
    m_line = QByteArrayView(m_buffer.constData() + m_begin, lineEnd - m_begin);
    m_pos += m_end - m_begin;
    m_begin = m_end;
    m_terminated = false;
    return true;
}

ConditionedLine ConditionedLine::forLoader(QByteArrayView raw)
{
    const QByteArrayView kept = stripComment(raw);
    ConditionedLine line;
    line.m_text = trimmed(kept);
    // Simplifying first turns the white space before a cut comment into one blank that the
    // cut leaves behind, but only when some text stands before it.
    line.m_trailingBlank = kept.size() < raw.size() && !line.m_text.isEmpty()
            && isSpace(kept.back());
    return line;
}

ConditionedLine ConditionedLine::forScanner(QByteArrayView raw)
{
    ConditionedLine line;
    line.m_text = trimmed(stripComment(raw));
    return line;
}

QByteArrayView ConditionedLine::word(int i) const
{
    const char *p = m_text.data();
    const char *end = p + m_text.size();
    for (int n = 0; p < end; ++n) {
        const char *start = p;
        while (p < end && !isSpace(*p))
            ++p;
        if (n == i)
            return QByteArrayView(start, p - start);
        while (p < end && isSpace(*p))
            ++p;
    }
    return QByteArrayView();
}

bool ConditionedLine::keyIs(QByteArrayView key) const
{
    const qsizetype n = key.size();
    if (m_text.size() < n || std::memcmp(m_text.data(), key.data(), size_t(n)) != 0)
        return false;
    return m_text.size() == n || isSpace(m_text[n]);
}

bool ConditionedLine::is(QByteArrayView text) const
{
    return !m_trailingBlank && m_text == text;
}

QString ConditionedLine::wordsFrom(int i) const
{
    const char *p = m_text.data();
    const char *end = p + m_text.size();
    for (int n = 0; n < i; ++n) {
        while (p < end && !isSpace(*p))
            ++p;
        if (p == end)
            return QString();
        while (p < end && isSpace(*p))
            ++p;
    }
    // Join the remaining words by single blanks.
    QString result;
    result.reserve(end - p + 1);
    while (p < end) {
        const char *start = p;
        while (p < end && !isSpace(*p))
            ++p;
        result += decode(QByteArrayView(start, p - start));
        if (p < end) {
            result += QLatin1Char(' ');
            while (p < end && isSpace(*p))
                ++p;
        }
    }
    if (m_trailingBlank)
        result += QLatin1Char(' ');
    return result;
}

QString ConditionedLine::toString() const
{
    return wordsFrom(0);
}

int toNumber(QByteArrayView word)
{
    const char *p = word.data();
    const char *end = p + word.size();
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
