// chartransfer-cli: the window's work from a terminal or a script. Lists and checks worlds,
// and copies characters between them through the same engine the window uses.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/merge.h"
#include "cli/recover.h"
#include "cli/terminal.h"
#include "cli/transferjob.h"
#include "cli/worldcheck.h"
#include "cli/worldlist.h"
#include "transfer/journal.h"

namespace {

const char Description[] = R"(Copies a player character with all its items from one saved game world
into an account of another, or lists and checks a world. A world is a directory
holding accounts.adm, ztpcs.wsc and ztitems.wsc.

Commands:
  list WORLD [--json]
      The accounts (number, name) and their characters (name, serial, record
      number), as the window lists them.
  check WORLD [--json]
      Reads the three files as the program does and prints every problem as
      "file:line: problem": record numbers and serials used twice, OWNER, CONT,
      MORE (keys), ROBE and ACCOUNT lines that name no record, records cut off
      or without their braces or SERIAL line, files that cannot be read; then a
      summary line.
  transfer --from SRC --to DEST [--source-account NAME] --account NAME CHARACTER...
  transfer --from SRC --to DEST --batch FILE
      Copies each character into the destination account, as the window's arrow
      does, one after another; stops at the first refusal or failure. A batch
      file has one transfer a line: source account, character and destination
      account separated by TABs; lines starting with # and blank lines are
      skipped. With --dry-run nothing is written.
  merge --from SRC --to DEST [--account NAME]... [--join-existing]
      Merges whole accounts (all of them without --account), each with all its
      characters and their items, into DEST: accounts DEST lacks are created,
      accounts it has are joined only with --join-existing. All or nothing: any
      conflict refuses the whole merge and lists every conflict. With --dry-run
      prints the plan and writes nothing; --json prints one JSON document.
  recover WORLD [--discard]
      Undoes a transfer into WORLD that was interrupted (the program or the
      machine stopped during it), as the window does when it opens the world.
      With --discard, removes the journal of one that cannot be undone, once
      you have checked the world's files.

Stop the game server before you transfer into its world.

Exit status:
  0  done; check: no problems found
  1  check found problems
  2  usage error (command line or batch file); nothing was done
  3  a transfer was refused (recover: could not undo); nothing was written
  4  a transfer failed; the destination was put back as it was
  5  a transfer failed and a destination file could NOT be put back
  6  a world that cannot be read)";

