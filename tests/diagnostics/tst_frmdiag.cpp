// SPDX-License-Identifier: GPL-3.0-or-later
// The diagnostic window: what Log leaves in the box, shown or not, and after closing.
#include "TestSupport.h"
#include "frmDiag.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

class tst_frmDiag : public QObject
{
    Q_OBJECT
private slots:
    void design();
    void logLines_data();
    void logLines();
    void hiddenInstanceCollects();
    void closeDiscardsText();
    void instancesAreSeparate();
    void caretAndViewStay();
    void editedTextIsKept();
    void longLogIsBounded();
    void doesNotKeepProgramRunning();
};

void tst_frmDiag::design()
{
    frmDiag w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Diagnostic Results"));
    QCOMPARE(w.minimumSize(), QSize(312, 206));
    QCOMPARE(w.maximumSize(), QSize(312, 206));
    const Qt::WindowFlags f = w.windowFlags();
    QVERIFY(f & Qt::WindowCloseButtonHint);
    QVERIFY(!(f & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(f & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.isWindow());

    auto* box = w.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    QVERIFY(box);
    QCOMPARE(box, w.Text1);
    QCOMPARE(box->geometry(), QRect(0, 0, 313, 209));
    QVERIFY(!box->isReadOnly());
    QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(!box->document()->isUndoRedoEnabled());
    // Long lines wrap at words within the box, as the status box's do.
    QCOMPARE(box->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(box->wordWrapMode(), QTextOption::WrapAtWordBoundaryOrAnywhere);
    QCOMPARE(w.text(), QString());
}

void tst_frmDiag::logLines_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one") << QStringList{"A"} << QStringLiteral("\r\nA");
    QTest::newRow("two") << QStringList{"A", "B"} << QStringLiteral("\r\nA\r\nB");
    QTest::newRow("multi-line text") << QStringList{"A\r\nB\r\nC", "D"}
                                     << QStringLiteral("\r\nA\r\nB\r\nC\r\nD");
    QTest::newRow("empty text") << QStringList{""} << QStringLiteral("\r\n");
    QTest::newRow("empty between") << QStringList{"A", "", "B"} << QStringLiteral("\r\nA\r\n\r\nB");
    QTest::newRow("blanks kept") << QStringList{"  padded  ", "\ttab"}
                                 << QStringLiteral("\r\n  padded  \r\n\ttab");
    QTest::newRow("ends with break") << QStringList{"A\r\n"} << QStringLiteral("\r\nA\r\n");
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("Übertragung – 文")}
                               << QStringLiteral("\r\nÜbertragung – 文");
}

void tst_frmDiag::logLines()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, expected);
    frmDiag w;
    for (const QString& l : lines)
        w.Log(l);
    QCOMPARE(w.text(), expected);
}

void tst_frmDiag::hiddenInstanceCollects()
{
    frmDiag w;
    w.Log(QStringLiteral("taken: /a.pdf"));
    QVERIFY(!w.isVisible());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.text(), QStringLiteral("\r\ntaken: /a.pdf"));
    QCOMPARE(w.Text1->toPlainText(), QStringLiteral("\ntaken: /a.pdf"));
}

void tst_frmDiag::closeDiscardsText()
{
    QPointer<frmDiag> w = new frmDiag;
    w->setAttribute(Qt::WA_DeleteOnClose, false);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    w->Log(QStringLiteral("A"));
    QVERIFY(w->close());
    QVERIFY(!w->isVisible());
    QCOMPARE(w->text(), QString());
    QTest::qWait(0);
    QVERIFY(w); // hidden, not deleted: a caller may still hold it

    w->Log(QStringLiteral("B"));
    QCOMPARE(w->text(), QStringLiteral("\r\nB"));
    QVERIFY(!w->isVisible());
    delete w;
}

void tst_frmDiag::instancesAreSeparate()
{
    frmDiag first;
    frmDiag second;
    first.show();
    first.Log(QStringLiteral("pass 1"));
    second.show();
    second.Log(QStringLiteral("pass 2"));
    second.Log(QStringLiteral("more"));
    QCOMPARE(first.text(), QStringLiteral("\r\npass 1"));
    QCOMPARE(second.text(), QStringLiteral("\r\npass 2\r\nmore"));
    second.close();
    QCOMPARE(first.text(), QStringLiteral("\r\npass 1"));
}

