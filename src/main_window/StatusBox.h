// The status box: newest message on top. The text lives in a list of lines and
// only the visible lines are drawn, so adding a message costs the same however
// long the box has grown.
#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <deque>

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

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

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
    void updateScrollBar();
    int visibleLines() const;

    std::deque<Line> m_lines;
    qsizetype m_chars = 0; // of text(), kept as lines come and go
    // An unattended station can get a long error page every pass for days; like the
    // diagnostic window, the box keeps the newest 8 Mi characters of them.
    qsizetype m_capacity = 8 * 1024 * 1024;
};
