// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, settings application, modes, folder listing and the driver's
// messages, on the real main window.
#include "Dialog.h"
#include "Failure.h"
#include "FileListModel.h"
#include "FolderListing.h"
#include "LineStore.h"
#include "ModalWatcher.h"
#include "Station.h"
#include "StatusBox.h"
#include "TabStrip.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using TestSupport::ModalWatcher;

namespace {

// Root reads any folder through its capabilities to override file permissions.
// Lowered in this thread's effective set (they stay permitted and come back at
// the end of the scope), it meets the permissions as an ordinary user does.
class PermissionsApply
{
public:
    PermissionsApply()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~PermissionsApply()
    {
        if (m_lowered)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    PermissionsApply(const PermissionsApply&) = delete;
    PermissionsApply& operator=(const PermissionsApply&) = delete;
    bool lowered() const { return m_lowered; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_lowered = false;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void statusBoxKeepsTheTextExactly();
    void lineStoreTrimsWholeLines_data();
    void lineStoreTrimsWholeLines();
    void listingOrderAndEmptyFolders();
    void listingKeepsTheRootAndRemovesReadOnlyEmptyFolders();
    void listingReportsAMissingFolderAndKeepsWhatItFound();

    void startupCaptionAndStoredMode_data();
    void startupCaptionAndStoredMode();
    void missingFolderShowsSettingError();
    void clerkSavesSetupForTheAccount();
    void newFailingFolderKeepsTheOldList();
    void layoutAndFocusOrder();
    void accessibleTreeAndStatusText();

    void modeSwitchesPanelsLinesAndColours();
    void tabStripWholeAtEveryScale();
    void tickFollowsTheCheckBox();
    void tickSurvivesARemovedFolder();

    void emptyFolderBannerOnlyOnce();
    void secondStationOnTheSameFolderSendsNothing();
};

void TestMainWindow::statusBoxKeepsTheTextExactly()
{
    StatusBox box;
    QCOMPARE(box.text(), QString());
    box.prepend(QStringLiteral("A"));
    QCOMPARE(box.text(), QStringLiteral("A\r\n"));
    box.prepend(QStringLiteral("B\r\nC"));
    QCOMPARE(box.text(), QStringLiteral("B\r\nC\r\nA\r\n"));
    box.appendLineBreak();
    QCOMPARE(box.text(), QStringLiteral("B\r\nC\r\nA\r\n\r\n"));
    // Replies may hold lone line feeds and carriage returns; they come back as they went in.
    box.prepend(QStringLiteral("x\ny\rz\r\n"));
    QCOMPARE(box.text(), QStringLiteral("x\ny\rz\r\n\r\nB\r\nC\r\nA\r\n\r\n"));
    QCOMPARE(box.head(7), QStringLiteral("x\ny\rz\r\n"));
    box.setText(QStringLiteral("----Finished"));
    QCOMPARE(box.head(7), QStringLiteral("----Fin"));
    QCOMPARE(box.head(100), QStringLiteral("----Finished"));
    box.setText(QString());
    QCOMPARE(box.head(7), QString());

    // Bounded: the oldest lines make room, what stays is exactly the newest text.
    StatusBox bounded, whole;
    bounded.setCapacity(100);
    for (int i = 0; i < 60; ++i) {
        const QString m = QStringLiteral("message %1\nsecond line").arg(i);
        bounded.prepend(m);
        whole.prepend(m);
        if (i % 7 == 0) {
            bounded.appendLineBreak();
            whole.appendLineBreak();
        }
        QVERIFY(bounded.text().size() <= 100);
        QVERIFY(whole.text().startsWith(bounded.text()));
    }
    QVERIFY(bounded.text().size() >= 75);
    QVERIFY(bounded.lineCount() < 20);
    bounded.prepend(QString(1000, u'x'));
    QCOMPARE(bounded.text(), QString(98, u'x') + QStringLiteral("\r\n"));

    // A line wider than the box wraps at its words, and only on screen.
    StatusBox narrow;
    narrow.resize(200, 300);
    narrow.show();
    QString line;
    for (int i = 0; i < 30; ++i)
        line += QStringLiteral("word%1 ").arg(i);
    narrow.prepend(line.trimmed());
    narrow.prepend(QString(120, u'y')); // one word wider than the box breaks where it must
    QCOMPARE(narrow.lineCount(), 3);
    QVERIFY(narrow.rowCount() > 6);
    QCOMPARE(narrow.text(),
             QString(120, u'y') + QStringLiteral("\r\n") + line.trimmed() + QStringLiteral("\r\n"));
    const qsizetype start = 122;
    int rows = 1;
    QRect previous = narrow.characterRect(start);
    for (qsizetype i = start + 1; i < start + line.trimmed().size(); ++i) {
        const QRect r = narrow.characterRect(i);
        if (r.isEmpty())
            break; // below the view
        QVERIFY(r.right() <= narrow.viewport()->width());
        if (r.top() > previous.top()) {
            ++rows;
            QCOMPARE(narrow.text().at(i - 1), u' '); // a row begins with a word
        }
        QCOMPARE(narrow.offsetAt(r.center()), i);
        previous = r;
    }
    QVERIFY(rows > 2);
    narrow.setSelection(start, start + line.trimmed().size());
    QCOMPARE(narrow.selectedText(), line.trimmed()); // copied as written, no breaks of the wrap
}

static QStringList entriesOf(const std::vector<ListedFile>& files)
{
    QStringList out;
    for (const ListedFile& f : files)
        out << f.entry;
    return out;
}

void TestMainWindow::lineStoreTrimsWholeLines_data()
{
    QTest::addColumn<QStringList>("messages"); // prepended in turn
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("removed");
    QTest::newRow("exactly full") << QStringList{"ab", "c"} << 7 << "c\r\nab\r\n" << QString();
    // Past it by one, down to the trim target (6 - 6 / 4 = 5): the oldest line goes whole.
    QTest::newRow("one over") << QStringList{"ab", "c"} << 6 << "c\r\n"
                              << "ab\r\n";
    QTest::newRow("newest line alone too long") << QStringList{"abcdefgh"} << 6 << "abcd\r\n"
                                                << "efgh\r\n";
    QTest::newRow("a lone CR ends a line of one more character")
        << QStringList{"a\rb", "c"} << 7 << "c\r\na\r"
        << "b\r\n";
}

void TestMainWindow::lineStoreTrimsWholeLines()
{
    QFETCH(QStringList, messages);
    QFETCH(int, capacity);
    QFETCH(QString, kept);
    QFETCH(QString, removed);
    LineStore store;
    for (const QString& m : messages)
        store.prepend(m);
    QCOMPARE(store.trim(capacity, true), removed);
    QCOMPARE(store.text(), kept);
    QCOMPARE(store.chars(), kept.size());
}

void TestMainWindow::listingOrderAndEmptyFolders()
{
    QTemporaryDir tmp;
    const QString root = tmp.path();
    TestSupport::writeFile(root + "/S/a.tif", "a");
    TestSupport::writeFile(root + "/b.tif", "bb");
    TestSupport::writeFile(root + "/S/T/c.pdf", "c");
    QDir().mkpath(root + "/E/F");
    // Names in their order, whatever order the file system keeps them in.
    for (const char* n : {"3", "1", "4", "10", "5", "9", "2", "6", "8", "7"})
        TestSupport::writeFile(root + "/R/img-" + QString(n).rightJustified(4, u'0') + ".tif", "r");
    TestSupport::writeFile(root + "/A/z.pdf", "z");

    std::vector<ListedFile> found;
    listFolderTree(root, found);
    // The files of a folder come before the entries of its subfolders.
    QStringList sortedRun;
    for (int i = 1; i <= 10; ++i)
        sortedRun << QStringLiteral("/R/img-%1.tif").arg(i, 4, 10, QLatin1Char('0'));
    QCOMPARE(entriesOf(found),
             QStringList({"/b.tif", "/A/z.pdf"}) + sortedRun + QStringList({"/S/a.tif", "/S/T/c.pdf"}));
    QVERIFY(QDir(root + "/R").removeRecursively() && QDir(root + "/A").removeRecursively());
    QCOMPARE(found[0].stamp.size, 2);
    QVERIFY(found[0].stamp.mtimeNs > 0);
    // One level of empty nesting goes per listing.
    QVERIFY(!QFileInfo::exists(root + "/E/F"));
    QVERIFY(QFileInfo::exists(root + "/E"));
    found.clear();
    listFolderTree(root, found);
    QVERIFY(!QFileInfo::exists(root + "/E"));
    QCOMPARE(found.size(), size_t(3));
    QVERIFY(!found[0].nameNotText);

    // A name in another encoding is listed, and marked as one no path can reach.
    const QByteArray latin1 = QFile::encodeName(root) + "/caf\xe9.pdf";
    QVERIFY(TestSupport::writeFile(root + "/x", "x") &&
            ::rename(QFile::encodeName(root + "/x").constData(), latin1.constData()) == 0);
    found.clear();
    listFolderTree(root, found);
    auto odd = std::find_if(found.begin(), found.end(), [](const ListedFile& f) { return f.nameNotText; });
    QVERIFY(odd != found.end());
    QVERIFY(odd->entry.startsWith("/caf"));
    ::unlink(latin1.constData());
}

void TestMainWindow::listingKeepsTheRootAndRemovesReadOnlyEmptyFolders()
{
    QTemporaryDir tmp;
    const QString root = tmp.path() + "/Scans";
    QDir().mkpath(root + "/ro");
    QFile::setPermissions(root + "/ro", QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    std::vector<ListedFile> found;
    listFolderTree(root + "/", found); // a trailing separator still names the root
    QVERIFY(found.empty());
    QVERIFY(QFileInfo::exists(root));
    QVERIFY(!QFileInfo::exists(root + "/ro"));
    listFolderTree(root, found);
    QVERIFY(QFileInfo::exists(root));
}

void TestMainWindow::listingReportsAMissingFolderAndKeepsWhatItFound()
{
    QTemporaryDir tmp;
    std::vector<ListedFile> found;
    try {
        listFolderTree(tmp.path() + "/nowhere", found);
        QFAIL("a missing folder must fail");
    } catch (const Failure& f) {
        QVERIFY2(f.description().contains("Path not found"), qPrintable(f.description()));
    }
    const PermissionsApply permissions;
    if (!permissions.lowered())
        QSKIP("file permissions cannot be made to apply to this user");
    TestSupport::writeFile(tmp.path() + "/a.pdf", "x");
    QDir().mkpath(tmp.path() + "/locked");
    TestSupport::writeFile(tmp.path() + "/locked/b.pdf", "x");
    QFile::setPermissions(tmp.path() + "/locked", QFileDevice::WriteOwner);
    QVERIFY_THROWS_EXCEPTION(Failure, listFolderTree(tmp.path(), found));
    QCOMPARE(entriesOf(found), QStringList({"/a.pdf"}));
    QFile::setPermissions(tmp.path() + "/locked",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TestMainWindow::startupCaptionAndStoredMode_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("unattended");
    QTest::newRow("nothing stored") << QVariant() << false;
    QTest::newRow("small letters") << QVariant("unattended") << false;
    QTest::newRow("trailing blank") << QVariant("Unattended ") << false;
    QTest::newRow("Unattended") << QVariant("Unattended") << true;
    QTest::newRow("Manual") << QVariant("Manual") << false;
}

void TestMainWindow::startupCaptionAndStoredMode()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, unattended);
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload", {}, {}, QString());
    if (stored.isValid()) {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");
        store.setValue("Applicant Tracking/lastMode", stored);
    }
    auto w = st.start();
    QCOMPARE(w->windowTitle(), QStringLiteral(" Quillfeed 1.3"));
    QCOMPARE(w->statusText(), QStringLiteral("----Ready----"));
    QCOMPARE(w->Timer1->isActive(), unattended);
    QCOMPARE(w->Frame4->isVisible(), unattended);
    QCOMPARE(w->Frame3->isVisible(), !unattended);
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");
    QCOMPARE(store.value("Applicant Tracking/lastMode").toString(),
             unattended ? QStringLiteral("Unattended") : QStringLiteral("Manual"));
    QVERIFY(store.fileName().endsWith("/quillStore.conf"));
    QCOMPARE(w->converterPath, st.prog + "/tiff2pdf");
    QCOMPARE(w->readFromFolder, st.scans);
}

// The packaged program's folder is not a clerk's to write (sysfs refuses root too).
void TestMainWindow::clerkSavesSetupForTheAccount()
{
    Station st;
    Settings::setProgramFolder(QStringLiteral("/sys"));
    ModalWatcher boxes;
    auto w = st.start();
    Dialog* d = Dialog::current();
    QVERIFY(d && !d->isModal());
    d->uploadTo->setText(QStringLiteral("http://127.0.0.1:9/clerk"));
    d->readFrom->setText(st.scans);
    QTest::mouseClick(d->OKButton, Qt::LeftButton);
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.summary()));
    QVERIFY(QFileInfo::exists(Settings::userSettingsFilePath()));
    QVERIFY2(w->statusText().startsWith(QStringLiteral("Settings saved for this account in ") +
                                        Settings::userSettingsFilePath()),
             qPrintable(w->statusText()));
    // The next start reads them, without Setup, and says nothing more of it.
    w.reset();
    w = st.start();
    QVERIFY(!Dialog::current());
    QCOMPARE(w->uploadUrl, QStringLiteral("http://127.0.0.1:9/clerk"));
    QCOMPARE(w->statusText(), QStringLiteral("----Ready----"));
}

void TestMainWindow::missingFolderShowsSettingError()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload", {}, st.tmp.path() + "/absent");
    ModalWatcher boxes;
    auto w = st.start();
    QVERIFY(waitUntil([&] { return !boxes.boxes.isEmpty(); }));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Setting Error"));
    QVERIFY2(boxes.boxes[0].text.contains("Path not found"), qPrintable(boxes.summary()));
    QCOMPARE(w->statusText(), QString());
    QVERIFY(w->fileListEntries().isEmpty());
    QVERIFY(w->isVisible());
    // A tick on a folder this station never held says why it cannot serve it,
    // not that another station does.
    w->lblUnattended_Click();
    w->Timer1_Timer();
    QVERIFY2(w->statusText().contains("Path not found") && !w->statusText().contains("Another Quillfeed"),
             qPrintable(w->statusText()));
    w.reset();
    boxes.boxes.clear();

