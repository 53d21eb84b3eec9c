// The transfer pass: lists the read-from folder and sends its files one after
// another, one request at a time, converting TIFFs first and deleting what the
// page has filed. A pass is a chain of events, one file a link: a file is sent,
// and its answer (stateChanged) sends the next.
//
// It needs no window: the window hands it its state, a view to report to and
// the transfer control, and calls it from its event handlers.
#pragma once

#include "FileGate.h"
#include "FolderListing.h"
#include "FolderLock.h"
#include "Leftovers.h"
#include "StationJournal.h"
#include "TransferView.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class FileListModel;
class InetControl;

/// The window's copies of two settings and the fields of the current upload.
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

class TransferDriver : public QObject
{
    Q_OBJECT
public:
    /// Where the file in flight is. Nothing new starts until the pass is Idle
    /// again: a second upload could send the same file twice.
    enum class Phase {
        Idle,
        Converting,   ///< its TIFF is being converted, or the operator looks at the result
        Sending,      ///< read and handed to the transfer control, no answer yet
        ReadingReply, ///< the answer is read in pieces, events running between them
    };

    TransferDriver(TransferState& state, TransferView& view, InetControl& inet, QObject* parent = nullptr);

    /// The listed files, entry 0 first; the window shows this model.
    FileListModel* fileList() const { return m_fileList; }
    Phase phase() const { return m_phase; }
    bool inFlight() const { return m_phase != Phase::Idle; }

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
    static QString outFilePath();

private:
    enum class UploadOutcome { Sent, NextEntry };
    UploadOutcome uploadCurrent();
    /// Takes the current entry off this pass's list, its file left where it is.
    UploadOutcome passOver();
    /// Converts the TIFF of currentFile; on success currentFile names the PDF,
    /// whose identity is returned.
    std::optional<FileGate::Identity> convertCurrent();
    /// Starts the request for requestBody, read from path as identity.
    void send(const QString& path, const FileGate::Identity& identity);
    void writeOutFile();
    /// What the file of a listed entry must still be before it is read.
    FileGate::Expectation expectationFor(const QString& entry) const;
    /// One line naming currentFile as left for a later pass because it is not complete.
    void holdBack(const QString& why);
    /// Remembers a file that is done with but could not be deleted, and says so.
    void keepLeftover(Leftovers::Kind kind, const FileGate::Identity& identity, const QString& path,
                      const QString& why);
    /// What a stop of the station interrupted in this folder: finished once, said once.
    void recoverInterrupted();
    void recoveryNote(const QString& note);
    void handleAnswer();
    /// The diagnostic line of a reply that filed nothing or could not be acted on.
    void reportReply(const QString& description);
    void finish();

    TransferState& m_state;
    TransferView& m_view;
    InetControl& m_inet;
    FileListModel* m_fileList = nullptr;
    Phase m_phase = Phase::Idle;
    QHash<QString, ListedFile> m_listed;
    /// Pages the scanner completed, as they were when it reported them.
    QHash<QString, FileStamp> m_trustedPages;
    /// The file whose request is in flight; its answer deletes exactly this path.
    QString m_sendingPath;
    FileGate::Identity m_sendingIdentity;
    /// out.txt, and the file itself while a pass runs.
    const QString m_outPath;
    UniqueFd m_outFile;
    FolderLock m_folderLock;
    Leftovers m_leftovers;
    StationJournal m_journal;
    /// The folder whose interrupted work has been looked at.
    QString m_recoveredFolder;
    QStringList m_recoveryNotes;
};