int usageError(const QString &message)
{
    std::fprintf(
            stderr, "chartransfer-cli: %s\nTry 'chartransfer-cli --help'.\n", qPrintable(message));
    return cli::ExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("chartransfer-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CHARTRANSFER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption json(QStringLiteral("json"),
            QStringLiteral("list, check: print one JSON document instead of lines."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
            QStringLiteral("Show no progress (it is shown only on a terminal anyway)."));
    const QCommandLineOption from(QStringLiteral("from"),
            QStringLiteral("transfer: the source world's directory."), QStringLiteral("SRC"));
    const QCommandLineOption to(QStringLiteral("to"),
            QStringLiteral("transfer: the destination world's directory."), QStringLiteral("DEST"));
    const QCommandLineOption sourceAccount(QStringLiteral("source-account"),
            QStringLiteral("transfer: the source account that holds the characters (without "
                           "it every source account is searched)."),
            QStringLiteral("NAME"));
    const QCommandLineOption account(QStringLiteral("account"),
            QStringLiteral("transfer: the destination account that receives the characters."),
            QStringLiteral("NAME"));
    const QCommandLineOption batch(QStringLiteral("batch"),
            QStringLiteral("transfer: run the transfers listed in FILE."), QStringLiteral("FILE"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
            QStringLiteral("transfer: write nothing; print what each transfer would do."));
    const QCommandLineOption show(QStringLiteral("show"),
            QStringLiteral("transfer --dry-run: also print the exact text each file would get."));
    const QCommandLineOption joinExisting(QStringLiteral("join-existing"),
            QStringLiteral("merge: merge source accounts into destination accounts of the same "
                           "name."));
    const QCommandLineOption discard(QStringLiteral("discard"),
            QStringLiteral("recover: remove the journal without changing the world's files."));
    parser.addOptions({ json, quiet, from, to, sourceAccount, account, batch, dryRun, show, discard,
            joinExisting });
    parser.addPositionalArgument(QStringLiteral("command"),
            QStringLiteral("list, check, transfer, merge or recover, and its arguments."),
            QStringLiteral("command [arguments]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(cli::ExitDone);
    if (parser.isSet(versionOption))
        parser.showVersion();

    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = arguments.takeFirst();
    const QList<QCommandLineOption> transferOnly = { from, to, sourceAccount, account, batch,
        dryRun, show, joinExisting };

    cli::Output out(stdout);
    cli::TerminalProgress progress(parser.isSet(quiet));

    if (command == QLatin1String("recover")) {
        for (const QCommandLineOption &option : transferOnly + QList<QCommandLineOption>{ json }) {
            if (parser.isSet(option))
                return usageError(
                        QStringLiteral("--%1 is not for recover").arg(option.names().constFirst()));
        }
        if (arguments.size() != 1)
            return usageError(QStringLiteral("recover needs one world directory"));
        return cli::recoverWorld(arguments.constFirst(), parser.isSet(discard), out);
    }
    if (parser.isSet(discard))
        return usageError(QStringLiteral("--discard is for recover"));
    if (command == QLatin1String("list") || command == QLatin1String("check")) {
        for (const QCommandLineOption &option : transferOnly) {
            if (parser.isSet(option))
                return usageError(QStringLiteral("--%1 is for transfer, not %2")
                                          .arg(option.names().constFirst(), command));
        }
        if (arguments.size() != 1)
            return usageError(QStringLiteral("%1 needs one world directory").arg(command));
        // A transfer into this world that a crash interrupted is undone before the world is
        // read, as the window does when it opens a world; one that cannot be undone is said.
        const transfer::Recovery recovery = transfer::recoverWorld(arguments.constFirst());
        if (recovery.result != transfer::RecoveryResult::None) {
            std::fprintf(stderr, "chartransfer-cli: Interrupted Transfer: %s\n",
                    qPrintable(recovery.message));
        }
        return command == QLatin1String("list")
                ? cli::listWorld(arguments.constFirst(), parser.isSet(json), out, progress)
                : cli::checkWorld(arguments.constFirst(), parser.isSet(json), out, progress);
    }
    if (command == QLatin1String("merge")) {
        for (const QCommandLineOption &option : { sourceAccount, batch, show }) {
            if (parser.isSet(option))
                return usageError(
                        QStringLiteral("--%1 is not for merge").arg(option.names().constFirst()));
        }
        if (!parser.isSet(from) || !parser.isSet(to))
            return usageError(QStringLiteral("merge needs --from SRC and --to DEST"));
        if (!arguments.isEmpty())
            return usageError(QStringLiteral("merge takes no arguments besides its options"));
        const cli::MergeJob job{ parser.value(from), parser.value(to), parser.values(account),
            parser.isSet(joinExisting), parser.isSet(dryRun), parser.isSet(json) };
        return cli::runMerge(job, out, progress);
    }
    if (parser.isSet(joinExisting))
        return usageError(QStringLiteral("--join-existing is for merge"));
    if (command != QLatin1String("transfer"))
        return usageError(QStringLiteral("unknown command '%1'").arg(command));

    if (parser.isSet(json))
        return usageError(QStringLiteral("--json is for list and check"));
    if (!parser.isSet(from) || !parser.isSet(to))
        return usageError(QStringLiteral("transfer needs --from SRC and --to DEST"));
    if (parser.isSet(show) && !parser.isSet(dryRun))
        return usageError(QStringLiteral("--show goes with --dry-run"));
    cli::TransferJob job;
    job.from = parser.value(from);
    job.to = parser.value(to);
    job.dryRun = parser.isSet(dryRun);
    job.show = parser.isSet(show);
    if (parser.isSet(batch)) {
        if (parser.isSet(account) || parser.isSet(sourceAccount) || !arguments.isEmpty())
            return usageError(QStringLiteral(
                    "--batch names every transfer: no --account, --source-account or CHARACTER"));
        QString error;
        if (!cli::readBatch(parser.value(batch), &job.transfers, &error))
            return usageError(error);
    } else {
        if (!parser.isSet(account))
            return usageError(QStringLiteral("transfer needs --account NAME (or --batch FILE)"));
        if (arguments.isEmpty())
            return usageError(QStringLiteral("transfer needs the name of a character"));
        for (const QString &character : std::as_const(arguments)) {
            job.transfers.append(cli::TransferLine{
                    parser.value(sourceAccount), character, parser.value(account), QString() });
        }
    }
    return cli::runTransfers(job, out, progress);
}
