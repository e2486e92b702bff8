#pragma once

#include <QList>
#include <QString>

namespace engine {
struct Session;
}

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
    QString newName; // the name the copy arrives under; empty: its own
};

struct TransferJob
{
    QString from;
    QString to;
    QList<TransferLine> transfers;
    bool dryRun = false;
    bool show = false; // with dryRun: print the text each file would get
    // A line whose character already stands, by that name, in its destination account is
    // passed over ("already there") instead of refused as a duplicate.
    bool skipExisting = false;
    // A source world without an items file may be used: its characters arrive without items.
    bool withoutItems = false;
    bool json = false; // one JSON document on standard output instead of lines
    int waitMs = 0; // how long to wait for a destination another program is writing
};

// Runs the transfers one after another, each all or nothing, the destination followed
// after each, and stops at the first that is refused or fails, or at SIGINT or SIGTERM
// once the transfer in progress is whole. The destination's lock is held from before it is
// loaded to the end. Returns the exit status.
int runTransfers(const TransferJob &job, Output &out, TerminalProgress &progress);

// What a line of a batch file names.
enum class BatchLines {
    Transfers, // source account, character, destination account and perhaps a new name
    Characters, // source account and character (export)
};

// Reads a batch file: one transfer a line, "source account TAB character TAB destination
// account", perhaps followed by "TAB new name"; for `Characters`, "source account TAB
// character". Lines that begin with "#" and blank lines are skipped. On a malformed line
// returns false with `error` naming it.
bool readBatch(const QString &path, QList<TransferLine> *transfers, QString *error,
        BatchLines kind = BatchLines::Transfers);

// Fills in the source account of every line that names none: the one account of the source
// world in `session` that holds a character of that name. Returns the exit status after
// saying what is wrong (no account holds it, or several do), or 0.
int findSourceAccounts(const engine::Session &session, const QString &from,
        QList<TransferLine> *lines, TerminalProgress &progress);

// The engine's refusals give the window's advice ("Select the destination world again");
// on a terminal the same step is running the command again.
QString commandWording(QString text);

// Why the world in `dir` cannot be read as one; empty when it can.
QString unreadableWorld(const QString &dir);

} // namespace cli
