#include "transfer/journal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/appendfile.h"
#include "transfer/worldlock.h"
#include "world/worldformat.h"

namespace transfer {

namespace {

// The first line names the format's version; a journal of another version is never cut
// with, since its fields may mean something else.
const QByteArray MagicPrefix = "chartransfer journal ";
const QByteArray Magic = MagicPrefix + "3\n";
// Version 2 hashed everything with SHA-256, and its closing checksum covered the texts as
// well: a merge's journal of 400 MB then cost four seconds of hashing. Its journals are
// still read, so that one left by it is undone after an upgrade.
const QByteArray MagicVersion2 = MagicPrefix + "2\n";

// A file up to this size is hashed whole when the journal is written (about a
// millisecond). A larger one is known by its first and its last 64 KiB: hashing all of a
// large world's files would cost a transfer far more than its other work (SHA-1 runs at
// about 850 MB/s here; the large generated world holds 390 MB), and a run of 100
// transfers pays it 100 times. A save by the server that changes a file's length shifts
// its last bytes, so the sample sees it.
constexpr qint64 WholeDigestLimit = 1 << 20;
constexpr qint64 SampleSize = 64 << 10;

QString reason(int error)
{
    return qt_error_string(error);
}

QByteArray hash(QByteArrayView bytes, bool version2 = false)
{
    return QCryptographicHash::hash(
            bytes, version2 ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1)
            .toHex();
}

// The digest of the first `size` bytes of the open file; empty when they cannot be read.
QByteArray contentDigest(QFile *file, qint64 size, bool whole)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const auto add = [&](qint64 from, qint64 length) {
        if (!file->seek(from))
            return false;
        char buffer[65536];
        while (length > 0) {
            const qint64 n = file->read(buffer, qMin<qint64>(length, sizeof buffer));
            if (n <= 0)
                return false;
            hash.addData(QByteArrayView(buffer, n));
            length -= n;
        }
        return true;
    };
    const bool read =
            whole ? add(0, size) : add(0, SampleSize) && add(size - SampleSize, SampleSize);
    return read ? hash.result().toHex() : QByteArray();
}

// The folder `dir` is flushed: a file created, renamed or removed in it stays so.
bool syncFolder(const QString &dir, QString *error)
{
    return syncDirectoryOf(world::filePath(dir, journalFileName()), error);
}

// A journal is its head (what each file held and how long and of what digest its text
// is), the texts one after the other, and a closing line with the digest of the head. The
// head names each text's digest, so the closing digest covers the texts without hashing
// them twice, and a journal is written without first being copied together in memory.
QByteArray encodeHead(const Journal &journal)
{
    QByteArray out = Magic;
    // The name as people read it (decoded from its world file), so in UTF-8.
    out += "character " + journal.character.toUtf8() + '\n';
    out += "source " + world::encode(journal.source) + '\n';
    for (const JournalFile &file : journal.files) {
        out += "file " + world::encode(file.name) + ' ' + QByteArray::number(file.sizeBefore) + ' '
                + (file.existed ? "1" : "0") + ' ' + QByteArray::number(file.device) + ' '
                + QByteArray::number(file.inode) + ' ' + QByteArray::number(file.textSize()) + ' '
                + (file.spooled ? file.spoolDigest : hash(file.text)) + ' '
                + (file.wholeDigest ? "whole" : "ends") + ' '
                + (file.digest.isEmpty() ? QByteArray("-") : file.digest) + ' '
                + (file.spooled ? world::encode(spoolFileName(file.name)) : QByteArray("-")) + '\n';
    }
    out += "text\n";
    return out;
}

QByteArray encodeTail(const QByteArray &head)
{
    return "\nend " + hash(head) + '\n';
}

// Reads a journal back; false when it is torn or not one of ours.
bool decode(const QByteArray &bytes, Journal *journal)
{
    const qsizetype end = bytes.lastIndexOf("\nend ");
    const bool version2 = bytes.startsWith(MagicVersion2);
    if (!(bytes.startsWith(Magic) || version2) || end < 0 || !bytes.endsWith('\n'))
        return false;
    const QByteArray body = bytes.left(end + 1);
    const QByteArray closing = bytes.mid(end + 5, bytes.size() - end - 6);
    if (version2 && closing != hash(body.left(body.size() - 1), true))
        return false;
    qsizetype pos = Magic.size();
    const auto nextLine = [&](QByteArray *line) {
        const qsizetype feed = body.indexOf('\n', pos);
        if (feed < 0)
            return false;
        *line = body.mid(pos, feed - pos);
        pos = feed + 1;
        return true;
    };
    QByteArray line;
    if (!nextLine(&line) || !line.startsWith("character "))
        return false;
    journal->character = QString::fromUtf8(line.mid(10));
    if (!nextLine(&line) || !line.startsWith("source "))
        return false;
    journal->source = world::decode(line.mid(7));
    QList<QByteArray> hashes;
    QList<qsizetype> lengths;
    while (nextLine(&line) && line.startsWith("file ")) {
        const QList<QByteArray> words = line.mid(5).split(' ');
        // Version 3 names, last, the file that holds a text kept out of the journal.
        if (words.size() != (version2 ? 9 : 10)
                || (words.at(7) != "whole" && words.at(7) != "ends"))
            return false;
        JournalFile file;
        file.name = world::decode(words.at(0));
        file.sizeBefore = words.at(1).toLongLong();
        file.existed = words.at(2) == "1";
        file.device = words.at(3).toULongLong();
        file.inode = words.at(4).toULongLong();
        file.wholeDigest = words.at(7) == "whole";
        file.digest = words.at(8) == "-" ? QByteArray() : words.at(8);
        lengths.append(words.at(5).toLongLong());
        hashes.append(words.at(6));
        if (!version2 && words.at(9) != "-") {
            // Nothing of it stands in the journal itself.
            if (world::decode(words.at(9)) != spoolFileName(file.name))
                return false;
            file.spooled = true;
            file.spoolSize = lengths.last();
            file.spoolDigest = hashes.last();
            lengths.last() = 0;
            hashes.last() = hash(QByteArray());
        }
        journal->files.append(file);
    }
    if (line != "text" || (!version2 && closing != hash(QByteArrayView(body.constData(), pos))))
        return false;
    for (qsizetype i = 0; i < journal->files.size(); ++i) {
        journal->files[i].text = body.mid(pos, lengths.at(i));
        pos += lengths.at(i);
        if (hash(journal->files.at(i).text, version2) != hashes.at(i))
            return false;
    }
    return pos + 1 == body.size();
}

QString describe(const Journal &journal)
{
    QStringList files;
    for (const JournalFile &file : journal.files) {
        files << QStringLiteral("%1 (%2 bytes before, %3 bytes to append)")
                         .arg(file.name)
                         .arg(file.sizeBefore)
                         .arg(file.textSize());
    }
    if (journal.character.isEmpty()) {
        return QStringLiteral("a merge from %1: %2")
                .arg(journal.source, files.join(QStringLiteral(", ")));
    }
    return QStringLiteral("the transfer of the character \"%1\" from %2: %3")
            .arg(journal.character, journal.source, files.join(QStringLiteral(", ")));
}

// What a world file holds now, compared with what the journal says it held before the
// transfer and what the transfer appended.
struct FileComparison
{
    bool cut = false; // its old bytes are there, then nothing but part or all of the text
    bool otherFile = false; // another file (another device or inode) than the one appended to
    QString difference; // what differs, for the user, when it must not be cut
};

QString plural(qint64 count, const char *what)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(
            QLatin1String(what), count == 1 ? QString() : QStringLiteral("s"));
}