    // A first start (no settings file) makes the default folder, privately, and
    // greets the newcomer with Setup alone.
    Station fresh;
    const QByteArray home = qgetenv("HOME");
    auto restore = qScopeGuard([home] { qputenv("HOME", home); });
    QVERIFY(QDir().mkpath(fresh.tmp.path() + "/home"));
    qputenv("HOME", QFile::encodeName(fresh.tmp.path() + "/home"));
    auto first = fresh.start();
    QVERIFY(waitUntil([] { return Dialog::current() != nullptr; }));
    QTest::qWait(200);
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.summary()));
    const QFileInfo made(fresh.tmp.path() + "/home/TAVScans");
    QVERIFY(made.isDir());
    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(made.filePath()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0700u);
    QCOMPARE(first->statusText(), QStringLiteral("----Ready----"));
    Dialog::current()->close();
}

void TestMainWindow::newFailingFolderKeepsTheOldList()
{
    Station st;
    st.put("/a.pdf", "a");
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    QCOMPARE(w->fileListEntries(), QStringList({"/a.pdf"}));
    w->CmdStartTransfer[0]->setEnabled(true);
    // A status text of the operator's session, which a failing relisting must leave alone.
    w->Text1->prepend("kept");
    st.writeSettings("http://127.0.0.1:9/upload", {}, st.tmp.path() + "/absent");
    ModalWatcher boxes;
    w->ApplySettings();
    QVERIFY(waitUntil([&] { return !boxes.boxes.isEmpty(); }));
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Setting Error"));
    QCOMPARE(w->fileListEntries(), QStringList({"/a.pdf"}));
    QCOMPARE(w->statusText(), QStringLiteral("kept\r\n----Ready----"));
    QCOMPARE(w->readFromFolder, st.tmp.path() + "/absent");
}

