#include "cli/worldcheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <vector>

#include "cli/exitstatus.h"
#include "cli/names.h"
#include "cli/numbertable.h"
#include "cli/recover.h"
#include "cli/terminal.h"
#include "transfer/journal.h"
#include "world/accountrecords.h"
#include "world/characterrecords.h"
#include "world/itemrecordreader.h"
#include "world/progressscale.h"
#include "world/worldformat.h"

namespace cli {

namespace {

using world::ConditionedLine;
using world::LinePlace;

enum FileIndex : quint8 { Accounts, Characters, Items, FileCount };

enum class Kind : quint8 {
    SectionAgain,
    SerialAgain,
    NoOpeningBrace,
    NoClosingBrace,
    CutOff,
    NoSerial,
    NoName,
    DanglingOwner,
    DanglingCont,
    DanglingMore,
    DanglingRobe,
    DanglingAccount,
};

// Kept small: a damaged large world can have a problem on every character.
struct Problem
{
    quint32 line;
    quint32 other; // a second line number, where the problem names one
    qint32 value;
    Kind kind;
    FileIndex file;
};

// A number on an item line that must name a record, checked once every serial is known.
struct Reference
{
    qint32 value;
    quint32 line;
    Kind kind;
};

QString describe(const Problem &problem)
{
    const QString value = QString::number(problem.value);
    const QString other = QString::number(problem.other);
    switch (problem.kind) {
    case Kind::SectionAgain:
        return QStringLiteral("record number %1 is used again (first at line %2)")
                .arg(value, other);
    case Kind::SerialAgain:
        return QStringLiteral("serial %1 is used again (first at line %2)").arg(value, other);
    case Kind::NoOpeningBrace:
        return QStringLiteral("record %1 has no \"{\" after its SECTION line").arg(value);
    case Kind::NoClosingBrace:
        return QStringLiteral("record %1 has no \"}\" before the SECTION line at line %2")
                .arg(value, other);
    case Kind::CutOff:
        return QStringLiteral("record %1 is cut off: the file ends before its \"}\"").arg(value);
    case Kind::NoSerial:
        return QStringLiteral("record %1 has no SERIAL line").arg(value);
    case Kind::NoName:
        return QStringLiteral("account record %1 has no NAME line").arg(value);
    case Kind::DanglingOwner:
        return QStringLiteral("OWNER %1 names no character or item").arg(value);
    case Kind::DanglingCont:
        return QStringLiteral("CONT %1 names no character or item").arg(value);
    case Kind::DanglingMore:
        return QStringLiteral("MORE %1 names no character or item").arg(value);
    case Kind::DanglingRobe:
        return QStringLiteral("ROBE %1 names no item").arg(value);
    case Kind::DanglingAccount:
        return QStringLiteral("ACCOUNT %1 names no account").arg(value);
    }
    return QString();
}

// A JSON string in UTF-8: quotes, backslashes and control characters escaped.
QByteArray jsonString(const QString &text)
{
    QByteArray json = "\"";
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            json += '\\';
            json += char(c.unicode());
        } else if (c.unicode() < 0x20) {
            json += "\\u00";
            json += QByteArray::number(c.unicode(), 16).rightJustified(2, '0');
        } else {
            json += QString(c).toUtf8();
        }
    }
    return json + '"';
}

class Checker
{
public:
    Checker(const QString &dir, TerminalProgress &progress)
        : m_dir(dir)
        , m_progress(progress)
    { }

