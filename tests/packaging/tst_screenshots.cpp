// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the real windows for the README (Manual mode, Unattended mode after
// a pass, the setup dialog), and a walk through the main window with the keyboard
// alone. The pictures are written into the build tree; with QUILLFEED_UPDATE_DOCS=1
// they replace the ones in docs/ of the source tree.
#include "AppIcon.h"
#include "Dialog.h"
#include "ImgScan.h"
#include "InetControl.h"
#include "MiniHttpServer.h"
#include "ProgressPane.h"
#include "SelectScannerDialog.h"
#include "Settings.h"
#include "StatusBox.h"
#include "TabStrip.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

QString focusName()
{
    QWidget* w = QApplication::focusWidget();
    return w ? w->objectName() : QStringLiteral("(nothing)");
}

/// Presses Tab (or Shift+Tab) where the focus is and names where it lands.
QString tab(bool back = false)
{
    QWidget* w = QApplication::focusWidget();
    if (!w)
        return QStringLiteral("(nothing)");
    QTest::keyClick(w, back ? Qt::Key_Backtab : Qt::Key_Tab, back ? Qt::ShiftModifier : Qt::NoModifier);
    return focusName();
}

} // namespace

class TestScreenshots : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void iconFilesAreTheWindowIcon_data();
    void iconFilesAreTheWindowIcon();
    void keyboardReachesEveryControl();
    void manualWindow();
    void unattendedWindowAfterAPass();
    void windowDuringAPass();
    void setupDialog();
    void selectScannerDialog();

private:
    void writeSettings(const QString& url, const QString& folder = {}, const QStringList& proxy = {});
    bool put(const QString& rel) const;
    std::unique_ptr<frmMain> start();
    void shoot(QWidget* window, const QString& name);

    QString m_outDir;
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_prog;
    QString m_scans;
};

void TestScreenshots::initTestCase()
{
    m_outDir = qgetenv("QUILLFEED_UPDATE_DOCS") == "1" ? TestSupport::sourceDir() + QStringLiteral("/docs")
                                                       : QStringLiteral(QUILLFEED_SCREENS_DIR);
    QVERIFY(QDir().mkpath(m_outDir));
    // Without a usable font every caption would come out as empty boxes.
    QVERIFY2(!QFontDatabase::families().isEmpty(), "no fonts: install fonts-dejavu-core");
}

void TestScreenshots::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_prog = m_tmp->path() + QStringLiteral("/opt/quillfeed");
    m_scans = m_tmp->path() + QStringLiteral("/home/clerk/TAVScans");
    QVERIFY(QDir().mkpath(m_prog));
    QVERIFY(QDir().mkpath(m_scans));
    Settings::setProgramFolder(m_prog);
    for (QString* v : {&Settings::appTitle, &Settings::uploadToUrl, &Settings::readFromPath,
                       &Settings::proxyAddress, &Settings::proxyUserName, &Settings::proxyPassword})
        v->clear();
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
    store.clear();
    store.sync();
}

void TestScreenshots::cleanup()
{
    if (Dialog* d = Dialog::current())
        d->reject();
    QTRY_VERIFY(!Dialog::current());
    m_tmp.reset();
}

void TestScreenshots::writeSettings(const QString& url, const QString& folder, const QStringList& proxy)
{
    QByteArray content = "Front Office\r\n" + url.toLocal8Bit() + "\r\n" +
                         (folder.isEmpty() ? m_scans : folder).toLocal8Bit() + "\r\n";
    for (const QString& p : proxy)
        content += p.toLocal8Bit() + "\r\n";
    QVERIFY(TestSupport::writeFile(m_prog + QStringLiteral("/settings.txt"), content));
}

bool TestScreenshots::put(const QString& rel) const
{
    const QString path = m_scans + rel;
    if (!TestSupport::writeFile(path, "%PDF-1.4\n% a scanned page\n%%EOF\n"))
        return false;
    // Dated back, so the transfer takes it as complete.
    QFile f(path);
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime);
}

