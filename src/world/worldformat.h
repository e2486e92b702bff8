#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// The line format shared by the three world files: lines of Latin-1 bytes ended by LF or
// CR LF, "//" comments, records made of a SECTION header, "{", key lines and "}".
namespace world {

inline QString accountsFileName() { return QStringLiteral("accounts.adm"); }
inline QString charactersFileName() { return QStringLiteral("ztpcs.wsc"); }
inline QString itemsFileName() { return QStringLiteral("ztitems.wsc"); }

// A world file's path is the directory exactly as chosen, a slash and the file name.
inline QString filePath(const QString &dir, const QString &fileName)
{
    return dir + QLatin1Char('/') + fileName;
}

// World files are bytes in an 8-bit encoding; Latin-1 maps every byte to one character
// and back, so names copied from one world to another keep every byte.
inline QString decode(QByteArrayView bytes) { return QString::fromLatin1(bytes); }
inline QByteArray encode(const QString &text) { return text.toLatin1(); }

// White space as the toolkit's simplification sees it, for the 256 Latin-1 characters.
inline bool isSpace(uchar c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0xa0;
}
inline bool isSpace(char c) { return isSpace(static_cast<uchar>(c)); }

// The first "//" and everything after it removed; white space before it stays.
QString stripComment(const QString &input);
QByteArrayView stripComment(QByteArrayView input);

// Reads a file as raw lines in large blocks, keeping one line at a time for its caller.
// pos() counts the bytes consumed, terminators included, never the bytes buffered, so
// after reading a record header it is the record's offset.
class LineReader
{
public:
    // Reads from the device's current position; `startOffset` is what pos() reports there.
    explicit LineReader(QIODevice *device, qint64 startOffset = 0);

    // Stop at this byte position as if the file ended there (a file that grows while it is
    // read, or is appended to by the reader's own process, is then read as it was).
    void setLimit(qint64 endOffset) { m_limit = endOffset; }

    // True when no byte is left to read, like a text stream's atEnd().
    bool atEnd();
    // Reads the next line; false when none is left.
    bool readLine();
    // The line last read, without its LF or CR LF. Valid until the next readLine().
    QByteArrayView line() const { return m_line; }
    // Whether the line last read was ended by a line feed.
    bool lineTerminated() const { return m_terminated; }
    // Byte position where the next line begins.
    qint64 pos() const { return m_pos; }
    // A read error of the device, empty when there was none.
    QString errorString() const { return m_error; }

private:
    bool fill();

    QIODevice *m_device;
    QByteArray m_buffer;
    qsizetype m_begin = 0;
    qsizetype m_end = 0;
    qint64 m_pos = 0;
    qint64 m_limit = -1;
    qint64 m_read = 0; // bytes taken from the device so far, counted from startOffset
    bool m_deviceDone = false;
    bool m_terminated = false;
    QByteArrayView m_line;
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

    // The loaders' way: simplify, then strip the comment.
    static ConditionedLine forLoader(QByteArrayView raw);
    // The scanners' way: strip the comment, then simplify.
    static ConditionedLine forScanner(QByteArrayView raw);

    // Word i, as raw bytes (no white space inside a word).
    QByteArrayView word(int i) const;
    // Whether word 0 is exactly `key` (case-sensitive).
    bool keyIs(QByteArrayView key) const;
    // Whether the whole conditioned line is exactly `text` ("{" or "}").
    bool is(QByteArrayView text) const;
    // Words i to last joined by single blanks, the trailing blank included.
    QString wordsFrom(int i) const;
    // The whole conditioned line.
    QString toString() const;
    bool isEmpty() const { return m_text.isEmpty() && !m_trailingBlank; }

private:
    QByteArrayView m_text; // without white space at either end
    bool m_trailingBlank = false;
};

// A number as the toolkit's base-10 conversion reads it: an optional sign and decimal
// digits that fit a signed 32-bit int; anything else reads as 0.
int toNumber(QByteArrayView word);
int toNumber(const QString &word);

// The straightforward forms of the rules above, kept as the reference the byte-level
// forms are checked against.
namespace reference {
QString conditionForLoader(const QString &raw);
QString conditionForScanner(const QString &raw);
QString word(const QString &line, int i);
QString wordsFrom(const QString &line, int i);
int toNumber(const QString &word);
} // namespace reference

} // namespace world
