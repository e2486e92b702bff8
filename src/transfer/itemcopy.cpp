#include "app/mainwindow.h"

#include <QProgressBar>
#include <QStatusBar>

#include "transfer/appendfile.h"
#include "transfer/composition.h"
#include "transfer/transferstep.h"
#include "world/worldformat.h"

#include <climits>

// Appends the item records collected in serialMap to the destination items file, in
// ascending order of old serial, as records maxItemSection + 1 onwards, with SERIAL, OWNER,
// CONT and (after TYPE 7) MORE renumbered. An item whose container or key target is not
// copied stays behind with it. All records are put together first and written in one go,
// so the file gets all of them or, on failure, is cut back to what it was.
void MainWindow::transferChar(int owner, int transfer, QString output)
{
    Q_UNUSED(transfer);
    transfer::beginStep(this);
    // Items whose owner never reached the destination would later belong to whichever
    // character is next given that serial.
    if (transferRunning && !transferFailure.isEmpty())
        return;
    if (maxCharSerial == INT_MAX || maxItemSection > INT_MAX - serialMap.size()) {
        transfer::noteFailure(this,
                QStringLiteral("The destination world has no item record "
                               "number above 2147483647 left to give."));
        return;
    }

    transfer::FileAppend destination(world::filePath(output, world::itemsFileName()));
    if (!transfer::openDestination(this, &destination))
        return;

    statusBar()->showMessage(QStringLiteral("Transferring Items"));
    progressBar->reset();
    progressBar->setRange(0, int(serialMap.size()));

    const QSet<int> written = transfer::writtenItems(serialMap, owner);
    QByteArray records = transfer::composeItems(serialMap, written, maxItemSection + 1, owner,
            maxCharSerial + 1, [this](int count) { progressBar->setValue(count); });
    maxItemSection += int(written.size());
    if (transferRunning && transferPrepared)
        records = preparedItems;

    if (!records.isEmpty())
        transfer::commitAppend(this, &destination, records);
}
