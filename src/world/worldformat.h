#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "world/textencoding.h"

#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define CHARTRANSFER_SSE2 1
#endif

// Under AddressSanitizer a look past a line's end is reported even where it cannot fault.
#if defined(__SANITIZE_ADDRESS__)
#define CHARTRANSFER_EXACT_LOADS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHARTRANSFER_EXACT_LOADS 1
#endif
#endif

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// The line format shared by the three world files: lines of bytes ended by LF or CR LF,
// "//" comments, records made of a SECTION header, "{", key lines and "}". Only ASCII
// bytes have a meaning to the format; a byte of 0x80 or above is always part of a word,
// whatever encoding the file's text is in (a UTF-8 byte-order mark at the very start of
// a file aside, which no line includes).
//
// Worlds run to hundreds of MB and tens of millions of lines, so the per-line work here is
// byte-level and inline. The rules themselves are those of the toolkit's string functions
// (simplified() on ASCII white space, section(), toInt()); the forms in world::reference
// spell them out that way, and setReferenceMode() makes every reader compute through them
// instead, so both paths can be checked against each other on whole worlds.
namespace world {

inline QString accountsFileName()
{
    return QStringLiteral("accounts.adm");
}
inline QString charactersFileName()
{
    return QStringLiteral("ztpcs.wsc");
}
inline QString itemsFileName()
{
    return QStringLiteral("ztitems.wsc");
}

// A world file's path is the directory exactly as chosen, a slash and the file name.
inline QString filePath(const QString &dir, const QString &fileName)
{
    return dir + QLatin1Char('/') + fileName;
}

// World files are bytes. Inside the program their text is held one character per byte
// (Latin-1 maps every byte to one character and back), so whatever is copied keeps every
// byte; only what people read is decoded (decodeText()).
inline QString decode(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes);
}
inline QByteArray encode(const QString &text)
{
    return text.toLatin1();
}
// The same bytes, written into `buffer` (which keeps its room from one call to the next,
// so a pass over millions of lines allocates once); valid until `buffer` changes.
inline QByteArrayView encodeInto(const QString &text, QByteArray *buffer)
{
    buffer->resize(text.size());
    char *out = buffer->data();
    for (const QChar c : text)
        *out++ = c.unicode() > 0xff ? '?' : char(c.unicode());
    return *buffer;
}

// Follows a file's bytes, block by block in any split, to tell whether they are valid
// UTF-8. Runs of ASCII are passed over 64 bytes at a time.
class Utf8Validator
{
public:
    void feed(const char *data, qsizetype size);
    // The encoding of everything fed, taken as a whole file; `bom` when it began with a
    // byte-order mark.
    TextEncoding encoding(bool bom) const;

private:
    bool m_valid = true;
    bool m_high = false;
    quint8 m_need = 0; // continuation bytes still due
    uchar m_low = 0x80; // the range the next continuation byte must be in
    uchar m_high1 = 0xbf;
};

namespace detail {
// For every byte: 1 when it is ASCII white space.
extern const unsigned char spaceTable[256];
// Set through setReferenceMode(); read on every line, so a plain flag.
inline bool referenceMode = false;
} // namespace detail

// White space: TAB, LF, VT, FF, CR and blank. Bytes of 0x80 and above never are: in
// UTF-8 they are parts of characters (the second byte of "à" is 0xa0), in Windows-1252
// 0x85 is an ellipsis.
inline bool isSpace(uchar c)
{
    return detail::spaceTable[c] != 0;
}
inline bool isSpace(char c)
{
    return isSpace(static_cast<uchar>(c));
}

// Switches every LineReader created afterwards and every ConditionedLine and toNumber()
// call to the straightforward QString forms (world::reference). Slow; for tests that prove
// the byte-level path gives the same results. Not for use while a reader runs. In this mode
// a ConditionedLine keeps its QString forms in a per-thread ring of 65536 entries: it stays
// valid while fewer lines than that are conditioned after it (readers hold one at a time).
void setReferenceMode(bool on);
inline bool referenceMode()
{
    return detail::referenceMode;
}

