#pragma once

#include <QList>
#include <QString>

#include <functional>

#include "engine/progress.h"
#include "engine/session.h"
#include "world/worldindex.h"

namespace world {

// Reads the world's accounts.adm into `accounts` (record number to name, one entry per
// account record with a NAME line) and appends the names in file order to `names`, both
// decoded in the file's encoding, which the session keeps. False when the file cannot be
// opened; the world's characters are then not read either.
bool loadAccounts(engine::Session &session, const QString &dir, AccountMap *accounts, bool dest,
        engine::Progress &progress, QList<QString> *names);

// Reads the world's ztpcs.wsc: every record that names a character, an account and a
// serial enters `characters` under its account number, its name decoded in the file's
// encoding (which the session keeps), and `onCharacter` is told of it while the file is
// read, with the name as the file's bytes (world::decode()): decode it with the session's
// encoding once the call returns.
// For the destination it also finds the highest record number and serial in use, notes
// what the file looked like, and whether it ends inside a record.
void loadCharacters(engine::Session &session, const QString &dir, CharacterMap *characters,
        bool dest, engine::Progress &progress,
        const std::function<void(int account, const QString &name)> &onCharacter);

// What loading a destination starts from: its index, counters, the last transfer's items
// and every fact noted about its files.
void resetDestination(engine::Session &session);

} // namespace world
