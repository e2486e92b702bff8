#include "app/mainwindow.h"

#include <QProgressBar>
#include <QStatusBar>

#include "transfer/appendfile.h"
#include "transfer/transferstep.h"
#include "world/worldformat.h"

#include <climits>

namespace {

// The new serial for a CONT or MORE value. A transferred item gets its new serial and the
// character its own; -1 (nothing) stays -1, and so does anything that was not transferred,
// so no copied item ever points at an object of the destination world by chance.
int newReference(const QMap<int, item_st> &items, int value, int owner, int newOwner)
{
    if (value == -1)
        return -1;
    const auto found = items.constFind(value);
    if (found != items.cend())
        return found->serial;
    if (value == owner)
        return newOwner;
    return -1;
}

} // namespace

// Appends the item records collected in serialMap to the destination items file, in
// ascending order of old serial, as records maxItemSection + 1 onwards, with SERIAL, OWNER,
// CONT and (after TYPE 7) MORE renumbered. All records are put together first and written
// in one go, so the file gets all of them or, on failure, is cut back to what it was.
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

    const int newOwner = maxCharSerial + 1;
    const QByteArray ownerLine = "OWNER " + QByteArray::number(newOwner);
    QByteArray records;
    int written = 0;
    for (auto it = serialMap.cbegin(); it != serialMap.cend(); ++it, ++written) {
        progressBar->setValue(written);
        ++maxItemSection;
        records += "\n//********Transfered ITEM***********\n\nSECTION WORLDITEM ";
        records += QByteArray::number(maxItemSection);
        records += '\n';
        bool typeSeven = false;
        for (const QString &stored : it->lines) {
            const QByteArray raw = world::encode(stored);
            const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
            if (line.keyIs("SERIAL")) {
                records += "SERIAL " + QByteArray::number(it->serial);
            } else if (line.keyIs("OWNER")) {
                records += ownerLine;
            } else if (line.keyIs("CONT")) {
                const int value = world::toNumber(line.word(1));
                records += "CONT "
                        + QByteArray::number(newReference(serialMap, value, owner, newOwner));
            } else if (line.keyIs("TYPE")) {
                if (line.word(1) == "7")
                    typeSeven = true;
                records += raw;
            } else if (line.keyIs("MORE") && typeSeven) {
                const int value = world::toNumber(line.word(1));
                records += "MORE "
                        + QByteArray::number(newReference(serialMap, value, owner, newOwner));
            } else {
                records += raw;
            }
            records += '\n';
        }
        records += "}\n\n";
    }

    if (!records.isEmpty())
        transfer::commitAppend(this, &destination, records);
}
