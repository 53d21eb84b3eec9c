// SPDX-License-Identifier: GPL-3.0-or-later
// What one exchange with the page came to, decided from what the carrier saw.
// The carrier reports facts (bytes sent and received, how the exchange ended,
// whether its connection was an old one and stays open); this function alone
// turns them into the verdict: an answer to hand on, a failure to report, or a
// request that went nowhere and may go again; and what the exchange teaches
// about the peer. Data in, data out: no sockets, no clocks.
#pragma once

#include "ReusePolicy.h"

#include <QByteArray>
#include <QString>

/// What the carrier saw of one exchange.
struct ExchangeFacts
{
    enum class Ending {
        Complete,       ///< the answer was read to its end
        CutAtLimit,     ///< the answer was longer than the limit; the rest was not read
        BrokenOff,      ///< the connection failed or was closed under the exchange
        NoConnection,   ///< none could be made, or the carrier refused a second one
        NotHttp,        ///< bytes came that are not an HTTP answer
        Malformed,      ///< an answer whose framing cannot be trusted (why in text)
        HeaderTooLarge, ///< an answer header too large to read
        Other,          ///< anything else the library reports (text says what)
    };
    Ending ending = Ending::Other;
    int status = 0;  ///< the final answer's status (200 or more); 0 when none came
    int interim = 0; ///< interim (1xx) answers before it, or instead of it
    QByteArray reason;
    QByteArray location;
    QByteArray body;
    qint64 bodySize = 0; ///< of the request
    qint64 uploaded = 0; ///< body bytes the library reported sent, the most over its connections
    /// Body bytes the library took to send, over every connection it tried:
    /// what it reports sent starts again from 0 when it tries a second
    /// connection, though the first may have carried the whole body.
    qint64 handed = 0;
    bool newConnection = false;  ///< the exchange opened a connection
    bool http2 = false;          ///< it went as HTTP/2, where each answer belongs to its stream
    int keptSocket = -1;         ///< the connection left open for the next exchange, or -1
    bool closeAnnounced = false; ///< the answer said that its connection ends with it
    int keepAliveSecs = 0;       ///< the answer's "Keep-Alive: timeout=N"; 0: none given
    bool resendRefused = false;  ///< the connection died and the library's second try was refused
    long code = 0;               ///< a failure, as a QNetworkReply::NetworkError number
    QString text;                ///< the library's description of a failure
    int proxyStatus = 0;         ///< what the proxy answered a CONNECT, if it did not let it through
    /// The answer carries a Via line: a proxy passed it on from the page. A
    /// proxy's own answer (its refusal of the credentials) carries none.
    bool forwarded = false;
    QByteArray server;        ///< the answer's Server line: which program wrote it
    bool bodyStopped = false; ///< the body's source broke the request off (why in text)
    /// The answer was whole before the body had all gone out; the connection
    /// went with the rest of the body.
    bool answeredEarly = false;

    bool delivered() const { return uploaded >= bodySize; }
};

namespace ExchangeJudge {

/// What the control knew of the exchange besides the carrier's facts.
struct Circumstances
{
    ReusePolicy::Habit habit = ReusePolicy::Habit::Unknown; ///< of the peer, before the exchange
    bool reuseAllowed = false; ///< it was let go on the connection an earlier answer left open
    bool multiplexed = false;  ///< that connection was HTTP/2
    qint64 idleMs = 0;         ///< how long that connection had been idle then
    bool retried = false;      ///< this is already the second attempt
    /// Bytes came on the connection behind the answer before it was handed on.
    bool bytesBehind = false;
    /// The page closed (closeBehind) or reset (resetBehind) the connection right
    /// behind its answer before it was handed on.
    bool closeBehind = false;
    bool resetBehind = false;
};

struct Verdict
{
    enum class Kind {
        Answer,  ///< the page's answer to this request
        Failure, ///< no answer that can be taken for this request
        Again,   ///< nothing of it went out and nothing came back: send it once more, on a new connection
    };
    Kind kind = Kind::Failure;
    bool delivered = false; ///< the page may have the whole document
    long code = 0;          ///< of a failure
    QString text;           ///< of a failure
    ReusePolicy::Lesson lesson = ReusePolicy::Lesson::Nothing;
    /// The answers taken on the kept connection may have belonged to other requests.
    bool doubt = false;
};

Verdict judge(const ExchangeFacts& facts, const Circumstances& circumstances);

/// The text shown for a status that came without one (HTTP/2 has none).
QByteArray standardReason(int status);

/// Whether an answer that came through a proxy is the proxy's own: a 407, or
/// over plain http a 401 that no Via line marks as passed on and whose Server
/// line names a proxy (tinyproxy refuses wrong credentials so; a page's 401
/// bears the page's own Server line). Inside an https tunnel every answer is
/// the page's.
bool answeredByProxy(int status, bool viaProxy, bool https, bool forwarded, QByteArrayView server);

/// Who wrote an answer: the page, or the proxy on the way (answeredByProxy).
enum class Answerer { Page, Proxy };

/// What an answer means for the document it answers, and for the ones after it.
enum class AnswerVerdict {
    Filed,         ///< exactly "OK", whole, with a 2xx status, from the page: filed
    RefusedItself, ///< refused for what this document is: the next one may be taken
    ProxyAuth,     ///< 407 (whoever passed it on), or the proxy's own 401: it wants other credentials
    ProxyRefused,  ///< any other answer of the proxy's own (its 403, say)
    LoginWanted,   ///< the page's 401: it wants a login
    Stopped,       ///< anything else would meet the next document as well
};

/// The one verdict on an answer: the carrier's answer to a CONNECT (body
/// empty) and the page's or the proxy's answer to the request alike. cut: the
/// body was longer than the limit and is not whole.
AnswerVerdict answerVerdict(int status, QByteArrayView body, bool cut, Answerer who);

/// An answer that refuses this document and would not refuse the next.
bool refusesTheDocument(int status);

} // namespace ExchangeJudge
