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
};

// A character as a record yields it.
struct CharacterFound
{
    int account;
    QString name;
    int serial;
    qint64 offset; // just past the record's SECTION line
    qint64 lineStart; // where the line that completed it begins
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
template <typename OnCharacter>
void readCharacterRecord(LineReader &reader, ConditionedLine line, CharacterFileFacts *facts,
        OnCharacter onCharacter)
{
    int pendingAccount = -1;
    QString pendingName;
    int pendingSerial = -1;
    const qint64 offset = reader.pos();
    ++facts->records;
    const int number = toNumber(line.word(2));
    facts->maxSection = qMax(facts->maxSection, number);
    facts->highestSection = qMax(facts->highestSection, number);

    while (!reader.atEnd() && !line.is("{")) {
        reader.readLine();
        line = ConditionedLine::forLoader(reader.line());
        detail::noteAnywhere(line, facts);
    }
    if (reader.atEnd()) {
        facts->cutOff = true;
        return;
    }
    for (;;) {
        if (line.is("}"))
            return;
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
            // The record is finished only if that last line is its "}".
            if (!line.is("}"))
                facts->cutOff = true;
            return;
        }
    }
}

// Reads a whole characters file the way the loader does. `beforeLine` is called with the
// reader's position before every line read between records.
template <typename OnCharacter, typename BeforeLine>
void readCharacters(LineReader &reader, CharacterFileFacts *facts, OnCharacter onCharacter,
        BeforeLine beforeLine)
{
    while (!reader.atEnd()) {
        beforeLine(reader.pos());
        reader.readLine();
        const ConditionedLine line = ConditionedLine::forLoader(reader.line());
        if (line.keyIs("SECTION"))
            readCharacterRecord(reader, line, facts, onCharacter);
        else if (line.keyIs("SERIAL"))
            facts->highestSerial = qMax(facts->highestSerial, toNumber(line.word(1)));
    }
}

} // namespace world
