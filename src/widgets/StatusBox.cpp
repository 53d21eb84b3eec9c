#include "StatusBox.h"

#include <QAccessible>
#include <QAccessibleWidget>
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

// What a screen reader sees: a read-only, multi-line text with the newest
// message first, its selection and caret. Offsets are those of text().
class StatusBoxAccessible final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit StatusBoxAccessible(StatusBox* box) : QAccessibleWidget(box, QAccessible::EditableText) {}
    using QAccessibleWidget::text; // the name and the other texts of the widget, beside text(start, end)

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        s.editable = false;
        return s;
    }

    void selection(int index, int* start, int* end) const override
    {
        const auto [s, e] = box()->selection();
        *start = *end = 0;
        if (index == 0 && s != e) {
            *start = int(s);
            *end = int(e);
        }
    }
    int selectionCount() const override
    {
        const auto [s, e] = box()->selection();
        return s != e ? 1 : 0;
    }
    void addSelection(int start, int end) override { box()->setSelection(start, end); }
    void removeSelection(int index) override
    {
        if (index == 0)
            box()->setSelection(box()->caretOffset(), box()->caretOffset());
    }
    void setSelection(int index, int start, int end) override
    {
        if (index == 0)
            box()->setSelection(start, end);
    }
    int cursorPosition() const override { return int(box()->caretOffset()); }
    void setCursorPosition(int position) override { box()->setSelection(position, position); }
    QString text(int start, int end) const override
    {
        const QString all = box()->text();
        start = qBound(0, start, int(all.size()));
        end = end < 0 ? int(all.size()) : qBound(start, end, int(all.size()));
        return all.mid(start, end - start);
    }
    int characterCount() const override { return int(box()->text().size()); }
    QRect characterRect(int offset) const override
    {
        const QRect r = box()->characterRect(offset);
        if (r.isEmpty())
            return {};
        return QRect(box()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        const QPoint local = box()->viewport()->mapFromGlobal(point);
        if (!box()->viewport()->rect().contains(local))
            return -1;
        return int(box()->offsetAt(local));
    }
    void scrollToSubstring(int start, int) override { box()->ensureVisible(start); }
    QString attributes(int offset, int* start, int* end) const override
    {
        *start = 0;
        *end = characterCount();
        Q_UNUSED(offset)
        return {};
    }

private:
    StatusBox* box() const { return static_cast<StatusBox*>(widget()); }
};

QAccessibleInterface* statusBoxAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("StatusBox") && object && object->isWidgetType())
        return new StatusBoxAccessible(static_cast<StatusBox*>(object));
    return nullptr;
}
} // namespace

StatusBox::StatusBox(QWidget* parent) : QAbstractScrollArea(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(statusBoxAccessible);
        return true;
    }();
    Q_UNUSED(installed)
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
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

void StatusBox::textChanged()
{
    m_textCache.clear();
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
    if (m_chars <= m_capacity)
        return;
    // A quarter at a time, so that the cost of trimming is spread over the messages.
    const qsizetype target = m_capacity - m_capacity / 4;
    QString removed; // for assistive technology only, which is told what went
    const bool told = QAccessible::isActive();
    while (m_lines.size() > 1 && m_chars > target) {
        if (told) {
            QString piece;
            appendLine(piece, m_lines.back());
            removed.prepend(piece);
        }
        m_chars -= charsOf(m_lines.back());
        m_lines.pop_back();
    }
    if (m_chars > m_capacity) { // the newest line alone is longer than the box
        Line& only = m_lines.front();
        if (told) {
            QString piece;
            appendLine(piece, only);
            removed.prepend(piece.mid(m_capacity - 2));
        }
        only.text.truncate(m_capacity - 2);
        m_chars = charsOf(only);
    }
    const Pos last{qsizetype(m_lines.size()) - 1, m_lines.back().text.size()};
    m_anchor = qMin(m_anchor, last);
    m_caret = qMin(m_caret, last);
    m_anchor.col = qMin(m_anchor.col, m_lines[size_t(m_anchor.line)].text.size());
    m_caret.col = qMin(m_caret.col, m_lines[size_t(m_caret.line)].text.size());
    if (told && !removed.isEmpty()) {
        QAccessibleTextRemoveEvent event(this, int(m_chars), removed);
        QAccessible::updateAccessibility(&event);
    }
}

QString StatusBox::text() const
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

QString StatusBox::head(int n) const
{
    QString out;
    for (auto it = m_lines.cbegin(); it != m_lines.cend() && out.size() < n; ++it)
        appendLine(out, *it);
    return out.left(n);
}

void StatusBox::setText(const QString& text)
{
    const bool told = QAccessible::isActive();
    const QString before = told ? this->text() : QString();
    m_lines = split(text);
    m_chars = text.size();
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
    std::deque<Line> added = split(message);
    added.back().end = Break::CrLf;
    const qsizetype count = qsizetype(added.size());
    // Keep what the operator is looking at, and what they selected, in place.
    QScrollBar* bar = verticalScrollBar();
    const bool atTop = bar->value() == 0;
    for (const Line& l : added)
        m_chars += charsOf(l);
    m_lines.insert(m_lines.begin(), std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
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
    m_chars += 2 - charsOf(m_lines.back()) + m_lines.back().text.size();
    const qsizetype at = m_chars - 2;
    m_lines.back().end = Break::CrLf;
    m_lines.push_back({});
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent event(this, int(at), kCrLf);
        QAccessible::updateAccessibility(&event);
    }
    keepWithinCapacity();
    textChanged();
}

