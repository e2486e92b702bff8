#pragma once

#include <QByteArray>
#include <QString>

#include "engine/progress.h"
#include "engine/session.h"

namespace engine {

// A warning the user is shown: the box caption (or the kind of message) and its text.
struct Refusal
{
    QString caption;
    QString text;
    bool isEmpty() const { return caption.isEmpty(); }
};

// The refusal of a transfer whose selection does not name a character and an account.
Refusal selectionIncomplete();

// What is loaded while a world is read, for a front end that shows it.
class LoadListener
{
public:
    virtual ~LoadListener() = default;
    // The accounts file has been read: one entry per account record with a NAME line, in
    // file order (`accounts` in the session holds number to name).
    virtual void accountsRead(const QList<QString> &names) { Q_UNUSED(names); }
    // A character was read, of the account with that number (no account record may exist).
    virtual void characterRead(int account, const QString &name)
    {
        Q_UNUSED(account);
        Q_UNUSED(name);
    }
    // The characters file has been read.
    virtual void charactersDone() { }
};

// Loads the world in `dir` into the session as its source or its destination world,
// exactly as the window's buttons do (without asking for the directory).
void loadWorld(Session &session, const QString &dir, bool dest, Progress &progress,
        LoadListener &listener);

// Which character goes where: by the names the world files give them.
struct TransferRequest
{
    QString sourceAccount;
    QString character;
    QString destAccount;
    // The name the copy arrives under, as the loader gives names (world::decode of the
    // bytes written); empty: its own.
    QString newName = QString();
};

// How a transfer ended.
enum class TransferResult {
    Done, // appended, flushed
    Refused, // a check said no; nothing was written
    Failed, // a write failed; both destination files were put back
    FailedNotRestored, // a write failed and a file could not be put back
};

struct TransferOutcome
{
    TransferResult result = TransferResult::Refused;
    Refusal message; // the refusal or the failure, as the user is told it
    int newSection = -1; // the new character's record number
    int newSerial = -1; // and serial
    int itemsWritten = 0;
    int itemsLeftBehind = 0;
    QByteArray characterText; // what was (or, on a dry run, would be) appended
    QByteArray itemsText;
};

// The steps of a transfer. The engine's own run them with its functions; a front end can
// put its own in their place (the window runs its slots, which a subclass may override)
// and be told of each refusal or failure at the moment it happens.
class TransferSteps
{
public:
    explicit TransferSteps(Progress &progress)
        : m_progress(progress)
    { }
    virtual ~TransferSteps() = default;

    virtual void acquireSerials(Session &session, const QString &dir);
    virtual void getSerials(Session &session, const QString &dir, int owner);
    virtual void copyCharacter(Session &session, int owner, int offset, int account,
            const QString &input, const QString &output);
    virtual void copyItems(Session &session, int owner, int account, const QString &output);
    virtual void reload(Session &session, const QString &dir);
    // Between two steps: a window lets its events run.
    virtual void pause() { }
    // The work begins or ends (a window shows the wait cursor meanwhile).
    virtual void busy(bool on) { Q_UNUSED(on); }
    // A refusal or a failure, at the moment it is found (a window shows a box).
    virtual void warn(const Refusal &refusal) { Q_UNUSED(refusal); }

    Progress &progress() { return m_progress; }

private:
    Progress &m_progress;
};

// Runs a whole transfer: lookups, refusals, scans, verification, both appends, rollback
// and the reload of the destination. With `dryRun` it stops before writing and says what
// would be appended.
TransferOutcome runTransfer(Session &session, const TransferRequest &request, TransferSteps &steps,
        bool dryRun = false);

} // namespace engine