FileComparison compareFile(const QString &path, const JournalFile &file)
{
    FileComparison result;
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT && !file.existed)
            result.cut = true;
        else if (errno == ENOENT)
            result.difference = QStringLiteral("it is gone");
        else
            result.difference = QStringLiteral("it cannot be looked at (%1)").arg(reason(errno));
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.difference = QStringLiteral("it is no longer a regular file");
        return result;
    }
    result.otherFile = file.existed
            && (quint64(info.st_dev) != file.device || quint64(info.st_ino) != file.inode);
    const qint64 base = file.existed ? file.sizeBefore : 0;
    const qint64 size = qint64(info.st_size);
    if (size < base) {
        result.difference = QStringLiteral("its size differs: it holds %1, fewer than the %2 it "
                                           "held before the transfer")
                                    .arg(plural(size, "byte"), plural(base, "byte"));
        return result;
    }
    QFile open(path);
    if (!open.open(QIODevice::ReadOnly)) {
        result.difference = QStringLiteral("it cannot be read (%1)").arg(open.errorString());
        return result;
    }
    if (file.existed && contentDigest(&open, base, file.wholeDigest) != file.digest) {
        result.difference = file.wholeDigest
                ? QStringLiteral("its content differs: its first %1 are no longer what it "
                                 "held before the transfer")
                          .arg(plural(base, "byte"))
                : QStringLiteral("its content differs: the first or the last 64 KiB of the %1 it "
                                 "held before the transfer are no longer what they were")
                          .arg(plural(base, "byte"));
        return result;
    }
    const qint64 added = size - base;
    if (added > file.text.size()) {
        result.difference = QStringLiteral("its size differs: it holds %1 after its old end, "
                                           "more than the %2 the transfer appends")
                                    .arg(plural(added, "byte"), plural(file.text.size(), "byte"));
        return result;
    }
    if (!open.seek(base) || open.read(added) != file.text.left(added)) {
        result.difference = QStringLiteral("its content differs: the %1 after its old end are "
                                           "not what the transfer appended")
                                    .arg(plural(added, "byte"));
        return result;
    }
    result.cut = true;
    return result;
}

