// SPDX-License-Identifier: GPL-3.0-or-later
// The setup dialog on the offscreen platform: its design, what it shows when it
// opens, OK with its refusals and its save, Cancel, test mode, the keys that must
// do nothing, the single instance on both ways of opening, and a failed save.
#include "Dialog.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A message box as the operator saw it.
struct BoxSeen
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Answers every message box that comes up with OK, and remembers what it said.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start(5);
    }
    QList<BoxSeen> seen;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        box->button(QMessageBox::Ok)->click();
    }
    QTimer m_timer;
};

int dialogCount()
{
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<Dialog*>(w))
            ++n;
    return n;
}

// Runs action once a dialog is on the screen, from inside whatever loop is waiting.
void whenDialogShown(std::function<void(Dialog*)> action)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action] {
        Dialog* d = Dialog::current();
        if (!d || !d->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(d);
    });
    timer->start(5);
}

QStringList currentValues()
{
    return {Settings::appTitle,     Settings::uploadToUrl,   Settings::readFromPath,
            Settings::proxyAddress, Settings::proxyUserName, Settings::proxyPassword};
}

QStringList boxTexts(Dialog* d)
{
    return {d->uploadTo->text(), d->readFrom->text(), d->ProxyAddress->text(), d->UserName->text(),
            d->Password->text()};
}

const QByteArray kFile(
    "Office "
    "Title\r\nhttp://127.0.0.1/office/save.asp\r\n/srv/scans\r\nproxy.local:3128\r\njane\r\nsecret\r\n");
const QStringList kFileValues{
    "Office Title", "http://127.0.0.1/office/save.asp", "/srv/scans", "proxy.local:3128", "jane", "secret"};

const QString kHelp =
    QStringLiteral("Descriptions of values:\r\n"
                   "Upload To: This should be the fully qualified web address of a .asp page "
                   "that can accept posted Tiffs.\r\n"
                   "\r\n"
                   "Read From: This should be a fully qualified path to a folder containing Tiffs.");

} // namespace

class tst_Dialog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void design();
    void tabOrderAndFocus();
    void helpText();
    void boxesShowTheFile();
    void okRefusesOrSaves_data();
    void okRefusesOrSaves();
    void savedFileBytes();
    void cancelStoresNothing_data();
    void cancelStoresNothing();
    void reopenStartsFresh();
    void toggleTestMode();
    void cancelAfterToggleKeepsTestMode();
    void enterAndEscPressNothing();
    void firstRunOpensOneModelessDialog();
    void firstRunOkWritesDefaults();
    void setupWithoutFileOpensOneModalDialog();
    void secondRequestOnlyRaises();
    void failedSaveKeepsDialogOpen_data();
    void failedSaveKeepsDialogOpen();
    void doesNotKeepProgramRunning();

private:
    Dialog* openWithFile(const QByteArray& content);
    QString path() const { return Settings::settingsFilePath(); }

    QTemporaryDir* m_dir = nullptr;
    BoxAnswerer* m_boxes = nullptr;
    bool m_testMode = false;
};

void tst_Dialog::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    Settings::setProgramFolder(m_dir->path());
    QFile::remove(Settings::userSettingsFilePath());
    for (QString* v : {&Settings::appTitle, &Settings::uploadToUrl, &Settings::readFromPath,
                       &Settings::proxyAddress, &Settings::proxyUserName, &Settings::proxyPassword})
        v->clear();
    m_testMode = false;
    Dialog::setTestModeFlag(&m_testMode);
    Dialog::install();
    m_boxes = new BoxAnswerer;
}

void tst_Dialog::cleanup()
{
    if (Dialog::current())
        Dialog::current()->reject();
    QCOMPARE(Dialog::current(), nullptr);
    QTRY_COMPARE(dialogCount(), 0);
    delete m_boxes;
    m_boxes = nullptr;
    Settings::setShowDialogRequest({});
    Dialog::setTestModeFlag(nullptr);
    if (m_dir) {
        ::chmod(QFile::encodeName(m_dir->path()).constData(), 0700);
        delete m_dir;
        m_dir = nullptr;
    }
}

Dialog* tst_Dialog::openWithFile(const QByteArray& content)
{
    if (!TestSupport::writeFile(path(), content))
        return nullptr;
    Dialog::showModeless();
    Dialog* d = Dialog::current();
    if (d && !QTest::qWaitForWindowExposed(d))
        return nullptr;
    return d;
}

