// SPDX-License-Identifier: GPL-3.0-or-later
// Files brought to the disk on a thread of their own, so that the wait for the
// disk runs beside the next request instead of before it. A document is deleted
// only once the row that records its filing is on the disk; the thread lets the
// next document go out meanwhile, and one sync covers every row written before
// it began, so a fast page's rows are synced together.
#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class DiskSync
{
public:
    /// done is called on the sync thread after each sync, to wake the owner's.
    explicit DiskSync(std::function<void()> done);
    /// Finishes what was asked (a row asked for is a row on the disk), then ends the thread.
    ~DiskSync();
    DiskSync(const DiskSync&) = delete;
    DiskSync& operator=(const DiskSync&) = delete;

    /// Asks for the data of fd's file to reach the disk; fd is closed after.
    /// Returns the request's ticket, counted from 1.
    quint64 request(int fd);

    struct Done
    {
        quint64 upTo = 0; ///< every request with this ticket or lower
        int error = 0;    ///< errno of a sync that failed, 0 when all reached the disk
    };
    /// The syncs finished since the last call, oldest first.
    std::vector<Done> takeDone();
    /// Blocks until the request with this ticket is finished.
    void waitFor(quint64 ticket);
    /// Blocks until every request made so far is finished.
    void waitAll();

private:
    void run();

    std::function<void()> m_done;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    std::vector<std::pair<quint64, int>> m_asked;
    std::vector<Done> m_results;
    quint64 m_lastTicket = 0;
    quint64 m_finishedUpTo = 0;
    bool m_stop = false;
    std::thread m_thread;
};
