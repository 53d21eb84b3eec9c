#include "StatusBox.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>

namespace {
// Drawing a very long line (a server's error page without line breaks) would
// shape all of it on every repaint; nobody reads past this.
constexpr int MaxDrawnChars = 512;
const QString kCrLf = QStringLiteral("\r\n");
} // namespace

StatusBox::StatusBox(QWidget* parent) : QAbstractScrollArea(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    m_lines.push_back({});
    updateScrollBar();
}

std::deque<StatusBox::Line> StatusBox::split(const QString& text)
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

void StatusBox::appendLine(QString& out, const Line& line)
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

qsizetype StatusBox::charsOf(const Line& line)
{
    return line.text.size() + (line.end == Break::CrLf ? 2 : line.end == Break::None ? 0 : 1);
}

void StatusBox::setCapacity(qsizetype chars)
{
    m_capacity = qMax<qsizetype>(2, chars);
    keepWithinCapacity();
    updateScrollBar();
    viewport()->update();
}

void StatusBox::keepWithinCapacity()
{
    if (m_chars <= m_capacity)
        return;
    // A quarter at a time, so that the cost of trimming is spread over the messages.
    const qsizetype target = m_capacity - m_capacity / 4;
    while (m_lines.size() > 1 && m_chars > target) {
        m_chars -= charsOf(m_lines.back());
        m_lines.pop_back();
    }
    if (m_chars > m_capacity) { // the newest line alone is longer than the box
        Line& only = m_lines.front();
        only.text.truncate(m_capacity - 2);
        m_chars = charsOf(only);
    }
}

QString StatusBox::text() const
{
    QString out;
    out.reserve(m_chars);
    for (const Line& l : m_lines)
        appendLine(out, l);
    return out;
}

QString StatusBox::head(int n) const
{
    QString out;
    for (auto it = m_lines.cbegin(); it != m_lines.cend() && out.size() < n; ++it)
        appendLine(out, *it);
    return out.left(n);
}

void StatusBox::setText(const QString& text)
{
    m_lines = split(text);
    m_chars = text.size();
    keepWithinCapacity();
    verticalScrollBar()->setValue(0);
    updateScrollBar();
    viewport()->update();
}

void StatusBox::prepend(const QString& message)
{
    std::deque<Line> added = split(message);
    added.back().end = Break::CrLf;
    const int count = int(added.size());
    // Keep what the operator is looking at in place when they have scrolled down.
    QScrollBar* bar = verticalScrollBar();
    const bool atTop = bar->value() == 0;
    for (const Line& l : added)
        m_chars += charsOf(l);
    m_lines.insert(m_lines.begin(), std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
    keepWithinCapacity();
    updateScrollBar();
    if (!atTop)
        bar->setValue(bar->value() + count);
    viewport()->update();
}

void StatusBox::appendLineBreak()
{
    m_chars += 2 - charsOf(m_lines.back()) + m_lines.back().text.size();
    m_lines.back().end = Break::CrLf;
    m_lines.push_back({});
    keepWithinCapacity();
    updateScrollBar();
    viewport()->update();
}

int StatusBox::visibleLines() const
{
    const int lh = qMax(1, fontMetrics().lineSpacing());
    return qMax(1, viewport()->height() / lh);
}

void StatusBox::updateScrollBar()
{
    QScrollBar* bar = verticalScrollBar();
    const int page = visibleLines();
    bar->setPageStep(page);
    bar->setSingleStep(1);
    bar->setRange(0, qMax(0, int(m_lines.size()) - page));
}

void StatusBox::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void StatusBox::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Text));
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.lineSpacing();
    const int first = verticalScrollBar()->value();
    const int last = qMin(int(m_lines.size()), first + visibleLines() + 1);
    int y = 2 + fm.ascent();
    for (int i = first; i < last; ++i, y += lh) {
        const QString& t = m_lines[size_t(i)].text;
        p.drawText(3, y, t.size() > MaxDrawnChars ? t.left(MaxDrawnChars) : t);
    }
}

void StatusBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::SelectAll)) {
        QApplication::clipboard()->setText(text());
        return;
    }
    QScrollBar* bar = verticalScrollBar();
    switch (event->key()) {
    case Qt::Key_Up:
        bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        return;
    case Qt::Key_Down:
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        return;
    case Qt::Key_PageUp:
        bar->triggerAction(QAbstractSlider::SliderPageStepSub);
        return;
    case Qt::Key_PageDown:
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        return;
    case Qt::Key_Home:
        bar->triggerAction(QAbstractSlider::SliderToMinimum);
        return;
    case Qt::Key_End:
        bar->triggerAction(QAbstractSlider::SliderToMaximum);
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void StatusBox::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addAction(tr("Copy all"), this, [this] { QApplication::clipboard()->setText(text()); });
    menu.exec(event->globalPos());
}
