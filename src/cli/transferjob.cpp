#include "cli/transferjob.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <climits>
#include <cstdio>
#include <optional>

#include "cli/exitstatus.h"
#include "cli/export.h"
#include "cli/interrupt.h"
#include "cli/names.h"
#include "cli/recover.h"
#include "cli/terminal.h"
#include "engine/progress.h"
#include "engine/session.h"
#include "engine/transferrun.h"
#include "items/itemscans.h"
#include "transfer/composition.h"
#include "transfer/journal.h"
#include "transfer/package.h"
#include "transfer/worldlock.h"
#include "world/filestamp.h"
#include "world/worldformat.h"
#include "world/worldindex.h"
#include "world/worldloading.h"

namespace cli {

namespace {

void printError(TerminalProgress &progress, const QString &text)
{
    progress.clear();
    std::fprintf(stderr, "%s\n", qPrintable(forStream(stderr, text)));
}

// Why a world cannot be a source (`source`) or a destination of a transfer; empty when it
// can. Both need their accounts file; a source needs its characters file too, while a
// destination without one only has no characters yet (the transfer creates it). A file
// that is there must be readable.
QString unreadable(const QString &dir, bool source)
{
    const QString notWorld = notAWorld(dir);
    if (!notWorld.isEmpty())
        return notWorld;
    for (const QString &name : { world::accountsFileName(), world::charactersFileName() }) {
        QFile file(world::filePath(dir, name));
        if (!source && name == world::charactersFileName() && !file.exists())
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

QString prefixed(const TransferLine &transfer)
{
    return transfer.origin.isEmpty() ? QString() : transfer.origin + QStringLiteral(": ");
}

// A line as a summary names it: by its place in the batch file, or by the character.
QString named(const TransferLine &transfer)
{
    return transfer.origin.isEmpty()
            ? transfer.character
            : QStringLiteral("%1 (%2)").arg(transfer.origin, transfer.character);
}

QString quoted(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

} // namespace

QString commandWording(QString text)
{
    static const QRegularExpression again(QStringLiteral(
            "([Ss])elect the (?:source |destination )?world again(?:,? (?:then|and) repeat the "
            "transfer)?"));
    static const QRegularExpression undone(
            QStringLiteral("Run the command again: a transfer that can be undone"));
    QString result;
    qsizetype last = 0;
    for (auto it = again.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        result += QStringView(text).mid(last, match.capturedStart() - last);
        result += match.captured(1) == QLatin1String("S") ? QStringLiteral("Run the command again")
                                                          : QStringLiteral("run the command again");
        last = match.capturedEnd();
    }
    result += QStringView(text).mid(last);
    return result.replace(undone,
            QStringLiteral("Run the command again (or \"chartransfer-cli recover\" on the "
                           "world): a transfer that can be undone"));
}

namespace {

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

// Account names to the number each stands for (the smallest that carries it, as
// world::findAccount finds it), so that a run of thousands of lines in a world of
// thousands of accounts does not walk every account for every name. Accounts files are
// never written by a transfer, so the index holds for the whole run.
class AccountNames
{
public:
    explicit AccountNames(const AccountMap &accounts)
    {
        for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
            if (!m_numbers.contains(it.value()))
                m_numbers.insert(it.value(), it.key());
        }
    }
    bool find(const QString &name, int *number) const
    {
        const auto it = m_numbers.constFind(name);
        if (it == m_numbers.cend())
            return false;
        *number = it.value();
        return true;
    }

private:
    QHash<QString, int> m_numbers;
};

struct Worlds
{
    QString from;
    QString to;
    AccountNames sourceNames;
    AccountNames destNames;
};

// What is wrong with the names of a line, as the worlds are loaded now: an account or a
// character that is not there, with the names it was probably meant to be. Empty when
// every name is found. A world whose files contradict each other can still fail the
// engine's own lookup; that one says so.
QString missingName(
        const engine::Session &session, const TransferLine &transfer, const Worlds &worlds)
{
    const QString &from = worlds.from;
    const auto noAccount = [](const QString &name, const AccountMap &accounts, const QString &dir) {
        QStringList suggestions;
        for (const QString &similar : similarNames(name, accounts.values()))
            suggestions.append(quoted(similar));
        return QStringLiteral("no account %1 in %2%3")
                .arg(quoted(name), world::filePath(dir, world::accountsFileName()),
                        didYouMean(suggestions));
    };
    // No destination: the names of an export.
    int destNumber = 0;
    if (!worlds.to.isEmpty() && !worlds.destNames.find(transfer.destAccount, &destNumber))
        return noAccount(transfer.destAccount, session.destAccounts, worlds.to);
    int sourceNumber = 0;
    if (!transfer.sourceAccount.isEmpty()) {
        if (!worlds.sourceNames.find(transfer.sourceAccount, &sourceNumber))
            return noAccount(transfer.sourceAccount, session.sourceAccounts, from);
        if (world::findCharacter(session.sourceChars, sourceNumber, transfer.character))
            return QString();
        // Another account of the same name may hold it: the world contradicts itself, and
        // the engine says so.
        for (auto it = session.sourceAccounts.cbegin(); it != session.sourceAccounts.cend(); ++it) {
            if (it.value() == transfer.sourceAccount
                    && world::findCharacter(session.sourceChars, it.key(), transfer.character))
                return QString();
        }
    } else if (!accountsHolding(session, transfer.character).isEmpty()) {
        return QString();
    }

    // The characters searched: those of the named account, or of every account.
    QStringList searched;
    QStringList names;
    QStringList owners;
    for (auto it = session.sourceAccounts.cbegin(); it != session.sourceAccounts.cend(); ++it) {
        if (!transfer.sourceAccount.isEmpty() && it.value() != transfer.sourceAccount)
            continue;
        if (!searched.contains(it.value()))
            searched.append(it.value());
        for (const char_st &character : session.sourceChars.value(it.key())) {
            names.append(character.name);
            owners.append(it.value());
        }
    }
    QStringList suggestions;
    for (const QString &similar : similarNames(transfer.character, names)) {
        suggestions.append(transfer.sourceAccount.isEmpty() ? QStringLiteral("%1 (%2)").arg(
                                   quoted(similar), owners.at(names.indexOf(similar)))
                                                            : quoted(similar));
    }
    const QString charactersFile = world::filePath(from, world::charactersFileName());
    if (!transfer.sourceAccount.isEmpty()) {
        // The right name in the wrong account is named as such.
        const QStringList holders = accountsHolding(session, transfer.character);
        return QStringLiteral("no character %1 in the account %2 in %3%4")
                .arg(quoted(transfer.character), transfer.sourceAccount, charactersFile,
                        holders.isEmpty() ? didYouMean(suggestions)
                                          : QStringLiteral("; %1 is a character of %2")
                                                    .arg(quoted(transfer.character),
                                                            holders.join(QLatin1String(", "))));
    }
    QString where;
    if (searched.isEmpty())
        where = QStringLiteral("it holds no accounts");
    else if (searched.size() <= 5)
        where = QStringLiteral("searched the accounts %1").arg(searched.join(QLatin1String(", ")));
    else
        where = QStringLiteral("searched all %1 accounts").arg(searched.size());
    return QStringLiteral("no character %1 in %2 (%3)%4")
            .arg(quoted(transfer.character), charactersFile, where, didYouMean(suggestions));
}

// The names that match nothing, one a line, before anything is written.
QString wrongNames(const QStringList &wrong)
{
    const qsizetype shown = qMin<qsizetype>(wrong.size(), 20);
    QString text = QStringLiteral("chartransfer-cli: ")
            + wrong.mid(0, shown).join(QStringLiteral("\nchartransfer-cli: "));
    if (wrong.size() > shown)
        text += QStringLiteral("\n... and %1 more").arg(wrong.size() - shown);
    return text + QStringLiteral("\nNothing was written.");
}

// The engine's steps, with nothing to show between them (the outcome says it all), made
// for many transfers in a row: the source items file is read once for every character of
// the run, and after a transfer the destination is not read again, since what it now holds
// is known: the loaded index gains the new character and the numbers move past the ones
// just written, exactly as reading the files again would find them. A destination that
// changed in the meantime, or a transfer that failed, is read again as usual. A dry run
// follows the destination the same way, in memory only: the files stay as they are.
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
            session.destItemsEncoding = m_itemsEncoding;
        } else {
            engine::TransferSteps::acquireSerials(session, dir);
        }
        m_scannedSerial = session.maxItemSerial;
        m_scannedSection = session.maxItemSection;
    }

