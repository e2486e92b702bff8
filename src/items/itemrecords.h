#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <climits>

// One item record collected for a transfer.
struct item_st
{
    // From the "{" line up to the line before "}", each with its comment cut and its
    // white space simplified; the OWNER line naming the character already rewritten.
    QList<QString> lines;
    int serial = 0; // the new serial handed out for the item
    // Byte position just past the record's SECTION line; 64 bits so that records beyond
    // 2 GiB keep their true position.
    qint64 offset = 0;
};

inline bool operator==(const item_st &a, const item_st &b)
{
    return a.lines == b.lines && a.serial == b.serial && a.offset == b.offset;
}

namespace items {

// A progress bar counts in int, a file in 64-bit bytes. Files up to 2 GiB - 1 are counted
// byte for byte; a larger one in units of 2, 4, 8 ... bytes, the smallest unit that makes
// its size fit, and every position of it in the same unit, so the bar never wraps.
class ByteProgress
{
public:
    explicit ByteProgress(qint64 totalBytes)
        : m_totalBytes(totalBytes)
    {
        while ((totalBytes >> m_shift) > INT_MAX)
            ++m_shift;
    }
    // The bar's total for the file; at least 1, because a range of 0..0 turns the bar into
    // a busy indicator that would keep running after the pass over an empty file ends.
    int total() const { return qMax(1, steps(m_totalBytes)); }
    // A byte position in the bar's unit.
    int steps(qint64 bytes) const { return int(qMin<qint64>(bytes >> m_shift, INT_MAX)); }

private:
    qint64 m_totalBytes;
    int m_shift = 0;
};

} // namespace items
