#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include "engine/progress.h"
#include "engine/session.h"
#include "world/textencoding.h"

namespace items {

// An item record with an OWNER line naming a character, as the items file holds it: its
// lines from the "{" on, each conditioned the scans' way, and what it sets.
struct OwnedRecord
{
    qint64 offset; // just past its SECTION line
    QList<QString> lines;
    // Collected for many owners at once: the same lines, each followed by a line feed, in
    // one block of bytes instead (a string per line costs ten times the line).
    QByteArray packed;
    int serial; // the serial it is filed under
    int container; // -1: none
    bool typeSeven;
    int more;
};

// The records of several characters, read in one pass, in file order for each.
struct OwnedItems
{
    QHash<int, QList<OwnedRecord>> byOwner;
    QString readError; // the pass stopped early, or the file is there but cannot be read
    world::TextEncoding encoding = world::TextEncoding::Ascii; // how the file's text decodes
};

// Reads the items file of the world in `name` once for all `owners`; `pack` keeps each
// record's lines in its packed form.
OwnedItems collectOwned(const QString &name, const QList<int> &owners, engine::Progress &progress,
        bool pack = false);

// Files the records of `owner` as item identification does: new serials above
// maxItemSerial in file order (passing over the numbers in destItemsReferenced), the OWNER lines naming the character rewritten to its copy,
// then the pruning. The same as getSerials on a file that holds those records.
void fileOwned(engine::Session &session, int owner, const OwnedItems &owned);

// Finds the highest record number and the highest item serial that the items file of the
// world in `dir` already uses (every line counts, inside records and between them), so
// that appended items take numbers above both; notes whether the file ends inside a record.
void acquireSerials(engine::Session &session, const QString &dir, engine::Progress &progress);

// Collects every item record of the items file in `name` whose OWNER line names the
// character `owner` into the session's serialMap, gives each a new serial above
// maxItemSerial in file order, and then drops those whose container (or, for type 7, whose
// MORE object) was not collected and is not the character.
void getSerials(
        engine::Session &session, const QString &name, int owner, engine::Progress &progress);

} // namespace items
