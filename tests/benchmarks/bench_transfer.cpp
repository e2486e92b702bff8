// Times the window's passes over a world against the speed of simply reading its files.
//
//   chartransfer_bench SOURCE_WORLD DEST_WORLD [--scratch DIR] [--no-reference]
//
// Runs the real MainWindow operations under the offscreen platform: loading the source
// side, loading the destination side, the serial scan of the destination, the item
// identification for the source character that owns the most items, and a whole transfer
// of that character into a scratch copy of the destination. Each is set beside a plain
// read of the same file that only counts its lines. A few passes of the line reader alone
// show what the shared reading layer costs. DEST_WORLD itself is never written.

#include "app/mainwindow.h"
#include "engine/session.h"
#include "transfer/merge.h"
#include "transfer/package.h"
#include "world/worldformat.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Row
{
    QString operation;
    QString file; // the file whose plain read the operation is set against
    double seconds = 0; // processor time of the process (and of the children it waited for)
    double wall = 0;
    qint64 bytes = 0; // bytes the operation reads, for MB/s
    double rss = 0; // resident set after it, MiB
    QString note;
};

std::vector<Row> rows;
qsizetype readerBlock = world::LineReader::DefaultBlockSize; // for the reading-layer passes
QHash<QString, double> plainSeconds; // file path -> best plain read time

// Processor time, this process and its finished children: on a machine shared with other
// work, wall time says more about the neighbours than about the code.
double cpuNow()
{
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9 + seconds(children.ru_utime)
            + seconds(children.ru_stime);
}

double lastWall = 0;

