#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include "items/itemrecords.h"

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace transfer {

// The numbers a copied character record gets.
struct CharacterNumbers
{
    int section;
    int serial;
    int account;
};

// The text that copies a character record, and where each of its lines came from.
struct CharacterText
{
    QByteArray text;
    // For each line of `text`: where it begins in `text`, and where the source line it was
    // made from begins in the source file (-1 for the lines the copy adds itself).
    QList<qint64> lineStarts;
    QList<qint64> sourceLines;
    // Where the source line begins that ended the copy before its closing brace (a line that
    // starts another record), or the end of the source; -1 when the record's own brace
    // ended it.
    qint64 stoppedAt = -1;
    QString readError;
};

// Copies the character record whose SECTION line ends at `offset` of `source`, reading no
// further than `sourceEnd`: a line break first (it ends a last line that had none), the
// comment and the new header, the blank and comment-only lines before the record's brace,
// then from the brace the loader takes on, with OWN, ACCOUNT, SERIAL and ROBE rewritten as
// the loader reads those keys. Lines the loader passes over while it looks for that brace
// (another record's text) are left out. The copy ends at the loader's closing brace, before
// a line that starts another record, or at `sourceEnd`; the last two get a "}" of our own.
// A non-empty `name` renames the copy: every NAME line becomes "NAME " and those bytes.
// `blockSize` is how much is read from `source` at a time: a run of many copies reads
// little more than each record.
CharacterText composeCharacter(QIODevice *source, qint64 offset, qint64 sourceEnd,
        const CharacterNumbers &numbers, const QByteArray &name = QByteArray(),
        qsizetype blockSize = 1 << 18);

// The same record as a package holds it: the header "SECTION CHARACTER <section>" and the
// lines composeCharacter takes, each as the source has it, numbers included. Copied from
// there, it gives what composeCharacter gives from the source.
CharacterText composeRecord(QIODevice *source, qint64 offset, qint64 sourceEnd, int section);

// The collected items that are written: an item lying in a container, or a key (type 7)
// opening an object, that is not written itself stays behind with it, and so does what
// lies in it in turn. The character itself and -1 (nothing) always count as written.
QSet<int> writtenItems(const QMap<int, item_st> &items, int owner);

// The text that copies the written items of `items`, in ascending order of old serial, as
// records `firstSection` onwards, with SERIAL, OWNER, CONT and (after TYPE 7) MORE
// renumbered. `beforeItem` is called with the count of entries of `items` gone through,
// once per entry, written or not.
template <typename BeforeItem>
QByteArray composeItems(const QMap<int, item_st> &items, const QSet<int> &written, int firstSection,
        int owner, int newOwner, BeforeItem beforeItem);

// One line of a collected record as the copy writes it, appended to `out`; `scratch` is room
// the line's bytes are worked out in.
void appendItemLine(QByteArray *out, const QString &stored, const QMap<int, item_st> &items,
        const QSet<int> &written, int serial, int owner, int newOwner, bool *typeSeven,
        QByteArray *scratch);

template <typename BeforeItem>
QByteArray composeItems(const QMap<int, item_st> &items, const QSet<int> &written, int firstSection,
        int owner, int newOwner, BeforeItem beforeItem)
{
    QByteArray records;
    QByteArray scratch;
    int section = firstSection;
    int count = 0;
    for (auto it = items.cbegin(); it != items.cend(); ++it, ++count) {
        beforeItem(count);
        if (!written.contains(it.key()))
            continue;
        records += "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM ";
        records += QByteArray::number(section++);
        records += '\n';
        bool typeSeven = false;
        for (const QString &stored : it->lines) {
            appendItemLine(&records, stored, items, written, it->serial, owner, newOwner,
                    &typeSeven, &scratch);
            records += '\n';
        }
        records += "}\n\n";
    }
    return records;
}

} // namespace transfer
