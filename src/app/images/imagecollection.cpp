#include "app/images/imagecollection.h"

#include <QFile>
#include <QHash>

namespace {

int decodeCount = 0;

QHash<QString, QImage> &cache()
{
    static QHash<QString, QImage> images;
    return images;
}

} // namespace

QImage findImage(const QString &name)
{
    if (name.isEmpty())
        return QImage();
    auto &images = cache();
    const auto cached = images.constFind(name);
    if (cached != images.cend())
        return cached.value();
    // Resource names are case-sensitive and exact; a name the collection lacks is not
    // remembered, so nothing is decoded for it.
    const QString path = QStringLiteral(":/images/") + name;
    if (!QFile::exists(path))
        return QImage();
    QImage image(path);
    if (image.isNull())
        return QImage();
    ++decodeCount;
    image = image.convertToFormat(QImage::Format_ARGB32);
    images.insert(name, image);
    return image;
}

int imageDecodeCount()
{
    return decodeCount;
}
