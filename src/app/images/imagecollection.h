#pragma once

#include <QImage>
#include <QString>

// The images compiled into the program, found by exact, case-sensitive name ("fileopen",
// "2rightarrow.png"). Each is decoded at its first lookup only; a name the collection does
// not hold gives a null image.
QImage findImage(const QString &name);

// How many images have been decoded so far (a repeated lookup decodes nothing).
int imageDecodeCount();
