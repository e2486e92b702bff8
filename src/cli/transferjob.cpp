#include "cli/transferjob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <climits>
#include <cstdio>
#include <optional>

#include "cli/exitstatus.h"
#include "cli/export.h"
#include "cli/terminal.h"
#include "engine/progress.h"
#include "engine/session.h"
#include "engine/transferrun.h"
#include "items/itemscans.h"
#include "transfer/composition.h"
#include "transfer/journal.h"
#include "transfer/package.h"
#include "world/filestamp.h"
#include "world/worldformat.h"
#include "world/worldindex.h"
#include "world/worldloading.h"

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
    const QString text =
            QStringLiteral("%1 (%2) -> %3")
                    .arg(transfer.character, transfer.sourceAccount, transfer.destAccount);
    return transfer.newName.isEmpty() ? text
                                      : QStringLiteral("%1 as %2").arg(text, transfer.newName);
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

// The engine's steps, with nothing to show between them (the outcome says it all), made
// for many transfers in a row: the source items file is read once for every character of
// the run, and after a transfer the destination is not read again, since what it now holds
// is known: the loaded index gains the new character and the numbers move past the ones
// just written, exactly as reading the files again would find them. A destination that
// changed in the meantime, or a transfer that failed, is read again as usual.
class TerminalSteps : public engine::TransferSteps
{
public:
    TerminalSteps(engine::Progress &progress, const QList<int> &owners)
        : engine::TransferSteps(progress)
        , m_owners(owners)
    { }

    void acquireSerials(engine::Session &session, const QString &dir) override
    {
        if (m_itemsKnown && world::stampOf(itemsPath(dir)) == m_itemsStamp) {
            session.maxItemSection = m_nextSection;
            session.maxItemSerial = m_nextSerial;
            session.destItemsCutOff = false;
            // The file ends with a record of ours, finished.
            session.destItemsLastHeader = -1;
            session.scanReadError.clear();
        } else {
            engine::TransferSteps::acquireSerials(session, dir);
        }
        m_scannedSerial = session.maxItemSerial;
        m_scannedSection = session.maxItemSection;
    }

    void getSerials(engine::Session &session, const QString &dir, int owner) override
    {
        m_owner = owner;
        if (!m_owners.contains(owner) || dir != m_collectedFrom) {
            m_owned = items::collectOwned(dir, m_owners, progress());
            m_collectedFrom = dir;
        }
        items::fileOwned(session, owner, m_owned);
    }

    void reload(engine::Session &session, const QString &dir) override
    {
        m_itemsKnown = false;
        if (!session.transferFailure.isEmpty() || !session.transferPrepared()) {
            engine::TransferSteps::reload(session, dir);
            return;
        }
        // What the items file now ends with, and the numbers a scan would find in it.
        const QSet<int> written = transfer::writtenItems(session.serialMap, m_owner);
        m_nextSerial = m_scannedSerial;
        for (auto it = session.serialMap.cbegin(); it != session.serialMap.cend(); ++it) {
            if (written.contains(it.key()))
                m_nextSerial = qMax(m_nextSerial, it->serial);
        }
        m_nextSection = written.isEmpty() ? m_scannedSection : session.maxItemSection;
        m_itemsStamp = world::stampOf(itemsPath(dir));
        m_itemsKnown = true;

        // The characters file ends with the new record; the loader would list it last in
        // its account, and count its numbers as the highest.
        const QString charactersPath = world::filePath(dir, world::charactersFileName());
        const FileStamp stamp = world::stampOf(charactersPath);
        const QByteArray &text = session.preparedCharacter;
        int lines = 0;
        qsizetype afterHeader = 0;
        while (lines < 3 && afterHeader < text.size()) {
            afterHeader = text.indexOf('\n', afterHeader) + 1;
            ++lines;
        }
        const qint64 offset = stamp.size - text.size() + afterHeader;
        const int newSection = session.maxCharSection + 1;
        const int newSerial = session.maxCharSerial + 1;
        const QString name = m_character;
        const int account = m_account;

        const QMap<int, QString> accounts = session.destAccounts;
        QMap<int, QList<char_st>> characters = session.destChars;
        const FileStamp accountsStamp = session.destAccountsStamp;
        world::resetDestination(session);
        session.destAccounts = accounts;
        characters[account].append(
                char_st{ name, newSerial, offset <= INT_MAX ? int(offset) : -1 });
        session.destChars = characters;
        session.maxCharSection = newSection;
        session.maxCharSerial = newSerial;
        session.destCharsHighestSection = newSection;
        session.destCharsHighestSerial = newSerial;
        session.destCharsStamp = stamp;
        session.destAccountsStamp = accountsStamp;
        session.destDir = dir;
    }

