#pragma once

#include <QProgressBar>
#include <QStatusBar>

#include "engine/progress.h"

// The engine's progress reports, passed straight to a window's status bar and progress
// bar: the same texts and values at the same moments as if the window made the calls.
class WindowProgress : public engine::Progress
{
public:
    WindowProgress(QStatusBar *statusBar, QProgressBar *bar)
        : m_statusBar(statusBar)
        , m_bar(bar)
    { }
    void reset() override { m_bar->reset(); }
    void setRange(int minimum, int maximum) override { m_bar->setRange(minimum, maximum); }
    void setValue(int value) override { m_bar->setValue(value); }
    void showMessage(const QString &message) override { m_statusBar->showMessage(message); }
    void clearMessage() override { m_statusBar->clearMessage(); }

private:
    QStatusBar *m_statusBar;
    QProgressBar *m_bar;
};