void TestMainWindow::layoutAndFocusOrder()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    QCOMPARE(w->size(), QSize(562, 360));
    QCOMPARE(w->findChild<QGroupBox*>("Frame2")->title(), QStringLiteral("Status"));
    QCOMPARE(w->findChild<QGroupBox*>("Frame1")->title(), QStringLiteral("Scans"));
    QCOMPARE(w->findChild<QPushButton*>("CmdScanAll")->geometry(), QRect(16, 24, 89, 41));
    QCOMPARE(w->findChild<QPushButton*>("CmdStartTransfer[1]")->text(), QStringLiteral("Force Transfer"));
    QCOMPARE(w->findChild<QCheckBox*>("chkAutoRead")->text(), QStringLiteral("Auto read every 30 seconds"));
    QVERIFY(w->findChild<QCheckBox*>("chkAutoRead")->isChecked());
    QCOMPARE(w->findChild<QLabel*>("lastFired")->text(), QStringLiteral("Waiting..."));
    QCOMPARE(w->Timer1->interval(), 30000);
    auto* slant = w->findChild<TabLine*>("Line1[7]");
    QVERIFY(slant);
    QCOMPARE(slant->geometry().topLeft() + slant->from(), QPoint(0, 16));
    QCOMPARE(slant->geometry().topLeft() + slant->to(), QPoint(8, 0));

    // Manual mode: Tab walks the designed order over the visible controls.
    QWidget* expected[] = {w->CmdScanAll, w->CmdStartTransfer[0], w->CmdSelectScanner, w->CmdSetup[0],
                           w->Text1,      w->CmdExploreDir,       w->FileList};
    QWidget* at = w->CmdScanAll;
    for (size_t i = 1; i < std::size(expected); ++i) {
        do
            at = at->nextInFocusChain();
        while (!(at->isVisibleTo(w.get()) && at->focusPolicy() & Qt::TabFocus));
        QCOMPARE(at, expected[i]);
    }
    // Every control the keys reach shows that it has them, the tab labels too.
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    const QList<QWidget*> keyed{w->CmdScanAll,   w->CmdStartTransfer[0], w->CmdSelectScanner, w->CmdSetup[0],
                                w->Text1,        w->CmdExploreDir,       w->FileList,         w->lblManual,
                                w->lblUnattended};
    for (QWidget* c : keyed) {
        w->setFocus();
        QApplication::processEvents();
        QVERIFY(!c->hasFocus());
        const QImage without = c->grab().toImage();
        QTest::keyClick(w.get(), Qt::Key_Tab); // focus from the keyboard
        c->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        QVERIFY2(c->hasFocus(), qPrintable(c->objectName()));
        QVERIFY2(c->grab().toImage() != without, qPrintable(c->objectName()));
    }
}

