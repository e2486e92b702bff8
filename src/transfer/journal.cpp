#include "transfer/journal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transfer/appendfile.h"
#include "world/worldformat.h"

namespace transfer {

namespace {

const QByteArray Magic = "chartransfer journal 1\n";

QString reason(int error)
{
    return qt_error_string(error);
}

QByteArray hash(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The folder `dir` is flushed: a file created, renamed or removed in it stays so.
bool syncFolder(const QString &dir, QString *error)
{
    return syncDirectoryOf(world::filePath(dir, journalFileName()), error);
}

// The journal as the pieces it is written in: the texts are not copied into one block, which
// for a shard merge would double the memory it takes.
QList<QByteArray> encodePieces(const Journal &journal)
{
    QByteArray head = Magic;
    head += "character " + world::encode(journal.character) + '\n';
    head += "source " + world::encode(journal.source) + '\n';
    for (const JournalFile &file : journal.files) {
        head += "file " + world::encode(file.name) + ' ' + QByteArray::number(file.sizeBefore) + ' '
                + (file.existed ? "1" : "0") + ' ' + QByteArray::number(file.device) + ' '
                + QByteArray::number(file.inode) + ' ' + QByteArray::number(file.text.size()) + ' '
                + hash(file.text) + '\n';
    }
    head += "text\n";
    QList<QByteArray> pieces{ head };
    QCryptographicHash whole(QCryptographicHash::Sha256);
    whole.addData(head);
    for (const JournalFile &file : journal.files) {
        pieces.append(file.text);
        whole.addData(file.text);
    }
    pieces.append("\nend " + whole.result().toHex() + '\n');
    return pieces;
}

// Reads a journal back; false when it is torn or not one of ours.
bool decode(const QByteArray &bytes, Journal *journal)
{
    const qsizetype end = bytes.lastIndexOf("\nend ");
    if (!bytes.startsWith(Magic) || end < 0 || !bytes.endsWith('\n'))
        return false;
    const QByteArray body = bytes.left(end + 1);
    if (bytes.mid(end + 5, bytes.size() - end - 6) != hash(body.left(body.size() - 1)))
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
    journal->character = world::decode(line.mid(10));
    if (!nextLine(&line) || !line.startsWith("source "))
        return false;
    journal->source = world::decode(line.mid(7));
    QList<QByteArray> hashes;
    QList<qsizetype> lengths;
    while (nextLine(&line) && line.startsWith("file ")) {
        const QList<QByteArray> words = line.mid(5).split(' ');
        if (words.size() != 7)
            return false;
        JournalFile file;
        file.name = world::decode(words.at(0));
        file.sizeBefore = words.at(1).toLongLong();
        file.existed = words.at(2) == "1";
        file.device = words.at(3).toULongLong();
        file.inode = words.at(4).toULongLong();
        lengths.append(words.at(5).toLongLong());
        hashes.append(words.at(6));
        journal->files.append(file);
    }
    if (line != "text")
        return false;
    for (qsizetype i = 0; i < journal->files.size(); ++i) {
        journal->files[i].text = body.mid(pos, lengths.at(i));
        pos += lengths.at(i);
        if (hash(journal->files.at(i).text) != hashes.at(i))
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
                         .arg(file.text.size());
    }
    if (journal.character.isEmpty()) {
        return QStringLiteral("a merge from %1: %2")
                .arg(journal.source, files.join(QStringLiteral(", ")));
    }
    return QStringLiteral("the transfer of the character \"%1\" from %2: %3")
            .arg(journal.character, journal.source, files.join(QStringLiteral(", ")));
}

// Whether the file still holds its old bytes and then nothing but a prefix of the text.
bool onlyPartOfTheText(const QString &path, const JournalFile &file)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT && !file.existed;
    if (!S_ISREG(info.st_mode))
        return false;
    if (file.existed && (quint64(info.st_dev) != file.device || quint64(info.st_ino) != file.inode))
        return false;
    const qint64 base = file.existed ? file.sizeBefore : 0;
    const qint64 added = qint64(info.st_size) - base;
    if (added < 0 || added > file.text.size())
        return false;
    QFile open(path);
    if (!open.open(QIODevice::ReadOnly) || !open.seek(base))
        return false;
    return open.read(added) == file.text.left(added);
}

} // namespace

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
    qint64 size = 0;
    for (const QByteArray &piece : encodePieces(journal))
        size += piece.size();
    return size;
}

bool describeFiles(const QString &dir, Journal *journal, QString *error)
{
    for (JournalFile &file : journal->files) {
        struct stat info;
        const QString path = world::filePath(dir, file.name);
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
    }
    return true;
}

bool writeJournal(const QString &dir, const Journal &journal, QString *error)
{
    const QString path = journalPath(dir);
    const QString temporary = path + QStringLiteral(".new");
    const QList<QByteArray> pieces = encodePieces(journal);
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
    qint64 offset = 0;
    for (const QByteArray &piece : pieces) {
        if (!writeAndFlush(fd, piece, offset, &why)) {
            ::close(fd);
            return fail(why);
        }
        offset += piece.size();
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
    return true;
}

QString journalSummary(const QString &dir)
{
    QFile file(journalPath(dir));
    if (!file.exists())
        return QString();
    Journal journal;
    if (!file.open(QIODevice::ReadOnly) || !decode(file.readAll(), &journal))
        return QStringLiteral("a transfer journal %1 that cannot be read").arg(file.fileName());
    return describe(journal);
}

Recovery recoverWorld(const QString &dir)
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
    if (!file.exists())
        return {};

    const QString decide = QStringLiteral(
            "\n\nTransfers into this world are refused until you decide: check its "
            "ztpcs.wsc and ztitems.wsc (restore them from a backup if they are damaged), then "
            "remove the journal with \"chartransfer-cli recover %1 --discard\".")
                                   .arg(dir);
    Journal journal;
    if (!file.open(QIODevice::ReadOnly) || !decode(file.readAll(), &journal)) {
        return { RecoveryResult::Kept,
            QStringLiteral("The world %1 holds a transfer journal, %2, that cannot be read, "
                           "so it cannot tell what an interrupted transfer appended. Nothing "
                           "was changed.")
                            .arg(dir, path)
                    + decide };
    }
    file.close();
    for (const JournalFile &entry : std::as_const(journal.files)) {
        if (!onlyPartOfTheText(world::filePath(dir, entry.name), entry)) {
            return { RecoveryResult::Kept,
                QStringLiteral("The world %1 holds the journal of an interrupted transfer "
                               "(%2), but %3 has changed since in another way (the server may "
                               "have saved the world), so nothing was cut back.")
                                .arg(dir, describe(journal), entry.name)
                        + decide };
        }
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
    if (journal.character.isEmpty()) {
        QStringList names;
        for (const JournalFile &entry : std::as_const(journal.files))
            names << entry.name;
        return { RecoveryResult::Undone,
            QStringLiteral("A merge into the world %1 was interrupted before it was finished "
                           "(the program or the machine stopped during it): %2. It has been "
                           "undone: %3 hold again exactly what they held before it. Run the "
                           "merge again if you still want it.")
                    .arg(dir, describe(journal), names.join(QStringLiteral(", "))) };
    }
    return { RecoveryResult::Undone,
        QStringLiteral("A transfer into the world %1 was interrupted before it was finished "
                       "(the program or the machine stopped during it): %2. It has been "
                       "undone: ztpcs.wsc and ztitems.wsc hold again exactly what they held "
                       "before it. Transfer the character again if you still want it there.")
                .arg(dir, describe(journal)) };
}

} // namespace transfer