    void getSerials(engine::Session &session, const QString &dir, int owner) override
    {
        // A character an earlier transfer of the run wrote into this same world was not
        // there when the items were read: they are read again, its new items included.
        if (!m_owners.contains(owner) || dir != m_collectedFrom) {
            if (!m_owners.contains(owner))
                m_owners.append(owner);
            m_owned = items::collectOwned(dir, m_owners, progress());
            m_collectedFrom = dir;
        }
        items::fileOwned(session, owner, m_owned);
        // What the items file will end with once these items are appended, and the numbers
        // a scan would then find in it.
        const QSet<int> written = transfer::writtenItems(session.serialMap, owner);
        m_afterSerial = m_scannedSerial;
        for (auto it = session.serialMap.cbegin(); it != session.serialMap.cend(); ++it) {
            if (written.contains(it.key()))
                m_afterSerial = qMax(m_afterSerial, it->serial);
        }
        m_afterSection = m_scannedSection + int(written.size());
    }

    void reload(engine::Session &session, const QString &dir) override
    {
        m_itemsKnown = false;
        if (!session.transferFailure.isEmpty() || !session.transferPrepared()) {
            engine::TransferSteps::reload(session, dir);
            return;
        }
        const FileStamp stamp = world::stampOf(world::filePath(dir, world::charactersFileName()));
        follow(session, dir, session.preparedCharacter, session.preparedItems, stamp.size, stamp);
        m_itemsStamp = world::stampOf(itemsPath(dir));
    }

