#pragma once

#include <QtGlobal>

#include <vector>

namespace transfer {

// Numbers that lines of a destination items file name (OWNER, CONT, and MORE of a key),
// where a new number could meet them. A record whose character or container was deleted
// still names it; a new character or item that got that number would take over what names
// it. New numbers pass over these, so no record already there comes to name a new one.
class ReferencedNumbers
{
public:
    ReferencedNumbers() = default;
    explicit ReferencedNumbers(std::vector<int> numbers);

    bool contains(int number) const;
    // The first number after `after` that no line names. Past 2147483647 it goes round to
    // -2147483648, as a 32-bit count does; the transfer refuses numbers that went round.
    int nextFree(int after) const;
    // How many numbers from `after` (not counted) up to `upTo` no line names.
    qint64 freeBetween(int after, int upTo) const;
    qsizetype size() const { return qsizetype(m_numbers.size()); }
    bool isEmpty() const { return m_numbers.empty(); }
    const std::vector<int> &numbers() const { return m_numbers; }

private:
    std::vector<int> m_numbers; // ascending, each once
};

// Gathers the referenced numbers while a pass reads an items file. Only numbers a new
// number can meet are kept: those just above the highest character serial (new characters
// count up from there) and those above the highest item serial (new items do); the rest,
// the numbers of records that exist, would only cost memory. Which item serial is the
// highest is known at the end only, so numbers above the highest met so far are kept until
// then.
class ReferenceCollector
{
public:
    // How far above the highest character serial numbers are kept: more characters than
    // any world holds.
    static constexpr int CharacterSpan = 1 << 24;

    explicit ReferenceCollector(int highestCharacterSerial)
        : m_characters(highestCharacterSerial)
    { }
    // A number a line names, and the highest item serial met so far.
    void note(int number, int highestItemSerial)
    {
        if (nearCharacters(number) || number > highestItemSerial)
            keep(number, highestItemSerial);
    }
    ReferencedNumbers finish(int highestItemSerial);

private:
    bool nearCharacters(int number) const
    {
        return number > m_characters && qint64(number) - m_characters <= CharacterSpan;
    }
    void keep(int number, int highestItemSerial);

    int m_characters;
    std::vector<int> m_kept;
    size_t m_pruneAt = 4096;
};

} // namespace transfer
