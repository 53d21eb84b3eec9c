// SPDX-License-Identifier: GPL-3.0-or-later
// The status box: newest message on top. The text lives in a LineStore and
// only the visible lines are laid out and drawn, so adding a message costs the
// same however long the box has grown. A line wider than the box wraps at its
// words, as a multi-line text box's does; only the count of rows of each line
// is kept, and the wrap never enters the text. Part of it can be selected with the mouse or with
// Shift and the arrow keys and copied; assistive technology reads it through a
// text interface (StatusBoxAccessible), which builds the whole text only when asked.
#pragma once

#include "LineStore.h"

#include <QAbstractScrollArea>
#include <QPoint>
#include <QRect>
#include <QString>

#include <deque>
#include <utility>

class QTextLayout;

class StatusBox : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit StatusBox(QWidget* parent = nullptr);

    /// The whole text, byte for byte as the messages built it.
    QString text() const;
    /// Replaces the whole text.
    void setText(const QString& text);
    /// Puts message, CR LF, then the previous text.
    void prepend(const QString& message);
    /// Adds CR LF after the previous text.
    void appendLineBreak();
    /// The first n characters of the text (the whole text when shorter).
    QString head(int n) const;
    /// Number of lines of the text (a wrapped line counts once).
    int lineCount() const { return int(m_store.lineCount()); }
    /// Number of rows the lines take on screen, wrapped to the box's width.
    qsizetype rowCount() const { return m_totalRows; }
    /// The most characters the box holds; beyond it the oldest lines make room.
    void setCapacity(qsizetype chars);

    /// The selection as offsets into text(), start <= end; equal when nothing is selected.
    std::pair<qsizetype, qsizetype> selection() const;
    void setSelection(qsizetype start, qsizetype end);
    QString selectedText() const;
    /// Where the caret (the moving end of the selection) stands, as an offset into text().
    qsizetype caretOffset() const;
    /// The offset into text() of the character drawn at a point of the viewport.
    qsizetype offsetAt(const QPoint& viewportPoint) const;
    /// The character's box in viewport coordinates; empty when it is not on screen.
    QRect characterRect(qsizetype offset) const;
    /// Scrolls so that the line holding offset is in view.
    void ensureVisible(qsizetype offset);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    using Pos = LineStore::Pos;
    void keepWithinCapacity();
    Pos posAt(const QPoint& viewportPoint) const;
    void moveCaret(Pos caret, bool extend);
    void selectionChanged();
    void copySelectionOrAll() const;
    void updateScrollBar();
    int visibleLines() const;

    void textChanged();

    // Wrapping. A line's rows are laid out again whenever they are drawn or
    // hit; m_rows only says how many there are, line by line.
    struct Row
    {
        qsizetype line = 0;
        int sub = 0; // the row within its line
    };
    int wrapWidth() const;
    void layOut(QTextLayout& layout, qsizetype line) const;
    int rowsOf(qsizetype line) const;
    void rewrapAll();
    /// After the store changed: added lines at the front, lines gone at the back.
    void rowsPrepended(qsizetype lines);
    void rowsTrimmed();
    Row rowAt(qsizetype row) const;
    qsizetype firstRowOf(qsizetype line) const;
    /// The row of pos within its line.
    int subRowOf(Pos pos) const;

    std::deque<int> m_rows;
    qsizetype m_totalRows = 0;
    int m_wrappedAt = -1; // the width m_rows was counted for

    LineStore m_store;
    Pos m_anchor; // where the selection began
    Pos m_caret;  // where it ends; the same as m_anchor when nothing is selected
    qsizetype m_capacity = TextCapacity::DefaultChars;
};
