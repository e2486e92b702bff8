#pragma once

#include <limits>

#include "world/characterrecords.h"
#include "world/worldformat.h"

namespace world {

// The first bytes of the item lines the checks look at: SERIAL, SECTION, OWNER, CONT, TYPE,
// MORE and "}". Other lines are passed over in bulk, 64 bytes at a time.
inline constexpr char CheckedItemKeys[] = "SOCTM}";

// Reads an items file the way the item scans do: lines are conditioned by cutting the
// comment first; a SECTION line of any record type opens a record; everything up to the
// "{" is passed over, further headers included; the body runs to the first "}", a header
// inside it being an ordinary line; the file's last line is never examined as a body line.
// Lines that cannot hold a key that begins with one of `keys` (in a body or between records)
// are not told of; `passedOver(n)` counts
// them before the line that comes after them. With `everyLineBetween`, every line between
// records is told of (a check looks at what stands there).
template <typename OnLine, typename PassedOver>
void readItemRecords(LineReader &reader, const char *keys, OnLine onLine, PassedOver passedOver,
        bool everyLineBetween = false)
{
    constexpr qint64 All = std::numeric_limits<qint64>::max();
    while (!reader.atEnd()) {
        const qint64 read =
                everyLineBetween ? qint64(reader.readLine()) : reader.readLinesUntilKey(keys, All);
        if (read == 0)
            return;
        passedOver(read - 1);
        ConditionedLine line = ConditionedLine::forScanner(reader.line());
        if (!line.keyIs("SECTION")) {
            onLine(line, LinePlace::Between);
            continue;
        }
        onLine(line, LinePlace::Header);
        while (!reader.atEnd() && !line.is("{")) {
            reader.readLine();
            line = ConditionedLine::forScanner(reader.line());
            onLine(line, LinePlace::BeforeBrace);
        }
        if (reader.atEnd())
            return;
        for (;;) {
            const qint64 body = reader.readLinesUntilKey(keys, All);
            if (body == 0)
                return;
            passedOver(body - 1);
            line = ConditionedLine::forScanner(reader.line());
            if (reader.atEnd()) {
                onLine(line, LinePlace::Last);
                return;
            }
            onLine(line, LinePlace::Body);
            if (line.is("}"))
                break;
        }
    }
}

} // namespace world
