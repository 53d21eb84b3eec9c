// SPDX-License-Identifier: GPL-3.0-or-later
#include "Dialog.h"
#include "Controls.h"
#include "Design.h"

#include "ConfigLogging.h"
#include "Failure.h"
#include "Settings.h"

#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

namespace {

// The dialog that is open or opening; there is never more than one.
Dialog* g_current = nullptr;
// The main window's testMode; without one the switch flips a flag of its own.
bool* g_testModeFlag = nullptr;
bool g_ownTestMode = false;

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(geometry);
    return label;
}

QLineEdit* makeBox(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* box = new QLineEdit(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(geometry);
    // A value is taken and saved exactly as it is; the default limit of 32767
    // characters would cut a long one off without a word.
    box->setMaxLength(std::numeric_limits<int>::max());
    return box;
}

void bringForward(Dialog* dialog)
{
    // While it is still opening it is not on the screen yet; it shows when its
    // opener is done.
    if (!dialog->isVisible())
        return;
    dialog->raise();
    dialog->activateWindow();
}

// The root, however written, would offer every file of the machine to
// upload-and-delete.
bool isRootFolder(const QString& folder)
{
    if (!folder.startsWith(u'/'))
        return false;
    QString path = QDir::cleanPath(folder);
    // cleanPath keeps a leading "/..", which is the root all the same.
    while (path.startsWith(QStringLiteral("/..")) && (path.size() == 3 || path.at(3) == u'/'))
        path = path.size() == 3 ? QStringLiteral("/") : path.mid(3);
    return path == QStringLiteral("/");
}

} // namespace

