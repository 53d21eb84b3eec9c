// SPDX-License-Identifier: GPL-3.0-or-later
#include "ExchangeJudge.h"

#include <QNetworkReply>

namespace ExchangeJudge {
namespace {

using Ending = ExchangeFacts::Ending;
using ReusePolicy::Lesson;

QString unattributable(const ExchangeFacts& f)
{
    return QStringLiteral(
               "The web page answered \"%1 %2\" on the kept connection and then sent more than "
               "was asked for; which document that answer belongs to cannot be told, so this one stays")
        .arg(f.status)
        .arg(QString::fromLatin1(f.reason));
}

Verdict failure(Verdict v, long code, const QString& text)
{
    v.kind = Verdict::Kind::Failure;
    v.code = code;
    v.text = text;
    return v;
}

} // namespace

Verdict judge(const ExchangeFacts& f, const Circumstances& c)
{
    Verdict v;
    const bool http1 = !f.http2;
    const bool onKept = c.reuseAllowed && !f.newConnection;
    const bool answered =
        f.status >= 200 && (f.ending == Ending::Complete || f.ending == Ending::CutAtLimit ||
                            // A refusal that the page (or a proxy) broke off by closing is a
                            // refusal all the same; an accepting answer counts only when whole.
                            (f.ending == Ending::BrokenOff && f.status >= 300));

    // The station itself broke the request off before its body was out: the
    // page cannot have it whole, and nothing about the peer is learnt.
    if (f.bodyStopped)
        return failure(v, QNetworkReply::UnknownContentError, f.text);

    // What the connection showed. A kept connection the library found closed
    // when it came to use it: the peer let it go soon after its answer, or its
    // keep-alive time ran out, which teaches nothing.
    if (c.reuseAllowed && f.newConnection)
        v.lesson = c.idleMs < ReusePolicy::QuickCloseMs ? Lesson::Closes : Lesson::Nothing;
    else if (onKept && answered && http1)
        v.lesson = Lesson::Keeps;

    // Nothing of the body went out and nothing came back (a kept connection
    // found dead under the request, a connection reset before it was used):
    // the page cannot have the document, and it may go again, once. Only a
    // body the library never took counts: one it took may have reached the
    // page on a connection that died after, whatever it reports sent.
    const bool wentNowhere = f.uploaded == 0 && f.handed == 0 && f.status == 0 && f.interim == 0 &&
                             f.proxyStatus == 0 && f.bodySize > 0 &&
                             (f.resendRefused || onKept || f.ending == Ending::BrokenOff);
    if (!answered && wentNowhere && !c.retried) {
        v.kind = Verdict::Kind::Again;
        // Found dead this soon after its answer, it was let go right behind it.
        v.lesson = onKept && c.idleMs < ReusePolicy::QuickCloseMs ? Lesson::Closes : Lesson::Nothing;
        return v;
    }

    if (!f.delivered() && f.status >= 200 && f.status <= 299) {
        // What it said, it said of a document it had not seen whole. (A refusal
        // that comes early is a refusal all the same, and is shown as the answer.)
        return failure(v, QNetworkReply::RemoteHostClosedError,
                       QStringLiteral("The web page answered \"%1 %2\" before it had the whole document, so "
                                      "it cannot have filed it")
                           .arg(f.status)
                           .arg(QString::fromLatin1(f.reason)));
    }

    if (!answered) {
        v.delivered = f.delivered();
        if (f.resendRefused && onKept && c.multiplexed) {
            // libcurl words a stream the page refused as a connection that died:
            // neither says that the page lets its connections go.
            return failure(v, QNetworkReply::RemoteHostClosedError,
                           QStringLiteral("The web page ended the request on the kept HTTP/2 connection "
                                          "without answering"));
        }
        if (f.resendRefused && onKept) {
            v.lesson = Lesson::Closes;
            return failure(v, QNetworkReply::RemoteHostClosedError,
                           QStringLiteral("The server closed the kept connection without answering; the next "
                                          "files go to it on new connections for a while"));
        }
        if (f.resendRefused)
            return failure(v, QNetworkReply::RemoteHostClosedError,
                           QStringLiteral("The server closed the connection without answering"));
        if (onKept && http1 && (f.ending == Ending::NotHttp || f.ending == Ending::Malformed)) {
            // Bytes the page owed an earlier answer can cross the next request and
            // read as its answer. Each crossing may leave a filed document behind
            // to go again, so the first one ends this peer's kept connections.
            v.lesson = Lesson::Strays;
            v.doubt = true;
            return failure(
                v, QNetworkReply::ProtocolFailure,
                QStringLiteral("On the kept connection the web page sent bytes that are not an answer (%1); "
                               "they may be left over from an earlier document, so which document they "
                               "belong to cannot be told: this one stays, though the page may already have "
                               "it, and from now on each file goes to it on a new connection")
                    .arg(f.text));
        }
        if (f.interim > 0 && f.status == 0)
            return failure(
                v, QNetworkReply::ProtocolFailure,
                QStringLiteral("The web page sent %1 interim answers and no answer").arg(f.interim));
        if (f.ending == Ending::HeaderTooLarge)
            return failure(v, QNetworkReply::ProtocolFailure,
                           QStringLiteral("The web page sent an answer header too large to read"));
        const long code = f.ending == Ending::NotHttp || f.ending == Ending::Malformed
                              ? long(QNetworkReply::ProtocolFailure)
                              : f.code;
        return failure(v, code, f.text);
    }

    v.delivered = true;
    if (http1 && c.reuseAllowed && f.keptSocket < 0 && !f.closeAnnounced && !f.answeredEarly &&
        f.ending != Ending::CutAtLimit) {
        // libcurl lets a kept connection go after an answer only when more came
        // behind it: a second answer, or bytes nobody asked for. Which request the
        // first one belonged to cannot be told, so it files nothing.
        v.lesson = Lesson::Strays;
        v.doubt = true;
        return failure(v, QNetworkReply::ProtocolFailure, unattributable(f));
    }
    if (c.resetBehind) {
        // A page resets a connection when it closes it with bytes of ours
        // unread: it answered before it had the whole document.
        v.lesson = Lesson::Closes;
        v.delivered = false;
        return failure(v, QNetworkReply::RemoteHostClosedError,
                       QStringLiteral("The web page answered \"%1 %2\" and reset the connection: it answered "
                                      "before it had the whole document, so it cannot have filed it")
                           .arg(f.status)
                           .arg(QString::fromLatin1(f.reason)));
    }
    if (http1 && c.reuseAllowed && c.bytesBehind) {
        // More came behind the answer on the kept connection before it was
        // handed on: see above.
        v.lesson = Lesson::Strays;
        v.doubt = true;
        return failure(v, QNetworkReply::ProtocolFailure, unattributable(f));
    }
    // A close alone behind it leaves no answer over that this one could have
    // been taken for: the page lets its connections go after some answers
    // without saying so (after its Nth, say), and filed this document.
    if (c.closeBehind)
        v.lesson = Lesson::Closes;
    v.kind = Verdict::Kind::Answer;
    return v;
}

QByteArray standardReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return {};
    }
}