void tst_Dialog::design()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QCOMPARE(d->windowTitle(), QStringLiteral("Enter environment variables"));
    QCOMPARE(d->size(), QSize(402, 354));
    QCOMPARE(d->minimumSize(), QSize(402, 354));
    QCOMPARE(d->maximumSize(), QSize(402, 354));
    QCOMPARE(d->geometry().topLeft(), QPoint(289, 183)); // its own place, not centred
    QVERIFY(d->windowIcon().isNull());
    const Qt::WindowFlags f = d->windowFlags();
    QCOMPARE(f & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(f & Qt::WindowCloseButtonHint);
    QVERIFY(!(f & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

    struct Expect
    {
        const char* name;
        const char* text;
        QRect geometry;
        QWidget* parent;
    };
    const Expect labels[] = {
        {"Label1[0]", "Upload To:", {16, 32, 73, 17}, d},
        {"Label1[1]", "Read From:", {16, 72, 73, 17}, d},
        {"Label2", "Use Proxy:", {8, 24, 65, 25}, d->Frame1},
        {"Label3", "UserID / Password:", {8, 56, 97, 25}, d->Frame1},
        {"lblHelp", nullptr, {16, 208, 273, 137}, d},
    };
    for (const Expect& e : labels) {
        auto* l = d->findChild<QLabel*>(QString::fromLatin1(e.name));
        QVERIFY2(l, e.name);
        if (e.text)
            QCOMPARE(l->text(), QString::fromLatin1(e.text));
        QCOMPARE(l->geometry(), e.geometry);
        QCOMPARE(l->parentWidget(), e.parent);
    }
    QCOMPARE(d->Label1[0]->objectName(), QStringLiteral("Label1[0]"));
    QCOMPARE(d->Label1[1]->objectName(), QStringLiteral("Label1[1]"));
    QVERIFY(d->lblHelp->wordWrap());

    const Expect boxes[] = {
        {"uploadTo", nullptr, {96, 24, 289, 27}, d},
        {"readFrom", nullptr, {96, 64, 289, 27}, d},
        {"ProxyAddress", nullptr, {112, 16, 257, 25}, d->Frame1},
        {"UserName", nullptr, {112, 48, 129, 25}, d->Frame1},
        {"Password", nullptr, {248, 48, 121, 25}, d->Frame1},
    };
    for (const Expect& e : boxes) {
        auto* b = d->findChild<QLineEdit*>(QString::fromLatin1(e.name));
        QVERIFY2(b, e.name);
        QCOMPARE(b->geometry(), e.geometry);
        QCOMPARE(b->parentWidget(), e.parent);
    }

    auto* frame = d->findChild<QGroupBox*>(QStringLiteral("Frame1"));
    QVERIFY(frame);
    QCOMPARE(frame->title(), QStringLiteral("Proxy (only basic authentication supported)"));
    QCOMPARE(frame->geometry(), QRect(8, 104, 377, 89));

    const Expect buttons[] = {
        {"cmdTest", "Toggle Test Mode On/Off", {312, 208, 81, 33}, d},
        {"OKButton", "OK", {312, 280, 81, 25}, d},
        {"CancelButton", "Cancel", {312, 312, 81, 25}, d},
    };
    for (const Expect& e : buttons) {
        auto* b = d->findChild<QPushButton*>(QString::fromLatin1(e.name));
        QVERIFY2(b, e.name);
        QCOMPARE(b->text(), QString::fromLatin1(e.text));
        QCOMPARE(b->geometry(), e.geometry);
        QVERIFY(!b->isDefault());
        QVERIFY(!b->autoDefault());
    }

    // The password shows a star for every character and keeps input methods out.
    d->Password->setText(QStringLiteral("abc"));
    QCOMPARE(d->Password->echoMode(), QLineEdit::Password);
    QCOMPARE(d->Password->displayText(), QStringLiteral("***"));
    QVERIFY(!d->Password->testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(d->Password->inputMethodHints() & Qt::ImhSensitiveData);
    QVERIFY(!d->isModal());
}

void tst_Dialog::tabOrderAndFocus()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    const QList<QWidget*> expected{d->OKButton, d->CancelButton, d->uploadTo, d->readFrom,
                                   d->cmdTest,  d->ProxyAddress, d->UserName, d->Password};
    QList<QWidget*> chain;
    QWidget* w = d->OKButton;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(d) && d->isAncestorOf(w))
            chain << w;
        w = w->nextInFocusChain();
    } while (w != d->OKButton && chain.size() < 50);
    QCOMPARE(chain, expected);
    // Labels and the frame take no focus.
    QCOMPARE(d->lblHelp->focusPolicy(), Qt::NoFocus);
    QCOMPARE(d->Frame1->focusPolicy(), Qt::NoFocus);
    // Tab index 0 has the focus when the dialog opens.
    QCOMPARE(d->focusWidget(), d->OKButton);
}

