// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as it was designed: frames, status box, file list, the
// hand-drawn tab strip, the two panels and the focus order.
#include "frmMain.h"

#include "Controls.h"
#include "Design.h"
#include "FileListModel.h"
#include "FocusFrame.h"
#include "ProgressPane.h"
#include "RepaintThrottle.h"
#include "ShownFileList.h"
#include "StatusBox.h"
#include "TabStrip.h"
#include "WrappingCheckBox.h"

#include <QGroupBox>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTimer>

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
    FocusFrame::attach(Text1);
    m_statusThrottle = new RepaintThrottle(Text1);

    Frame1 = new QGroupBox(QStringLiteral("Scans"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(3600, 120, 2655, 5175));
    FileListModel* files = m_transfer->fileList();
    FileList = new QListView(Frame1);
    FileList->setObjectName(QStringLiteral("FileList"));
    FileList->setGeometry(twipsRect(120, 360, 2415, 3960));
    FileList->setFont(designFont());
    FileList->setUniformItemSizes(true);
    FileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FileList->setModel(new ShownFileList(files, FileList));
    FileList->setAccessibleName(QStringLiteral("Scans"));
    FocusFrame::attach(FileList);
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
        return new TabLine(Frame5, QStringLiteral("%1[%2]").arg(QLatin1String(array)).arg(index), c, x1, y1,
                           x2, y2);
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
    CmdStartTransfer[0] = makeButton(Frame3, QStringLiteral("CmdStartTransfer[0]"),
                                     QStringLiteral("Force Transfer"), twipsRect(240, 1080, 1335, 615));
    CmdSelectScanner = makeButton(Frame3, QStringLiteral("CmdSelectScanner"),
                                  QStringLiteral("Select Scanner"), twipsRect(240, 2520, 1335, 615));
    CmdSetup[0] = makeButton(Frame3, QStringLiteral("CmdSetup[0]"), QStringLiteral("Setup"),
                             twipsRect(240, 3240, 1335, 615));

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
    CmdStartTransfer[1] = makeButton(Frame4, QStringLiteral("CmdStartTransfer[1]"),
                                     QStringLiteral("Force Transfer"), twipsRect(240, 2520, 1335, 615));
    CmdSetup[1] = makeButton(Frame4, QStringLiteral("CmdSetup[1]"), QStringLiteral("Setup"),
                             twipsRect(240, 3240, 1335, 615));
    Frame4->hide();

    // In the room both panels leave below their buttons, above whichever is shown.
    progress = new ProgressPane(this);
    progress->setObjectName(QStringLiteral("progress"));
    progress->setGeometry(twipsRect(6480, 4275, 1710, 960));
    progress->raise();
    connect(m_transfer, &TransferDriver::sending, progress, &ProgressPane::showSending);

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
    QWidget* order[] = {CmdScanAll,    CmdStartTransfer[0], CmdSelectScanner,    CmdSetup[0], Text1,
                        CmdExploreDir, CmdSetup[1],         CmdStartTransfer[1], chkAutoRead, FileList,
                        lblManual,     lblUnattended};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}
