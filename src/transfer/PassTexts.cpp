// SPDX-License-Identifier: GPL-3.0-or-later
#include "PassTexts.h"

#include "GeneralDate.h"

#include <QNetworkReply>
#include <QStringList>

namespace PassTexts {

namespace {
QString pagesFiledLine(qint32 pagesFiled)
{
    return QStringLiteral("----") + QString::number(pagesFiled) + QStringLiteral(" Pages Filed----");
}
QString notAgain(bool filed)
{
    return filed ? QStringLiteral("sent") : QStringLiteral("converted");
}
QString doneWith(bool filed)
{
    return filed ? QStringLiteral("was filed") : QStringLiteral("was converted");
}
} // namespace

QString stillExecuting(qint32 pagesFiled)
{
    return QStringLiteral("----Still Executing----\r\nWait a minute or two and press 'Force "
                          "Transfer' to continue uploading.\r\n") +
           pagesFiledLine(pagesFiled);
}

QString finished(qint32 pagesFiled)
{
    return QStringLiteral("----Finished Processing Scans----\r\n") + pagesFiledLine(pagesFiled);
}

QString uploading(const QString& entry)
{
    return QStringLiteral("Uploading ") + entry + QStringLiteral("... ");
}

QString skipping(const QString& entry)
{
    return QStringLiteral("Skipping ") + entry + QStringLiteral("... ");
}

QString heldBack(const QString& entry, const QString& why)
{
    return QStringLiteral("Held back ") + entry + QStringLiteral(": ") + why +
           QStringLiteral("; it goes in a later pass.");
}

QString nameNotText(const QString& entry)
{
    return QStringLiteral("Cannot send %1: its name is not valid text (UTF-8); rename the file to send it.")
        .arg(entry);
}

QString symbolicLink(const QString& entry)
{
    return QStringLiteral("Left alone %1: it is a symbolic link, and links are never followed; put "
                          "the file itself into the folder to send it.")
        .arg(entry);
}

QString doneBefore(const QString& path, bool filed)
{
    return QStringLiteral("Left alone %1: it %2 already but could not be deleted; delete it by hand.")
        .arg(path, doneWith(filed));
}

QString doneAndDeleted(const QString& path, bool filed)
{
    return QStringLiteral("%1 %2 already; it is deleted now, and not %3 again.")
        .arg(path, doneWith(filed), notAgain(filed));
}

QString cannotDelete(const QString& path, bool filed, const QString& why)
{
    return QStringLiteral("%1 %2 but cannot be deleted (%3). It is not %4 again while it stays as it "
                          "is; delete it by hand, or let Quillfeed's user delete files in its folder.")
        .arg(path, doneWith(filed), why, notAgain(filed));
}

QString leftoverNotStored(const QString& stored)
{
    return stored + QStringLiteral("; after a restart of Quillfeed it could be sent again.");
}

QString awaitingAnswer()
{
    return QStringLiteral("The last request has reached the web page; waiting for its answer.");
}

QString cancelled()
{
    return QStringLiteral("Cancelled last request.");
}

QString unreachable(long code, const QString& pageAt, const QString& host, const QString& proxy,
                    const QString& info)
{
    const QString page = QStringLiteral("the web page at ") + pageAt;
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
        return page + QStringLiteral(" could not be reached: nothing answers there");
    case QNetworkReply::HostNotFoundError:
        return page + QStringLiteral(" could not be reached: the name %1 is unknown").arg(host);
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("the proxy %1 could not be reached: nothing answers there").arg(proxy);
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("the proxy %1 could not be reached: its name is unknown").arg(proxy);
    case QNetworkReply::UnknownProxyError:
        return QStringLiteral("the proxy %1 did not pass the request on to %2").arg(proxy, page);
    case QNetworkReply::SslHandshakeFailedError:
        // Certificate problems are the common case, and the one an operator can act on.
        return info.contains(QLatin1String("certificate"), Qt::CaseInsensitive)
                   ? page + QStringLiteral(" refused the secure connection: its certificate is not one this "
                                           "computer trusts, or not made out for that name")
                   : page + QStringLiteral(" refused the secure connection");
    case QNetworkReply::RemoteHostClosedError:
        return page + QStringLiteral(" closed the connection without an answer");
    case QNetworkReply::ProtocolFailure:
        return page + QStringLiteral(" answered with something that is not an HTTP answer");
    default:
        return QStringLiteral("no answer from the web page");
    }
}

QString reachedThePage(const QString& why, const QString& info, const QString& entry)
{
    return QStringLiteral("Transfer failed: %1 (%2), after the whole of %3 reached the web page, which may "
                          "already have filed it. Check the page: if it has %3, delete it here; if not, "
                          "the next pass sends it.")
        .arg(why, info, entry);
}

QString proxyRefusedConnect(const QString& info, const QString& entry)
{
    return QStringLiteral("Transfer failed: the proxy refused the user name and password in "
                          "Setup (%1); %2 stays in the folder.")
        .arg(info, entry);
}

QString noAnswer(const QString& why, const QString& info, const QString& entry)
{
    return QStringLiteral("Transfer failed: %1 (%2); %3 stays in the folder and goes again with the next "
                          "pass.")
        .arg(why, info, entry);
}