    // After a transfer of a dry run: the destination as it would be, with the files as
    // they are.
    void followDryRun(engine::Session &session, const QString &dir, const QByteArray &character,
            const QByteArray &items)
    {
        if (m_virtualSize < 0)
            m_virtualSize = qMax<qint64>(0, session.destCharsStamp.size);
        m_virtualSize += character.size();
        follow(session, dir, character, items, m_virtualSize, session.destCharsStamp);
        m_itemsStamp = world::stampOf(itemsPath(dir));
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

    // The characters file ends with the new record `text` and is `size` bytes long; the
    // loader would list it last in its account, and count its numbers as the highest. The
    // items file ends with `items`.
    void follow(engine::Session &session, const QString &dir, const QByteArray &text,
            const QByteArray &items, qint64 size, FileStamp stamp)
    {
        m_nextSerial = m_afterSerial;
        m_nextSection = m_afterSection;
        m_itemsKnown = true;
        // A file of ASCII alone takes the encoding of the first text of other bytes.
        m_itemsEncoding = world::encodingAfterAppend(session.destItemsEncoding, items);

        int lines = 0;
        qsizetype afterHeader = 0;
        while (lines < 3 && afterHeader < text.size()) {
            afterHeader = text.indexOf('\n', afterHeader) + 1;
            ++lines;
        }
        const qint64 offset = size - text.size() + afterHeader;
        const int newSection = session.maxCharSection + 1;
        const int newSerial = session.maxCharSerial + 1;

        const QMap<int, QString> accounts = session.destAccounts;
        QMap<int, QList<char_st>> characters = session.destChars;
        const FileStamp accountsStamp = session.destAccountsStamp;
        const world::TextEncoding accountsEncoding = session.destAccountsEncoding;
        const world::TextEncoding charactersEncoding =
                world::encodingAfterAppend(session.destCharsEncoding, text);
        world::resetDestination(session);
        session.destAccounts = accounts;
        session.destAccountsEncoding = accountsEncoding;
        session.destCharsEncoding = charactersEncoding;
        characters[m_account].append(
                char_st{ m_character, newSerial, offset <= INT_MAX ? int(offset) : -1 });
        session.destChars = characters;
        session.maxCharSection = newSection;
        session.maxCharSerial = newSerial;
        session.destCharsHighestSection = newSection;
        session.destCharsHighestSerial = newSerial;
        session.destCharsStamp = stamp;
        session.destAccountsStamp = accountsStamp;
        session.destDir = dir;
    }

    QList<int> m_owners;
    items::OwnedItems m_owned;
    QString m_collectedFrom;
    QString m_character;
    int m_account = 0;
    int m_scannedSerial = 0;
    int m_scannedSection = 0;
    int m_afterSerial = 0;
    int m_afterSection = 0;
    bool m_itemsKnown = false;
    int m_nextSerial = 0;
    int m_nextSection = 0;
    FileStamp m_itemsStamp;
    qint64 m_virtualSize = -1; // a dry run's characters file as it would be
    world::TextEncoding m_itemsEncoding = world::TextEncoding::Ascii;
};

// How each line of the run ended, said on the terminal or gathered into one JSON document.
class Report
{
public:
    Report(const TransferJob &job, Output &out, TerminalProgress &progress)
        : m_job(job)
        , m_out(out)
        , m_progress(progress)
    {
        m_clock.start();
    }