// Processor seconds spent in `work`; its wall time is left in lastWall.
double elapsed(const std::function<void()> &work)
{
    QElapsedTimer timer;
    const double cpuStart = cpuNow();
    timer.start();
    work();
    lastWall = double(timer.nsecsElapsed()) / 1e9;
    return cpuNow() - cpuStart;
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

// Peak and current resident set from the kernel, in MiB.
double statusMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

double peakMiB()
{
    const double hwm = statusMiB("VmHWM");
    if (hwm >= 0)
        return hwm;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// The yardstick: read the file in large blocks and count its line feeds.
qint64 plainRead(const QString &path, double *seconds)
{
    qint64 lines = 0;
    double best = 1e9;
    double wall = 1e9;
    // 256 KiB blocks stay in the processor's cache between the copy and the count.
    std::vector<char> buffer((1 << 18) + 64);
    for (int run = 0; run < 3; ++run) {
        lines = 0;
        const double s = elapsed([&] {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
            if (fd < 0)
                return;
            for (;;) {
                const ssize_t got = ::read(fd, buffer.data(), buffer.size() - 64);
                if (got <= 0)
                    break;
                ssize_t i = 0;
                for (; i + 64 <= got; i += 64)
                    lines += __builtin_popcountll(world::detail::newlines64(buffer.data() + i));
                lines += std::count(buffer.data() + i, buffer.data() + got, '\n');
            }
            ::close(fd);
        });
        best = std::min(best, s);
        wall = std::min(wall, lastWall);
    }
    lastWall = wall;
    *seconds = best;
    return lines;
}

void addPlain(const QString &path)
{
    if (plainSeconds.contains(path) || !QFileInfo::exists(path))
        return;
    double s = 0;
    const qint64 lines = plainRead(path, &s);
    plainSeconds.insert(path, s);
    rows.push_back({ QStringLiteral("plain read, count lines"), path, s, lastWall, fileSize(path),
            statusMiB("VmRSS"), QStringLiteral("%1 lines").arg(lines) });
}

void addRow(const QString &operation, const QString &file, double seconds, qint64 bytes,
        const QString &note = QString())
{
    rows.push_back({ operation, file, seconds, lastWall, bytes, statusMiB("VmRSS"), note });
    if (seconds < 0)
        std::printf("  %-44s %14s %8.3f s wall\n", qPrintable(operation), "", lastWall);
    else
        std::printf("  %-44s %8.3f s cpu %8.3f s wall\n", qPrintable(operation), seconds, lastWall);
    std::fflush(stdout);
}

// The best of a few runs of a pass that only reads.
double best(int runs, const std::function<void()> &work)
{
    double result = 1e9;
    double wall = 1e9;
    for (int i = 0; i < runs; ++i) {
        result = std::min(result, elapsed(work));
        wall = std::min(wall, lastWall);
    }
    lastWall = wall;
    return result;
}

// Passes of the reading layer alone over one file.
void readerPasses(const QString &path, bool withReference)
{
    qint64 count = 0;
    const double lines = best(3, [&] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        world::LineReader reader(&file, 0, readerBlock);
        count = 0;
        while (reader.readLine())
            ++count;
    });
    addRow(QStringLiteral("LineReader: lines only"), path, lines, fileSize(path),
            QStringLiteral("%1 lines").arg(count));

    const double serials = best(3, [&] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        world::LineReader reader(&file, 0, readerBlock);
        count = 0;
        while (!reader.atEnd()) {
            reader.readLine();
            if (world::ConditionedLine::forScanner(reader.line()).keyIs("SERIAL"))
                ++count;
        }
    });
    addRow(QStringLiteral("LineReader + forScanner + keyIs(SERIAL)"), path, serials, fileSize(path),
            QStringLiteral("%1 SERIAL lines").arg(count));

    int highest = 0;
    const double numbers = best(3, [&] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        world::LineReader reader(&file, 0, readerBlock);
        highest = 0;
        while (!reader.atEnd()) {
            reader.readLine();
            const world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
            if (line.keyIs("SERIAL"))
                highest = std::max(highest, world::toNumber(line.word(1)));
            else if (line.keyIs("SECTION"))
                highest = std::max(highest, world::toNumber(line.word(2)) & 0);
        }
    });
    addRow(QStringLiteral("  ... + word(1) + toNumber (a serial scan)"), path, numbers,
            fileSize(path), QStringLiteral("highest %1").arg(highest));

    const double skipping = best(3, [&] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        world::LineReader reader(&file, 0, readerBlock);
        highest = 0;
        count = 0;
        while (!reader.atEnd()) {
            count += reader.readLinesUntilKey("S", 10000 - count % 10000);
            const world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
            if (line.keyIs("SERIAL"))
                highest = std::max(highest, world::toNumber(line.word(1)));
            else if (line.keyIs("SECTION"))
                highest = std::max(highest, world::toNumber(line.word(2)) & 0);
        }
    });
    addRow(QStringLiteral("  the same through readLinesUntilKey(\"S\")"), path, skipping,
            fileSize(path), QStringLiteral("highest %1, %2 lines").arg(highest).arg(count));

    if (!withReference)
        return;
    // The straightforward way, for scale.
    const double slow = elapsed([&] {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        QTextStream stream(&file);
        stream.setEncoding(QStringConverter::Latin1);
        count = 0;
        while (!stream.atEnd()) {
            const QString line = world::reference::conditionForScanner(stream.readLine());
            if (world::reference::word(line, 0) == QLatin1String("SERIAL"))
                ++count;
        }
    });
    addRow(QStringLiteral("QTextStream + simplified + section"), path, slow, fileSize(path),
            QStringLiteral("%1 SERIAL lines").arg(count));
}

void grepPass(const QString &path)
{
    const QString grep = QStandardPaths::findExecutable(QStringLiteral("grep"));
    if (grep.isEmpty())
        return;
    QString output;
    const double s = best(3, [&] {
        QProcess process;
        process.start(grep, { QStringLiteral("-c"), QStringLiteral("^SERIAL"), path });
        process.waitForFinished(-1);
        output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    });
    addRow(QStringLiteral("grep -c '^SERIAL'"), path, s, fileSize(path),
            QStringLiteral("%1 lines").arg(output));
}

// The serial that owns the most items, by a pass of the reading layer.
int richestOwner(const QString &itemsPath, int *items)
{
    QFile file(itemsPath);
    *items = 0;
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    QHash<int, int> counts;
    world::LineReader reader(&file);
    while (reader.readLine()) {
        const world::ConditionedLine line = world::ConditionedLine::forScanner(reader.line());
        if (line.keyIs("OWNER"))
            ++counts[world::toNumber(line.word(1))];
    }
    int owner = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > *items || (it.value() == *items && it.key() < owner)) {
            owner = it.key();
            *items = it.value();
        }
    }
    return owner;
}

