#include "transfer/verification.h"

#include <QBuffer>
#include <QFile>

#include <algorithm>

#include "world/characterrecords.h"
#include "world/itemrecordreader.h"
#include "world/worldformat.h"

namespace transfer {

namespace {

// The source line of the composed line that begins at `start`.
qint64 sourceLineOf(const CharacterText &copy, qint64 start)
{
    const auto it = std::upper_bound(copy.lineStarts.cbegin(), copy.lineStarts.cend(), start);
    const qsizetype index = (it - copy.lineStarts.cbegin()) - 1;
    return index >= 0 ? copy.sourceLines.value(index, -1) : -1;
}

Problem problemAt(const QString &path, qint64 line, const QString &what, const QString &repair)
{
    return { path, line, what, repair };
}

} // namespace

qint64 lineNumberAt(const QString &path, qint64 position)
{
    QFile file(path);
    if (position < 0 || !file.open(QIODevice::ReadOnly))
        return 0;
    qint64 line = 1;
    qint64 left = position;
    while (left > 0) {
        const QByteArray block = file.read(qMin<qint64>(left, 1 << 20));
        if (block.isEmpty())
            return 0;
        line += block.count('\n');
        left -= block.size();
    }
    return line;
}

qint64 itemLinePosition(const QString &path, qint64 offset, int index)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return -1;
    world::LineReader reader(&file, offset);
    // The scans pass over everything up to the record's brace.
    while (reader.readLine()) {
        if (world::ConditionedLine::forScanner(reader.line()).is("{"))
            break;
    }
    for (int i = 0; i < index; ++i) {
        if (!reader.readLine())
            return -1;
    }
    return reader.lineStart();
}

Problem verifyCharacter(const CharacterText &copy, const QString &name,
        const CharacterNumbers &numbers, const QString &sourcePath, qint64 offset)
{
    QByteArray text = copy.text;
    QBuffer buffer(&text);
    buffer.open(QIODevice::ReadOnly);
    world::LineReader reader(&buffer);
    world::CharacterFileFacts facts;
    QList<world::CharacterFound> found;
    world::readCharacters(
            reader, &facts, [&](const world::CharacterFound &one) { found.append(one); },
            [](qint64) {});

    // Counted only for a problem: counting costs a read of the file up to the record.
    const auto header = [&] { return lineNumberAt(sourcePath, offset) - 1; };
    const QString record = QStringLiteral("the record of the character \"%1\"").arg(name);
    if (found.isEmpty()) {
        const qint64 stop = copy.stoppedAt;
        if (stop >= 0) {
            return problemAt(sourcePath, lineNumberAt(sourcePath, stop),
                    QStringLiteral("%1 is cut short here, before it has a NAME, an ACCOUNT and "
                                   "a SERIAL line: a record header stands inside the record, "
                                   "or the record ends without its closing brace")
                            .arg(record),
                    QStringLiteral("Remove the stray line, or give the record its closing "
                                   "brace (a \"}\" line) before it."));
        }
        return problemAt(sourcePath, header(),
                QStringLiteral("%1 lacks a NAME, an ACCOUNT or a SERIAL line between its braces")
                        .arg(record),
                QStringLiteral("Complete the record."));
    }
    if (found.size() > 1) {
        const qint64 second = sourceLineOf(copy, found.at(1).lineStart);
        return problemAt(sourcePath, second >= 0 ? lineNumberAt(sourcePath, second) : header(),
                QStringLiteral("%1 holds a second character here (a further NAME and ACCOUNT "
                               "line): copied, it would read back as %2 characters")
                        .arg(record)
                        .arg(found.size()),
                QStringLiteral("Keep one character to a record."));
    }
    const world::CharacterFound &only = found.first();
    if (only.name != name) {
        return problemAt(sourcePath, header(),
                QStringLiteral("copied from here, the record would read back as the character "
                               "\"%1\", not \"%2\"")
                        .arg(only.name, name),
                QStringLiteral("Check the record's NAME lines and its braces."));
    }
    if (only.serial != numbers.serial || only.account != numbers.account || facts.records != 1
            || facts.cutOff || facts.maxSection != numbers.section) {
        return problemAt(sourcePath, header(),
                QStringLiteral("%1 does not read back with its new record number, serial "
                               "and account")
                        .arg(record),
                QStringLiteral("Check the record's SERIAL and ACCOUNT lines and its braces."));
    }
    return {};
}