    void done(const TransferLine &transfer, const engine::TransferOutcome &outcome,
            const QStringList &created)
    {
        ++m_lines;
        ++m_transfers;
        m_items += outcome.itemsWritten;
        m_leftBehind += outcome.itemsLeftBehind;
        m_last = named(transfer);
        if (m_job.json) {
            QJsonObject entry = entryOf(transfer,
                    m_job.dryRun ? QStringLiteral("wouldBeDone") : QStringLiteral("done"));
            entry.insert(QStringLiteral("record"), outcome.newSection);
            entry.insert(QStringLiteral("serial"), outcome.newSerial);
            entry.insert(QStringLiteral("itemsWritten"), outcome.itemsWritten);
            entry.insert(QStringLiteral("itemsLeftBehind"), outcome.itemsLeftBehind);
            entry.insert(QStringLiteral("created"), QJsonArray::fromStringList(created));
            m_entries.append(entry);
            return;
        }
        m_out.line(
                QStringLiteral("%1%2: %3 record %4, serial %5; %6 moved, %7 left behind")
                        .arg(prefixed(transfer), label(transfer),
                                m_job.dryRun ? QStringLiteral("would be") : QStringLiteral("done:"),
                                QString::number(outcome.newSection),
                                QString::number(outcome.newSerial),
                                counted(outcome.itemsWritten, "item", "items"),
                                QString::number(outcome.itemsLeftBehind)));
        for (const QString &path : created) {
            m_out.line(QStringLiteral("%1%2 %3").arg(prefixed(transfer),
                    m_job.dryRun ? QStringLiteral("would create") : QStringLiteral("created"),
                    path));
        }
        if (m_job.show) {
            // Byte counts first, so that a script can cut the text out exactly.
            m_out.line(QStringLiteral("--- %1 would get %2 bytes:")
                               .arg(world::filePath(m_job.to, world::charactersFileName()),
                                       QString::number(outcome.characterText.size())));
            m_out.bytes(outcome.characterText);
            m_out.line(QStringLiteral("--- %1 would get %2 bytes:")
                               .arg(world::filePath(m_job.to, world::itemsFileName()),
                                       QString::number(outcome.itemsText.size())));
            m_out.bytes(outcome.itemsText);
            m_out.line(QStringLiteral("--- end"));
        }
        m_out.flush();
    }

    void passedOver(const TransferLine &transfer, const QString &why, const QString &result)
    {
        ++m_lines;
        ++m_passed;
        m_last = named(transfer);
        if (m_job.json) {
            QJsonObject entry = entryOf(transfer, result);
            entry.insert(QStringLiteral("text"), why);
            m_entries.append(entry);
            return;
        }
        m_out.line(QStringLiteral("%1%2: %3").arg(prefixed(transfer), label(transfer), why));
        m_out.flush();
    }

    // The line was not done: refused or failed. Says so on standard error, with what was
    // done before it.
    void stopped(const TransferLine &transfer, const QString &what, const engine::Refusal &why,
            const QString &result)
    {
        m_stop = result;
        m_firstNotDone = named(transfer);
        if (m_job.json) {
            QJsonObject entry = entryOf(transfer, result);
            entry.insert(QStringLiteral("caption"), why.caption);
            entry.insert(QStringLiteral("text"), why.text);
            m_entries.append(entry);
        }
        QString text =
                QStringLiteral("chartransfer-cli: %1%2: %3\n%4%5")
                        .arg(prefixed(transfer), label(transfer), what,
                                why.caption.isEmpty() ? QString() : why.caption + ": ", why.text);
        if (m_job.transfers.size() > 1) {
            text += m_lines == 0 ? QStringLiteral("\nStopped there; no line was done before it.")
                                 : QStringLiteral("\nStopped there; %1 before it: %2, the last %3.")
                                           .arg(m_job.dryRun ? QStringLiteral("would be done")
                                                             : QStringLiteral("done"),
                                                   counted(m_lines, "line", "lines"), m_last);
        }
        m_out.flush();
        printError(m_progress, text);
    }

