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

namespace {
// Drawing a very long line (a server's error page without line breaks) would
// shape all of it on every repaint; nobody reads past this.
constexpr int MaxDrawnChars = 512;
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
    const QString removed = m_store.trim(m_capacity, told);
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
    const qsizetype count = m_store.prepend(message);
    m_anchor.line += count;
    m_caret.line += count;
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent event(this, 0, message + kCrLf);
        QAccessible::updateAccessibility(&event);
    }
    keepWithinCapacity();
    textChanged();
    if (!atTop)
        bar->setValue(bar->value() + int(count));
}

void StatusBox::appendLineBreak()
{
    const qsizetype at = m_store.appendLineBreak();
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent event(this, int(at), kCrLf);
        QAccessible::updateAccessibility(&event);
    }
    keepWithinCapacity();
    textChanged();
}

// ---------------------------------------------------------------- positions

StatusBox::Pos StatusBox::posAt(const QPoint& point) const
{
    const QFontMetrics fm = fontMetrics();
    const qsizetype row = verticalScrollBar()->value() + (point.y() - TextTop) / qMax(1, fm.lineSpacing());
    const qsizetype line = qBound<qsizetype>(0, row, m_store.lineCount() - 1);
    const QString& t = m_store.lineText(line);
    const qsizetype drawn = qMin<qsizetype>(t.size(), MaxDrawnChars);
    const int x = point.x() - TextLeft;
    if (x >= fm.horizontalAdvance(t.left(drawn)))
        return {line, t.size()};
    // The character boundary nearest to x.
    qsizetype lo = 0, hi = drawn;
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        const int left = fm.horizontalAdvance(t.left(mid - 1));
        const int right = fm.horizontalAdvance(t.left(mid));
        if ((left + right) / 2 <= x)
            lo = mid;
        else
            hi = mid - 1;
    }
    return {line, lo};
}

qsizetype StatusBox::offsetAt(const QPoint& viewportPoint) const
{
    return m_store.offsetOf(posAt(viewportPoint));
}

QRect StatusBox::characterRect(qsizetype offset) const
{
    const Pos p = m_store.posOf(offset);
    const int row = int(p.line) - verticalScrollBar()->value();
    if (row < 0 || row > visibleLines())
        return {};
    const QFontMetrics fm = fontMetrics();
    const QString& t = m_store.lineText(p.line);
    if (p.col > MaxDrawnChars)
        return {};
    const int x = TextLeft + fm.horizontalAdvance(t.left(p.col));
    const int w = p.col < t.size() ? fm.horizontalAdvance(t.at(p.col)) : fm.averageCharWidth();
    return QRect(x, TextTop + row * fm.lineSpacing(), qMax(1, w), fm.lineSpacing());
}

void StatusBox::ensureVisible(qsizetype offset)
{
    QScrollBar* bar = verticalScrollBar();
    const int line = int(m_store.posOf(offset).line);
    if (line < bar->value())
        bar->setValue(line);
    else if (line >= bar->value() + visibleLines())
        bar->setValue(line - visibleLines() + 1);
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
    bar->setRange(0, qMax(0, int(m_store.lineCount()) - page));
}

void StatusBox::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void StatusBox::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    const QPalette& pal = palette();
    p.setPen(pal.color(QPalette::Text));
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.lineSpacing();
    const int first = verticalScrollBar()->value();
    const int last = qMin(int(m_store.lineCount()), first + visibleLines() + 1);
    const Pos from = qMin(m_anchor, m_caret), to = qMax(m_anchor, m_caret);
    int y = TextTop + fm.ascent();
    for (int i = first; i < last; ++i, y += lh) {
        const QString& t = m_store.lineText(i);
        const QString shown = t.size() > MaxDrawnChars ? t.left(MaxDrawnChars) : t;
        p.drawText(TextLeft, y, shown);
        if (from == to || i < from.line || i > to.line)
            continue;
        // The selected part: highlighted, its text drawn again in the highlight's colour.
        const qsizetype a = qMin<qsizetype>(i == from.line ? from.col : 0, shown.size());
        const qsizetype b = qMin<qsizetype>(i == to.line ? to.col : shown.size(), shown.size());
        const int x1 = TextLeft + fm.horizontalAdvance(shown.left(a));
        int x2 = TextLeft + fm.horizontalAdvance(shown.left(b));
        if (i < to.line)
            x2 += fm.averageCharWidth(); // the line break is selected too
        if (x2 <= x1)
            continue;
        const QRect band(x1, y - fm.ascent(), x2 - x1, lh);
        p.save();
        p.setClipRect(band);
        p.fillRect(band, pal.brush(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::Highlight));
        p.setPen(pal.color(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText));
        p.drawText(TextLeft, y, shown);
        p.restore();
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
        if (m_anchor == m_caret && (c.line < bar->value() || c.line >= bar->value() + visibleLines()))
            m_anchor = c = {bar->value(), 0};
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
