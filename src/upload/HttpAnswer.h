// Reads one HTTP/1.x answer from the bytes a connection delivers, in whatever
// pieces they come: the status line (interim 1xx answers passed over), the
// headers, and the body by its framing (a length, chunks, or up to the close).
// Knows nothing of sockets; whatever the bytes, it ends complete or broken.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class HttpAnswerReader
{
public:
    struct Answer
    {
        int status = 0;
        QByteArray reason;
        QByteArray body;
        bool truncated = false; ///< the body was longer than the limit and is cut there
        bool keep = false;      ///< the connection may carry another request
    };
    enum class State { Reading, Complete, Broken };

    /// bodyExpected: false for the answer to a HEAD request, which has none.
    HttpAnswerReader(qint64 maxBodyBytes, bool bodyExpected);

    /// Takes the next bytes. Bytes that come once the answer is complete are
    /// surplus: the connection carries something nobody asked for.
    State feed(QByteArrayView data);
    /// The peer has closed the connection: an answer that runs until the close
    /// is complete; any other unfinished one is broken.
    State close();

    State state() const { return m_state; }
    /// A byte of the answer has come.
    bool begun() const { return m_begun; }
    const Answer& answer() const { return m_answer; }
    bool surplus() const { return m_surplus; }
    /// Why the answer is broken.
    const QString& error() const { return m_error; }

    /// Status lines and headers longer than this are no answer of a web page.
    static constexpr qint64 MaxHeadBytes = 64 * 1024;

private:
    enum class Part { StatusLine, Headers, Fixed, ChunkSize, ChunkData, ChunkEnd, Trailers, UntilClose };

    bool takeLine(QByteArray& line);
    void parse();
    void startBody();
    void appendBody(const char* data, qint64 size);
    void complete();
    void broken(const QString& why);

    const qint64 m_maxBody;
    const bool m_bodyExpected;
    State m_state = State::Reading;
    Part m_part = Part::StatusLine;
    QByteArray m_in;          // come in and not parsed yet
    qint64 m_headBytes = 0;   // of status lines and headers so far, interim answers included
    qint64 m_left = 0;        // of the fixed body or the current chunk
    bool m_begun = false;
    bool m_surplus = false;
    bool m_http11 = false;
    bool m_closeAsked = false;
    QByteArray m_transferEncoding;
    QByteArray m_contentLength;
    bool m_lengthConflict = false;
    Answer m_answer;
    QString m_error;
};
