#include "transfer/referencednumbers.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace transfer {

ReferencedNumbers::ReferencedNumbers(std::vector<int> numbers)
    : m_numbers(std::move(numbers))
{
    std::sort(m_numbers.begin(), m_numbers.end());
    m_numbers.erase(std::unique(m_numbers.begin(), m_numbers.end()), m_numbers.end());
}

bool ReferencedNumbers::contains(int number) const
{
    return std::binary_search(m_numbers.cbegin(), m_numbers.cend(), number);
}

int ReferencedNumbers::nextFree(int after) const
{
    int number = after;
    do {
        number = number == std::numeric_limits<int>::max() ? std::numeric_limits<int>::min()
                                                           : number + 1;
    } while (contains(number));
    return number;
}

qint64 ReferencedNumbers::freeBetween(int after, int upTo) const
{
    if (upTo <= after)
        return 0;
    const auto from = std::upper_bound(m_numbers.cbegin(), m_numbers.cend(), after);
    const auto to = std::upper_bound(from, m_numbers.cend(), upTo);
    return qint64(upTo) - after - (to - from);
}

void ReferenceCollector::keep(int number, int highestItemSerial)
{
    // Numbers that were above the highest item serial when they were met may no longer be:
    // once in a while they are dropped, so that a file whose records reference later ones
    // keeps memory low.
    if (m_kept.size() >= m_pruneAt) {
        const auto stays = [&](int kept) {
            return nearCharacters(kept) || kept > highestItemSerial;
        };
        m_kept.erase(std::partition(m_kept.begin(), m_kept.end(), stays), m_kept.end());
        m_pruneAt = std::max(m_pruneAt, 2 * m_kept.size());
    }
    m_kept.push_back(number);
}

ReferencedNumbers ReferenceCollector::finish(int highestItemSerial)
{
    std::vector<int> numbers;
    for (const int kept : m_kept) {
        if (nearCharacters(kept) || kept > highestItemSerial)
            numbers.push_back(kept);
    }
    m_kept.clear();
    return ReferencedNumbers(std::move(numbers));
}

} // namespace transfer
