#include "support/worldfixture.h"

#include <QFile>

#include "world/worldformat.h"

namespace fixture {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeWorld(const QString &dir, const QByteArray &accounts, const QByteArray &characters,
                const QByteArray &items)
{
    const struct
    {
        QString name;
        const QByteArray &bytes;
    } files[] = {
        {world::accountsFileName(), accounts},
        {world::charactersFileName(), characters},
        {world::itemsFileName(), items},
    };
    for (const auto &file : files) {
        if (!file.bytes.isNull() && !writeFile(world::filePath(dir, file.name), file.bytes))
            return false;
    }
    return true;
}

} // namespace fixture
