// SPDX-License-Identifier: GPL-3.0-or-later
// Runs an outside program from one command line and waits for it.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace RunExe {

/// Splits a command line into the program and its arguments. Tokens are
/// separated by blanks (spaces and tabs); a token in double quotes is kept whole,
/// blanks included, and inside quotes a backslash followed by a double quote
/// stands for a double quote and two backslashes for one backslash; any other
/// backslash is itself. Outside quotes a backslash is an ordinary character, and
/// a quoted stretch may join the characters around it into one token (a"b c"d is
/// the one token ab cd). Nothing else is special: $, ;, backquotes, *, $(...) and
/// the like reach the program as written. Returns nothing for a line that
/// cannot be split (an unclosed quote, no program, an empty program name).
///
/// To pass any text safely, quote every token with QuoteArgument and join them
/// with one space: the file name  my "best" scan\  is written  "my \"best\" scan\\".
std::optional<QStringList> SplitCommandLine(const QString& commandLine);

/// Writes one argument so that SplitCommandLine gives it back unchanged: always
/// enclosed in double quotes, with \" for a quote and \\ for a backslash inside.
QString QuoteArgument(const QString& argument);

/// Starts the program directly (never through a shell) with the caller's
/// environment and current directory, waits without a time limit and returns
/// its exit code; -1 at once when nothing could be started, and -1 when the
/// program was ended by a signal.
///
/// The program ends with this program (it is sent SIGTERM should this one
/// die first; the system ties that to the calling thread, so the caller is a
/// thread that lives as long as the program, the main thread). What it writes on standard error is passed on
/// to this program's standard error as it comes.
int RunAndWait(const QString& commandLine);
/// Same; lastErrorLine receives the last line the program wrote on standard
/// error that is not blank (or why it could not be started), empty when none.
int RunAndWait(const QString& commandLine, QString* lastErrorLine);
/// Same, but the program may take at most `limit`: past it, the program and
/// every process it started are sent SIGTERM, and SIGKILL should any of them
/// still run a moment later (at most two seconds); the call then returns -1
/// with *overran set. The program runs in a process group of its own for that.
int RunAndWait(const QString& commandLine, QString* lastErrorLine, std::chrono::milliseconds limit,
               bool* overran);

} // namespace RunExe
