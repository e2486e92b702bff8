#include "transfer/transferchecks.h"

#include <QFile>

#include "world/worldformat.h"

namespace transfer {

namespace {

// The line that ends just before `offset`, without its line break; false when the byte
// before the offset is not a line feed.
bool lineBefore(QFile *file, qint64 offset, QByteArray *line)
{
    if (offset <= 0 || offset > file->size())
        return false;
    constexpr qint64 Chunk = 4096;
    QByteArray tail;
    qint64 start = offset;
    for (;;) {
        const qint64 from = qMax<qint64>(0, start - Chunk);
        if (!file->seek(from))
            return false;
        const QByteArray block = file->read(start - from);
        if (block.size() != start - from)
            return false;
        tail.prepend(block);
        start = from;
        if (!tail.endsWith('\n'))
            return false;
        // The line feed before the header line, if this block holds it.
        const qsizetype previous = tail.size() >= 2 ? tail.lastIndexOf('\n', tail.size() - 2) : -1;
        if (previous >= 0) {
            tail.remove(0, previous + 1);
            break;
        }
        if (start == 0)
            break;
    }
    tail.chop(1);
    if (tail.endsWith('\r'))
        tail.chop(1);
    *line = tail;
    return true;
}

} // namespace

bool recordStillHolds(const QString &path, const char_st &character)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray header;
    if (!lineBefore(&file, character.offset, &header)
            || !world::ConditionedLine::forLoader(header).keyIs("SECTION")) {
        return false;
    }
    if (!file.seek(character.offset))
        return false;

    // The loader's reading of one record: lines up to the opening brace are passed over,
    // and the character is taken at the line where the last of its three keys is seen.
    world::LineReader reader(&file, character.offset);
    if (!reader.readLine())
        return false;
    world::ConditionedLine line = world::ConditionedLine::forLoader(reader.line());
    while (!reader.atEnd() && !line.is("{")) {
        reader.readLine();
        line = world::ConditionedLine::forLoader(reader.line());
    }
    if (reader.atEnd())
        return false;
    QString name;
    int serial = -1;
    int account = -1;
    for (;;) {
        if (line.is("}"))
            return false;
        if (line.keyIs("NAME"))
            name = line.wordsFrom(1);
        else if (line.keyIs("ACCOUNT"))
            account = world::toNumber(line.word(1));
        else if (line.keyIs("SERIAL"))
            serial = world::toNumber(line.word(1));
        if (account != -1 && serial != -1 && !name.isEmpty())
            return name == character.name && serial == character.serial;
        reader.readLine();
        line = world::ConditionedLine::forLoader(reader.line());
        if (reader.atEnd())
            return false;
    }
}

} // namespace transfer
