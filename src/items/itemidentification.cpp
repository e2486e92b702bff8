#include "app/mainwindow.h"

#include <QByteArray>
#include <QFile>
#include <QProgressBar>
#include <QStatusBar>

#include <limits>
#include <utility>

#include "items/itemrecords.h"
#include "world/worldformat.h"

namespace {

// The serial a record is filed under before any SERIAL line has been read. Every int can
// be written on a SERIAL line, so no value is safe from all files, but this one is the
// least likely to be mistaken for a real item: -1 is what a type-7 item without a MORE
// line is filed under (a serial-less record at -1 would keep all of those), and 0 is what
// a non-number reads as on SERIAL, CONT and MORE lines alike. Only the literal line
// "SERIAL -2147483648" gives this value.
constexpr int NoSerialYet = std::numeric_limits<int>::min();

// The OWNER line that names the character, made to name its copy instead. Every occurrence
// of the owner text is replaced, as a text replacement does, but only after the key: an
// owner that reads as 0 without being a number ("OWNER E") must not change the key itself,
// and an empty owner ("OWNER" alone) has no occurrences to replace, so the copy's number
// becomes the value.
QString rewriteOwnerLine(const world::ConditionedLine &line, const QString &newOwner)
{
    const QString owner = world::decode(line.word(1));
    QString value = owner.isEmpty() ? newOwner : line.wordsFrom(1).replace(owner, newOwner);
    return QStringLiteral("OWNER ") + value;
}

// The lines of a record in the making. Until the record is known to belong to the
// character its lines stay raw bytes in one buffer; most records belong to others, and
// their lines are then dropped without ever becoming strings.
class RecordLines
{
public:
    void clear()
    {
        m_pending.truncate(0);
        m_pendingEnds.clear();
        m_lines.clear();
        m_owned = false;
    }

    bool owned() const { return m_owned; }

    void append(QByteArrayView raw, const world::ConditionedLine &line)
    {
        if (m_owned) {
            m_lines.append(line.toString());
            return;
        }
        m_pending.append(raw);
        m_pendingEnds.append(m_pending.size());
    }

    // Marks the record as the character's and adds the (rewritten) line that says so.
    void appendOwned(const QString &text)
    {
        if (!m_owned) {
            m_owned = true;
            qsizetype begin = 0;
            for (const qsizetype end : std::as_const(m_pendingEnds)) {
                const QByteArrayView raw(m_pending.constData() + begin, end - begin);
                m_lines.append(world::ConditionedLine::forScanner(raw).toString());
                begin = end;
            }
        }
        m_lines.append(text);
    }

    QList<QString> takeLines() { return std::exchange(m_lines, {}); }

private:
    QByteArray m_pending;
    QList<qsizetype> m_pendingEnds;
    QList<QString> m_lines;
    bool m_owned = false;
};

void appendTo(QMap<int, QList<int>> &map, int key, int serial)
{
    map[key].append(serial);
}

} // namespace

// Collects every item record of the items file in `name` whose OWNER line names the
// character `owner`, gives each a new serial above maxItemSerial in file order, and then
// drops those whose container (or, for type 7, whose MORE object) was not collected and is
// not the character.
void MainWindow::getSerials(QString name, int owner)
{
    QFile file(world::filePath(name, world::itemsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        statusBar()->showMessage(QStringLiteral("Unable to open ztitems.wsc"));
        return;
    }

    const items::ByteProgress progress(file.size());
    progressBar->reset();
    statusBar()->showMessage(QStringLiteral("Identifiying items"));
    progressBar->setRange(0, progress.total());

    const QString newOwner = QString::number(maxCharSerial + 1);
    int currentSerial = NoSerialYet; // set by every SERIAL line, kept across records
    RecordLines lines;

    world::LineReader reader(&file);
    // Counts lines outside records and one per record, not the lines inside a record.
    for (qint64 lineCount = 0; !reader.atEnd(); ++lineCount) {
        if (lineCount % 10000 == 0)
            progressBar->setValue(progress.steps(reader.pos()));
        reader.readLine();
        world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
        if (!line.keyIs("SECTION"))
            continue;

        // A header of any record type opens a record.
        const qint64 offset = reader.pos();
        lines.clear();
        bool typeSeven = false;
        int container = -1;
        int more = -1;

        // Whatever stands between the header and the opening brace is passed over, further
        // headers included.
        while (!reader.atEnd() && !line.is("{")) {
            reader.readLine();
            line = world::ConditionedLine::forScanner(reader.line());
        }
        // A header whose brace never comes: nothing more can follow it.
        if (reader.atEnd())
            break;

        // The body runs to the first closing brace; a header inside it is an ordinary line.
        // When the file ends inside the body, the record keeps what was read before its last
        // line, which is neither examined nor kept.
        while (!line.is("}")) {
            bool kept = false;
            if (line.keyIs("SERIAL")) {
                currentSerial = world::toNumber(line.word(1));
            } else if (line.keyIs("OWNER")) {
                if (world::toNumber(line.word(1)) == owner) {
                    lines.appendOwned(rewriteOwnerLine(line, newOwner));
                    kept = true;
                }
            } else if (line.keyIs("CONT")) {
                container = world::toNumber(line.word(1));
            } else if (line.keyIs("TYPE")) {
                // The text "7", not the number: "07" is another type.
                if (line.word(1) == "7")
                    typeSeven = true;
            } else if (line.keyIs("MORE")) {
                // A MORE line before the record's TYPE 7 line is not taken.
                if (typeSeven)
                    more = world::toNumber(line.word(1));
            }
            if (!kept)
                lines.append(reader.line(), line);
            reader.readLine();
            if (reader.atEnd())
                break;
            line = world::ConditionedLine::forScanner(reader.line());
        }

        if (!lines.owned())
            continue;
        if (container != -1)
            appendTo(containerMap, container, currentSerial);
        if (typeSeven)
            appendTo(moreMap, more, currentSerial);
        ++maxItemSerial;
        serialMap.insert(currentSerial, item_st{ lines.takeLines(), maxItemSerial, offset });
    }

    // One pass, containers first, then MORE objects, each against serialMap as the pass
    // has left it so far: a record survives when what holds it is still collected at the
    // moment its key is tested, or is the character itself.
    const auto prune = [this, owner](const QMap<int, QList<int>> &holders) {
        for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
            if (it.key() == owner || serialMap.contains(it.key()))
                continue;
            for (const int serial : it.value())
                serialMap.remove(serial);
        }
    };
    prune(containerMap);
    prune(moreMap);

    file.close();
    statusBar()->showMessage(QStringLiteral("Ready"));
    progressBar->reset();
}
