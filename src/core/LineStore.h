// SPDX-License-Identifier: GPL-3.0-or-later
// Text kept as a list of lines, each with the line break it ended in, so that a
// window can draw, select and trim by line without building the whole text.
// The status box keeps its messages here, newest first.
#pragma once

#include <QString>

#include <compare>
#include <deque>

namespace TextCapacity {
// A station left running for days can get a long error page every pass; the
// windows that collect text keep the newest 8 Mi characters of it.
inline constexpr qsizetype DefaultChars = 8 * 1024 * 1024;

/// Where trimming stops once a text has passed its capacity: a quarter below it,
/// so that the cost of trimming is spread over the messages that follow.
constexpr qsizetype trimTarget(qsizetype capacity)
{
    return capacity - capacity / 4;
}

/// How many characters go from a text of chars characters: none while it keeps
/// within capacity, else the oldest, in whole lines, down to the trim target.
constexpr qsizetype excess(qsizetype chars, qsizetype capacity)
{
    return chars <= capacity ? 0 : chars - trimTarget(capacity);
}

/// The longest a single line may be, with room left for its CR LF.
constexpr qsizetype longestLine(qsizetype capacity)
{
    return capacity - 2;
}
} // namespace TextCapacity

class LineStore
{
public:
    enum class Break : quint8 { None, CrLf, Cr, Lf };
    struct Line
    {
        QString text;
        Break end = Break::None;
    };
    /// A place in the text: a line and a column within its text (not its break).
    struct Pos
    {
        qsizetype line = 0;
        qsizetype col = 0;
        auto operator<=>(const Pos&) const = default;
    };

    LineStore();

    /// The whole text, byte for byte as the messages built it.
    QString text() const;
    /// The first n characters of the text (the whole text when shorter).
    QString head(qsizetype n) const;
    qsizetype chars() const { return m_chars; }
    qsizetype lineCount() const { return qsizetype(m_lines.size()); }
    const QString& lineText(qsizetype line) const { return m_lines[size_t(line)].text; }
    /// The place after the last character.
    Pos end() const { return {lineCount() - 1, m_lines.back().text.size()}; }

    void setText(const QString& text);
    /// Puts message, CR LF, then the previous text; returns the number of lines added.
    qsizetype prepend(const QString& message);
    /// Adds CR LF after the text; returns the offset it went to.
    qsizetype appendLineBreak();
    /// Once the text is longer than capacity, drops the oldest lines down to the
    /// trim target (and cuts the newest line alone when it is longer than capacity).
    /// Returns the text that went when keepRemoved is set, for those who must be told.
    QString trim(qsizetype capacity, bool keepRemoved);

    qsizetype offsetOf(Pos pos) const;
    Pos posOf(qsizetype offset) const;
    /// pos moved back into the text where trimming has taken its line or columns.
    Pos clamp(Pos pos) const;
    /// The text from one place to another, line breaks included.
    QString between(Pos from, Pos to) const;

private:
    static std::deque<Line> split(const QString& text);
    static void appendLine(QString& out, const Line& line);
    static qsizetype charsOf(const Line& line);

    std::deque<Line> m_lines;
    mutable QString m_textCache; // text(), until the next change; empty when not built
    qsizetype m_chars = 0;       // of text(), kept as lines come and go
};
