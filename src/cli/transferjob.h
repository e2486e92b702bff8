#pragma once

#include <QList>
#include <QString>

namespace cli {

class Output;
class TerminalProgress;

// One transfer the command line or a batch file asks for, by the names the world files
// give. An empty source account: look the character up in every source account.
struct TransferLine
{
    QString sourceAccount;
    QString character;
    QString destAccount;
    QString origin; // "FILE:LINE" for a batch line, empty for the command line
};

struct TransferJob
{
    QString from;
    QString to;
    QList<TransferLine> transfers;
    bool dryRun = false;
    bool show = false; // with dryRun: print the text each file would get
    int waitMs = 0; // how long to wait for a destination another program is writing
};

// Runs the transfers one after another, each all or nothing, the destination loaded again
// after each, and stops at the first that is refused or fails. The destination's lock is
// held from before it is loaded to the end. Returns the exit status.
int runTransfers(const TransferJob &job, Output &out, TerminalProgress &progress);

// Reads a batch file: one transfer a line, "source account TAB character TAB destination
// account"; lines that begin with "#" and blank lines are skipped. On a malformed line
// returns false with `error` naming it.
bool readBatch(const QString &path, QList<TransferLine> *transfers, QString *error);

} // namespace cli
