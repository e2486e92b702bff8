#pragma once

#include <QString>

#include "engine/progress.h"
#include "engine/session.h"

namespace transfer {

// Appends the character record found at `offset` in the source characters file of `input`
// to the destination characters file of `output`, as record maxCharSection + 1 with serial
// maxCharSerial + 1 in account `account`. The whole record is put together first and then
// written in one go, so the destination gets all of it or, on failure, is cut back to what
// it was. Inside a transfer it writes the text the transfer has composed and verified.
void copyCharacter(engine::Session &session, int offset, int account, const QString &input,
        const QString &output, engine::Progress &progress);

// Appends the item records collected in serialMap to the destination items file of
// `output`, in ascending order of old serial, as records maxItemSection + 1 onwards, with
// SERIAL, OWNER, CONT and (after TYPE 7) MORE renumbered. An item whose container or key
// target is not copied stays behind with it. Written in one go, like the character.
void copyItems(
        engine::Session &session, int owner, const QString &output, engine::Progress &progress);

} // namespace transfer