QString answeredEarly(const QString& answer, const QString& entry)
{
    return QStringLiteral("Not filed: the web page answered \"%1\" before it had the whole of %2, so "
                          "that answer counts for nothing. %2 stays in the folder and waits behind the other "
                          "documents; the page may already have it: check the page before you file it by "
                          "hand.")
        .arg(answer, entry);
}

QString sendingAgainAfterEarlyAnswer(const QString& entry)
{
    return QStringLiteral("%1 goes again; the web page answered it before it had it whole, and may "
                          "already have it.")
        .arg(entry);
}

QString notFiled(const QString& info, const QString& location, const QString& entry)
{
    // What the page said, so that a redirect or an error status can be told from a wrong text.
    QString answer = QStringLiteral("Not filed: the web page answered ") + info;
    if (!location.isEmpty())
        answer += QStringLiteral(", pointing to ") + location + QStringLiteral(" (not followed)");
    return answer +
           QStringLiteral(". %1 waits behind the other documents until it is filed or changes.").arg(entry);
}

QString proxyRefused(const QString& proxy, const QString& info, const QString& entry)
{
    return QStringLiteral("Not filed: the proxy%1 refused the user name and password in Setup (%2); %3 "
                          "stays in the folder.")
        .arg(proxy.isEmpty() ? QString() : u' ' + proxy, info, entry);
}

QString refusedDocument(const QString& entry, int status, const QString& info)
{
    return QStringLiteral("Not filed: the web page refused %1 %2(%3); it waits in the folder, behind the "
                          "other documents, until it is filed or changes.")
        .arg(entry, status == 413 ? QStringLiteral("as too large for it ") : QString(), info);
}

namespace {
QString timeOf(qint64 ms)
{
    return generalDateTime(QDateTime::fromMSecsSinceEpoch(ms));
}
} // namespace

QString nextTry(const QString& entry, qint64 untilMs)
{
    return QStringLiteral("%1 goes to the web page again at %2, sooner only when it changes, when Setup "
                          "changes the upload address, or once with Force Transfer.")
        .arg(entry, timeOf(untilMs));
}

QString waitsAfterRefusal(const QString& entry, qint64 untilMs)
{
    return QStringLiteral("%1, refused by the web page, waits until %2 before it goes again.")
        .arg(entry, timeOf(untilMs));
}

QString refusalRecordDamaged(const QString& record)
{
    return QStringLiteral("The record of the documents the web page refused (%1) is damaged; each of them "
                          "goes again with the next pass.")
        .arg(record);
}

QString refusalNotRecorded(const QString& record, const QString& why)
{
    return QStringLiteral("Cannot keep the record of the documents the web page refused in %1 (%2): after "
                          "a restart they go again at once.")
        .arg(record, why);
}

QString tryLater()
{
    return QStringLiteral("Error filing scan. Please try 'Force Transfer' in 10 minutes. If the problem "
                          "continues, contact technical support.\r\n-------");
}

QString pageWantsLogin(const QString& proxy)
{
    // A proxy that passes its own refusal off as a page's cannot always be told
    // apart; the operator is shown both places to look.
    const QString who =
        proxy.isEmpty()
            ? QStringLiteral("The web page asks for a login, which Quillfeed does not give: check "
                             "the upload address in Setup with the page's administrator.")
            : QStringLiteral("The web page, or the proxy %1 on the way to it, asks for a login: "
                             "check the proxy's user name and password in Setup, and the upload "
                             "address with the page's administrator.")
                  .arg(proxy);
    return who + QStringLiteral(" Waiting will not change the answer.\r\n-------");
}

QString pageSays(const QString& text, bool fromProxy)
{
    return (fromProxy ? QStringLiteral("The proxy says: ") : QStringLiteral("The web page says: ")) + text;
}

QString conversionOutOfRoom(const QString& diskFull, const QString& technical)
{
    return diskFull +
           QStringLiteral(" Free space on it: the TIFFs stay in the folder and are converted in a "
                          "later pass, and the other documents go now (") +
           technical + QStringLiteral(").");
}

QString answered(const QString& info)
{
    return QStringLiteral("the web page answered ") + info;
}

QString filedUnrecorded(const QString& unrecorded, const QString& entry)
{
    return unrecorded + QStringLiteral("; %1 was filed all the same.").arg(entry);
}

QString cannotRecord(const QString& record, const QString& error, const QString& entry)
{
    return QStringLiteral("Cannot record in %1: %2; %3 was filed all the same.").arg(record, error, entry);
}

QString changedAfterSent(const QString& entry)
{
    return entry + QStringLiteral(" changed after it was sent; the new version is kept for a later pass.");
}

QString answersInDoubt(int count, const QStringList& deleted, const QStringList& kept, int unnamed)
{
    QString text =
        QStringLiteral("The web page sent more on a kept connection than it was asked for, so ") +
        (count == 1
             ? QStringLiteral("its last answer there may have belonged to another document.")
             : QStringLiteral("its last %1 answers there may have belonged to other documents.").arg(count));
    if (!deleted.isEmpty())
        text += QStringLiteral(" Deleted as filed, but perhaps refused: ") +
                deleted.join(QStringLiteral(", ")) + u'.';
    if (!kept.isEmpty())
        text += QStringLiteral(" Kept as refused, but perhaps filed already: ") +
                kept.join(QStringLiteral(", ")) + u'.';
    if (unnamed > 0)
        text += QStringLiteral(" The %1 before them are not named here.").arg(unnamed);
    return text + QStringLiteral(" Check them at the web page.");
}

} // namespace PassTexts
