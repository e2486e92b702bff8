#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include "items/itemrecords.h"
#include "transfer/composition.h"
#include "transfer/referencednumbers.h"
#include "world/textencoding.h"

namespace transfer {

// Why a composed copy must not be written: the source line it comes from and what is
// wrong there.
struct Problem
{
    QString path; // the source file
    qint64 line = 0; // counted from 1
    QString what;
    QString repair;
    bool isEmpty() const { return what.isEmpty(); }
};

// Reads the composed character text back the way the loader reads a characters file and
// says what is wrong when it is not exactly one finished record yielding `name` (its NAME
// decoded in `encoding`, the source file's) with the new serial and account, or when a line
// of the destination items file in `referenced` already names that serial. `offset` is
// where the source record's header ends in `sourcePath`.
Problem verifyCharacter(const CharacterText &copy, const QString &name,
        world::TextEncoding encoding, const CharacterNumbers &numbers, const QString &sourcePath,
        qint64 offset, const ReferencedNumbers *referenced = nullptr);

// What the destination items file already holds, as the serial scan found it.
struct ItemsTaken
{
    int highestSection;
    int highestSerial;
    // Numbers that lines of its records name, which no new serial may be.
    const ReferencedNumbers *referenced = nullptr;
};

// Reads the composed items text back the way the item scans read an items file and says
// what is wrong when it is not exactly the written items: one record each, numbered above
// `taken` (and none a number its records name), each with exactly one SERIAL line holding
// its new serial, OWNER the new
// character, every CONT and (type 7) MORE naming a written item, the new character or -1,
// and no record header inside a record.
Problem verifyItems(const QByteArray &text, const QMap<int, item_st> &items,
        const QSet<int> &written, const ItemsTaken &taken, int newOwner, const QString &sourcePath);

// The line (counted from 1) that begins at byte position `position` of the file at `path`;
// 0 when the file cannot be read that far.
qint64 lineNumberAt(const QString &path, qint64 position);

// Where line `index` of a collected item record begins in the items file `path`, counting
// the record's opening brace as line 0; `offset` is where its header ends. -1 when the
// file no longer reads that way.
qint64 itemLinePosition(const QString &path, qint64 offset, int index);

} // namespace transfer