Problem verifyItems(const QByteArray &text, const QMap<int, item_st> &items,
        const QSet<int> &written, const ItemsTaken &taken, int newOwner, const QString &sourcePath)
{
    QList<int> order; // old serials, in the order the records are written
    QSet<int> newSerials;
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        if (written.contains(it.key())) {
            order.append(it.key());
            newSerials.insert(it->serial);
        }
    }
    const auto headerOf = [&](int index) {
        return lineNumberAt(sourcePath, items.value(order.value(index)).offset) - 1;
    };
    const auto lineOf = [&](int index, int line) {
        return lineNumberAt(sourcePath,
                itemLinePosition(sourcePath, items.value(order.value(index)).offset, line));
    };

    QByteArray bytes = text;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    world::LineReader reader(&buffer);
    // Read back the way the scans read an items file; the first thing found wrong is kept.
    Problem found;
    int record = -1;
    QSet<int> serialsSeen;
    QSet<int> sectionsSeen;
    int serials = 0;
    bool typeSeven = false;
    int index = 0; // the line of the record's body, its "{" being line 0
    qint64 passed = 0;
    const auto names = [&](int value) {
        return value == -1 || value == newOwner || newSerials.contains(value);
    };
    const auto wrongAt = [&](const QString &what, const QString &repair) {
        if (found.isEmpty())
            found = problemAt(sourcePath, lineOf(record, index), what, repair);
    };
    const QString braceRepair = QStringLiteral(
            "Give the item record before it its closing brace (a \"}\" line), or remove the "
            "stray line.");
    const QString checkRepair = QStringLiteral("Check the destination's item records.");
    world::readItemRecords(
            reader, world::CheckedItemKeys,
            [&](const world::ConditionedLine &line, world::LinePlace place) {
                const qint64 skipped = passed;
                passed = 0;
                if (!found.isEmpty())
                    return;
                switch (place) {
                case world::LinePlace::Between:
                    return;
                case world::LinePlace::Header: {
                    ++record;
                    serials = 0;
                    typeSeven = false;
                    index = 0;
                    if (record >= order.size()) {
                        found = problemAt(sourcePath, headerOf(order.size() - 1),
                                QStringLiteral("the items copied from here would read back as "
                                               "more records than were collected"),
                                QStringLiteral("Check the item records' braces."));
                        return;
                    }
                    const int section = world::toNumber(line.word(2));
                    if (section <= taken.highestSection || sectionsSeen.contains(section)) {
                        found = problemAt(sourcePath, headerOf(record),
                                QStringLiteral("the copy of this item record would get a record "
                                               "number that is taken"),
                                checkRepair);
                    }
                    sectionsSeen.insert(section);
                    return;
                }
                case world::LinePlace::BeforeBrace:
                    return;
                case world::LinePlace::Body:
                case world::LinePlace::Last:
                    index += int(skipped) + 1;
                    break;
                }
                const item_st &item = items.value(order.at(record));
                if (line.is("}")) {
                    if (serials != 1) {
                        found = problemAt(sourcePath, headerOf(record),
                                serials == 0
                                        ? QStringLiteral("the item record that starts here has "
                                                         "no SERIAL line of its own")
                                        : QStringLiteral("the item record that starts here has "
                                                         "%1 SERIAL lines")
                                                  .arg(serials),
                                QStringLiteral("Give the record exactly one SERIAL line, with a "
                                               "serial no other item has."));
                    }
                } else if (line.keyIs("SECTION")) {
                    wrongAt(QStringLiteral("a record header stands inside an item record here: "
                                           "the record before it has no closing brace, so its "
                                           "copy would take in this record's lines"),
                            braceRepair);
                } else if (line.keyIs("SERIAL")) {
                    const int serial = world::toNumber(line.word(1));
                    ++serials;
                    if (serial != item.serial || serial <= taken.highestSerial
                            || serialsSeen.contains(serial)) {
                        wrongAt(QStringLiteral("the copy of this item would get a serial that is "
                                               "taken"),
                                checkRepair);
                    }
                    serialsSeen.insert(serial);
                } else if (line.keyIs("OWNER")) {
                    if (world::toNumber(line.word(1)) != newOwner) {
                        wrongAt(QStringLiteral("the copy of this item would not belong to the "
                                               "new character"),
                                checkRepair);
                    }
                } else if (line.keyIs("TYPE")) {
                    typeSeven = typeSeven || line.word(1) == "7";
                } else if ((line.keyIs("CONT") || (typeSeven && line.keyIs("MORE")))
                        && !names(world::toNumber(line.word(1)))) {
                    wrongAt(QStringLiteral("the copy of this item would name an object that is "
                                           "not copied"),
                            checkRepair);
                }
            },
            [&](qint64 count) { passed += count; });
    if (!found.isEmpty())
        return found;
    if (record + 1 != order.size()) {
        return problemAt(sourcePath, headerOf(qMax(record, 0)),
                QStringLiteral("the items copied from here would not read back as the records "
                               "that were collected"),
                QStringLiteral("Check the item records' braces."));
    }
    return {};
}

} // namespace transfer