// Presses OK (or the escape button) on every message box that opens, and notes it.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            answered << QStringLiteral("%1: %2").arg(box->windowTitle(), box->text());
            if (QAbstractButton *button = box->button(QMessageBox::Ok))
                button->click();
            else
                box->reject();
        });
        m_timer.start();
    }
    QStringList answered;

private:
    QTimer m_timer;
};

QTreeWidgetItem *findTopLevel(QTreeWidget *view, const QString &text)
{
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        if (view->topLevelItem(i)->text(0) == text)
            return view->topLevelItem(i);
    }
    return nullptr;
}

int countTreeItems(QTreeWidget *view)
{
    int count = view->topLevelItemCount();
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        count += view->topLevelItem(i)->childCount();
    return count;
}

// Times each phase of a pass that names its phases in the status bar: the time from one
// message to the next.
class PhaseClock : public engine::Progress
{
public:
    PhaseClock() { m_timer.start(); }
    void showMessage(const QString &message) override
    {
        // Messages the passes repeat (the scans' own "Ready") do not start a phase.
        if (message == QLatin1String("Ready"))
            return;
        lap();
        m_phase = message;
    }
    void lap()
    {
        const qint64 now = m_timer.nsecsElapsed();
        if (!m_phase.isEmpty())
            laps.append({ m_phase, double(now - m_started) / 1e9 });
        m_started = now;
        m_phase.clear();
    }
    QList<QPair<QString, double>> laps;

private:
    QElapsedTimer m_timer;
    qint64 m_started = 0;
    QString m_phase;
};

bool copyWorld(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        const QString target = world::filePath(to, name);
        QFile::remove(target);
        if (QFileInfo::exists(world::filePath(from, name))
                && !QFile::copy(world::filePath(from, name), target))
            return false;
        QFile(target).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    return true;
}

