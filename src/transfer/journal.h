#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace transfer {

// A transfer appends to two files. Before the first byte goes out it writes a journal next
// to them: what each file was (size, identity) and exactly what is about to be appended.
// When both appends are on disk the journal is removed, and that removal is the moment the
// transfer counts as done. A journal found later means the process or the machine stopped
// in between; if the files hold nothing but their old bytes and part or all of the
// journaled text, they are cut back, and otherwise nothing is touched.
QString journalFileName();
QString journalPath(const QString &dir);

struct JournalFile
{
    QString name; // the world file's name, in the journal's directory
    qint64 sizeBefore = 0;
    bool existed = true;
    quint64 device = 0;
    quint64 inode = 0;
    QByteArray text; // what is appended to it
};

struct Journal
{
    // Empty for a shard merge, which journals its appends (accounts.adm among them) the
    // same way: no character has an empty name.
    QString character;
    QString source; // the source world's directory
    QList<JournalFile> files;
};

// Notes each file's size and identity as they are now.
bool describeFiles(const QString &dir, Journal *journal, QString *error);

// How many bytes the journal takes on disk.
qint64 journalSize(const Journal &journal);

// Writes the journal durably: to a temporary file, flushed, renamed into place, the folder
// flushed. False with `error` set when any of it fails; nothing is left behind then.
bool writeJournal(const QString &dir, const Journal &journal, QString *error);

// Removes the journal and flushes the folder.
bool removeJournal(const QString &dir, QString *error);

enum class RecoveryResult {
    None, // no journal
    Undone, // the interrupted transfer was cut back and the journal removed
    Kept, // the journal cannot be trusted to cut with; nothing was touched
};

struct Recovery
{
    RecoveryResult result = RecoveryResult::None;
    QString message; // what the user is told
};

// Handles a journal left in the world `dir`, as every load does before it reads the world.
Recovery recoverWorld(const QString &dir);

// What a journal found in `dir` holds, for a refusal; empty when there is none.
QString journalSummary(const QString &dir);

} // namespace transfer
