#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <climits>

#include "items/itemrecords.h"
#include "world/filestamp.h"
#include "world/worldindex.h"

namespace engine {

// Everything the program knows about the two worlds it works on and the transfer that is
// running: the two indexes, the numbers new records are drawn from, the items of the
// transfer, and the facts the transfer checks before it writes.
struct Session
{
    QString sourceDir;
    QMap<int, QList<char_st>> destChars;
    QMap<int, QList<char_st>> sourceChars;
    QMap<int, QString> destAccounts;
    QMap<int, QString> sourceAccounts;
    QString destDir;
    int maxCharSection = 0;
    int maxItemSection = 0;
    int maxCharSerial = 0;
    int maxItemSerial = 0;
    QMap<int, item_st> serialMap;
    QMap<int, QList<int>> containerMap;
    QMap<int, QList<int>> moreMap;

    // A transfer that is running ignores a second start.
    bool transferRunning = false;
    // The caller holds the destination world's lock (transfer::WorldLock) for a whole run of
    // transfers; otherwise each transfer takes it for itself while it decides and writes.
    bool destLocked = false;
    // The destination characters file as the last destination load read it.
    FileStamp destCharsStamp;
    // The destination characters file ended after a record header and before that
    // record's closing brace (a save cut off): appending there would join that record.
    bool destCharsCutOff = false;
    // The same for the destination items file, noted by the serial scan.
    bool destItemsCutOff = false;
    // Where the last header of the destination items file begins (-1: none), noted by the
    // serial scan.
    qint64 destItemsLastHeader = -1;
    // A read error that ended a pass early, as the user is told it ("Could not read <file>:
    // <reason>."): that pass saw only part of its file, so the highest numbers it found, or
    // the items it collected, cannot be trusted. One for the destination's characters file
    // as the last destination load read it, one for the scans of the running transfer.
    QString destCharsReadError;
    QString scanReadError;
    // What the running transfer has appended so far, each file with the size it had
    // before, so that a failure in a later step can put every file back.
    struct TransferAppend
    {
        QString path;
        qint64 sizeBefore = 0;
        bool created = false;
    };
    QList<TransferAppend> transferAppends;
    // The first failure of the running transfer as the user is told it ("Could not write
    // <file>: <reason>."), empty while all goes well; and every file that could not be put
    // back afterwards.
    QString transferFailure;
    QList<QString> transferRestoreFailures;
    // The highest numbers on any SECTION and SERIAL line of the destination characters file
    // as the last destination load read it, records the loader passed over included: a new
    // character is numbered above these too.
    int destCharsHighestSection = INT_MIN;
    int destCharsHighestSerial = INT_MIN;
    // The destination accounts file as the last destination load read it: the account
    // number a transfer writes comes from that reading.
    FileStamp destAccountsStamp;
    // Item identification filed two collected records under one serial (a record without a
    // SERIAL line of its own takes the serial of the record before it): the earlier one
    // would silently stay behind. The byte positions just past both records' headers.
    qint64 scanCollisionFirst = -1;
    qint64 scanCollisionSecond = -1;
    // What the running transfer verified and is about to write, so that the writers append
    // exactly that; empty outside the moments between the verification and the reload.
    QByteArray preparedCharacter;
    QByteArray preparedItems;
    // A composed character text always holds at least its header lines.
    bool transferPrepared() const { return transferRunning && !preparedCharacter.isEmpty(); }
};

} // namespace engine
