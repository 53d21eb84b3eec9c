// The main window: status box, file list, the two mode tabs and their panels,
// and the transfer driver that sends the listed files one after another.
//
// Controls carry their design names as objectName; elements of control arrays
// are named with their index in brackets: "CmdSetup[0]", "CmdStartTransfer[1]",
// "lineManual[0]", "Line1[7]".
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

#include "FileGate.h"
#include "FolderLock.h"
#include "Leftovers.h"

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QListView;
class QPushButton;
class QTimer;
class FileListModel;
class ImgScan;
class InetControl;
class RepaintThrottle;
class StatusBox;
class TabLabel;
class TabLine;
class frmDiag;

class frmMain : public QWidget
{
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    /// Start-up: builds the Base64 alphabet, shows the window, applies the settings.
    void Form_Load();
    void ApplySettings();
    /// Sends the file named by currentFile (the first entry of the list).
    void Upload();
    QByteArray base64_encode(const QByteArray& strIn) const;
    QByteArray base64_decode(const QByteArray& strIn) const;

    /// The whole status box text, lines joined by CR LF.
    QString statusText() const;
    /// The file list entries, in order.
    QStringList fileListEntries() const;
    /// True while a file is being converted, posted or its reply read.
    bool uploadInFlight() const { return m_inFlight; }
    /// Where the copy of the last request body is written.
    static QString outFilePath();

    // Public state, as the other windows and the tests see it.
    bool testMode = false;
    QString uploadUrl;
    QString readFromFolder;
    QString converterPath;
    QString currentFile;
    // Counters keep counting past 32767 rather than overflowing.
    qint32 pagesScanned = 0;
    qint32 pagesFiled = 0;
    QPointer<frmDiag> diagWindow;
    QByteArray base64Chars;
    QByteArray requestBody;
    /// Called right after the scanner is opened, before the batch options: lets
    /// tests and diagnosis set device options by name.
    std::function<void(ImgScan*)> afterScannerOpen;

    // Controls.
    QGroupBox* Frame2 = nullptr;
    StatusBox* Text1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QListView* FileList = nullptr;
    QPushButton* CmdExploreDir = nullptr;
    QFrame* Frame5 = nullptr;
    TabLabel* lblManual = nullptr;
    TabLabel* lblUnattended = nullptr;
    TabLine* Line1[8] = {};
    TabLine* Line2[8] = {};
    TabLine* Line3[8] = {};
    TabLine* Line4[6] = {};
    TabLine* lineManual[2] = {};
    TabLine* lineUnattended[2] = {};
    QFrame* Frame3 = nullptr;
    QPushButton* CmdScanAll = nullptr;
    QPushButton* CmdStartTransfer[2] = {};
    QPushButton* CmdSelectScanner = nullptr;
    QPushButton* CmdSetup[2] = {};
    QFrame* Frame4 = nullptr;
    QCheckBox* chkAutoRead = nullptr;
    QLabel* lastFired = nullptr;
    QTimer* Timer1 = nullptr;
    ImgScan* ImgScan1 = nullptr;
    InetControl* Inet1 = nullptr;

public slots:
    void lblManual_Click();
    void lblUnattended_Click();
    void CmdStartTransfer_Click();
    void CmdScanAll_Click();
    void CmdSelectScanner_Click();
    void CmdSetup_Click();
    void CmdExploreDir_Click();
    void Timer1_Timer();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Stamp
    {
        qint64 size = -1;
        qint64 mtimeNs = 0;
        bool nameNotText = false;
        bool symbolicLink = false;
        quint64 device = 0;
        quint64 inode = 0;
        FileGate::Identity identity() const { return {device, inode, size, mtimeNs}; }
    };

    void buildLayout();
    void RefreshFileList();
    void ProcessNextFile();
    void Inet1_StateChanged(int state);
    void ImgScan1_PageDone(int pageNumber);
    void ImgScan1_ScanDone();

    void addStatus(const QString& message);
    void setStatus(const QString& text);
    void addErrorBlock(const QString& description, const QString& subject);
    /// A message about a file that stays as it is: said once, not at every pass.
    void addStatusOnce(const QString& message);
    /// Remembers a file that is done with but could not be deleted, and says so.
    void keepLeftover(Leftovers::Kind kind, const FileGate::Identity& identity, const QString& path,
                      const QString& why);
    /// One line naming currentFile as left for a later pass because it is not complete.
    void holdBack(const QString& why);
    frmDiag* diag();
    void newShownDiagWindow();
    void setMode(bool unattended);
    void storeMode(const QString& mode);
    void removeCurrentEntry();

    enum class UploadOutcome { Sent, NextEntry };
    UploadOutcome uploadCurrent();
    /// Converts the TIFF of currentFile; on success currentFile names the PDF,
    /// whose identity is returned.
    std::optional<FileGate::Identity> convertCurrent();
    void writeOutFile();
    static bool looksLikeCompletePdf(const QString& path);
    /// What the file of a listed entry must still be before it is read.
    FileGate::Expectation expectationFor(const QString& entry) const;

    FileListModel* m_fileList = nullptr;
    RepaintThrottle* m_statusThrottle = nullptr;
    QHash<QString, Stamp> m_stamps;
    /// Pages the scanner completed, as they were when it reported them.
    QHash<QString, Stamp> m_trustedPages;
    /// The file whose request is in flight; its reply deletes exactly this path.
    QString m_sendingPath;
    FileGate::Identity m_sendingIdentity;
    bool m_inFlight = false;
    bool m_outFolderReady = false;
    bool m_scanRunning = false;
    FolderLock m_folderLock;
    Leftovers m_leftovers;
    QSet<QString> m_saidOnce;
};
