#include "fuzzsupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "engine/transferrun.h"
#include "world/worldformat.h"

namespace fuzz {

namespace {

struct Run
{
    Run()
    {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists()
                ? QStringLiteral("/dev/shm/chartransfer-fuzz-XXXXXX")
                : QDir::tempPath() + QStringLiteral("/chartransfer-fuzz-XXXXXX");
        dir = new QTemporaryDir(base);
        if (!dir->isValid())
            fail("cannot make a scratch folder", base);
        // Removed at exit so runs do not fill /dev/shm; the session is left to the end of
        // the process on purpose (its teardown is not under test).
        std::atexit([] { delete run().dir; });
    }

    static Run &run();

    QTemporaryDir *dir = nullptr;
    engine::Session session;
    engine::Progress progress;
};

Run &Run::run()
{
    static Run *r = new Run;
    return *r;
}

// Builds the tree a front end would show from what the loader reports.
class TreeListener : public engine::LoadListener
{
public:
    explicit TreeListener(const QMap<int, QString> &accounts)
        : m_accounts(accounts)
    { }

    void accountsRead(const QList<QString> &names) override
    {
        for (const QString &name : names) {
            m_order.append(name);
            if (!m_children.contains(name))
                m_children.insert(name, {});
        }
    }
    void characterRead(int account, const QString &name) override
    {
        const auto accountName = m_accounts.constFind(account);
        if (accountName == m_accounts.cend())
            return;
        m_children[accountName.value()].append(name);
    }

    QStringList tree() const
    {
        QStringList tree;
        QSet<QString> hung;
        for (const QString &account : m_order) {
            tree << account;
            if (hung.contains(account))
                continue;
            hung.insert(account);
            for (const QString &character : m_children.value(account))
                tree << account + QLatin1Char('/') + character;
        }
        return tree;
    }

private:
    const QMap<int, QString> &m_accounts;
    QList<QString> m_order;
    QHash<QString, QList<QString>> m_children;
};

} // namespace

engine::Session &session()
{
    return Run::run().session;
}

engine::Progress &progress()
{
    return Run::run().progress;
}

QString worldDir()
{
    return Run::run().dir->path();
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

QList<Line> splitLines(const QByteArray &data, qint64 begin)
{
    QList<Line> lines;
    // A byte-order mark before the first line is no part of it, as a file read from its
    // start shows it.
    if (begin < 0)
        begin = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
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
    engine::Session &s = session();
    TreeListener listener(s.destAccounts);
    engine::loadWorld(s, worldDir(), true, progress(), listener);
    Loaded loaded;
    loaded.accounts = s.destAccounts;
    loaded.characters = s.destChars;
    loaded.maxCharSection = s.maxCharSection;
    loaded.maxCharSerial = s.maxCharSerial;
    loaded.cutOff = s.destCharsCutOff;
    loaded.tree = listener.tree();
    return loaded;
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "CHECK FAILED: %s\n%s\n", what, detail.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzz
