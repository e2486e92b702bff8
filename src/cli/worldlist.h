#pragma once

#include <QString>

namespace cli {

class Output;
class TerminalProgress;

// Prints the accounts of the world in `dir` (number and name) with their characters (name,
// serial and record number), as the window's loader reads them; characters whose account
// number names no account come last. Returns the exit status.
int listWorld(const QString &dir, bool json, Output &out, TerminalProgress &progress);

} // namespace cli
