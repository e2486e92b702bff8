#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

#include "engine/progress.h"

namespace cli {

// Standard output in large writes: a check of a large world may report a hundred thousand
// lines, and a write per line would cost more than reading the world.
class Output
{
public:
    explicit Output(std::FILE *stream)
        : m_stream(stream)
    { }
    ~Output() { flush(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // Bytes as they are: the text a transfer appends is shown byte for byte.
    Output &bytes(const QByteArray &data)
    {
        m_buffer.append(data);
        if (m_buffer.size() >= (1 << 16))
            flush();
        return *this;
    }
    // Text in the terminal's encoding: names in world files are Latin-1, a terminal
    // nowadays expects UTF-8.
    Output &text(const QString &line) { return bytes(line.toLocal8Bit()); }
    Output &line(const QString &line) { return text(line).bytes("\n"); }
    void flush();

private:
    std::FILE *m_stream;
    QByteArray m_buffer;
};

// Shows each phase of the work ("Reading ztitems.wsc") with its percentage on one line of
// standard error that is written over, and removes that line when the work is done. Only
// when standard error is a terminal: in a log file the rewritten lines would be noise.
class TerminalProgress : public engine::Progress
{
public:
    // `quiet`: show nothing at all.
    explicit TerminalProgress(bool quiet);
    ~TerminalProgress() override;

    void reset() override;
    void setRange(int minimum, int maximum) override;
    void setValue(int value) override;
    void showMessage(const QString &message) override;
    void clearMessage() override;

    // Removes the line, before something else is printed.
    void clear();
    // Put before each phase, as "12/5000 Aldo Brand: " in a batch.
    void setPrefix(const QString &prefix) { m_prefix = prefix; }

private:
    void draw();

    bool m_enabled;
    QString m_prefix;
    QString m_phase;
    int m_minimum = 0;
    int m_maximum = 0;
    int m_percent = -1;
    bool m_shown = false;
};

// Why `dir` is not a world at all, in the words every command uses; empty when it is a
// directory holding at least one of the world's files.
QString notAWorld(const QString &dir);

} // namespace cli
