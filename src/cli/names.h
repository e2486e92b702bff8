#pragma once

#include <QString>
#include <QStringList>

namespace cli {

// The names among `candidates` that `name` was probably meant to be: the same letters in
// another case, or one or two letters added, left out, changed or swapped (one for a name
// of three letters or fewer, where two would match almost anything). Closest first, at
// most `limit` of them, each once.
QStringList similarNames(const QString &name, const QStringList &candidates, int limit = 3);

// "; did you mean "a"?", "; did you mean "a", "b" or "c"?", or nothing: the end of a
// message about a name that matches nothing. The suggestions come quoted as they are shown.
QString didYouMean(const QStringList &suggestions);

// "1 item", "2 items": a count with its noun.
QString counted(qint64 count, const char *one, const char *many);

} // namespace cli