std::unique_ptr<frmMain> TestScreenshots::start()
{
    auto w = std::make_unique<frmMain>();
    w->Form_Load();
    if (!QTest::qWaitForWindowExposed(w.get()))
        return nullptr;
    return w;
}

void TestScreenshots::shoot(QWidget* window, const QString& name)
{
    // Captions in the fonts the windows ask for must have glyphs, not boxes.
    for (auto* b : window->findChildren<QPushButton*>()) {
        if (b->isVisibleTo(window))
            QVERIFY2(QFontMetrics(b->font()).inFont(b->text().at(0)), qPrintable(b->objectName()));
    }
    // The status box and the file list catch up at most every 50 ms while a pass runs.
    QTest::qWait(150);
    const QPixmap picture = window->grab();
    QCOMPARE(picture.deviceIndependentSize().toSize(), window->size());
    const QImage image = picture.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 8, "the picture is nearly blank");

    const QString path = m_outDir + QLatin1Char('/') + name + QStringLiteral(".png");
    QVERIFY2(picture.save(path, "PNG"), qPrintable(path));
    QCOMPARE(QImage(path).size(), picture.size());
    qInfo("wrote %s", qPrintable(path));
}

void TestScreenshots::iconFilesAreTheWindowIcon_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("16x16") << 16;
    QTest::newRow("32x32") << 32;
}

void TestScreenshots::iconFilesAreTheWindowIcon()
{
    // The PNG files the package installs, drawn at build time, are pixel for
    // pixel the icon the main window carries.
    QFETCH(int, size);
    const QString path = QStringLiteral(QUILLFEED_ICONS_DIR "/%1x%1/quillfeed.png").arg(size);
    const QImage file(path);
    QVERIFY2(!file.isNull(), qPrintable(path));
    QCOMPARE(file.size(), QSize(size, size));
    const QImage drawn = quillfeedIcon().pixmap(QSize(size, size), 1.0).toImage();
    QCOMPARE(file.convertToFormat(QImage::Format_ARGB32), drawn.convertToFormat(QImage::Format_ARGB32));
}