// What a screen reader is given (Qt hands the same tree to AT-SPI): every control
// the operator uses has a role and a name, and the status box is a read-only text
// whose lines can be read, selected and copied.
void TestMainWindow::accessibleTreeAndStatusText()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    struct Expected
    {
        QWidget* widget;
        QAccessible::Role role;
        QString name;
    };
    const Expected controls[] = {
        {w->CmdScanAll, QAccessible::Button, "Scan All"},
        {w->CmdStartTransfer[0], QAccessible::Button, "Force Transfer"},
        {w->CmdStartTransfer[1], QAccessible::Button, "Force Transfer"},
        {w->CmdSelectScanner, QAccessible::Button, "Select Scanner"},
        {w->CmdSetup[0], QAccessible::Button, "Setup"},
        {w->CmdSetup[1], QAccessible::Button, "Setup"},
        {w->CmdExploreDir, QAccessible::Button, "Open Directory"},
        {w->chkAutoRead, QAccessible::CheckBox, "Auto read every 30 seconds"},
        {w->FileList, QAccessible::List, "Scans"},
        {w->Text1, QAccessible::EditableText, "Status"},
        {w->lblManual, QAccessible::PageTab, "Manual"},
        {w->lblUnattended, QAccessible::PageTab, "Unattended"},
    };
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(w.get());
    QVERIFY(window);
    QString dump;
    for (const Expected& c : controls) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c.widget);
        QVERIFY2(a, qPrintable(c.widget->objectName()));
        QCOMPARE(a->role(), c.role);
        QCOMPARE(a->text(QAccessible::Name), c.name);
        // Reachable from the window, as a screen reader walks it.
        QAccessibleInterface* up = a;
        while (up && up != window)
            up = up->parent();
        QVERIFY2(up == window, qPrintable(c.widget->objectName()));
        dump += QStringLiteral("%1 role=%2 name=\"%3\"\n")
                    .arg(c.widget->objectName())
                    .arg(int(a->role()))
                    .arg(c.name);
    }
    QVERIFY(QAccessible::queryAccessibleInterface(w->lblManual)->state().selected);
    QVERIFY(!QAccessible::queryAccessibleInterface(w->lblUnattended)->state().selected);
    QAccessible::queryAccessibleInterface(w->lblUnattended)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QVERIFY(w->Frame4->isVisible());
    QVERIFY(QAccessible::queryAccessibleInterface(w->lblUnattended)->state().selected);

    // The status box's text, newest first; a new message is announced where it went in.
    QAccessibleInterface* box = QAccessible::queryAccessibleInterface(w->Text1);
    QAccessibleTextInterface* text = box->textInterface();
    QVERIFY(text);
    QVERIFY(box->state().readOnly && box->state().multiLine);
    w->Text1->prepend(QStringLiteral("Error filing scan."));
    QCOMPARE(text->characterCount(), int(w->statusText().size()));
    QCOMPARE(text->text(0, text->characterCount()), w->statusText());
    QVERIFY(w->statusText().startsWith(QStringLiteral("Error filing scan.\r\n")));
    int start = 0, end = 0;
    text->textAtOffset(3, QAccessible::LineBoundary, &start, &end);
    QCOMPARE(text->text(start, end).trimmed(), QStringLiteral("Error filing scan."));
    dump += QStringLiteral("Text1 text=\"%1\"")
                .arg(text->text(0, text->characterCount()).replace("\r\n", "\\r\\n"));
    qInfo().noquote() << "accessible tree:\n" + dump;

    // Part of it selected with the mouse and copied.
    const QRect r = text->characterRect(6);
    QVERIFY(!r.isEmpty());
    QCOMPARE(text->offsetAtPoint(r.center()), 6);
    QWidget* view = w->Text1->viewport();
    const int y = view->mapFromGlobal(r.center()).y();
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(1, y));
    QTest::mouseMove(view, view->mapFromGlobal(text->characterRect(5).center()) +
                               QPoint(text->characterRect(5).width() / 2 + 1, 0));
    QMouseEvent move(QEvent::MouseMove, QPointF(view->mapFromGlobal(r.topLeft())),
                     view->mapToGlobal(QPointF(0, 0)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, {}, view->mapFromGlobal(r.topLeft()));
    QCOMPARE(w->Text1->selectedText(), QStringLiteral("Error "));
    QCOMPARE(text->selectionCount(), 1);
    QTest::keySequence(w->Text1, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("Error "));
    // Extended by a line from the keyboard; the selection stays on its text as messages come.
    QTest::keyClick(w->Text1, Qt::Key_Down, Qt::ShiftModifier);
    w->Text1->prepend(QStringLiteral("newer"));
    QVERIFY2(w->Text1->selectedText().startsWith(QStringLiteral("Error filing scan.\r\n")),
             qPrintable(w->Text1->selectedText()));
    // Set by assistive technology, read back the same.
    text->setSelection(0, 0, 5);
    QCOMPARE(w->Text1->selectedText(), QStringLiteral("newer"));
    QTest::keyClick(w->Text1, Qt::Key_Escape);
    QCOMPARE(text->selectionCount(), 0);
    QTest::keySequence(w->Text1, QKeySequence::Copy); // nothing selected: all of it
    QCOMPARE(QApplication::clipboard()->text(), w->statusText());
}

