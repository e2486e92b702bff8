#include "cli/names.h"

#include <QList>

#include <algorithm>
#include <utility>

namespace cli {

namespace {

// Edits between two names, ignoring letter case, counting a swap of two neighbouring
// letters as one; gives up (returns limit + 1) once it is sure to exceed `limit`.
int distance(const QString &a, const QString &b, int limit)
{
    const QString x = a.toCaseFolded();
    const QString y = b.toCaseFolded();
    if (qAbs(x.size() - y.size()) > limit)
        return limit + 1;
    const qsizetype n = y.size();
    QList<int> before(n + 1), previous(n + 1), current(n + 1);
    for (qsizetype j = 0; j <= n; ++j)
        previous[j] = int(j);
    for (qsizetype i = 1; i <= x.size(); ++i) {
        current[0] = int(i);
        int best = current[0];
        for (qsizetype j = 1; j <= n; ++j) {
            const int cost = x.at(i - 1) == y.at(j - 1) ? 0 : 1;
            int value = std::min({ previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost });
            if (i > 1 && j > 1 && x.at(i - 1) == y.at(j - 2) && x.at(i - 2) == y.at(j - 1))
                value = std::min(value, before[j - 2] + 1);
            current[j] = value;
            best = std::min(best, value);
        }
        if (best > limit)
            return limit + 1;
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[n];
}

} // namespace

QStringList similarNames(const QString &name, const QStringList &candidates, int limit)
{
    const int allowed = name.size() <= 3 ? 1 : 2;
    QList<std::pair<int, QString>> close;
    for (const QString &candidate : candidates) {
        if (candidate == name)
            continue;
        // Another case only is the closest there is.
        const int edits = candidate.compare(name, Qt::CaseInsensitive) == 0
                ? 0
                : distance(name, candidate, allowed);
        if (edits <= allowed)
            close.append({ edits, candidate });
    }
    std::sort(close.begin(), close.end());
    QStringList names;
    for (const auto &entry : std::as_const(close)) {
        if (!names.contains(entry.second))
            names.append(entry.second);
        if (names.size() == limit)
            break;
    }
    return names;
}

QString didYouMean(const QStringList &suggestions)
{
    if (suggestions.isEmpty())
        return QString();
    QStringList names = suggestions;
    const QString last = names.takeLast();
    return QStringLiteral("; did you mean %1?")
            .arg(names.isEmpty() ? last
                                 : names.join(QLatin1String(", ")) + QStringLiteral(" or ") + last);
}

QString counted(qint64 count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(
            QString::number(count), QString::fromLatin1(count == 1 ? one : many));
}

} // namespace cli
