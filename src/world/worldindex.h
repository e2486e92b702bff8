#pragma once

#include <QList>
#include <QMap>
#include <QString>

// One character of a loaded world, as the characters file names it.
struct char_st
{
    QString name; // words 1 to last of the record's NAME line
    int serial = 0; // value of its SERIAL line
    int offset = 0; // byte position just past the record's SECTION line
};

inline bool operator==(const char_st &a, const char_st &b)
{
    return a.name == b.name && a.serial == b.serial && a.offset == b.offset;
}

// Account record number to account name.
using AccountMap = QMap<int, QString>;
// Account number to that account's characters, in the order of the characters file.
using CharacterMap = QMap<int, QList<char_st>>;

namespace world {

// The account number an account item stands for: the smallest number whose name matches
// exactly. Returns false when no account carries that name.
bool findAccount(const AccountMap &accounts, const QString &accountName, int *number);

// The first character of that account, in file order, whose name matches exactly.
const char_st *findCharacter(const CharacterMap &characters, int account, const QString &name);

} // namespace world
