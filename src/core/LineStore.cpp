// SPDX-License-Identifier: GPL-3.0-or-later
#include "LineStore.h"

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

LineStore::LineStore()
{
    m_lines.push_back({});
}

std::deque<LineStore::Line> LineStore::split(const QString& text)
{
    std::deque<Line> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        Break end = Break::Lf;
        if (c == u'\r')
            end = (i + 1 < n && text[i + 1] == u'\n') ? Break::CrLf : Break::Cr;
        lines.push_back({text.mid(start, i - start), end});
        if (end == Break::CrLf)
            ++i;
        start = i + 1;
    }
    lines.push_back({text.mid(start), Break::None});
    return lines;
}

void LineStore::appendLine(QString& out, const Line& line)
{
    out += line.text;
    switch (line.end) {
    case Break::CrLf:
        out += kCrLf;
        break;
    case Break::Cr:
        out += u'\r';
        break;
    case Break::Lf:
        out += u'\n';
        break;
    case Break::None:
        break;
    }
}

qsizetype LineStore::charsOf(const Line& line)
{
    return line.text.size() + (line.end == Break::CrLf ? 2 : line.end == Break::None ? 0 : 1);
}

QString LineStore::text() const
{
    if (!m_textCache.isEmpty() || m_chars == 0)
        return m_textCache;
    QString out;
    out.reserve(m_chars);
    for (const Line& l : m_lines)
        appendLine(out, l);
    m_textCache = out;
    return out;
}

QString LineStore::head(qsizetype n) const
{
    QString out;
    for (auto it = m_lines.cbegin(); it != m_lines.cend() && out.size() < n; ++it)
        appendLine(out, *it);
    return out.left(n);
}

void LineStore::setText(const QString& text)
{
    m_lines = split(text);
    m_chars = text.size();
    m_textCache.clear();
}

qsizetype LineStore::prepend(const QString& message)
{
    std::deque<Line> added = split(message);
    added.back().end = Break::CrLf;
    const qsizetype count = qsizetype(added.size());
    for (const Line& l : added)
        m_chars += charsOf(l);
    m_lines.insert(m_lines.begin(), std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
    m_textCache.clear();
    return count;
}

qsizetype LineStore::appendLineBreak()
{
    m_chars += 2 - charsOf(m_lines.back()) + m_lines.back().text.size();
    m_lines.back().end = Break::CrLf;
    m_lines.push_back({});
    m_textCache.clear();
    return m_chars - 2;
}

QString LineStore::trim(qsizetype capacity, bool keepRemoved)
{
    qsizetype excess = TextCapacity::excess(m_chars, capacity);
    if (excess == 0)
        return {};
    QString removed;
    while (m_lines.size() > 1 && excess > 0) {
        if (keepRemoved) {
            QString piece;
            appendLine(piece, m_lines.back());
            removed.prepend(piece);
        }
        excess -= charsOf(m_lines.back());
        m_chars -= charsOf(m_lines.back());
        m_lines.pop_back();
    }
    if (m_chars > capacity) { // the newest line alone is longer than the store
        Line& only = m_lines.front();
        const qsizetype longest = TextCapacity::longestLine(capacity);
        if (keepRemoved) {
            QString piece;
            appendLine(piece, only);
            removed.prepend(piece.mid(longest));
        }
        only.text.truncate(longest);
        m_chars = charsOf(only);
    }
    m_textCache.clear();
    return removed;
}

qsizetype LineStore::offsetOf(Pos pos) const
{
    qsizetype offset = 0;
    for (qsizetype i = 0; i < pos.line && i < lineCount(); ++i)
        offset += charsOf(m_lines[size_t(i)]);
    return offset + pos.col;
}

LineStore::Pos LineStore::posOf(qsizetype offset) const
{
    offset = qMax<qsizetype>(0, offset);
    for (qsizetype i = 0; i < lineCount(); ++i) {
        const Line& l = m_lines[size_t(i)];
        if (offset <= l.text.size())
            return {i, offset};
        offset -= charsOf(l);
        if (offset < 0) // inside the line break
            return {i, l.text.size()};
    }
    return end();
}

LineStore::Pos LineStore::clamp(Pos pos) const
{
    pos = qMin(pos, end());
    pos.col = qMin(pos.col, lineText(pos.line).size());
    return pos;
}

QString LineStore::between(Pos from, Pos to) const
{
    QString out;
    for (qsizetype i = from.line; i <= to.line; ++i) {
        const Line& l = m_lines[size_t(i)];
        const qsizetype a = i == from.line ? from.col : 0;
        if (i == to.line)
            out += l.text.mid(a, to.col - a);
        else
            appendLine(out, Line{l.text.mid(a), l.end});
    }
    return out;
}