// The first "//" and everything after it removed; white space before it stays.
QString stripComment(const QString &input);
inline QByteArrayView stripComment(QByteArrayView input);

// Reads a file as raw lines in large blocks, keeping one line at a time for its caller.
// pos() counts the bytes consumed, terminators included, never the bytes buffered, so
// after reading a record header it is the record's offset. A UTF-8 byte-order mark at the
// very start of a file is consumed but belongs to no line.
class LineReader
{
public:
    static constexpr qsizetype DefaultBlockSize = 1 << 18;

    // Reads from the device's current position; `startOffset` is what pos() reports there.
    // `blockSize` is how much is read from the device at a time.
    explicit LineReader(
            QIODevice *device, qint64 startOffset = 0, qsizetype blockSize = DefaultBlockSize);

    // Stop at this byte position as if the file ended there (a file that grows while it is
    // read, or is appended to by the reader's own process, is then read as it was).
    void setLimit(qint64 endOffset) { m_limit = endOffset; }

    // True when no byte is left to read, like a text stream's atEnd(). It may read ahead
    // from the device but leaves the line last read (and views into it) as they were.
    bool atEnd() { return m_begin == m_end && !fillKeepingLine(); }
    // Reads the next line; false when none is left.
    inline bool readLine();
    // Reads lines until one of them could hold a key that begins with one of the bytes
    // `firsts` (its first byte is one of them, or white space), or until `maxLines` lines
    // are read; returns how many were read (0 at the end). line() is the last of them.
    // A loop that only acts on a few keys passes over the other lines in bulk, 64 bytes at
    // a time; it examines line() as it would after readLine(), and counts lines with the
    // result. In reference mode it reads one line at a time.
    qint64 readLinesUntilKey(QByteArrayView firsts, qint64 maxLines);

    // Told of the lines a pass reads that may hold a key it acts on, while the reader reads
    // on. Within visit() the reader's line(), lineStart() and pos() describe that line; the
    // visitor must not read from the reader itself.
    class LineVisitor
    {
    public:
        virtual ~LineVisitor() = default;
        // False stops the pass at this line.
        virtual bool visit(QByteArrayView line) = 0;
    };
    // Like readLinesUntilKey(), but each line it would stop at is handed to `visitor` and
    // the pass goes on after it unless visit() says stop. A pass that acts on several keys of
    // every record saves a return to its own loop for each of them.
    qint64 readLinesVisiting(QByteArrayView firsts, qint64 maxLines, LineVisitor &visitor);
    // Hands each line between the byte positions `from` and `to` (both where lines begin,
    // `to` no further than pos()) to `take` as readLine() handed it out, when the reader
    // still holds those bytes; false, with nothing handed out, when it does not and they
    // must be read from the device again. A pass that wants a record's lines only once it
    // reaches a line deep inside it then seldom goes back to the file.
    template <typename Take>
    bool linesHeld(qint64 from, qint64 to, Take take) const;
    // The line last read, without its LF or CR LF. Valid until the next readLine().
    QByteArrayView line() const { return m_line; }
    // Whether the line last read was ended by a line feed.
    bool lineTerminated() const { return m_terminated; }
    // Byte position where the next line begins.
    qint64 pos() const { return m_base + m_begin; }
    // Byte position where the line last read began.
    qint64 lineStart() const { return m_lineStart; }
    // A read error of the device, empty when there was none.
    QString errorString() const { return m_error; }
    // Whether the file began with a byte-order mark (read from its start).
    bool hadByteOrderMark() const { return m_bom; }
    // How the bytes read so far decode: once the reader is at its end, the file's encoding.
    TextEncoding encoding() const { return m_utf8.encoding(m_bom); }

private:
    bool readLineSlow();
    bool readLineReference();
    qint64 readLinesUntilKeyPlain(QByteArrayView firsts, qint64 maxLines, LineVisitor *visitor);
    qint64 readLinesUntilKey(QByteArrayView firsts, qint64 maxLines, LineVisitor *visitor);
    void settleLine(qsizetype from, qsizetype end);
    template <int Count, typename BitCount, bool Visiting>
    qint64 skipLines(const char *firsts, qint64 maxLines, LineVisitor *visitor);
    friend struct LineSkipping;
    bool fill();
    bool fillKeepingLine();
    bool readInto(qsizetype at, qsizetype room);
    void scanChunk();

