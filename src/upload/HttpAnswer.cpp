#include "HttpAnswer.h"

#include <QList>

namespace {

bool hasToken(const QByteArray& list, const QByteArray& token)
{
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

HttpAnswerReader::HttpAnswerReader(qint64 maxBodyBytes, bool bodyExpected)
    : m_maxBody(maxBodyBytes), m_bodyExpected(bodyExpected)
{
}

HttpAnswerReader::State HttpAnswerReader::feed(QByteArrayView data)
{
    if (data.isEmpty())
        return m_state;
    m_begun = true;
    if (m_state != State::Reading) {
        m_surplus = m_surplus || m_state == State::Complete;
        return m_state;
    }
    m_in.append(data);
    parse();
    return m_state;
}

HttpAnswerReader::State HttpAnswerReader::close()
{
    if (m_state != State::Reading)
        return m_state;
    if (m_part == Part::UntilClose) {
        m_answer.keep = false;
        complete();
    } else {
        broken(m_begun ? QStringLiteral("The server closed the connection in the middle of its answer")
                       : QStringLiteral("The server closed the connection without answering"));
    }
    return m_state;
}

bool HttpAnswerReader::takeLine(QByteArray& line)
{
    const qsizetype end = m_in.indexOf('\n');
    if (end < 0) {
        if (m_part != Part::ChunkEnd && m_part != Part::ChunkSize && m_headBytes + m_in.size() > MaxHeadBytes)
            broken(QStringLiteral("The server's answer has headers longer than %1 bytes").arg(MaxHeadBytes));
        else if (m_in.size() > MaxHeadBytes)
            broken(QStringLiteral("The server's answer has a line longer than %1 bytes").arg(MaxHeadBytes));
        return false;
    }
    line = m_in.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    m_in.remove(0, end + 1);
    return true;
}

void HttpAnswerReader::parse()
{
    QByteArray line;
    while (m_state == State::Reading) {
        switch (m_part) {
        case Part::StatusLine: {
            if (!takeLine(line))
                return;
            m_headBytes += line.size() + 2;
            // "HTTP/1.1 200 OK"
            const bool shaped = line.size() >= 12 && line.startsWith("HTTP/1.") && line[8] == ' ' &&
                                (line.size() == 12 || line[12] == ' ');
            bool number = false;
            const int status = shaped ? line.mid(9, 3).toInt(&number) : 0;
            if (!number || status < 100 || status > 999)
                return broken(QStringLiteral("The server's answer is not HTTP"));
            m_http11 = line[7] != '0';
            m_answer.status = status;
            m_answer.reason = line.mid(13).trimmed();
            m_closeAsked = false;
            m_transferEncoding.clear();
            m_contentLength.clear();
            m_lengthConflict = false;
            m_part = Part::Headers;
            break;
        }
        case Part::Headers: {
            if (!takeLine(line))
                return;
            m_headBytes += line.size() + 2;
            if (m_headBytes > MaxHeadBytes)
                return broken(QStringLiteral("The server's answer has headers longer than %1 bytes").arg(MaxHeadBytes));
            if (!line.isEmpty()) {
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue; // a folded or broken line: nothing needed here is in it
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name == "connection" && hasToken(value, "close")) {
                    m_closeAsked = true;
                } else if (name == "transfer-encoding") {
                    m_transferEncoding += (m_transferEncoding.isEmpty() ? "" : ",") + value;
                } else if (name == "content-length") {
                    if (!m_contentLength.isEmpty() && m_contentLength != value)
                        m_lengthConflict = true;
                    m_contentLength = value;
                }
                continue;
            }
            // An interim answer (100 Continue and the like) is followed by the real one.
            if (m_answer.status < 200 && m_answer.status != 101) {
                m_part = Part::StatusLine;
                continue;
            }
            startBody();
            break;
        }
        case Part::Fixed:
        case Part::ChunkData: {
            const qint64 n = qMin<qint64>(m_left, m_in.size());
            if (n == 0 && m_left > 0)
                return;
            appendBody(m_in.constData(), n);
            m_in.remove(0, n);
            m_left -= n;
            if (m_state != State::Reading || m_left > 0)
                return;
            if (m_part == Part::Fixed)
                return complete();
            m_part = Part::ChunkEnd;
            break;
        }
        case Part::ChunkSize: {
            if (!takeLine(line))
                return;
            const qsizetype extension = line.indexOf(';');
            const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
            bool ok = !digits.isEmpty() && digits.size() <= 15;
            const qint64 size = ok ? digits.toLongLong(&ok, 16) : 0;
            if (!ok || size < 0)
                return broken(QStringLiteral("The server's answer has a broken chunk"));
            m_left = size;
            m_part = size == 0 ? Part::Trailers : Part::ChunkData;
            break;
        }
        case Part::ChunkEnd:
            if (!takeLine(line))
                return;
            if (!line.isEmpty())
                return broken(QStringLiteral("The server's answer has a broken chunk"));
            m_part = Part::ChunkSize;
            break;
        case Part::Trailers:
            if (!takeLine(line))
                return;
            m_headBytes += line.size() + 2;
            if (m_headBytes > MaxHeadBytes)
                return broken(QStringLiteral("The server's answer has headers longer than %1 bytes").arg(MaxHeadBytes));
            if (line.isEmpty())
                return complete();
            break;
        case Part::UntilClose:
            appendBody(m_in.constData(), m_in.size());
            m_in.clear();
            return;
        }
    }
}

void HttpAnswerReader::startBody()
{
    m_answer.keep = m_http11 && !m_closeAsked;
    if (!m_bodyExpected || m_answer.status == 204 || m_answer.status == 304)
        return complete();
    if (!m_transferEncoding.isEmpty()) {
        if (m_transferEncoding.split(',').last().trimmed().compare("chunked", Qt::CaseInsensitive) == 0) {
            m_part = Part::ChunkSize;
        } else {
            m_answer.keep = false;
            m_part = Part::UntilClose;
        }
        return;
    }
    if (!m_contentLength.isEmpty()) {
        bool ok = !m_lengthConflict;
        const qint64 length = ok ? m_contentLength.toLongLong(&ok) : -1;
        if (!ok || length < 0)
            return broken(QStringLiteral("The server's answer has an invalid Content-Length"));
        m_left = length;
        m_part = Part::Fixed;
        if (length == 0)
            complete();
        return;
    }
    // Neither length nor chunks: the body ends where the server closes.
    m_answer.keep = false;
    m_part = Part::UntilClose;
}

void HttpAnswerReader::appendBody(const char* data, qint64 size)
{
    const qint64 room = m_maxBody - m_answer.body.size();
    if (size <= room) {
        m_answer.body.append(data, size);
        return;
    }
    // Enough of it: the rest is not read at all, and the connection goes with it.
    m_answer.body.append(data, room);
    m_answer.truncated = true;
    m_answer.keep = false;
    complete();
}

void HttpAnswerReader::complete()
{
    m_state = State::Complete;
    // Bytes behind the answer that it did not declare (a cut answer leaves the rest unread).
    if (!m_in.isEmpty() && !m_answer.truncated)
        m_surplus = true;
    m_in.clear();
}

void HttpAnswerReader::broken(const QString& why)
{
    m_state = State::Broken;
    m_error = why;
    m_in.clear();
}
