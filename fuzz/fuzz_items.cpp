// Item identification on any items file, for an owner and counters picked by the input:
// no crash, the same collection as the toolkit's string functions give, records that the
// item copy can write as they are, and their copy composed and read back the same way on
// both reading paths.
#include <climits>

#include "fuzzsupport.h"
#include "items/itemscans.h"
#include "transfer/composition.h"
#include "transfer/verification.h"

namespace {

struct Collected
{
    QMap<int, item_st> serialMap;
    QMap<int, QList<int>> containerMap;
    QMap<int, QList<int>> moreMap;
    int maxItemSerial;
    bool operator==(const Collected &o) const
    {
        return serialMap == o.serialMap && containerMap == o.containerMap && moreMap == o.moreMap
                && maxItemSerial == o.maxItemSerial;
    }
};

// The composed copy and the verdict of reading it back.
struct Copy
{
    QByteArray text;
    QString problem;
    bool operator==(const Copy &o) const { return text == o.text && problem == o.problem; }
};

QString describe(const transfer::Problem &problem)
{
    return problem.isEmpty() ? QString()
                             : QStringLiteral("%1 line %2: %3; %4")
                                       .arg(problem.path)
                                       .arg(problem.line)
                                       .arg(problem.what, problem.repair);
}

QString describe(const Collected &c)
{
    QStringList parts;
    for (auto it = c.serialMap.begin(); it != c.serialMap.end(); ++it)
        parts << QStringLiteral("%1 -> %2 at %3: %4")
                         .arg(it.key())
                         .arg(it->serial)
                         .arg(it->offset)
                         .arg(it->lines.join(QLatin1String(" | ")));
    parts << QStringLiteral("maxItemSerial %1").arg(c.maxItemSerial);
    return parts.join(QLatin1Char('\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The owner and the counters, from values that matter: small, negative, at the limit.
    static const int owners[] = { 1, 0, -1, 100, 7, INT_MAX, INT_MIN, 1073741825 };
    static const int itemSerials[] = { 0x40000000, INT_MAX - 2, INT_MAX, 0, -5, 1000 };
    static const int charSerials[] = { 56, 0, INT_MAX - 1, INT_MAX, -1 };
    const int owner = owners[data[0] % 8];
    const int startSerial = itemSerials[(data[0] >> 3) % 6];
    const int charSerial = charSerials[data[1] % 5];
    const QByteArray input = fuzz::bytes(data + 2, size - 2);
    fuzz::writeWorldFile(world::itemsFileName(), input);

    const auto collect = [&] {
        engine::Session &s = fuzz::session();
        s.serialMap.clear();
        s.containerMap.clear();
        s.moreMap.clear();
        s.maxItemSerial = startSerial;
        s.maxCharSerial = charSerial;
        items::getSerials(s, fuzz::worldDir(), owner, fuzz::progress());
        return Collected{ s.serialMap, s.containerMap, s.moreMap, s.maxItemSerial };
    };
    const auto results = fuzz::bothWays(collect);
    const auto &fast = results.first;
    const auto &reference = results.second;
    fuzz::check(fast == reference, "byte-level and reference collections differ", [&] {
        return QStringLiteral("byte-level:\n%1\nreference:\n%2")
                .arg(describe(fast), describe(reference));
    });

    const bool wrapped = fast.maxItemSerial < startSerial;
    QList<int> newSerials;
    for (auto it = fast.serialMap.begin(); it != fast.serialMap.end(); ++it) {
        const item_st &item = it.value();
        const auto detail = [&] {
            return QStringLiteral("item %1\n").arg(it.key()) + describe(fast);
        };
        fuzz::check(!item.lines.isEmpty() && item.lines.first() == QLatin1String("{"),
                "record does not begin with {", detail);
        for (const QString &line : item.lines) {
            fuzz::check(!line.contains(QLatin1String("//")), "comment kept", detail);
            fuzz::check(line != QLatin1String("}"), "closing brace kept", detail);
            // White space is ASCII white space only: 0x85 and 0xa0 stay in the line.
            const QByteArray bytes = world::encode(line);
            fuzz::check(bytes == bytes.simplified(), "line not simplified", detail);
        }
        fuzz::check(
                item.offset > 0 && item.offset <= input.size(), "offset outside the file", detail);
        // New serials come from above the start, one per collected record. Past 2147483647
        // they go round to the smallest int (defined, no overflow), and the transfer then
        // refuses; so the range is only checked when the count did not go round.
        if (!wrapped)
            fuzz::check(item.serial > startSerial && item.serial <= fast.maxItemSerial,
                    "new serial out of range", detail);
        fuzz::check(!newSerials.contains(item.serial), "new serial given twice", detail);
        newSerials << item.serial;
    }

    // The copy a transfer would append: same text, same verdict on both reading paths. A
    // count that went round, or a character serial at the limit, is refused before this.
    if (wrapped || charSerial == INT_MAX)
        return 0;
    const int newOwner = charSerial + 1;
    const QSet<int> written = transfer::writtenItems(fast.serialMap, owner);
    const transfer::ItemsTaken taken{ 9, startSerial };
    const QString path = world::filePath(fuzz::worldDir(), world::itemsFileName());
    const auto copies = fuzz::bothWays([&] {
        const QByteArray text = transfer::composeItems(
                fast.serialMap, written, taken.highestSection + 1, owner, newOwner, [](int) {});
        return Copy{ text,
            describe(transfer::verifyItems(text, fast.serialMap, written, taken, newOwner, path)) };
    });
    fuzz::check(copies.first == copies.second, "byte-level and reference copies differ", [&] {
        return QStringLiteral("byte-level: %1\n%2\nreference: %3\n%4")
                .arg(copies.first.problem, world::decode(copies.first.text), copies.second.problem,
                        world::decode(copies.second.text));
    });
    return 0;
}