void tst_frmDiag::caretAndViewStay()
{
    frmDiag w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 200; ++i)
        w.Log(QStringLiteral("line %1").arg(i));
    QScrollBar* bar = w.Text1->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), 0); // logging does not scroll to the new line

    // The operator put the caret at the very end and scrolled to the middle.
    QTextCursor c = w.Text1->textCursor();
    c.movePosition(QTextCursor::End);
    w.Text1->setTextCursor(c);
    const int end = c.position();
    bar->setValue(bar->maximum() / 2);
    const int middle = bar->value();

    w.Log(QStringLiteral("new"));
    QCOMPARE(w.Text1->textCursor().position(), end);
    QCOMPARE(w.Text1->textCursor().anchor(), end);
    QCOMPARE(bar->value(), middle);
    QVERIFY(w.text().endsWith(QStringLiteral("line 199\r\nnew")));

    // A selection in the middle stays as it was.
    QTextCursor sel(w.Text1->document());
    sel.setPosition(10);
    sel.setPosition(20, QTextCursor::KeepAnchor);
    w.Text1->setTextCursor(sel);
    w.Log(QStringLiteral("newer"));
    QCOMPARE(w.Text1->textCursor().anchor(), 10);
    QCOMPARE(w.Text1->textCursor().position(), 20);
}

void tst_frmDiag::editedTextIsKept()
{
    // The box is editable; what the operator typed stays and the log goes on after it.
    frmDiag w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.Log(QStringLiteral("A"));
    w.Text1->setFocus();
    QTextCursor c = w.Text1->textCursor();
    c.movePosition(QTextCursor::End);
    w.Text1->setTextCursor(c);
    QTest::keyClicks(w.Text1, QStringLiteral("xy"));
    w.Log(QStringLiteral("B"));
    QCOMPARE(w.text(), QStringLiteral("\r\nAxy\r\nB"));
}

void tst_frmDiag::longLogIsBounded()
{
    // A log that runs for days keeps its newest whole lines and never fails. The
    // limit is lowered so the test need not fill a hundred megabytes.
    const qsizetype saved = frmDiag::s_capacity;
    frmDiag::s_capacity = 1000;
    auto restore = qScopeGuard([saved] { frmDiag::s_capacity = saved; });

    frmDiag w;
    for (int i = 0; i < 100; ++i)
        w.Log(QStringLiteral("%1 ").arg(i, 3, 10, QLatin1Char('0')) + QString(40, QLatin1Char('x')));
    const QString t = w.text();
    QVERIFY(t.size() <= 1000);
    QVERIFY(t.size() >= 600);
    QVERIFY(t.endsWith(QStringLiteral("\r\n099 ") + QString(40, QLatin1Char('x'))));
    QVERIFY(!t.contains(QStringLiteral("000 ")));
    // What is left begins with a whole line and every line is whole.
    const QStringList lines = t.split(QStringLiteral("\r\n"));
    for (const QString& l : lines)
        QCOMPARE(l.size(), 44);
    // No line was lost in between.
    for (int i = 1; i < lines.size(); ++i)
        QCOMPARE(lines[i].left(3).toInt(), lines[i - 1].left(3).toInt() + 1);

    // A single text longer than the box keeps its beginning, and logging goes on.
    frmDiag huge;
    huge.Log(QStringLiteral("first"));
    huge.Log(QString(5000, QLatin1Char('y')) + QStringLiteral("tail"));
    QVERIFY(huge.text().startsWith(QStringLiteral("\r\nyyy")));
    QVERIFY(huge.text().size() <= 1000);
    // The next line needs its room: the whole long line makes way.
    huge.Log(QStringLiteral("after"));
    QCOMPARE(huge.text(), QStringLiteral("\r\nafter"));
}

void tst_frmDiag::doesNotKeepProgramRunning()
{
    // The main window closes while a diagnostic window is still on the screen:
    // the program ends all the same.
    QWidget main;
    main.show();
    frmDiag diag;
    diag.show();
    QVERIFY(QTest::qWaitForWindowExposed(&diag));
    QCOMPARE(TestSupport::closeAndRunUntilQuit(main), 0);
}

QTEST_MAIN(tst_frmDiag)
#include "tst_frmdiag.moc"
