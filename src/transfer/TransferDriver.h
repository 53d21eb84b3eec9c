// The transfer pass: lists the read-from folder and sends its files one after
// another, one request at a time, converting TIFFs first and deleting what the
// page has filed. A pass is a chain of events, one file a link: a file is sent,
// and its answer (stateChanged) sends the next.
//
// It needs no window: the window hands it its state, a view to report to, the
// transfer control and where the pass's settings come from, and calls it from
// its event handlers.
#pragma once

#include "DiskSync.h"
#include "FileGate.h"
#include "FiledLog.h"
#include "FolderListing.h"
#include "FolderLock.h"
#include "Leftovers.h"
#include "OutFile.h"
#include "Recovery.h"
#include "StationJournal.h"
#include "TransferView.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

class FileListModel;
class InetControl;

/// The window's fields of the transfer, as the window and its tests see them:
/// its copies of two settings and of the converter's path, the file in flight,
/// its body, and the count of documents filed.
struct TransferState
{
    QString uploadUrl;
    QString readFromFolder;
    QString converterPath;
    QString currentFile;
    /// Keeps counting past 32767 rather than overflowing.
    qint32 pagesFiled = 0;
    QByteArray requestBody;
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
    bool inFlight() const { return m_flight.has_value(); }

    /// Lists the read-from folder anew. Throws Failure when it cannot be read;
    /// the entries found before the failure stay listed.
    void refreshFileList();
    /// Sends entry 0, or ends the pass when the list is empty.
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
    QStringList recoveryNotes() const { return m_recoveryNotes; }

    /// Where the copy of the last request body is written.
    static QString outFilePath() { return OutFile::defaultPath(); }

signals:
    /// A pass has ended: the documents it filed, and the failure it ended on
    /// (empty when it went through the whole list, or ended on a document the
    /// page refused before and has filed others since).
    void passEnded(int filed, const QString& failure);
    /// A document is going out: bytes handed to the connection of its total,
    /// and the files of the pass left after it.
    void sending(const QString& entry, qint64 sent, qint64 total, int filesLeft);

private:
    /// The one document in flight, from its conversion to its answer.
    struct Flight
    {
        enum class Phase {
            Preparing,    ///< its checks, and its conversion when it is a TIFF
            Sending,      ///< read and handed to the transfer control, no answer yet
            ReadingReply, ///< the answer is read in pieces, events running between them
        };
        Phase phase = Phase::Preparing;
        QString entry;              ///< as listed; the PDF's once a TIFF is converted
        QString path;               ///< the file that was read, which an "OK" deletes
        FileStamp identity;         ///< that file as it was read
        qsizetype contentStart = 0; ///< where its bytes stand in the request body
        qsizetype contentSize = 0;
    };

    enum class UploadOutcome { Sent, NextEntry };
    /// A pass starts: its settings are taken, and the folder must be this
    /// station's to serve. False (and said) when another station serves it.
    bool beginPass();
    /// The pass goes on with entry 0, or ends when the list is empty.
    void nextFile();
    void beginFlight(const QString& entry);
    /// The document in flight is done with, whatever became of it.
    void endFlight();
    /// uploadCurrent, leaving the driver idle whatever it throws.
    UploadOutcome sendCurrent();
    UploadOutcome uploadCurrent();
    /// Takes the current entry off this pass's list, its file left where it is.
    UploadOutcome passOver();
    /// Why the current entry is left where it is without being read, if it is.
    bool leftAlone(const QString& entry);
    /// Converts the TIFF in flight; on success the flight names the PDF, whose
    /// identity is returned.
    std::optional<FileStamp> convertCurrent();
    /// Starts the request for the body read from the flight's file.
    void send(QByteArray body, const QByteArray& boundary);
    /// What the file of a listed entry must still be before it is read.
    FileGate::Expectation expectationFor(const QString& entry) const;
    /// One line naming the entry in flight as left for a later pass because it is not complete.
    void holdBack(const QString& why);
    /// Remembers a file that is done with but could not be deleted, and says so.
    void keepLeftover(Leftovers::Kind kind, const FileStamp& identity, const QString& path,
                      const QString& why);
    /// Where what a stop of the station left is reported: once, in the status box.
    Recovery::Hooks recoveryHooks();
    void handleAnswer();
    /// The pass goes on from inside the answer's handler; what breaks it is reported here.
    void goOn();
    /// The pass is over: the documents it filed and the failure it ended on go out with passEnded.
    void finishPass(const QString& failure);
    /// An answer that refuses this document and would not refuse the next.
    static bool refusesTheDocument(int status);
    void answersInDoubt(int count);
    /// A document the page filed, deleted once its record is on the disk.
    struct FiledWaiting
    {
        QString entry;
        QString path;
        FileStamp identity;
        quint64 ticket = 0; ///< of its record's sync; 0 when its record could not be written
    };
    /// Appends the document in flight to filed.csv, and has the row synced.
    void recordFiled();
    /// Deletes the documents whose records have reached the disk.
    void deleteSynced();
    /// Deletes what the page has filed, or says why it stays.
    void removeFiled(const FiledWaiting& filed);
    /// The diagnostic line of a reply that filed nothing or could not be acted on.
    void reportReply(const QString& description);

    TransferState& m_state;
    TransferView& m_view;
    InetControl& m_inet;
    std::function<PassConfig()> m_configSource;
    PassConfig m_config;
    FileListModel* m_fileList = nullptr;
    std::optional<Flight> m_flight;
    int m_filedInPass = 0;
    QHash<QString, ListedFile> m_listed;
    /// Documents the page refused, as they were sent: they go last, the one
    /// refused longest ago first, so that each of them gets its turn.
    struct Refusal
    {
        FileStamp stamp;
        quint64 order = 0;
        quint64 filedBefore = 0; ///< m_filedInRun at the first refusal of this very file
        bool told = false;       ///< a pass that filed nothing has ended on it
    };
    QHash<QString, Refusal> m_refused;
    /// Refused in this pass for themselves: the pass ends when it meets them again.
    QSet<QString> m_refusedInPass;
    /// What the desktop hears of the pass's refusals, if they are news.
    QString m_passRefusal;
    /// The last documents the page answered, newest last, with whether it said
    /// "OK": named when the page turns out to have shifted its answers.
    struct Answered
    {
        QString entry;
        bool filed = false;
    };
    std::deque<Answered> m_lastAnswers;
    int m_doubtPending = 0; ///< said while the answer in hand was read
    quint64 m_refusals = 0;
    quint64 m_filedInRun = 0;
    /// Pages the scanner completed, as they were when it reported them.
    QHash<QString, FileStamp> m_trustedPages;
    OutFile m_outFile;
    FiledLog m_filedLog;
    FolderLock m_folderLock;
    Leftovers m_leftovers;
    StationJournal m_journal;
    /// The folder whose interrupted work has been looked at.
    QString m_recoveredFolder;
    QStringList m_recoveryNotes;
    std::deque<FiledWaiting> m_filedWaiting;
    quint64 m_syncedUpTo = 0;
    /// Last: its thread ends, the rows asked for synced, before anything it
    /// reports to goes.
    DiskSync m_sync{
        [this] { QMetaObject::invokeMethod(this, &TransferDriver::deleteSynced, Qt::QueuedConnection); }};
};
