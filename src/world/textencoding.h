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

// Whether any byte of `bytes` is 0x80 or above.
bool hasHighBytes(QByteArrayView bytes);

// Whether text of bytes 0x80 and above, read in a file of encoding `from`, keeps its
// meaning in a file of encoding `into`: a file of ASCII alone takes either.
inline bool encodingsAgree(TextEncoding from, TextEncoding into)
{
    return from == into || into == TextEncoding::Ascii || from == TextEncoding::Ascii;
}

// The encoding of a file after `text` in encoding `from` was appended to it.
inline TextEncoding encodingAfterAppend(TextEncoding file, TextEncoding from, bool textHasHighBytes)
{
    return textHasHighBytes && file == TextEncoding::Ascii ? from : file;
}

} // namespace world
