// SPDX-License-Identifier: GPL-3.0-or-later
// The transfer pass: lists the read-from folder and sends its files one after
// another, one request at a time, converting TIFFs first and deleting what the
// page has filed. A pass is a chain of events, one file a link: a file is sent,
// and its answer (stateChanged) sends the next.
//
// The pass is a small state machine (Stage): idle; choosing the next document;
// preparing it (checks, conversion); sending it; reading its answer. Every
// document in flight ends in finish(), which closes its send record, takes it
// off the list or moves it behind the others, and goes on or ends the pass;
// the pass ends in endPass() alone, which reports it with passEnded.
//
// It needs no window: the window hands it its state, a view to report to, the
// transfer control and where the pass's settings come from, and calls it from
// its event handlers. The folder it serves is a FolderSession's (its lock,
// what a stop left there, its listing, its leftovers, the scanner's pages); the
// request a document goes in is a RequestAssembly's; the meaning of an answer
// is ExchangeJudge::answerVerdict's. What it has said its PassVoice remembers:
// the window only tells it when the status box was emptied or written by others.
#pragma once

#include "AnswerLedger.h"
#include "DocumentBody.h"
#include "ExchangeJudge.h"
#include "FileGate.h"
#include "FiledDeletes.h"
#include "FiledLog.h"
#include "FolderSession.h"
#include "OutFile.h"
#include "PassReport.h"
#include "PassVoice.h"
#include "RefusalQueue.h"
#include "RequestAssembly.h"
#include "SendRecord.h"
#include "TransferView.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class FileListModel;
class InetControl;

/// The window's fields of the transfer, as the window and its tests see them:
/// its copies of two settings and of the converter's path, the file in flight,
/// and the count of documents filed. (The body is not held: it is read from the
/// file as it goes out.)
struct TransferState
{
    QString uploadUrl;
    QString readFromFolder;
    QString converterPath;
    QString currentFile;
    /// Keeps counting past 32767 rather than overflowing.
    qint32 pagesFiled = 0;
};

/// What a pass works with, taken once when it starts: Setup changing the folder
/// or the address meanwhile takes effect with the next pass, not half-way.
struct PassConfig
{
    QString uploadUrl;
    QString readFromFolder;
    QString converterPath;
    QString proxyAddress;
    QString proxyUserName;
    QString proxyPassword;
};

class TransferDriver : public QObject
{
    Q_OBJECT
public:
    TransferDriver(TransferState& state, TransferView& view, InetControl& inet,
                   std::function<PassConfig()> configSource, QObject* parent = nullptr);

    /// Waits for the records of the documents filed to reach the disk, and
    /// deletes those documents.
    void settleFiled();

    /// The listed files, entry 0 first; the window shows this model.
    FileListModel* fileList() const { return m_fileList; }
    /// A document is being converted, sent or answered: nothing new starts, as
    /// a second upload could send the same file twice.
    bool inFlight() const { return m_stage >= Stage::Preparing; }

    /// Lists the read-from folder anew. Throws Failure when it cannot be read;
    /// the entries found before the failure stay listed.
    void refreshFileList();
    /// Sends entry 0, or ends the pass when the list is empty. What it throws
    /// (a folder that cannot be listed) has ended the pass first.
    void processNextFile();
    /// Sends currentFile; one that cannot go is passed over for the next entry.
    void upload();
    /// A request still sending is cancelled; one the page has whole is awaited,
    /// since sending it again could file it twice.
    void cancelUndelivered();
    /// The transfer control's state change: the answer to the file in flight.
    void stateChanged(int state);
    /// Pages the scanner has just completed (full paths), as listed now: they
    /// need no quiet time before they go.
    void trustScannedPages(const QStringList& paths);
    /// The status line when another station serves the folder; empty while this one does.
    QString folderLockMessage() const;
    /// What the last listing found a stop of the station had left (a document
    /// perhaps filed already), for a window that writes its status box afresh.
    QStringList recoveryNotes() const { return m_folder.recoveryNotes(); }
    /// The status box was emptied: what the pass says once is said again when
    /// it applies.
    void statusBoxEmptied();
    /// Something other than the pass put a message on top of the status box.
    void statusBoxWritten();

