#pragma once

#include <QString>

#include "world/characterrecords.h"
#include "world/worldformat.h"

namespace world {

// Reads an accounts file the way the account loader does: a SECTION line opens a record
// numbered by its word 2; everything up to a bare "{" is passed over, further headers
// included; the body runs to its "}" or its first NAME line, whose word 1 names the
// account (the rest of that record is then read as lines between records); the file's last
// line is never examined as a body line. `onAccount(number, name)` is called for every
// record with a NAME line, `beforeLine` with the reader's position before every line read
// between records, `onLine` with every line read.
template <typename OnAccount, typename BeforeLine, typename OnLine = IgnoreLines>
void readAccounts(
        LineReader &reader, OnAccount onAccount, BeforeLine beforeLine, OnLine onLine = OnLine())
{
    while (!reader.atEnd()) {
        beforeLine(reader.pos());
        reader.readLine();
        ConditionedLine line = ConditionedLine::forLoader(reader.line());
        if (!line.keyIs("SECTION")) {
            onLine(line, LinePlace::Between);
            continue;
        }
        onLine(line, LinePlace::Header);
        const int number = toNumber(line.word(2));

        // The loaders simplify before they cut comments, so "{ // x" is not a brace here.
        while (!reader.atEnd() && !line.is("{")) {
            reader.readLine();
            line = ConditionedLine::forLoader(reader.line());
            onLine(line, LinePlace::BeforeBrace);
        }
        if (reader.atEnd())
            continue;

        for (bool first = true;; first = false) {
            if (!first)
                onLine(line, LinePlace::Body);
            if (line.is("}"))
                break;
            if (line.keyIs("NAME")) {
                onAccount(number, decode(line.word(1)));
                break;
            }
            reader.readLine();
            line = ConditionedLine::forLoader(reader.line());
            if (reader.atEnd()) {
                onLine(line, LinePlace::Last);
                break;
            }
        }
    }
}

} // namespace world
