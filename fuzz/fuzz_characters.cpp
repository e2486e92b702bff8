// The character loader on any characters file: it must not crash, must agree with the
// toolkit's string functions, and every character's offset must point just past its
// record's SECTION line, where a transfer starts copying. The first characters are then
// copied as a transfer composes them and read back: the same copy and the same verdict on
// both reading paths.
#include <QFile>

#include "fuzzsupport.h"
#include "transfer/composition.h"
#include "transfer/verification.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool prepared = [] {
        // Two accounts share a name, one number is given twice.
        fuzz::writeWorldFile(world::accountsFileName(),
                QByteArray("SECTION ACCOUNT 0\n{\nNAME zero\n}\nSECTION ACCOUNT 1\n{\nNAME one\n}\n"
                           "SECTION ACCOUNT 2\n{\nNAME one\n}\nSECTION ACCOUNT 3\n{\nNAME x\n}\n"
                           "SECTION ACCOUNT 3\n{\nNAME three\n}\n"));
        return true;
    }();
    Q_UNUSED(prepared);
    const QByteArray input = fuzz::bytes(data, size);
    fuzz::writeWorldFile(world::charactersFileName(), input);

    const auto results = fuzz::bothWays(fuzz::loadDestination);
    const auto &fast = results.first;
    const auto &reference = results.second;
    fuzz::check(fast == reference, "byte-level and reference loads differ", [&] {
        return QStringLiteral("byte-level:\n%1\nreference:\n%2")
                .arg(fast.describe(), reference.describe());
    });

    for (const QList<char_st> &list : fast.characters) {
        for (const char_st &c : list) {
            const auto detail = [&] {
                return QStringLiteral("'%1' offset %2").arg(c.name).arg(c.offset);
            };
            fuzz::check(!c.name.isEmpty() && c.serial != -1, "character without name or serial",
                    detail);
            fuzz::check(c.offset > 0 && c.offset <= input.size() && input.at(c.offset - 1) == '\n',
                    "offset is not at the start of a line", detail);
            const qsizetype start = c.offset < 2 ? 0 : input.lastIndexOf('\n', c.offset - 2) + 1;
            const QByteArrayView header(input.constData() + start, c.offset - 1 - start);
            fuzz::check(world::ConditionedLine::forLoader(header).keyIs("SECTION"),
                    "offset does not follow a header", detail);
        }
    }
    fuzz::check(fast.maxCharSerial >= 0, "maxCharSerial below 0");

    const QString path = world::filePath(fuzz::worldDir(), world::charactersFileName());
    const transfer::CharacterNumbers numbers{ 100, 200, 3 };
    int copied = 0;
    for (const QList<char_st> &list : fast.characters) {
        for (const char_st &c : list) {
            if (copied++ == 4)
                return 0;
            const auto copies = fuzz::bothWays([&] {
                QFile source(path);
                if (!source.open(QIODevice::ReadOnly))
                    fuzz::fail("cannot read the scratch characters file", path);
                const transfer::CharacterText copy =
                        transfer::composeCharacter(&source, c.offset, source.size(), numbers);
                fuzz::check(copy.readError.isEmpty(), "composition met a read error",
                        [&] { return copy.readError; });
                const transfer::Problem problem =
                        transfer::verifyCharacter(copy, c.name, numbers, path, c.offset);
                return std::make_pair(
                        copy.text, QStringLiteral("%1: %2").arg(problem.line).arg(problem.what));
            });
            fuzz::check(
                    copies.first == copies.second, "byte-level and reference copies differ", [&] {
                        return QStringLiteral("'%1': byte-level %2\n%3\nreference %4\n%5")
                                .arg(c.name, copies.first.second, world::decode(copies.first.first),
                                        copies.second.second, world::decode(copies.second.first));
                    });
        }
    }
    return 0;
}
