#include "transfer/composition.h"

#include <QIODevice>

#include "world/worldformat.h"

namespace transfer {

namespace {

// The references an item's lines make as the copy renumbers them: every CONT line, and
// every MORE line after the record's TYPE 7 line.
QList<int> referencesOf(const item_st &item)
{
    QList<int> references;
    bool typeSeven = false;
    QByteArray scratch;
    for (const QString &stored : item.lines) {
        const QByteArrayView raw = world::encodeInto(stored, &scratch);
        const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
        if (line.keyIs("CONT"))
            references.append(world::toNumber(line.word(1)));
        else if (line.keyIs("TYPE") && line.word(1) == "7")
            typeSeven = true;
        else if (line.keyIs("MORE") && typeSeven)
            references.append(world::toNumber(line.word(1)));
    }
    return references;
}

} // namespace

namespace {

// The lines of the record whose SECTION line ends at `offset` that a copy takes (see
// composeCharacter), added to `copy`; with `numbers`, OWN, ACCOUNT, SERIAL and ROBE
// rewritten, and with a non-empty `name`, every NAME line too. Without `numbers` every line
// stays as the source has it.
void composeBody(CharacterText &copy, QIODevice *source, qint64 offset, qint64 sourceEnd,
        const CharacterNumbers *numbers, const QByteArray &name, qsizetype blockSize)
{
    const auto add = [&copy](QByteArrayView line, qint64 from) {
        copy.lineStarts.append(copy.text.size());
        copy.sourceLines.append(from);
        copy.text += line;
        copy.text += '\n';
    };
    if (!source->seek(offset)) {
        copy.readError = source->errorString();
        return;
    }
    world::LineReader reader(source, offset, blockSize);
    reader.setLimit(sourceEnd);
    const QByteArray serial = numbers ? QByteArray::number(numbers->serial) : QByteArray();
    bool inBody = false;
    while (reader.readLine()) {
        const QByteArrayView raw = reader.line();
        const world::ConditionedLine line = world::ConditionedLine::forLoader(raw);
        if (!inBody) {
            // Before its brace the loader passes over everything; only what cannot be
            // another record's text (blank and comment-only lines) goes along.
            if (line.is("{"))
                inBody = true;
            else if (line.isEmpty())
                add(raw, reader.lineStart());
            if (!inBody)
                continue;
        }
        if (line.keyIs("SECTION")) {
            copy.stoppedAt = reader.lineStart();
            break;
        }
        if (numbers && line.keyIs("OWN"))
            add("OWN " + serial, reader.lineStart());
        else if (numbers && line.keyIs("ACCOUNT"))
            add("ACCOUNT " + QByteArray::number(numbers->account), reader.lineStart());
        else if (numbers && line.keyIs("SERIAL"))
            add("SERIAL " + serial, reader.lineStart());
        else if (numbers && line.keyIs("ROBE"))
            add("ROBE -1", reader.lineStart());
        else if (!name.isEmpty() && line.keyIs("NAME"))
            add("NAME " + name, reader.lineStart());
        else
            add(raw, reader.lineStart());
        if (line.is("}"))
            return;
    }
    if (copy.stoppedAt < 0)
        copy.stoppedAt = reader.pos();
    copy.readError = reader.errorString();
    add("}", -1);
}

void addLine(CharacterText &copy, const QByteArray &line)
{
    copy.lineStarts.append(copy.text.size());
    copy.sourceLines.append(-1);
    copy.text += line;
    copy.text += '\n';
}

} // namespace

CharacterText composeCharacter(QIODevice *source, qint64 offset, qint64 sourceEnd,
        const CharacterNumbers &numbers, const QByteArray &name, qsizetype blockSize)
{
    CharacterText copy;
    addLine(copy, QByteArray());
    addLine(copy, "//********Transfered Character***********");
    addLine(copy, "SECTION CHARACTER " + QByteArray::number(numbers.section));
    composeBody(copy, source, offset, sourceEnd, &numbers, name, blockSize);
    return copy;
}

CharacterText composeRecord(QIODevice *source, qint64 offset, qint64 sourceEnd, int section)
{
    CharacterText copy;
    addLine(copy, "SECTION CHARACTER " + QByteArray::number(section));
    composeBody(copy, source, offset, sourceEnd, nullptr, QByteArray(), 1 << 18);
    return copy;
}

QSet<int> writtenItems(const QMap<int, item_st> &items, int owner)
{
    QHash<int, QList<int>> references;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        references.insert(it.key(), referencesOf(*it));
    QSet<int> written(items.keyBegin(), items.keyEnd());
    // Leaving one item behind can leave behind what lies in it: repeat until nothing more
    // goes.
    for (bool changed = true; changed;) {
        changed = false;
        for (auto it = written.begin(); it != written.end();) {
            bool stays = true;
            for (const int target : references.value(*it))
                stays = stays && (target == -1 || target == owner || written.contains(target));
            if (stays) {
                ++it;
            } else {
                it = written.erase(it);
                changed = true;
            }
        }
    }
    return written;
}

void appendItemLine(QByteArray *out, const QString &stored, const QMap<int, item_st> &items,
        const QSet<int> &written, int serial, int owner, int newOwner, bool *typeSeven,
        QByteArray *scratch)
{
    const auto reference = [&](int value) -> QByteArray {
        if (value != -1 && written.contains(value))
            return QByteArray::number(items.value(value).serial);
        if (value == owner && value != -1)
            return QByteArray::number(newOwner);
        return "-1";
    };
    const QByteArrayView raw = world::encodeInto(stored, scratch);
    const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
    if (line.keyIs("SERIAL")) {
        *out += "SERIAL ";
        *out += QByteArray::number(serial);
    } else if (line.keyIs("OWNER")) {
        *out += "OWNER ";
        *out += QByteArray::number(newOwner);
    } else if (line.keyIs("CONT")) {
        *out += "CONT ";
        *out += reference(world::toNumber(line.word(1)));
    } else if (line.keyIs("MORE") && *typeSeven) {
        *out += "MORE ";
        *out += reference(world::toNumber(line.word(1)));
    } else {
        if (line.keyIs("TYPE") && line.word(1) == "7")
            *typeSeven = true;
        *out += raw;
    }
}

} // namespace transfer
