// SPDX-License-Identifier: GPL-3.0-or-later
#include "DocumentBody.h"

#include "FileGate.h"
#include "TransferLogging.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

DocumentBody::DocumentBody(UniqueFd fd, const struct stat& st, QByteArray head, QByteArray boundary,
                           QByteArray tail)
    : m_fd(std::move(fd)), m_st(st), m_head(std::move(head)), m_boundary(std::move(boundary)),
      m_tail(std::move(tail)), m_contentSize(st.st_size), m_hash(EVP_MD_CTX_new())
{
    if (!m_hash || EVP_DigestInit_ex(m_hash, EVP_sha256(), nullptr) != 1)
        qFatal("OpenSSL could not set up SHA-256");
    // The file is read front to back: the system may read further ahead.
    ::posix_fadvise(m_fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

DocumentBody::~DocumentBody()
{
    finishWork();
    EVP_MD_CTX_free(m_hash);
}

OutFile::Body DocumentBody::close()
{
    finishWork();
    OutFile::Body went;
    if (m_handed == 0 || m_fd.get() < 0) {
        m_fd.reset();
        return went;
    }
    went.st = m_st;
    went.head = m_head;
    went.content = qBound(qint64(0), m_handed - m_head.size(), m_contentSize);
    // The tail goes out with the checks before it: any byte of it went, it began.
    if (m_handed > m_head.size() + m_contentSize)
        went.tail = m_tail;
    went.from = std::move(m_fd);
    return went;
}

QByteArray DocumentBody::sha256Hex()
{
    finishWork();
    return m_sha256;
}

void DocumentBody::hand(Step step)
{
    if (!m_worker.joinable())
        m_worker = std::thread(&DocumentBody::work, this);
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_steps.size() < MaxWaiting; });
    m_steps.push_back(std::move(step));
    lock.unlock();
    m_changed.notify_all();
}

void DocumentBody::finishWork()
{
    if (!m_worker.joinable())
        return;
    if (!m_ended)
        hand({Step::Kind::Abandon, {}});
    m_ended = true;
    m_worker.join();
}

void DocumentBody::work()
{
    for (;;) {
        Step step;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return !m_steps.empty(); });
            step = std::move(m_steps.front());
            m_steps.pop_front();
        }
        m_changed.notify_all();
        switch (step.kind) {
        case Step::Kind::Piece:
            EVP_DigestUpdate(m_hash, step.bytes.constData(), size_t(step.bytes.size()));
            break;
        case Step::Kind::End: {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(m_hash, digest, &length);
            m_sha256 = QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length)).toHex();
            return;
        }
        case Step::Kind::Abandon:
            return;
        }
    }
}

qint64 DocumentBody::stop(Stop why, const QString& reason)
{
    m_stop = why;
    m_stopReason = reason;
    qCDebug(lcTransfer) << "request broken off:" << reason;
    return -1;
}

qint64 DocumentBody::read(char* into, qint64 max)
{
    // As much as the connection asks for, across head, content and tail: a
    // small document then goes in one write after the request's headers. A
    // proxy that answers before it reads the body and hangs up (tinyproxy
    // refusing a password) resets a connection that is still writing, and
    // its answer is lost with it.
    qint64 done = 0;
    while (done < max) {
        const qint64 n = readSome(into + done, max - done);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    m_handed += done;
    return done;
}

qint64 DocumentBody::readSome(char* into, qint64 max)
{
    if (m_stop != Stop::None)
        return -1;
    const qint64 headSize = m_head.size();
    const qint64 contentEnd = headSize + m_contentSize;
    if (m_pos < headSize) {
        const qint64 n = qMin(max, headSize - m_pos);
        std::memcpy(into, m_head.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    if (m_pos < contentEnd)
        return readContent(into, max);
    if (m_pos == contentEnd && !m_ended) {
        // The tail makes the request whole; only the version that was sent may have one.
        if (!unchanged())
            return -1;
        hand({Step::Kind::End, {}});
        m_ended = true;
    }
    const qint64 tailAt = m_pos - contentEnd;
    const qint64 n = qMin(max, m_tail.size() - tailAt);
    if (n <= 0)
        return 0;
    std::memcpy(into, m_tail.constData() + tailAt, size_t(n));
    m_pos += n;
    return n;
}

qint64 DocumentBody::readContent(char* into, qint64 max)
{
    const qint64 at = m_pos - m_head.size();
    const qint64 want = qMin(qMin(max, MaxPiece), m_contentSize - at);
    ssize_t n;
    do
        n = ::pread(m_fd.get(), into, size_t(want), off_t(at));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return stop(Stop::Changed, QStringLiteral("could not be read while it was sent (%1)")
                                       .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (n == 0)
        return stop(Stop::Changed, QStringLiteral("became shorter while it was sent"));
    const QByteArrayView piece(into, qsizetype(n));
    // Checked before the piece goes: the page must never see the whole boundary
    // line inside the document, or it ends the part there and may file the
    // document cut short.
    if (holdsBoundary(piece))
        return stop(Stop::HeldBoundary,
                    QStringLiteral("the document holds the boundary %1: it goes again around a longer one")
                        .arg(QString::fromLatin1(m_boundary)));
    // A copy of the bytes that go, for the checksum: a second read of the file
    // could find other bytes.
    hand({Step::Kind::Piece, piece.toByteArray()});
    m_pos += n;
    return n;
}

bool DocumentBody::holdsBoundary(QByteArrayView piece)
{
    const qsizetype keep = m_boundary.size() - 1;
    const auto in = [this](QByteArrayView bytes) {
        return bytes.size() >= m_boundary.size() &&
               ::memmem(bytes.data(), size_t(bytes.size()), m_boundary.constData(),
                        size_t(m_boundary.size())) != nullptr;
    };
    // Across the join with the piece before, then within this one.
    const QByteArray join = m_carry + piece.first(qMin(piece.size(), keep)).toByteArray();
    if (in(join) || in(piece))
        return true;
    m_carry =
        piece.size() >= keep ? piece.last(keep).toByteArray() : (m_carry + piece.toByteArray()).right(keep);
    return false;
}

bool DocumentBody::unchanged()
{
    // A writer that came and went while the file was read has changed its time
    // or its size; one still at it holds it open. Either way the bytes sent may
    // mix two versions, and the request must not be made whole.
    struct stat now;
    if (::fstat(m_fd.get(), &now) != 0 || now.st_size != m_st.st_size ||
        timespecNs(now.st_mtim) != timespecNs(m_st.st_mtim) ||
        timespecNs(now.st_ctim) != timespecNs(m_st.st_ctim)) {
        stop(Stop::Changed, QStringLiteral("changed while it was sent"));
        return false;
    }
    if (FileGate::openForWritingNow(m_fd.get())) {
        stop(Stop::Changed, QStringLiteral("opened for writing while it was sent"));
        return false;
    }
    return true;
}