// ---------------------------------------------------------------- positions

qsizetype StatusBox::offsetOf(Pos pos) const
{
    qsizetype offset = 0;
    for (qsizetype i = 0; i < pos.line && i < qsizetype(m_lines.size()); ++i)
        offset += charsOf(m_lines[size_t(i)]);
    return offset + pos.col;
}

StatusBox::Pos StatusBox::posOf(qsizetype offset) const
{
    offset = qMax<qsizetype>(0, offset);
    for (qsizetype i = 0; i < qsizetype(m_lines.size()); ++i) {
        const Line& l = m_lines[size_t(i)];
        if (offset <= l.text.size())
            return {i, offset};
        offset -= charsOf(l);
        if (offset < 0) // inside the line break
            return {i, l.text.size()};
    }
    return {qsizetype(m_lines.size()) - 1, m_lines.back().text.size()};
}

StatusBox::Pos StatusBox::posAt(const QPoint& point) const
{
    const QFontMetrics fm = fontMetrics();
    const qsizetype row = verticalScrollBar()->value() + (point.y() - TextTop) / qMax(1, fm.lineSpacing());
    const qsizetype line = qBound<qsizetype>(0, row, qsizetype(m_lines.size()) - 1);
    const QString& t = m_lines[size_t(line)].text;
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
    return offsetOf(posAt(viewportPoint));
}

QRect StatusBox::characterRect(qsizetype offset) const
{
    const Pos p = posOf(offset);
    const int row = int(p.line) - verticalScrollBar()->value();
    if (row < 0 || row > visibleLines())
        return {};
    const QFontMetrics fm = fontMetrics();
    const QString& t = m_lines[size_t(p.line)].text;
    if (p.col > MaxDrawnChars)
        return {};
    const int x = TextLeft + fm.horizontalAdvance(t.left(p.col));
    const int w = p.col < t.size() ? fm.horizontalAdvance(t.at(p.col)) : fm.averageCharWidth();
    return QRect(x, TextTop + row * fm.lineSpacing(), qMax(1, w), fm.lineSpacing());
}

void StatusBox::ensureVisible(qsizetype offset)
{
    QScrollBar* bar = verticalScrollBar();
    const int line = int(posOf(offset).line);
    if (line < bar->value())
        bar->setValue(line);
    else if (line >= bar->value() + visibleLines())
        bar->setValue(line - visibleLines() + 1);
}

// ---------------------------------------------------------------- selection

std::pair<qsizetype, qsizetype> StatusBox::selection() const
{
    const qsizetype a = offsetOf(m_anchor), c = offsetOf(m_caret);
    return {qMin(a, c), qMax(a, c)};
}

qsizetype StatusBox::caretOffset() const
{
    return offsetOf(m_caret);
}

void StatusBox::setSelection(qsizetype start, qsizetype end)
{
    m_anchor = posOf(start);
    m_caret = posOf(end);
    selectionChanged();
}

QString StatusBox::selectedText() const
{
    const Pos from = qMin(m_anchor, m_caret), to = qMax(m_anchor, m_caret);
    QString out;
    for (qsizetype i = from.line; i <= to.line; ++i) {
        const Line& l = m_lines[size_t(i)];
        const qsizetype a = i == from.line ? from.col : 0;
        if (i == to.line) {
            out += l.text.mid(a, to.col - a);
        } else {
            Line piece{l.text.mid(a), l.end};
            appendLine(out, piece);
        }
    }
    return out;
}

void StatusBox::moveCaret(Pos caret, bool extend)
{
    m_caret = caret;
    if (!extend)
        m_anchor = caret;
    ensureVisible(offsetOf(m_caret));
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
    const QPalette& pal = palette();
    p.setPen(pal.color(QPalette::Text));
    const QFontMetrics fm = fontMetrics();
    const int lh = fm.lineSpacing();
    const int first = verticalScrollBar()->value();
    const int last = qMin(int(m_lines.size()), first + visibleLines() + 1);
    const Pos from = qMin(m_anchor, m_caret), to = qMax(m_anchor, m_caret);
    int y = TextTop + fm.ascent();
    for (int i = first; i < last; ++i, y += lh) {
        const QString& t = m_lines[size_t(i)].text;
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
    m_caret = {at.line, m_lines[size_t(at.line)].text.size()};
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
        m_caret = {qsizetype(m_lines.size()) - 1, m_lines.back().text.size()};
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
        const qsizetype lastLine = qsizetype(m_lines.size()) - 1;
        auto lengthOf = [this](qsizetype line) { return m_lines[size_t(line)].text.size(); };
        const bool ctrl = event->modifiers() & Qt::ControlModifier;
        switch (event->key()) {
        case Qt::Key_Left:
            c = c.col > 0 ? Pos{c.line, c.col - 1} : c.line > 0 ? Pos{c.line - 1, lengthOf(c.line - 1)} : c;
            break;
        case Qt::Key_Right:
            c = c.col < lengthOf(c.line) ? Pos{c.line, c.col + 1} : c.line < lastLine ? Pos{c.line + 1, 0} : c;
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
    QAction* copy = menu.addAction(tr("Copy"), this, [this] { QApplication::clipboard()->setText(selectedText()); });
    copy->setEnabled(m_anchor != m_caret);
    menu.addAction(tr("Copy all"), this, [this] { QApplication::clipboard()->setText(text()); });
    menu.exec(event->globalPos());
}
