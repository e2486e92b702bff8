#pragma once

#include <QString>

#include <climits>

#include "world/worldformat.h"

namespace world {

// What reading a characters file found besides its characters.
struct CharacterFileFacts
{
    // The highest header number and the highest SERIAL in a record body, as the record
    // loop meets them (the numbers a loaded destination counts from).
    int maxSection = -1;
    int maxSerial = 0;
    // The highest number on any SECTION or SERIAL line of the file, wherever it stands:
    // lines the record loop passes over (a record that hides the next header, a SERIAL line
    // before a brace the loader does not take) still hold numbers that are taken.
    int highestSection = INT_MIN;
    int highestSerial = INT_MIN;
    // Record headers the loop met.
    int records = 0;
    // The file ends after a record header and before that record's closing brace.
    bool cutOff = false;
    // Where the first "}" line with a comment after it begins in the record read last (-1:
    // none). The loader simplifies before it cuts comments, so such a line is "} ", not a
    // closing brace: the record runs on; when it is the file's last, the file reads as cut off.
    qint64 commentedClose = -1;
};

// Whether a line the loader conditioned is a "}" with a comment after it.
inline bool isCommentedClose(const ConditionedLine &line)
{
    return line.keyIs("}") && !line.is("}") && line.toString() == QLatin1String("} ");
}

// A character as a record yields it.
struct CharacterFound
{
    int account;
    QString name;
    int serial;
    qint64 offset; // just past the record's SECTION line
    qint64 lineStart; // where the line that completed it begins
};

// Where a line the record loop read stands, for a pass that looks at more than the loader
// takes (the terminal program's check and listing).
enum class LinePlace {
    Between, // outside any record, and not a record header
    Header, // a SECTION line that opens a record
    BeforeBrace, // passed over between a header and the record's "{" (the "{" included)
    Body, // examined as a line of the record's body, its "}" included
    Last, // the file's last line, reached inside a record: never examined as a body line
};

// Told of every line the loop reads, in file order, once each: counting the calls counts
// the lines. The loader itself needs none of it.
struct IgnoreLines
{
    void operator()(const ConditionedLine &line, LinePlace place) const
    {
        Q_UNUSED(line);
        Q_UNUSED(place);
    }
};

namespace detail {

inline void noteAnywhere(const ConditionedLine &line, CharacterFileFacts *facts)
{
    if (line.keyIs("SECTION"))
        facts->highestSection = qMax(facts->highestSection, toNumber(line.word(2)));
    else if (line.keyIs("SERIAL"))
        facts->highestSerial = qMax(facts->highestSerial, toNumber(line.word(1)));
}

} // namespace detail

// Reads the record whose SECTION line `line` the reader has just read, the way the
// character loader does: everything up to a bare "{" is passed over, further headers
// included; the body runs to its "}"; the file's last line is never examined as a body
// line. A character is yielded at the line where the last of NAME, ACCOUNT and SERIAL is
// seen, and again after every further ACCOUNT line once all three are known.
template <typename OnCharacter, typename OnLine = IgnoreLines>
void readCharacterRecord(LineReader &reader, ConditionedLine line, CharacterFileFacts *facts,
        OnCharacter onCharacter, OnLine onLine = OnLine())
{
    int pendingAccount = -1;
    QString pendingName;
    int pendingSerial = -1;
    const qint64 offset = reader.pos();
    ++facts->records;
    facts->commentedClose = -1;
    const int number = toNumber(line.word(2));
    facts->maxSection = qMax(facts->maxSection, number);
    facts->highestSection = qMax(facts->highestSection, number);

    while (!reader.atEnd() && !line.is("{")) {
        reader.readLine();
        line = ConditionedLine::forLoader(reader.line());
        detail::noteAnywhere(line, facts);
        onLine(line, LinePlace::BeforeBrace);
    }
    if (reader.atEnd()) {
        facts->cutOff = true;
        return;
    }
    for (bool first = true;; first = false) {
        // The "{" was told of as the line it is; every line after it is a body line.
        if (!first)
            onLine(line, LinePlace::Body);
        if (line.is("}"))
            return;
        if (Q_UNLIKELY(facts->commentedClose < 0 && isCommentedClose(line)))
            facts->commentedClose = reader.lineStart();
        if (line.keyIs("NAME")) {
            pendingName = line.wordsFrom(1);
        } else if (line.keyIs("ACCOUNT")) {
            pendingAccount = toNumber(line.word(1));
        } else if (line.keyIs("SERIAL")) {
            pendingSerial = toNumber(line.word(1));
            // Starts at 0, so negative serials never lower it.
            facts->maxSerial = qMax(facts->maxSerial, pendingSerial);
            facts->highestSerial = qMax(facts->highestSerial, pendingSerial);
        } else if (line.keyIs("SECTION")) {
            facts->highestSection = qMax(facts->highestSection, toNumber(line.word(2)));
        }
        if (pendingAccount != -1 && pendingSerial != -1 && !pendingName.isEmpty()) {
            onCharacter(CharacterFound{
                    pendingAccount, pendingName, pendingSerial, offset, reader.lineStart() });
            pendingAccount = -1;
        }
        reader.readLine();
        line = ConditionedLine::forLoader(reader.line());
        if (reader.atEnd()) {
            // Not examined as a body line, but its numbers are still taken.
            detail::noteAnywhere(line, facts);
            onLine(line, LinePlace::Last);
            // The record is finished only if that last line is its "}".
            if (!line.is("}")) {
                facts->cutOff = true;
                if (facts->commentedClose < 0 && isCommentedClose(line))
                    facts->commentedClose = reader.lineStart();
            }
            return;
        }
    }
}

// Reads a whole characters file the way the loader does. `beforeLine` is called with the
// reader's position before every line read between records; `onLine` with every line read.
template <typename OnCharacter, typename BeforeLine, typename OnLine = IgnoreLines>
void readCharacters(LineReader &reader, CharacterFileFacts *facts, OnCharacter onCharacter,
        BeforeLine beforeLine, OnLine onLine = OnLine())
{
    while (!reader.atEnd()) {
        beforeLine(reader.pos());
        reader.readLine();
        const ConditionedLine line = ConditionedLine::forLoader(reader.line());
        if (line.keyIs("SECTION")) {
            onLine(line, LinePlace::Header);
            readCharacterRecord(reader, line, facts, onCharacter, onLine);
        } else {
            onLine(line, LinePlace::Between);
            if (line.keyIs("SERIAL"))
                facts->highestSerial = qMax(facts->highestSerial, toNumber(line.word(1)));
        }
    }
}

} // namespace world