    // A signal stopped the run before `next`.
    void interrupted(int signal, const TransferLine &next)
    {
        m_stop = QStringLiteral("interrupted");
        m_signal = QString::fromLatin1(signalName(signal));
        m_firstNotDone = named(next);
        QString text = QStringLiteral("chartransfer-cli: stopped by %1: %2 of %3 %4")
                               .arg(m_signal, QString::number(m_lines),
                                       counted(m_job.transfers.size(), "line", "lines"),
                                       m_job.dryRun ? QStringLiteral("gone through")
                                                    : QStringLiteral("done"));
        if (m_lines > 0)
            text += QStringLiteral(", the last %1").arg(m_last);
        text += QStringLiteral("; the first not done: %1.").arg(m_firstNotDone);
        if (!m_job.dryRun && m_lines > 0) {
            text += QStringLiteral(" The destination holds exactly the lines done; run the "
                                   "command again with --skip-existing to do the rest.");
        } else if (!m_job.dryRun) {
            text += QStringLiteral(" Nothing was written.");
        }
        m_out.flush();
        printError(m_progress, text);
    }

    // The run did not begin: the worlds cannot be used as they are, or a name is wrong.
    // `text` goes to standard error, unless it was said there already.
    int notStarted(int status, const QString &reason, const QString &text)
    {
        m_started = false;
        m_stop = reason;
        m_stopText = text;
        if (!text.isEmpty())
            printError(m_progress, text);
        finish();
        return status;
    }

    // The totals, after a run of more than one line; the JSON document.
    void finish()
    {
        const double seconds = double(m_clock.elapsed()) / 1000;
        if (m_job.json) {
            QJsonObject document{ { QStringLiteral("from"), m_job.from },
                { QStringLiteral("to"), m_job.to }, { QStringLiteral("dryRun"), m_job.dryRun },
                { QStringLiteral("transfers"), m_entries },
                { QStringLiteral("totals"),
                        QJsonObject{ { QStringLiteral("lines"), m_job.transfers.size() },
                                { QStringLiteral("transfers"), m_transfers },
                                { QStringLiteral("items"), m_items },
                                { QStringLiteral("leftBehind"), m_leftBehind },
                                { QStringLiteral("passedOver"), m_passed },
                                { QStringLiteral("seconds"), seconds } } } };
            if (!m_stop.isEmpty()) {
                QJsonObject stop{ { QStringLiteral("reason"), m_stop },
                    { QStringLiteral("firstNotDone"), m_firstNotDone } };
                if (!m_signal.isEmpty())
                    stop.insert(QStringLiteral("signal"), m_signal);
                if (!m_stopText.isEmpty())
                    stop.insert(QStringLiteral("text"), m_stopText);
                document.insert(QStringLiteral("stopped"), stop);
            }
            m_out.bytes(QJsonDocument(document).toJson(QJsonDocument::Indented));
            m_out.flush();
            return;
        }
        if (m_job.transfers.size() < 2 || !m_started)
            return;
        QString totals =
                QStringLiteral("%1 %2, %3 moved, %4 left behind")
                        .arg(counted(m_transfers, "transfer", "transfers"),
                                m_job.dryRun ? QStringLiteral("would be done")
                                             : QStringLiteral("done"),
                                counted(m_items, "item", "items"), QString::number(m_leftBehind));
        if (m_passed > 0)
            totals += QStringLiteral(", %1 passed over").arg(counted(m_passed, "line", "lines"));
        m_out.line(totals + QStringLiteral(" in %1 s").arg(seconds, 0, 'f', 2));
        m_out.flush();
    }

private:
    QJsonObject entryOf(const TransferLine &transfer, const QString &result) const
    {
        QJsonObject entry{ { QStringLiteral("character"), transfer.character },
            { QStringLiteral("sourceAccount"), transfer.sourceAccount },
            { QStringLiteral("destAccount"), transfer.destAccount },
            { QStringLiteral("result"), result } };
        if (!transfer.origin.isEmpty())
            entry.insert(QStringLiteral("line"), transfer.origin);
        return entry;
    }

