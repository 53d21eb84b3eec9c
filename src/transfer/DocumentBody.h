// SPDX-License-Identifier: GPL-3.0-or-later
// The request body of one document, read from its file piece by piece as the
// connection takes it: the multipart head, the file's bytes, the tail. The file
// is read once; its SHA-256 for filed.csv is taken from the same reads, on a
// thread of its own while the connection takes the next piece: on the one
// thread, it costs as much again as the sending. out.txt is copied from the
// same open file once the request is done. The bytes that go must be one
// version of the file, and must not hold the boundary: either found, the
// request is broken off before its tail, so the page never has a whole request
// it could file.
#pragma once

#include "BodySource.h"
#include "Failure.h"
#include "FileStamp.h"
#include "OutFile.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

struct evp_md_ctx_st;

class DocumentBody : public BodySource
{
public:
    enum class Stop {
        None,
        HeldBoundary, ///< the document holds the boundary: it goes again around another
        Changed,      ///< the file changed (or could not be read) while it was sent
    };

    /// fd is the file opened and checked, st as it was then.
    DocumentBody(UniqueFd fd, const struct stat& st, QByteArray head, QByteArray boundary, QByteArray tail);
    ~DocumentBody() override;
    DocumentBody(const DocumentBody&) = delete;
    DocumentBody& operator=(const DocumentBody&) = delete;

    qint64 size() const override { return m_head.size() + m_contentSize + m_tail.size(); }
    qint64 read(char* into, qint64 max) override;
    QString stopReason() const override { return m_stopReason; }

    Stop stopped() const { return m_stop; }
    /// Hands over the file and what of the body went, for out.txt; empty when
    /// nothing went, or once handed. A filed document's blocks are freed once
    /// it is deleted and the copy has let it go.
    OutFile::Body close();
    qint64 contentSize() const { return m_contentSize; }
    /// The SHA-256 of the file's bytes, lower-case hex, once they have all gone
    /// (waits for the last pieces to be taken in); empty before.
    QByteArray sha256Hex();
    /// Pieces of the file are read at most this large, whatever the connection asks.
    static constexpr qint64 MaxPiece = 1024 * 1024;
    /// Pieces read and not yet taken in by the checksum, at most:
    /// what the body may hold in memory.
    static constexpr std::size_t MaxWaiting = 16;

private:
    /// The next bytes of one of head, content and tail.
    qint64 readSome(char* into, qint64 max);
    qint64 readContent(char* into, qint64 max);
    bool holdsBoundary(QByteArrayView piece);
    /// The file is still the version whose bytes went: nothing written, grown or shrunk.
    bool unchanged();
    qint64 stop(Stop why, const QString& reason);

    // What the thread of the checksum is handed, in order.
    struct Step
    {
        enum class Kind { Piece, End, Abandon } kind = Kind::Piece;
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
    qint64 m_pos = 0;    ///< in the whole body
    qint64 m_handed = 0; ///< of it, to the connection: what went
    QByteArray m_carry;  ///< the last bytes of the content read, for a boundary across two pieces
    evp_md_ctx_st* m_hash = nullptr;
    QByteArray m_sha256;
    Stop m_stop = Stop::None;
    QString m_stopReason;
    std::thread m_worker;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Step> m_steps;
    bool m_ended = false; ///< its last step has been handed
};
