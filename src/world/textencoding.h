#pragma once

#include <QByteArrayView>
#include <QString>

namespace world {

// How a file's text is decoded for people: as UTF-8 when all its bytes are valid UTF-8,
// otherwise as Windows-1252. A file of ASCII bytes alone reads the same either way; a
// byte-order mark makes it UTF-8. What is copied is always the file's bytes.
enum class TextEncoding : quint8 { Ascii, Utf8, Windows1252 };

// "UTF-8", "Windows-1252" or "ASCII", as messages name them.
QString encodingName(TextEncoding encoding);

// Text held one character per byte (as world::decode() gives it), decoded the way its file
// is. Text without a byte of 0x80 or above comes back as it is.
QString decodeText(const QString &bytes, TextEncoding encoding);

// The bytes decodeText() read `text` from, held one character per byte: the inverse of
// decodeText() for text it gave.
QString encodeText(const QString &text, TextEncoding encoding);

// Whether any byte of `bytes` is 0x80 or above.
bool hasHighBytes(QByteArrayView bytes);

// The encoding `text` would have as a file of its own.
TextEncoding encodingOf(QByteArrayView text);

// The encoding of a file of encoding `file` once `text` is appended to it: a file of ASCII
// alone takes the text's, and one invalid UTF-8 byte makes the whole file Windows-1252.
TextEncoding encodingAfterAppend(TextEncoding file, QByteArrayView text);

// Whether `text`, held in `from` by its source, reads the same once appended to a file of
// encoding `into`: text of ASCII alone always does; otherwise the file must end up in
// `from` and must not change its own encoding (a file of ASCII alone may take the text's).
bool readsAlikeAfterAppend(QByteArrayView text, TextEncoding from, TextEncoding into);

} // namespace world
