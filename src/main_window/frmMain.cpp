// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmMain.h"

#include "AppIcon.h"
#include "Base64.h"
#include "BatchDocuments.h"
#include "BatchNames.h"
#include "Controls.h"
#include "Design.h"
#include "DesktopNotifier.h"
#include "Dialog.h"
#include "Failure.h"
#include "FileListModel.h"
#include "GeneralDate.h"
#include "ImgScan.h"
#include "InetControl.h"
#include "MainLogging.h"
#include "ProgressPane.h"
#include "ProxyRoute.h"
#include "RepaintThrottle.h"
#include "ScanAdvice.h"
#include "ScanChoices.h"
#include "SelectScannerDialog.h"
#include "Settings.h"
#include "StatusBox.h"
#include "TabStrip.h"
#include "UserStore.h"
#include "frmDiag.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quill Feed"));
    setWindowIcon(quillfeedIcon());
    setFont(designFont(QStringLiteral("MS Sans Serif")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    Inet1 = new InetControl(this);
    Inet1->setObjectName(QStringLiteral("Inet1"));
    // A pass takes the settings as they are when it starts.
    m_transfer = new TransferDriver(
        *this, *this, *Inet1,
        [this] {
            return PassConfig{uploadUrl,
                              readFromFolder,
                              converterPath,
                              Settings::proxyAddress,
                              Settings::proxyUserName,
                              Settings::proxyPassword};
        },
        this);
    connect(Inet1, &InetControl::StateChanged, this, &frmMain::Inet1_StateChanged);
    m_notifier = new DesktopNotifier(this);
    connect(m_notifier, &DesktopNotifier::notShown, this, [this](const QString& why) {
        diag()->Log(QStringLiteral("Desktop notification not shown: ") + why);
    });
    connect(m_transfer, &TransferDriver::passEnded, this, &frmMain::passEnded);

    buildLayout();

    ImgScan1 = new ImgScan(this);
    ImgScan1->setObjectName(QStringLiteral("ImgScan1"));
    connect(ImgScan1, &ImgScan::PageDone, this, &frmMain::ImgScan1_PageDone);
    connect(ImgScan1, &ImgScan::ScanDone, this, &frmMain::ImgScan1_ScanDone);

    Dialog::setTestModeFlag(&testMode);
    Dialog::install();
    // The first-run dialog closes without a new ApplySettings: where its save
    // went is said when it is accepted (after Setup, ApplySettings says it).
    Settings::setShowDialogRequest([this] {
        Dialog::showModeless();
        if (Dialog* d = Dialog::current())
            connect(d, &QDialog::accepted, this, [this, d] {
                if (d->windowModality() != Qt::NonModal)
                    return;
                if (const QString saved = Settings::takeSaveNotice(); !saved.isEmpty())
                    addStatus(saved);
            });
    });
}

frmMain::~frmMain()
{
    // What the page filed goes while the status box can still say what became of it.
    m_transfer->settleFiled();
    Dialog::setTestModeFlag(nullptr);
    Dialog::install();
    // Diagnostic windows have no parent, so that they stay open on their own;
    // the current one goes with the main window.
    delete diagWindow.data();
}

// ---------------------------------------------------------------------------
// Start-up and settings

void frmMain::Form_Load()
{
    show();
    ApplySettings();
}

void frmMain::ApplySettings()
{
    try {
        const bool firstStart = !QFileInfo::exists(Settings::readSettingsFilePath());
        Settings::LoadSettings();
        uploadUrl = Settings::uploadToUrl;
        readFromFolder = Settings::readFromPath;
        // A newcomer's first start shows Setup, not a "Path not found" for the
        // default folder nobody has made yet. Private, as the scans in it are.
        if (firstStart && readFromFolder == Settings::defaultReadFromPath() &&
            ::mkdir(QFile::encodeName(readFromFolder).constData(), 0700) == 0)
            qCInfo(lcMain) << "made the read-from folder" << readFromFolder;
        setWindowTitle(Settings::appTitle + QStringLiteral(" Quillfeed 1.3"));
        const QString stored = userStore().value(QStringLiteral("Applicant Tracking/lastMode")).toString();
        setMode(stored == QLatin1String("Unattended"));
        converterPath = Settings::programFolder() + QStringLiteral("/tiff2pdf");
        if (!Settings::proxyAddress.isEmpty()) {
            Inet1->setProxy(Settings::proxyAddress);
            Inet1->setAccessType(ProxyRoute::Access::NamedProxy);
        } else {
            Inet1->setProxy(QString());
            Inet1->setAccessType(ProxyRoute::Access::SystemProxy);
        }
    } catch (...) {
        showMessage(this, describeCurrentException());
        return;
    }

    try {
        refuseNulInFolder(readFromFolder);
        const QFileInfo folder(readFromFolder);
        if (!folder.isDir())
            throw Failure(readFromFolder.isEmpty() || !folder.exists()
                              ? QStringLiteral("Path not found: %1").arg(readFromFolder)
                              : QStringLiteral("%1 is not a folder").arg(readFromFolder));
        RefreshFileList();
        setStatus(QStringLiteral("----Ready----"));
        for (const QString& note : m_transfer->recoveryNotes())
            addStatus(note);
        // Setup can be closed while a batch is being gathered: that one is not a leftover.
        if (!m_scanRunning)
            recoverGathered();
        const QString locked = m_transfer->folderLockMessage();
        if (!locked.isEmpty())
            addStatus(locked);
        if (const QString saved = Settings::takeSaveNotice(); !saved.isEmpty())
            addStatus(saved);
    } catch (...) {
        showMessage(this, QStringLiteral("Setting Error"), describeCurrentException());
    }
}

void frmMain::closeEvent(QCloseEvent* event)
{
    event->accept();
    // Closing the main window ends the program, whatever else is open.
    QCoreApplication::quit();
}

void frmMain::CmdSetup_Click()
{
    try {
        Dialog::showModal();
    } catch (...) {
        showMessage(this, describeCurrentException());
    }
    ApplySettings();
}

void frmMain::CmdExploreDir_Click()
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(readFromFolder)))
        showMessage(this,
                    QStringLiteral("Could not open the folder %1 in a file manager.").arg(readFromFolder));
}

