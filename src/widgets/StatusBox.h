// The status box: newest message on top. The text lives in a list of lines and
// only the visible lines are drawn, so adding a message costs the same however
// long the box has grown. Part of it can be selected with the mouse or with
// Shift and the arrow keys and copied; assistive technology reads it through a
// text interface (StatusBoxAccessible), which builds the whole text only when asked.
#pragma once

#include <QAbstractScrollArea>
#include <QPoint>
#include <QRect>
#include <QString>

#include <deque>
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
    int lineCount() const { return int(m_lines.size()); }
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
    enum class Break : quint8 { None, CrLf, Cr, Lf };
    struct Line
    {
        QString text;
        Break end = Break::None;
    };

    static std::deque<Line> split(const QString& text);
    static void appendLine(QString& out, const Line& line);
    static qsizetype charsOf(const Line& line);
    void keepWithinCapacity();
    struct Pos
    {
        qsizetype line = 0;
        qsizetype col = 0;
        auto operator<=>(const Pos&) const = default;
    };
    Pos posAt(const QPoint& viewportPoint) const;
    Pos posOf(qsizetype offset) const;
    qsizetype offsetOf(Pos pos) const;
    void moveCaret(Pos caret, bool extend);
    void selectionChanged();
    void copySelectionOrAll() const;
    void updateScrollBar();
    int visibleLines() const;

    void textChanged();

    std::deque<Line> m_lines;
    mutable QString m_textCache; // text(), until the next change; empty when not built
    qsizetype m_chars = 0; // of text(), kept as lines come and go
    Pos m_anchor;          // where the selection began
    Pos m_caret;           // where it ends; the same as m_anchor when nothing is selected
    // An unattended station can get a long error page every pass for days; like the
    // diagnostic window, the box keeps the newest 8 Mi characters of them.
    qsizetype m_capacity = 8 * 1024 * 1024;
};
