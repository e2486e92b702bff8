#include "world/worldformat.h"

#include <QIODevice>

#include <algorithm>
#include <climits>
#include <memory>
#include <type_traits>
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
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
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
    // The conversion ends at a NUL byte and ignores ASCII white space on either side, as
    // toInt() does.
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

// ---- Encodings ---------------------------------------------------------------------------

QString encodingName(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8:
        return QStringLiteral("UTF-8");
    case TextEncoding::Windows1252:
        return QStringLiteral("Windows-1252");
    case TextEncoding::Ascii:
        break;
    }
    return QStringLiteral("ASCII");
}

namespace {

// Windows-1252 where it differs from Latin-1: bytes 0x80 to 0x9f. The five bytes it leaves
// undefined keep the code points Latin-1 gives them.
// clang-format off
const char16_t Windows1252High[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
    0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008d, 0x017d, 0x008f,
    0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
    0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
};
// clang-format on

} // namespace

QString decodeText(const QString &bytes, TextEncoding encoding)
{
    if (encoding == TextEncoding::Ascii)
        return bytes;
    const auto high = [](QChar c) { return c.unicode() >= 0x80; };
    if (std::none_of(bytes.cbegin(), bytes.cend(), high))
        return bytes;
    if (encoding == TextEncoding::Utf8)
        return QString::fromUtf8(encode(bytes));
    QString text = bytes;
    for (QChar &c : text) {
        if (c.unicode() >= 0x80 && c.unicode() < 0xa0)
            c = QChar(Windows1252High[c.unicode() - 0x80]);
    }
    return text;
}

QString encodeText(const QString &text, TextEncoding encoding)
{
    const auto high = [](QChar c) { return c.unicode() >= 0x80; };
    if (encoding == TextEncoding::Ascii || std::none_of(text.cbegin(), text.cend(), high))
        return text;
    if (encoding == TextEncoding::Utf8)
        return decode(text.toUtf8());
    QString bytes = text;
    for (QChar &c : bytes) {
        if (c.unicode() < 0x80 || (c.unicode() >= 0xa0 && c.unicode() <= 0xff))
            continue;
        const char16_t *at =
                std::find(std::begin(Windows1252High), std::end(Windows1252High), c.unicode());
        if (at != std::end(Windows1252High))
            c = QChar(char16_t(0x80 + (at - std::begin(Windows1252High))));
    }
    return bytes;
}

bool hasHighBytes(QByteArrayView bytes)
{
    return std::any_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) >= 0x80; });
}

void Utf8Validator::feed(const char *data, qsizetype size)
{
    const uchar *p = reinterpret_cast<const uchar *>(data);
    const uchar *const end = p + size;
    while (m_valid && p < end) {
        if (m_need) {
            const uchar c = *p++;
            if (c < m_low || c > m_high1) {
                m_valid = false;
                break;
            }
            m_low = 0x80;
            m_high1 = 0xbf;
            --m_need;
            continue;
        }
#ifdef CHARTRANSFER_SSE2
        // World files are nearly all ASCII.
        while (end - p >= 64) {
            const auto load = [p](int at) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at));
            };
            const __m128i any =
                    _mm_or_si128(_mm_or_si128(load(0), load(16)), _mm_or_si128(load(32), load(48)));
            if (_mm_movemask_epi8(any))
                break;
            p += 64;
        }
#endif
        while (p < end && *p < 0x80)
            ++p;
        if (p == end)
            break;
        const uchar lead = *p++;
        m_high = true;
        if (lead >= 0xc2 && lead <= 0xdf) {
            m_need = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            m_need = 2;
            // No overlong forms, no surrogates.
            if (lead == 0xe0)
                m_low = 0xa0;
            else if (lead == 0xed)
                m_high1 = 0x9f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            m_need = 3;
            // No overlong forms, nothing above U+10FFFF.
            if (lead == 0xf0)
                m_low = 0x90;
            else if (lead == 0xf4)
                m_high1 = 0x8f;
        } else {
            m_valid = false;
        }
    }
}

TextEncoding encodingOf(QByteArrayView text)
{
    Utf8Validator validator;
    validator.feed(text.data(), text.size());
    return validator.encoding(false);
}

