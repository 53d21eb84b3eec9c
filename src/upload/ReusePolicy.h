// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the next body may go on the connection the last answer left open.
// The HTTP library checks a kept connection before it uses it again; what it
// cannot know is a peer's habits: one that lets every connection go a moment
// after its answer without saying so, or that sends bytes nobody asked for
// (a stray line break, an answer written twice) after an answer. On a kept
// connection such bytes would be read as the next document's answer. And every
// server lets a connection go once it has idled past its own keep-alive time,
// which is its habit, not a fault. These functions hold that decision as
// data, without sockets or clocks.
#pragma once

#include <QString>
#include <QtGlobal>

namespace ReusePolicy {

enum class Habit {
    Unknown,
    Keeps,  ///< its kept connections have carried bodies
    Closes, ///< it let connections go right after their answers; tried again after a while
    Strays, ///< it sent bytes out of turn on plain http: never trusted with a kept connection again
};

/// What one exchange, or what showed on an idle connection, teaches.
enum class Lesson { Nothing, Keeps, Closes, Strays };

/// A kept connection idle longer than this is not used for a body when the
/// server has not said how long it keeps one: the shortest stock keep-alive
/// time (gunicorn's 2 s), less a margin for the way there.
inline constexpr qint64 DefaultSafeIdleMs = 1500;
/// However long a server says it keeps a connection.
inline constexpr qint64 MaxSafeIdleMs = 60000;
/// A close or bytes this soon after an answer are the peer's way with every
/// connection, not a keep-alive time running out.
inline constexpr qint64 QuickCloseMs = 300;
/// A peer that let connections go right after their answers is given a kept
/// connection again this long after: a proxy or page restarted meanwhile may
/// keep them now, and trying costs one wait.
inline constexpr qint64 ForgetClosesMs = 60000;
/// Bytes on an idle plain-http connection this soon after its last answer may
/// be a copy of an answer; later ones are rather the server's own time-out notice.
inline constexpr qint64 StrayWindowMs = 2000;
/// The first reuse of a peer's connection waits until it has been idle as long as
/// the last answer took once the whole request was out, within these bounds: a
/// close or stray bytes sent right behind an answer show up by then.
inline constexpr qint64 MinSettleMs = 50;
inline constexpr qint64 SettleMs = 250;

/// What is known about the connection the last answer left open.
struct Kept
{
    QString peer;                          ///< whose it is; empty when the last exchange left none open
    qint64 idleMs = 0;                     ///< since that answer
    qint64 turnaroundMs = 0;               ///< from the whole request being out to that answer
    bool stirred = false;                  ///< bytes or an end of stream showed on it while idle
    qint64 safeIdleMs = DefaultSafeIdleMs; ///< past this idle time it is not used
    bool multiplexed = false;              ///< HTTP/2: every answer belongs to its stream
};

struct Decision
{
    bool reuse = false;  ///< the body may go on the kept connection
    qint64 settleMs = 0; ///< wait this long first
    const char* why = "";
};

Decision decide(const QString& peer, Habit habit, const Kept& kept);

/// The habit after a lesson: bytes out of turn are never forgotten, a close
/// right behind answers outweighs having kept connections before.
Habit learn(Habit before, Lesson lesson);

/// How long a connection of a server that drops idle ones after serverIdleMs
/// (what its Keep-Alive header says, or what it showed) may idle and still be used.
qint64 safeIdleFor(qint64 serverIdleMs);

/// What showed on an idle kept connection.
struct Stir
{
    qint64 afterMs = 0;         ///< since the answer that left it open
    bool bytes = false;         ///< bytes (not only a close or a reset)
    bool tls = false;           ///< the connection is TLS: a close notice is bytes too
    bool timeoutNotice = false; ///< the bytes begin with a 408 status line
};
/// Whether the bytes may be a copy of an answer already handed on.
bool mayBeACopiedAnswer(const Stir& stir);
Lesson lessonOf(const Stir& stir);

} // namespace ReusePolicy