    QIODevice *m_device;
    QByteArray m_buffer;
    QByteArray m_spare; // the other buffer, holding the line last read while atEnd() reads on
    char *m_data = nullptr; // m_buffer's bytes; a chunk may be scanned up to 64 bytes past m_end
    qsizetype m_blockSize;
    qsizetype m_begin = 0; // first unread byte
    qsizetype m_end = 0; // end of the bytes read from the device
    // Line feeds not yet handed out: bit i of m_newlines stands for byte m_chunk + i.
    // Every line feed between m_begin and m_scanned is in it.
    quint64 m_newlines = 0;
    qsizetype m_chunk = 0;
    qsizetype m_scanned = 0;
    // For readLinesUntilKey(): bit i set when byte m_maybeChunk + i may begin a line it
    // stops at, for the first bytes that m_maybeKey names.
    quint64 m_maybe = 0;
    qsizetype m_maybeChunk = -1;
    quint64 m_maybeKey = 0;
    qint64 m_base = 0; // file position of the buffer's first byte
    qint64 m_lineStart = 0;
    qint64 m_limit = -1;
    qint64 m_read = 0; // bytes taken from the device so far, counted from startOffset
    bool m_deviceDone = false;
    bool m_terminated = false;
    bool m_reference = false;
    bool m_bom = false;
    Utf8Validator m_utf8;
    QByteArrayView m_line;
    QByteArray m_referenceLine;
    QString m_error;
};

// A raw line conditioned for reading. The loaders simplify white space first and cut the
// comment second, so 'NAME Bob // x' reads 'NAME Bob ' with a trailing blank; the scanners
// cut first and simplify second, which leaves no blank. Words are the white-space separated
// tokens; a word index past the last word reads as empty.
class ConditionedLine
{
public:
    ConditionedLine() = default;
    ConditionedLine(const ConditionedLine &other)
        : m_rawData(other.m_rawData)
        , m_rawSize(other.m_rawSize)
        , m_start(other.m_start)
        , m_loader(other.m_loader)
        , m_reference(other.m_reference)
    { }
    ConditionedLine &operator=(const ConditionedLine &other)
    {
        m_rawData = other.m_rawData;
        m_rawSize = other.m_rawSize;
        m_start = other.m_start;
        m_loader = other.m_loader;
        m_reference = other.m_reference;
        return *this;
    }

    // The loaders' way: simplify, then strip the comment.
    static inline ConditionedLine forLoader(QByteArrayView raw);
    // The scanners' way: strip the comment, then simplify.
    static inline ConditionedLine forScanner(QByteArrayView raw);

    // Word i, as raw bytes (no white space inside a word).
    inline QByteArrayView word(int i) const;
    // Whether word 0 is exactly `key` (case-sensitive).
    inline bool keyIs(QByteArrayView key) const;
    // Whether the whole conditioned line is exactly `text` ("{" or "}").
    inline bool is(QByteArrayView text) const;
    // toNumber(word(i)), read straight from the raw bytes when the line has the plain form
    // world files are written in (words of printable ASCII without a slash, each followed by
    // one blank, and word i a number of up to ten digits, perhaps after a minus sign, that
    // ends the line); any other line takes the long way.
    inline int numberAt(int i) const;
    // Words i to last joined by single blanks, the trailing blank included.
    QString wordsFrom(int i) const;
    // The whole conditioned line.
    QString toString() const;
    // The same as bytes, appended to `out` (as world::encode(toString()) would give it).
    void appendTo(QByteArray *out) const;
    bool isEmpty() const
    {
        if (m_reference)
            return referenceIsEmpty();
        const Text line = conditioned();
        return line.text.isEmpty() && !line.trailingBlank;
    }

private:
    // The conditioning is worked out when asked for, not when the line is made: most lines
    // are only asked for their key, and most keys differ from the one wanted in their first
    // byte.
    struct Text
    {
        QByteArrayView text; // without white space at either end
        bool trailingBlank;
    };
    inline Text conditioned() const;
    inline const char *firstNonSpace() const;
    inline bool plainNumber(int i, int *number) const;