TextEncoding encodingAfterAppend(TextEncoding file, QByteArrayView text)
{
    const TextEncoding added = encodingOf(text);
    if (added == TextEncoding::Ascii || added == file)
        return file;
    if (file == TextEncoding::Ascii)
        return added;
    return TextEncoding::Windows1252;
}

bool readsAlikeAfterAppend(QByteArrayView text, TextEncoding from, TextEncoding into)
{
    if (!hasHighBytes(text))
        return true;
    const TextEncoding after = encodingAfterAppend(into, text);
    return after == from && (after == into || into == TextEncoding::Ascii);
}

TextEncoding Utf8Validator::encoding(bool bom) const
{
    // A file that ends inside a character is no valid UTF-8 either.
    if (!m_valid || m_need)
        return TextEncoding::Windows1252;
    return m_high || bom ? TextEncoding::Utf8 : TextEncoding::Ascii;
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
{
    // An editor's byte-order mark before the first line: it only says the file is UTF-8.
    if (startOffset == 0 && device->isOpen() && device->pos() == 0
            && device->peek(3) == "\xef\xbb\xbf") {
        device->skip(3);
        m_base = m_read = 3;
        m_bom = true;
    }
}

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
    m_utf8.feed(m_data + at, got);
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
    m_maybeChunk = -1; // the bytes move
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
    m_maybeChunk = -1;
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
    m_lineStart = m_base + m_begin;
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
    m_utf8.feed(bytes.constData(), bytes.size());
    m_lineStart = m_base;
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

namespace {

// The bytes a line that may hold a wanted key can begin with: the given ones and white
// space, LF aside (a line that begins with its own line feed is empty and holds nothing).
struct WantedFirsts
{
    explicit WantedFirsts(QByteArrayView firsts)
    {
        for (const char c : firsts)
            add(uchar(c));
        for (const uchar c : { 0x09, 0x0b, 0x0c, 0x0d, 0x20 })
            add(c);
    }
    void add(uchar c) { bits[c >> 6] |= quint64(1) << (c & 63); }
    bool contains(uchar c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
    // Whether a line read is one to stop at.
    bool wants(QByteArrayView line) const { return !line.isEmpty() && contains(uchar(line[0])); }
    quint64 bits[4] = {};
};

#ifdef CHARTRANSFER_SSE2
// The 64 bytes at p: bit i of `newlines` set when byte p[i] is a line feed, bit i of
// `maybe` set when it may begin a wanted line: it is one of the `Count` bytes in `firsts`,
// or anything but printable ASCII (white space is among those; the few others are sorted
// out one line at a time).
template <int Count>
inline void classify16(const char *p, const __m128i *firsts, quint32 *newlines, quint32 *passed)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    *newlines = quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
    // Signed: 0x21 to 0x7f are above 0x20; bytes from 0x80 on are negative.
    const __m128i printable = _mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x20));
    __m128i hit = _mm_setzero_si128();
    for (int i = 0; i < Count; ++i)
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, firsts[i]));
    *passed = quint32(_mm_movemask_epi8(_mm_andnot_si128(hit, printable)));
}

template <int Count>
inline void classify64(const char *p, const __m128i *firsts, quint64 *newlines, quint64 *maybe)
{
    quint32 n0, n1, n2, n3, p0, p1, p2, p3;
    classify16<Count>(p, firsts, &n0, &p0);
    classify16<Count>(p + 16, firsts, &n1, &p1);
    classify16<Count>(p + 32, firsts, &n2, &p2);
    classify16<Count>(p + 48, firsts, &n3, &p3);
    *newlines = quint64(n0) | quint64(n1) << 16 | quint64(n2) << 32 | quint64(n3) << 48;
    *maybe = ~(quint64(p0) | quint64(p1) << 16 | quint64(p2) << 32 | quint64(p3) << 48);
}
#endif

inline int highestBit(quint64 mask)
{
#if defined(__GNUC__)
    return 63 - __builtin_clzll(mask);
#else
    int n = 63;
    while (!(mask >> n))
        --n;
    return n;
#endif
}

} // namespace

