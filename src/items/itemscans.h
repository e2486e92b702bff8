#pragma once

#include <QString>

#include "engine/progress.h"
#include "engine/session.h"

namespace items {

// Finds the highest record number and the highest item serial that the items file of the
// world in `dir` already uses (every line counts, inside records and between them), so
// that appended items take numbers above both; notes whether the file ends inside a record.
void acquireSerials(engine::Session &session, const QString &dir, engine::Progress &progress);

// Collects every item record of the items file in `name` whose OWNER line names the
// character `owner` into the session's serialMap, gives each a new serial above
// maxItemSerial in file order, and then drops those whose container (or, for type 7, whose
// MORE object) was not collected and is not the character.
void getSerials(
        engine::Session &session, const QString &name, int owner, engine::Progress &progress);

} // namespace items
