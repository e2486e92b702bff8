#include "world/worldloading.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <climits>

#include "world/accountrecords.h"
#include "world/characterrecords.h"
#include "world/filestamp.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace world {

bool loadAccounts(engine::Session &session, const QString &dir, AccountMap *accounts, bool dest,
        engine::Progress &progress, QList<QString> *names)
{
    QFile file(filePath(dir, accountsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        if (dest)
            session.destAccountsStamp = FileStamp();
        (dest ? session.destAccountsEncoding : session.sourceAccountsEncoding) =
                TextEncoding::Ascii;
        return false;
    }
    if (dest)
        session.destAccountsStamp = stampOf(file);
    const qint64 size = file.size();
    const ProgressScale scale(size);
    progress.reset();
    progress.setRange(0, scale.total());
    progress.showMessage(QStringLiteral("Processing accounts.adm"));

    LineReader reader(&file);
    // A file that grows while it is read is read as it was when it was opened.
    if (!file.isSequential())
        reader.setLimit(size);
    ProgressThrottle throttle(size);
    readAccounts(
            reader,
            [&](int number, const QString &accountName) {
                accounts->insert(number, accountName);
                names->append(accountName);
            },
            [&](qint64 pos) {
                if (throttle.due(pos))
                    progress.setValue(scale.value(pos));
            });
    file.close();
    // The names are decoded once the whole file has shown its encoding.
    const TextEncoding encoding = reader.encoding();
    (dest ? session.destAccountsEncoding : session.sourceAccountsEncoding) = encoding;
    if (encoding != TextEncoding::Ascii) {
        for (QString &accountName : *accounts)
            accountName = decodeText(accountName, encoding);
        for (QString &accountName : *names)
            accountName = decodeText(accountName, encoding);
    }
    progress.reset();
    progress.clearMessage();
    return true;
}

void loadCharacters(engine::Session &session, const QString &dir, CharacterMap *characters,
        bool dest, engine::Progress &progress,
        const std::function<void(int account, const QString &name)> &onCharacter)
{
    if (dest) {
        session.destCharsCutOff = false;
        session.destCharsCommentedClose = -1;
        session.destCharsReadError.clear();
        session.destCharsHighestSection = INT_MIN;
        session.destCharsHighestSerial = INT_MIN;
    }
    TextEncoding &encoding = dest ? session.destCharsEncoding : session.sourceCharsEncoding;
    encoding = TextEncoding::Ascii;
    QFile file(filePath(dir, charactersFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        if (dest)
            session.destCharsStamp = FileStamp();
        return;
    }
    const qint64 size = file.size();
    if (dest) {
        session.destCharsStamp = stampOf(file);
        session.maxCharSerial = 0;
        session.maxCharSection = -1;
    }
    const ProgressScale scale(size);
    progress.reset();
    progress.setRange(0, scale.total());
    progress.showMessage(QStringLiteral("Processing ztpcs.wsc"));

    // Per account number met in the file, its characters so far. A hash costs one lookup
    // per character; the ordered map is filled at the end.
    QHash<int, QList<char_st>> byAccount;
    LineReader reader(&file);
    // A file that grows while it is read is read as it was when it was opened (and as the
    // stamp above describes it).
    if (!file.isSequential())
        reader.setLimit(size);
    ProgressThrottle throttle(size);
    CharacterFileFacts facts;
    readCharacters(
            reader, &facts,
            [&](const CharacterFound &found) {
                // Offsets are ints; a record beyond 2 GiB gets -1 rather than a wrapped
                // position that would point into some other record.
                byAccount[found.account].append(char_st{ found.name, found.serial,
                        found.offset <= INT_MAX ? int(found.offset) : -1 });
                onCharacter(found.account, found.name);
            },
            [&](qint64 pos) {
                if (throttle.due(pos))
                    progress.setValue(scale.value(pos));
            });
    if (dest) {
        session.maxCharSection = facts.maxSection;
        session.maxCharSerial = facts.maxSerial;
        session.destCharsCutOff = facts.cutOff;
        session.destCharsCommentedClose = facts.cutOff ? facts.commentedClose : -1;
        session.destCharsHighestSection = facts.highestSection;
        session.destCharsHighestSerial = facts.highestSerial;
        // A read error ends the pass like the end of the file would; the counters then
        // stop short of what the file holds.
        if (!reader.errorString().isEmpty()) {
            session.destCharsReadError = QStringLiteral("Could not read %1: %2.")
                                                 .arg(file.fileName(), reader.errorString());
        }
    }
    file.close();
    encoding = reader.encoding();

    QList<int> numbers = byAccount.keys();
    std::sort(numbers.begin(), numbers.end());
    for (const int number : std::as_const(numbers)) {
        QList<char_st> &found = byAccount[number];
        // The map keeps this list: without the room it grew for more characters.
        found.squeeze();
        if (encoding != TextEncoding::Ascii) {
            for (char_st &character : found)
                character.name = decodeText(character.name, encoding);
        }
        auto listed = characters->find(number);
        if (listed == characters->end())
            characters->insert(number, found);
        else
            listed->append(found);
    }
    progress.reset();
    progress.showMessage(QStringLiteral("Ready"));
}

void resetDestination(engine::Session &session)
{
    session.destAccounts.clear();
    session.destChars.clear();
    session.serialMap.clear();
    session.containerMap.clear();
    session.moreMap.clear();
    session.maxItemSerial = 0;
    session.maxCharSerial = 0;
    session.maxCharSection = 0;
    session.maxItemSection = 0;
    // Until the characters file is read nothing is known about it; a world without an
    // accounts file never reads it.
    session.destCharsCutOff = false;
    session.destCharsCommentedClose = -1;
    session.destCharsStamp = FileStamp();
    session.destCharsReadError.clear();
    session.destAccountsStamp = FileStamp();
    session.destAccountsEncoding = TextEncoding::Ascii;
    session.destCharsEncoding = TextEncoding::Ascii;
    session.destItemsEncoding = TextEncoding::Ascii;
}

} // namespace world