// Counts the bits of a mask: the plain way, or the processor's instruction where the
// caller is compiled for it (without it the builtin is a library call).
struct PortableBitCount
{
    int operator()(quint64 mask) const
    {
        mask -= (mask >> 1) & 0x5555555555555555ull;
        mask = (mask & 0x3333333333333333ull) + ((mask >> 2) & 0x3333333333333333ull);
        mask = (mask + (mask >> 4)) & 0x0f0f0f0f0f0f0f0full;
        return int((mask * 0x0101010101010101ull) >> 56);
    }
};

#if defined(CHARTRANSFER_SSE2) && defined(__GNUC__)
#define CHARTRANSFER_POPCOUNT_DISPATCH 1
struct BuiltinBitCount
{
    int operator()(quint64 mask) const { return __builtin_popcountll(mask); }
};
#endif

// The bulk pass for `Count` first bytes, built once for any x86-64 processor and once for
// those with a bit-count instruction (nearly all of them), chosen when it runs.
struct LineSkipping
{
    template <int Count, bool Visiting>
    static qint64 portable(LineReader &reader, const char *firsts, qint64 maxLines,
            LineReader::LineVisitor *visitor)
    {
        return reader.skipLines<Count, PortableBitCount, Visiting>(firsts, maxLines, visitor);
    }
#ifdef CHARTRANSFER_POPCOUNT_DISPATCH
    template <int Count, bool Visiting>
    __attribute__((target("popcnt"))) static qint64 withPopcount(LineReader &reader,
            const char *firsts, qint64 maxLines, LineReader::LineVisitor *visitor)
    {
        return reader.skipLines<Count, BuiltinBitCount, Visiting>(firsts, maxLines, visitor);
    }
#endif
    template <int Count, bool Visiting>
    static qint64 run(LineReader &reader, const char *firsts, qint64 maxLines,
            LineReader::LineVisitor *visitor)
    {
#ifdef CHARTRANSFER_POPCOUNT_DISPATCH
        static const bool popcount = __builtin_cpu_supports("popcnt");
        if (popcount)
            return withPopcount<Count, Visiting>(reader, firsts, maxLines, visitor);
#endif
        return portable<Count, Visiting>(reader, firsts, maxLines, visitor);
    }
    template <int Count>
    static qint64 run(LineReader &reader, const char *firsts, qint64 maxLines,
            LineReader::LineVisitor *visitor)
    {
        return visitor ? run<Count, true>(reader, firsts, maxLines, visitor)
                       : run<Count, false>(reader, firsts, maxLines, nullptr);
    }
};

qint64 LineReader::readLinesUntilKey(QByteArrayView firsts, qint64 maxLines)
{
    return readLinesUntilKey(firsts, maxLines, nullptr);
}

qint64 LineReader::readLinesVisiting(QByteArrayView firsts, qint64 maxLines, LineVisitor &visitor)
{
    return readLinesUntilKey(firsts, maxLines, &visitor);
}

qint64 LineReader::readLinesUntilKey(QByteArrayView firsts, qint64 maxLines, LineVisitor *visitor)
{
#ifdef CHARTRANSFER_SSE2
    if (!m_reference) {
        switch (firsts.size()) {
        case 0:
            return LineSkipping::run<0>(*this, firsts.data(), maxLines, visitor);
        case 1:
            return LineSkipping::run<1>(*this, firsts.data(), maxLines, visitor);
        case 2:
            return LineSkipping::run<2>(*this, firsts.data(), maxLines, visitor);
        case 3:
            return LineSkipping::run<3>(*this, firsts.data(), maxLines, visitor);
        case 4:
            return LineSkipping::run<4>(*this, firsts.data(), maxLines, visitor);
        case 5:
            return LineSkipping::run<5>(*this, firsts.data(), maxLines, visitor);
        case 6:
            return LineSkipping::run<6>(*this, firsts.data(), maxLines, visitor);
        default:
            break;
        }
    }
#endif
    return readLinesUntilKeyPlain(firsts, maxLines, visitor);
}

// One line at a time, looking at each line's first byte.
qint64 LineReader::readLinesUntilKeyPlain(
        QByteArrayView firsts, qint64 maxLines, LineVisitor *visitor)
{
    if (m_reference)
        maxLines = qMin<qint64>(maxLines, 1);
    const WantedFirsts wanted(firsts);
    qint64 read = 0;
    while (read < maxLines && readLine()) {
        ++read;
        if (wanted.wants(m_line) && (!visitor || !visitor->visit(m_line)))
            break;
    }
    return read;
}

