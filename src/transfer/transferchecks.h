#pragma once

#include <QString>

#include "world/textencoding.h"
#include "world/worldindex.h"

namespace transfer {

// Whether the characters file at `path` still holds `character` where it was loaded: the
// line that ends at its offset is a record header, and that record, read the way the
// character loader reads it, gives the same name (decoded in `encoding`, the file's as it
// was loaded) and serial. A file rewritten since the load can have another record, or the
// middle of one, at that offset.
bool recordStillHolds(const QString &path, const char_st &character, world::TextEncoding encoding);

// Whether the scans, reading the items file at `path` from its last record header (which
// begins at `header`) to its end, end outside any record: a header whose "{" never comes,
// or a body without its "}", would take in whatever is appended next.
bool itemsEndOutsideRecord(const QString &path, qint64 header);

} // namespace transfer