    void run()
    {
        // A transfer that was interrupted: its files may hold part of it until it is undone.
        m_journal = pendingTransfer(m_dir);
        m_read[Accounts] = pass(Accounts, [this](world::LineReader &reader, auto onLine, auto) {
            world::readAccounts(
                    reader, [this](int number, const QString &) { m_accounts.insert(number, 1); },
                    [](qint64) {}, onLine);
        });
        m_read[Characters] = pass(Characters, [](world::LineReader &reader, auto onLine, auto) {
            world::CharacterFileFacts facts;
            world::readCharacters(
                    reader, &facts, [](const world::CharacterFound &) {}, [](qint64) {}, onLine);
        });
        m_read[Items] = pass(Items, [](world::LineReader &reader, auto onLine, auto passedOver) {
            world::readItemRecords(reader, world::CheckedItemKeys, onLine, passedOver);
        });

        // What could not be told while reading: references to records later in the file.
        // A reference into a file that could not be read is not judged.
        if (m_read[Characters] && m_read[Items]) {
            for (const Reference &reference : m_laterItems) {
                if (!m_itemSerials.contains(reference.value)
                        && !m_characterSerials.contains(reference.value))
                    add(Items, reference.kind, reference.line, reference.value);
            }
        }
        if (m_read[Items]) {
            for (const Reference &robe : m_robes) {
                if (!m_itemSerials.contains(robe.value))
                    add(Characters, Kind::DanglingRobe, robe.line, robe.value);
            }
        }
        std::stable_sort(
                m_problems.begin(), m_problems.end(), [](const Problem &a, const Problem &b) {
                    return a.file != b.file ? a.file < b.file : a.line < b.line;
                });
    }

    bool anyRead() const { return m_read[Accounts] || m_read[Characters] || m_read[Items]; }
    qsizetype problemCount() const
    {
        qsizetype count = qsizetype(m_problems.size()) + (m_journal.isEmpty() ? 0 : 1);
        for (const QString &error : m_unreadable)
            count += error.isEmpty() ? 0 : 1;
        return count;
    }

    void print(Output &out) const
    {
        if (!m_journal.isEmpty())
            out.line(QStringLiteral("%1: %2").arg(transfer::journalPath(m_dir), m_journal));
        for (int file = 0; file < FileCount; ++file) {
            if (!m_unreadable[file].isEmpty())
                out.line(QStringLiteral("%1: %2").arg(path(FileIndex(file)), m_unreadable[file]));
        }
        for (const Problem &problem : m_problems) {
            out.line(QStringLiteral("%1:%2: %3")
                             .arg(path(problem.file), QString::number(problem.line),
                                     describe(problem)));
        }
        const qsizetype count = problemCount();
        const QString problems = count == 0 ? QStringLiteral("no problems")
                : count == 1                ? QStringLiteral("1 problem")
                                            : QStringLiteral("%1 problems").arg(count);
        out.line(QStringLiteral("%1: %2 (%3, %4, %5)")
                         .arg(QDir::toNativeSeparators(m_dir), problems,
                                 counted(m_records[Accounts], "account record", "account records"),
                                 counted(m_records[Characters], "character record",
                                         "character records"),
                                 counted(m_records[Items], "item record", "item records")));
    }

    // Written as it goes rather than built as a document first: a damaged large world can
    // have a hundred thousand problems, and a document of them would cost more time and
    // memory than the check itself.
    void printJson(Output &out) const
    {
        out.bytes("{\n    \"world\": " + jsonString(m_dir) + ",\n    \"clean\": "
                + (problemCount() == 0 ? "true" : "false") + ",\n    \"records\": {");
        for (int file = 0; file < FileCount; ++file) {
            out.bytes((file ? ", " : "") + jsonString(fileName(FileIndex(file))) + ": "
                    + QByteArray::number(m_records[file]));
        }
        out.bytes("},\n    \"problems\": [");
        bool first = true;
        if (!m_journal.isEmpty()) {
            out.bytes("\n        {\"file\": " + jsonString(transfer::journalFileName())
                    + ", \"line\": 0, \"problem\": " + jsonString(m_journal) + "}");
            first = false;
        }
        const auto problem = [&](FileIndex file, quint32 line, const QString &text) {
            out.bytes(QByteArray(first ? "\n" : ",\n") + "        {\"file\": "
                    + jsonString(fileName(file)) + ", \"line\": " + QByteArray::number(line)
                    + ", \"problem\": " + jsonString(text) + "}");
            first = false;
        };
        for (int file = 0; file < FileCount; ++file) {
            if (!m_unreadable[file].isEmpty())
                problem(FileIndex(file), 0, m_unreadable[file]);
        }
        for (const Problem &found : m_problems)
            problem(found.file, found.line, describe(found));
        out.bytes(first ? "]\n}\n" : "\n    ]\n}\n");
    }

private:
    // Where the record being read stands.
    enum class State { Outside, AwaitingBrace, Open };

