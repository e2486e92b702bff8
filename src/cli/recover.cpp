#include "cli/recover.h"

#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "transfer/journal.h"

namespace cli {

int recoverWorld(const QString &dir, bool discard, Output &out)
{
    if (!QFileInfo(dir).isDir()) {
        std::fprintf(stderr, "chartransfer-cli: %s is not a world: no such directory\n",
                qPrintable(dir));
        return ExitUnreadable;
    }
    if (discard) {
        if (!QFileInfo::exists(transfer::journalPath(dir))) {
            out.line(QStringLiteral("%1: no interrupted transfer").arg(dir));
            return ExitDone;
        }
        const QString summary = transfer::journalSummary(dir);
        // At a terminal the operator confirms; a script that says --discard has decided.
        if (isatty(STDIN_FILENO)) {
            std::fprintf(stderr,
                    "%s holds the journal of %s.\nRemove it and leave the world's files as "
                    "they are now? [y/N] ",
                    qPrintable(dir), qPrintable(summary));
            char answer[16] = {};
            if (!std::fgets(answer, sizeof answer, stdin)
                    || (answer[0] != 'y' && answer[0] != 'Y')) {
                out.line(QStringLiteral("%1: the journal was kept").arg(dir));
                return ExitRefused;
            }
        }
        QString error;
        if (!transfer::removeJournal(dir, &error)) {
            std::fprintf(stderr, "chartransfer-cli: %s\n", qPrintable(error));
            return ExitRefused;
        }
        out.line(QStringLiteral("%1: removed the journal of %2; the world's files were left as "
                                "they are")
                         .arg(dir, summary));
        return ExitDone;
    }
    // Also without a journal: a journal that was never put in place is removed then.
    const transfer::Recovery recovery = transfer::recoverWorld(dir);
    if (recovery.result == transfer::RecoveryResult::None) {
        out.line(QStringLiteral("%1: no interrupted transfer").arg(dir));
        return ExitDone;
    }
    if (recovery.result == transfer::RecoveryResult::Kept) {
        std::fprintf(stderr, "chartransfer-cli: Interrupted Transfer: %s\n",
                qPrintable(recovery.message));
        return ExitRefused;
    }
    out.line(recovery.message);
    return ExitDone;
}

} // namespace cli
