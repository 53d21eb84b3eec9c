// SPDX-License-Identifier: GPL-3.0-or-later
#include "DiskSync.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

DiskSync::DiskSync(std::function<void()> done) : m_done(std::move(done)) {}

DiskSync::~DiskSync()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

quint64 DiskSync::request(int fd)
{
    quint64 ticket;
    {
        std::lock_guard lock(m_mutex);
        ticket = ++m_lastTicket;
        m_asked.emplace_back(ticket, fd);
        // Started with the first request: a station that never files needs no thread.
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
    }
    m_wake.notify_one();
    return ticket;
}

std::vector<DiskSync::Done> DiskSync::takeDone()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_results, {});
}

void DiskSync::waitFor(quint64 ticket)
{
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [&] { return m_finishedUpTo >= std::min(ticket, m_lastTicket); });
}

void DiskSync::waitAll()
{
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [this] { return m_finishedUpTo == m_lastTicket; });
}

void DiskSync::run()
{
    for (;;) {
        std::vector<std::pair<quint64, int>> batch;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_asked.empty(); });
            if (m_asked.empty())
                return;
            batch.swap(m_asked);
        }
        // One sync of a file covers every write made to it before the sync
        // began, through whichever descriptor; a file replaced meanwhile (the
        // record archived and begun anew) is another file and is synced too.
        int error = 0;
        std::set<std::pair<dev_t, ino_t>> synced;
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
            struct stat st;
            if (::fstat(it->second, &st) != 0) {
                error = errno;
                continue;
            }
            if (!synced.insert({st.st_dev, st.st_ino}).second)
                continue;
            while (::fdatasync(it->second) != 0) {
                if (errno != EINTR) {
                    error = errno;
                    break;
                }
            }
        }
        for (const auto& asked : batch)
            ::close(asked.second);
        {
            std::lock_guard lock(m_mutex);
            m_finishedUpTo = batch.back().first;
            m_results.push_back({m_finishedUpTo, error});
        }
        m_finished.notify_all();
        if (m_done)
            m_done();
    }
}