    const TransferJob &m_job;
    Output &m_out;
    TerminalProgress &m_progress;
    QElapsedTimer m_clock;
    QJsonArray m_entries;
    qint64 m_lines = 0; // done or passed over
    qint64 m_transfers = 0;
    qint64 m_items = 0;
    qint64 m_leftBehind = 0;
    qint64 m_passed = 0;
    QString m_last;
    QString m_stop;
    QString m_signal;
    QString m_firstNotDone;
    QString m_stopText;
    bool m_started = true;
};

// The world's journal is undone (not in a dry run, which changes nothing), and a journal
// that was still being written when the program stopped is removed, saying so.
bool recoverBeforeTransfer(
        const QString &dir, bool dryRun, bool locked, int waitMs, TerminalProgress &progress)
{
    if (dryRun) {
        qint64 pid = 0;
        if (transfer::journalPresent(dir) && transfer::worldLockHeld(dir, &pid)) {
            printError(progress,
                    QStringLiteral("chartransfer-cli: World Busy: %1")
                            .arg(transfer::worldBusyText(dir, pid)));
            return false;
        }
        const QString summary = transfer::journalSummary(dir);
        if (!summary.isEmpty()) {
            printError(progress,
                    QStringLiteral("chartransfer-cli: %1 holds the journal of an interrupted "
                                   "transfer (%2): run \"chartransfer-cli recover %1\" first; "
                                   "nothing was written")
                            .arg(dir, summary));
            return false;
        }
        return true;
    }
    const QString unfinished = unfinishedJournalPath(dir);
    const bool hadUnfinished = QFileInfo::exists(unfinished);
    // The destination's lock is already held; a source is recovered under its own.
    const transfer::Recovery recovery =
            locked ? transfer::recoverLockedWorld(dir) : transfer::recoverWorld(dir, waitMs);
    if (hadUnfinished && !QFileInfo::exists(unfinished))
        printError(progress, QStringLiteral("chartransfer-cli: ") + unfinishedJournalRemoved(dir));
    if (recovery.result == transfer::RecoveryResult::InProgress)
        printError(progress, QStringLiteral("World Busy: %1").arg(recovery.message));
    else if (recovery.result != transfer::RecoveryResult::None)
        printError(progress, QStringLiteral("Interrupted Transfer: %1").arg(recovery.message));
    return true;
}

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
                    qPrintable(forStream(stderr, transfer.character)),
                    qPrintable(forStream(stderr, holders.join(QLatin1String(", ")))),
                    qPrintable(from));
            return ExitUsage;
        }
        if (holders.size() == 1)
            transfer.sourceAccount = holders.constFirst();
    }
    // Names that match nothing are said as a transfer says them.
    const Worlds worlds{ from, QString(), AccountNames(session.sourceAccounts),
        AccountNames(AccountMap()) };
    QStringList wrong;
    for (const TransferLine &transfer : std::as_const(*lines)) {
        const QString missing = missingName(session, transfer, worlds);
        if (!missing.isEmpty())
            wrong.append(prefixed(transfer) + missing);
    }
    if (!wrong.isEmpty()) {
        printError(progress, wrongNames(wrong));
        return ExitRefused;
    }
    return ExitDone;
}

QString unreadableWorld(const QString &dir)
{
    return unreadable(dir, true);
}