Dialog::Dialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint)
{
    g_current = this;

    setObjectName(QStringLiteral("Dialog"));
    setWindowTitle(QStringLiteral("Enter environment variables"));
    setWindowIcon(QIcon());
    setFont(designFont(QStringLiteral("MS Sans Serif")));
    setSizeGripEnabled(false);
    // Its fixed place on the screen, not centred over the main window; the
    // client area is placed, the frame goes around it.
    setFixedSize(px(6030), px(5310));
    setGeometry(QRect(QPoint(px(4335), px(2745)), size()));
    // An open setup dialog never keeps the program running once the main window is closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    // Created in tab order, so the focus chain follows the design's tab indexes:
    // the two buttons first, then the boxes and the switch.
    OKButton =
        makeButton(this, QStringLiteral("OKButton"), QStringLiteral("OK"), twipsRect(4680, 4200, 1215, 375));
    CancelButton = makeButton(this, QStringLiteral("CancelButton"), QStringLiteral("Cancel"),
                              twipsRect(4680, 4680, 1215, 375));
    Label1[0] = makeLabel(this, "Label1[0]", QStringLiteral("Upload To:"), twipsRect(240, 480, 1095, 255));
    Label1[1] = makeLabel(this, "Label1[1]", QStringLiteral("Read From:"), twipsRect(240, 1080, 1095, 255));
    uploadTo = makeBox(this, "uploadTo", QStringLiteral("http://"), twipsRect(1440, 360, 4335, 405));
    readFrom = makeBox(this, "readFrom", QStringLiteral("C:\\"), twipsRect(1440, 960, 4335, 405));
    lblHelp = makeLabel(this, "lblHelp", QString(), twipsRect(240, 3120, 4095, 2055));
    lblHelp->setWordWrap(true);
    lblHelp->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cmdTest = makeButton(this, QStringLiteral("cmdTest"), QStringLiteral("Toggle Test Mode On/Off"),
                         twipsRect(4680, 3120, 1215, 495), /*wrapCaption=*/true);

    Frame1 = new QGroupBox(QStringLiteral("Proxy (only basic authentication supported)"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(120, 1560, 5655, 1335));
    Label2 = makeLabel(Frame1, "Label2", QStringLiteral("Use Proxy:"), twipsRect(120, 360, 975, 375));
    ProxyAddress = makeBox(Frame1, "ProxyAddress", QString(), twipsRect(1680, 240, 3855, 375));
    Label3 =
        makeLabel(Frame1, "Label3", QStringLiteral("UserID / Password:"), twipsRect(120, 840, 1455, 375));
    UserName = makeBox(Frame1, "UserName", QString(), twipsRect(1680, 720, 1935, 375));
    Password = makeBox(Frame1, "Password", QString(), twipsRect(3720, 720, 1815, 375));
    Password->setEchoMode(QLineEdit::Password);
    Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    // No input-method editor on the password: it would see, and may keep, what is typed.
    Password->setAttribute(Qt::WA_InputMethodEnabled, false);
    Password->setInputMethodHints(Password->inputMethodHints() | Qt::ImhSensitiveData |
                                  Qt::ImhNoPredictiveText | Qt::ImhHiddenText | Qt::ImhNoAutoUppercase);

    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, uploadTo);
    setTabOrder(uploadTo, readFrom);
    setTabOrder(readFrom, cmdTest);
    setTabOrder(cmdTest, ProxyAddress);
    setTabOrder(ProxyAddress, UserName);
    setTabOrder(UserName, Password);
    OKButton->setFocus();

    connect(OKButton, &QPushButton::clicked, this, &Dialog::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(cmdTest, &QPushButton::clicked, this, &Dialog::cmdTest_Click);
    // Every way of closing (OK, Cancel, the close box) ends here: the instance
    // is discarded, so the next opening starts from the design state.
    connect(this, &QDialog::finished, this, [this] {
        if (g_current == this)
            g_current = nullptr;
        deleteLater();
    });

    Form_Load();
}

Dialog::~Dialog()
{
    if (g_current == this)
        g_current = nullptr;
}

void Dialog::setTestModeFlag(bool* flag)
{
    g_testModeFlag = flag;
}

Dialog* Dialog::current()
{
    return g_current;
}

void Dialog::install()
{
    Settings::setShowDialogRequest([] { Dialog::showModeless(); });
}

void Dialog::showModal()
{
    if (g_current) {
        bringForward(g_current);
        return;
    }
    auto* dialog = new Dialog;
    dialog->setWindowModality(Qt::ApplicationModal);
    // exec() copes with the dialog being discarded before it returns.
    dialog->exec();
}

void Dialog::showModeless()
{
    if (g_current) {
        bringForward(g_current);
        return;
    }
    auto* dialog = new Dialog;
    dialog->setModal(false);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void Dialog::Form_Load()
{
    lblHelp->setText(QStringLiteral("Descriptions of values:") + QStringLiteral("\r\n") +
                     QStringLiteral("Upload To: This should be the fully qualified web ") +
                     QStringLiteral("address of a .asp page that can accept posted Tiffs.") +
                     QStringLiteral("\r\n") + QStringLiteral("\r\n") +
                     QStringLiteral("Read From: This should be a fully qualified path to ") +
                     QStringLiteral("a folder containing Tiffs."));

    // The file is read afresh at every opening. With no file this asks for the
    // dialog again; that request finds this one opening and does nothing more.
    Settings::LoadSettings();

    uploadTo->setText(Settings::uploadToUrl);
    readFrom->setText(Settings::readFromPath);
    ProxyAddress->setText(Settings::proxyAddress);
    UserName->setText(Settings::proxyUserName);
    Password->setText(Settings::proxyPassword);
    // Show where each value begins: an address is read from its start.
    for (QLineEdit* box : {uploadTo, readFrom, ProxyAddress, UserName, Password})
        box->setCursorPosition(0);
}

void Dialog::OKButton_Click()
{
    const QString upload = uploadTo->text();
    const QString folder = readFrom->text();
    // A line break may be pasted into a box.
    bool lineBreak = false;
    for (const QLineEdit* box : {uploadTo, readFrom, ProxyAddress, UserName, Password})
        lineBreak = lineBreak || !Settings::fitsOnOneLine(box->text());
    // The design placeholders are refused, whole text and case-sensitive, and
    // so is the root folder.
    if (folder == QStringLiteral("C:\\") || isRootFolder(folder) || upload == QStringLiteral("http://") ||
        lineBreak) {
        showMessage(this, QStringLiteral("Please specify valid values."));
        return;
    }

    const QString before[] = {Settings::uploadToUrl, Settings::readFromPath, Settings::proxyAddress,
                              Settings::proxyUserName, Settings::proxyPassword};
    Settings::uploadToUrl = upload;
    Settings::readFromPath = folder;
    Settings::proxyAddress = ProxyAddress->text();
    Settings::proxyUserName = UserName->text();
    Settings::proxyPassword = Password->text();
    try {
        Settings::SaveSettings();
    } catch (...) {
        // Nothing was saved, so nothing is taken: what the program uses stays
        // what the file holds. The operator keeps the entries to try again or cancel.
        const QString description = describeCurrentException();
        Settings::uploadToUrl = before[0];
        Settings::readFromPath = before[1];
        Settings::proxyAddress = before[2];
        Settings::proxyUserName = before[3];
        Settings::proxyPassword = before[4];
        qCWarning(lcConfig) << "settings not saved:" << description;
        showMessage(this, description);
        return;
    }
    accept();
}

void Dialog::cmdTest_Click()
{
    bool& testMode = g_testModeFlag ? *g_testModeFlag : g_ownTestMode;
    testMode = !testMode;
    showMessage(this, QStringLiteral("Test mode is: ") +
                          (testMode ? QStringLiteral("True") : QStringLiteral("False")));
}

void Dialog::keyPressEvent(QKeyEvent* event)
{
    // Esc does not cancel: only the Cancel button and the close box do.
    if (event->matches(QKeySequence::Cancel) || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
