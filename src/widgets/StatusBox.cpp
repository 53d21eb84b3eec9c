// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusBox.h"
#include "StatusBoxAccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

namespace {
// Laying out a very long line (a server's error page without line breaks)
// would shape all of it on every repaint and fill screens with one message;
// nobody reads past this. Copy still gives the whole line.
constexpr int MaxDrawnChars = 2048;
const QString kEllipsis = QStringLiteral("\u2026");
constexpr int TextLeft = 3;
constexpr int TextTop = 2;
const QString kCrLf = QStringLiteral("\r\n");
} // namespace

StatusBox::StatusBox(QWidget* parent) : QAbstractScrollArea(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(StatusBoxAccessible::factory);
        return true;
    }();
    Q_UNUSED(installed)
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    rewrapAll();
    updateScrollBar();
}

void StatusBox::textChanged()
{
    updateScrollBar();
    viewport()->update();
}

void StatusBox::setCapacity(qsizetype chars)
{
    m_capacity = qMax<qsizetype>(2, chars);
    keepWithinCapacity();
    textChanged();
}

void StatusBox::keepWithinCapacity()
{
    const bool told = QAccessible::isActive(); // assistive technology is told what went
    const qsizetype before = m_store.chars();
    const QString removed = m_store.trim(m_capacity, told);
    if (m_store.chars() != before)
        rowsTrimmed();
    m_anchor = m_store.clamp(m_anchor);
    m_caret = m_store.clamp(m_caret);
    if (told && !removed.isEmpty()) {
        QAccessibleTextRemoveEvent event(this, int(m_store.chars()), removed);
        QAccessible::updateAccessibility(&event);
    }
}

QString StatusBox::text() const
{
    return m_store.text();
}

QString StatusBox::head(int n) const
{
    return m_store.head(n);
}

void StatusBox::setText(const QString& text)
{
    const bool told = QAccessible::isActive();
    const QString before = told ? this->text() : QString();
    m_store.setText(text);
    rewrapAll();
    m_anchor = m_caret = {};
    keepWithinCapacity();
    verticalScrollBar()->setValue(0);
    textChanged();
    if (told) {
        QAccessibleTextUpdateEvent event(this, 0, before, this->text());
        QAccessible::updateAccessibility(&event);
    }
}

void StatusBox::prepend(const QString& message)
{
    // Keep what the operator is looking at, and what they selected, in place.
    QScrollBar* bar = verticalScrollBar();
    const bool atTop = bar->value() == 0;
    const qsizetype rowsBefore = m_totalRows;
    const qsizetype count = m_store.prepend(message);
    rowsPrepended(count);
    const qsizetype rowsAdded = m_totalRows - rowsBefore;
    m_anchor.line += count;
    m_caret.line += count;
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent event(this, 0, message + kCrLf);
        QAccessible::updateAccessibility(&event);
    }
    keepWithinCapacity();
    textChanged();
    if (!atTop)
        bar->setValue(bar->value() + int(rowsAdded));
}

void StatusBox::appendLineBreak()
{
    const qsizetype at = m_store.appendLineBreak();
    m_rows.push_back(1); // the line before keeps its text, the new one is empty
    ++m_totalRows;
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent event(this, int(at), kCrLf);
        QAccessible::updateAccessibility(&event);
    }
    keepWithinCapacity();
    textChanged();
}

// ---------------------------------------------------------------- wrapping

int StatusBox::wrapWidth() const
{
    return qMax(1, viewport()->width() - 2 * TextLeft);
}

void StatusBox::layOut(QTextLayout& layout, qsizetype line) const
{
    const QString& t = m_store.lineText(line);
    layout.setText(t.size() > MaxDrawnChars ? t.left(MaxDrawnChars) + kEllipsis : t);
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    const int lh = fontMetrics().lineSpacing();
    layout.beginLayout();
    for (int row = 0;; ++row) {
        QTextLine tl = layout.createLine();
        if (!tl.isValid())
            break;
        tl.setLineWidth(wrapWidth());
        tl.setPosition(QPointF(0, row * lh));
    }
    layout.endLayout();
}