int runTransfers(const TransferJob &job, Output &out, TerminalProgress &progress)
{
    Report report(job, out, progress);
    for (const bool source : { true, false }) {
        const QString error = unreadable(source ? job.from : job.to, source);
        if (!error.isEmpty()) {
            return report.notStarted(ExitUnreadable, QStringLiteral("unreadable"),
                    QStringLiteral("chartransfer-cli: %1").arg(error));
        }
    }
    // A package is checked against its manifest before anything is read from it, and is
    // not written to: it would no longer be what its manifest says.
    for (const QString &dir : { job.from, job.to }) {
        if (const int status = refuseDamagedPackage(dir, ExitRefused, progress))
            return report.notStarted(status, QStringLiteral("refused"), QString());
    }
    if (transfer::isPackage(job.to)) {
        return report.notStarted(ExitRefused, QStringLiteral("refused"),
                QStringLiteral("chartransfer-cli: %1 is a package (it holds %2): a transfer into "
                               "it would make it differ from its manifest; nothing was written\n"
                               "Transfer from it instead, or remove %2 to use it as a world of "
                               "its own.")
                        .arg(job.to, transfer::packageManifestName()));
    }
    // Forgetting the items file is the likeliest mistake; the characters would arrive bare.
    if (!job.withoutItems
            && !QFileInfo::exists(world::filePath(job.from, world::itemsFileName()))) {
        QStringList names;
        for (const TransferLine &transfer : job.transfers) {
            if (!names.contains(transfer.character))
                names.append(transfer.character);
        }
        const QString who = names.size() == 1 ? names.constFirst()
                : names.size() == 2
                ? QStringLiteral("%1 and %2").arg(names.at(0), names.at(1))
                : QStringLiteral("%1, %2 and %3 more")
                          .arg(names.at(0), names.at(1), QString::number(names.size() - 2));
        return report.notStarted(ExitRefused, QStringLiteral("refused"),
                QStringLiteral("chartransfer-cli: the source world has no %1: %2 would arrive "
                               "without any items; nothing was written. Copy %3 into it, or "
                               "pass --without-items to transfer without items.")
                        .arg(world::itemsFileName(), who,
                                world::filePath(job.from, world::itemsFileName())));
    }
    const bool sameWorld =
            QFileInfo(job.from).canonicalFilePath() == QFileInfo(job.to).canonicalFilePath();

    // One program at a time writes the destination: the lock is taken before the world is
    // read, so that what is loaded is what the transfers decide on, and it is held until
    // the last of them is done. A dry run writes nothing and takes no lock.
    transfer::WorldLock lock;
    if (!job.dryRun && !lock.acquire(job.to, job.waitMs)) {
        if (lock.busy()) {
            return report.notStarted(ExitRefused, QStringLiteral("busy"),
                    QStringLiteral("chartransfer-cli: World Busy: %1")
                            .arg(transfer::worldBusyText(job.to, lock.holderPid())));
        }
        return report.notStarted(ExitRestored, QStringLiteral("failed"),
                QStringLiteral("chartransfer-cli: %1 Nothing was written.").arg(lock.error()));
    }

    // A transfer that was interrupted is undone first, as when the window opens the world;
    // one that cannot be undone makes the engine refuse.
    for (const QString &dir : sameWorld ? QStringList{ job.to } : QStringList{ job.from, job.to }) {
        if (!recoverBeforeTransfer(
                    dir, job.dryRun, dir == job.to && lock.held(), job.waitMs, progress))
            return report.notStarted(ExitRefused, QStringLiteral("refused"), QString());
    }

    engine::Session session;
    session.destLocked = lock.held();
    engine::LoadListener listener;
    engine::loadWorld(session, job.from, false, progress, listener);
    engine::loadWorld(session, job.to, true, progress, listener);
    // The characters file as it is: in a dry run into the same world, a character an
    // earlier line would have written lies beyond it.
    const qint64 sourceSize = session.destCharsStamp.size;

    const Worlds worlds{ job.from, job.to, AccountNames(session.sourceAccounts),
        AccountNames(session.destAccounts) };

    // Every name is looked up before anything is written. Accounts never change during a
    // run; characters do only when the run writes into the world it copies from, where a
    // line may move a character an earlier line wrote: those lines are looked up again
    // when their turn comes.
    QList<TransferLine> transfers = job.transfers;
    QStringList wrong;
    for (TransferLine &transfer : transfers) {
        if (transfer.sourceAccount.isEmpty()) {
            const QStringList holders = accountsHolding(session, transfer.character);
            if (holders.size() > 1) {
                return report.notStarted(ExitUsage, QStringLiteral("usage"),
                        QStringLiteral("chartransfer-cli: %1 is a character of %2 in %3: name "
                                       "one with --source-account\nTry 'chartransfer-cli "
                                       "--help'.")
                                .arg(transfer.character, holders.join(QLatin1String(", ")),
                                        job.from));
            }
            if (holders.size() == 1)
                transfer.sourceAccount = holders.constFirst();
        }
        QString missing = missingName(session, transfer, worlds);
        if (!missing.isEmpty() && sameWorld && missing.startsWith(QLatin1String("no character")))
            missing.clear();
        if (!missing.isEmpty())
            wrong.append(prefixed(transfer) + missing);
    }
    if (!wrong.isEmpty()) {
        return report.notStarted(ExitRefused, QStringLiteral("refused"), wrongNames(wrong));
    }

    // A new name is checked against the rules before anything is written: the loader must
    // read it back as given, and the destination's characters file must be able to hold it.
    QList<QString> arriving; // per transfer, the name as the loader gives it; empty: its own
    std::optional<transfer::NameEncoding> encoding;
    for (const TransferLine &transfer : std::as_const(transfers)) {
        QString loaded;
        if (!transfer.newName.isEmpty()) {
            if (!encoding)
                encoding = transfer::nameEncodingOf(job.to);
            const QString problem = transfer::newNameProblem(transfer.newName, *encoding, &loaded);
            if (!problem.isEmpty()) {
                return report.notStarted(ExitRefused, QStringLiteral("refused"),
                        QStringLiteral("chartransfer-cli: %1%2: refused, nothing written\n"
                                       "Character Name: %3. Choose another name.")
                                .arg(prefixed(transfer), label(transfer), problem));
            }
        }
        arriving.append(loaded);
    }

    // The items of every character of the run are read from the source in one pass.
    QList<int> owners;
    for (const TransferLine &transfer : std::as_const(transfers)) {
        int number = 0;
        if (!worlds.sourceNames.find(transfer.sourceAccount, &number))
            continue;
        if (const char_st *found =
                        world::findCharacter(session.sourceChars, number, transfer.character))
            owners.append(found->serial);
    }
    TerminalSteps steps(progress, owners);
    const auto finish = [&](int status) {
        progress.setPrefix(QString());
        report.finish();
        return status;
    };

    QSet<QString> createdBefore;
    for (qsizetype index = 0; index < transfers.size(); ++index) {
        const TransferLine &transfer = transfers.at(index);
        if (const int signal = interruptSignal()) {
            report.interrupted(signal, transfer);
            return finish(interruptStatus(signal));
        }
        if (transfers.size() > 1) {
            progress.setPrefix(
                    QStringLiteral("%1/%2 %3: ")
                            .arg(QString::number(index + 1), QString::number(transfers.size()),
                                    transfer.character));
        }
        const QString missing = missingName(session, transfer, worlds);
        if (!missing.isEmpty()) {
            report.stopped(transfer, QStringLiteral("refused, nothing written"),
                    { QString(), missing }, QStringLiteral("refused"));
            return finish(ExitRefused);
        }
        int destAccount = 0;
        worlds.destNames.find(transfer.destAccount, &destAccount);
        // The name the copy stands under in the destination, as people read it: the index
        // holds names that way, and a new name is written in the destination's encoding.
        const QString arrivingName = arriving.at(index).isEmpty()
                ? transfer.character
                : world::decodeText(arriving.at(index),
                        *encoding == transfer::NameEncoding::Utf8
                                ? world::TextEncoding::Utf8
                                : world::TextEncoding::Windows1252);
        if (job.skipExisting
                && world::findCharacter(session.destChars, destAccount, arrivingName)) {
            report.passedOver(
                    transfer, QStringLiteral("already there"), QStringLiteral("alreadyThere"));
            continue;
        }
        if (job.dryRun && sameWorld) {
            int sourceAccount = 0;
            worlds.sourceNames.find(transfer.sourceAccount, &sourceAccount);
            const char_st *found =
                    world::findCharacter(session.sourceChars, sourceAccount, transfer.character);
            if (found && found->offset >= sourceSize) {
                report.passedOver(transfer,
                        QStringLiteral("not checked: only an earlier line of this dry run "
                                       "would write this character, and a dry run does not "
                                       "write"),
                        QStringLiteral("notChecked"));
                continue;
            }
        }

        // Files the transfer creates are named.
        QStringList absent;
        for (const QString &name : { world::charactersFileName(), world::itemsFileName() }) {
            const QString path = world::filePath(job.to, name);
            if (!QFileInfo::exists(path) && !createdBefore.contains(path))
                absent.append(path);
        }

        const engine::TransferRequest request{ transfer.sourceAccount, transfer.character,
            transfer.destAccount, arriving.at(index) };
        steps.expect(arrivingName, destAccount);
        const engine::TransferOutcome outcome =
                engine::runTransfer(session, request, steps, job.dryRun);
        progress.clear();
        if (outcome.result == engine::TransferResult::Done && job.dryRun)
            steps.followDryRun(session, job.to, outcome.characterText, outcome.itemsText);
        if (sameWorld) {
            // The source is the destination: its index follows each append too, so that a
            // later line finds the characters earlier ones wrote, as a new run would.
            session.sourceAccounts = session.destAccounts;
            session.sourceChars = session.destChars;
        }
        if (outcome.result == engine::TransferResult::Done) {
            QStringList created;
            for (const QString &path : std::as_const(absent)) {
                if (job.dryRun || QFileInfo::exists(path)) {
                    created.append(path);
                    createdBefore.insert(path);
                }
            }
            report.done(transfer, outcome, created);
            continue;
        }

        const engine::Refusal why{ outcome.message.caption, commandWording(outcome.message.text) };
        switch (outcome.result) {
        case engine::TransferResult::Refused:
            report.stopped(transfer, QStringLiteral("refused, nothing written"), why,
                    QStringLiteral("refused"));
            return finish(ExitRefused);
        case engine::TransferResult::Failed:
            report.stopped(transfer, QStringLiteral("failed, destination put back as it was"), why,
                    QStringLiteral("failed"));
            return finish(ExitRestored);
        default:
            report.stopped(transfer, QStringLiteral("failed, destination NOT put back"), why,
                    QStringLiteral("failedNotRestored"));
            return finish(ExitNotRestored);
        }
    }
    // A signal during the last transfer: that one is whole, and the run is complete.
    return finish(ExitDone);
}

} // namespace cli
