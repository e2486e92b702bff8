#include "faults/badworlds.h"

#include <QDir>
#include <QFile>

#include "support/worldfixture.h"
#include "world/worldformat.h"

namespace badworlds {

namespace {

using Member = QByteArray faults::World::*;

struct FileOfWorld
{
    const char *tag;
    Member member;
    QString name;
};

QList<FileOfWorld> files()
{
    return { { "accounts", &faults::World::accounts, world::accountsFileName() },
        { "characters", &faults::World::characters, world::charactersFileName() },
        { "items", &faults::World::items, world::itemsFileName() } };
}

Case withFile(const QString &name, const FileOfWorld &file, const QByteArray &bytes,
        const faults::World &base = soundWorld())
{
    Case c;
    c.name = name;
    c.world = base;
    c.world.*file.member = bytes;
    return c;
}

QString tagged(const char *kind, const FileOfWorld &file, const QString &rest = QString())
{
    QString name = QString::fromLatin1(kind) + QLatin1Char('-') + QLatin1String(file.tag);
    if (!rest.isEmpty())
        name += QLatin1Char('-') + rest;
    return name;
}

// The lines of a file with their line feeds.
QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype begin = 0;
    while (begin < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', begin);
        end = end < 0 ? bytes.size() : end + 1;
        lines.append(bytes.mid(begin, end - begin));
        begin = end;
    }
    return lines;
}

// The world with the file cut after every line, and in the middle of every line (a save
// that stopped).
QList<Case> cuts(const char *kind, const FileOfWorld &file, const faults::World &base)
{
    QList<Case> cases;
    const QList<QByteArray> lines = linesOf(base.*file.member);
    QByteArray prefix;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        cases << withFile(
                tagged(kind, file, QStringLiteral("after-line-%1").arg(i)), file, prefix, base);
        cases << withFile(tagged(kind, file, QStringLiteral("inside-line-%1").arg(i + 1)), file,
                prefix + lines.at(i).left(qMax<qsizetype>(1, lines.at(i).size() / 2)), base);
        prefix += lines.at(i);
    }
    return cases;
}

} // namespace

faults::World soundWorld()
{
    return { "// accounts\nSECTION ACCOUNT 0\n{\nNAME harald\n}\nSECTION ACCOUNT 1\n{\nNAME "
             "mirelle\n}\n",
        "SECTION CHARACTER 0\n{\nSERIAL 1\nNAME Aldo Brand\nACCOUNT 0\nOWN 1\n"
        "ROBE 1073741828 // robe\n}\nSECTION CHARACTER 1\n{\nSERIAL 2\nNAME Wren\nACCOUNT 1\n}\n",
        "SECTION WORLDITEM 0\n{\nSERIAL 1073741825\nOWNER 1\nCONT 1\n}\n"
        "SECTION WORLDITEM 1\n{\nSERIAL 1073741826\nOWNER 1\nCONT 1073741825\nTYPE 7\n"
        "MORE 1073741825\n}\nSECTION WORLDITEM 2\n{\nSERIAL 1073741828\nOWNER 1\nCONT 1\n}\n" };
}