void printTable()
{
    std::printf("\n%-46s %-14s %7s %7s %6s %7s %7s  %s\n", "operation", "file", "cpu s", "wall s",
            "MB/s", "x plain", "RSS MiB", "note");
    for (const Row &row : rows) {
        const double mbs = row.seconds > 0 ? double(row.bytes) / 1e6 / row.seconds : 0;
        const double plain = plainSeconds.value(row.file, 0);
        const QString ratio =
                plain > 0 ? QString::number(row.seconds / plain, 'f', 1) : QStringLiteral("-");
        const QString cpu =
                row.seconds < 0 ? QStringLiteral("-") : QString::number(row.seconds, 'f', 3);
        std::printf("%-46s %-14s %7s %7.3f %6.0f %7s %7.1f  %s\n", qPrintable(row.operation),
                qPrintable(QFileInfo(row.file).fileName()), qPrintable(cpu), row.wall, mbs,
                qPrintable(ratio), row.rss, qPrintable(row.note));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString scratchArg;
    bool withReference = true;
    QStringList only; // phases to run, for profiling one of them; empty runs all
    QString mergeFrom; // a world merged whole into a copy of the destination
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--block") && i + 1 < args.size()) {
            readerBlock = args.takeAt(i + 1).toLongLong();
            args.removeAt(i--);
            continue;
        }
        if (args.at(i) == QLatin1String("--only") && i + 1 < args.size()) {
            only = args.takeAt(i + 1).split(QLatin1Char(','));
            args.removeAt(i--);
            continue;
        }
        if (args.at(i) == QLatin1String("--merge") && i + 1 < args.size()) {
            mergeFrom = args.takeAt(i + 1);
            args.removeAt(i--);
            continue;
        }
        if (args.at(i) == QLatin1String("--scratch") && i + 1 < args.size()) {
            scratchArg = args.takeAt(i + 1);
            args.removeAt(i--);
        } else if (args.at(i) == QLatin1String("--no-reference")) {
            withReference = false;
            args.removeAt(i--);
        }
    }
    if (args.size() != 2) {
        std::fprintf(stderr,
                "usage: chartransfer_bench SOURCE_WORLD DEST_WORLD [--scratch DIR] "
                "[--no-reference] [--merge WORLD] "
                "[--only reader,load,acquire,identify,transfer,export,merge]\n");
        return 2;
    }
    const QString sourceDir = args.at(0);
    const QString destDir = args.at(1);
    const QString sourceAccounts = world::filePath(sourceDir, world::accountsFileName());
    const QString sourceChars = world::filePath(sourceDir, world::charactersFileName());
    const QString sourceItems = world::filePath(sourceDir, world::itemsFileName());
    const QString destAccounts = world::filePath(destDir, world::accountsFileName());
    const QString destChars = world::filePath(destDir, world::charactersFileName());
    const QString destItems = world::filePath(destDir, world::itemsFileName());
    if (!QFileInfo::exists(sourceChars) || !QFileInfo::exists(destChars)) {
        std::fprintf(stderr, "chartransfer_bench: no world files in %s or %s\n",
                qPrintable(sourceDir), qPrintable(destDir));
        return 2;
    }

    std::printf("source %s, destination %s\n", qPrintable(sourceDir), qPrintable(destDir));
    for (const QString &path :
            { sourceAccounts, sourceChars, sourceItems, destAccounts, destChars, destItems })
        addPlain(path);

    const auto runs = [&only](const char *phase) {
        return only.isEmpty() || only.contains(QLatin1String(phase));
    };
    if (runs("reader")) {
        std::printf("reading layer:\n");
        readerPasses(sourceItems, withReference && fileSize(sourceItems) < 64 * 1000 * 1000);
        grepPass(sourceItems);
    }
    const double afterReader = peakMiB();

    MainWindow window;
    // Diagnostic: without its text the bar skips measuring the text on every new value,
    // which shows what the bar's updates cost the passes.
    if (qEnvironmentVariableIsSet("BENCH_BAR_WITHOUT_TEXT"))
        window.progressBar->setTextVisible(false);
    window.show();
    QCoreApplication::processEvents();
    const double startPeak = peakMiB();

    std::printf("window operations:\n");
    // Loading a side: the loader and the first paint of the filled tree.
    const double loadSource = elapsed([&] {
        window.listView1->clear();
        window.sourceAccounts.clear();
        window.sourceChars.clear();
        window.processFile(
                sourceDir, window.listView1, &window.sourceAccounts, &window.sourceChars, false);
        window.sourceDir = sourceDir;
        QCoreApplication::processEvents();
    });
    addRow(QStringLiteral("load source (processFile, tree drawn)"), sourceChars, loadSource,
            fileSize(sourceAccounts) + fileSize(sourceChars),
            QStringLiteral("%1 accounts, %2 tree items")
                    .arg(window.sourceAccounts.size())
                    .arg(countTreeItems(window.listView1)));

    const double loadDest = elapsed([&] {
        window.fileDestination(destDir);
        QCoreApplication::processEvents();
    });
    addRow(QStringLiteral("load destination (fileDestination)"), destChars, loadDest,
            fileSize(destAccounts) + fileSize(destChars),
            QStringLiteral("maxCharSerial %1").arg(window.maxCharSerial));

    const double acquire = best(runs("acquire") ? 3 : 1, [&] { window.acquireSerials(destDir); });
    addRow(QStringLiteral("acquireSerials(dest)"), destItems, acquire, fileSize(destItems),
            QStringLiteral("maxItemSerial %1, maxItemSection %2")
                    .arg(window.maxItemSerial)
                    .arg(window.maxItemSection));

    int ownedItems = 0;
    const int owner = richestOwner(sourceItems, &ownedItems);
    const int serialBase = window.maxItemSerial;
    const double identify = best(runs("identify") ? 3 : 1, [&] {
        window.serialMap.clear();
        window.containerMap.clear();
        window.moreMap.clear();
        window.maxItemSerial = serialBase;
        window.getSerials(sourceDir, owner);
    });
    addRow(QStringLiteral("getSerials(source, richest owner)"), sourceItems, identify,
            fileSize(sourceItems),
            QStringLiteral("owner %1 has %2 OWNER lines, %3 collected")
                    .arg(owner)
                    .arg(ownedItems)
                    .arg(window.serialMap.size()));

    // The whole transfer, into a copy of the destination.
    QTemporaryDir ownScratch;
    const QString scratch = scratchArg.isEmpty() ? ownScratch.path() : scratchArg;
    const QString target = scratch + QStringLiteral("/destination");
    if (!copyWorld(destDir, target)) {
        std::fprintf(stderr, "chartransfer_bench: cannot copy %s to %s\n", qPrintable(destDir),
                qPrintable(target));
        return 1;
    }
    window.fileDestination(target);
    QCoreApplication::processEvents();

    // The character: the richest owner's record, found through the loaded source side.
    QString accountName;
    QString characterName;
    for (auto it = window.sourceChars.cbegin(); it != window.sourceChars.cend(); ++it) {
        for (const char_st &character : it.value()) {
            if (character.serial == owner && accountName.isEmpty()) {
                accountName = window.sourceAccounts.value(it.key());
                characterName = character.name;
            }
        }
    }
    QTreeWidgetItem *sourceItem = nullptr;
    if (QTreeWidgetItem *account = findTopLevel(window.listView1, accountName)) {
        for (int i = 0; i < account->childCount() && !sourceItem; ++i) {
            if (account->child(i)->text(1) == characterName)
                sourceItem = account->child(i);
        }
    }
    // The destination: the first account with room and no character of that name.
    QTreeWidgetItem *destItem = nullptr;
    for (int i = 0; i < window.listView2->topLevelItemCount() && !destItem; ++i) {
        QTreeWidgetItem *account = window.listView2->topLevelItem(i);
        bool fits = account->childCount() < 5;
        for (int c = 0; c < account->childCount(); ++c)
            fits = fits && account->child(c)->text(1) != characterName;
        if (fits)
            destItem = account;
    }
    QString transferNote;
    if (!runs("transfer")) {
    } else if (!sourceItem || !destItem) {
        transferNote = QStringLiteral("no character or account to select: not run");
        addRow(QStringLiteral("fileTransfer (whole, reload included)"), sourceItems, 0, 0,
                transferNote);
    } else {
        window.listView1->setCurrentItem(sourceItem);
        sourceItem->setSelected(true);
        window.listView2->setCurrentItem(destItem);
        destItem->setSelected(true);
        const QString destAccountName = destItem->text(0);
        const qint64 charsBefore = fileSize(world::filePath(target, world::charactersFileName()));
        const qint64 itemsBefore = fileSize(world::filePath(target, world::itemsFileName()));
        BoxAnswerer answerer;
        const double transfer = elapsed([&] {
            window.fileTransfer();
            QCoreApplication::processEvents();
        });
        const qint64 charsAdded =
                fileSize(world::filePath(target, world::charactersFileName())) - charsBefore;
        const qint64 itemsAdded =
                fileSize(world::filePath(target, world::itemsFileName())) - itemsBefore;
        bool shown = false;
        if (QTreeWidgetItem *account = findTopLevel(window.listView2, destAccountName)) {
            for (int c = 0; c < account->childCount(); ++c)
                shown = shown || account->child(c)->text(1) == characterName;
        }
        transferNote = QStringLiteral("'%1' of %2 into %3: +%4 B characters, +%5 B items, %6")
                               .arg(characterName, accountName, destAccountName)
                               .arg(charsAdded)
                               .arg(itemsAdded)
                               .arg(shown ? QStringLiteral("shown after reload")
                                          : QStringLiteral("NOT shown after reload"));
        if (!answerer.answered.isEmpty())
            transferNote += QStringLiteral("; boxes answered: ")
                    + answerer.answered.join(QStringLiteral(" | "));
        // Against the plain read of everything a transfer has to read.
        addRow(QStringLiteral("fileTransfer (whole, reload included)"), sourceItems, transfer,
                fileSize(sourceItems) + fileSize(destItems) + fileSize(destChars)
                        + fileSize(destAccounts),
                transferNote);
        plainSeconds.insert(QStringLiteral("transfer-reads"),
                plainSeconds.value(sourceItems) + plainSeconds.value(destItems)
                        + plainSeconds.value(destChars) + plainSeconds.value(destAccounts));
        rows.back().file = QStringLiteral("transfer-reads");
    }

    // The package of the same character (export without writing it): a transfer that
    // writes nothing, over the source as the window loaded it.
    if (runs("export") && !accountName.isEmpty()) {
        engine::Session session;
        session.sourceDir = sourceDir;
        session.sourceAccounts = window.sourceAccounts;
        session.sourceChars = window.sourceChars;
        engine::Progress quiet;
        transfer::PackageResult package;
        const double compose = elapsed([&] {
            package = transfer::composePackage(session, { { accountName, characterName } }, quiet);
        });
        addRow(QStringLiteral("composePackage (richest character)"), sourceItems, compose,
                fileSize(sourceItems) + fileSize(sourceChars),
                package.refusal.isEmpty()
                        ? QStringLiteral("%1 B characters, %2 B items, %3 items, %4 left behind")
                                  .arg(package.files.characters.size())
                                  .arg(package.files.items.size())
                                  .arg(package.characters.value(0).items)
                                  .arg(package.characters.value(0).itemsLeftBehind)
                        : QStringLiteral("refused: ") + package.refusal.text);
    }

    // A shard merge of another world, whole, into a fresh copy of the destination; the
    // peak memory is the merge's own (the kernel's high-water mark is reset before it).
    QString mergePeak;
    if (runs("merge") && !mergeFrom.isEmpty()) {
        const QString into = scratch + QStringLiteral("/merged");
        if (!copyWorld(destDir, into)) {
            std::fprintf(stderr, "chartransfer_bench: cannot copy %s to %s\n", qPrintable(destDir),
                    qPrintable(into));
            return 1;
        }
        const QStringList files = { world::accountsFileName(), world::charactersFileName(),
            world::itemsFileName() };
        qint64 bytes = 0;
        for (const QString &name : files)
            bytes += fileSize(world::filePath(mergeFrom, name))
                    + fileSize(world::filePath(into, name));
        // The plain reads also bring both worlds into the page cache.
        double plain = 0;
        for (const QString &name : files) {
            for (const QString &dir : { mergeFrom, into }) {
                const QString path = world::filePath(dir, name);
                addPlain(path);
                plain += plainSeconds.value(path);
            }
        }
        plainSeconds.insert(QStringLiteral("merge-reads"), plain);
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        const bool peakReset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
        clear.close();
        const double before = statusMiB("VmRSS");
        PhaseClock clock;
        transfer::MergeOutcome outcome;
        const double merge = elapsed([&] {
            outcome = transfer::runMerge({ mergeFrom, into, {}, false }, clock, false);
            clock.lap();
        });
        const double wall = lastWall;
        for (const auto &lap : std::as_const(clock.laps)) {
            lastWall = lap.second;
            addRow(QStringLiteral("  merge: ") + lap.first, QString(), -1, 0);
        }
        lastWall = wall;
        const transfer::MergePlan &plan = outcome.plan;
        addRow(QStringLiteral("runMerge (whole world, into a copy)"), QStringLiteral("merge-reads"),
                merge, bytes,
                outcome.result == transfer::MergeResult::Done
                        ? QStringLiteral("%1 accounts, %2 characters, %3 items, %4 left behind")
                                  .arg(plan.accounts.size())
                                  .arg(plan.characters)
                                  .arg(plan.items)
                                  .arg(plan.itemsLeftBehind)
                        : QStringLiteral("not done: ") + outcome.message + QLatin1Char(' ')
                                + plan.conflicts.mid(0, 3).join(QLatin1Char(' ')));
        mergePeak = peakReset ? QStringLiteral("; merge alone %1 MiB above %2 MiB")
                                        .arg(peakMiB() - before, 0, 'f', 1)
                                        .arg(before, 0, 'f', 1)
                              : QString();
    }

    printTable();
    std::printf("\npeak resident set: %.1f MiB (after the reading-layer passes %.1f MiB, "
                "window shown %.1f MiB%s); resident now %.1f MiB\n",
            peakMiB(), afterReader, startPeak, qPrintable(mergePeak), statusMiB("VmRSS"));
    std::printf("cpu s: processor time (user + system, children included); wall s: elapsed "
                "time, which also counts other work on the machine. MB/s and x plain use cpu s. "
                "x plain: time over the plain line-counting read of the same file; for the "
                "transfer, of every file it reads (source items, destination items, "
                "characters and accounts). Reading-layer passes and the scans are the best of "
                "3 runs.\n");
    return 0;
}