    static QString fileName(FileIndex file)
    {
        switch (file) {
        case Accounts:
            return world::accountsFileName();
        case Characters:
            return world::charactersFileName();
        default:
            return world::itemsFileName();
        }
    }
    QString path(FileIndex file) const { return world::filePath(m_dir, fileName(file)); }

    void add(FileIndex file, Kind kind, quint32 line, qint32 value, quint32 other = 0)
    {
        m_problems.push_back(Problem{ line, other, value, kind, file });
    }

    // Reads one file through `read`, which hands every line it reads to the first function
    // it is given, or counts it with the second. False when the file could not be read to
    // its end.
    template <typename Read>
    bool pass(FileIndex file, Read read)
    {
        QFile device(path(file));
        if (!device.open(QIODevice::ReadOnly)) {
            m_unreadable[file] = QStringLiteral("cannot be read: %1").arg(device.errorString());
            return false;
        }
        const qint64 size = device.size();
        const world::ProgressScale scale(size);
        m_progress.showMessage(QStringLiteral("Checking %1").arg(fileName(file)));
        m_progress.setRange(0, scale.total());
        m_progress.setValue(0);

        world::LineReader reader(&device);
        if (!device.isSequential())
            reader.setLimit(size);
        m_file = file;
        m_line = 0;
        m_state = State::Outside;
        quint32 told = 0;
        const auto onLine = [&](const ConditionedLine &line, LinePlace place) {
            ++m_line;
            if ((++told & 0x3fff) == 0)
                m_progress.setValue(scale.value(reader.pos()));
            take(line, place);
        };
        const auto passedOver = [this](qint64 lines) { m_line += quint32(lines); };
        read(reader, onLine, passedOver);
        if (m_state != State::Outside)
            add(file, Kind::CutOff, m_headerLine, m_number);
        m_progress.clearMessage();
        if (!reader.errorString().isEmpty()) {
            m_unreadable[file] = QStringLiteral("cannot be read past byte %1: %2")
                                         .arg(QString::number(reader.pos()), reader.errorString());
            return false;
        }
        return true;
    }

    void openRecord(qint32 number)
    {
        // A record still open here had no "}" (an account record's rest after its NAME line
        // is read as lines between records, so only its own check can tell).
        if (m_state != State::Outside)
            add(m_file, Kind::NoClosingBrace, m_headerLine, m_number, m_line);
        ++m_records[m_file];
        noteNumber(number);
        m_state = State::AwaitingBrace;
        m_headerLine = m_line;
        m_number = number;
        m_hasSerial = false;
        m_hasName = false;
        m_typeSeven = false;
        m_toldOpening = false;
        m_toldClosing = false;
    }

    void closeRecord()
    {
        m_state = State::Outside;
        if (m_file == Accounts && !m_hasName)
            add(m_file, Kind::NoName, m_headerLine, m_number);
        else if (m_file != Accounts && !m_hasSerial)
            add(m_file, Kind::NoSerial, m_headerLine, m_number);
    }

    void noteNumber(qint32 number)
    {
        if (const quint32 first = m_sections[m_file].insert(number, m_line))
            add(m_file, Kind::SectionAgain, m_line, number, first);
    }

    // A header that the record loop takes as an ordinary line: the record before it runs
    // on into the next one.
    void headerInside(const ConditionedLine &line, Kind kind)
    {
        noteNumber(world::toNumber(line.word(2)));
        ++m_records[m_file];
        bool &told = kind == Kind::NoOpeningBrace ? m_toldOpening : m_toldClosing;
        if (!told)
            add(m_file, kind, m_headerLine, m_number, m_line);
        told = true;
    }

