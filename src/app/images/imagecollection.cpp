#include "app/images/imagecollection.h"

#include <QDir>
#include <QHash>
#include <QStringList>

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
    // Names are matched exactly against the files of the collection, not resolved as paths
    // ("./fileopen" or "../images/fileopen" name nothing). A name the collection lacks is
    // not remembered, so nothing is decoded for it.
    static const QStringList names =
            QDir(QStringLiteral(":/images")).entryList(QDir::Files | QDir::Hidden);
    if (!names.contains(name))
        return QImage();
    const QString path = QStringLiteral(":/images/") + name;
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
