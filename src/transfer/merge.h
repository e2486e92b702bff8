#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "engine/progress.h"

namespace transfer {

// A shard merge: whole accounts of one world, each with all its characters and their
// items, into another world. Accounts the destination lacks are created; accounts it has
// are joined only when asked, since one name on two shards can be two different people.
struct MergeRequest
{
    QString source;
    QString destination;
    QStringList accounts; // by name; empty: every account of the source
    bool joinExisting = false;
    // A source without an items file is merged only when asked: its characters would
    // arrive without their items.
    bool withoutItems = false;
};

struct MergedCharacter
{
    QString name;
    int section = 0; // its new record number
    int serial = 0; // and serial
    int items = 0; // item records written
    int leftBehind = 0;
};

struct MergedAccount
{
    QString name;
    int sourceNumber = 0;
    int number = 0; // in the destination: the new record, or the account joined
    bool created = false;
    QList<MergedCharacter> characters;
};

// The numbers a merge hands out, first to last; empty when last < first.
struct NumberRange
{
    qint64 first = 0;
    qint64 last = -1;
    bool isEmpty() const { return last < first; }
};

struct MergePlan
{
    QList<MergedAccount> accounts; // in the order the merge writes them
    // Why the merge must not be written, every one of them; empty when it may be.
    QStringList conflicts;
    int characters = 0;
    int items = 0;
    int itemsLeftBehind = 0;
    NumberRange accountRecords;
    NumberRange characterRecords;
    NumberRange characterSerials;
    NumberRange itemRecords;
    NumberRange itemSerials;
};

enum class MergeResult {
    Done, // appended and flushed (or, on a dry run, planned without a conflict)
    Refused, // a conflict or a check said no; nothing was written
    Failed, // a write failed; every destination file was put back
    FailedNotRestored, // a write failed and a file could not be put back
    Unreadable, // a world that cannot be read
};

struct MergeOutcome
{
    MergeResult result = MergeResult::Refused;
    QString message; // the refusal or the failure, as the user is told it
    QString recovery; // an interrupted transfer or merge undone first, when there was one
    MergePlan plan;
};

// An account holds at most this many characters.
constexpr int MergeAccountLimit = 5;

// Plans the whole merge (every account, character and item composed and read back as a
// transfer reads its copies back), and unless `dryRun` or a conflict says otherwise, writes
// it as one journaled append to the destination's accounts.adm, ztpcs.wsc and ztitems.wsc,
// holding the destination's lock from before it reads the destination until the journal is
// removed. The composed texts are written to files beside the journal as they are made
// (spoolFileName()) and appended from there, so no whole world is held in memory; a dry
// run writes nothing. The source is only read.
MergeOutcome runMerge(const MergeRequest &request, engine::Progress &progress, bool dryRun);

// The text that appends a copy of an account record: the source record from its "{" line
// to its "}" line, as it stands, under a header with the new number.
QByteArray accountHeader(int number);

} // namespace transfer
