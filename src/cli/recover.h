#pragma once

#include <QString>

namespace cli {

class Output;

// Undoes a transfer into the world in `dir` that was interrupted (its journal is still
// there), as the window does when it opens that world; with `discard`, removes a journal
// that cannot be undone once the user has checked the files. Both hold the world's lock,
// waiting up to `waitMs` milliseconds for a program that holds it. Returns the exit status.
int recoverWorld(const QString &dir, bool discard, int waitMs, Output &out);

} // namespace cli
