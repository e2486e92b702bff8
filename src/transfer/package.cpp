#include "transfer/package.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "items/itemscans.h"
#include "transfer/appendfile.h"
#include "transfer/composition.h"
#include "world/worldformat.h"

namespace transfer {

namespace {

// The name of the account a package's characters are composed into: any name does, the
// empty world that stands for the destination has this one account only.
const QString PackingAccount = QStringLiteral("package");

// The steps of a transfer that only composes: the source's items are read once for all the
// characters, and what item identification files for each is kept for the package.
class PackingSteps : public engine::TransferSteps
{
public:
    PackingSteps(engine::Progress &progress, const QList<int> &owners)
        : engine::TransferSteps(progress)
        , m_owners(owners)
    { }

    void getSerials(engine::Session &session, const QString &dir, int owner) override
    {
        if (!m_collected) {
            m_owned = items::collectOwned(dir, m_owners, progress());
            m_collected = true;
        }
        items::fileOwned(session, owner, m_owned);
        filed = session.serialMap;
    }

    QList<items::OwnedRecord> owned(int owner) const { return m_owned.byOwner.value(owner); }

    QMap<int, item_st> filed; // what the last character's identification kept

private:
    QList<int> m_owners;
    items::OwnedItems m_owned;
    bool m_collected = false;
};

// The line that ends just before `offset` (a record header ends there), without its line
// break; empty when it cannot be read.
QByteArray lineBefore(QFile &file, qint64 offset)
{
    for (qint64 back = 256;; back *= 4) {
        const qint64 from = qMax<qint64>(0, offset - back);
        if (!file.seek(from))
            return QByteArray();
        const QByteArray block = file.read(offset - from);
        if (block.size() != offset - from)
            return QByteArray();
        qsizetype end = block.size();
        if (block.endsWith('\n'))
            --end;
        if (end > 0 && block.at(end - 1) == '\r')
            --end;
        const qsizetype feed = end > 0 ? block.lastIndexOf('\n', end - 1) : -1;
        if (feed >= 0 || from == 0)
            return block.mid(feed + 1, end - feed - 1);
    }
}

// The record number on the header that ends at `offset`.
int sectionBefore(QFile &file, qint64 offset)
{
    const QByteArray header = lineBefore(file, offset);
    return world::toNumber(world::ConditionedLine::forScanner(header).word(2));
}

// The lines of an item record left behind that decide what happens to it and to the
// others: the serial it is filed under, what makes it the character's (OWNER), what holds
// it (CONT) and, for a key, what it opens (TYPE 7 and the MORE lines after it).
QList<QString> standInLines(const items::OwnedRecord &record)
{
    QList<QString> lines = { QStringLiteral("{"),
        QStringLiteral("SERIAL ") + QString::number(record.serial) };
    bool typeSeven = false;
    for (qsizetype i = 1; i < record.lines.size(); ++i) {
        const QByteArray raw = world::encode(record.lines.at(i));
        const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
        const bool seven = line.keyIs("TYPE") && line.word(1) == "7";
        if (line.keyIs("OWNER") || line.keyIs("CONT") || seven || (typeSeven && line.keyIs("MORE")))
            lines.append(record.lines.at(i));
        typeSeven = typeSeven || seven;
    }
    return lines;
}

engine::Refusal readFailure(const QString &path, const QString &reason)
{
    return { QStringLiteral("Read Error"),
        QStringLiteral("Could not read %1: %2. Nothing was written.\n\nCheck the disk that "
                       "holds the world, then export again.")
                .arg(path, reason) };
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Names in world files are bytes; shown as UTF-8 when they are that, else as Windows-1252.
QString shownName(const QString &loaded)
{
    const QByteArray bytes = world::encode(loaded);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    QString shown;
    for (const char c : bytes) {
        const uchar byte = uchar(c);
        shown += byte >= 0x80 && byte < 0xa0 ? QChar(0xfffd) : QChar(byte);
    }
    return shown;
}

// Windows-1252 where it differs from Latin-1: the characters of bytes 0x80 to 0x9f (0 for
// the five bytes it leaves undefined).
constexpr char16_t Windows1252High[32] = { 0x20ac, 0, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020,
    0x2021, 0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017d, 0, 0, 0x2018, 0x2019, 0x201c, 0x201d,
    0x2022, 0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0, 0x017e, 0x0178 };

// Whether `bytes` continue a valid UTF-8 text; `pending` carries an unfinished sequence
// (the bytes still expected, and the allowed range of the next one) from block to block.
struct Utf8State
{
    int expected = 0;
    uchar low = 0x80;
    uchar high = 0xbf;
};
bool validUtf8(const QByteArray &bytes, Utf8State *state)
{
    for (const char c : bytes) {
        const uchar b = uchar(c);
        if (state->expected > 0) {
            if (b < state->low || b > state->high)
                return false;
            --state->expected;
            state->low = 0x80;
            state->high = 0xbf;
            continue;
        }
        if (b < 0x80)
            continue;
        if (b >= 0xc2 && b <= 0xdf) {
            state->expected = 1;
        } else if (b >= 0xe0 && b <= 0xef) {
            state->expected = 2;
            state->low = b == 0xe0 ? 0xa0 : 0x80;
            state->high = b == 0xed ? 0x9f : 0xbf;
        } else if (b >= 0xf0 && b <= 0xf4) {
            state->expected = 3;
            state->low = b == 0xf0 ? 0x90 : 0x80;
            state->high = b == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

QString packageManifestName()
{
    return QStringLiteral("chartransfer-package.json");
}

PackageResult composePackage(const engine::Session &loaded, const QList<PackageRequest> &requests,
        engine::Progress &progress)
{
    PackageResult result;
    const auto refuse = [&result](int index, const engine::Refusal &why) {
        result.refusal = why;
        result.refused = index;
        result.files = PackageFiles();
        result.characters.clear();
        return result;
    };

    // Each character goes through a transfer that writes nothing, into an empty world.
    QTemporaryDir empty;
    if (!empty.isValid()) {
        return refuse(-1,
                { QStringLiteral("Export Failed"),
                        QStringLiteral("Could not make an empty folder to compose the package "
                                       "in: %1. Nothing was written.")
                                .arg(empty.errorString()) });
    }
    engine::Session session;
    session.sourceDir = loaded.sourceDir;
    session.sourceAccounts = loaded.sourceAccounts;
    session.sourceChars = loaded.sourceChars;
    engine::Progress quiet;
    engine::LoadListener none;
    engine::loadWorld(session, empty.path(), true, quiet, none);
    session.destAccounts.insert(0, PackingAccount);

    QList<int> owners;
    for (const PackageRequest &request : requests) {
        int number = 0;
        if (!world::findAccount(session.sourceAccounts, request.sourceAccount, &number))
            continue;
        if (const char_st *found =
                        world::findCharacter(session.sourceChars, number, request.character))
            owners.append(found->serial);
    }
    PackingSteps steps(progress, owners);

    const QString charactersPath = world::filePath(session.sourceDir, world::charactersFileName());
    const QString itemsPath = world::filePath(session.sourceDir, world::itemsFileName());
    QFile characters(charactersPath);
    // Every item record some character takes, by where it stands in the source, and whether
    // a transfer of one of them writes it.
    struct Taken
    {
        items::OwnedRecord record;
        bool written = false;
    };
    QMap<qint64, Taken> taken;
    QMap<int, QString> accounts;
    QSet<qint64> packed;

    for (qsizetype i = 0; i < requests.size(); ++i) {
        const PackageRequest &request = requests.at(i);
        const engine::TransferOutcome outcome = engine::runTransfer(
                session, { request.sourceAccount, request.character, PackingAccount }, steps, true);
        if (outcome.result != engine::TransferResult::Done)
            return refuse(int(i), outcome.message);

        int number = 0;
        world::findAccount(session.sourceAccounts, request.sourceAccount, &number);
        const char_st character =
                *world::findCharacter(session.sourceChars, number, request.character);
        // A character asked for twice is packed once.
        if (packed.contains(character.offset))
            continue;
        packed.insert(character.offset);

        if (!characters.isOpen() && !characters.open(QIODevice::ReadOnly))
            return refuse(int(i), readFailure(charactersPath, characters.errorString()));
        const CharacterText record = composeRecord(&characters, character.offset, characters.size(),
                sectionBefore(characters, character.offset));
        if (!record.readError.isEmpty())
            return refuse(int(i), readFailure(charactersPath, record.readError));
        if (!result.files.characters.isEmpty())
            result.files.characters += '\n';
        result.files.characters += record.text;

        const QSet<int> written = writtenItems(steps.filed, character.serial);
        for (const items::OwnedRecord &owned : steps.owned(character.serial)) {
            Taken &entry = taken[owned.offset];
            entry.record = owned;
            entry.written = entry.written || written.contains(owned.serial);
        }
        accounts.insert(number, session.sourceAccounts.value(number));
        result.characters.append(PackedCharacter{ request.sourceAccount, character.name,
                character.serial, outcome.itemsWritten, outcome.itemsLeftBehind });
    }

    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
        result.files.accounts += "SECTION ACCOUNT " + QByteArray::number(it.key()) + "\n{\nNAME "
                + world::encode(it.value()) + "\n}\n\n";
    }

    if (!taken.isEmpty()) {
        QFile items(itemsPath);
        if (!items.open(QIODevice::ReadOnly))
            return refuse(-1, readFailure(itemsPath, items.errorString()));
        for (const Taken &entry : std::as_const(taken)) {
            result.files.items += "SECTION WORLDITEM "
                    + QByteArray::number(sectionBefore(items, entry.record.offset)) + '\n';
            const QList<QString> lines =
                    entry.written ? entry.record.lines : standInLines(entry.record);
            for (const QString &line : lines)
                result.files.items += world::encode(line) + '\n';
            result.files.items += "}\n\n";
        }
        if (items.error() != QFileDevice::NoError)
            return refuse(-1, readFailure(itemsPath, items.errorString()));
    }
    return result;
}

QByteArray packageManifest(const PackageResult &package, const PackageOrigin &origin)
{
    QJsonArray characters;
    for (const PackedCharacter &character : package.characters) {
        characters.append(QJsonObject{ { QStringLiteral("name"), shownName(character.name) },
                { QStringLiteral("account"), shownName(character.account) },
                { QStringLiteral("serial"), character.serial },
                { QStringLiteral("items"), character.items },
                { QStringLiteral("itemsLeftBehind"), character.itemsLeftBehind } });
    }
    const auto file = [](const QByteArray &bytes) {
        return QJsonObject{ { QStringLiteral("size"), qint64(bytes.size()) },
            { QStringLiteral("sha256"), sha256(bytes) } };
    };
    const QJsonObject manifest{ { QStringLiteral("package"), QStringLiteral("chartransfer") },
        { QStringLiteral("tool"), origin.tool }, { QStringLiteral("source"), origin.source },
        { QStringLiteral("created"), origin.created.toUTC().toString(Qt::ISODate) },
        { QStringLiteral("characters"), characters },
        { QStringLiteral("files"),
                QJsonObject{ { world::accountsFileName(), file(package.files.accounts) },
                        { world::charactersFileName(), file(package.files.characters) },
                        { world::itemsFileName(), file(package.files.items) } } } };
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

QString packageTargetProblem(const QString &dir)
{
    const QFileInfo info(dir);
    if (!info.exists()) {
        const QFileInfo parent(QFileInfo(QDir::cleanPath(info.absoluteFilePath())).path());
        if (!parent.isDir())
            return QStringLiteral("the folder %1 that would hold %2 does not exist")
                    .arg(parent.filePath(), dir);
        return QString();
    }
    if (!info.isDir())
        return QStringLiteral("%1 exists and is not a directory").arg(dir);
    if (!QDir(dir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return QStringLiteral("%1 exists and is not empty").arg(dir);
    return QString();
}

bool writePackage(
        const QString &dir, const PackageFiles &files, const QByteArray &manifest, QString *error)
{
    const QFileInfo target(QDir::cleanPath(QFileInfo(dir).absoluteFilePath()));
    QByteArray pattern = QFile::encodeName(target.path() + QStringLiteral("/.") + target.fileName()
            + QStringLiteral(".partial-XXXXXX"));
    if (!::mkdtemp(pattern.data())) {
        *error = QStringLiteral("Could not make a folder beside %1: %2.")
                         .arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QString partial = QFile::decodeName(pattern);
    // A new folder gets the permissions the user's mask allows; the temporary name's were
    // for its owner alone.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(pattern.constData(), 0777 & ~mask);

    const QList<QPair<QString, const QByteArray *>> contents = { { world::accountsFileName(),
                                                                         &files.accounts },
        { world::charactersFileName(), &files.characters },
        { world::itemsFileName(), &files.items }, { packageManifestName(), &manifest } };
    const auto fail = [&](const QString &why) {
        *error = why;
        for (const auto &content : contents)
            QFile::remove(world::filePath(partial, content.first));
        ::rmdir(pattern.constData());
        return false;
    };
    QString why;
    for (const auto &content : contents) {
        const QString path = world::filePath(partial, content.first);
        const int fd = ::open(
                QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            return fail(QStringLiteral("Could not write %1: %2.")
                                .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        }
        const bool written = writeAndFlush(fd, *content.second, 0, &why);
        ::close(fd);
        if (!written)
            return fail(QStringLiteral("Could not write %1: %2.").arg(path, why));
    }
    if (!syncDirectoryOf(world::filePath(partial, packageManifestName()), &why))
        return fail(QStringLiteral("Could not flush the folder %1: %2.").arg(partial, why));
    // Onto a folder that is not there, or is empty; one that filled up meanwhile stays as
    // it is.
    if (::rename(pattern.constData(), QFile::encodeName(target.filePath()).constData()) != 0) {
        return fail(QStringLiteral("Could not move %1 to %2: %3.")
                            .arg(partial, dir, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!syncDirectoryOf(target.filePath(), &why)) {
        *error = QStringLiteral("Could not flush the folder that holds %1: %2.").arg(dir, why);
        for (const auto &content : contents)
            QFile::remove(world::filePath(target.filePath(), content.first));
        ::rmdir(QFile::encodeName(target.filePath()).constData());
        return false;
    }
    return true;
}

bool isPackage(const QString &dir)
{
    return QFileInfo::exists(world::filePath(dir, packageManifestName()));
}

engine::Refusal damagedPackage(const QString &dir)
{
    const QString manifestPath = world::filePath(dir, packageManifestName());
    QFile manifest(manifestPath);
    if (!manifest.exists())
        return {};
    const auto damaged = [&](const QString &what) {
        return engine::Refusal{ QStringLiteral("Damaged Package"),
            QStringLiteral("The package %1 is not what was exported: %2. Nothing was "
                           "written.\n\nCopy the package again from where it was exported, or "
                           "export the characters again.")
                    .arg(dir, what) };
    };
    if (!manifest.open(QIODevice::ReadOnly)) {
        return damaged(QStringLiteral("its manifest %1 cannot be read (%2)")
                               .arg(manifestPath, manifest.errorString()));
    }
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(manifest.readAll(), &parsed);
    const QJsonObject files = document.object().value(QStringLiteral("files")).toObject();
    if (parsed.error != QJsonParseError::NoError || files.isEmpty())
        return damaged(QStringLiteral("its manifest %1 cannot be read").arg(manifestPath));

    QStringList differences;
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        const QJsonObject recorded = files.value(name).toObject();
        QFile file(world::filePath(dir, name));
        if (recorded.isEmpty()) {
            differences.append(QStringLiteral("the manifest lists no %1").arg(name));
        } else if (!file.exists()) {
            differences.append(QStringLiteral("%1 is missing").arg(name));
        } else if (!file.open(QIODevice::ReadOnly)) {
            differences.append(
                    QStringLiteral("%1 cannot be read (%2)").arg(name, file.errorString()));
        } else if (file.size() != recorded.value(QStringLiteral("size")).toInteger(-1)) {
            differences.append(QStringLiteral("%1 holds %2 bytes, the manifest says %3")
                                       .arg(name)
                                       .arg(file.size())
                                       .arg(recorded.value(QStringLiteral("size")).toInteger(-1)));
        } else {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (!hash.addData(&file)) {
                differences.append(
                        QStringLiteral("%1 cannot be read (%2)").arg(name, file.errorString()));
            } else if (QString::fromLatin1(hash.result().toHex())
                    != recorded.value(QStringLiteral("sha256")).toString()) {
                differences.append(QStringLiteral("%1 differs from the manifest's SHA-256 "
                                                  "although its size is the same")
                                           .arg(name));
            }
        }
    }
    if (differences.isEmpty())
        return {};
    return damaged(differences.join(QStringLiteral("; ")));
}

NameEncoding nameEncodingOf(const QString &dir)
{
    QFile file(world::filePath(dir, world::charactersFileName()));
    if (!file.open(QIODevice::ReadOnly))
        return NameEncoding::Utf8;
    Utf8State state;
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        if (block.isEmpty() || !validUtf8(block, &state))
            return block.isEmpty() ? NameEncoding::Utf8 : NameEncoding::Windows1252;
    }
    return state.expected == 0 ? NameEncoding::Utf8 : NameEncoding::Windows1252;
}

QString newNameProblem(const QString &name, NameEncoding encoding, QString *loaded)
{
    if (name.isEmpty())
        return QStringLiteral("the new name is empty");
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("the new name holds a control character");
    }
    if (name.contains(QLatin1String("//")))
        return QStringLiteral("the new name holds \"//\", which begins a comment in the world "
                              "files");
    if (name.front().isSpace() || name.back().isSpace())
        return QStringLiteral("the new name begins or ends with a blank");

    QByteArray bytes;
    if (encoding == NameEncoding::Utf8) {
        bytes = name.toUtf8();
    } else {
        for (const QChar c : name) {
            const char16_t unicode = c.unicode();
            int byte = unicode < 0x80 || (unicode >= 0xa0 && unicode <= 0xff) ? int(unicode) : -1;
            for (int i = 0; i < 32 && byte < 0; ++i) {
                if (Windows1252High[i] == unicode)
                    byte = 0x80 + i;
            }
            if (byte < 0)
                return QStringLiteral("the new name holds \"%1\", which the destination's "
                                      "characters file (Windows-1252) cannot hold")
                        .arg(c);
            bytes += char(byte);
        }
    }
    // The loader reads names through its own conditioning; the name must come back as it
    // was written.
    const QByteArray line = "NAME " + bytes;
    const QString readBack = world::ConditionedLine::forLoader(line).wordsFrom(1);
    if (readBack != world::decode(bytes))
        return QStringLiteral("the world files would read the new name back as \"%1\" (white "
                              "space inside a name is one blank)")
                .arg(shownName(readBack));
    *loaded = world::decode(bytes);
    return QString();
}

} // namespace transfer