// At display scales 1.5 and 2 every straight dark segment of the outline is
// drawn along its whole length.
void TestMainWindow::tabStripWholeAtEveryScale()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    for (const qreal dpr : {1.0, 1.5, 2.0}) {
        QImage img((QSizeF(w->Frame5->size()) * dpr).toSize(), QImage::Format_ARGB32);
        img.setDevicePixelRatio(dpr);
        img.fill(Qt::magenta);
        w->Frame5->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
        // Something is drawn at the segment's every point (the white base lines
        // cross the feet by design); the background shows where nothing is.
        auto drawn = [&](QPointF at) {
            const QPoint d(int(at.x() * dpr), int(at.y() * dpr));
            return img.rect().contains(d) && img.pixelColor(d) != QColor(Qt::magenta);
        };
        for (TabLine* l : w->Frame5->findChildren<TabLine*>()) {
            // The straight ones: the tops, the feet and the base lines.
            if (l->colour() == QColor(Qt::white) || !l->isVisible() ||
                (l->from().x() != l->to().x() && l->from().y() != l->to().y()))
                continue;
            const QPointF a = l->geometry().topLeft() + l->from() + QPointF(0.5, 0.5);
            const QPointF b = l->geometry().topLeft() + l->to() + QPointF(0.5, 0.5);
            for (int i = 0; i <= 10; ++i)
                QVERIFY2(
                    !QRectF(w->Frame5->rect()).contains(a + (b - a) * (i / 10.0)) ||
                        drawn(a + (b - a) * (i / 10.0)),
                    qPrintable(
                        QStringLiteral("%1 at scale %2, point %3").arg(l->objectName()).arg(dpr).arg(i)));
        }
    }
    // The captions' underlines lie inside their labels.
    for (TabLabel* label : {w->lblManual, w->lblUnattended}) {
        const QFontMetrics fm(label->font());
        const int textTop = (label->height() - fm.height()) / 2;
        QVERIFY2(textTop + fm.ascent() + fm.underlinePos() + fm.lineWidth() < label->height(),
                 qPrintable(label->objectName()));
    }
}