// The version a journal's first line names, when it is a journal of this program at all.
QByteArray versionOf(const QByteArray &bytes)
{
    if (!bytes.startsWith(MagicPrefix))
        return QByteArray();
    const qsizetype feed = bytes.indexOf('\n');
    return feed < 0 ? QByteArray() : bytes.mid(MagicPrefix.size(), feed - MagicPrefix.size());
}

// Why a journal's bytes cannot be cut with, for the user.
QString unreadableJournal(const QString &path, const QByteArray &bytes)
{
    const QByteArray version = versionOf(bytes);
    if (!version.isEmpty() && MagicPrefix + version + '\n' != Magic
            && MagicPrefix + version + '\n' != MagicVersion2) {
        return QStringLiteral("a transfer journal, %1, that cannot be read: another version "
                              "of chartransfer wrote it (journal format %2)")
                .arg(path, QString::fromLatin1(version.left(20)));
    }
    return QStringLiteral("a transfer journal, %1, that cannot be read").arg(path);
}

const QStringList &worldFileNames()
{
    static const QStringList names = { world::accountsFileName(), world::charactersFileName(),
        world::itemsFileName() };
    return names;
}

bool spoolsPresent(const QString &dir)
{
    for (const QString &name : worldFileNames()) {
        if (QFileInfo::exists(world::filePath(dir, spoolFileName(name))))
            return true;
    }
    return false;
}

// Reads the texts a journal keeps in files of their own; why one cannot be trusted, or empty.
QString loadSpools(const QString &dir, Journal *journal)
{
    for (JournalFile &file : journal->files) {
        if (!file.spooled)
            continue;
        QFile spool(world::filePath(dir, spoolFileName(file.name)));
        if (spool.open(QIODevice::ReadOnly))
            file.text = spool.readAll();
        if (file.text.size() != file.spoolSize || hash(file.text) != file.spoolDigest) {
            return QStringLiteral("the text it appends to %1 is kept in %2, which is missing or "
                                  "not what was written")
                    .arg(file.name, spool.fileName());
        }
    }
    return QString();
}

} // namespace

QString spoolFileName(const QString &name)
{
    return journalFileName() + QLatin1Char('.') + name;
}

void removeSpools(const QString &dir)
{
    for (const QString &name : worldFileNames()) {
        const QString path = world::filePath(dir, spoolFileName(name));
        if (QFileInfo::exists(path))
            ::unlink(QFile::encodeName(path).constData());
    }
}

QString journalFileName()
{
    return QStringLiteral("chartransfer.journal");
}

QString journalPath(const QString &dir)
{
    return world::filePath(dir, journalFileName());
}

qint64 journalSize(const Journal &journal)
{
    const QByteArray head = encodeHead(journal);
    qint64 size = head.size() + encodeTail(head).size();
    for (const JournalFile &file : journal.files)
        size += file.spooled ? 0 : file.text.size();
    return size;
}

