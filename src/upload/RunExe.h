// Runs an outside program from one command line and waits for it.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace RunExe {

/// Splits a command line into the program and its arguments. Tokens are
/// separated by blanks; a token in double quotes is kept whole, blanks included,
/// and inside quotes a backslash followed by a double quote stands for a double
/// quote and two backslashes for one backslash. Returns nothing for a line that
/// cannot be split (an unclosed quote, no program).
std::optional<QStringList> SplitCommandLine(const QString& commandLine);

/// Writes one argument so that SplitCommandLine gives it back unchanged.
QString QuoteArgument(const QString& argument);

/// Starts the program directly (never through a shell) with the caller's
/// environment and current directory, waits without a time limit and returns
/// its exit code; -1 at once when nothing could be started, and -1 when the
/// program was ended by a signal.
int RunAndWait(const QString& commandLine);

} // namespace RunExe
