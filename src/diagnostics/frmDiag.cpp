// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmDiag.h"
#include "Design.h"

#include "DiagLogging.h"
#include "LineStore.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <new>

// The box holds at most as many characters as the status box (some 100 000 lines
// of a usual length, about 120 MB once laid out). A test-mode session left
// running for days must neither exhaust memory nor reach the document's int-sized
// positions; when a new line would pass the limit, the oldest lines make room,
// down to the same trim target as the status box.
qsizetype frmDiag::s_capacity = TextCapacity::DefaultChars;

namespace {
// Lines of a hidden window go into the box in batches of about this size.
constexpr qsizetype PendingFlushChars = 64 * 1024;
} // namespace

frmDiag::frmDiag(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmDiag"));
    setWindowTitle(QStringLiteral("Diagnostic Results"));
    setFixedSize(px(4680), px(3090));
    // A diagnostic window left open never keeps the program running once the
    // main window is closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(0, 0, px(4695), px(3135));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Text1->setReadOnly(false);
    // The log is only ever appended to; an undo history would hold a second
    // copy of everything logged.
    Text1->setUndoRedoEnabled(false);
    Text1->document()->setUndoRedoEnabled(false);
}

void frmDiag::Log(const QString& text)
{
    try {
        QString line = text;
        if (line.size() > TextCapacity::longestLine(s_capacity))
            line.truncate(TextCapacity::longestLine(s_capacity));
        if (!isVisible()) {
            m_pending += QStringLiteral("\r\n") + line;
            if (m_pending.size() >= PendingFlushChars)
                flushPending();
            return;
        }
        flushPending();
        insertAtEnd(QStringLiteral("\r\n") + line);
    } catch (const std::bad_alloc&) {
        // Out of memory: this line is lost, the program goes on.
        qCWarning(lcDiag) << "diagnostic line dropped: out of memory";
    }
}

void frmDiag::flushPending()
{
    if (m_pending.isEmpty())
        return;
    const QString pending = std::move(m_pending);
    m_pending.clear();
    if (Text1->document()->characterCount() - 1 + pending.size() <= s_capacity) {
        insertAtEnd(pending);
        return;
    }
    // The box is full: line by line, so the oldest lines make room as they would have.
    const QStringList lines = pending.split(QStringLiteral("\r\n"));
    for (qsizetype i = 1; i < lines.size(); ++i)
        insertAtEnd(QStringLiteral("\r\n") + lines[i]);
}

void frmDiag::showEvent(QShowEvent* event)
{
    flushPending();
    QWidget::showEvent(event);
}

void frmDiag::insertAtEnd(const QString& text)
{
    QTextDocument* doc = Text1->document();
    // characterCount() counts the document's final paragraph separator.
    if (const qsizetype excess = TextCapacity::excess(doc->characterCount() - 1 + text.size(), s_capacity))
        trimOldest(excess);

    // The operator's caret and selection stay where they are, even when
    // they sit at the end of the text, where an insertion would push them.
    const QTextCursor view = Text1->textCursor();
    const int anchor = view.anchor();
    const int position = view.position();

    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertText(text);

    const QTextCursor after = Text1->textCursor();
    if (after.anchor() != anchor || after.position() != position) {
        // Putting the caret back may scroll to it; the view stays where it was.
        QScrollBar* bar = Text1->verticalScrollBar();
        const int top = bar->value();
        QTextCursor restore(doc);
        restore.setPosition(anchor);
        restore.setPosition(position, QTextCursor::KeepAnchor);
        Text1->setTextCursor(restore);
        bar->setValue(top);
    }
}

void frmDiag::trimOldest(qsizetype atLeast)
{
    QTextDocument* doc = Text1->document();
    // Whole lines go, never part of one: find the first block that starts at or
    // beyond the amount to remove.
    QTextBlock block = doc->begin();
    while (block.isValid() && block.position() < atLeast)
        block = block.next();
    QTextCursor cut(doc);
    cut.movePosition(QTextCursor::Start);
    if (block.isValid())
        cut.setPosition(block.position(), QTextCursor::KeepAnchor);
    else
        cut.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cut.removeSelectedText();
}

QString frmDiag::text() const
{
    const_cast<frmDiag*>(this)->flushPending();
    // Lines are the document's blocks; each break between them is written as
    // CR LF, the way the text was logged.
    QString raw = Text1->document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    return raw;
}

void frmDiag::closeEvent(QCloseEvent* event)
{
    // Closing discards the log; the window only hides, so a caller that still
    // holds it logs into an empty box that nobody shows.
    Text1->clear();
    m_pending.clear();
    event->accept();
}
