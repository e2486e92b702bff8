#include "cli/interrupt.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace cli {

namespace {

volatile std::sig_atomic_t received = 0;

extern "C" void noteSignal(int signal)
{
    if (received != 0)
        return;
    received = signal;
    // Only what is safe in a signal handler: one write of a fixed text.
    static const char said[] = "\nchartransfer-cli: interrupted; stopping once the worlds "
                               "are whole (after the transfer in progress)\n";
    const ssize_t ignored = ::write(STDERR_FILENO, said, sizeof said - 1);
    (void)ignored;
}

} // namespace

void deferInterrupts()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // Reads and writes that the signal comes in the middle of carry on instead of failing.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int interruptSignal()
{
    return received;
}

int interruptStatus(int signal)
{
    return 128 + signal;
}

const char *signalName(int signal)
{
    return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "a signal";
}

} // namespace cli