void tst_Dialog::helpText()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QCOMPARE(d->lblHelp->text(), kHelp);
}

void tst_Dialog::boxesShowTheFile()
{
    // What the program holds in memory does not matter: the file is read afresh.
    Settings::uploadToUrl = QStringLiteral("http://applied/before");
    Settings::proxyPassword = QStringLiteral("stale");
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QCOMPARE(boxTexts(d), kFileValues.mid(1));
    QCOMPARE(currentValues(), kFileValues);
    d->reject();
    QTRY_COMPARE(dialogCount(), 0);

    // Edited by hand, with a short file: the proxy boxes keep what memory held.
    Settings::proxyAddress = QStringLiteral("kept:8080");
    d = openWithFile("Hand Title\r\nhttp://edited/by/hand.asp\r\n/home/op/Scans, 2024\r\n");
    QVERIFY(d);
    QCOMPARE(boxTexts(d), (QStringList{"http://edited/by/hand.asp", "/home/op/Scans, 2024", "kept:8080",
                                       "jane", "secret"}));
    QCOMPARE(m_boxes->seen.size(), 0);
}

void tst_Dialog::okRefusesOrSaves_data()
{
    QTest::addColumn<QString>("upload");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("refused");
    const QString url = QStringLiteral("http://127.0.0.1/office/save.asp");
    QTest::newRow("upload placeholder") << "http://"
                                        << "/srv/scans" << true;
    QTest::newRow("folder placeholder") << url << "C:\\" << true;
    QTest::newRow("both placeholders") << "http://"
                                       << "C:\\" << true;
    QTest::newRow("root folder") << url << "/" << true;
    QTest::newRow("root written //") << url << "//" << true;
    QTest::newRow("root written /.") << url << "/." << true;
    QTest::newRow("root written /..") << url << "/.." << true;
    QTest::newRow("root written /tmp/../") << url << "/tmp/../" << true;
    QTest::newRow("carriage return in a box") << "http://a\r/b"
                                              << "/srv/scans" << true;

    QTest::newRow("http:// and a space") << "http:// "
                                         << "/srv/scans" << false;
    QTest::newRow("HTTP:// in capitals") << "HTTP://"
                                         << "/srv/scans" << false;
    QTest::newRow("https://") << "https://"
                              << "/srv/scans" << false;
    QTest::newRow("lower-case c:\\") << url << "c:\\" << false;
    QTest::newRow("C:\\ and a space") << url << "C:\\ " << false;
    QTest::newRow("space and C:\\") << url << " C:\\" << false;
    QTest::newRow("/ and a space") << url << "/ " << false;
    QTest::newRow("space and /") << url << " /" << false;
    QTest::newRow("a top folder") << url << "/tmp" << false;
    QTest::newRow("both empty") << ""
                                << "" << false;
    // A LF or NUL would split or cut the value in the file.
    QTest::newRow("lone LF") << url << "/srv/a\nb" << true;
    QTest::newRow("NUL in the folder")
        << url << QStringLiteral("/srv/a") + QChar(0) + QStringLiteral("b") << true;
}

