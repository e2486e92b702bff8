#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include "engine/progress.h"
#include "engine/session.h"
#include "engine/transferrun.h"

// A package: a small world that holds a few characters of another world with exactly what a
// transfer of each would copy, and a manifest that says what it holds. Every reader of the
// program reads it as a world; a transfer from it appends what a transfer from the world it
// came from would have appended.
namespace transfer {

// The manifest beside the three world files.
QString packageManifestName();

// A character to put in a package, by the names the source world gives it.
struct PackageRequest
{
    QString sourceAccount;
    QString character;
};

struct PackedCharacter
{
    QString account;
    QString name;
    int serial = 0;
    int items = 0; // the item records a transfer would write
    int itemsLeftBehind = 0;
};

struct PackageFiles
{
    QByteArray accounts;
    QByteArray characters;
    QByteArray items;
};

struct PackageResult
{
    // Why the character `refused` (an index into the requests; -1: none in particular)
    // cannot be packed, as a transfer of it would refuse; empty when every character was.
    engine::Refusal refusal;
    int refused = -1;
    PackageFiles files;
    QList<PackedCharacter> characters;
};

// Composes the package of the characters asked for from the source world loaded into
// `session`. Each character goes through the checks and the composition of a transfer
// (into an empty world), so a character a transfer would refuse is refused with the same
// words, and nothing a transfer would not write is packed:
// - ztpcs.wsc: each record as the loader reads it and a transfer copies it, with its own
//   numbers;
// - ztitems.wsc: every item record a transfer would write, as it would write it but with its
//   own numbers, in the order of the source file. An item the character owns that a transfer
//   leaves behind still draws a serial in it, so it is kept as a stand-in holding only what
//   decides that (its serial and its OWNER, CONT, TYPE 7 and MORE lines): the items written
//   from the package then get exactly the serials they get from the source;
// - accounts.adm: each account involved, with its number and its NAME and nothing else.
PackageResult composePackage(const engine::Session &session, const QList<PackageRequest> &requests,
        engine::Progress &progress);

// What the manifest says besides the files.
struct PackageOrigin
{
    QString tool; // "chartransfer-cli 1.0"
    QString source; // the source world's directory
    QDateTime created;
};

// The manifest, a JSON document: the tool, the source world, the time, each character with
// its account, serial and item count, and the size and SHA-256 of each of the three files.
QByteArray packageManifest(const PackageResult &package, const PackageOrigin &origin);

// Why `dir` cannot receive a package (it exists and is not an empty directory); empty when
// it can.
QString packageTargetProblem(const QString &dir);

// Writes the package into `dir`, which must not exist or be empty: into a new directory
// beside it first, every file flushed to disk, then renamed into place, so there is never
// half a package. False with `error` set, and nothing left behind, when that fails.
bool writePackage(
        const QString &dir, const PackageFiles &files, const QByteArray &manifest, QString *error);

// Whether `dir` holds a package manifest.
bool isPackage(const QString &dir);

// A package whose files no longer are what its manifest records ("Damaged Package": which
// file differs, and how); empty when `dir` holds no manifest or every file matches.
engine::Refusal damagedPackage(const QString &dir);

// How names are written in a world's characters file: UTF-8 when the file is valid UTF-8
// (plain ASCII included), Windows-1252 otherwise.
enum class NameEncoding { Utf8, Windows1252 };
NameEncoding nameEncodingOf(const QString &dir);

// The bytes a character named `name` gets in a world whose names are in `encoding`, in the
// form the loaders give names (world::decode of those bytes), in `loaded`. Empty when the
// name can be written, else the rule it breaks: not empty, no control characters, no "//",
// no blank at either end, read back by the loader as it was written, and only characters
// the encoding can hold.
QString newNameProblem(const QString &name, NameEncoding encoding, QString *loaded);

} // namespace transfer