    void take(const ConditionedLine &line, LinePlace place)
    {
        switch (place) {
        case LinePlace::Between:
            // The rest of an account record after its NAME line, "}" included.
            if (m_state == State::Open && line.is("}"))
                closeRecord();
            return;
        case LinePlace::Header:
            openRecord(world::toNumber(line.word(2)));
            return;
        case LinePlace::BeforeBrace:
            if (line.is("{")) {
                m_state = State::Open;
            } else if (line.keyIs("SECTION")) {
                headerInside(line, Kind::NoOpeningBrace);
            } else if (!line.isEmpty() && !m_toldOpening) {
                add(m_file, Kind::NoOpeningBrace, m_headerLine, m_number);
                m_toldOpening = true;
            }
            return;
        case LinePlace::Body:
            if (line.is("}"))
                closeRecord();
            else if (line.keyIs("SECTION"))
                headerInside(line, Kind::NoClosingBrace);
            else
                takeKey(line);
            return;
        case LinePlace::Last:
            if (line.is("}"))
                closeRecord();
            else if (line.keyIs("SECTION"))
                headerInside(line, Kind::NoClosingBrace);
            return;
        }
    }

    void takeSerial(const ConditionedLine &line, NumberTable &serials)
    {
        m_hasSerial = true;
        const qint32 serial = world::toNumber(line.word(1));
        if (const quint32 first = serials.insert(serial, m_line))
            add(m_file, Kind::SerialAgain, m_line, serial, first);
    }

    // An item line's reference: judged now when it names a record already read, later
    // otherwise. -1 names nothing on purpose.
    void takeReference(const ConditionedLine &line, Kind kind)
    {
        const qint32 value = world::toNumber(line.word(1));
        if (value == -1 || m_itemSerials.contains(value) || m_characterSerials.contains(value))
            return;
        m_laterItems.push_back(Reference{ value, m_line, kind });
    }

    void takeKey(const ConditionedLine &line)
    {
        switch (m_file) {
        case Accounts:
            if (line.keyIs("NAME"))
                m_hasName = true;
            break;
        case Characters:
            if (line.keyIs("SERIAL")) {
                takeSerial(line, m_characterSerials);
            } else if (line.keyIs("ACCOUNT")) {
                const qint32 account = world::toNumber(line.word(1));
                if (account != -1 && m_read[Accounts] && !m_accounts.contains(account))
                    add(m_file, Kind::DanglingAccount, m_line, account);
            } else if (line.keyIs("ROBE")) {
                const qint32 robe = world::toNumber(line.word(1));
                if (robe != -1)
                    m_robes.push_back(Reference{ robe, m_line, Kind::DanglingRobe });
            }
            break;
        default:
            if (line.keyIs("SERIAL")) {
                takeSerial(line, m_itemSerials);
            } else if (line.keyIs("OWNER")) {
                takeReference(line, Kind::DanglingOwner);
            } else if (line.keyIs("CONT")) {
                takeReference(line, Kind::DanglingCont);
            } else if (line.keyIs("TYPE")) {
                // The text "7", as the scans compare it: "07" is another type.
                if (line.word(1) == "7")
                    m_typeSeven = true;
            } else if (m_typeSeven && line.keyIs("MORE")) {
                // A MORE line before the record's TYPE 7 line is not taken.
                takeReference(line, Kind::DanglingMore);
            }
            break;
        }
    }

    QString m_dir;
    TerminalProgress &m_progress;
    bool m_read[FileCount] = {};
    QString m_unreadable[FileCount];
    QString m_journal;
    qint64 m_records[FileCount] = {};
    NumberTable m_sections[FileCount];
    NumberTable m_accounts;
    NumberTable m_characterSerials;
    NumberTable m_itemSerials;
    std::vector<Reference> m_robes;
    std::vector<Reference> m_laterItems;
    std::vector<Problem> m_problems;

    // The file being read and its record in hand.
    FileIndex m_file = Accounts;
    quint32 m_line = 0;
    State m_state = State::Outside;
    quint32 m_headerLine = 0;
    qint32 m_number = 0;
    bool m_hasSerial = false;
    bool m_hasName = false;
    bool m_typeSeven = false;
    bool m_toldOpening = false;
    bool m_toldClosing = false;
};

} // namespace

int checkWorld(const QString &dir, bool json, Output &out, TerminalProgress &progress)
{
    Checker checker(dir, progress);
    checker.run();
    progress.clear();
    if (json)
        checker.printJson(out);
    else
        checker.print(out);
    if (!checker.anyRead())
        return ExitUnreadable;
    return checker.problemCount() == 0 ? ExitDone : ExitProblems;
}

} // namespace cli