void tst_Dialog::okRefusesOrSaves()
{
    QFETCH(QString, upload);
    QFETCH(QString, folder);
    QFETCH(bool, refused);
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QPointer<Dialog> guard = d;
    d->uploadTo->setText(upload);
    d->readFrom->setText(folder);
    d->ProxyAddress->setText(QStringLiteral("new-proxy:1"));
    QTest::mouseClick(d->OKButton, Qt::LeftButton);

    if (refused) {
        QCOMPARE(m_boxes->seen.size(), 1);
        const BoxSeen& box = m_boxes->seen.first();
        QCOMPARE(box.text, QStringLiteral("Please specify valid values."));
        QCOMPARE(box.title, QStringLiteral("Quillfeed"));
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        // Still open, entries untouched, nothing stored, nothing written.
        QCOMPARE(Dialog::current(), d);
        QVERIFY(d->isVisible());
        QCOMPARE(boxTexts(d), (QStringList{upload, folder, "new-proxy:1", "jane", "secret"}));
        QCOMPARE(currentValues(), kFileValues);
        QCOMPARE(TestSupport::readFile(path()), kFile);
    } else {
        QCOMPARE(m_boxes->seen.size(), 0);
        QCOMPARE(Dialog::current(), nullptr);
        QVERIFY(!guard || !guard->isVisible());
        QCOMPARE(currentValues(),
                 (QStringList{"Office Title", upload, folder, "new-proxy:1", "jane", "secret"}));
        QCOMPARE(TestSupport::readFile(path()), "Office Title\r\n" + upload.toUtf8() + "\r\n" +
                                                    folder.toUtf8() +
                                                    "\r\nnew-proxy:1\r\njane\r\nsecret\r\n");
        QTRY_VERIFY(!guard); // discarded
    }
}

void tst_Dialog::savedFileBytes()
{
    Dialog* d =
        openWithFile("Kept Title, as written\r\nhttp://old\r\n/old\r\nold:1\r\nold\r\nold\r\nline seven\r\n");
    QVERIFY(d);
    d->uploadTo->setText(QStringLiteral(" http://127.0.0.1:8080/a b/\"save\".asp?x=1,2 "));
    d->readFrom->setText(QStringLiteral("/home/op/Scans: \"new\", Zürich "));
    d->ProxyAddress->setText(QString());
    d->UserName->setText(QStringLiteral("dom\\user"));
    d->Password->setText(QStringLiteral(" p:a,s\"s "));
    QTest::mouseClick(d->OKButton, Qt::LeftButton);
    QCOMPARE(Dialog::current(), nullptr);
    QCOMPARE(TestSupport::readFile(path()),
             QStringLiteral("Kept Title, as written\r\n"
                            " http://127.0.0.1:8080/a b/\"save\".asp?x=1,2 \r\n"
                            "/home/op/Scans: \"new\", Zürich \r\n"
                            "\r\n"
                            "dom\\user\r\n"
                            " p:a,s\"s \r\n")
                 .toUtf8());
    struct stat st = {};
    QCOMPARE(::stat(QFile::encodeName(path()).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0600);
    // What the program holds now is what was saved.
    Settings::LoadSettings();
    QCOMPARE(Settings::proxyPassword, QStringLiteral(" p:a,s\"s "));
}

void tst_Dialog::cancelStoresNothing_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
}

void tst_Dialog::cancelStoresNothing()
{
    QFETCH(bool, closeBox);
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QPointer<Dialog> guard = d;
    d->uploadTo->setText(QStringLiteral("http://changed"));
    d->readFrom->setText(QStringLiteral("/changed"));
    d->Password->setText(QStringLiteral("changed"));
    if (closeBox)
        QVERIFY(d->close());
    else
        QTest::mouseClick(d->CancelButton, Qt::LeftButton);
    QCOMPARE(Dialog::current(), nullptr);
    QCOMPARE(currentValues(), kFileValues);
    QCOMPARE(TestSupport::readFile(path()), kFile);
    QCOMPARE(m_boxes->seen.size(), 0);
    QTRY_VERIFY(!guard);
}

void tst_Dialog::reopenStartsFresh()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QPointer<Dialog> first = d;
    d->uploadTo->setText(QStringLiteral("http://typed/not/saved"));
    d->reject();
    QTRY_VERIFY(!first);
    Dialog::showModeless();
    d = Dialog::current();
    QVERIFY(d);
    QCOMPARE(d->uploadTo->text(), kFileValues[1]);
    QCOMPARE(d->lblHelp->text(), kHelp);
}