QList<Case> corpus()
{
    QList<Case> cases;
    const faults::World sound = soundWorld();
    for (const FileOfWorld &file : files()) {
        const QByteArray bytes = sound.*file.member;
        const QList<QByteArray> lines = linesOf(bytes);

        cases << cuts("cut", file, soundWorld());

        // Other line ends.
        QByteArray crlf = bytes;
        cases << withFile(tagged("crlf", file), file, crlf.replace("\n", "\r\n"));
        QByteArray cr = bytes;
        cases << withFile(tagged("lone-cr", file), file, cr.replace('\n', '\r'));
        QByteArray mixed;
        for (qsizetype i = 0; i < lines.size(); ++i)
            mixed += i % 2 ? lines.at(i) : QByteArray(lines.at(i)).replace("\n", "\r\r\n");
        cases << withFile(tagged("mixed-line-ends", file), file, mixed);
        cases << withFile(tagged("no-final-line-feed", file), file, bytes.chopped(1));

        // NUL bytes: in keys, values and numbers, and a file of nothing else.
        QByteArray nulKeys = bytes;
        cases << withFile(tagged("nul", file, QStringLiteral("in-keys")), file,
                nulKeys.replace("SE", QByteArray("S\0E", 3)));
        QByteArray nulValues = bytes;
        cases << withFile(tagged("nul", file, QStringLiteral("in-values")), file,
                nulValues.replace(" 1",
                        QByteArray(" \0"
                                   "1",
                                3)));
        QByteArray nulAfter = bytes;
        cases << withFile(tagged("nul", file, QStringLiteral("after-numbers")), file,
                nulAfter.replace("1\n", QByteArray("1\0x\n", 4)));
        cases << withFile(
                tagged("nul", file, QStringLiteral("only")), file, QByteArray(4096, '\0'));

        // Bytes 0x80 to 0xFF: in names, as white space (NEL, NBSP), and a line of all of them.
        QByteArray high = bytes;
        cases << withFile(tagged("high-bytes", file, QStringLiteral("in-names")), file,
                high.replace("a", "\xe4\xff\x80"));
        QByteArray spaces = bytes;
        cases << withFile(tagged("high-bytes", file, QStringLiteral("as-blanks")), file,
                spaces.replace(' ', '\xa0').replace("{", "\x85{\x85"));
        QByteArray all;
        for (int b = 0x80; b <= 0xff; ++b)
            all += char(b);
        cases << withFile(tagged("high-bytes", file, QStringLiteral("line-of-all")), file,
                all + "\n" + bytes + all);

        // One line of 10 MB: alone, and as the value of a key inside a record.
        cases << withFile(tagged("long-line", file, QStringLiteral("alone")), file,
                QByteArray(10 * 1024 * 1024, 'x'));
        QByteArray longValue = bytes;
        cases << withFile(tagged("long-line", file, QStringLiteral("as-value")), file,
                longValue.replace("{\n", "{\nNOTE " + QByteArray(10 * 1024 * 1024, 'y') + "\n"));

        // Nothing, or not a file.
        cases << withFile(tagged("empty", file), file, QByteArray(""));
        Case missing = withFile(tagged("missing", file), file, QByteArray());
        missing.special = Case::Special::Missing;
        missing.specialFile = file.name;
        cases << missing;
        Case directory = withFile(tagged("directory", file), file, QByteArray());
        directory.special = Case::Special::Directory;
        directory.specialFile = file.name;
        cases << directory;
        Case loop = withFile(tagged("link-loop", file), file, QByteArray());
        loop.special = Case::Special::LinkLoop;
        loop.specialFile = file.name;
        cases << loop;

        // Numbers beyond 32 bits, and at the very edge.
        for (const char *number : { "2147483648", "99999999999999999999", "-2147483649",
                     "2147483647", "-2147483648", "4294967297" }) {
            QByteArray big = bytes;
            big.replace("SERIAL 1", QByteArray("SERIAL ") + number);
            big.replace("SECTION CHARACTER 1", QByteArray("SECTION CHARACTER ") + number);
            big.replace("SECTION WORLDITEM 2", QByteArray("SECTION WORLDITEM ") + number);
            big.replace("SECTION ACCOUNT 1", QByteArray("SECTION ACCOUNT ") + number);
            big.replace("ACCOUNT 0\n", QByteArray("ACCOUNT ") + number + "\n");
            big.replace("OWNER 1\n", QByteArray("OWNER ") + number + "\n");
            big.replace("CONT 1\n", QByteArray("CONT ") + number + "\n");
            cases << withFile(tagged("number", file,
                                      QString::fromLatin1(number).replace(
                                              QLatin1Char('-'), QLatin1String("minus-"))),
                    file, big);
        }

        // Headers without braces, braces without headers, braces out of place.
        QByteArray noBraces = bytes;
        noBraces.replace("{\n", "").replace("}\n", "");
        cases << withFile(tagged("headers-without-braces", file), file, noBraces);
        QByteArray noHeaders;
        for (const QByteArray &line : lines) {
            if (!line.startsWith("SECTION"))
                noHeaders += line;
        }
        cases << withFile(tagged("braces-without-headers", file), file, noHeaders);
        QByteArray noClosing = bytes;
        cases << withFile(tagged("no-closing-braces", file), file, noClosing.replace("}\n", ""));
        QByteArray commented = bytes;
        cases << withFile(tagged("braces-with-comments", file), file,
                commented.replace("{\n", "{ // open\n").replace("}\n", "} // close\n"));
        QByteArray nested = bytes;
        cases << withFile(tagged("headers-inside-records", file), file,
                nested.replace("{\n", "{\nSECTION INNER 5\n{\n"));
        cases << withFile(tagged("only-headers", file), file,
                QByteArray("SECTION\nSECTION X\nSECTION X Y Z\n").repeated(50));
        cases << withFile(
                tagged("only-braces", file), file, QByteArray("{\n}\n}\n{\n{\n").repeated(50));
    }
    // A bigger characters file with CR LF line ends, cut the same way; its accounts are the
    // sound world's, so its characters hang under "harald" and "mirelle".
    faults::World crlfWorld = soundWorld();
    crlfWorld.characters = faults::destinations().at(3).world.characters;
    crlfWorld.characters.replace("ACCOUNT 5", "ACCOUNT 0").replace("ACCOUNT 6", "ACCOUNT 1");
    cases << cuts("cut-crlf", files().at(1), crlfWorld);

    // A world folder with none of its files.
    Case nothing;
    nothing.name = QStringLiteral("missing-all-files");
    cases << nothing;
    return cases;
}

bool materialize(const Case &c, const QString &dir, QString *error)
{
    if (!faults::write(dir, c.world)) {
        *error = QStringLiteral("cannot write %1").arg(dir);
        return false;
    }
    if (c.special == Case::Special::None || c.special == Case::Special::Missing)
        return true;
    const QString path = world::filePath(dir, c.specialFile);
    QFile::remove(path);
    bool ok = true;
    if (c.special == Case::Special::Directory) {
        ok = QDir().mkpath(path);
    } else {
        // Two links pointing at each other: opening either fails with "too many levels".
        const QString other = path + QStringLiteral(".other");
        ok = QFile::link(other, path) && QFile::link(path, other);
    }
    if (!ok)
        *error = QStringLiteral("cannot make %1").arg(path);
    return ok;
}

} // namespace badworlds