// Makes the last of the lines that readLinesUntilKey() passed over in bulk the line in hand:
// the one that ends at the line feed at `end` and begins after the line feed before it, or at
// `from`, where the first of them began.
void LineReader::settleLine(qsizetype from, qsizetype end)
{
    if (end < 0)
        return;
    qsizetype start = end;
    while (start > from && m_data[start - 1] != '\n')
        --start;
    qsizetype length = end - start;
    if (length > 0 && m_data[start + length - 1] == '\r')
        --length;
    m_line = QByteArrayView(m_data + start, length);
    m_lineStart = m_base + start;
    m_terminated = true;
}

// Lines are passed over a chunk at a time: the lines that begin in a chunk begin after its
// line feeds, so the line feeds shifted by one, masked by the bytes that may begin a wanted
// line, show the first line to stop at; the line feeds before it end the lines passed over,
// counted at once. Each line that may be wanted is then read and looked at on its own.
template <int Count, typename BitCount, bool Visiting>
Q_ALWAYS_INLINE qint64 LineReader::skipLines(
        const char *firstBytes, qint64 maxLines, LineVisitor *visitor)
{
    const BitCount bitCount;
#ifdef CHARTRANSFER_SSE2
    __m128i firsts[Count > 0 ? Count : 1];
    quint64 key = quint64(Count) << 56; // which bytes m_maybe was worked out for
    for (int i = 0; i < Count; ++i) {
        firsts[i] = _mm_set1_epi8(firstBytes[i]);
        key |= quint64(uchar(firstBytes[i])) << (8 * i);
    }
    const auto wantedFirst = [firstBytes](uchar c) {
        for (int i = 0; i < Count; ++i) {
            if (c == uchar(firstBytes[i]))
                return true;
        }
        return c != '\n' && isSpace(c);
    };
    // The lines passed over in bulk last: the first began at passedFrom, the last ends at
    // the line feed at passedEnd (-1 when a line was read since).
    qsizetype passedFrom = 0;
    qsizetype passedEnd = -1;
    // The state the loop works on, kept in locals (registers) and handed back to the
    // members before anything else reads them.
    quint64 newlines = m_newlines;
    qsizetype begin = m_begin;
    qsizetype chunk = m_chunk;
    quint64 maybe = m_maybe;
    bool maybeValid = m_maybeChunk == m_chunk && m_maybeKey == key;
    const auto store = [&] {
        m_newlines = newlines;
        m_begin = begin;
        m_chunk = chunk;
        m_maybe = maybe;
        m_maybeChunk = maybeValid ? chunk : -1;
        m_maybeKey = key;
    };
    const auto load = [&] {
        newlines = m_newlines;
        begin = m_begin;
        chunk = m_chunk;
        maybeValid = m_maybeChunk == m_chunk && m_maybeKey == key;
    };
    qint64 read = 0;
    while (read < maxLines) {
        if (!newlines) {
            if (m_scanned < m_end) {
                // The next chunk, both masks from one look at its bytes.
                const qsizetype count = qMin<qsizetype>(64, m_end - m_scanned);
                classify64<Count>(m_data + m_scanned, firsts, &newlines, &maybe);
                // Past the bytes read the buffer holds whatever it held: not looked at.
                if (count < 64) {
                    newlines &= (quint64(1) << count) - 1;
                    maybe &= (quint64(1) << count) - 1;
                }
                chunk = m_scanned;
                maybeValid = true;
                m_scanned += count;
                continue;
            }
            // The next line does not end in the bytes buffered: read it the plain way,
            // which reads on from the device.
            store();
            settleLine(passedFrom, passedEnd);
            passedEnd = -1;
            const bool got = readLine();
            load();
            if (!got)
                break;
            ++read;
            if (!m_line.isEmpty() && wantedFirst(uchar(m_line.front()))
                    && (!Visiting || !visitor->visit(m_line)))
                break;
            continue;
        }
        // The next line ends in this chunk. If it may be wanted, it is read and looked at.
        if (wantedFirst(uchar(m_data[begin]))) {
            passedEnd = -1;
            if constexpr (Visiting) {
                // As readLine() would take it, but in place: only what the visitor may ask
                // for is handed back to the members.
                const qsizetype start = begin;
                const qsizetype end = chunk + detail::lowestBit(newlines);
                newlines &= newlines - 1;
                begin = end + 1;
                ++read;
                qsizetype length = end - start;
                if (length > 0 && m_data[end - 1] == '\r')
                    --length;
                m_line = QByteArrayView(m_data + start, length);
                m_lineStart = m_base + start;
                m_terminated = true;
                m_begin = begin;
                if (length > 0 && !visitor->visit(m_line))
                    break;
                continue;
            }
            store();
            readLine();
            load();
            ++read;
            if (!m_line.isEmpty())
                break;
            continue;
        }
        // It is passed over, and so is every line after it that surely is not wanted, as
        // far as this chunk's line feeds go.
        if (!maybeValid) {
            quint64 ignored = 0;
            classify64<Count>(m_data + chunk, firsts, &ignored, &maybe);
            if (m_end - chunk < 64)
                maybe &= (quint64(1) << (m_end - chunk)) - 1;
            maybeValid = true;
        }
        // A line that begins with its own line feed is empty.
        const quint64 stops = (newlines << 1) & maybe & ~newlines;
        quint64 passed = stops ? newlines & ((stops & (0 - stops)) - 1) : newlines;
        qint64 count = bitCount(passed);
        if (count > maxLines - read) {
            count = maxLines - read;
            quint64 kept = 0;
            for (qint64 i = 0; i < count; ++i) {
                kept |= passed & (0 - passed);
                passed &= passed - 1;
            }
            passed = kept;
        }
        // The last line passed over becomes the one in hand, but only once the call ends.
        passedFrom = begin;
        passedEnd = chunk + highestBit(passed);
        begin = passedEnd + 1;
        newlines &= ~passed;
        read += count;
    }
    store();
    settleLine(passedFrom, passedEnd);
    return read;
#else
    return readLinesUntilKeyPlain(QByteArrayView(firstBytes, Count), maxLines, visitor);
#endif
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

namespace {

// Writes the words from `p` to `end` joined by single blanks (and a trailing one when asked)
// to `out`, which has room for them; returns where the writing ended.
template <typename Char>
Char *joinWords(const char *p, const char *end, bool trailingBlank, Char *out)
{
    const auto put = [&out](char c) {
        if constexpr (std::is_same_v<Char, QChar>)
            *out++ = QLatin1Char(c);
        else
            *out++ = c;
    };
    while (p < end) {
        if (isSpace(*p)) {
            put(' ');
            while (p < end && isSpace(*p))
                ++p;
        } else {
            put(*p++);
        }
    }
    if (trailingBlank)
        put(' ');
    return out;
}

} // namespace

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
    QString result(end - p + 1, Qt::Uninitialized);
    result.truncate(joinWords(p, end, line.trailingBlank, result.data()) - result.constData());
    return result;
}

