#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

// One item record collected for a transfer.
struct item_st
{
    // From the "{" line up to the line before "}", each with its comment cut and its
    // white space simplified; the OWNER line naming the character already rewritten.
    QList<QString> lines;
    int serial = 0; // the new serial handed out for the item
    // Byte position just past the record's SECTION line; 64 bits so that records beyond
    // 2 GiB keep their true position.
    qint64 offset = 0;
};

inline bool operator==(const item_st &a, const item_st &b)
{
    return a.lines == b.lines && a.serial == b.serial && a.offset == b.offset;
}