bool describeFiles(const QString &dir, Journal *journal, QString *error)
{
    for (JournalFile &file : journal->files) {
        struct stat info;
        const QString path = world::filePath(dir, file.name);
        file.digest.clear();
        if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
            if (errno != ENOENT) {
                *error = QStringLiteral("Could not look at %1: %2.").arg(path, reason(errno));
                return false;
            }
            file.existed = false;
            file.sizeBefore = 0;
            continue;
        }
        file.existed = true;
        file.sizeBefore = qint64(info.st_size);
        file.device = quint64(info.st_dev);
        file.inode = quint64(info.st_ino);
        file.wholeDigest = file.sizeBefore <= WholeDigestLimit;
        // Nothing can be appended to what is not a file (a directory, say): the append says
        // so, and recovery would never cut it.
        if (!S_ISREG(info.st_mode))
            continue;
        QFile open(path);
        if (open.open(QIODevice::ReadOnly))
            file.digest = contentDigest(&open, file.sizeBefore, file.wholeDigest);
        if (file.digest.isEmpty()) {
            *error = QStringLiteral("Could not read %1: %2.").arg(path, open.errorString());
            return false;
        }
    }
    return true;
}

bool writeJournal(const QString &dir, const Journal &journal, QString *error)
{
    const QString path = journalPath(dir);
    const QString temporary = path + QStringLiteral(".new");
    const QByteArray head = encodeHead(journal);
    const QByteArray tail = encodeTail(head);
    QList<QByteArrayView> bytes{ head };
    for (const JournalFile &file : journal.files) {
        if (!file.spooled)
            bytes.append(file.text);
    }
    bytes.append(tail);
    const QByteArray name = QFile::encodeName(temporary);
    QStringList names;
    for (const JournalFile &file : journal.files)
        names << file.name;
    const QString kept = names.size() == 2
            ? QStringLiteral("%1 and %2").arg(names.at(0), names.at(1))
            : names.join(QStringLiteral(", "));
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("Could not write %1, the transfer journal that keeps %2 safe "
                                "while they are appended to: %3.")
                         .arg(path, kept, why);
        ::unlink(name.constData());
        return false;
    };
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(reason(errno));
    QString why;
    if (!writeAndFlush(fd, bytes, 0, &why)) {
        ::close(fd);
        return fail(why);
    }
    ::close(fd);
    if (::rename(name.constData(), QFile::encodeName(path).constData()) != 0)
        return fail(reason(errno));
    if (!syncFolder(dir, &why)) {
        ::unlink(QFile::encodeName(path).constData());
        return fail(why);
    }
    return true;
}

bool removeJournal(const QString &dir, QString *error)
{
    const QString path = journalPath(dir);
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        *error = QStringLiteral("Could not remove the transfer journal %1: %2.")
                         .arg(path, reason(errno));
        return false;
    }
    QString why;
    if (!syncFolder(dir, &why)) {
        *error = QStringLiteral("Could not flush the folder %1: %2.").arg(dir, why);
        return false;
    }
    // Without the journal they are only bytes nobody needs; one left behind is removed when
    // the world is next recovered.
    removeSpools(dir);
    return true;
}

QString journalSummary(const QString &dir)
{
    QFile file(journalPath(dir));
    if (!file.exists())
        return QString();
    Journal journal;
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!decode(bytes, &journal))
        return unreadableJournal(file.fileName(), bytes);
    return describe(journal);
}

bool journalPresent(const QString &dir)
{
    const QString path = journalPath(dir);
    return QFileInfo::exists(path) || QFileInfo::exists(path + QStringLiteral(".new"))
            || spoolsPresent(dir);
}

QString worldBusyText(const QString &dir, qint64 pid)
{
    return QStringLiteral("The world %1 is busy: %2. Nothing was changed.\n\nWait until it has "
                          "finished, then try again.")
            .arg(dir, inProgressText(pid));
}

Recovery recoverWorld(const QString &dir, int waitMs)
{
    // Most worlds hold no journal; their loads neither take the lock nor leave a lock file.
    if (!journalPresent(dir))
        return {};
    WorldLock lock;
    if (!lock.acquire(dir, waitMs)) {
        // A merge writes its texts before its journal: until the journal is there, the
        // world's files are as they were and may be read.
        const QString path = journalPath(dir);
        if (lock.busy() && !QFileInfo::exists(path)
                && !QFileInfo::exists(path + QStringLiteral(".new")))
            return {};
        if (lock.busy())
            return { RecoveryResult::InProgress, worldBusyText(dir, lock.holderPid()) };
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds the journal of an interrupted transfer (%2), "
                           "but it cannot be undone safely: %3 Nothing was changed.")
                    .arg(dir, journalSummary(dir), lock.error()) };
    }
    return recoverLockedWorld(dir);
}

