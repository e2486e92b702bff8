#pragma once

#include <QString>
#include <QStringList>

namespace cli {

class Output;
class TerminalProgress;

// A shard merge as the command line asks for it.
struct MergeJob
{
    QString from;
    QString to;
    QStringList accounts; // empty: all of them
    bool joinExisting = false;
    bool withoutItems = false;
    bool dryRun = false;
    bool json = false;
};

// Plans the merge, prints the plan (dry run) or does it and sums it up; every conflict of a
// refused merge goes to standard error. Returns the exit status.
int runMerge(const MergeJob &job, Output &out, TerminalProgress &progress);

} // namespace cli
