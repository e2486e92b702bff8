#include "items/itemscans.h"

#include <QFile>

#include <limits>

#include "items/itemrecords.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace items {

namespace {

// Whether a "}" line stands between the byte positions `from` and `to` of `file`.
bool closedAfter(QFile &file, qint64 from, qint64 to)
{
    if (!file.seek(from))
        return false;
    world::LineReader reader(&file, from);
    reader.setLimit(to);
    while (reader.readLinesUntilKey("}", std::numeric_limits<qint64>::max()) > 0) {
        if (world::ConditionedLine::forScanner(reader.line()).is("}"))
            return true;
    }
    return false;
}

} // namespace

// Finds the highest record number and the highest item serial that a world's items file
// already uses, so that appended items take numbers above both. Every line counts, inside
// records and between them, and a SECTION line of any record type counts.
void acquireSerials(engine::Session &session, const QString &dir, engine::Progress &progress)
{
    // Set before the file is opened: a world without an items file has no records and
    // item serials start above 0x40000000.
    session.maxItemSection = -1;
    session.maxItemSerial = 0x40000000;
    session.destItemsCutOff = false;
    session.destItemsLastHeader = -1;
    session.scanReadError.clear();
    session.destItemsEncoding = world::TextEncoding::Ascii;

    QFile file(world::filePath(dir, world::itemsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        progress.showMessage(QStringLiteral("Unable to open ztitems.wsc"));
        return;
    }

    const world::ProgressScale scale(file.size());
    progress.reset();
    progress.showMessage(QStringLiteral("Acquiring item serial numbers"));
    progress.setRange(0, scale.total());

    // Where the last header and the line after it begin (-1: no header yet).
    qint64 lastHeader = -1;
    qint64 afterLastHeader = -1;
    world::LineReader reader(&file);
    // Only SERIAL and SECTION lines matter; the others are passed over in bulk, but never
    // past a 10000th line, where the bar moves to the position before it.
    for (qint64 lineCount = 0; !reader.atEnd();) {
        if (lineCount % 10000 == 0)
            progress.setValue(scale.value(reader.pos()));
        lineCount += reader.readLinesUntilKey("S", 10000 - lineCount % 10000);
        const world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
        if (line.keyIs("SERIAL")) {
            session.maxItemSerial = qMax(session.maxItemSerial, world::toNumber(line.word(1)));
        } else if (line.keyIs("SECTION")) {
            session.maxItemSection = qMax(session.maxItemSection, world::toNumber(line.word(2)));
            lastHeader = reader.lineStart();
            afterLastHeader = reader.pos();
        }
    }
    // Whether the last header still waits for its closing brace: a file that ends there was
    // cut off inside a record, and text appended to it would join that record. Only the
    // lines after the last header can tell, so only those are read again for a "}".
    session.destItemsLastHeader = lastHeader;
    session.destItemsEncoding = reader.encoding();
    session.destItemsCutOff =
            afterLastHeader >= 0 && !closedAfter(file, afterLastHeader, reader.pos());
    // A read error ends the pass like the end of the file would, short of the highest
    // numbers in use.
    if (!reader.errorString().isEmpty()) {
        session.scanReadError =
                QStringLiteral("Could not read %1: %2.").arg(file.fileName(), reader.errorString());
    }

    file.close();
    progress.showMessage(QStringLiteral("Ready"));
    progress.reset();
}

} // namespace items
