// Whether the next body may go on the connection the last answer left open.
// The HTTP library checks a kept connection before it uses it again; what it
// cannot know is a peer's habits: one that lets every connection go a moment
// after its answer without saying so, or that sends bytes nobody asked for
// (a stray line break, an answer written twice) after an answer. On a kept
// connection such bytes would be read as the next document's answer. These
// functions hold that decision as data, without sockets.
#pragma once

#include <QString>
#include <QtGlobal>

namespace ReusePolicy {

enum class Habit { Unknown, Keeps, Closes };

/// A kept connection idle longer than this is not used for a body: servers drop
/// idle connections after a few seconds (Apache 5 s), and a close that crosses
/// the request would fail it.
inline constexpr qint64 KeepIdleMs = 2000;
/// The first reuse of a peer's connection waits until it has been idle as long as
/// the last answer took once the whole request was out, within these bounds: a
/// close or stray bytes sent right behind an answer show up by then.
inline constexpr qint64 MinSettleMs = 50;
inline constexpr qint64 SettleMs = 250;

/// What is known about the connection the last answer left open.
struct Kept
{
    QString peer;            ///< whose it is; empty when the last exchange left none open
    qint64 idleMs = 0;       ///< since that answer
    qint64 turnaroundMs = 0; ///< from the whole request being out to that answer
    bool stirred = false;    ///< bytes or an end of stream showed on it while idle
};

struct Decision
{
    bool reuse = false;  ///< the body may go on the kept connection
    qint64 settleMs = 0; ///< wait this long first
    const char* why = "";
};

Decision decide(const QString& peer, Habit habit, const Kept& kept);

/// What an exchange teaches about its peer.
/// triedReuse: it was allowed the kept connection; newConnection: it opened one
/// all the same (the library found the kept one closed); unansweredOnKept: the
/// kept connection ended under the request with no answer; stirred: bytes out of
/// turn showed on the kept connection, while idle or read as the answer.
Habit learn(Habit before, bool triedReuse, bool newConnection, bool stirred, bool unansweredOnKept);

} // namespace ReusePolicy
