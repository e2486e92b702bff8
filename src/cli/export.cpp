#include "cli/export.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "engine/session.h"
#include "engine/transferrun.h"
#include "transfer/journal.h"
#include "transfer/package.h"

namespace cli {

namespace {

void printError(TerminalProgress &progress, const QString &text)
{
    progress.clear();
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int refuseDamagedPackage(const QString &dir, int status, TerminalProgress &progress)
{
    const engine::Refusal damaged = transfer::damagedPackage(dir);
    if (damaged.isEmpty())
        return 0;
    printError(progress,
            QStringLiteral("chartransfer-cli: %1: %2").arg(damaged.caption, damaged.text));
    return status;
}

int exportCharacters(const ExportJob &job, Output &out, TerminalProgress &progress)
{
    // Nothing is read before the package is known to have a place to go.
    const QString target = transfer::packageTargetProblem(job.to);
    if (!target.isEmpty()) {
        printError(progress,
                QStringLiteral("chartransfer-cli: cannot export into %1: %2; nothing was "
                               "written\nName a directory that does not exist yet, or an empty "
                               "one.")
                        .arg(job.to, target));
        return ExitUsage;
    }
    const QString error = unreadableWorld(job.from);
    if (!error.isEmpty()) {
        printError(progress, QStringLiteral("chartransfer-cli: %1").arg(error));
        return ExitUnreadable;
    }
    if (const int status = refuseDamagedPackage(job.from, ExitRefused, progress))
        return status;
    // As every command does with a world it opens: a transfer into it that was interrupted
    // is undone first.
    const transfer::Recovery recovery = transfer::recoverWorld(job.from);
    if (recovery.result != transfer::RecoveryResult::None)
        printError(progress, QStringLiteral("Interrupted Transfer: %1").arg(recovery.message));

    engine::Session session;
    engine::LoadListener listener;
    engine::loadWorld(session, job.from, false, progress, listener);
    QList<TransferLine> lines = job.characters;
    if (const int status = findSourceAccounts(session, job.from, &lines, progress))
        return status;

    QList<transfer::PackageRequest> requests;
    for (const TransferLine &line : std::as_const(lines))
        requests.append({ line.sourceAccount, line.character });
    const transfer::PackageResult package = transfer::composePackage(session, requests, progress);
    progress.clear();
    if (!package.refusal.isEmpty()) {
        QString who;
        if (package.refused >= 0) {
            const TransferLine &line = lines.at(package.refused);
            who = QStringLiteral("%1%2 (%3): ")
                          .arg(line.origin.isEmpty() ? QString()
                                                     : line.origin + QStringLiteral(": "),
                                  line.character, line.sourceAccount);
        }
        printError(progress,
                QStringLiteral("chartransfer-cli: %1refused, nothing written\n%2: %3")
                        .arg(who, package.refusal.caption, commandWording(package.refusal.text)));
        return ExitRefused;
    }

    const QFileInfo source(job.from);
    const QByteArray manifest = transfer::packageManifest(package,
            { QStringLiteral("chartransfer-cli " CHARTRANSFER_VERSION),
                    source.canonicalFilePath().isEmpty() ? source.absoluteFilePath()
                                                         : source.canonicalFilePath(),
                    QDateTime::currentDateTimeUtc() });
    QString why;
    if (!transfer::writePackage(job.to, package.files, manifest, &why)) {
        printError(progress,
                QStringLiteral("chartransfer-cli: Export Failed: %1 Nothing was written.")
                        .arg(why));
        return ExitRestored;
    }

    if (job.json) {
        out.bytes(manifest);
        return ExitDone;
    }
    for (const transfer::PackedCharacter &character : package.characters) {
        out.line(QStringLiteral("%1 (%2): %3 items, %4 left behind")
                         .arg(character.name, character.account)
                         .arg(character.items)
                         .arg(character.itemsLeftBehind));
    }
    out.line(QStringLiteral("%1: package written (%2)")
                     .arg(job.to,
                             package.characters.size() == 1
                                     ? QStringLiteral("1 character")
                                     : QStringLiteral("%1 characters")
                                               .arg(package.characters.size())));
    return ExitDone;
}

} // namespace cli
