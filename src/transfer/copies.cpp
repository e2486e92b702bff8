#include "transfer/copies.h"

#include <QFile>

#include <climits>

#include "transfer/appendfile.h"
#include "transfer/composition.h"
#include "transfer/transferstep.h"
#include "world/worldformat.h"

namespace transfer {

void copyCharacter(engine::Session &session, int offset, int account, const QString &input,
        const QString &output, engine::Progress &progress)
{
    beginStep(session);

    const QString sourcePath = world::filePath(input, world::charactersFileName());
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        noteFailure(session,
                QStringLiteral("Could not read %1: %2.").arg(sourcePath, source.errorString()));
        return;
    }
    if (session.maxCharSection == INT_MAX || session.maxCharSerial == INT_MAX) {
        noteFailure(session,
                QStringLiteral("The destination world has no character "
                               "number above 2147483647 left to give."));
        return;
    }
    FileAppend destination(world::filePath(output, world::charactersFileName()));
    if (!openDestination(session, &destination))
        return;

    progress.showMessage(QStringLiteral("Transferring Character"));
    progress.reset();

    QByteArray record;
    if (session.transferPrepared()) {
        record = session.preparedCharacter;
    } else {
        // Only what the source held when the copy began is read: when source and
        // destination are the same file, the copy must not run on into its own output.
        const CharacterText copy = composeCharacter(&source, offset, source.size(),
                { session.maxCharSection + 1, session.maxCharSerial + 1, account });
        if (!copy.readError.isEmpty()) {
            destination.rollback();
            noteFailure(session,
                    QStringLiteral("Could not read %1: %2.").arg(sourcePath, copy.readError));
            return;
        }
        record = copy.text;
    }
    source.close();

    if (!commitAppend(session, &destination, record))
        return;
    progress.showMessage(QStringLiteral("Ready"));
}

void copyItems(
        engine::Session &session, int owner, const QString &output, engine::Progress &progress)
{
    beginStep(session);
    // Items whose owner never reached the destination would later belong to whichever
    // character is next given that serial.
    if (session.transferRunning && !session.transferFailure.isEmpty())
        return;
    if (session.maxCharSerial == INT_MAX
            || session.maxItemSection > INT_MAX - session.serialMap.size()) {
        noteFailure(session,
                QStringLiteral("The destination world has no item record "
                               "number above 2147483647 left to give."));
        return;
    }

    FileAppend destination(world::filePath(output, world::itemsFileName()));
    if (!openDestination(session, &destination))
        return;

    progress.showMessage(QStringLiteral("Transferring Items"));
    progress.reset();
    progress.setRange(0, int(session.serialMap.size()));

    const QSet<int> written = writtenItems(session.serialMap, owner);
    const auto step = [&progress](int count) { progress.setValue(count); };
    QByteArray records;
    if (session.transferPrepared()) {
        // Composed and verified already: the bar still takes a step per entry.
        for (int count = 0; count < session.serialMap.size(); ++count)
            step(count);
        records = session.preparedItems;
    } else {
        records = composeItems(session.serialMap, written, session.maxItemSection + 1, owner,
                session.maxCharSerial + 1, step);
    }
    session.maxItemSection += int(written.size());

    if (!records.isEmpty())
        commitAppend(session, &destination, records);
}

} // namespace transfer
