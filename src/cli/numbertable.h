#pragma once

#include <QtGlobal>

#include <vector>

namespace cli {

// The numbers a file uses, each with the line (counted from 1) that first used it. A check
// of a large world holds a million item serials and as many record numbers: open addressing
// in one array of 8-byte slots costs a fraction of what a node-based hash does, and keeps
// a lookup to one or two cache lines.
class NumberTable
{
public:
    NumberTable() { m_slots.resize(Initial); }

    // Notes `number` as used at `line` (never 0). Returns 0 when it is new, otherwise the
    // line that used it first.
    quint32 insert(qint32 number, quint32 line)
    {
        if ((m_count + 1) * 10 > m_slots.size() * 7)
            grow();
        Slot &slot = find(number);
        if (slot.line != 0)
            return slot.line;
        slot = Slot{ number, line };
        ++m_count;
        return 0;
    }
    bool contains(qint32 number) const { return findConst(number).line != 0; }
    size_t size() const { return m_count; }

private:
    struct Slot
    {
        qint32 number = 0;
        quint32 line = 0; // 0: free
    };
    static constexpr size_t Initial = 1024;

    size_t home(qint32 number) const
    {
        // Files number their records, and mostly their serials, in steps of one. Runs of 16
        // such numbers keep to neighbouring slots, so a file read in order touches a new
        // cache line every few numbers rather than at every one; the runs themselves are
        // spread by a multiplicative hash.
        const quint32 run = quint32(number) >> 4;
        return (size_t((run * 0x9e3779b1u) >> m_shift) + (quint32(number) & 15))
                & (m_slots.size() - 1);
    }
    Slot &find(qint32 number)
    {
        size_t i = home(number);
        while (m_slots[i].line != 0 && m_slots[i].number != number)
            i = (i + 1) & (m_slots.size() - 1);
        return m_slots[i];
    }
    const Slot &findConst(qint32 number) const
    {
        size_t i = home(number);
        while (m_slots[i].line != 0 && m_slots[i].number != number)
            i = (i + 1) & (m_slots.size() - 1);
        return m_slots[i];
    }
    void grow()
    {
        std::vector<Slot> old(m_slots.size() * 2);
        old.swap(m_slots);
        --m_shift;
        for (const Slot &slot : old) {
            if (slot.line != 0)
                find(slot.number) = slot;
        }
    }

    std::vector<Slot> m_slots;
    size_t m_count = 0;
    int m_shift = 32 - 10; // the top bits of the product index the slots
};

} // namespace cli