int StatusBox::rowsOf(qsizetype line) const
{
    const QString& t = m_store.lineText(line);
    // Most lines fit; measuring them is cheaper than laying them out.
    if (t.size() <= MaxDrawnChars && fontMetrics().horizontalAdvance(t) <= wrapWidth())
        return 1;
    QTextLayout layout;
    layOut(layout, line);
    return qMax(1, layout.lineCount());
}

void StatusBox::rewrapAll()
{
    m_wrappedAt = wrapWidth();
    m_rows.clear();
    m_totalRows = 0;
    for (qsizetype i = 0; i < m_store.lineCount(); ++i) {
        m_rows.push_back(rowsOf(i));
        m_totalRows += m_rows.back();
    }
}

void StatusBox::rowsPrepended(qsizetype lines)
{
    for (qsizetype i = lines - 1; i >= 0; --i) {
        m_rows.push_front(rowsOf(i));
        m_totalRows += m_rows.front();
    }
}

void StatusBox::rowsTrimmed()
{
    while (qsizetype(m_rows.size()) > m_store.lineCount()) {
        m_totalRows -= m_rows.back();
        m_rows.pop_back();
    }
    // The newest line alone may have been cut to fit.
    m_totalRows -= m_rows.front();
    m_rows.front() = rowsOf(0);
    m_totalRows += m_rows.front();
}

StatusBox::Row StatusBox::rowAt(qsizetype row) const
{
    qsizetype line = 0;
    for (const int n : m_rows) {
        if (row < n)
            return {line, int(row)};
        row -= n;
        ++line;
    }
    return {m_store.lineCount() - 1, m_rows.back() - 1};
}

qsizetype StatusBox::firstRowOf(qsizetype line) const
{
    qsizetype row = 0;
    for (qsizetype i = 0; i < line && i < qsizetype(m_rows.size()); ++i)
        row += m_rows[size_t(i)];
    return row;
}

int StatusBox::subRowOf(Pos pos) const
{
    if (m_rows[size_t(pos.line)] == 1)
        return 0;
    QTextLayout layout;
    layOut(layout, pos.line);
    const QTextLine tl = layout.lineForTextPosition(int(qMin<qsizetype>(pos.col, MaxDrawnChars)));
    return tl.isValid() ? tl.lineNumber() : layout.lineCount() - 1;
}

// ---------------------------------------------------------------- positions

StatusBox::Pos StatusBox::posAt(const QPoint& point) const
{
    const int lh = qMax(1, fontMetrics().lineSpacing());
    const qsizetype wanted = verticalScrollBar()->value() + (point.y() - TextTop) / lh;
    const Row r = rowAt(qBound<qsizetype>(0, wanted, m_totalRows - 1));
    const QString& t = m_store.lineText(r.line);
    QTextLayout layout;
    layOut(layout, r.line);
    const QTextLine tl = layout.lineAt(r.sub);
    const int x = point.x() - TextLeft;
    if (r.sub == layout.lineCount() - 1 && x >= tl.naturalTextWidth())
        return {r.line, t.size()};
    const qsizetype col = tl.xToCursor(x, QTextLine::CursorBetweenCharacters);
    return {r.line, col > MaxDrawnChars ? t.size() : col};
}

qsizetype StatusBox::offsetAt(const QPoint& viewportPoint) const
{
    return m_store.offsetOf(posAt(viewportPoint));
}

