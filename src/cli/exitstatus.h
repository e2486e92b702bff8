#pragma once

namespace cli {

// The program's exit statuses, as its --help and its manual page list them. Scripts test
// these numbers, so they never change meaning.
enum ExitStatus {
    ExitDone = 0, // done; for check: no problems found
    ExitProblems = 1, // check found problems
    ExitUsage = 2, // the command line (or a batch file) is wrong; nothing was done
    ExitRefused = 3, // a transfer was refused; nothing of it was written
    ExitRestored = 4, // a transfer failed; the destination was put back as it was
    ExitNotRestored = 5, // a transfer failed and a destination file could not be put back
    ExitUnreadable = 6, // a world that cannot be read
};

} // namespace cli