    // The transfer about to run, for the index it adds to.
    void expect(const QString &character, int account)
    {
        m_character = character;
        m_account = account;
    }

private:
    static QString itemsPath(const QString &dir)
    {
        return world::filePath(dir, world::itemsFileName());
    }

    QList<int> m_owners;
    items::OwnedItems m_owned;
    QString m_collectedFrom;
    int m_owner = 0;
    QString m_character;
    int m_account = 0;
    int m_scannedSerial = 0;
    int m_scannedSection = 0;
    bool m_itemsKnown = false;
    int m_nextSerial = 0;
    int m_nextSection = 0;
    FileStamp m_itemsStamp;
};

} // namespace

int findSourceAccounts(const engine::Session &session, const QString &from,
        QList<TransferLine> *lines, TerminalProgress &progress)
{
    for (TransferLine &transfer : *lines) {
        if (!transfer.sourceAccount.isEmpty())
            continue;
        const QStringList holders = accountsHolding(session, transfer.character);
        if (holders.size() > 1) {
            progress.clear();
            std::fprintf(stderr,
                    "chartransfer-cli: %s is a character of %s in %s: name one with "
                    "--source-account\nTry 'chartransfer-cli --help'.\n",
                    qPrintable(transfer.character), qPrintable(holders.join(QLatin1String(", "))),
                    qPrintable(from));
            return ExitUsage;
        }
        if (holders.isEmpty()) {
            printError(progress,
                    QStringLiteral("chartransfer-cli: no account of %1 holds a character named "
                                   "%2; nothing was written")
                            .arg(from, transfer.character));
            return ExitRefused;
        }
        transfer.sourceAccount = holders.constFirst();
    }
    return ExitDone;
}

QString unreadableWorld(const QString &dir)
{
    return unreadable(dir);
}

int runTransfers(const TransferJob &job, Output &out, TerminalProgress &progress)
{
    for (const QString &dir : { job.from, job.to }) {
        const QString error = unreadable(dir);
        if (!error.isEmpty()) {
            printError(progress, QStringLiteral("chartransfer-cli: %1").arg(error));
            return ExitUnreadable;
        }
    }
    // A package is checked against its manifest before anything is read from it, and is
    // not written to: it would no longer be what its manifest says.
    for (const QString &dir : { job.from, job.to }) {
        if (const int status = refuseDamagedPackage(dir, ExitRefused, progress))
            return status;
    }
    if (transfer::isPackage(job.to)) {
        printError(progress,
                QStringLiteral("chartransfer-cli: %1 is a package (it holds %2): a transfer into "
                               "it would make it differ from its manifest; nothing was written\n"
                               "Transfer from it instead, or remove %2 to use it as a world of "
                               "its own.")
                        .arg(job.to, transfer::packageManifestName()));
        return ExitRefused;
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

    // Every character named on the command line is looked up before anything is written.
    QList<TransferLine> transfers = job.transfers;
    if (const int status = findSourceAccounts(session, job.from, &transfers, progress))
        return status;

    // A new name is checked against the rules before anything is written: the loader must
    // read it back as given, and the destination's characters file must be able to hold it.
    QList<QString> arriving; // per transfer, the name as the loader gives it; empty: its own
    std::optional<transfer::NameEncoding> encoding;
    for (const TransferLine &transfer : std::as_const(transfers)) {
        QString loaded;
        if (!transfer.newName.isEmpty()) {
            if (!encoding)
                encoding = transfer::nameEncodingOf(to);
            const QString problem = transfer::newNameProblem(transfer.newName, *encoding, &loaded);
            if (!problem.isEmpty()) {
                printError(progress,
                        QStringLiteral("chartransfer-cli: %1%2: refused, nothing written\n"
                                       "Character Name: %3. Choose another name.")
                                .arg(transfer.origin.isEmpty()
                                                ? QString()
                                                : transfer.origin + QStringLiteral(": "),
                                        label(transfer), problem));
                return ExitRefused;
            }
        }
        arriving.append(loaded);
    }

    // The items of every character of the run are read from the source in one pass.
    QList<int> owners;
    for (const TransferLine &transfer : std::as_const(transfers)) {
        int number = 0;
        if (!world::findAccount(session.sourceAccounts, transfer.sourceAccount, &number))
            continue;
        if (const char_st *found =
                        world::findCharacter(session.sourceChars, number, transfer.character))
            owners.append(found->serial);
    }
    TerminalSteps steps(progress, owners);

    QStringList done;
    for (qsizetype i = 0; i < transfers.size(); ++i) {
        const TransferLine &transfer = transfers.at(i);
        const engine::TransferRequest request{ transfer.sourceAccount, transfer.character,
            transfer.destAccount, arriving.at(i) };
        int destAccount = 0;
        world::findAccount(session.destAccounts, transfer.destAccount, &destAccount);
        steps.expect(arriving.at(i).isEmpty() ? transfer.character : arriving.at(i), destAccount);
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
