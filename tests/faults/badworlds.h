#pragma once

#include <QList>
#include <QString>

#include "faults/faultsupport.h"

// Broken worlds, made at test time: a small sound world with one of its files cut short,
// re-ended, filled with odd bytes, oversized, or replaced by something that is not a file.
namespace badworlds {

struct Case
{
    QString name; // lower-case-with-dashes, unique; the part before the first dash is its kind
    faults::World world;
    // Instead of its bytes, this file is made a directory, a symbolic link loop, or left out.
    enum class Special { None, Missing, Directory, LinkLoop } special = Special::None;
    QString specialFile;
};

// The sound world every case starts from: "Aldo Brand" (account "harald") owns three items.
faults::World soundWorld();

QList<Case> corpus();

// Writes the case's world into `dir` (created); false with `error` set when it cannot.
bool materialize(const Case &c, const QString &dir, QString *error);

} // namespace badworlds