void tst_Dialog::toggleTestMode()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QTest::mouseClick(d->cmdTest, Qt::LeftButton);
    QVERIFY(m_testMode);
    QTest::mouseClick(d->cmdTest, Qt::LeftButton);
    QVERIFY(!m_testMode);
    QCOMPARE(m_boxes->seen.size(), 2);
    QCOMPARE(m_boxes->seen[0].text, QStringLiteral("Test mode is: True"));
    QCOMPARE(m_boxes->seen[1].text, QStringLiteral("Test mode is: False"));
    for (const BoxSeen& b : m_boxes->seen) {
        QCOMPARE(b.title, QStringLiteral("Quillfeed"));
        QCOMPARE(b.icon, QMessageBox::NoIcon);
        QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    QCOMPARE(Dialog::current(), d);
    QVERIFY(d->isVisible());
    // Test mode is never written to the file.
    QCOMPARE(TestSupport::readFile(path()), kFile);
}

void tst_Dialog::cancelAfterToggleKeepsTestMode()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    QTest::mouseClick(d->cmdTest, Qt::LeftButton);
    QTest::mouseClick(d->CancelButton, Qt::LeftButton);
    QCOMPARE(Dialog::current(), nullptr);
    QVERIFY(m_testMode);
    QCOMPARE(m_boxes->seen.size(), 1);
    QCOMPARE(m_boxes->seen[0].text, QStringLiteral("Test mode is: True"));
}

void tst_Dialog::enterAndEscPressNothing()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    // Had OK been pressed, the file would change; had Cancel, the dialog would be gone.
    d->uploadTo->setText(QStringLiteral("http://changed/by/typing"));
    for (QLineEdit* box : {d->uploadTo, d->readFrom, d->ProxyAddress, d->UserName, d->Password}) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
        QTest::keyClick(box, Qt::Key_Escape);
    }
    QTest::keyClick(d, Qt::Key_Escape);
    QTest::keyClick(d, Qt::Key_Return);
    QTest::qWait(20);
    QCOMPARE(Dialog::current(), d);
    QVERIFY(d->isVisible());
    QCOMPARE(TestSupport::readFile(path()), kFile);
    QCOMPARE(m_boxes->seen.size(), 0);
    QCOMPARE(d->uploadTo->text(), QStringLiteral("http://changed/by/typing"));
}

void tst_Dialog::firstRunOpensOneModelessDialog()
{
    QVERIFY(!QFile::exists(path()));
    Settings::LoadSettings(); // returns at once, the dialog stays open
    Dialog* d = Dialog::current();
    QVERIFY(d);
    QVERIFY(QTest::qWaitForWindowExposed(d));
    QVERIFY(!d->isModal());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(dialogCount(), 1);
    QCOMPARE(boxTexts(d),
             (QStringList{Settings::defaultUploadToUrl(), Settings::defaultReadFromPath(), "", "", ""}));
    QCOMPARE(Settings::appTitle, QStringLiteral("Quorvane"));
    QVERIFY(!QFile::exists(path()));

    // The main window applying its settings again finds the same dialog.
    Settings::LoadSettings();
    QCOMPARE(Dialog::current(), d);
    QCOMPARE(dialogCount(), 1);
    QVERIFY(!QFile::exists(path()));

    // Cancel: still no file.
    QTest::mouseClick(d->CancelButton, Qt::LeftButton);
    QVERIFY(!QFile::exists(path()));
    QTRY_COMPARE(dialogCount(), 0);
}

void tst_Dialog::firstRunOkWritesDefaults()
{
    Settings::LoadSettings();
    Dialog* d = Dialog::current();
    QVERIFY(d);
    QTest::mouseClick(d->OKButton, Qt::LeftButton);
    QCOMPARE(Dialog::current(), nullptr);
    QCOMPARE(TestSupport::readFile(path()),
             "Quorvane\r\nhttp://localhost/[district code]/saveTAVscan.asp\r\n" +
                 QFile::encodeName(QDir::homePath()) + "/TAVScans\r\n\r\n\r\n\r\n");
}

