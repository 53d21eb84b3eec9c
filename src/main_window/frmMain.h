// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: status box, file list, the two mode tabs and their panels.
// Its handlers are thin: the transfer pass is TransferDriver's, the scan run
// the scanner control's.
//
// Controls carry their design names as objectName; elements of control arrays
// are named with their index in brackets: "CmdSetup[0]", "CmdStartTransfer[1]",
// "lineManual[0]", "Line1[7]".
#pragma once

#include <QByteArray>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWidget>
#include <optional>

#include <functional>
#include <memory>

#include "FilingWatch.h"
#include "TransferDriver.h"
#include "TransferView.h"

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QListView;
class QPushButton;
class QTimer;
class BatchDocuments;
class ImgScan;
class InetControl;
class DesktopNotifier;
class ProgressPane;
class RepaintThrottle;
class StatusBox;
class TabLabel;
class TabLine;
class frmDiag;

class frmMain : public QWidget, public TransferState, private TransferView
{
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    /// Start-up: shows the window, applies the settings.
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
    bool uploadInFlight() const { return m_transfer->inFlight(); }
    /// Where the copy of the last request body is written.
    static QString outFilePath() { return TransferDriver::outFilePath(); }

    // Public state, as the other windows and the tests see it; the transfer
    // fields (uploadUrl, readFromFolder, converterPath, currentFile, pagesFiled)
    // come with TransferState.
    bool testMode = false;
    // Keeps counting past 32767 rather than overflowing.
    qint32 pagesScanned = 0;
    QPointer<frmDiag> diagWindow;
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
    /// Below the buttons of both panels: the document going out, the pages scanned.
    ProgressPane* progress = nullptr;
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
    /// The designed layout (frmMainLayout.cpp).
    void buildLayout();
    void RefreshFileList();
    void ProcessNextFile();
    void Inet1_StateChanged(int state);
    void ImgScan1_PageDone(int pageNumber);
    void ImgScan1_ScanDone();
    /// Makes documents of what an unfinished batch left in gathering, and says so.
    void recoverGathered();
    /// The batch's last document enters the folder; the status box hears what
    /// the batch became (fault: the scanner's status that ended it early, and
    /// its words; none after a normal end).
    void finishDocuments(std::optional<int> fault, const QString& technical);
    /// A transfer pass has ended: the progress goes, and the desktop hears
    /// when filing stops or resumes in Unattended mode.
    void passEnded(const PassReport& report);

    // TransferView: the status box and the diagnostic window.
    void addStatus(const QString& message) override;
    void appendStatusLineBreak() override;
    void log(const QString& line) override;
    void conversionDone() override;

    void setStatus(const QString& text);
    frmDiag* diag();
    void newShownDiagWindow();
    void setMode(bool unattended);
    void storeMode(const QString& mode);

    TransferDriver* m_transfer = nullptr;
    DesktopNotifier* m_notifier = nullptr;
    FilingWatch m_filingWatch;
    RepaintThrottle* m_statusThrottle = nullptr;
    bool m_scanRunning = false;
    /// The documents of the batch being scanned, when its pages are gathered.
    std::unique_ptr<BatchDocuments> m_documents;
    /// The documents this station put in the folder since the last Scan All:
    /// complete when they appear, so they go out without the completeness wait.
    QStringList m_publishedDocuments;
};
