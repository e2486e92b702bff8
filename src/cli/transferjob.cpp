#include "cli/transferjob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "engine/progress.h"
#include "engine/session.h"
#include "engine/transferrun.h"
#include "transfer/journal.h"
#include "world/worldformat.h"
#include "world/worldindex.h"

namespace cli {

namespace {

void printError(TerminalProgress &progress, const QString &text)
{
    progress.clear();
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// A world the transfer can start from: the loaders read accounts.adm and ztpcs.wsc. As in
// the window, a characters file that is not there only means no characters yet (a
// transfer into the world creates it), and a missing items file no items. Empty when the
// world can be read.
QString unreadable(const QString &dir)
{
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("%1 is not a world: no such directory").arg(dir);
    for (const QString &name : { world::accountsFileName(), world::charactersFileName() }) {
        QFile file(world::filePath(dir, name));
        if (name == world::charactersFileName() && !file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
    }
    return QString();
}

QString label(const TransferLine &transfer)
{
    return QStringLiteral("%1 (%2) -> %3")
            .arg(transfer.character, transfer.sourceAccount, transfer.destAccount);
}

// The source accounts that hold a character of that name, in account number order.
QStringList accountsHolding(const engine::Session &session, const QString &character)
{
    QStringList names;
    QSet<QString> seen;
    for (auto it = session.sourceAccounts.cbegin(); it != session.sourceAccounts.cend(); ++it) {
        // A name stands for the smallest account number that carries it, as in the window:
        // the map runs in number order, so that is where the name is met first.
        if (seen.contains(it.value()))
            continue;
        seen.insert(it.value());
        if (world::findCharacter(session.sourceChars, it.key(), character))
            names.append(it.value());
    }
    return names;
}

// A dry run of several transfers runs them for real on a copy of the destination, so that
// each sees the ones before it as the real run would; the destination itself is not written.
bool copyWorld(const QString &dir, const QString &copy, QString *error)
{
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        const QString path = world::filePath(dir, name);
        if (!QFileInfo::exists(path))
            continue;
        if (!QFile::copy(path, world::filePath(copy, name))) {
            *error = QStringLiteral("cannot copy %1 for the dry run").arg(path);
            return false;
        }
    }
    return true;
}

// The engine's steps as they are, with nothing to show between them: the outcome says it all.
class TerminalSteps : public engine::TransferSteps
{
public:
    using engine::TransferSteps::TransferSteps;
};

} // namespace

int runTransfers(const TransferJob &job, Output &out, TerminalProgress &progress)
{
    for (const QString &dir : { job.from, job.to }) {
        const QString error = unreadable(dir);
        if (!error.isEmpty()) {
            printError(progress, QStringLiteral("chartransfer-cli: %1").arg(error));
            return ExitUnreadable;
        }
    }
    const bool sameWorld =
            QFileInfo(job.from).canonicalFilePath() == QFileInfo(job.to).canonicalFilePath();

    // A transfer that was interrupted is undone first, as when the window opens the world;
    // one that cannot be undone makes the engine refuse. A dry run changes nothing, so it
    // only says what a real run would meet.
    for (const QString &dir : sameWorld ? QStringList{ job.to } : QStringList{ job.from, job.to }) {
        if (job.dryRun) {
            const QString summary = transfer::journalSummary(dir);
            if (!summary.isEmpty()) {
                printError(progress,
                        QStringLiteral("chartransfer-cli: %1 holds the journal of an "
                                       "interrupted transfer (%2): run \"chartransfer-cli "
                                       "recover %1\" first; nothing was written")
                                .arg(dir, summary));
                return ExitRefused;
            }
            continue;
        }
        const transfer::Recovery recovery = transfer::recoverWorld(dir);
        if (recovery.result != transfer::RecoveryResult::None)
            printError(progress, QStringLiteral("Interrupted Transfer: %1").arg(recovery.message));
    }

    QString from = job.from;
    QString to = job.to;
    QTemporaryDir scratch;
    const bool onCopy = job.dryRun && job.transfers.size() > 1;
    if (onCopy) {
        QString error;
        if (!scratch.isValid() || !copyWorld(job.to, scratch.path(), &error)) {
            printError(progress,
                    QStringLiteral("chartransfer-cli: %1")
                            .arg(error.isEmpty() ? scratch.errorString() : error));
            return ExitUnreadable;
        }
        to = scratch.path();
        if (sameWorld)
            from = to;
    }
    // Messages name the destination the user gave, not the copy.
    const auto shown = [&](QString text) {
        return onCopy ? text.replace(scratch.path(), job.to) : text;
    };

    engine::Session session;
    engine::LoadListener listener;
    engine::loadWorld(session, from, false, progress, listener);
    engine::loadWorld(session, to, true, progress, listener);
    TerminalSteps steps(progress);

    // Every character named on the command line is looked up before anything is written.
    QList<TransferLine> transfers = job.transfers;
    for (TransferLine &transfer : transfers) {
        if (!transfer.sourceAccount.isEmpty())
            continue;
        const QStringList holders = accountsHolding(session, transfer.character);
        if (holders.size() > 1) {
            progress.clear();
            std::fprintf(stderr,
                    "chartransfer-cli: %s is a character of %s in %s: name one with "
                    "--source-account\nTry 'chartransfer-cli --help'.\n",
                    qPrintable(transfer.character), qPrintable(holders.join(QLatin1String(", "))),
                    qPrintable(job.from));
            return ExitUsage;
        }
        if (holders.isEmpty()) {
            printError(progress,
                    QStringLiteral("chartransfer-cli: no account of %1 holds a character named "
                                   "%2; nothing was written")
                            .arg(job.from, transfer.character));
            return ExitRefused;
        }
        transfer.sourceAccount = holders.constFirst();
    }

    QStringList done;
    for (const TransferLine &transfer : std::as_const(transfers)) {
        const engine::TransferRequest request{ transfer.sourceAccount, transfer.character,
            transfer.destAccount };
        const engine::TransferOutcome outcome =
                engine::runTransfer(session, request, steps, job.dryRun && !onCopy);
        progress.clear();
        if (outcome.result == engine::TransferResult::Done) {
            out.line(
                    QStringLiteral("%1%2: %3 record %4, serial %5; %6 items moved, %7 left "
                                   "behind")
                            .arg(transfer.origin.isEmpty() ? QString()
                                                           : transfer.origin + QStringLiteral(": "),
                                    label(transfer),
                                    job.dryRun ? QStringLiteral("would be")
                                               : QStringLiteral("done:"),
                                    QString::number(outcome.newSection),
                                    QString::number(outcome.newSerial),
                                    QString::number(outcome.itemsWritten),
                                    QString::number(outcome.itemsLeftBehind)));
            if (job.show) {
                // Byte counts first, so that a script can cut the text out exactly.
                out.line(QStringLiteral("--- %1 would get %2 bytes:")
                                 .arg(world::filePath(job.to, world::charactersFileName()),
                                         QString::number(outcome.characterText.size())));
                out.bytes(outcome.characterText);
                out.line(QStringLiteral("--- %1 would get %2 bytes:")
                                 .arg(world::filePath(job.to, world::itemsFileName()),
                                         QString::number(outcome.itemsText.size())));
                out.bytes(outcome.itemsText);
                out.line(QStringLiteral("--- end"));
            }
            out.flush();
            done.append(transfer.origin.isEmpty()
                            ? transfer.character
                            : QStringLiteral("%1 (%2)").arg(transfer.character, transfer.origin));
            continue;
        }

        out.flush();
        const QString what = outcome.result == engine::TransferResult::Refused
                ? QStringLiteral("refused, nothing written")
                : outcome.result == engine::TransferResult::Failed
                ? QStringLiteral("failed, destination put back as it was")
                : QStringLiteral("failed, destination NOT put back");
        QString text =
                QStringLiteral("chartransfer-cli: %1%2: %3\n%4: %5")
                        .arg(transfer.origin.isEmpty() ? QString()
                                                       : transfer.origin + QStringLiteral(": "),
                                label(transfer), what, outcome.message.caption,
                                shown(outcome.message.text));
        if (transfers.size() > 1) {
            const QString list = done.join(QLatin1String(", "));
            text += done.isEmpty()
                    ? QStringLiteral("\nStopped there; no transfer was done before it.")
                    : job.dryRun
                    ? QStringLiteral("\nStopped there; before it these would be done: %1.")
                              .arg(list)
                    : QStringLiteral("\nStopped there; done before it: %1.").arg(list);
        }
        printError(progress, text);
        switch (outcome.result) {
        case engine::TransferResult::Refused:
            return ExitRefused;
        case engine::TransferResult::Failed:
            return ExitRestored;
        default:
            return ExitNotRestored;
        }
    }
    return ExitDone;
}

} // namespace cli