void tst_Dialog::setupWithoutFileOpensOneModalDialog()
{
    QVERIFY(!QFile::exists(path()));
    int seenDialogs = -1;
    bool modal = false;
    QStringList shown;
    whenDialogShown([&](Dialog* d) {
        seenDialogs = dialogCount();
        modal = d->isModal() && QApplication::activeModalWidget() == d;
        shown = boxTexts(d);
        // A request from elsewhere while it is open opens nothing more.
        Settings::LoadSettings();
        Dialog::showModeless();
        Dialog::showModal(); // returns at once
        seenDialogs = qMax(seenDialogs, dialogCount());
        QTest::mouseClick(d->CancelButton, Qt::LeftButton);
    });
    Dialog::showModal(); // returns when the dialog has closed
    QCOMPARE(seenDialogs, 1);
    QVERIFY(modal);
    QCOMPARE(shown,
             (QStringList{Settings::defaultUploadToUrl(), Settings::defaultReadFromPath(), "", "", ""}));
    QCOMPARE(Dialog::current(), nullptr);
    QVERIFY(!QFile::exists(path()));
}

void tst_Dialog::secondRequestOnlyRaises()
{
    Dialog* d = openWithFile(kFile);
    QVERIFY(d);
    // Setup while the first-run dialog is open: no second dialog, no waiting.
    bool blocked = false;
    QTimer safety;
    safety.setSingleShot(true);
    connect(&safety, &QTimer::timeout, this, [&] {
        blocked = true;
        if (QWidget* m = QApplication::activeModalWidget())
            m->close();
    });
    safety.start(5000);
    Dialog::showModal();
    safety.stop();
    QVERIFY(!blocked);
    Dialog::showModeless();
    QCOMPARE(Dialog::current(), d);
    QCOMPARE(dialogCount(), 1);
    QVERIFY(d->isVisible());
}

void tst_Dialog::failedSaveKeepsDialogOpen_data()
{
    QTest::addColumn<QString>("how");
    // Root writes anywhere, so the cases are ones no permission lets through.
    QTest::newRow("settings.txt is a folder") << "folder";
    QTest::newRow("program folder under a file") << "under-file";
}

void tst_Dialog::failedSaveKeepsDialogOpen()
{
    QFETCH(QString, how);
    if (how == QStringLiteral("folder")) {
        QVERIFY(QDir().mkpath(path()));
    } else {
        QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("plain")), "x"));
        Settings::setProgramFolder(m_dir->filePath(QStringLiteral("plain/sub")));
    }
    Dialog::showModeless();
    Dialog* d = Dialog::current();
    QVERIFY(d);
    QCOMPARE(dialogCount(), 1);
    const QStringList loaded = currentValues();
    const QStringList typed{"http://127.0.0.1/new.asp", "/srv/new", "p:1", "u", "pw"};
    d->uploadTo->setText(typed[0]);
    d->readFrom->setText(typed[1]);
    d->ProxyAddress->setText(typed[2]);
    d->UserName->setText(typed[3]);
    d->Password->setText(typed[4]);
    QTest::mouseClick(d->OKButton, Qt::LeftButton);

    QCOMPARE(m_boxes->seen.size(), 1);
    QVERIFY2(m_boxes->seen[0].text.startsWith(QStringLiteral("Cannot write the settings file ") + path()),
             qPrintable(m_boxes->seen[0].text));
    QCOMPARE(m_boxes->seen[0].title, QStringLiteral("Quillfeed"));
    QCOMPARE(m_boxes->seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The program goes on; the dialog stays with the entries; nothing unsaved is taken.
    QCOMPARE(Dialog::current(), d);
    QVERIFY(d->isVisible());
    QCOMPARE(boxTexts(d), typed);
    QCOMPARE(currentValues(), loaded);

    if (how == QStringLiteral("folder")) {
        // The operator clears the obstacle and presses OK again.
        QVERIFY(QDir(path()).removeRecursively());
        QTest::mouseClick(d->OKButton, Qt::LeftButton);
        QCOMPARE(m_boxes->seen.size(), 1);
        QCOMPARE(Dialog::current(), nullptr);
        QCOMPARE(TestSupport::readFile(path()),
                 "Quorvane\r\nhttp://127.0.0.1/new.asp\r\n/srv/new\r\np:1\r\nu\r\npw\r\n");
    }
}

void tst_Dialog::doesNotKeepProgramRunning()
{
    // Closing the main window ends the program even with the first-run dialog open.
    QWidget main;
    main.show();
    Settings::LoadSettings();
    QVERIFY(Dialog::current());
    QCOMPARE(TestSupport::closeAndRunUntilQuit(main), 0);
}

QTEST_MAIN(tst_Dialog)
#include "tst_dialog.moc"
