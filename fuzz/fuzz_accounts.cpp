// The account loader on any accounts file (with a small characters file beside it): it
// must not crash, and the byte-level reading must give what the toolkit's string functions
// give.
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool prepared = [] {
        fuzz::writeWorldFile(world::charactersFileName(),
                QByteArray("SECTION CHARACTER 1\n{\nNAME Bob\nACCOUNT 0\nSERIAL 5\n}\n"
                           "SECTION CHARACTER 2\n{\nNAME Ann\nACCOUNT 3\nSERIAL 6\n}\n"));
        return true;
    }();
    Q_UNUSED(prepared);
    fuzz::writeWorldFile(world::accountsFileName(), fuzz::bytes(data, size));

    const auto results = fuzz::bothWays(fuzz::loadDestination);
    const auto &fast = results.first;
    const auto &reference = results.second;
    fuzz::check(fast == reference, "byte-level and reference loads differ", [&] {
        return QStringLiteral("byte-level:\n%1\nreference:\n%2")
                .arg(fast.describe(), reference.describe());
    });
    // Every account in the map has an item carrying its name.
    for (const QString &name : fast.accounts)
        fuzz::check(fast.tree.contains(name), "an account has no item",
                [&] { return fast.describe(); });
    return 0;
}
