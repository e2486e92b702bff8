#pragma once

namespace cli {

// From here on SIGINT and SIGTERM no longer stop the program at once: they are noted, and
// the work stops at the next point where the worlds are whole (between two transfers).
// A transfer that is running when the signal comes completes, or is put back when it
// fails; a second signal while that happens changes nothing.
void deferInterrupts();

// The first SIGINT or SIGTERM that came since deferInterrupts(), or 0.
int interruptSignal();

// The exit status of a program stopped by that signal (130 for SIGINT, 143 for SIGTERM).
int interruptStatus(int signal);

// "SIGINT", "SIGTERM".
const char *signalName(int signal);

} // namespace cli
