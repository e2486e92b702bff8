#pragma once

#include <QString>

namespace cli {

class Output;

// Undoes a transfer into the world in `dir` that was interrupted (its journal is still
// there), as the window does when it opens that world; with `discard`, removes a journal
// that cannot be undone once the user has checked the files. Both hold the world's lock,
// waiting up to `waitMs` milliseconds for a program that holds it. Returns the exit status.
int recoverWorld(const QString &dir, bool discard, int waitMs, Output &out);

// The journal a transfer writes first under another name and then renames into place; one
// left there was never in place. What is said when a recovery removes it.
QString unfinishedJournalPath(const QString &dir);
QString unfinishedJournalRemoved(const QString &dir);

// What list and check say of a journal they find, which they leave as it is: "an
// interrupted transfer of "Aldo Brand" is pending (...): `chartransfer-cli recover WORLD`
// undoes it". Empty when there is none.
QString pendingTransfer(const QString &dir);

} // namespace cli
