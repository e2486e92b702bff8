#include "app/mainwindow.h"

#include <QFile>
#include <QProgressBar>
#include <QStatusBar>

#include "items/itemrecords.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

// Finds the highest record number and the highest item serial that a world's items file
// already uses, so that appended items take numbers above both. Every line counts, inside
// records and between them, and a SECTION line of any record type counts.
void MainWindow::acquireSerials(QString dir)
{
    // Set before the file is opened: a world without an items file has no records and
    // item serials start above 0x40000000.
    maxItemSection = -1;
    maxItemSerial = 0x40000000;
    destItemsCutOff = false;

    QFile file(world::filePath(dir, world::itemsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        statusBar()->showMessage(QStringLiteral("Unable to open ztitems.wsc"));
        return;
    }

    const world::ProgressScale progress(file.size());
    progressBar->reset();
    statusBar()->showMessage(QStringLiteral("Acquiring item serial numbers"));
    progressBar->setRange(0, progress.total());

    // Whether the last header read still waits for its closing brace: a file that ends
    // there was cut off inside a record, and text appended to it would join that record.
    bool insideRecord = false;
    world::LineReader reader(&file);
    // Only SERIAL, SECTION and "}" lines matter; the others are passed over in bulk, but
    // never past a 10000th line, where the bar moves to the position before it.
    for (qint64 lineCount = 0; !reader.atEnd();) {
        if (lineCount % 10000 == 0)
            progressBar->setValue(progress.value(reader.pos()));
        lineCount += reader.readLinesUntilKey("S}", 10000 - lineCount % 10000);
        const world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
        if (line.keyIs("SERIAL")) {
            maxItemSerial = qMax(maxItemSerial, world::toNumber(line.word(1)));
        } else if (line.keyIs("SECTION")) {
            maxItemSection = qMax(maxItemSection, world::toNumber(line.word(2)));
            insideRecord = true;
        } else if (line.is("}")) {
            insideRecord = false;
        }
    }
    destItemsCutOff = insideRecord;

    file.close();
    statusBar()->showMessage(QStringLiteral("Ready"));
    progressBar->reset();
}