void TestMainWindow::modeSwitchesPanelsLinesAndColours()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    auto colour = [](QLabel* l) { return l->palette().color(QPalette::WindowText); };
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");

    QTest::mouseClick(w->lblUnattended, Qt::LeftButton);
    QVERIFY(w->lineManual[0]->isVisible() && w->lineManual[1]->isVisible());
    QVERIFY(!w->lineUnattended[0]->isVisible() && !w->lineUnattended[1]->isVisible());
    QCOMPARE(colour(w->lblUnattended), QColor(0, 0, 0));
    QCOMPARE(colour(w->lblManual), QColor(128, 128, 128));
    QVERIFY(w->Frame4->isVisible() && !w->Frame3->isVisible());
    QVERIFY(w->Timer1->isActive());
    store.sync();
    QCOMPARE(store.value("Applicant Tracking/lastMode").toString(), QStringLiteral("Unattended"));

    // From the keyboard: the tab label takes the focus and answers Space.
    w->lblManual->setFocus();
    QTest::keyClick(w->lblManual, Qt::Key_Space);
    QVERIFY(!w->lineManual[0]->isVisible() && !w->lineManual[1]->isVisible());
    QVERIFY(w->lineUnattended[0]->isVisible() && w->lineUnattended[1]->isVisible());
    QCOMPARE(colour(w->lblManual), QColor(0, 0, 0));
    QCOMPARE(colour(w->lblUnattended), QColor(128, 128, 128));
    QVERIFY(w->Frame3->isVisible() && !w->Frame4->isVisible());
    QVERIFY(!w->Timer1->isActive());
    store.sync();
    QCOMPARE(store.value("Applicant Tracking/lastMode").toString(), QStringLiteral("Manual"));

    // A restart after closing in Unattended mode comes back in Unattended mode.
    w->lblUnattended_Click();
    w.reset();
    auto again = st.start();
    QVERIFY(again->Timer1->isActive());
    QVERIFY(again->Frame4->isVisible());
}

