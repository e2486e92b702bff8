#pragma once

#include <QList>
#include <QString>

#include "cli/transferjob.h"

namespace cli {

class Output;
class TerminalProgress;

// An export: characters of one world into a package in a directory of its own.
struct ExportJob
{
    QString from;
    QString to;
    QList<TransferLine> characters; // source account (perhaps empty) and character
    bool json = false; // print the manifest instead of lines
};

// Writes the package of the characters, or nothing at all. Returns the exit status.
int exportCharacters(const ExportJob &job, Output &out, TerminalProgress &progress);

// When `dir` holds a package whose files differ from its manifest, says so and returns
// `status`; otherwise returns 0.
int refuseDamagedPackage(const QString &dir, int status, TerminalProgress &progress);

} // namespace cli
