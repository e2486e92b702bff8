#pragma once

#include <QString>

namespace engine {

// Where a pass over a world file reports how far it has come: a window puts it in its
// status bar and progress bar, a terminal prints it or nothing. Each call stands for the
// same call on a progress bar (reset, range, value) or a status bar (message, clear).
class Progress
{
public:
    virtual ~Progress() = default;
    virtual void reset() { }
    virtual void setRange(int minimum, int maximum)
    {
        Q_UNUSED(minimum);
        Q_UNUSED(maximum);
    }
    virtual void setValue(int value) { Q_UNUSED(value); }
    virtual void showMessage(const QString &message) { Q_UNUSED(message); }
    virtual void clearMessage() { }
};

} // namespace engine