    struct Reference;
    static const Reference *nextReference(QString conditioned);
    static ConditionedLine referenceForLoader(QByteArrayView raw);
    static ConditionedLine referenceForScanner(QByteArrayView raw);
    QByteArrayView referenceWord(int i) const;
    bool referenceKeyIs(QByteArrayView key) const;
    bool referenceIs(QByteArrayView text) const;
    bool referenceIsEmpty() const;

    // The raw line as two plain words: copied field by field, a line assigned in a loop
    // never goes through a block copy of a temporary that the processor has to wait for.
    const char *m_rawData = nullptr;
    qsizetype m_rawSize = 0;
    const char *m_start = nullptr; // the first byte that is not white space
    bool m_loader = false;
    // Only in reference mode: the line's QString forms. Kept out of the object so that a
    // conditioned line stays a few plain words that live in registers.
    const Reference *m_reference = nullptr;
};

// Whether the raw line `raw` has the plain form (see ConditionedLine::numberAt) with `key` as
// its first word; then `*number` is toNumber(word(i)) of the conditioned line. False for any
// other line, which may still hold that key in another form: only a line that does not begin
// with `key` surely does not.
template <qsizetype KeySize>
inline bool plainKeyNumber(QByteArrayView raw, const char (&key)[KeySize], int i, int *number);

// A number as the toolkit's base-10 conversion reads it: an optional sign and decimal
// digits that fit a signed 32-bit int; anything else reads as 0.
inline int toNumber(QByteArrayView word);
int toNumber(const QString &word);

// The straightforward forms of the rules above, kept as the reference the byte-level
// forms are checked against.
namespace reference {
QString simplified(const QString &text);
QString conditionForLoader(const QString &raw);
QString conditionForScanner(const QString &raw);
QString word(const QString &line, int i);
QString wordsFrom(const QString &line, int i);
int toNumber(const QString &word);
} // namespace reference

// ---- inline implementation -------------------------------------------------------------

namespace detail {

// Bit i set when byte p[i] equals c, for the 16 bytes at p.
#ifdef CHARTRANSFER_SSE2
inline quint32 match16(const char *p, char c)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}
#endif

// Bit i set when byte p[i] is a line feed, for the 64 bytes at p.
inline quint64 newlines64(const char *p)
{
#ifdef CHARTRANSFER_SSE2
    return quint64(match16(p, '\n')) | quint64(match16(p + 16, '\n')) << 16
            | quint64(match16(p + 32, '\n')) << 32 | quint64(match16(p + 48, '\n')) << 48;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(p[i] == '\n') << i;
    return mask;
#endif
}

inline int lowestBit(quint64 mask)
{
#if defined(__GNUC__)
    return __builtin_ctzll(mask);
#else
    int n = 0;
    while (!(mask & 1)) {
        mask >>= 1;
        ++n;
    }
    return n;
#endif
}

// Position of the first "//" in [p, p + size), or -1.
inline qsizetype findComment(const char *p, qsizetype size)
{
    qsizetype from = 0;
#if defined(CHARTRANSFER_SSE2) && !defined(CHARTRANSFER_EXACT_LOADS)
    // Lines are short: a few 16-byte looks cover them. A look may reach past the line's end
    // (never past its memory page, so it cannot fault); those bytes are masked.
    bool slashBefore = false; // the byte before this look is a slash
    for (; from < size && (reinterpret_cast<quintptr>(p + from) & 4095) <= 4096 - 16; from += 16) {
        quint32 slashes = match16(p + from, '/');
        if (size - from < 16)
            slashes &= (1u << (size - from)) - 1;
        if (slashBefore && (slashes & 1))
            return from - 1;
        // A slash followed by a slash: the pair starts where both bit i and i+1 are set.
        const quint32 pairs = slashes & (slashes >> 1);
        if (pairs)
            return from + lowestBit(pairs);
        slashBefore = (slashes >> 15) & 1;
    }
    if (from >= size)
        return -1;
    if (slashBefore)
        --from;
#endif
    for (qsizetype i = from; i + 1 < size;) {
        const void *slash = std::memchr(p + i, '/', size_t(size - 1 - i));
        if (!slash)
            return -1;
        i = static_cast<const char *>(slash) - p;
        if (p[i + 1] == '/')
            return i;
        i += 1;
    }
    return -1;
}

