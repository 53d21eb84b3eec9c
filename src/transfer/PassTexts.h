// SPDX-License-Identifier: GPL-3.0-or-later
// What the pass says in the status box, in one place: the operator reads these
// every day, and a change of wording is made here and nowhere else.
#pragma once

#include <QString>

namespace PassTexts {

QString stillExecuting(qint32 pagesFiled);
QString finished(qint32 pagesFiled);
QString uploading(const QString& entry);
QString skipping(const QString& entry);
QString heldBack(const QString& entry, const QString& why);
QString nameNotText(const QString& entry);
QString symbolicLink(const QString& entry);
/// A file that was filed or converted already and could not be deleted then.
QString doneBefore(const QString& path, bool filed);
/// Done with before and deleted only now.
QString doneAndDeleted(const QString& path, bool filed);
/// Done with and cannot be deleted: not sent or converted again while it stays.
QString cannotDelete(const QString& path, bool filed, const QString& why);
QString leftoverNotStored(const QString& stored);

QString awaitingAnswer();
QString cancelled();

/// No answer came: the request failed. What failed, in the operator's words:
/// code is the control's failure number, pageAt the page's "host:port", proxy
/// the proxy's (empty when none), info the library's own words.
QString unreachable(long code, const QString& pageAt, const QString& host, const QString& proxy,
                    const QString& info);
/// The whole request reached the page and no answer came: said once, with
/// what to do, since the page may have filed it.
QString reachedThePage(const QString& why, const QString& info, const QString& entry);
QString proxyRefusedConnect(const QString& info, const QString& entry);
QString noAnswer(const QString& why, const QString& info, const QString& entry);
/// The page answered (answer: "200 OK") before it had the whole document.
QString answeredEarly(const QString& answer, const QString& entry);
QString sendingAgainAfterEarlyAnswer(const QString& entry);

/// An answer that filed nothing.
QString notFiled(const QString& info, const QString& location, const QString& entry);
QString proxyRefused(const QString& proxy, const QString& info, const QString& entry);
QString refusedDocument(const QString& entry, int status, const QString& info);
QString tryLater();
/// In place of tryLater where waiting mends nothing: the page asks for a login.
QString pageWantsLogin(const QString& proxy);
/// The text of an HTML answer, before the designed lines; fromProxy: the proxy wrote it.
QString pageSays(const QString& text, bool fromProxy);
/// A conversion that failed for want of room (diskFull says which disk and
/// how much), said once a pass.
QString conversionOutOfRoom(const QString& diskFull, const QString& technical);
/// A document the page refused for itself goes again at untilMs (ms since the epoch).
QString nextTry(const QString& entry, qint64 untilMs);
/// A document the page refused for itself was left for later in this pass.
QString waitsAfterRefusal(const QString& entry, qint64 untilMs);
QString refusalRecordDamaged(const QString& record);
QString refusalNotRecorded(const QString& record, const QString& why);
/// What the desktop hears of an answer that filed nothing.
QString answered(const QString& info);

QString filedUnrecorded(const QString& unrecorded, const QString& entry);
QString cannotRecord(const QString& record, const QString& error, const QString& entry);
QString changedAfterSent(const QString& entry);

/// The answers on a kept connection that may have belonged to other documents.
QString answersInDoubt(int count, const QStringList& deleted, const QStringList& kept, int unnamed);

} // namespace PassTexts
