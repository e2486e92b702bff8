#include "transfer/transferchecks.h"

#include <QFile>

#include "world/characterrecords.h"
#include "world/itemrecordreader.h"
#include "world/worldformat.h"

namespace transfer {

namespace {

// Where the line that ends just before `offset` begins; -1 when the byte before the offset
// is not a line feed or the file cannot be read. Each byte is read once, backwards in
// blocks, however long that line is.
qint64 lineStartBefore(QFile *file, qint64 offset)
{
    if (offset <= 0 || offset > file->size())
        return -1;
    char last = 0;
    if (!file->seek(offset - 1) || !file->getChar(&last) || last != '\n')
        return -1;
    constexpr qint64 Chunk = 64 * 1024;
    qint64 end = offset - 1;
    while (end > 0) {
        const qint64 from = qMax<qint64>(0, end - Chunk);
        if (!file->seek(from))
            return -1;
        const QByteArray block = file->read(end - from);
        if (block.size() != end - from)
            return -1;
        const qsizetype feed = block.lastIndexOf('\n');
        if (feed >= 0)
            return from + feed + 1;
        end = from;
    }
    return 0;
}

} // namespace

bool recordStillHolds(const QString &path, const char_st &character, world::TextEncoding encoding)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 headerStart = lineStartBefore(&file, character.offset);
    if (headerStart < 0 || !file.seek(headerStart))
        return false;
    world::LineReader reader(&file, headerStart);
    if (!reader.readLine() || reader.pos() != character.offset)
        return false;
    const world::ConditionedLine header = world::ConditionedLine::forLoader(reader.line());
    if (!header.keyIs("SECTION"))
        return false;

    // The record read as the loader reads it must still yield this character; a record can
    // yield more than one (a second NAME and ACCOUNT line), any of which may be the one.
    bool holds = false;
    world::CharacterFileFacts facts;
    world::readCharacterRecord(reader, header, &facts, [&](const world::CharacterFound &found) {
        holds = holds
                || (found.serial == character.serial
                        && world::decodeText(found.name, encoding) == character.name);
    });
    return holds && reader.errorString().isEmpty();
}

bool itemsEndOutsideRecord(const QString &path, qint64 header)
{
    if (header < 0)
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(header))
        return false;
    world::LineReader reader(&file, header);
    // The last header may itself stand inside a body; reading from it as a record of its own
    // is the cautious side.
    bool outside = true;
    world::readItemRecords(
            reader, "S}",
            [&outside](const world::ConditionedLine &line, world::LinePlace place) {
                if (place == world::LinePlace::Header)
                    outside = false;
                else if (place == world::LinePlace::Body || place == world::LinePlace::Last)
                    outside = outside || line.is("}");
            },
            [](qint64) {});
    return outside && reader.errorString().isEmpty();
}

} // namespace transfer