QRect StatusBox::characterRect(qsizetype offset) const
{
    const Pos p = m_store.posOf(offset);
    if (p.col > MaxDrawnChars)
        return {};
    QTextLayout layout;
    layOut(layout, p.line);
    const QTextLine tl = layout.lineForTextPosition(int(p.col));
    const int sub = tl.isValid() ? tl.lineNumber() : 0;
    const qsizetype row = firstRowOf(p.line) + sub - verticalScrollBar()->value();
    if (row < 0 || row > visibleLines())
        return {};
    const QFontMetrics fm = fontMetrics();
    const QTextLine at = layout.lineAt(sub);
    const int x = TextLeft + int(at.cursorToX(int(p.col)));
    const QString& t = m_store.lineText(p.line);
    const int w = p.col < t.size() ? int(at.cursorToX(int(p.col) + 1)) + TextLeft - x : fm.averageCharWidth();
    return QRect(x, TextTop + int(row) * fm.lineSpacing(), qMax(1, w), fm.lineSpacing());
}

void StatusBox::ensureVisible(qsizetype offset)
{
    QScrollBar* bar = verticalScrollBar();
    const Pos p = m_store.posOf(offset);
    const qsizetype row = firstRowOf(p.line) + subRowOf(p);
    if (row < bar->value())
        bar->setValue(int(row));
    else if (row >= bar->value() + visibleLines())
        bar->setValue(int(row) - visibleLines() + 1);
}

// ---------------------------------------------------------------- selection

std::pair<qsizetype, qsizetype> StatusBox::selection() const
{
    const qsizetype a = m_store.offsetOf(m_anchor), c = m_store.offsetOf(m_caret);
    return {qMin(a, c), qMax(a, c)};
}

qsizetype StatusBox::caretOffset() const
{
    return m_store.offsetOf(m_caret);
}

void StatusBox::setSelection(qsizetype start, qsizetype end)
{
    m_anchor = m_store.posOf(start);
    m_caret = m_store.posOf(end);
    selectionChanged();
}

QString StatusBox::selectedText() const
{
    return m_store.between(qMin(m_anchor, m_caret), qMax(m_anchor, m_caret));
}

void StatusBox::moveCaret(Pos caret, bool extend)
{
    m_caret = caret;
    if (!extend)
        m_anchor = caret;
    ensureVisible(m_store.offsetOf(m_caret));
    selectionChanged();
}

void StatusBox::selectionChanged()
{
    viewport()->update();
    if (QAccessible::isActive()) {
        const auto [s, e] = selection();
        QAccessibleTextSelectionEvent selected(this, int(s), int(e));
        selected.setCursorPosition(int(caretOffset()));
        QAccessible::updateAccessibility(&selected);
    }
}

void StatusBox::copySelectionOrAll() const
{
    QApplication::clipboard()->setText(m_anchor != m_caret ? selectedText() : text());
}

// ---------------------------------------------------------------- view

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
    bar->setRange(0, qMax(0, int(m_totalRows) - page));
}

void StatusBox::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (wrapWidth() != m_wrappedAt)
        rewrapAll();
    updateScrollBar();
}

void StatusBox::changeEvent(QEvent* event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        rewrapAll();
        updateScrollBar();
    }
}

void StatusBox::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    const QPalette& pal = palette();
    p.setPen(pal.color(QPalette::Text));
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.lineSpacing();
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    const Pos from = qMin(m_anchor, m_caret), to = qMax(m_anchor, m_caret);
    const Row top = rowAt(verticalScrollBar()->value());
    int y = TextTop - top.sub * lh; // where the first drawn line's first row goes
    for (qsizetype i = top.line; i < m_store.lineCount() && y < viewport()->height(); ++i) {
        QTextLayout layout;
        layOut(layout, i);
        QList<QTextLayout::FormatRange> selected;
        const bool inSelection = from != to && i >= from.line && i <= to.line;
        if (inSelection) {
            const qsizetype end = layout.text().size();
            const qsizetype a = qMin<qsizetype>(i == from.line ? from.col : 0, end);
            const qsizetype b = qMin<qsizetype>(i == to.line ? to.col : end, end);
            QTextLayout::FormatRange range;
            range.start = int(a);
            range.length = int(b - a);
            range.format.setBackground(pal.brush(group, QPalette::Highlight));
            range.format.setForeground(pal.brush(group, QPalette::HighlightedText));
            if (range.length > 0)
                selected << range;
        }
        layout.draw(&p, QPointF(TextLeft, y), selected);
        const int rows = layout.lineCount();
        if (inSelection && i < to.line) { // the line break is selected too
            const QTextLine last = layout.lineAt(rows - 1);
            const QRect band(TextLeft + int(last.naturalTextWidth()), y + (rows - 1) * lh,
                             fm.averageCharWidth(), lh);
            p.fillRect(band, pal.brush(group, QPalette::Highlight));
        }
        y += rows * lh;
    }
}

