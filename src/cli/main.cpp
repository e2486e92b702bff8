// chartransfer-cli: the window's work from a terminal or a script. Lists and checks worlds,
// and copies characters between them through the same engine the window uses.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/export.h"
#include "cli/interrupt.h"
#include "cli/merge.h"
#include "cli/recover.h"
#include "cli/terminal.h"
#include "cli/transferjob.h"
#include "cli/worldcheck.h"
#include "cli/worldlist.h"

namespace {

const char Description[] = R"(Copies a player character with all its items from one saved game world
into an account of another, or lists and checks a world. A world is a directory
holding accounts.adm, ztpcs.wsc and ztitems.wsc.

Commands:
  list WORLD [--json]
      The accounts (number, name) and their characters (name, serial, record
      number), as the window lists them. Only reads the world.
  check WORLD [--json]
      Reads the three files as the program does and prints every problem as
      "file:line: problem": record numbers and serials used twice, OWNER, CONT,
      MORE (keys), ROBE and ACCOUNT lines that name no record, records cut off
      or without their braces or SERIAL line, files that cannot be read, the
      journal of an interrupted transfer; then a summary line. Only reads the
      world.
  transfer --from SRC --to DEST [--source-account NAME] --account NAME CHARACTER...
  transfer --from SRC --to DEST --batch FILE
      Copies each character into the destination account, as the window's arrow
      does, one after another; stops at the first refusal or failure, and ends
      a run of several with its totals. A batch file has one transfer a line:
      source account, character and destination account separated by TABs,
      and perhaps a new name; lines starting with # and blank lines are
      skipped. With --dry-run nothing is written anywhere. With --name NEW
      the one character named arrives under the name NEW.
      Put -- before a character whose name begins with a dash:
      transfer --from SRC --to DEST --account NAME -- -Odo-.
      SIGINT (Ctrl-C) or SIGTERM stops the run between two transfers: the one
      in progress is completed or put back, never left half done.
  export --from WORLD [--source-account NAME] CHARACTER... --to DIR [--json]
  export --from WORLD --batch FILE --to DIR [--json]
      Writes the characters with their items into DIR (which must not exist or
      be empty) as a package: a small world of their own, with a manifest, to
      carry to another server and transfer from there. A batch file has source
      account and character separated by a TAB. --json prints the manifest.
  merge --from SRC --to DEST [--account NAME]... [--join-existing] [--without-items]
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

One program at a time writes a world: transfer and recover hold its lock
(chartransfer.lock in the world). A world whose lock another program holds is
busy: they give up at once (exit status 3), or with --wait SECONDS wait that
long for it.

Stop the game server before you transfer into its world.

Exit status:
  0  done; check: no problems found
  1  check found problems
  2  usage error (command line or batch file); nothing was done
  3  a transfer or an export was refused, or a package differs from its
     manifest (recover: could not undo), or the world is busy; nothing was
     written
  4  a transfer failed; the destination was put back as it was (export: the
     package could not be written; nothing of it was left)
  5  a transfer failed and a destination file could NOT be put back
  6  a world that cannot be read, or a path that is not a world (list,
     check: a package that differs from its manifest)
  130, 143  stopped by SIGINT or SIGTERM between two transfers)";

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
    // Only the help of this program: it has no toolkit options to show with --help-all.
    const QCommandLineOption helpOption(
            { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption json(QStringLiteral("json"),
            QStringLiteral("list, check, transfer: print one JSON document instead of lines; "
                           "export: print the manifest."));
    const QCommandLineOption quiet({ QStringLiteral("q"), QStringLiteral("quiet") },
            QStringLiteral("Show no progress (it is shown only on a terminal anyway)."));
    const QCommandLineOption from(QStringLiteral("from"),
            QStringLiteral("transfer, export: the source world's directory."),
            QStringLiteral("SRC"));
    const QCommandLineOption to(QStringLiteral("to"),
            QStringLiteral("transfer: the destination world's directory; export: the "
                           "package's directory."),
            QStringLiteral("DEST"));
    const QCommandLineOption sourceAccount(QStringLiteral("source-account"),
            QStringLiteral(
                    "transfer, export: the source account that holds the characters (without "
                    "it every source account is searched)."),
            QStringLiteral("NAME"));
    const QCommandLineOption account(QStringLiteral("account"),
            QStringLiteral("transfer: the destination account that receives the characters."),
            QStringLiteral("NAME"));
    const QCommandLineOption batch(QStringLiteral("batch"),
            QStringLiteral("transfer: run the transfers listed in FILE; export: export the "
                           "characters listed in FILE."),
            QStringLiteral("FILE"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
            QStringLiteral("transfer: write nothing; print what each transfer would do."));
    const QCommandLineOption show(QStringLiteral("show"),
            QStringLiteral("transfer --dry-run: also print the exact text each file would get."));
    const QCommandLineOption skipExisting(QStringLiteral("skip-existing"),
            QStringLiteral("transfer: pass over, as \"already there\", a character that its "
                           "destination account already holds by that name, so that a batch "
                           "can be run again."));
    const QCommandLineOption withoutItems(QStringLiteral("without-items"),
            QStringLiteral("transfer, merge: accept a source world without ztitems.wsc (its "
                           "characters arrive without items)."));
    const QCommandLineOption name(QStringLiteral("name"),
            QStringLiteral("transfer: the name the one character arrives under."),
            QStringLiteral("NEW"));
    const QCommandLineOption discard(QStringLiteral("discard"),
            QStringLiteral("recover: remove the journal without changing the world's files."));
    const QCommandLineOption wait(QStringLiteral("wait"),
            QStringLiteral("transfer, recover: when another program is writing the world, wait "
                           "up to SECONDS for it instead of giving up at once."),
            QStringLiteral("SECONDS"));
    const QCommandLineOption joinExisting(QStringLiteral("join-existing"),
            QStringLiteral("merge: merge source accounts into destination accounts of the same "
                           "name."));
    parser.addOptions({ json, quiet, from, to, sourceAccount, account, batch, dryRun, show,
            skipExisting, withoutItems, name, discard, wait, joinExisting });
    parser.addPositionalArgument(QStringLiteral("command"),
            QStringLiteral("list, check, transfer, export, merge or recover, and its arguments."),
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
        dryRun, show, skipExisting, withoutItems, name, joinExisting };

    int waitMs = 0;
    if (parser.isSet(wait)) {
        bool number = false;
        const double seconds = parser.value(wait).toDouble(&number);
        // A day is more than any transfer takes.
        if (!number || !(seconds >= 0 && seconds <= 86400))
            return usageError(QStringLiteral("--wait needs a number of seconds from 0 to 86400, "
                                             "not '%1'")
                                      .arg(parser.value(wait)));
        waitMs = int(seconds * 1000);
    }

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
        cli::deferInterrupts();
        return cli::recoverWorld(arguments.constFirst(), parser.isSet(discard), waitMs, out);
    }
    if (parser.isSet(discard))
        return usageError(QStringLiteral("--discard is for recover"));
    if (command == QLatin1String("list") || command == QLatin1String("check")) {
        for (const QCommandLineOption &option : transferOnly + QList<QCommandLineOption>{ wait }) {
            if (parser.isSet(option))
                return usageError(QStringLiteral("--%1 is for transfer, not %2")
                                          .arg(option.names().constFirst(), command));
        }
        if (arguments.size() != 1)
            return usageError(QStringLiteral("%1 needs one world directory").arg(command));
        const QString world = arguments.constFirst();
        const QString notWorld = cli::notAWorld(world);
        if (!notWorld.isEmpty()) {
            std::fprintf(stderr, "chartransfer-cli: %s\n", qPrintable(notWorld));
            return cli::ExitUnreadable;
        }
        if (const int status = cli::refuseDamagedPackage(world, cli::ExitUnreadable, progress))
            return status;
        // Both only read: a transfer that was interrupted is reported, not undone.
        if (command == QLatin1String("list")) {
            const QString pending = cli::pendingTransfer(world);
            if (!pending.isEmpty())
                std::fprintf(stderr, "chartransfer-cli: %s\n", qPrintable(pending));
        }
        return command == QLatin1String("list")
                ? cli::listWorld(world, parser.isSet(json), out, progress)
                : cli::checkWorld(world, parser.isSet(json), out, progress);
    }
    if (command == QLatin1String("export")) {
        for (const QCommandLineOption &option :
                { account, dryRun, show, name, skipExisting, withoutItems }) {
            if (parser.isSet(option))
                return usageError(
                        QStringLiteral("--%1 is not for export").arg(option.names().constFirst()));
        }
        if (!parser.isSet(from) || !parser.isSet(to))
            return usageError(QStringLiteral("export needs --from WORLD and --to DIR"));
        cli::ExportJob job{ parser.value(from), parser.value(to), {}, parser.isSet(json) };
        if (parser.isSet(batch)) {
            if (parser.isSet(sourceAccount) || !arguments.isEmpty())
                return usageError(QStringLiteral(
                        "--batch names every character: no --source-account or CHARACTER"));
            QString error;
            if (!cli::readBatch(
                        parser.value(batch), &job.characters, &error, cli::BatchLines::Characters))
                return usageError(error);
        } else {
            if (arguments.isEmpty())
                return usageError(QStringLiteral("export needs the name of a character"));
            for (const QString &character : std::as_const(arguments)) {
                job.characters.append(
                        cli::TransferLine{ parser.value(sourceAccount), character, {}, {}, {} });
            }
        }
        return cli::exportCharacters(job, out, progress);
    }
    if (command == QLatin1String("merge")) {
        for (const QCommandLineOption &option :
                { sourceAccount, batch, show, skipExisting, name, wait }) {
            if (parser.isSet(option))
                return usageError(
                        QStringLiteral("--%1 is not for merge").arg(option.names().constFirst()));
        }
        if (!parser.isSet(from) || !parser.isSet(to))
            return usageError(QStringLiteral("merge needs --from SRC and --to DEST"));
        if (!arguments.isEmpty())
            return usageError(QStringLiteral("merge takes no arguments besides its options"));
        const cli::MergeJob job{ parser.value(from), parser.value(to), parser.values(account),
            parser.isSet(joinExisting), parser.isSet(withoutItems), parser.isSet(dryRun),
            parser.isSet(json) };
        return cli::runMerge(job, out, progress);
    }
    if (parser.isSet(joinExisting))
        return usageError(QStringLiteral("--join-existing is for merge"));
    if (command != QLatin1String("transfer"))
        return usageError(QStringLiteral("unknown command '%1'").arg(command));

    if (!parser.isSet(from) || !parser.isSet(to))
        return usageError(QStringLiteral("transfer needs --from SRC and --to DEST"));
    if (parser.isSet(show) && !parser.isSet(dryRun))
        return usageError(QStringLiteral("--show goes with --dry-run"));
    if (parser.isSet(show) && parser.isSet(json))
        return usageError(QStringLiteral("--show prints the text as it is, not in JSON"));
    cli::TransferJob job;
    job.from = parser.value(from);
    job.to = parser.value(to);
    job.dryRun = parser.isSet(dryRun);
    job.show = parser.isSet(show);
    job.skipExisting = parser.isSet(skipExisting);
    job.withoutItems = parser.isSet(withoutItems);
    job.json = parser.isSet(json);
    job.waitMs = waitMs;
    if (parser.isSet(batch)) {
        if (parser.isSet(account) || parser.isSet(sourceAccount) || parser.isSet(name)
                || !arguments.isEmpty())
            return usageError(QStringLiteral("--batch names every transfer: no --account, "
                                             "--source-account, --name or CHARACTER"));
        QString error;
        if (!cli::readBatch(parser.value(batch), &job.transfers, &error))
            return usageError(error);
    } else {
        if (!parser.isSet(account))
            return usageError(QStringLiteral("transfer needs --account NAME (or --batch FILE)"));
        if (arguments.isEmpty())
            return usageError(QStringLiteral("transfer needs the name of a character"));
        if (parser.isSet(name) && arguments.size() != 1)
            return usageError(QStringLiteral("--name renames one character: name only one"));
        if (parser.isSet(name) && parser.value(name).isEmpty())
            return usageError(QStringLiteral("--name needs the new name"));
        for (const QString &character : std::as_const(arguments)) {
            job.transfers.append(cli::TransferLine{ parser.value(sourceAccount), character,
                    parser.value(account), QString(), parser.value(name) });
        }
    }
    cli::deferInterrupts();
    return cli::runTransfers(job, out, progress);
}