inline QByteArrayView trimmed(QByteArrayView text)
{
    const char *begin = text.data();
    const char *end = begin + text.size();
    while (begin < end && isSpace(*begin))
        ++begin;
    while (end > begin && isSpace(end[-1]))
        --end;
    return QByteArrayView(begin, end - begin);
}

int toNumberSlow(QByteArrayView word);

} // namespace detail

inline QByteArrayView stripComment(QByteArrayView input)
{
    const qsizetype at = detail::findComment(input.data(), input.size());
    return at < 0 ? input : input.first(at);
}

inline bool LineReader::readLine()
{
    if (m_newlines) {
        const qsizetype nl = m_chunk + detail::lowestBit(m_newlines);
        m_newlines &= m_newlines - 1;
        const char *start = m_data + m_begin;
        qsizetype length = nl - m_begin;
        if (length > 0 && start[length - 1] == '\r')
            --length;
        m_line = QByteArrayView(start, length);
        m_lineStart = m_base + m_begin;
        m_begin = nl + 1;
        m_terminated = true;
        return true;
    }
    return readLineSlow();
}

template <typename Take>
bool LineReader::linesHeld(qint64 from, qint64 to, Take take) const
{
    if (m_reference || from < m_base || to > m_base + m_end || from > to)
        return false;
    const char *p = m_data + (from - m_base);
    const char *const end = m_data + (to - m_base);
    while (p < end) {
        const void *feed = std::memchr(p, '\n', size_t(end - p));
        const char *next = feed ? static_cast<const char *>(feed) : end;
        qsizetype length = next - p;
        if (length > 0 && p[length - 1] == '\r')
            --length;
        take(QByteArrayView(p, length));
        p = next + 1;
    }
    return true;
}

inline ConditionedLine ConditionedLine::forLoader(QByteArrayView raw)
{
    if (Q_UNLIKELY(detail::referenceMode))
        return referenceForLoader(raw);
    ConditionedLine line;
    line.m_rawData = raw.data();
    line.m_rawSize = raw.size();
    line.m_start = line.firstNonSpace();
    line.m_loader = true;
    return line;
}

inline ConditionedLine ConditionedLine::forScanner(QByteArrayView raw)
{
    if (Q_UNLIKELY(detail::referenceMode))
        return referenceForScanner(raw);
    ConditionedLine line;
    line.m_rawData = raw.data();
    line.m_rawSize = raw.size();
    line.m_start = line.firstNonSpace();
    return line;
}

inline ConditionedLine::Text ConditionedLine::conditioned() const
{
    const QByteArrayView raw(m_rawData, m_rawSize);
    const QByteArrayView kept = stripComment(raw);
    Text line{ detail::trimmed(kept), false };
    // Simplifying first turns the white space before a cut comment into one blank that the
    // cut leaves behind, but only when some text stands before it.
    line.trailingBlank =
            m_loader && kept.size() < raw.size() && !line.text.isEmpty() && isSpace(kept.back());
    return line;
}

// Where the conditioned text begins, unless a comment starts right there.
inline const char *ConditionedLine::firstNonSpace() const
{
    const char *p = m_rawData;
    const char *end = p + m_rawSize;
    while (p < end && isSpace(*p))
        ++p;
    return p;
}

