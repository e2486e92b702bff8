#include "cli/worldlist.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "world/accountrecords.h"
#include "world/characterrecords.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace cli {

namespace {

struct Character
{
    QString name;
    int serial;
    int record;
};

// Opens a world file for one of the passes below; on failure says why on standard error.
bool openWorldFile(QFile &file, TerminalProgress &progress)
{
    if (file.open(QIODevice::ReadOnly))
        return true;
    progress.clear();
    std::fprintf(stderr, "chartransfer-cli: cannot read %s: %s\n", qPrintable(file.fileName()),
            qPrintable(file.errorString()));
    return false;
}

// Moves the progress line along as a loader moves its bar: before lines between records.
class PassProgress
{
public:
    PassProgress(TerminalProgress &progress, const QFile &file)
        : m_progress(progress)
        , m_scale(file.size())
        , m_throttle(file.size())
    {
        m_progress.showMessage(
                QStringLiteral("Reading %1").arg(file.fileName().section(QLatin1Char('/'), -1)));
        m_progress.setRange(0, m_scale.total());
    }
    ~PassProgress() { m_progress.clearMessage(); }
    void operator()(qint64 pos)
    {
        if (m_throttle.due(pos))
            m_progress.setValue(m_scale.value(pos));
    }

private:
    TerminalProgress &m_progress;
    world::ProgressScale m_scale;
    world::ProgressThrottle m_throttle;
};

// One pass over a world file, as far as the file was when it was opened; on a file that
// cannot be opened or read to its end, says why on standard error and returns false.
template <typename Pass>
bool readWorldFile(const QString &dir, const QString &name, TerminalProgress &progress, Pass pass)
{
    QFile file(world::filePath(dir, name));
    if (!openWorldFile(file, progress))
        return false;
    world::LineReader reader(&file);
    if (!file.isSequential())
        reader.setLimit(file.size());
    {
        PassProgress moved(progress, file);
        pass(reader, moved);
    }
    if (reader.errorString().isEmpty())
        return true;
    progress.clear();
    std::fprintf(stderr, "chartransfer-cli: cannot read %s: %s\n", qPrintable(file.fileName()),
            qPrintable(reader.errorString()));
    return false;
}

QJsonArray toJson(const QList<Character> &characters)
{
    QJsonArray array;
    for (const Character &character : characters) {
        array.append(QJsonObject{ { QStringLiteral("name"), character.name },
                { QStringLiteral("serial"), character.serial },
                { QStringLiteral("record"), character.record } });
    }
    return array;
}

void printCharacters(Output &out, const QList<Character> &characters)
{
    for (const Character &character : characters) {
        out.line(QStringLiteral("    %1  (serial %2, record %3)")
                         .arg(character.name, QString::number(character.serial),
                                 QString::number(character.record)));
    }
}

} // namespace

int listWorld(const QString &dir, bool json, Output &out, TerminalProgress &progress)
{
    // Account number to name, a later record with the same number taking its place, as in
    // the loader's map.
    QMap<int, QString> accounts;
    const bool accountsRead = readWorldFile(dir, world::accountsFileName(), progress,
            [&](world::LineReader &reader, PassProgress &moved) {
                world::readAccounts(
                        reader,
                        [&](int number, const QString &name) { accounts.insert(number, name); },
                        [&](qint64 pos) { moved(pos); });
                // Names are shown decoded, once the whole file has shown its encoding.
                for (QString &name : accounts)
                    name = world::decodeText(name, reader.encoding());
            });
    if (!accountsRead)
        return ExitUnreadable;

    // Account number to its characters in file order, each as often as the loader yields it.
    QMap<int, QList<Character>> characters;
    const bool charactersRead = readWorldFile(dir, world::charactersFileName(), progress,
            [&](world::LineReader &reader, PassProgress &moved) {
                world::CharacterFileFacts facts;
                int record = 0;
                world::readCharacters(
                        reader, &facts,
                        [&](const world::CharacterFound &found) {
                            characters[found.account].append(
                                    Character{ found.name, found.serial, record });
                        },
                        [&](qint64 pos) { moved(pos); },
                        [&](const world::ConditionedLine &line, world::LinePlace place) {
                            if (place == world::LinePlace::Header)
                                record = world::toNumber(line.word(2));
                        });
                for (QList<Character> &held : characters) {
                    for (Character &character : held)
                        character.name = world::decodeText(character.name, reader.encoding());
                }
            });
    if (!charactersRead)
        return ExitUnreadable;
    progress.clear();

    if (json) {
        QJsonArray accountArray;
        for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
            accountArray.append(QJsonObject{ { QStringLiteral("number"), it.key() },
                    { QStringLiteral("name"), it.value() },
                    { QStringLiteral("characters"), toJson(characters.value(it.key())) } });
        }
        QJsonArray orphans;
        for (auto it = characters.cbegin(); it != characters.cend(); ++it) {
            if (!accounts.contains(it.key())) {
                orphans.append(QJsonObject{ { QStringLiteral("account"), it.key() },
                        { QStringLiteral("characters"), toJson(it.value()) } });
            }
        }
        const QJsonObject report{ { QStringLiteral("world"), dir },
            { QStringLiteral("accounts"), accountArray },
            { QStringLiteral("withoutAccount"), orphans } };
        out.bytes(QJsonDocument(report).toJson(QJsonDocument::Indented));
        return ExitDone;
    }

    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
        const QList<Character> held = characters.value(it.key());
        out.line(QStringLiteral("account %1: %2%3")
                         .arg(QString::number(it.key()), it.value(),
                                 held.isEmpty() ? QStringLiteral(" (no characters)") : QString()));
        printCharacters(out, held);
    }
    for (auto it = characters.cbegin(); it != characters.cend(); ++it) {
        if (accounts.contains(it.key()))
            continue;
        out.line(QStringLiteral("account %1, which has no account record:")
                         .arg(QString::number(it.key())));
        printCharacters(out, it.value());
    }
    return ExitDone;
}

} // namespace cli