bool answeredByProxy(int status, bool viaProxy, bool https, bool forwarded, QByteArrayView server)
{
    if (!viaProxy)
        return false;
    if (status == 407)
        return true;
    if (status != 401 || https || forwarded)
        return false;
    const QByteArray product = server.toByteArray().toLower();
    for (const char* proxy : {"tinyproxy", "squid", "privoxy", "polipo", "ziproxy", "ccproxy", "wingate",
                              "ats/", "trafficserver", "3proxy", "proxy"})
        if (product.contains(proxy))
            return true;
    return false;
}

AnswerVerdict answerVerdict(int status, QByteArrayView body, bool cut, Answerer who)
{
    // An error page that happens to read "OK" has filed nothing; "OK" followed
    // by a NUL reads as "OK" on screen, so the two bytes themselves count.
    if (who == Answerer::Page && !cut && status >= 200 && status <= 299 && body == QByteArrayView("OK"))
        return AnswerVerdict::Filed;
    if (refusesTheDocument(status))
        return AnswerVerdict::RefusedItself;
    // A refused password or a login the page asks for is not mended by waiting.
    // A 407 is a proxy's word, whichever way the request went; a proxy that
    // answers 401 itself (tinyproxy does, to a tunnel as well) means the same.
    if (status == 407 || (who == Answerer::Proxy && status == 401))
        return AnswerVerdict::ProxyAuth;
    if (who == Answerer::Proxy)
        return AnswerVerdict::ProxyRefused;
    if (status == 401)
        return AnswerVerdict::LoginWanted;
    return AnswerVerdict::Stopped;
}

bool refusesTheDocument(int status)
{
    // 413: too large for the page; 415: of a type it does not take; 422: a
    // document it could not process. Each is said of this document, and the
    // next may be taken. Anything else (a wrong text, 4xx of the page's access
    // or address, 5xx, a proxy's 407, 408, 429) would meet the next one as well.
    return status == 413 || status == 415 || status == 422;
}

} // namespace ExchangeJudge
