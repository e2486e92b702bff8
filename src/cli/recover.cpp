#include "cli/recover.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <unistd.h>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "transfer/journal.h"
#include "transfer/worldlock.h"

namespace cli {

QString unfinishedJournalPath(const QString &dir)
{
    return transfer::journalPath(dir) + QStringLiteral(".new");
}

QString unfinishedJournalRemoved(const QString &dir)
{
    return QStringLiteral("removed %1, a journal whose writing was interrupted; nothing had "
                          "been appended after it")
            .arg(unfinishedJournalPath(dir));
}

QString pendingTransfer(const QString &dir)
{
    const QString summary = transfer::journalSummary(dir);
    if (summary.isEmpty())
        return QString();
    // The journal of a transfer that is still running is no interrupted transfer.
    qint64 pid = 0;
    if (transfer::worldLockHeld(dir, &pid))
        return QStringLiteral("World Busy: %1").arg(transfer::inProgressText(pid));
    static const QRegularExpression character(
            QStringLiteral("^the transfer of the character (\"[^\n]*\") from "));
    const QRegularExpressionMatch match = character.match(summary);
    return QStringLiteral("an interrupted transfer%1 is pending (%2): `chartransfer-cli recover "
                          "%3` undoes it")
            .arg(match.hasMatch() ? QStringLiteral(" of ") + match.captured(1) : QString(), summary,
                    dir);
}

int recoverWorld(const QString &dir, bool discard, int waitMs, Output &out)
{
    const QString notWorld = notAWorld(dir);
    if (!notWorld.isEmpty() && !QFileInfo::exists(transfer::journalPath(dir))) {
        std::fprintf(stderr, "chartransfer-cli: %s\n", qPrintable(notWorld));
        return ExitUnreadable;
    }
    if (!transfer::journalPresent(dir)) {
        out.line(QStringLiteral("%1: no interrupted transfer").arg(dir));
        return ExitDone;
    }
    // The journal of a transfer that is still running must be neither cut with nor removed.
    transfer::WorldLock lock;
    if (!lock.acquire(dir, waitMs)) {
        std::fprintf(stderr, "chartransfer-cli: %s%s\n", lock.busy() ? "World Busy: " : "",
                qPrintable(lock.busy() ? transfer::worldBusyText(dir, lock.holderPid())
                                       : lock.error()));
        return ExitRefused;
    }
    // A journal still being written when the program stopped was never in place, and
    // nothing was appended after it: undoing removes it, and says so.
    const QString unfinished = unfinishedJournalPath(dir);
    const bool hadUnfinished = QFileInfo::exists(unfinished);
    const auto sayRemoved = [&] {
        if (hadUnfinished && !QFileInfo::exists(unfinished))
            out.line(unfinishedJournalRemoved(dir));
    };
    if (discard && QFileInfo::exists(transfer::journalPath(dir))) {
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
    const transfer::Recovery recovery = transfer::recoverLockedWorld(dir);
    sayRemoved();
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
