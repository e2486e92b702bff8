#include "cli/terminal.h"

#include <QFileInfo>

#include <unistd.h>

#include "world/worldformat.h"
#include <algorithm>

namespace cli {

QString escapeControls(const QString &text)
{
    const auto control = [](QChar c) {
        const char16_t u = c.unicode();
        return (u < 0x20 && u != '\t' && u != '\n') || (u >= 0x7f && u < 0xa0);
    };
    if (std::none_of(text.cbegin(), text.cend(), control))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (control(c))
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

bool isTerminal(std::FILE *stream)
{
    return isatty(fileno(stream)) != 0;
}

void Output::flush()
{
    if (!m_buffer.isEmpty())
        std::fwrite(m_buffer.constData(), 1, size_t(m_buffer.size()), m_stream);
    m_buffer.clear();
    std::fflush(m_stream);
}

TerminalProgress::TerminalProgress(bool quiet)
    : m_enabled(!quiet && isatty(STDERR_FILENO))
{ }

TerminalProgress::~TerminalProgress()
{
    clear();
}

void TerminalProgress::reset()
{
    m_percent = -1;
}

void TerminalProgress::setRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
    m_percent = -1;
}

void TerminalProgress::setValue(int value)
{
    if (!m_enabled || m_phase.isEmpty())
        return;
    const qint64 span = qint64(m_maximum) - m_minimum;
    const int percent = span > 0 ? int((qint64(value) - m_minimum) * 100 / span) : 0;
    if (percent == m_percent)
        return;
    m_percent = qBound(0, percent, 100);
    draw();
}

void TerminalProgress::showMessage(const QString &message)
{
    // The window's status bar says "Ready" between phases: no phase of its own here.
    if (message == QLatin1String("Ready")) {
        clearMessage();
        return;
    }
    if (message == m_phase)
        return;
    m_phase = message;
    m_percent = -1;
}

void TerminalProgress::clearMessage()
{
    clear();
    m_phase.clear();
}

void TerminalProgress::draw()
{
    const QByteArray line = "\r\033[K" + (m_prefix + m_phase).toLocal8Bit() + " "
            + QByteArray::number(m_percent) + "%";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    m_shown = true;
}

void TerminalProgress::clear()
{
    if (!m_shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_shown = false;
}

QString notAWorld(const QString &dir)
{
    const QFileInfo info(dir);
    if (!info.exists())
        return QStringLiteral("%1 is not a world: no such directory").arg(dir);
    if (!info.isDir())
        return QStringLiteral("%1 is not a world: not a directory").arg(dir);
    for (const QString &name :
            { world::accountsFileName(), world::charactersFileName(), world::itemsFileName() }) {
        if (QFileInfo::exists(world::filePath(dir, name)))
            return QString();
    }
    return QStringLiteral("%1 is not a world: it holds none of %2, %3 and %4")
            .arg(dir, world::accountsFileName(), world::charactersFileName(),
                    world::itemsFileName());
}

} // namespace cli
