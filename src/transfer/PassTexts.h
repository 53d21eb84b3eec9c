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

/// No answer came: the request failed.
QString reachedThePage(const QString& entry);
QString proxyRefusedConnect(const QString& info, const QString& entry);
QString noAnswer(const QString& info, const QString& entry);
/// The page answered (answer: "200 OK") before it had the whole document.
QString answeredEarly(const QString& answer, const QString& entry);
QString sendingAgainAfterEarlyAnswer(const QString& entry);

/// An answer that filed nothing.
QString notFiled(const QString& info, const QString& location, const QString& entry);
QString proxyRefused(const QString& proxy, const QString& info, const QString& entry);
QString refusedDocument(const QString& entry, int status, const QString& info);
QString tryLater();
/// What the desktop hears of an answer that filed nothing.
QString answered(const QString& info);

QString filedUnrecorded(const QString& unrecorded, const QString& entry);
QString cannotRecord(const QString& record, const QString& error, const QString& entry);
QString changedAfterSent(const QString& entry);

/// The answers on a kept connection that may have belonged to other documents.
QString answersInDoubt(int count, const QStringList& deleted, const QStringList& kept, int unnamed);

} // namespace PassTexts
