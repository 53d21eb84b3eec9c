// The status box: newest message on top. The text lives in a LineStore and
// only the visible lines are drawn, so adding a message costs the same however
// long the box has grown. Part of it can be selected with the mouse or with
// Shift and the arrow keys and copied; assistive technology reads it through a
// text interface (StatusBoxAccessible), which builds the whole text only when asked.
#pragma once

#include "LineStore.h"

#include <QAbstractScrollArea>
#include <QPoint>
#include <QRect>
#include <QString>

#include <utility>

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
    /// Number of display lines.
    int lineCount() const { return int(m_store.lineCount()); }
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

    LineStore m_store;
    Pos m_anchor; // where the selection began
    Pos m_caret;  // where it ends; the same as m_anchor when nothing is selected
    qsizetype m_capacity = TextCapacity::DefaultChars;
};
