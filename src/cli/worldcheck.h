#pragma once

#include <QString>

namespace cli {

class Output;
class TerminalProgress;

// Reads the three files of the world in `dir` once each, the way the loaders and the item
// scans read them, and prints every problem as "file:line: problem", then a summary line
// (or all of it as one JSON document). Returns the exit status: done, problems found, or
// a world that cannot be read.
int checkWorld(const QString &dir, bool json, Output &out, TerminalProgress &progress);

} // namespace cli