// ---------------------------------------------------------------------------
// Status box and diagnostics

QString frmMain::statusText() const
{
    return Text1->text();
}

QStringList frmMain::fileListEntries() const
{
    return m_transfer->fileList()->entries();
}

void frmMain::addStatus(const QString& message)
{
    // The pass's own messages too: it marks them as its own after this.
    m_transfer->statusBoxWritten();
    Text1->prepend(message);
    m_statusThrottle->changed();
}

void frmMain::setStatus(const QString& text)
{
    // What was said once is gone from the box: it is said again when it applies.
    m_transfer->statusBoxEmptied();
    Text1->setText(text);
    m_statusThrottle->changed();
}

void frmMain::appendStatusLineBreak()
{
    Text1->appendLineBreak();
}

void frmMain::log(const QString& line)
{
    diag()->Log(line);
}

void frmMain::conversionDone()
{
    if (testMode)
        showMessage(this,
                    QStringLiteral("File was converted. Inspect the source and resulting files if needed. "
                                   "Click OK to continue."));
}

frmDiag* frmMain::diag()
{
    if (!diagWindow)
        diagWindow = new frmDiag();
    return diagWindow;
}

void frmMain::newShownDiagWindow()
{
    if (diagWindow) {
        // The old window stays on the screen for the operator; it goes away when closed.
        if (diagWindow->isVisible())
            diagWindow->setAttribute(Qt::WA_DeleteOnClose);
        else
            diagWindow->deleteLater();
    }
    diagWindow = new frmDiag();
    diagWindow->show();
}

// ---------------------------------------------------------------------------
// Modes

void frmMain::setMode(bool unattended)
{
    for (TabLine* l : lineManual)
        l->setVisible(unattended);
    for (TabLine* l : lineUnattended)
        l->setVisible(!unattended);
    auto colour = [](QLabel* label, QColor c) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, c);
        label->setPalette(p);
    };
    const QColor black(0, 0, 0);
    const QColor grey(128, 128, 128);
    colour(unattended ? lblUnattended : lblManual, black);
    lblManual->setCurrent(!unattended);
    lblUnattended->setCurrent(unattended);
    colour(unattended ? lblManual : lblUnattended, grey);
    Frame4->setVisible(unattended);
    Frame3->setVisible(!unattended);
    if (unattended)
        Timer1->start();
    else
        Timer1->stop();
    storeMode(unattended ? QStringLiteral("Unattended") : QStringLiteral("Manual"));
}

void frmMain::storeMode(const QString& mode)
{
    QSettings store = userStore();
    store.setValue(QStringLiteral("Applicant Tracking/lastMode"), mode);
    store.sync();
    if (store.status() != QSettings::NoError)
        addStatus(QStringLiteral("The mode could not be stored in %1").arg(store.fileName()));
}

void frmMain::lblManual_Click()
{
    setMode(false);
}

void frmMain::lblUnattended_Click()
{
    setMode(true);
}

void frmMain::Timer1_Timer()
{
    if (!chkAutoRead->isChecked())
        return;
    lastFired->setText(QStringLiteral("Last Read @ ") + generalDateTime());
    try {
        ProcessNextFile();
    } catch (...) {
        // A station left alone must keep running: the next tick tries again.
        // The pass has ended on it already: nothing is filed while the folder
        // cannot be read, and the desktop hears of it as of a page that is down.
        addErrorBlock(describeCurrentException(), readFromFolder);
    }
}

// ---------------------------------------------------------------------------
// Transfer

void frmMain::RefreshFileList()
{
    m_transfer->refreshFileList();
}

void frmMain::ProcessNextFile()
{
    m_transfer->processNextFile();
}

void frmMain::Upload()
{
    m_transfer->upload();
}

void frmMain::Inet1_StateChanged(int state)
{
    m_transfer->stateChanged(state);
}

void frmMain::CmdStartTransfer_Click()
{
    setStatus(QString());
    if (testMode)
        newShownDiagWindow();
    m_transfer->cancelUndelivered();
    try {
        RefreshFileList();
        pagesFiled = 0;
        // The operator asks: what the page refused goes once more now, whatever its wait.
        m_transfer->forceRefusedOnce();
        ProcessNextFile();
    } catch (...) {
        showMessage(this, describeCurrentException());
    }
}

QByteArray frmMain::base64_encode(const QByteArray& strIn) const
{
    return Base64::base64_encode(strIn);
}

QByteArray frmMain::base64_decode(const QByteArray& strIn) const
{
    return Base64::base64_decode(strIn);
}

// ---------------------------------------------------------------------------
// Scanning

void frmMain::CmdSelectScanner_Click()
{
    try {
        showSelectScanner(*ImgScan1, this);
    } catch (...) {
        showMessage(this, describeCurrentException());
    }
}

void frmMain::CmdScanAll_Click()
{
    if (m_scanRunning) {
        showMessage(this, QStringLiteral("Scan Error"), QStringLiteral("A scan is already in progress."));
        return;
    }
    if (testMode)
        newShownDiagWindow();
    setStatus(QStringLiteral("----Ready----"));
    pagesScanned = 0;
    pagesFiled = 0;
    m_publishedDocuments.clear();
    // A batch the station did not finish goes into the folder before the next one.
    recoverGathered();
    ScanChoices choices;
    {
        QSettings store = userStore();
        choices = ScanChoices::load(store);
    }
    m_scanRunning = true;
    bool opened = false, wasOpened = false, scanned = false;
    try {
        ImgScan1->OpenScanner();
        opened = wasOpened = true;
        if (!ImgScan1->foundAgain().isEmpty())
            addStatus(ImgScan1->foundAgain());
        for (const QString& note : ImgScan1->choiceNotes())
            addStatus(note);
        if (afterScannerOpen)
            afterScannerOpen(ImgScan1);
        ImgScan1->SetScanTo(4);
        QSettings store = userStore();
        const QString stamp = BatchNames::nextStamp(QDateTime::currentDateTime(), store);
        if (BatchDocuments::needed(choices)) {
            m_documents = std::make_unique<BatchDocuments>(readFromFolder, stamp, choices);
            if (const Outcome begun = m_documents->begin(); !begun.ok()) {
                m_documents.reset();
                throw Failure(begun);
            }
            ImgScan1->SetImage(m_documents->scanTemplate());
            ImgScan1->setPageJudging(m_documents->judgesPages(), m_documents->readsCodes());
        } else {
            // One document a page, blank pages kept: the pages go straight into
            // the folder, as they always did.
            ImgScan1->SetImage(BatchNames::batchTemplate(readFromFolder, stamp));
            ImgScan1->setPageJudging(false, false);
        }
        ImgScan1->SetMultiPage(true);
        ImgScan1->SetPageOption(1);
        diag()->Log(QStringLiteral("Starting Scanner"));
        ImgScan1->SetFileType(1);
        progress->showScanning(0);
        ImgScan1->StartScan();
        scanned = true;
        progress->finish();
        ImgScan1->CloseScanner();
        opened = false;
        m_scanRunning = false;
        if (m_documents)
            finishDocuments(std::nullopt, QString());
        RefreshFileList();
        m_transfer->trustScannedPages(m_publishedDocuments);
        pagesFiled = 0;
        ProcessNextFile();
    } catch (...) {
        const QString description = describeCurrentException();
        progress->finish();
        // Release the device so that the next Scan All can open it again.
        if (opened) {
            try {
                ImgScan1->CloseScanner();
            } catch (...) {
            }
        }
        m_scanRunning = false;
        if (m_documents) {
            // The pages gathered so far are a document now, whatever ended the batch.
            finishDocuments(ImgScan1->lastFault(), description);
            try {
                RefreshFileList();
                m_transfer->trustScannedPages(m_publishedDocuments);
            } catch (...) {
            }
        } else if (!scanned) { // the scanner's fault, not the listing's after it
            // A page that could not be written is no fault of the scanner's:
            // the folder says why (gone, full, not this account's).
            QString line;
            if (wasOpened && ImgScan1->lastFault() < 0)
                line = ScanAdvice::writeFaultLine(
                    readFromFolder, ScanAdvice::examine(readFromFolder, ImgScan1->pagesWritten()),
                    pagesScanned, description);
            if (line.isEmpty())
                line = ScanAdvice::faultLine(ImgScan1->lastFault(), wasOpened, pagesScanned, description);
            addStatus(line);
        }
        showMessage(this, QStringLiteral("Scan Error"), description);
    }
}

void frmMain::ImgScan1_PageDone(int pageNumber)
{
    ++pagesScanned;
    progress->showScanning(pagesScanned);
    try {
        if (m_documents) {
            // The page is in gathering; the folder changes only when a document is complete.
            const QList<BatchDocuments::Outcome> done = m_documents->take(
                pageNumber, ImgScan1->pagesWritten().value(pageNumber - 1), ImgScan1->verdict(pageNumber));
            for (const BatchDocuments::Outcome& document : done) {
                if (!document.path.isEmpty())
                    m_publishedDocuments << document.path;
                else if (!document.error.isEmpty())
                    addStatus(ScanAdvice::documentHeldLine(
                        document.pages, document.error,
                        BatchDocuments::shownPath(BatchDocuments::gatheringRoot())));
            }
            if (!done.isEmpty()) {
                RefreshFileList();
                m_transfer->trustScannedPages(m_publishedDocuments);
            }
            return;
        }
        RefreshFileList();
        m_transfer->trustScannedPages(ImgScan1->pagesWritten());
    } catch (...) {
        addErrorBlock(describeCurrentException(), readFromFolder);
    }
}

void frmMain::passEnded(const PassReport& report)
{
    progress->finish();
    // Nobody watches an unattended station: the desktop is told when filing
    // stops and when it resumes, never once a tick.
    if (!lblUnattended->isCurrent())
        return;
    if (const auto notice = m_filingWatch.passEnded(report, QDateTime::currentDateTime()))
        m_notifier->notify(notice->summary, notice->body, notice->trouble);
}

void frmMain::recoverGathered()
{
    BatchDocuments::pruneSetAside(QDateTime::currentDateTime());
    const BatchDocuments::Recovery recovered = BatchDocuments::recover();
    for (const QString& line : recovered.lines)
        addStatus(line);
    if (recovered.published.isEmpty())
        return;
    m_publishedDocuments << recovered.published;
    try {
        RefreshFileList();
        m_transfer->trustScannedPages(m_publishedDocuments);
    } catch (...) {
        addErrorBlock(describeCurrentException(), readFromFolder);
    }
}

void frmMain::finishDocuments(std::optional<int> fault, const QString& technical)
{
    const BatchDocuments::Outcome last = m_documents->finish();
    if (!last.path.isEmpty())
        m_publishedDocuments << last.path;
    if (fault) {
        if (!last.path.isEmpty())
            addStatus(ScanAdvice::documentKeptLine(*fault, pagesScanned, last.pages,
                                                   BatchDocuments::shownName(last.path), technical));
        else
            addStatus(ScanAdvice::faultLine(*fault, true, pagesScanned, technical));
    } else {
        addStatus(ScanAdvice::batchLine(m_documents->pages(), m_documents->documentSizes(),
                                        m_documents->separators(), int(m_documents->blankPages().size())));
    }
    if (last.path.isEmpty() && !last.error.isEmpty())
        addStatus(ScanAdvice::documentHeldLine(last.pages, last.error,
                                               BatchDocuments::shownPath(BatchDocuments::gatheringRoot())));
    if (!m_documents->blankPages().isEmpty())
        addStatus(ScanAdvice::setAsideLine(m_documents->blankPages(), BatchDocuments::setAsideShown()));
    m_documents.reset();
}

void frmMain::ImgScan1_ScanDone()
{
    addStatus(QStringLiteral("----") + QString::number(pagesScanned) + QStringLiteral(" Pages Scanned----"));
    if (pagesScanned == 0)
        addStatus(ScanAdvice::emptyFeederLine());
}
