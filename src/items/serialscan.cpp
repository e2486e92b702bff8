#include "items/itemscans.h"

#include <QFile>

#include <limits>

#include "items/itemrecords.h"
#include "transfer/referencednumbers.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace items {

namespace {

// Whether a "}" line stands between the byte positions `from` and `to` of `file`.
bool closedAfter(QFile &file, qint64 from, qint64 to)
{
    if (!file.seek(from))
        return false;
    world::LineReader reader(&file, from);
    reader.setLimit(to);
    while (reader.readLinesUntilKey("}", std::numeric_limits<qint64>::max()) > 0) {
        if (world::ConditionedLine::forScanner(reader.line()).is("}"))
            return true;
    }
    return false;
}

// What the scan takes from the lines it looks at: SERIAL and SECTION numbers, and the
// numbers OWNER and CONT lines name (wherever they stand), and MORE lines after a record's
// TYPE 7 line. A TYPE 7 line stops the bulk pass: the rest of that record is read line by
// line, up to its "}" (a header inside a body is an ordinary line), for its MORE lines
// (keys are few).
class SerialScan final : public world::LineReader::LineVisitor
{
public:
    SerialScan(world::LineReader &reader, engine::Session &session)
        : m_reader(reader)
        , m_session(session)
        , m_referenced(session.maxCharSerial)
    { }

    bool visit(QByteArrayView raw) override
    {
        // Most lines are written plainly, and most lines beginning with S, O, C or T hold
        // none of the keys; only the others take the long way.
        int number = 0;
        switch (raw.isEmpty() ? '\0' : raw.front()) {
        case 'S':
            if (world::plainKeyNumber(raw, "SERIAL", 1, &number)) {
                m_session.maxItemSerial = qMax(m_session.maxItemSerial, number);
                return true;
            }
            if (world::plainKeyNumber(raw, "SECTION", 2, &number)) {
                takeSection(number);
                return true;
            }
            if (!startsWith(raw, "SE"))
                return true;
            break;
        case 'O':
            if (world::plainKeyNumber(raw, "OWNER", 1, &number)) {
                m_referenced.note(number, m_session.maxItemSerial);
                return true;
            }
            if (!startsWith(raw, "OWNER"))
                return true;
            break;
        case 'C':
            if (world::plainKeyNumber(raw, "CONT", 1, &number)) {
                m_referenced.note(number, m_session.maxItemSerial);
                return true;
            }
            if (!startsWith(raw, "CONT"))
                return true;
            break;
        case 'T':
            // A plain TYPE line is a key's when its number is written "7".
            if (world::plainKeyNumber(raw, "TYPE", 1, &number)) {
                if (number != 7 || raw.size() != 6)
                    return true;
                m_inKey = true;
                return false;
            }
            if (!startsWith(raw, "TYPE"))
                return true;
            break;
        default:
            break;
        }
        return visitConditioned(raw);
    }

    bool visitConditioned(QByteArrayView raw)
    {
        const world::ConditionedLine line = world::ConditionedLine::forScanner(raw);
        if (line.keyIs("SERIAL")) {
            m_session.maxItemSerial = qMax(m_session.maxItemSerial, line.numberAt(1));
        } else if (line.keyIs("SECTION")) {
            takeSection(line.numberAt(2));
        } else if (line.keyIs("OWNER") || line.keyIs("CONT")) {
            m_referenced.note(line.numberAt(1), m_session.maxItemSerial);
        } else if (line.keyIs("TYPE")) {
            // The text "7", not the number: "07" is another type.
            if (line.word(1) == "7") {
                m_inKey = true;
                return false;
            }
        } else if (m_inKey && line.keyIs("MORE")) {
            // A MORE line before the record's TYPE 7 line is not taken.
            m_referenced.note(line.numberAt(1), m_session.maxItemSerial);
        } else if (m_inKey && line.is("}")) {
            m_inKey = false;
        }
        return true;
    }

    // After a TYPE 7 line, until the record ends.
    bool inKey() const { return m_inKey; }
    transfer::ReferencedNumbers referenced()
    {
        return m_referenced.finish(m_session.maxItemSerial);
    }

    // Where the last header and the line after it begin (-1: no header yet).
    qint64 lastHeader = -1;
    qint64 afterLastHeader = -1;

private:
    template <qsizetype Size>
    static bool startsWith(QByteArrayView raw, const char (&text)[Size])
    {
        if (raw.size() < Size - 1)
            return false;
        for (qsizetype i = 0; i + 1 < Size; ++i) {
            if (raw[i] != text[i])
                return false;
        }
        return true;
    }

    void takeSection(int number)
    {
        m_session.maxItemSection = qMax(m_session.maxItemSection, number);
        lastHeader = m_reader.lineStart();
        afterLastHeader = m_reader.pos();
    }

    world::LineReader &m_reader;
    engine::Session &m_session;
    transfer::ReferenceCollector m_referenced;
    bool m_inKey = false;
};

} // namespace

// Finds the highest record number and the highest item serial that a world's items file
// already uses, so that appended items take numbers above both, and the numbers its records
// name that new numbers must pass over. Every line counts, inside records and between them,
// and a SECTION line of any record type counts.
void acquireSerials(engine::Session &session, const QString &dir, engine::Progress &progress)
{
    // Set before the file is opened: a world without an items file has no records and
    // item serials start above 0x40000000.
    session.maxItemSection = -1;
    session.maxItemSerial = 0x40000000;
    session.destItemsCutOff = false;
    session.destItemsLastHeader = -1;
    session.destItemsReferenced = transfer::ReferencedNumbers();
    session.scanReadError.clear();
    session.destItemsEncoding = world::TextEncoding::Ascii;

    QFile file(world::filePath(dir, world::itemsFileName()));
    if (!file.open(QIODevice::ReadOnly)) {
        progress.showMessage(QStringLiteral("Unable to open ztitems.wsc"));
        return;
    }

    const world::ProgressScale scale(file.size());
    progress.reset();
    progress.showMessage(QStringLiteral("Acquiring item serial numbers"));
    progress.setRange(0, scale.total());

    world::LineReader reader(&file);
    SerialScan scan(reader, session);
    // Only the lines the scan looks at are read one by one; the others are passed over in
    // bulk, but never past a 10000th line, where the bar moves to the position before it.
    for (qint64 lineCount = 0; !reader.atEnd();) {
        if (lineCount % 10000 == 0)
            progress.setValue(scale.value(reader.pos()));
        if (scan.inKey()) {
            reader.readLine();
            ++lineCount;
            scan.visit(reader.line());
        } else {
            lineCount += reader.readLinesVisiting("SOCT", 10000 - lineCount % 10000, scan);
        }
    }
    session.destItemsReferenced = scan.referenced();
    // Whether the last header still waits for its closing brace: a file that ends there was
    // cut off inside a record, and text appended to it would join that record. Only the
    // lines after the last header can tell, so only those are read again for a "}".
    session.destItemsLastHeader = scan.lastHeader;
    session.destItemsEncoding = reader.encoding();
    session.destItemsCutOff =
            scan.afterLastHeader >= 0 && !closedAfter(file, scan.afterLastHeader, reader.pos());
    // A read error ends the pass like the end of the file would, short of the highest
    // numbers in use.
    if (!reader.errorString().isEmpty()) {
        session.scanReadError =
                QStringLiteral("Could not read %1: %2.").arg(file.fileName(), reader.errorString());
    }

    file.close();
    progress.showMessage(QStringLiteral("Ready"));
    progress.reset();
}

} // namespace items