inline QByteArrayView ConditionedLine::word(int i) const
{
    if (Q_UNLIKELY(m_reference))
        return referenceWord(i);
    const QByteArrayView text = conditioned().text;
    const char *p = text.data();
    const char *end = p + text.size();
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

namespace detail {

// The plain form from `p` on: `words` words of printable ASCII without a slash, each followed
// by one blank, then a number of up to ten digits (perhaps after a minus sign) that ends at
// `end` and fits an int.
inline bool plainNumber(const char *p, const char *end, int words, int *number)
{
    for (int n = 0; n < words; ++n) {
        const char *word = p;
        while (p < end && uchar(*p) > ' ' && uchar(*p) < 0x7f && *p != '/')
            ++p;
        if (p == word || p == end || *p != ' ')
            return false;
        ++p;
    }
    const bool negative = p < end && *p == '-';
    p += negative;
    if (p == end || end - p > 10)
        return false;
    qint64 value = 0;
    for (; p < end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned('0');
        if (digit > 9)
            return false;
        value = value * 10 + digit;
    }
    value = negative ? -value : value;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return false;
    *number = int(value);
    return true;
}

} // namespace detail

inline bool ConditionedLine::plainNumber(int i, int *number) const
{
    return !m_reference && m_start == m_rawData
            && detail::plainNumber(m_rawData, m_rawData + m_rawSize, i, number);
}

template <qsizetype KeySize>
inline bool plainKeyNumber(QByteArrayView raw, const char (&key)[KeySize], int i, int *number)
{
    constexpr qsizetype n = KeySize - 1;
    if (raw.size() <= n + 1 || raw[n] != ' ')
        return false;
    for (qsizetype k = 0; k < n; ++k) {
        if (raw[k] != key[k])
            return false;
    }
    return !detail::referenceMode
            && detail::plainNumber(raw.data() + n + 1, raw.data() + raw.size(), i - 1, number);
}

inline int ConditionedLine::numberAt(int i) const
{
    int number = 0;
    return plainNumber(i, &number) ? number : toNumber(word(i));
}

inline bool ConditionedLine::keyIs(QByteArrayView key) const
{
    if (Q_UNLIKELY(m_reference))
        return referenceKeyIs(key);
    const qsizetype n = key.size();
    // The conditioned text, when not empty, begins at m_start and its bytes are the raw ones
    // up to a comment or white space: a key that the raw bytes there do not spell is not it.
    if (n > 0
            && (m_rawData + m_rawSize - m_start < n || *m_start != key.data()[0]
                    || std::memcmp(m_start + 1, key.data() + 1, size_t(n - 1)) != 0))
        return false;
    const QByteArrayView text = conditioned().text;
    if (text.size() < n)
        return false;
    for (qsizetype i = 0; i < n; ++i) {
        if (text.data()[i] != key.data()[i])
            return false;
    }
    return text.size() == n || isSpace(text.data()[n]);
}

inline bool ConditionedLine::is(QByteArrayView text) const
{
    if (Q_UNLIKELY(m_reference))
        return referenceIs(text);
    if (!text.isEmpty()) {
        const char *p = m_start;
        if (p == m_rawData + m_rawSize || *p != text.data()[0])
            return false;
    }
    const Text line = conditioned();
    return !line.trailingBlank && line.text.size() == text.size()
            && std::memcmp(line.text.data(), text.data(), size_t(text.size())) == 0;
}

inline int toNumber(QByteArrayView word)
{
    // The common case inline: up to ten plain digits, perhaps after a minus sign, that fit.
    const char *p = word.data();
    const qsizetype size = word.size();
    if (size > 0 && size <= 11 && !detail::referenceMode) {
        const bool negative = p[0] == '-';
        qsizetype i = negative ? 1 : 0;
        if (i < size && size - i <= 10) {
            qint64 value = 0;
            for (; i < size; ++i) {
                const unsigned digit = static_cast<unsigned char>(p[i]) - unsigned('0');
                if (digit > 9)
                    break;
                value = value * 10 + digit;
            }
            if (negative)
                value = -value;
            if (i == size && value >= std::numeric_limits<int>::min()
                    && value <= std::numeric_limits<int>::max())
                return int(value);
        }
    }
    return detail::toNumberSlow(word);
}

} // namespace world
