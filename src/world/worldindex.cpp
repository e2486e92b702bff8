#include "world/worldindex.h"

namespace world {

bool findAccount(const AccountMap &accounts, const QString &accountName, int *number)
{
    for (auto it = accounts.cbegin(); it != accounts.cend(); ++it) {
        if (it.value() == accountName) {
            *number = it.key();
            return true;
        }
    }
    return false;
}

const char_st *findCharacter(const CharacterMap &characters, int account, const QString &name)
{
    const auto entry = characters.constFind(account);
    if (entry == characters.cend())
        return nullptr;
    for (const char_st &character : entry.value()) {
        if (character.name == name)
            return &character;
    }
    return nullptr;
}

} // namespace world
