#include "app/mainwindow.h"

#include <QFile>
#include <QProgressBar>
#include <QStatusBar>

#include "transfer/appendfile.h"
#include "transfer/transferstep.h"
#include "world/worldformat.h"

#include <climits>

namespace {

struct CharacterNumbers
{
    int section;
    int serial;
    int account;
};

// Copies the record that starts at the reader's position: a line break first (it ends a
// last line that had none), the comment and the new header, then the record's lines with
// OWN, ACCOUNT, SERIAL and ROBE rewritten. Keys are read the way the character loader
// reads them, so a key indented or followed by a TAB is rewritten as the loader sees it.
// The copy ends at the loader's closing brace, before a line that starts another record,
// or where the source ended when the copy began; the last two get a "}" of our own, so the
// destination always receives one finished record.
QByteArray composeCharacter(world::LineReader *reader, const CharacterNumbers &numbers)
{
    const QByteArray serial = QByteArray::number(numbers.serial);
    QByteArray out;
    out += "\n//********Transfered Character***********\nSECTION CHARACTER ";
    out += QByteArray::number(numbers.section);
    out += '\n';
    while (reader->readLine()) {
        const QByteArrayView raw = reader->line();
        const world::ConditionedLine line = world::ConditionedLine::forLoader(raw);
        if (line.keyIs("SECTION"))
            break;
        if (line.keyIs("OWN")) {
            out += "OWN " + serial;
        } else if (line.keyIs("ACCOUNT")) {
            out += "ACCOUNT " + QByteArray::number(numbers.account);
        } else if (line.keyIs("SERIAL")) {
            out += "SERIAL " + serial;
        } else if (line.keyIs("ROBE")) {
            out += "ROBE -1";
        } else {
            out += raw;
        }
        out += '\n';
        if (line.is("}"))
            return out;
    }
    out += "}\n";
    return out;
}

} // namespace

// Appends the character record found at `offset` in the source characters file to the
// destination characters file, as record maxCharSection + 1 with serial maxCharSerial + 1 in
// account `transfer`. The whole record is put together first and then written in one go,
// so the destination gets all of it or, on failure, is cut back to what it was.
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

    // Only what the source held when the copy began is read: when source and destination
    // are the same file, the copy must not run on into its own output.
    const qint64 sourceEnd = source.size();
    QByteArray record;
    if (source.seek(offset)) {
        world::LineReader reader(&source, offset);
        reader.setLimit(sourceEnd);
        record = composeCharacter(&reader, { maxCharSection + 1, maxCharSerial + 1, transfer });
        if (!reader.errorString().isEmpty()) {
            destination.rollback();
            transfer::noteFailure(this,
                    QStringLiteral("Could not read %1: %2.").arg(sourcePath, reader.errorString()));
            return;
        }
    } else {
        destination.rollback();
        transfer::noteFailure(this,
                QStringLiteral("Could not read %1: %2.").arg(sourcePath, source.errorString()));
        return;
    }
    source.close();

    if (!transfer::commitAppend(this, &destination, record))
        return;
    statusBar()->showMessage(QStringLiteral("Ready"));
}