Recovery recoverLockedWorld(const QString &dir)
{
    // A journal still being written when the process stopped was never in place, and
    // nothing was appended before it was.
    const QString temporary = journalPath(dir) + QStringLiteral(".new");
    if (QFileInfo::exists(temporary)) {
        QString ignored;
        if (::unlink(QFile::encodeName(temporary).constData()) == 0)
            syncFolder(dir, &ignored);
    }
    const QString path = journalPath(dir);
    QFile file(path);
    if (!file.exists()) {
        // The texts of a merge that stopped before its journal was in place.
        removeSpools(dir);
        return {};
    }

    const QString decide = QStringLiteral(
            "\n\nTransfers into this world are refused until you decide: check its "
            "ztpcs.wsc and ztitems.wsc (restore them from a backup if they are damaged), then "
            "remove the journal with \"chartransfer-cli recover %1 --discard\".")
                                   .arg(dir);
    Journal journal;
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!decode(bytes, &journal)) {
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds %2, so it cannot tell what an interrupted "
                           "transfer appended. Nothing was changed.")
                            .arg(dir, unreadableJournal(path, bytes))
                    + decide };
    }
    const QString spoolProblem = loadSpools(dir, &journal);
    if (!spoolProblem.isEmpty()) {
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds the journal of an interrupted transfer (%2), but "
                           "%3, so it cannot tell what was appended. Nothing was changed.")
                            .arg(dir, describe(journal), spoolProblem)
                    + decide };
    }
    file.close();
    QStringList differences;
    QStringList copies;
    for (const JournalFile &entry : std::as_const(journal.files)) {
        const FileComparison comparison = compareFile(world::filePath(dir, entry.name), entry);
        if (comparison.otherFile)
            copies << entry.name;
        if (comparison.cut)
            continue;
        QString text = QStringLiteral("%1: %2").arg(entry.name, comparison.difference);
        if (comparison.otherFile) {
            text += QStringLiteral(", and it is another file than the one the transfer "
                                   "appended to (the server may have saved it anew)");
        }
        differences << text;
    }
    if (!differences.isEmpty()) {
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds the journal of an interrupted transfer (%2), "
                           "but its files have changed since in another way (the server may "
                           "have saved the world), so nothing was cut back. %3.")
                            .arg(dir, describe(journal), differences.join(QStringLiteral("; ")))
                    + decide };
    }
    QStringList failures;
    for (auto it = journal.files.crbegin(); it != journal.files.crend(); ++it) {
        const QString target = world::filePath(dir, it->name);
        if (!it->existed && !QFileInfo::exists(target))
            continue;
        QString why;
        if (!restoreFile(target, it->sizeBefore, !it->existed, &why))
            failures << QStringLiteral("%1 (%2)").arg(target, why);
    }
    QString why;
    if (failures.isEmpty() && !removeJournal(dir, &why))
        failures << why;
    if (!failures.isEmpty()) {
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds the journal of an interrupted transfer (%2), "
                           "and it could not be undone: %3.")
                            .arg(dir, describe(journal), failures.join(QStringLiteral("; ")))
                    + decide };
    }
    // A world copied with its journal (cp -a, a backup put back) has files with other
    // identities; the content alone says that they hold what the transfer's files held.
    const QString copied = copies.isEmpty()
            ? QString()
            : QStringLiteral(" Its %1 not the file%2 the transfer appended to (the world was "
                             "copied or moved since), but the content matched, so the copy "
                             "was undone like the original.")
                      .arg(copies.join(QStringLiteral(" and "))
                                      + (copies.size() == 1 ? QStringLiteral(" is")
                                                            : QStringLiteral(" are")),
                              copies.size() == 1 ? QString() : QStringLiteral("s"));
    if (journal.character.isEmpty()) {
        QStringList names;
        for (const JournalFile &entry : std::as_const(journal.files))
            names << entry.name;
        return { RecoveryResult::Undone,
            QStringLiteral("A merge into the world %1 was interrupted before it was finished "
                           "(the program or the machine stopped during it): %2. It has been "
                           "undone: %3 hold again exactly what they held before it.%4 Run the "
                           "merge again if you still want it.")
                    .arg(dir, describe(journal), names.join(QStringLiteral(", ")), copied) };
    }
    return { RecoveryResult::Undone,
        QStringLiteral("A transfer into the world %1 was interrupted before it was finished "
                       "(the program or the machine stopped during it): %2. It has been "
                       "undone: ztpcs.wsc and ztitems.wsc hold again exactly what they held "
                       "before it.%3 Transfer the character again if you still want it there.")
                .arg(dir, describe(journal), copied) };
}

} // namespace transfer