QString ConditionedLine::toString() const
{
    return wordsFrom(0);
}

void ConditionedLine::appendTo(QByteArray *out) const
{
    if (m_reference) {
        *out += encode(toString());
        return;
    }
    // Written in place: the conditioned line is never longer than the raw text plus the
    // trailing blank.
    const Text line = conditioned();
    const qsizetype before = out->size();
    out->resize(before + line.text.size() + 1);
    const char *end = joinWords(line.text.data(), line.text.data() + line.text.size(),
            line.trailingBlank, out->data() + before);
    out->resize(end - out->constData());
}

int toNumber(const QString &word)
{
    return reference::toNumber(word);
}

namespace reference {

// As simplified() does it, for ASCII white space only.
QString simplified(const QString &text)
{
    const auto space = [](QChar c) {
        return c == QLatin1Char(' ') || (c >= QLatin1Char('\t') && c <= QLatin1Char('\r'));
    };
    QString result;
    bool blank = false;
    for (const QChar c : text) {
        if (space(c)) {
            blank = !result.isEmpty();
            continue;
        }
        if (blank)
            result += QLatin1Char(' ');
        blank = false;
        result += c;
    }
    return result;
}

QString conditionForLoader(const QString &raw)
{
    return stripComment(simplified(raw));
}

QString conditionForScanner(const QString &raw)
{
    return simplified(stripComment(raw));
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
