#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Worlds, snapshots and the transfer driver shared by the fault suites.
namespace faults {

// The three world files of a folder as bytes; a missing file is told apart from an empty one.
struct WorldBytes
{
    QMap<QString, QByteArray> files; // file name to its bytes, for files that exist
    QStringList missing;
    QString differences(const WorldBytes &after) const; // empty when the same
};
WorldBytes snapshot(const QString &dir);

// A world folder filled from its own bytes; a null array leaves that file out.
struct World
{
    QByteArray accounts;
    QByteArray characters;
    QByteArray items;
};
bool write(const QString &dir, const World &world);

// The source of every transfer here: "Aldo Brand" of account "harald" has a backpack,
// bag, coins, a key of type 7 and a worn robe; "Wren" has an item of her own.
World sourceWorld();
inline QString sourceCharacter()
{
    return QStringLiteral("Aldo Brand");
}

// Destinations, each with an account "newbie" to transfer into.
struct Destination
{
    const char *tag;
    World world;
    bool sameAsSource = false; // the transfer goes into the source folder itself
};
QList<Destination> destinations();
// The two worlds of one run in a fresh folder under `base`: returns the source and
// destination folders (the same for a destination that is the source), empty on failure.
QPair<QString, QString> prepareWorlds(const QString &base, const Destination &destination);
// The destination account of a destination: "mirelle" in the source world itself.
QString targetAccount(const Destination &destination);

// One run of the driver program.
struct Run
{
    int exitCode = -1;
    bool crashed = false; // ended by a signal, or by a sanitizer
    bool timedOut = false;
    QList<QPair<QString, QString>> boxes; // caption and text of every message box
    QString output;
    QString errors;
    long calls = -1; // matching calls the fault library saw (-1: no report)
    long fired = -1;
    qint64 elapsedMs = 0;
    bool transferred() const { return !crashed && exitCode == 0; }
    bool warned() const { return !crashed && exitCode == 3; }
    QString describe() const;
};

// Fault library settings: FAULT_FILE, FAULT_CALL, FAULT_AT, FAULT_ERRNO, FAULT_MODE.
using Fault = QMap<QString, QString>;

// Runs the driver with `arguments`; with a fault the library is preloaded. `timeoutMs`
// bounds the run (the driver stops itself with exit code 5, and is killed soon after).
// A `wrapper` command runs the driver (its path and arguments follow the wrapper's).
Run runDriver(const QStringList &arguments, const Fault &fault = {}, int timeoutMs = 20000,
        const QStringList &wrapper = {});

// Runs the driver once per argument list, all at the same time.
QList<Run> runDrivers(const QList<QStringList> &argumentLists, int timeoutMs = 20000);

// Fills in the boxes of `run` from its output, and whether it crashed from its exit code.
void parseOutput(Run *run);

// Runs a shell script in a private mount namespace (unshare -m) as the given user
// (empty: as we are), with `environment` added; false with `error` set when the system
// refuses. The script's exit code is returned in `exitCode`.
bool runIsolated(const QString &script, const QMap<QString, QString> &environment, int *exitCode,
        QString *error, int timeoutMs = 60000);
// Whether this machine lets us mount a tmpfs in a private mount namespace; `why` when not.
bool canMountPrivately(QString *why);

// Arguments for a transfer of the source character into `account`.
QStringList transferArguments(const QString &source, const QString &dest, const QString &account);

// Multiplies time limits in slow builds (sanitizers): FAULTS_TIME_SCALE, default 1.
double timeScale();

// The system's text for "EIO" or "ENOSPC", as a failure names it.
QString reasonFor(const QString &error);

// Where the suites make their folders: /dev/shm when there is one, for speed (flushes to a
// real disk take most of a run's time there), else the temporary folder.
QString scratchTemplate();

QString driverPath();
QString libraryPath();

} // namespace faults
