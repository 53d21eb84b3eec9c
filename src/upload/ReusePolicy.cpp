#include "ReusePolicy.h"

#include <algorithm>

namespace ReusePolicy {

Decision decide(const QString& peer, Habit habit, const Kept& kept)
{
    if (habit == Habit::Closes)
        return {false, 0, "the peer closes kept connections or sends bytes out of turn"};
    if (kept.peer.isEmpty() || kept.peer != peer)
        return {false, 0, "no connection of this peer is kept"};
    if (kept.stirred)
        return {false, 0, "the kept connection showed bytes or a close while idle"};
    if (kept.idleMs >= KeepIdleMs)
        return {false, 0, "the kept connection has been idle too long"};
    if (habit == Habit::Unknown) {
        const qint64 settle = std::clamp(kept.turnaroundMs, MinSettleMs, SettleMs) - kept.idleMs;
        return {true, std::max<qint64>(settle, 0), "first reuse: waits for a late close or stray bytes"};
    }
    return {true, 0, "the peer keeps its connections"};
}

Habit learn(Habit before, bool triedReuse, bool newConnection, bool stirred, bool unansweredOnKept)
{
    if (stirred || unansweredOnKept || (triedReuse && newConnection))
        return Habit::Closes;
    if (triedReuse && before == Habit::Unknown)
        return Habit::Keeps;
    return before;
}

} // namespace ReusePolicy
