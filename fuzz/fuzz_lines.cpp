// The shared line reader and the two line conditionings, checked against their
// straightforward forms: every line, every offset, every word and number must agree.
#include <QIODevice>
#include <QList>

#include <algorithm>

#include "fuzzsupport.h"
#include "world/worldformat.h"

namespace {

// Hands out the input in small pieces, so the reader's buffer refills, moves and grows as
// it would on a large file read in blocks.
class ChunkedDevice : public QIODevice
{
public:
    ChunkedDevice(const QByteArray &data, qint64 chunk)
        : m_data(data)
        , m_chunk(chunk)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = std::min({ max, m_chunk, qint64(m_data.size()) - m_at });
        if (n <= 0)
            return 0;
        std::copy_n(m_data.constData() + m_at, n, out);
        m_at += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_chunk;
    qint64 m_at = 0;
};

using fuzz::splitLines;

void compareConditioned(
        const world::ConditionedLine &line, const QString &expected, const char *how)
{
    int i = -1;
    const auto context = [&] {
        return QStringLiteral("%1: '%2' got '%3', word %4")
                .arg(QLatin1String(how), expected, line.toString())
                .arg(i);
    };
    fuzz::check(line.toString() == expected, "conditioned text differs", context);
    fuzz::check(line.isEmpty() == expected.isEmpty(), "isEmpty differs", context);
    fuzz::check(line.is("{") == (expected == QLatin1String("{")), "is({) differs", context);
    fuzz::check(line.is("}") == (expected == QLatin1String("}")), "is(}) differs", context);
    for (i = 0; i < 4; ++i) {
        const QString word = world::reference::word(expected, i);
        fuzz::check(world::decode(line.word(i)) == word, "word differs", context);
        fuzz::check(line.wordsFrom(i) == world::reference::wordsFrom(expected, i),
                "wordsFrom differs", context);
        // Also where the toolkit's own quirks show: a NUL byte ends its number ("12\0x"
        // reads 12), ASCII white space around the digits is allowed.
        const int expectedNumber = world::reference::toNumber(word);
        fuzz::check(world::toNumber(line.word(i)) == expectedNumber, "number differs", context);
    }
    const QString key0 = world::reference::word(expected, 0);
    for (const char *key : { "SECTION", "NAME", "SERIAL", "{" })
        fuzz::check(line.keyIs(key) == (key0 == QLatin1String(key)), "keyIs differs", context);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    // Four control bytes: the device's piece size, the reader's block size, an optional
    // limit, and whether lines are read one by one or passed over in bulk (with which key
    // bytes and how many lines at most).
    const qint64 chunk = 1 + data[0] % 64;
    const qsizetype blockSize = data[1] < 128 ? 1 + data[1] : world::LineReader::DefaultBlockSize;
    const int limitByte = data[2];
    const bool bulk = data[3] & 0x80;
    static const char *const firstSets[] = { "S", "S}", "", "SN{}", "\x85", "abcdef", "}",
        "\xa0S" };
    const QByteArrayView firsts(firstSets[data[3] & 7]);
    const qint64 maxLines = 1 + ((data[3] >> 3) & 0xf) * ((data[3] & 0x40) ? 1000 : 1);
    QByteArray input = QByteArray(reinterpret_cast<const char *>(data + 4), qsizetype(size - 4));
    qint64 limit = -1;
    if (limitByte < 128)
        limit = std::min<qint64>(limitByte * 4, input.size());

    ChunkedDevice device(input, chunk);
    world::LineReader reader(&device, 0, blockSize);
    // The reader passes over a byte-order mark at the start, and only that.
    fuzz::check(!reader.hadByteOrderMark() || input.startsWith("\xef\xbb\xbf"),
            "a byte-order mark that is not there was passed over");
    const QList<fuzz::Line> expected =
            splitLines(limit >= 0 ? input.left(limit) : input, reader.hadByteOrderMark() ? 3 : 0);
    if (limit >= 0)
        reader.setLimit(limit);
    // A line that a bulk read must stop at: its first byte could begin one of the keys.
    const auto wanted = [&](const QByteArray &line) {
        return !line.isEmpty() && (firsts.contains(line.at(0)) || world::isSpace(line.at(0)));
    };
    qsizetype n = 0;
    bool atEnd = reader.atEnd();
    while (!atEnd) {
        qint64 read = 1;
        if (bulk) {
            read = reader.readLinesUntilKey(firsts, maxLines);
            fuzz::check(read >= 1 && read <= maxLines && n + read <= expected.size(),
                    "bulk read count out of range",
                    [&] { return QStringLiteral("read %1 at line %2").arg(read).arg(n); });
            for (qsizetype k = n; k < n + read - 1; ++k)
                fuzz::check(!wanted(expected.at(k).text), "bulk read passed over a wanted line",
                        [&] { return QStringLiteral("line %1").arg(k); });
            n += read - 1;
            fuzz::check(wanted(expected.at(n).text) || read == maxLines || n + 1 == expected.size(),
                    "bulk read stopped early", [&] { return QStringLiteral("line %1").arg(n); });
        } else {
            fuzz::check(n < expected.size(), "more lines than expected");
            fuzz::check(reader.readLine(), "readLine failed before the end");
        }
        const fuzz::Line &want = expected.at(n);
        const QByteArray got = reader.line().toByteArray();
        fuzz::check(got == want.text, "line differs", [&] {
            return QStringLiteral("line %1: '%2' expected '%3'")
                    .arg(n)
                    .arg(world::decode(got), world::decode(want.text));
        });
        fuzz::check(reader.pos() == want.next, "position differs", [&] {
            return QStringLiteral("line %1: %2 expected %3")
                    .arg(n)
                    .arg(reader.pos())
                    .arg(want.next);
        });
        fuzz::check(reader.lineTerminated() == want.terminated, "terminator flag differs");

        // The readers look at a line after asking whether the file goes on: that may read
        // ahead, and must leave the line and its conditionings intact.
        const world::ConditionedLine loader = world::ConditionedLine::forLoader(reader.line());
        const world::ConditionedLine scanner = world::ConditionedLine::forScanner(reader.line());
        atEnd = reader.atEnd();
        fuzz::check(reader.line() == QByteArrayView(got), "atEnd() changed the line");
        const QString text = world::decode(got);
        compareConditioned(loader, world::reference::conditionForLoader(text), "loader");
        compareConditioned(scanner, world::reference::conditionForScanner(text), "scanner");
        ++n;
    }
    if (bulk)
        fuzz::check(reader.readLinesUntilKey(firsts, maxLines) == 0, "bulk read after the end");
    fuzz::check(n == expected.size(), "fewer lines than expected");
    fuzz::check(!reader.readLine(), "readLine after the end");
    return 0;
}
