// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReusePolicy.h"

#include <algorithm>

namespace ReusePolicy {

Decision decide(const QString& peer, Habit habit, const Kept& kept)
{
    if (habit == Habit::Strays)
        return {false, 0, "the page has sent bytes out of turn on a kept connection"};
    if (habit == Habit::Closes)
        return {false, 0, "the peer lets its connections go right after their answers"};
    if (kept.peer.isEmpty() || kept.peer != peer)
        return {false, 0, "no connection of this peer is kept"};
    if (kept.stirred)
        return {false, 0, "the kept connection showed bytes or a close while idle"};
    if (kept.idleMs >= kept.safeIdleMs)
        return {false, 0, "the kept connection has been idle too long"};
    if (kept.multiplexed)
        return {true, 0, "HTTP/2: every answer belongs to its stream"};
    if (habit == Habit::Unknown) {
        const qint64 settle = std::clamp(kept.turnaroundMs, MinSettleMs, SettleMs) - kept.idleMs;
        return {true, std::max<qint64>(settle, 0), "first reuse: waits for a late close or stray bytes"};
    }
    return {true, 0, "the peer keeps its connections"};
}

Habit learn(Habit before, Lesson lesson)
{
    if (before == Habit::Strays)
        return before;
    switch (lesson) {
    case Lesson::Nothing:
        return before;
    case Lesson::Keeps:
        return before == Habit::Unknown ? Habit::Keeps : before;
    case Lesson::Closes:
        return Habit::Closes;
    case Lesson::Strays:
        return Habit::Strays;
    }
    return before;
}

qint64 safeIdleFor(qint64 serverIdleMs)
{
    // A second less, for the way there and timers that fire late; half of a
    // shorter time.
    const qint64 safe = serverIdleMs - std::min<qint64>(1000, serverIdleMs / 2);
    return std::clamp<qint64>(safe, 0, MaxSafeIdleMs);
}

bool mayBeACopiedAnswer(const Stir& stir)
{
    // Over TLS the bytes may be the server's close notice, which is no answer;
    // a 408, or bytes long after the last answer, tell of the server's own
    // time-out rather than of an answer written twice.
    return stir.bytes && !stir.tls && !stir.timeoutNotice && stir.afterMs < StrayWindowMs;
}

Lesson lessonOf(const Stir& stir)
{
    if (mayBeACopiedAnswer(stir))
        return Lesson::Strays;
    return stir.afterMs < QuickCloseMs ? Lesson::Closes : Lesson::Nothing;
}

} // namespace ReusePolicy
