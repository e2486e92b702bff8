#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace transfer {

// A transfer appends to two files. Before the first byte goes out it writes a journal next
// to them: what each file was (size, identity, a digest of its bytes) and exactly what is
// about to be appended. When both appends are on disk the journal is removed, and that
// removal is the moment the transfer counts as done. The transfer holds the world's lock
// (worldlock.h) all that time, so a journal whose lock is held belongs to a transfer in
// progress and nobody touches it. A journal found with the lock free means the process or
// the machine stopped in between; if the files hold their old bytes (by content: the same
// digest) and then nothing but part or all of the journaled text, they are cut back, and
// otherwise nothing is touched.
QString journalFileName();
QString journalPath(const QString &dir);

struct JournalFile
{
    JournalFile() = default;
    // A file and the text about to be appended to it; describeFiles() notes the rest.
    JournalFile(const QString &name, qint64 sizeBefore, bool existed, quint64 device, quint64 inode,
            const QByteArray &text)
        : name(name)
        , sizeBefore(sizeBefore)
        , existed(existed)
        , device(device)
        , inode(inode)
        , text(text)
    { }

    QString name; // the world file's name, in the journal's directory
    qint64 sizeBefore = 0;
    bool existed = true;
    quint64 device = 0;
    quint64 inode = 0;
    QByteArray text; // what is appended to it
    // Or, for a text too large to hold in memory (a merge's), whether it is kept in its own
    // file beside the journal (spoolFileName(name)), flushed before the journal is written,
    // with its size and SHA-1; `text` is filled from it only when a recovery needs it.
    bool spooled = false;
    qint64 spoolSize = 0;
    QByteArray spoolDigest;
    qint64 textSize() const { return spooled ? spoolSize : text.size(); }
    // A digest of the file's first `sizeBefore` bytes: of all of them, or of the first and
    // the last 64 KiB of them where hashing the whole file would slow the transfer down.
    bool wholeDigest = true;
    QByteArray digest;
};

struct Journal
{
    // Empty for a shard merge, which journals its appends (accounts.adm among them) the
    // same way: no character has an empty name.
    QString character;
    QString source; // the source world's directory
    QList<JournalFile> files;
};

// The name of the file that holds, while a merge is written, the text for the world file
// `name`, beside the journal.
QString spoolFileName(const QString &name);
// Removes whatever text files of a merge stand in `dir`.
void removeSpools(const QString &dir);

// Notes each file's size, identity and digest as they are now.
bool describeFiles(const QString &dir, Journal *journal, QString *error);

// How many bytes the journal takes on disk.
qint64 journalSize(const Journal &journal);

// Writes the journal durably: to a temporary file, flushed, renamed into place, the folder
// flushed. False with `error` set when any of it fails; nothing is left behind then.
bool writeJournal(const QString &dir, const Journal &journal, QString *error);

// Removes the journal and flushes the folder, then removes the merge's text files.
bool removeJournal(const QString &dir, QString *error);

enum class RecoveryResult {
    None, // no journal
    Undone, // the interrupted transfer was cut back and the journal removed
    Kept, // the journal cannot be trusted to cut with; nothing was touched
    InProgress, // the journal belongs to a transfer that is running; nothing was touched
};

struct Recovery
{
    RecoveryResult result = RecoveryResult::None;
    QString message; // what the user is told
};

// Handles a journal left in the world `dir`, as every load does before it reads the world.
// It takes the world's lock for that (waiting up to `waitMs` milliseconds for it), and only
// when there is a journal to handle; a journal whose lock another program holds is left
// alone (InProgress).
Recovery recoverWorld(const QString &dir, int waitMs = 0);
// The same, for a caller that holds the world's lock already.
Recovery recoverLockedWorld(const QString &dir);

// Whether `dir` holds a journal, the temporary file of one being written, or a text file
// of a merge (spoolFileName()).
bool journalPresent(const QString &dir);

// The message for a world whose lock another program holds while the caller wanted it.
QString worldBusyText(const QString &dir, qint64 pid);

// What a journal found in `dir` holds, for a refusal; empty when there is none.
QString journalSummary(const QString &dir);

} // namespace transfer
