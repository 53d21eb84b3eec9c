// SPDX-License-Identifier: GPL-3.0-or-later
// The request body of one document, read from its file piece by piece as the
// connection takes it: the multipart head, the file's bytes, the tail. The file
// is read once; its SHA-256 for filed.csv is taken from the same reads, and
// out.txt is copied from the file piece by piece as they go. Both on a thread
// of their own, while the connection takes the next piece: on the one thread,
// they cost as much again as the sending. The bytes that go must be one version of the file, and must not
// hold the boundary: either found, the request is broken off before its tail,
// so the page never has a whole request it could file.
#pragma once

#include "BodySource.h"
#include "Failure.h"
#include "FileStamp.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

class OutFile;
struct evp_md_ctx_st;

class DocumentBody : public BodySource
{
public:
    enum class Stop {
        None,
        HeldBoundary, ///< the document holds the boundary: it goes again around another
        Changed,      ///< the file changed (or could not be read) while it was sent
    };

    /// fd is the file opened and checked, st as it was then. outFile, when
    /// given, receives the copy; what goes wrong there is handed to outFileFailed
    /// once, and does not stop the request.
    DocumentBody(UniqueFd fd, const struct stat& st, QByteArray head, QByteArray boundary, QByteArray tail,
                 OutFile* outFile, std::function<void(const QString&)> outFileFailed);
    ~DocumentBody() override;
    DocumentBody(const DocumentBody&) = delete;
    DocumentBody& operator=(const DocumentBody&) = delete;

    qint64 size() const override { return m_head.size() + m_contentSize + m_tail.size(); }
    qint64 read(char* into, qint64 max) override;
    QString stopReason() const override { return m_stopReason; }

    Stop stopped() const { return m_stop; }
    /// Lets the file go: a filed document's blocks are freed once it is deleted.
    void close();
    qint64 contentSize() const { return m_contentSize; }
    /// The SHA-256 of the file's bytes, lower-case hex, once they have all gone
    /// (waits for the last pieces to be taken in); empty before.
    QByteArray sha256Hex();
    /// What went wrong with out.txt, once close() has let the file go; empty
    /// when nothing did.
    QString outFileFailure() const { return m_outFileFailure; }

    /// Pieces of the file are read at most this large, whatever the connection asks.
    static constexpr qint64 MaxPiece = 1024 * 1024;
    /// Pieces read and not yet taken in by the checksum and out.txt, at most:
    /// what the body may hold in memory.
    static constexpr std::size_t MaxWaiting = 16;

private:
    qint64 readContent(char* into, qint64 max);
    bool holdsBoundary(QByteArrayView piece);
    /// The file is still the version whose bytes went: nothing written, grown or shrunk.
    bool unchanged();
    qint64 stop(Stop why, const QString& reason);
    void outFileStep(const Outcome& step);

    // What the thread of the checksum and out.txt is handed, in order.
    struct Step
    {
        enum class Kind { Piece, End, Abandon } kind = Kind::Piece;
        qint64 at = 0;
        QByteArray bytes;
    };
    void hand(Step step);
    void work();
    /// Ends the thread once it has taken in what it was handed.
    void finishWork();

    UniqueFd m_fd;
    struct stat m_st;
    QByteArray m_head;
    QByteArray m_boundary;
    QByteArray m_tail;
    qint64 m_contentSize = 0;
    qint64 m_pos = 0;   ///< in the whole body
    QByteArray m_carry; ///< the last bytes of the content read, for a boundary across two pieces
    evp_md_ctx_st* m_hash = nullptr;
    QByteArray m_sha256;
    Stop m_stop = Stop::None;
    QString m_stopReason;
    OutFile* m_outFile = nullptr; ///< the thread's alone once it runs
    std::function<void(const QString&)> m_outFileFailed;
    QString m_outFileFailure; ///< the thread's until it has been joined
    std::thread m_worker;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Step> m_steps;
    bool m_ended = false; ///< its last step has been handed
};