    /// The next pass is the operator's Force Transfer: documents the page
    /// refused for itself go once too, before their wait is out.
    void forceRefusedOnce() { m_forceNext = true; }
    /// What the pass takes for now, in ms since the epoch (tests move it on).
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    /// Where the copy of the last request body is written.
    static QString outFilePath() { return OutFile::defaultPath(); }

signals:
    /// A pass has ended: what it filed, what the page refused and why it stopped.
    void passEnded(const PassReport& report);
    /// A document is going out: bytes handed to the connection of its total,
    /// and the files of the pass left after it.
    void sending(const QString& entry, qint64 sent, qint64 total, int filesLeft);

private:
    enum class Stage {
        Idle,         ///< no pass
        Choosing,     ///< a pass, and no document in flight: the next is chosen
        Preparing,    ///< its checks, and its conversion when it is a TIFF
        Sending,      ///< read and handed to the transfer control, no answer yet
        ReadingReply, ///< the answer is read in pieces, events running between them
    };
    /// The one document in flight, from its conversion to its answer.
    struct Flight
    {
        QString entry;      ///< as listed; the PDF's once a TIFF is converted
        QString path;       ///< the file that was read, which an "OK" deletes
        FileStamp identity; ///< that file as it was read
        QByteArray contentType;
        quint32 boundaryNumber = 0; ///< UploadRequest::numberedBoundary
        int boundaryTries = 0;      ///< sends broken off because the document held the boundary
    };
    /// How a document in flight ended.
    enum class Outcome {
        PassedOver, ///< never sent: skipped, left alone, held back, or not made ready
        Filed,      ///< "OK": its record is written, and it is deleted once that is on the disk
        Refused,    ///< refused for itself: it goes behind the others, the pass goes on
        Stopped,    ///< refused as the next would be: it goes behind the others, the pass ends
        Failed,     ///< no answer: it stays where it is, and the pass ends
        Cancelled,  ///< the operator started the pass anew
    };

    /// A pass starts: its settings are taken, and the folder must be this
    /// station's to serve. False (and said) when another station serves it.
    bool beginPass();
    /// Begins a pass and does its first step; what that throws ends the pass first.
    void runPass(const std::function<void()>& first);
    /// The pass goes on with entry 0, or ends when the list is empty.
    void nextFile();
    /// The first entry that may go now, moved to the front; none when every
    /// one left waits out a refusal or was refused in this pass.
    std::optional<QString> nextDocument();
    /// Takes up the record of the waits of the folder this station serves now.
    void useRefusalRecord();
    void beginFlight(const QString& entry);
    /// The document in flight is done with. True when the pass goes on, which
    /// the caller then does; otherwise the pass has ended, with failure.
    bool finish(Outcome outcome, const QString& failure = {});
    /// The pass is over: it is reported, and a new one may start.
    void endPass(const QString& stopped = {}, bool onRefusal = false);
    /// The pass goes on from inside an event handler; what breaks it is reported here.
    void goOn();
    /// prepareCurrent, which leaves the driver idle whatever that throws.
    bool sendCurrent();
    /// Prepares and sends the document in flight. True when the pass waits for
    /// its answer, or has ended; false when it goes on with the next entry.
    bool prepareCurrent();
    /// Converts the TIFF in flight; on success the flight names the PDF, whose
    /// identity is returned.
    std::optional<FileStamp> convertCurrent();
    /// Opens the flight's file and starts its request around the flight's
    /// boundary. False when the file is not ready: said, and the flight is
    /// then the caller's to finish, as PassedOver.
    bool sendDocument(const FileGate::Expectation& expected);
    /// Starts the request for the body, which reads the flight's file.
    void send(const QByteArray& boundary);
    /// The station broke the request off itself; true when the document went again at once.
    bool handleBrokenOff(DocumentBody::Stop stop, const QString& why);
    /// The answer to the document in flight has come: it is read, judged and acted on.
    void handleAnswer();
    /// The whole reply, read in pieces with events running between them.
    QByteArray readReply();
    /// What the operator is told of an answer that filed nothing.
    void sayNotFiled(ExchangeJudge::AnswerVerdict verdict, const QByteArray& reply);
    /// The request failed without an answer.
    void handleFailure();
    void answersInDoubt(int count);
    /// Names the last count answers as in doubt.
    void sayInDoubt(int count);
    /// Appends the document in flight to filed.csv, and has the row synced.
    void recordFiled();
    /// The diagnostic line of a reply that filed nothing or could not be acted on.
    void reportReply(const QString& description);

    TransferState& m_state;
    TransferView& m_view;
    InetControl& m_inet;
    std::function<PassConfig()> m_configSource;
    PassConfig m_config;
    FileListModel* m_fileList = nullptr;
    Stage m_stage = Stage::Idle;
    std::optional<Flight> m_flight;
    PassReport m_report;
    RefusalQueue m_refusals;
    std::function<qint64()> m_clock;
    bool m_forceNext = false;
    bool m_passForced = false;
    /// Documents left for later in this pass, as the report has them.
    QSet<QString> m_waitingInPass;
    AnswerLedger m_answers;
    int m_doubtPending = 0;       ///< said while the answer in hand was read
    bool m_saidOutOfRoom = false; ///< a full disk has stopped a conversion this pass, and was said
    RequestAssembly m_request;    ///< of the pass
    OutFile m_outFile;
    /// The body of the request in flight.
    std::shared_ptr<DocumentBody> m_body;
    QString m_bodyPath; ///< the file m_body reads, for what is said of its out.txt copy
    /// Lets the body's file go to the out.txt copy.
    void closeBody();
    /// Documents the page answered before it had them whole, as they were then:
    /// the page may have them, and their next send says so.
    QSet<FileStamp> m_answeredEarly;
    FiledLog m_filedLog;
    SendRecord m_sendRecord;
    PassVoice m_voice; ///< every message of the pass goes through it
    FolderSession m_folder;
    FiledDeletes m_filed;
};
