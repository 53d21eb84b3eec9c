// SPDX-License-Identifier: GPL-3.0-or-later
// out.txt: a copy of the last request body, for looking at what was sent. It is
// document content, so it lives in the private data folder, and it is only ever
// a regular file of the user's: anyone who could put a FIFO or a device there
// must not hold the window in open() or receive the documents.
//
// The copy is made once the request is done, from the document's own file,
// still open, on a thread of its own: on most file systems copying a big
// document takes longer than sending it, and the page has it, and the file is
// deleted, without waiting for a copy that is only for looking at. The copy of
// one body is given up once the next request has gone: it is the last body
// out.txt holds. A quit or a stop during a copy leaves out.txt short.
#pragma once

#include "Failure.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

#include <sys/stat.h>

class OutFile
{
public:
    /// What went of one request body: its head, the first `content` bytes of
    /// the document (read from `from`, as it was when it went: st), and its tail
    /// when the body went whole.
    struct Body
    {
        UniqueFd from;
        struct stat st
        {
        };
        QByteArray head;
        qint64 content = 0;
        QByteArray tail; ///< empty: the body was broken off before its tail
    };

    explicit OutFile(QString path = defaultPath());
    ~OutFile();
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;
    static QString defaultPath();
    const QString& path() const { return m_path; }

    /// Rewrites the copy with body (and CR LF after a whole one) on a thread of
    /// its own, once out.txt is open; the file is let go when it is done. What
    /// goes wrong after the open is handed to failed, on that thread, and
    /// leaves out.txt empty. A copy still being made is given up first. A body
    /// whose file is not open (nothing of it went) leaves out.txt, and a copy
    /// still being made, as they are.
    Outcome copyLater(Body body, std::function<void(const QString&)> failed);
    /// Gives up the copy being made, if any: the next request's body replaces it.
    void cancel();
    /// Waits for the copy being made.
    void settle();

    /// What the thread copies at a time: its point to give up at, which the
    /// window waits for.
    static constexpr qint64 Chunk = 1024 * 1024;

private:
    Outcome copy(const Body& body);
    Outcome copyContent(int from, qint64 length);
    Outcome put(QByteArrayView bytes);
    Outcome open();
    /// "Cannot write out.txt: reason".
    Outcome cannotWrite(int error, const QString& reason);

    QString m_path;
    // The thread's alone while it runs; the caller's once it has been joined.
    UniqueFd m_fd;
    qint64 m_size = 0;    ///< of the file held, when last looked at
    qint64 m_written = 0; ///< of the copy being written
    std::thread m_job;
    std::atomic<bool> m_giveUp{false};
};