void TestMainWindow::tickFollowsTheCheckBox()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    w->lblUnattended_Click();
    w->chkAutoRead->setChecked(false);
    const QString before = w->statusText();
    w->Timer1_Timer();
    QCOMPARE(w->lastFired->text(), QStringLiteral("Waiting..."));
    QCOMPARE(w->statusText(), before);

    w->chkAutoRead->setChecked(true);
    w->Timer1_Timer();
    QVERIFY2(w->lastFired->text().startsWith("Last Read @ "), qPrintable(w->lastFired->text()));
    QVERIFY(w->statusText().startsWith("----Finished Processing Scans----\r\n----0 Pages Filed----\r\n"));
}

void TestMainWindow::tickSurvivesARemovedFolder()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    w->lblUnattended_Click();
    QVERIFY(QDir(st.scans).removeRecursively());
    w->Timer1_Timer();
    const QStringList lines = w->statusText().split("\r\n");
    QVERIFY2(lines.size() >= 4, qPrintable(w->statusText()));
    QVERIFY(lines[0].startsWith("Reading: "));
    QVERIFY(lines[1].startsWith("Error @ "));
    QVERIFY2(lines[2].contains("Path not found"), qPrintable(lines[2]));
    QCOMPARE(lines[3], QString(18, '-'));
    // The folder comes back and the next tick goes on as usual.
    QDir().mkpath(st.scans);
    w->Timer1_Timer();
    QVERIFY(w->statusText().startsWith("----Finished Processing Scans----"));
}

