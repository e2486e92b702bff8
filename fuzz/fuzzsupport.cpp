#include "fuzzsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

#include "app/mainwindow.h"
#include "world/worldformat.h"

namespace fuzz {

namespace {

struct Session
{
    Session()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz";
        static char *argv[] = { name, nullptr };
        app = new QApplication(argc, argv);
        const QString base = QDir(QStringLiteral("/dev/shm")).exists()
                ? QStringLiteral("/dev/shm/chartransfer-fuzz-XXXXXX")
                : QDir::tempPath() + QStringLiteral("/chartransfer-fuzz-XXXXXX");
        dir = new QTemporaryDir(base);
        if (!dir->isValid())
            fail("cannot make a scratch folder", base);
        window = new MainWindow;
        // Removed at exit so runs do not fill /dev/shm; the window and the application are
        // left to the end of the process on purpose (their teardown is not under test).
        std::atexit([] { delete session().dir; });
    }

    static Session &session();

    QApplication *app = nullptr;
    QTemporaryDir *dir = nullptr;
    MainWindow *window = nullptr;
};

Session &Session::session()
{
    static Session *s = new Session;
    return *s;
}

} // namespace

MainWindow &window()
{
    return *Session::session().window;
}

QString worldDir()
{
    return Session::session().dir->path();
}

void writeWorldFile(const QString &fileName, const QByteArray &bytes)
{
    const QString path = world::filePath(worldDir(), fileName);
    if (bytes.isNull()) {
        QFile::remove(path);
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()
            || !file.flush())
        fail("cannot write a scratch world file", path);
}

QList<Line> splitLines(const QByteArray &data)
{
    QList<Line> lines;
    qint64 begin = 0;
    while (begin < data.size()) {
        const qint64 nl = data.indexOf('\n', begin);
        const bool terminated = nl >= 0;
        const qint64 end = terminated ? nl : data.size();
        QByteArray text = data.mid(begin, end - begin);
        if (text.endsWith('\r'))
            text.chop(1);
        begin = terminated ? nl + 1 : data.size();
        lines.append({ text, begin, terminated });
    }
    return lines;
}

bool Loaded::operator==(const Loaded &other) const
{
    return accounts == other.accounts && characters == other.characters
            && maxCharSection == other.maxCharSection && maxCharSerial == other.maxCharSerial
            && cutOff == other.cutOff && tree == other.tree;
}

QString Loaded::describe() const
{
    QStringList parts;
    for (auto it = accounts.begin(); it != accounts.end(); ++it)
        parts << QStringLiteral("account %1 '%2'").arg(it.key()).arg(it.value());
    for (auto it = characters.begin(); it != characters.end(); ++it) {
        for (const char_st &c : it.value())
            parts << QStringLiteral("character of %1: '%2' serial %3 offset %4")
                             .arg(it.key())
                             .arg(c.name)
                             .arg(c.serial)
                             .arg(c.offset);
    }
    parts << QStringLiteral("maxCharSection %1 maxCharSerial %2 cutOff %3")
                     .arg(maxCharSection)
                     .arg(maxCharSerial)
                     .arg(cutOff);
    parts << QStringLiteral("tree: ") + tree.join(QLatin1String(" | "));
    return parts.join(QLatin1Char('\n'));
}

Loaded loadDestination()
{
    MainWindow &w = window();
    w.fileDestination(worldDir());
    Loaded loaded;
    loaded.accounts = w.destAccounts;
    loaded.characters = w.destChars;
    loaded.maxCharSection = w.maxCharSection;
    loaded.maxCharSerial = w.maxCharSerial;
    loaded.cutOff = w.destCharsCutOff;
    for (int i = 0; i < w.listView2->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *account = w.listView2->topLevelItem(i);
        loaded.tree << account->text(0);
        for (int j = 0; j < account->childCount(); ++j)
            loaded.tree << account->text(0) + QLatin1Char('/') + account->child(j)->text(1);
    }
    return loaded;
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "CHECK FAILED: %s\n%s\n", what, detail.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzz
