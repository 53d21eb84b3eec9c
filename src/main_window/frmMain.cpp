#include "frmMain.h"

#include "AppIcon.h"
#include "Base64.h"
#include "Design.h"
#include "Dialog.h"
#include "Failure.h"
#include "FileGate.h"
#include "FileListModel.h"
#include "FolderListing.h"
#include "FolderLock.h"
#include "ImgScan.h"
#include "InetControl.h"
#include "Logging.h"
#include "RepaintThrottle.h"
#include "RunExe.h"
#include "Settings.h"
#include "StatusBox.h"
#include "TabStrip.h"
#include "UploadRequest.h"
#include "WrappingCheckBox.h"
#include "frmDiag.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

QString generalDateTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale = QLocale::system();
    return locale.toString(now.date(), QLocale::ShortFormat) + u' ' + locale.toString(now.time(), QLocale::LongFormat);
}

void showMessage(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

const QString kProgramTitle = QStringLiteral("Quillfeed");

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, QRect geometry)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

QSettings modeStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
}

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quill Feed"));
    setWindowIcon(quillfeedIcon());
    setFont(designFont(QStringLiteral("MS Sans Serif")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    buildLayout();

    Inet1 = new InetControl(this);
    Inet1->setObjectName(QStringLiteral("Inet1"));
    connect(Inet1, &InetControl::StateChanged, this, &frmMain::Inet1_StateChanged);

    ImgScan1 = new ImgScan(this);
    ImgScan1->setObjectName(QStringLiteral("ImgScan1"));
    connect(ImgScan1, &ImgScan::PageDone, this, &frmMain::ImgScan1_PageDone);
    connect(ImgScan1, &ImgScan::ScanDone, this, &frmMain::ImgScan1_ScanDone);

    Dialog::setTestModeFlag(&testMode);
    Dialog::install();
}

frmMain::~frmMain()
{
    Dialog::setTestModeFlag(nullptr);
    // Diagnostic windows have no parent, so that they stay open on their own;
    // the current one goes with the main window.
    delete diagWindow.data();
}

void frmMain::buildLayout()
{
    setFixedSize(px(8430), px(5400));
    move(px(2160), px(1995));

    Frame2 = new QGroupBox(QStringLiteral("Status"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twipsRect(120, 120, 3375, 5175));
    Text1 = new StatusBox(Frame2);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(120, 360, 3090, 4575));
    Text1->setFont(designFont());
    Text1->setAccessibleName(QStringLiteral("Status"));
    m_statusThrottle = new RepaintThrottle(Text1);

    Frame1 = new QGroupBox(QStringLiteral("Scans"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(3600, 120, 2655, 5175));
    m_fileList = new FileListModel(this);
    FileList = new QListView(Frame1);
    FileList->setObjectName(QStringLiteral("FileList"));
    FileList->setGeometry(twipsRect(120, 360, 2415, 3960));
    FileList->setFont(designFont());
    FileList->setUniformItemSizes(true);
    FileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FileList->setModel(m_fileList);
    FileList->setAccessibleName(QStringLiteral("Scans"));
    auto* listThrottle = new RepaintThrottle(FileList);
    connect(m_fileList, &FileListModel::modelReset, listThrottle, &RepaintThrottle::changed);
    connect(m_fileList, &FileListModel::rowsRemoved, listThrottle, &RepaintThrottle::changed);
    connect(m_fileList, &FileListModel::rowsInserted, listThrottle, &RepaintThrottle::changed);
    CmdExploreDir = makeButton(Frame1, QStringLiteral("CmdExploreDir"), QStringLiteral("Open Directory"),
                               twipsRect(120, 4560, 2415, 375));

    Frame5 = new QFrame(this);
    Frame5->setObjectName(QStringLiteral("Frame5"));
    Frame5->setFrameShape(QFrame::NoFrame);
    Frame5->setGeometry(twipsRect(6360, 105, 1965, 360));
    Frame5->setAccessibleName(QStringLiteral("Mode"));

    QFont tabFont = designFont(QStringLiteral("MS Sans Serif"));
    tabFont.setUnderline(true);
    auto makeTab = [&](const QString& name, const QString& caption, QRect geometry) {
        auto* l = new TabLabel(caption, Frame5);
        l->setObjectName(name);
        l->setGeometry(geometry);
        l->setFont(tabFont);
        l->setFocusPolicy(Qt::TabFocus);
        l->setCursor(Qt::PointingHandCursor);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, Qt::blue);
        l->setPalette(p);
        return l;
    };
    lblManual = makeTab(QStringLiteral("lblManual"), QStringLiteral("Manual"), twipsRect(165, 75, 540, 255));
    lblUnattended =
        makeTab(QStringLiteral("lblUnattended"), QStringLiteral("Unattended"), twipsRect(960, 75, 855, 240));
    connect(lblManual, &TabLabel::clicked, this, &frmMain::lblManual_Click);
    connect(lblUnattended, &TabLabel::clicked, this, &frmMain::lblUnattended_Click);

    const QColor D = palette().color(QPalette::Dark);
    const QColor W = Qt::white;
    auto line = [&](const char* array, int index, QColor c, int x1, int y1, int x2, int y2) {
        return new TabLine(Frame5, QStringLiteral("%1[%2]").arg(QLatin1String(array)).arg(index), c, x1, y1, x2, y2);
    };
    Line1[7] = line("Line1", 7, D, 0, 240, 120, 0);
    Line1[5] = line("Line1", 5, W, 15, 255, 135, 15);
    Line3[7] = line("Line3", 7, D, 120, 0, 720, 0);
    Line3[5] = line("Line3", 5, W, 135, 15, 705, 15);
    Line2[7] = line("Line2", 7, D, 840, 240, 720, 0);
    Line2[5] = line("Line2", 5, W, 870, 255, 750, 15);
    Line1[6] = line("Line1", 6, D, 840, 240, 960, 0);
    Line1[4] = line("Line1", 4, W, 855, 255, 975, 15);
    Line3[6] = line("Line3", 6, D, 960, 0, 1800, 0);
    Line3[4] = line("Line3", 4, W, 975, 15, 1785, 15);
    Line2[6] = line("Line2", 6, D, 1920, 240, 1800, 0);
    Line2[4] = line("Line2", 4, W, 1950, 255, 1830, 15);
    Line4[0] = line("Line4", 0, D, 0, 225, 0, 360);
    Line4[1] = line("Line4", 1, W, 15, 225, 15, 360);
    Line4[2] = line("Line4", 2, D, 840, 225, 840, 330);
    Line4[3] = line("Line4", 3, W, 855, 225, 855, 360);
    Line4[4] = line("Line4", 4, D, 1920, 240, 1920, 375);
    Line4[5] = line("Line4", 5, W, 1935, 240, 1935, 375);
    lineManual[1] = line("lineManual", 1, D, 840, 330, 0, 330);
    lineManual[0] = line("lineManual", 0, W, 840, 345, 0, 345);
    lineUnattended[1] = line("lineUnattended", 1, D, 855, 330, 1920, 330);
    lineUnattended[0] = line("lineUnattended", 0, W, 855, 345, 1920, 345);
    lblManual->raise();
    lblUnattended->raise();

    auto makePanel = [&](const QString& name) {
        auto* f = new QFrame(this);
        f->setObjectName(name);
        f->setFrameShape(QFrame::Panel);
        f->setFrameShadow(QFrame::Raised);
        f->setGeometry(twipsRect(6360, 345, 1950, 4950));
        return f;
    };
    Frame3 = makePanel(QStringLiteral("Frame3"));
    Frame3->setAccessibleName(QStringLiteral("Manual"));
    CmdScanAll = makeButton(Frame3, QStringLiteral("CmdScanAll"), QStringLiteral("Scan All"),
                            twipsRect(240, 360, 1335, 615));
    CmdStartTransfer[0] = makeButton(Frame3, QStringLiteral("CmdStartTransfer[0]"), QStringLiteral("Force Transfer"),
                                     twipsRect(240, 1080, 1335, 615));
    CmdSelectScanner = makeButton(Frame3, QStringLiteral("CmdSelectScanner"), QStringLiteral("Select Scanner"),
                                  twipsRect(240, 2520, 1335, 615));
    CmdSetup[0] =
        makeButton(Frame3, QStringLiteral("CmdSetup[0]"), QStringLiteral("Setup"), twipsRect(240, 3240, 1335, 615));

    Frame4 = makePanel(QStringLiteral("Frame4"));
    Frame4->setAccessibleName(QStringLiteral("Unattended"));
    chkAutoRead = new WrappingCheckBox(QStringLiteral("Auto read every 30 seconds"), Frame4);
    chkAutoRead->setObjectName(QStringLiteral("chkAutoRead"));
    chkAutoRead->setGeometry(twipsRect(120, 360, 1455, 495));
    // An unattended station is left to read by itself: reading is on from the start.
    chkAutoRead->setChecked(true);
    lastFired = new QLabel(QStringLiteral("Waiting..."), Frame4);
    lastFired->setObjectName(QStringLiteral("lastFired"));
    lastFired->setGeometry(twipsRect(120, 1080, 1695, 855));
    lastFired->setWordWrap(true);
    lastFired->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    CmdStartTransfer[1] = makeButton(Frame4, QStringLiteral("CmdStartTransfer[1]"), QStringLiteral("Force Transfer"),
                                     twipsRect(240, 2520, 1335, 615));
    CmdSetup[1] =
        makeButton(Frame4, QStringLiteral("CmdSetup[1]"), QStringLiteral("Setup"), twipsRect(240, 3240, 1335, 615));
    Frame4->hide();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(30000);
    connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);

    connect(CmdScanAll, &QPushButton::clicked, this, &frmMain::CmdScanAll_Click);
    connect(CmdSelectScanner, &QPushButton::clicked, this, &frmMain::CmdSelectScanner_Click);
    connect(CmdExploreDir, &QPushButton::clicked, this, &frmMain::CmdExploreDir_Click);
    for (QPushButton* b : CmdStartTransfer)
        connect(b, &QPushButton::clicked, this, &frmMain::CmdStartTransfer_Click);
    for (QPushButton* b : CmdSetup)
        connect(b, &QPushButton::clicked, this, &frmMain::CmdSetup_Click);

    // The designed focus order; the hidden panel's controls are skipped by Qt.
    QWidget* order[] = {CmdScanAll,          CmdStartTransfer[0], CmdSelectScanner, CmdSetup[0],
                        Text1,               CmdExploreDir,       CmdSetup[1],      CmdStartTransfer[1],
                        chkAutoRead,         FileList,            lblManual,        lblUnattended};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

// ---------------------------------------------------------------------------
// Start-up and settings

void frmMain::Form_Load()
{
    base64Chars = Base64::alphabet();
    show();
    ApplySettings();
}

void frmMain::ApplySettings()
{
    try {
        const bool firstStart = !QFileInfo::exists(Settings::settingsFilePath());
        Settings::LoadSettings();
        uploadUrl = Settings::uploadToUrl;
        readFromFolder = Settings::readFromPath;
        // A newcomer's first start shows Setup, not a "Path not found" for the
        // default folder nobody has made yet. Private, as the scans in it are.
        if (firstStart && readFromFolder == Settings::defaultReadFromPath()
            && ::mkdir(QFile::encodeName(readFromFolder).constData(), 0700) == 0)
            qCInfo(lcMain) << "made the read-from folder" << readFromFolder;
        setWindowTitle(Settings::appTitle + QStringLiteral(" Quillfeed 1.3"));
        const QString stored = modeStore().value(QStringLiteral("Applicant Tracking/lastMode")).toString();
        setMode(stored == QLatin1String("Unattended"));
        converterPath = Settings::programFolder() + QStringLiteral("/tiff2pdf");
        if (!Settings::proxyAddress.isEmpty()) {
            Inet1->setProxy(Settings::proxyAddress);
            Inet1->setAccessType(InetControl::AccessNamedProxy);
        } else {
            Inet1->setProxy(QString());
            Inet1->setAccessType(InetControl::AccessDefault);
        }
    } catch (...) {
        showMessage(this, kProgramTitle, describeCurrentException());
        return;
    }

    try {
        if (readFromFolder.contains(QChar(0)))
            throw Failure(QStringLiteral("The read-from folder holds a NUL character, which no path can hold: %1")
                              .arg(QString(readFromFolder).replace(QChar(0), QStringLiteral("\\0"))));
        const QFileInfo folder(readFromFolder);
        if (!folder.isDir())
            throw Failure(readFromFolder.isEmpty() || !folder.exists()
                              ? QStringLiteral("Path not found: %1").arg(readFromFolder)
                              : QStringLiteral("%1 is not a folder").arg(readFromFolder));
        RefreshFileList();
        setStatus(QStringLiteral("----Ready----"));
        if (!m_folderLock.held())
            addStatus(m_folderLock.message());
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
        showMessage(this, kProgramTitle, describeCurrentException());
    }
    ApplySettings();
}

void frmMain::CmdExploreDir_Click()
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(readFromFolder)))
        showMessage(this, kProgramTitle, QStringLiteral("Could not open the folder %1 in a file manager.").arg(readFromFolder));
}

// ---------------------------------------------------------------------------
// Status box and diagnostics

QString frmMain::statusText() const
{
    return Text1->text();
}

QStringList frmMain::fileListEntries() const
{
    return m_fileList->entries();
}

void frmMain::addStatus(const QString& message)
{
    Text1->prepend(message);
    m_statusThrottle->changed();
}

void frmMain::setStatus(const QString& text)
{
    // What was said once is gone from the box: it is said again when it applies.
    m_saidOnce.clear();
    Text1->setText(text);
    m_statusThrottle->changed();
}

void frmMain::holdBack(const QString& why)
{
    addStatus(QStringLiteral("Held back ") + currentFile + QStringLiteral(": ") + why +
              QStringLiteral("; it goes in a later pass."));
}

void frmMain::addStatusOnce(const QString& message)
{
    if (!m_saidOnce.contains(message)) {
        m_saidOnce.insert(message);
        addStatus(message);
    }
}

void frmMain::keepLeftover(Leftovers::Kind kind, const FileGate::Identity& identity, const QString& path,
                           const QString& why)
{
    const QString stored = m_leftovers.add(kind, identity, path);
    const QString done = kind == Leftovers::Kind::Filed ? QStringLiteral("was filed") : QStringLiteral("was converted");
    const QString again = kind == Leftovers::Kind::Filed ? QStringLiteral("sent") : QStringLiteral("converted");
    addStatusOnce(QStringLiteral("%1 %2 but cannot be deleted (%3). It is not %4 again while it stays as it is; "
                                 "delete it by hand, or let Quillfeed's user delete files in its folder.")
                      .arg(path, done, why, again));
    if (!stored.isEmpty())
        addStatus(stored + QStringLiteral("; after a restart of Quillfeed it could be sent again."));
}

void frmMain::addErrorBlock(const QString& description, const QString& subject)
{
    addStatus(QString(18, u'-'));
    addStatus(description);
    addStatus(QStringLiteral("Error @ ") + generalDateTime());
    addStatus(QStringLiteral("Reading: ") + subject);
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
    QSettings store = modeStore();
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
        addErrorBlock(describeCurrentException(), readFromFolder);
    }
}

// ---------------------------------------------------------------------------
// Listing

void frmMain::RefreshFileList()
{
    m_fileList->clear();
    m_stamps.clear();
    if (!m_folderLock.acquire(readFromFolder)) {
        // Another Quillfeed serves this folder: nothing of it is ours to send.
        if (m_folderLock.takeNewRefusal())
            addStatus(m_folderLock.message());
        return;
    }
    std::vector<ListedFile> found;
    QStringList entries;
    auto publish = [&] {
        entries.reserve(qsizetype(found.size()));
        m_stamps.reserve(qsizetype(found.size()));
        for (ListedFile& f : found) {
            m_stamps.insert(f.entry, Stamp{f.size, f.mtimeNs, f.nameNotText, f.symbolicLink, f.device, f.inode});
            entries.push_back(std::move(f.entry));
        }
        m_fileList->setEntries(std::move(entries));
    };
    try {
        listFolderTree(readFromFolder, found);
    } catch (...) {
        publish();
        throw;
    }
    publish();
    // Only a complete listing can tell that a remembered file is gone.
    if (!m_leftovers.isEmpty()) {
        QSet<FileGate::Identity> present;
        for (const Stamp& stamp : std::as_const(m_stamps))
            present.insert(stamp.identity());
        m_leftovers.keepOnly(readFromFolder, present);
    }
}

// ---------------------------------------------------------------------------
// Transfer driver

void frmMain::CmdStartTransfer_Click()
{
    setStatus(QString());
    if (testMode)
        newShownDiagWindow();
    if (Inet1->StillExecuting()) {
        if (Inet1->RequestDelivered()) {
            // The page has the whole document and may have filed it: sending it
            // again could file it twice, so its answer is awaited instead.
            addStatus(QStringLiteral("The last request has reached the web page; waiting for its answer."));
        } else {
            Inet1->Cancel();
            m_inFlight = false;
            addStatus(QStringLiteral("Cancelled last request."));
        }
    }
    try {
        RefreshFileList();
        pagesFiled = 0;
        ProcessNextFile();
    } catch (...) {
        showMessage(this, kProgramTitle, describeCurrentException());
    }
}

void frmMain::ProcessNextFile()
{
    // Files that are skipped or held back hand over to the next entry at once;
    // a loop keeps a long run of them from nesting calls.
    for (;;) {
        if (m_fileList->count() > 0) {
            const QString next = m_fileList->at(0);
            diag()->Log(QStringLiteral("Filename: ") + next);
            if (Inet1->StillExecuting() || m_inFlight) {
                addStatus(QStringLiteral("----Still Executing----\r\nWait a minute or two and press 'Force "
                                         "Transfer' to continue uploading.\r\n----") +
                          QString::number(pagesFiled) + QStringLiteral(" Pages Filed----"));
                return;
            }
            currentFile = next;
            UploadOutcome outcome;
            try {
                outcome = uploadCurrent();
            } catch (...) {
                // Whatever broke this upload, it must not leave the driver busy for good.
                m_inFlight = false;
                throw;
            }
            if (outcome == UploadOutcome::NextEntry)
                continue;
            return;
        }
        if (Text1->head(7) != QLatin1String("----Fin"))
            addStatus(QStringLiteral("----Finished Processing Scans----\r\n----") + QString::number(pagesFiled) +
                      QStringLiteral(" Pages Filed----"));
        RefreshFileList();
        return;
    }
}

void frmMain::removeCurrentEntry()
{
    m_fileList->removeEntry(currentFile);
}

// ---------------------------------------------------------------------------
// Upload

void frmMain::Upload()
{
    if (uploadCurrent() == UploadOutcome::NextEntry)
        ProcessNextFile();
}

QByteArray frmMain::base64_encode(const QByteArray& strIn) const
{
    return Base64::base64_encode(strIn);
}

QByteArray frmMain::base64_decode(const QByteArray& strIn) const
{
    return Base64::base64_decode(strIn);
}

QString frmMain::outFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/quillfeed/out.txt");
}

frmMain::UploadOutcome frmMain::uploadCurrent()
{
    m_inFlight = true;
    auto reportStep = [this](const QString& description) {
        addErrorBlock(description, readFromFolder + currentFile);
    };
    // Leaves the entry's file where it is, takes the entry off this pass's list
    // and goes on with the next one.
    auto passOver = [this]() {
        removeCurrentEntry();
        m_inFlight = false;
        return UploadOutcome::NextEntry;
    };

    // The file name and its extension: the second piece between dots.
    const UploadRequest::NameParts name = UploadRequest::splitEntry(currentFile);
    if (!name.extension)
        reportStep(QStringLiteral("Subscript out of range"));
    const UploadRequest::TypeRule rule = UploadRequest::ruleForExtension(name.extension.value_or(QString()));

    const auto listed = m_stamps.constFind(currentFile);
    if (listed != m_stamps.cend() && listed->nameNotText) {
        // Left where it is: renamed to valid text, it goes with the next pass.
        addStatus(QStringLiteral("Cannot send %1: its name is not valid text (UTF-8); rename the file to send it.")
                      .arg(currentFile));
        return passOver();
    }
    if (listed != m_stamps.cend() && listed->symbolicLink) {
        // Anyone who can drop a file here could otherwise have the page sent
        // whatever this user can read (settings.txt and its proxy password).
        addStatusOnce(QStringLiteral("Left alone %1: it is a symbolic link, and links are never followed; put the "
                                     "file itself into the folder to send it.")
                          .arg(currentFile));
        return passOver();
    }
    if (listed != m_stamps.cend()) {
        if (const Leftovers::Record* done = m_leftovers.find(listed->identity())) {
            addStatusOnce(QStringLiteral("Left alone %1: it %2 already but could not be deleted; delete it by hand.")
                              .arg(readFromFolder + currentFile,
                                   done->kind == Leftovers::Kind::Filed ? QStringLiteral("was filed")
                                                                        : QStringLiteral("was converted")));
            return passOver();
        }
    }

    if (rule.action == UploadRequest::Action::Skip) {
        // Skipped files stay in the folder: their type may be one the operator keeps.
        addStatus(QStringLiteral("Skipping ") + currentFile + QStringLiteral("... "));
        Text1->appendLineBreak();
        return passOver();
    }

    FileGate::Expectation expected;
    if (rule.action == UploadRequest::Action::Convert) {
        std::optional<FileGate::Identity> pdf = convertCurrent();
        if (!pdf)
            return passOver();
        // The converter's own output, exactly as it was made.
        expected = {pdf->size, pdf->mtimeNs, true};
    } else {
        expected = expectationFor(currentFile);
    }

    const QString path = readFromFolder + currentFile;

    const QByteArray prefix = UploadRequest::bodyPrefix(currentFile, rule.contentType);
    const QByteArray suffix = UploadRequest::bodySuffix();
    QByteArray body;
    body.reserve(prefix.size());
    body += prefix;
    const FileGate::Result read = FileGate::readWhole(path, expected, body, suffix.size());
    switch (read.verdict) {
    case FileGate::Verdict::Ready:
        break;
    case FileGate::Verdict::BeingWritten:
        holdBack(read.description);
        return passOver();
    case FileGate::Verdict::Vanished:
    case FileGate::Verdict::Unreadable:
        reportStep(read.description);
        return passOver();
    }
    body += suffix;
    requestBody = body;
    diag()->Log(QStringLiteral("Attempting upload"));

    // Through a proxy, an https request carries the credentials on its CONNECT;
    // a line of ours would travel inside the tunnel to the web server.
    const bool viaProxy = !Settings::proxyAddress.isEmpty();
    const bool https = uploadUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    Inet1->setProxyCredentials(Settings::proxyUserName, Settings::proxyPassword);
    const QString headers =
        UploadRequest::headerText(viaProxy && !https, Settings::proxyUserName, Settings::proxyPassword);

    m_sendingPath = path;
    m_sendingIdentity = read.identity;
    try {
        Inet1->Execute(uploadUrl, QStringLiteral("POST"), requestBody, headers);
    } catch (...) {
        reportStep(describeCurrentException());
        // No reply will come for a request that never started.
        m_inFlight = false;
    }
    addStatus(QStringLiteral("Uploading ") + currentFile + QStringLiteral("... "));
    writeOutFile();
    return UploadOutcome::Sent;
}

void frmMain::writeOutFile()
{
    const QString path = outFilePath();
    const QString folder = QFileInfo(path).absolutePath();
    // The body is document content: a private folder, a private file. The folder
    // is made private once, and again whenever the file cannot be opened in it.
    auto prepareFolder = [&folder] {
        if (!QDir().mkpath(folder))
            throw Failure(QStringLiteral("Cannot create the folder %1").arg(folder));
        ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    };
    try {
        if (!m_outFolderReady) {
            prepareFolder();
            m_outFolderReady = true;
        }
        // A plain rewrite: this copy is for looking at, and syncing it to disk for
        // every file sent would cost more than the upload itself.
        QFile out(path);
        const auto mode = QIODevice::WriteOnly | QIODevice::Truncate;
        const auto permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (!out.open(mode, permissions)) {
            m_outFolderReady = false;
            prepareFolder();
            m_outFolderReady = true;
            if (!out.open(mode, permissions))
                throw Failure(QStringLiteral("Cannot write %1: %2").arg(path, out.errorString()));
        }
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (out.write(requestBody) != requestBody.size() || out.write("\r\n", 2) != 2 || !out.flush())
            throw Failure(QStringLiteral("Cannot write %1: %2").arg(path, out.errorString()));
    } catch (...) {
        addErrorBlock(describeCurrentException(), readFromFolder + currentFile);
    }
}

std::optional<FileGate::Identity> frmMain::convertCurrent()
{
    const UploadRequest::NameParts name = UploadRequest::splitEntry(currentFile);
    const QString source = readFromFolder + currentFile;

    // A TIFF still being written would be converted in part and then deleted.
    const FileGate::Result gate = FileGate::checkComplete(source, expectationFor(currentFile));
    if (gate.verdict == FileGate::Verdict::BeingWritten) {
        holdBack(gate.description);
        return std::nullopt;
    }
    if (gate.verdict != FileGate::Verdict::Ready) {
        addErrorBlock(gate.description, source);
        return std::nullopt;
    }

    // The PDF goes to the top of the folder, under a name no file has yet.
    const QString outputPath = UploadRequest::freePdfPath(readFromFolder, name.dotPieces.value(0));
    const QString newName = QFileInfo(outputPath).fileName();
    diag()->Log(QStringLiteral("New filename:") + newName);
    const QString commandLine = UploadRequest::conversionCommandLine(converterPath, source, outputPath);
    diag()->Log(QStringLiteral("Command: ") + commandLine);
    const qint64 startedNs = FileGate::fileClockNowNs();
    const int exitCode = RunExe::RunAndWait(commandLine);

    // Only what this step made is ever deleted. The name was free when the
    // converter started; a file standing there that was created since by this
    // user is what the converter left. Anything else (a file moved there
    // meanwhile, the very reason a converter refuses) is somebody else's.
    QString failure;
    std::optional<FileGate::Identity> made;
    if (exitCode != 0) {
        failure = exitCode < 0 ? QStringLiteral("The converter %1 could not be run or was stopped").arg(converterPath)
                               : QStringLiteral("The converter ended with exit code %1").arg(exitCode);
        made = FileGate::createdSince(outputPath, startedNs);
    } else {
        made = FileGate::identityAt(outputPath);
        if (!made || !looksLikeCompletePdf(outputPath)) {
            failure = QStringLiteral("The converter made no complete PDF of %1").arg(source);
            made = FileGate::createdSince(outputPath, startedNs);
        }
    }
    auto discardMade = [&] {
        QString why;
        if (made)
            FileGate::removeIfUnchanged(outputPath, *made, &why);
    };
    if (!failure.isEmpty()) {
        // Keep the TIFF, never leave a partial PDF behind.
        discardMade();
        addErrorBlock(failure, source);
        return std::nullopt;
    }

    if (testMode)
        showMessage(this, kProgramTitle,
                    QStringLiteral("File was converted. Inspect the source and resulting files if needed. Click OK "
                                   "to continue."));

    // A TIFF saved over while it was converted may be in the PDF or not: the PDF
    // goes, the new TIFF stays for a later pass.
    if (FileGate::identityAt(source) != gate.identity) {
        discardMade();
        holdBack(QStringLiteral("changed while it was converted"));
        return std::nullopt;
    }

    const QString newEntry = u'/' + newName;
    m_fileList->removeEntry(currentFile);
    m_fileList->insertAt(0, newEntry);
    QString why;
    switch (FileGate::removeIfUnchanged(source, gate.identity, &why)) {
    case FileGate::Removal::Removed:
    case FileGate::Removal::Gone:
    case FileGate::Removal::Changed: // the newer version waits for a later pass
        break;
    case FileGate::Removal::Refused:
        keepLeftover(Leftovers::Kind::Converted, gate.identity, source, why);
        break;
    }
    currentFile = newEntry;
    return made;
}

FileGate::Expectation frmMain::expectationFor(const QString& entry) const
{
    FileGate::Expectation expected;
    const auto stamp = m_stamps.constFind(entry);
    if (stamp != m_stamps.cend()) {
        expected.size = stamp->size;
        expected.mtimeNs = stamp->mtimeNs;
    }
    // A page the scanner completed, still as it was when reported, needs no quiet time.
    const auto page = m_trustedPages.constFind(entry);
    expected.trusted = page != m_trustedPages.cend() && page->size == expected.size && page->mtimeNs == expected.mtimeNs;
    return expected;
}

bool frmMain::looksLikeCompletePdf(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() < 16)
        return false;
    const QByteArray head = f.read(5);
    f.seek(qMax<qint64>(0, f.size() - 1024));
    const QByteArray tail = f.readAll();
    return head == "%PDF-" && tail.contains("%%EOF");
}

// ---------------------------------------------------------------------------
// Reply handling

void frmMain::Inet1_StateChanged(int state)
{
    if (state != InetControl::icError && state != InetControl::icResponseCompleted)
        return;

    if (state == InetControl::icError) {
        diag()->Log(QStringLiteral("Error from Inet Control: ") + QString::number(Inet1->ResponseCode()) + u':' +
                    Inet1->ResponseInfo());
        // The operator must see that nothing was filed, not only the diagnostic log.
        if (Inet1->LastRequestDelivered())
            addStatus(QStringLiteral("%1 reached the web page, which may already have filed it. It stays in the folder "
                                     "and goes again with the next pass; check the page before you file it by hand.")
                          .arg(currentFile));
        addStatus(QStringLiteral("Transfer failed: ") + Inet1->ResponseInfo());
        m_inFlight = false;
        requestBody.clear();
        return;
    }

    const QString sentPath = m_sendingPath;
    const bool truncated = Inet1->ReplyTruncated();
    QByteArray replyBytes;
    QByteArray piece = Inet1->GetChunk(1024, 0);
    QCoreApplication::processEvents();
    while (!piece.isEmpty()) {
        replyBytes += piece;
        piece = Inet1->GetChunk(1024, 0);
        QCoreApplication::processEvents();
    }
    const QString reply = QString::fromUtf8(replyBytes);
    addStatus(reply);

    auto report = [this](const QString& description) {
        diag()->Log(QStringLiteral("Error while processing incoming data: ") + description +
                    QStringLiteral(" Inet Response: ") + QString::number(Inet1->ResponseCode()) + u':' +
                    Inet1->ResponseInfo());
    };

    // An error page that happens to read "OK" has filed nothing.
    const long status = Inet1->ResponseCode();
    const bool success = status >= 200 && status <= 299;
    if (reply == QLatin1String("OK") && !truncated && success) {
        ++pagesFiled;
        m_inFlight = false;
        requestBody.clear();
        QString why;
        switch (FileGate::removeIfUnchanged(sentPath, m_sendingIdentity, &why)) {
        case FileGate::Removal::Removed:
            break;
        case FileGate::Removal::Gone:
            report(why);
            break;
        case FileGate::Removal::Changed:
            // The version that was filed is gone from the folder already; the one
            // saved over it since has not been sent and waits for a later pass.
            addStatus(currentFile + QStringLiteral(" changed after it was sent; the new version is kept for a "
                                                   "later pass."));
            break;
        case FileGate::Removal::Refused:
            // Filed: sending it again would file it twice, and stopping here would
            // hold back every file behind it.
            report(why);
            keepLeftover(Leftovers::Kind::Filed, m_sendingIdentity, sentPath, why);
            break;
        }
        removeCurrentEntry();
        try {
            ProcessNextFile();
        } catch (...) {
            report(describeCurrentException());
            addErrorBlock(describeCurrentException(), readFromFolder);
        }
        return;
    }

    addStatus(QStringLiteral("Error filing scan. Please try 'Force Transfer' in 10 minutes. If the problem "
                             "continues, contact technical support.\r\n-------"));
    report(truncated ? QStringLiteral("The reply was longer than 1 MiB") : QString());
    m_inFlight = false;
    requestBody.clear();
}

// ---------------------------------------------------------------------------
// Scanning

void frmMain::CmdSelectScanner_Click()
{
    try {
        ImgScan1->ShowSelectScanner(this);
    } catch (...) {
        showMessage(this, kProgramTitle, describeCurrentException());
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
    m_scanRunning = true;
    bool opened = false;
    try {
        ImgScan1->OpenScanner();
        opened = true;
        if (afterScannerOpen)
            afterScannerOpen(ImgScan1);
        ImgScan1->SetScanTo(4);
        ImgScan1->SetImage(readFromFolder + QStringLiteral("/img"));
        ImgScan1->SetMultiPage(true);
        ImgScan1->SetPageOption(1);
        diag()->Log(QStringLiteral("Starting Scanner"));
        ImgScan1->SetFileType(1);
        ImgScan1->StartScan();
        ImgScan1->CloseScanner();
        opened = false;
        m_scanRunning = false;
        RefreshFileList();
        pagesFiled = 0;
        ProcessNextFile();
    } catch (...) {
        const QString description = describeCurrentException();
        // Release the device so that the next Scan All can open it again.
        if (opened) {
            try {
                ImgScan1->CloseScanner();
            } catch (...) {
            }
        }
        m_scanRunning = false;
        showMessage(this, QStringLiteral("Scan Error"), description);
    }
}

void frmMain::ImgScan1_PageDone(int)
{
    ++pagesScanned;
    try {
        RefreshFileList();
        // The pages the scanner has just completed need no quiet time before they go.
        for (const QString& path : ImgScan1->pagesWritten()) {
            const QString entry = path.mid(readFromFolder.size());
            const auto stamp = m_stamps.constFind(entry);
            if (path.startsWith(readFromFolder) && stamp != m_stamps.cend())
                m_trustedPages.insert(entry, *stamp);
        }
    } catch (...) {
        addErrorBlock(describeCurrentException(), readFromFolder);
    }
}

void frmMain::ImgScan1_ScanDone()
{
    addStatus(QStringLiteral("----") + QString::number(pagesScanned) + QStringLiteral(" Pages Scanned----"));
}
