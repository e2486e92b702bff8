#pragma once

#include <QtGlobal>

#include <climits>

namespace world {

// A progress bar counts in int. Files above 2 GiB are shown in coarser steps (byte
// positions shifted right) so that neither the total nor a value wraps to a negative.
class ProgressScale
{
public:
    explicit ProgressScale(qint64 totalBytes)
    {
        const qint64 total = qMax<qint64>(0, totalBytes);
        while ((total >> m_shift) > INT_MAX)
            ++m_shift;
        m_total = int(total >> m_shift);
    }

    // The bar's maximum.
    int total() const { return m_total; }
    // The bar's value at byte position `pos`, never beyond the maximum.
    int value(qint64 pos) const { return int(qBound(qint64(0), pos >> m_shift, qint64(m_total))); }

private:
    int m_shift = 0;
    int m_total = 0;
};

// The loaders move the bar before every top-level line. A new value makes the bar lay out
// its text again, so on a large file it moves once per thousandth of the file; a file under
// 1,000 bytes still moves at every line.
class ProgressThrottle
{
public:
    explicit ProgressThrottle(qint64 totalBytes)
        : m_total(totalBytes)
    { }

    // Whether the bar should move to byte position `pos` now.
    bool due(qint64 pos)
    {
        if (m_last >= 0 && (pos - m_last) * 1000 < m_total)
            return false;
        m_last = pos;
        return true;
    }

private:
    qint64 m_total;
    qint64 m_last = -1;
};

} // namespace world