void TestMainWindow::emptyFolderBannerOnlyOnce()
{
    Station st;
    st.writeSettings("http://127.0.0.1:9/upload");
    auto w = st.start();
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QCOMPARE(w->statusText(),
             QStringLiteral("----Finished Processing Scans----\r\n----0 Pages Filed----\r\n"));
    w->lblUnattended_Click();
    w->Timer1_Timer();
    w->Timer1_Timer();
    QCOMPARE(w->statusText(),
             QStringLiteral("----Finished Processing Scans----\r\n----0 Pages Filed----\r\n"));
    // A file that arrives now is listed by the next call and sent by the one after.
    st.put("/late.xyz", "x");
    w->Timer1_Timer();
    QCOMPARE(w->fileListEntries(), QStringList({"/late.xyz"}));
    w->Timer1_Timer();
    QVERIFY2(w->statusText().contains("Skipping /late.xyz... "), qPrintable(w->statusText()));
}

void TestMainWindow::secondStationOnTheSameFolderSendsNothing()
{
    Station st;
    st.put("/a.pdf", "a");
    st.writeSettings("http://127.0.0.1:9/upload");
    auto first = st.start();
    QCOMPARE(first->fileListEntries(), QStringList({"/a.pdf"}));
    auto second = st.start();
    // The waiting files are shown, and the holder is named.
    QCOMPARE(second->fileListEntries(), QStringList({"/a.pdf"}));
    QVERIFY2(second->statusText().contains(QStringLiteral("Another Quillfeed (process %1").arg(::getpid())) &&
                 second->statusText().contains("is serving the folder"),
             qPrintable(second->statusText()));
    // Once the first one has gone, the folder is served again.
    first.reset();
    QTest::mouseClick(second->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(second->statusText().contains("Uploading /a.pdf... "), qPrintable(second->statusText()));
    // Gone with its request out, the window would leave a send record, which a later
    // folder given the same inode would report.
    QVERIFY(waitUntil([&] { return !second->uploadInFlight(); }));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
