#pragma once

#include <QByteArray>
#include <QString>

// World folders for tests, written byte for byte so CR LF, TABs and a missing last line
// feed are exactly what a test says.
namespace fixture {

bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// Writes the three world files into `dir`; a null array leaves that file out.
bool writeWorld(const QString &dir, const QByteArray &accounts, const QByteArray &characters,
                const QByteArray &items);

} // namespace fixture