void StatusBox::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    moveCaret(posAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void StatusBox::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint at = event->position().toPoint();
    QScrollBar* bar = verticalScrollBar();
    if (at.y() < 0)
        bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (at.y() > viewport()->height())
        bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    m_caret = posAt(at);
    selectionChanged();
}

void StatusBox::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const Pos at = posAt(event->position().toPoint());
    m_anchor = {at.line, 0};
    m_caret = {at.line, m_store.lineText(at.line).size()};
    selectionChanged();
}

void StatusBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelectionOrAll();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        m_anchor = {};
        m_caret = m_store.end();
        selectionChanged();
        return;
    }
    QScrollBar* bar = verticalScrollBar();
    if (event->modifiers() & Qt::ShiftModifier) {
        // Shift and a movement key select from where the caret stands; with
        // nothing selected and the caret out of view, from the top line in view.
        Pos c = m_caret;
        const qsizetype caretRow = firstRowOf(c.line) + subRowOf(c);
        if (m_anchor == m_caret && (caretRow < bar->value() || caretRow >= bar->value() + visibleLines()))
            m_anchor = c = {rowAt(bar->value()).line, 0};
        const qsizetype lastLine = m_store.lineCount() - 1;
        auto lengthOf = [this](qsizetype line) { return m_store.lineText(line).size(); };
        const bool ctrl = event->modifiers() & Qt::ControlModifier;
        switch (event->key()) {
        case Qt::Key_Left:
            c = c.col > 0 ? Pos{c.line, c.col - 1} : c.line > 0 ? Pos{c.line - 1, lengthOf(c.line - 1)} : c;
            break;
        case Qt::Key_Right:
            c = c.col < lengthOf(c.line) ? Pos{c.line, c.col + 1}
                : c.line < lastLine      ? Pos{c.line + 1, 0}
                                         : c;
            break;
        case Qt::Key_Up:
            c.line = qMax<qsizetype>(0, c.line - 1);
            break;
        case Qt::Key_Down:
            c.line = qMin(lastLine, c.line + 1);
            break;
        case Qt::Key_PageUp:
            c.line = qMax<qsizetype>(0, c.line - visibleLines());
            break;
        case Qt::Key_PageDown:
            c.line = qMin(lastLine, c.line + visibleLines());
            break;
        case Qt::Key_Home:
            c = ctrl ? Pos{} : Pos{c.line, 0};
            break;
        case Qt::Key_End:
            c = ctrl ? Pos{lastLine, lengthOf(lastLine)} : Pos{c.line, lengthOf(c.line)};
            break;
        default:
            QAbstractScrollArea::keyPressEvent(event);
            return;
        }
        c.col = qMin(c.col, lengthOf(c.line));
        moveCaret(c, true);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        if (m_anchor != m_caret) {
            m_anchor = m_caret;
            selectionChanged();
            return;
        }
        break;
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
        break;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void StatusBox::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* copy =
        menu.addAction(tr("Copy"), this, [this] { QApplication::clipboard()->setText(selectedText()); });
    copy->setEnabled(m_anchor != m_caret);
    menu.addAction(tr("Copy all"), this, [this] { QApplication::clipboard()->setText(text()); });
    menu.exec(event->globalPos());
}
