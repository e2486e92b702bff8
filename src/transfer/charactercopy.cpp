#include "app/mainwindow.h"

#include <QFile>
#include <QProgressBar>
#include <QStatusBar>

#include "transfer/appendfile.h"
#include "transfer/composition.h"
#include "transfer/transferstep.h"
#include "world/worldformat.h"

#include <climits>

// Appends the character record found at `offset` in the source characters file to the
// destination characters file, as record maxCharSection + 1 with serial maxCharSerial + 1 in
// account `transfer`. The whole record is put together first and then written in one go,
// so the destination gets all of it or, on failure, is cut back to what it was. Inside a
// transfer it writes the text the transfer has already composed and verified.
void MainWindow::transferChar(int owner, int offset, int transfer, QString input, QString output)
{
    Q_UNUSED(owner);
    transfer::beginStep(this);

    const QString sourcePath = world::filePath(input, world::charactersFileName());
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        transfer::noteFailure(this,
                QStringLiteral("Could not read %1: %2.").arg(sourcePath, source.errorString()));
        return;
    }
    if (maxCharSection == INT_MAX || maxCharSerial == INT_MAX) {
        transfer::noteFailure(this,
                QStringLiteral("The destination world has no character "
                               "number above 2147483647 left to give."));
        return;
    }
    transfer::FileAppend destination(world::filePath(output, world::charactersFileName()));
    if (!transfer::openDestination(this, &destination))
        return;

    statusBar()->showMessage(QStringLiteral("Transferring Character"));
    progressBar->reset();

    QByteArray record;
    if (transferRunning && transferPrepared) {
        record = preparedCharacter;
    } else {
        // Only what the source held when the copy began is read: when source and
        // destination are the same file, the copy must not run on into its own output.
        const transfer::CharacterText copy = transfer::composeCharacter(&source, offset,
                source.size(), { maxCharSection + 1, maxCharSerial + 1, transfer });
        if (!copy.readError.isEmpty()) {
            destination.rollback();
            transfer::noteFailure(
                    this, QStringLiteral("Could not read %1: %2.").arg(sourcePath, copy.readError));
            return;
        }
        record = copy.text;
    }
    source.close();

    if (!transfer::commitAppend(this, &destination, record))
        return;
    statusBar()->showMessage(QStringLiteral("Ready"));
}