void TestScreenshots::keyboardReachesEveryControl()
{
    writeSettings(QStringLiteral("http://127.0.0.1:9/upload"));
    auto w = start();
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    w->CmdScanAll->setFocus(Qt::TabFocusReason);
    QCOMPARE(focusName(), QStringLiteral("CmdScanAll"));

    // Manual mode: the designed order over the visible controls, the tab labels
    // last, and round to the start again.
    const QStringList manual = {"CmdStartTransfer[0]", "CmdSelectScanner", "CmdSetup[0]", "Text1",
                                "CmdExploreDir",       "FileList",         "lblManual",   "lblUnattended",
                                "CmdScanAll"};
    for (const QString& next : manual)
        QCOMPARE(tab(), next);
    // Shift+Tab walks back.
    QCOMPARE(tab(true), QStringLiteral("lblUnattended"));
    QCOMPARE(tab(true), QStringLiteral("lblManual"));
    QCOMPARE(tab(), QStringLiteral("lblUnattended"));

    // Enter on a tab label switches the mode, as a click does.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(w->Frame4->isVisible());
    QVERIFY(!w->Frame3->isVisible());
    QVERIFY(w->Timer1->isActive());

    // Unattended mode: the other panel's controls in their place.
    const QStringList unattended = {"Text1",       "CmdExploreDir", "CmdSetup[1]", "CmdStartTransfer[1]",
                                    "chkAutoRead", "FileList",      "lblManual",   "lblUnattended",
                                    "Text1"};
    for (const QString& next : unattended)
        QCOMPARE(tab(), next);

    // Space toggles the check box and presses a button.
    while (focusName() != QStringLiteral("chkAutoRead"))
        QVERIFY(tab() != QStringLiteral("Text1"));
    QVERIFY(w->chkAutoRead->isChecked());
    QTest::keyClick(w->chkAutoRead, Qt::Key_Space);
    QVERIFY(!w->chkAutoRead->isChecked());
    QTest::keyClick(w->chkAutoRead, Qt::Key_Space);
    QVERIFY(w->chkAutoRead->isChecked());
    QCOMPARE(tab(true), QStringLiteral("CmdStartTransfer[1]"));
    w->Text1->setText(QStringLiteral("before"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    // Force Transfer on the empty folder: the box is emptied and the pass ends at once.
    QTRY_VERIFY(w->statusText().startsWith(QStringLiteral("----Finished Processing Scans----")));

    // Space on the Manual label goes back to Manual mode.
    while (focusName() != QStringLiteral("lblManual"))
        QVERIFY(tab() != QStringLiteral("CmdStartTransfer[1]"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(w->Frame3->isVisible());
    QVERIFY(!w->Timer1->isActive());
}

void TestScreenshots::manualWindow()
{
    writeSettings(QStringLiteral("http://127.0.0.1:9/district42/saveTAVscan.asp"));
    for (const char* rel : {"/img0001.tif", "/img0002.tif", "/img0003.tif", "/2024/letter-smith.pdf"})
        QVERIFY(put(QString::fromLatin1(rel)));
    auto w = start();
    QVERIFY(w);
    QVERIFY(w->Frame3->isVisible());
    QCOMPARE(w->statusText(), QStringLiteral("----Ready----"));
    QCOMPARE(w->fileListEntries().size(), 4);
    shoot(w.get(), QStringLiteral("manual"));
}

void TestScreenshots::unattendedWindowAfterAPass()
{
    // The office page files two documents, then refuses the third: the pass
    // stops there and the rest stays listed for the next tick.
    MiniHttpServer page;
    QVERIFY(page.listen());
    page.enqueue(MiniHttpServer::answer(200, "OK"));
    page.enqueue(MiniHttpServer::answer(200, "OK"));
    page.setDefault(MiniHttpServer::answer(200, "Not filed: the document store is offline"));
    writeSettings(page.url(QStringLiteral("/district42/saveTAVscan.asp")));
    for (const char* rel : {"/brown-application.pdf", "/chen-application.pdf", "/diaz-references.pdf",
                            "/evans-application.pdf", "/2024/fox-contract.pdf"})
        QVERIFY(put(QString::fromLatin1(rel)));

    auto w = start();
    QVERIFY(w);
    QTest::mouseClick(w->lblUnattended, Qt::LeftButton);
    QVERIFY(w->Frame4->isVisible());
    QCOMPARE(w->fileListEntries().size(), 5);
    w->Timer1_Timer();
    QVERIFY(page.waitForRequests(3));
    QTRY_VERIFY(!w->uploadInFlight());
    QTRY_VERIFY(w->statusText().contains(QStringLiteral("Not filed: the document store is offline")));
    QCOMPARE(w->pagesFiled, 2);
    QCOMPARE(w->fileListEntries().size(), 3);
    QVERIFY(w->lastFired->text().startsWith(QStringLiteral("Last Read @ ")));
    shoot(w.get(), QStringLiteral("unattended"));
}

void TestScreenshots::windowDuringAPass()
{
    // The page has the whole first document and takes its time to file it.
    MiniHttpServer page;
    QVERIFY(page.listen());
    page.setDefault(MiniHttpServer::never());
    writeSettings(page.url(QStringLiteral("/district42/saveTAVscan.asp")));
    QVERIFY(put(QStringLiteral("/garcia-application.pdf")));
    QVERIFY(put(QStringLiteral("/hughes-references.pdf")));
    QVERIFY(put(QStringLiteral("/2024/ito-contract.pdf")));
    auto w = start();
    QVERIFY(w);
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(page.waitForRequests(1));
    QTRY_COMPARE(w->progress->bar()->value(), w->progress->bar()->maximum());
    QVERIFY(w->progress->isVisible());
    // The whole document is out and the page holds its answer: the pane counts the wait.
    QTRY_COMPARE(w->progress->text()->text(),
                 "Waiting for the web page's answer: 0 s\nForce Transfer waits.");
    QVERIFY(w->progress->text()->toolTip().contains(w->fileListEntries().first()));
    shoot(w.get(), QStringLiteral("sending"));
    w->Inet1->Cancel();
    // A long name loses its middle, never its end; the tooltip and the screen
    // reader have it whole.
    const QString name = QStringLiteral("/2024/march/img20261209-200344-0001-contract-signed.pdf");
    w->progress->showSending(name, 1, 10, 3);
    QTRY_VERIFY(w->progress->text()->text().startsWith(QLatin1String("Sending\n")));
    const QString shown = w->progress->text()->text().section(u'\n', 1, 1);
    QVERIFY2(shown.size() < name.size() && shown.startsWith(QLatin1String("/2024")) &&
                 shown.endsWith(QLatin1String("ned.pdf")),
             qPrintable(shown));
    QCOMPARE(w->progress->text()->toolTip(), "Sending " + name + "; 3 files left");
    QCOMPARE(w->progress->text()->accessibleName(), w->progress->text()->toolTip());
}

void TestScreenshots::setupDialog()
{
    // The dialog only shows the folder, so it may name the clerk's real one.
    writeSettings(
        QStringLiteral("https://intranet.example/district42/saveTAVscan.asp"),
        QStringLiteral("/home/clerk/TAVScans"),
        {QStringLiteral("proxy.office.example:3128"), QStringLiteral("clerk"), QStringLiteral("secret")});
    Dialog::showModeless();
    Dialog* d = Dialog::current();
    QVERIFY(d);
    QVERIFY(QTest::qWaitForWindowExposed(d));
    QCOMPARE(d->uploadTo->text(), QStringLiteral("https://intranet.example/district42/saveTAVscan.asp"));
    QCOMPARE(d->readFrom->text(), QStringLiteral("/home/clerk/TAVScans"));
    QCOMPARE(d->Password->displayText(), QStringLiteral("******"));
    QVERIFY(!d->lblHelp->text().isEmpty());
    shoot(d, QStringLiteral("setup"));
    d->CancelButton->click();
    QTRY_VERIFY(!Dialog::current());
    // Cancel wrote nothing.
    QVERIFY(TestSupport::readFile(m_prog + QStringLiteral("/settings.txt")).startsWith("Front Office\r\n"));
}

void TestScreenshots::selectScannerDialog()
{
    // SANE's test devices stand in for the office's scanner; run again at 1.5
    // times the size (QT_SCALE_FACTOR) for the picture of a high-density screen.
    bool shot = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("SelectScannerDialog"))
            return;
        auto* source = dialog->findChild<QComboBox*>(QStringLiteral("sourceBox"));
        auto* mode = dialog->findChild<QComboBox*>(QStringLiteral("modeBox"));
        auto* documents = dialog->findChild<QComboBox*>(QStringLiteral("documentsBox"));
        auto* cancel = dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"));
        if (source && mode && documents && cancel && QTest::qWaitFor([&] { return source->isEnabled(); })) {
            source->setCurrentIndex(source->findText(QStringLiteral("Flatbed")));
            mode->setCurrentIndex(mode->findText(QStringLiteral("Colour")));
            documents->setCurrentIndex(
                documents->findText(QStringLiteral("A new document at every separator sheet")));
            const qreal scale = dialog->devicePixelRatioF();
            shoot(dialog, scale > 1 ? QStringLiteral("select-scanner@%1x").arg(scale)
                                    : QStringLiteral("select-scanner"));
            shot = true;
            cancel->click();
        } else {
            dialog->close();
        }
    });
    ImgScan scan;
    showSelectScanner(scan, nullptr);
    QVERIFY(shot);
}

QTEST_MAIN(TestScreenshots)
#include "tst_screenshots.moc"
