#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/progress.h"
#include "engine/session.h"
#include "world/worldformat.h"
#include "world/worldindex.h"

// What every fuzz target shares: one engine session for the whole run, a scratch world
// folder, and a way to stop with a message when a check fails.
namespace fuzz {

// The session the targets load into and scan with, created on first use.
engine::Session &session();

// A progress report that goes nowhere.
engine::Progress &progress();

// A world folder that lives for the whole run (on /dev/shm when there is one).
QString worldDir();

// Writes `bytes` as the named world file of worldDir(); a null array removes the file.
void writeWorldFile(const QString &fileName, const QByteArray &bytes);

// Runs `work` once on the byte-level path and once with every line read through the
// toolkit's string functions (the reference mode), returning both results to compare.
template <typename Work>
auto bothWays(Work work)
{
    world::setReferenceMode(false);
    auto fast = work();
    world::setReferenceMode(true);
    auto reference = work();
    world::setReferenceMode(false);
    return std::make_pair(fast, reference);
}

// The lines of a file in their plainest form: a line ends at LF, a CR before the LF is not
// part of it, a last line without LF still counts (a CR ending the file dropped as well).
struct Line
{
    QByteArray text;
    qint64 next; // where the following line begins
    bool terminated;
};
// The lines from `begin` on; by default from the start, past a byte-order mark.
QList<Line> splitLines(const QByteArray &data, qint64 begin = -1);

// What loading worldDir() as the destination left in the session, and what the loader told
// a front end of it.
struct Loaded
{
    QMap<int, QString> accounts;
    QMap<int, QList<char_st>> characters;
    int maxCharSection = 0;
    int maxCharSerial = 0;
    bool cutOff = false;
    // "account" for every account the loader reported, in file order, each followed by
    // "account/character" for every character hung under it (under the first account of
    // its name, as the window's tree does; one of an account without a record is left out)
    QStringList tree;
    bool operator==(const Loaded &other) const;
    QString describe() const;
};
Loaded loadDestination();

// Prints the message and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char *what, const QString &detail = QString());

inline void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

// The detail is only worked out when the check fails: `detail` returns a QString.
template <typename Detail>
inline void check(bool condition, const char *what, Detail detail)
{
    if (!condition)
        fail(what, detail());
}

// The input as bytes, without a copy.
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace fuzz
