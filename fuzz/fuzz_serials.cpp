// The serial scan on any items file: no crash, the same highest serial and record number
// as the toolkit's string functions and as a plain reading of the rule give.
#include <climits>

#include "fuzzsupport.h"
#include "items/itemscans.h"

namespace {

struct Scan
{
    int maxItemSection;
    int maxItemSerial;
    bool cutOff;
    bool operator==(const Scan &o) const
    {
        return maxItemSection == o.maxItemSection && maxItemSerial == o.maxItemSerial
                && cutOff == o.cutOff;
    }
};

Scan scan()
{
    engine::Session &s = fuzz::session();
    items::acquireSerials(s, fuzz::worldDir(), fuzz::progress());
    return { s.maxItemSection, s.maxItemSerial, s.destItemsCutOff };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    fuzz::writeWorldFile(world::itemsFileName(), input);

    const auto results = fuzz::bothWays(scan);
    const auto &fast = results.first;
    const auto &reference = results.second;
    const auto detail = [&] {
        return QStringLiteral("byte-level %1 %2 %3, reference %4 %5 %6")
                .arg(fast.maxItemSection)
                .arg(fast.maxItemSerial)
                .arg(fast.cutOff)
                .arg(reference.maxItemSection)
                .arg(reference.maxItemSerial)
                .arg(reference.cutOff);
    };
    fuzz::check(fast == reference, "byte-level and reference scans differ", detail);

    // The rule itself: every line, comment cut first, SERIAL and SECTION wherever they are.
    int section = -1;
    int serial = 0x40000000;
    for (const fuzz::Line &line : fuzz::splitLines(input)) {
        const QString text = world::reference::conditionForScanner(world::decode(line.text));
        const QString key = world::reference::word(text, 0);
        if (key == QLatin1String("SERIAL"))
            serial = qMax(serial, world::reference::toNumber(world::reference::word(text, 1)));
        else if (key == QLatin1String("SECTION"))
            section = qMax(section, world::reference::toNumber(world::reference::word(text, 2)));
    }
    fuzz::check(fast.maxItemSection == section && fast.maxItemSerial == serial,
            "scan differs from the rule",
            [&] { return detail() + QStringLiteral(", rule %1 %2").arg(section).arg(serial); });
    return 0;
}
