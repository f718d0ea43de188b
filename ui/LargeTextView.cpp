#include "ui/LargeTextView.h"

#include "ui/ScreenFit.h"
#include "util/BackgroundRelease.h"
#include "util/LineEnds.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QPainter>
#include <QPromise>
#include <QScrollBar>
#include <QTextEdit>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// What a QTextEdit takes in one go within a few milliseconds (a block and a layout per line, a line
// laid out whole): larger texts go to the view.
constexpr qsizetype kBoxMaxChars = 1 << 17;
constexpr qsizetype kBoxMaxLines = 3000;
constexpr qsizetype kBoxMaxLineChars = 1 << 14;
// Texts up to this size are converted and wrapped at once; larger ones on a pool thread, the start of
// the text (this much of it) shown meanwhile.
constexpr qsizetype kWrapHereChars = 1 << 18;
constexpr int kMargin = 4;

bool isLineEnd(char16_t c) {
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

bool isWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf && c != 0x303f) ||
           (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) || (c >= 0xfe30 && c <= 0xfe4f) ||
           (c >= 0xff00 && c <= 0xff60) || (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x1f300 && c <= 0x1f64f) ||
           (c >= 0x1f900 && c <= 0x1f9ff) || (c >= 0x20000 && c <= 0x3fffd);
}

// Cells a character takes (a tab aside): 0, 1 or 2. Looked up for the BMP, where nearly all of a
// text is.
int cellsOf(char32_t c) {
    static const std::vector<quint8> table = [] {
        std::vector<quint8> t(0x10000);
        for (char32_t i = 0; i < 0x10000; ++i) {
            const QChar::Category k = QChar::category(i);
            const bool zero = k == QChar::Mark_NonSpacing || k == QChar::Mark_Enclosing ||
                              k == QChar::Other_Format || QChar::isLowSurrogate(i);
            t[i] = zero ? 0 : isWide(i) ? 2 : 1;
        }
        return t;
    }();
    return c < 0x10000 ? table[c] : isWide(c) ? 2 : 1;
}

// The character at `i` (a surrogate pair as one) and its length in UTF-16 units.
std::pair<char32_t, int> charAt(QStringView text, qsizetype i) {
    const char16_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
        return {QChar::surrogateToUcs4(c, text[i + 1].unicode()), 2};
    return {c, 1};
}

int advance(char32_t c, int cell) {
    return c == u'\t' ? 8 - cell % 8 : cellsOf(c);
}

// The first position of every row of `text` wrapped at `columns` cells.
std::vector<int> wrap(QStringView text, int columns) {
    std::vector<int> rows{0};
    int cell = 0;
    for (qsizetype i = 0; i < text.size();) {
        if (isLineEnd(text[i].unicode())) {
            rows.push_back(int(++i));
            cell = 0;
            continue;
        }
        const auto [c, length] = charAt(text, i);
        int w = advance(c, cell);
        if (cell > 0 && cell + w > columns) {
            rows.push_back(int(i));
            cell = 0;
            w = advance(c, 0);
        }
        cell += w;
        i += length;
    }
    return rows;
}

QString shownText(QStringView stored) {
    return shownLineEnds(stored);
}

} // namespace

struct LargeTextView::Wrapped {
    quint64 generation;
    int columns;
    QString text;
    qsizetype lineEnds;
    std::vector<int> rows;
};

bool LargeTextView::needed(QStringView stored) {
    if (stored.size() > kBoxMaxChars)
        return true;
    qsizetype lines = 0;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < stored.size(); ++i) {
        if (stored[i] != u'\n')
            continue;
        if (++lines > kBoxMaxLines || i - lineStart > kBoxMaxLineChars)
            return true;
        lineStart = i + 1;
    }
    return stored.size() - lineStart > kBoxMaxLineChars;
}

LargeTextView* LargeTextView::shownOver(const QWidget* box) {
    auto* view = box ? box->findChild<LargeTextView*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    return view && view->showing() ? view : nullptr;
}

QColor LargeTextView::markColour() {
    return QColor(0xFF, 0xEC, 0x80); // a soft yellow: black text stays easy to read on it
}

LargeTextView::LargeTextView(QTextEdit* box)
    : QAbstractScrollArea(box), box_(box), watcher_(new QFutureWatcher<Wrapped>(this)) {
    setObjectName(box->objectName() + QStringLiteral("_large"));
    setAccessibleName(QStringLiteral("只读文本"));
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setViewportMargins(frameKeepingMargins(this));
    QFont font = box->font();
    font.setFamilies({QStringLiteral("Noto Sans Mono CJK SC"), QStringLiteral("WenQuanYi Zen Hei Mono"),
                      QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    setFont(font);
    cell_ = std::max<qreal>(1, QFontMetricsF(font).horizontalAdvance(u'0'));
    lineHeight_ = std::max(1, QFontMetrics(font).lineSpacing());
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    setGeometry(box->rect());
    box->installEventFilter(this);
    connect(watcher_, &QFutureWatcher<Wrapped>::finished, this, [this] {
        QFuture<Wrapped> done = watcher_->future();
        if (done.isValid() && done.resultCount() > 0)
            arrived(done.takeResult());
    });
    hide();
}

// A wrap still running goes on without the view; it touches nothing of it, and its result is dropped.
LargeTextView::~LargeTextView() = default;

int LargeTextView::columns() const {
    return std::max(1, int((viewport()->width() - 2 * kMargin) / cell_));
}

int LargeTextView::visibleRows() const {
    return std::max(1, (viewport()->height() - kMargin) / lineHeight_);
}

void LargeTextView::showText(const TextColumn& stored, qsizetype row) {
    ++generation_;
    marks_.clear();
    caret_ = anchor_ = 0;
    wantedCell_ = -1;
    const bool hadFocus = box_->hasFocus();
    box_->clear();
    box_->setFocusProxy(this);
    // Heard as the box it stands for.
    setAccessibleName(box_->accessibleName() + QStringLiteral("（只读）"));
    setGeometry(box_->rect());
    show();
    raise();
    if (hadFocus)
        setFocus();
    release(std::exchange(text_, QString()));
    const QStringView text = stored.view(row);
    complete_ = text.size() <= kWrapHereChars;
    if (complete_) {
        text_ = shownText(text);
        lineEnds_ = text_.count(u'\n');
    } else {
        // The start, cut between a CR and its LF no more than anywhere else; the whole text is
        // converted, counted and wrapped on a pool thread.
        qsizetype cut = kWrapHereChars;
        if (text.at(cut - 1) == u'\r' && text.at(cut) == u'\n')
            --cut;
        text_ = shownText(text.left(cut));
        startWrap([stored, row] { return shownText(stored.view(row)); });
    }
    rows_ = wrap(text_, columns());
    wrappedFor_ = columns();
    verticalScrollBar()->setValue(0);
    updateScrollRange();
    viewport()->update();
    if (complete_)
        Q_EMIT wholeText();
}

void LargeTextView::hideText() {
    ++generation_;
    const bool hadFocus = hasFocus();
    hide();
    box_->setFocusProxy(nullptr);
    if (hadFocus)
        box_->setFocus();
    release(std::exchange(text_, QString()));
    rows_ = {0};
    marks_.clear();
    caret_ = anchor_ = 0;
    complete_ = true;
}

void LargeTextView::release(QString text) {
    if (text.size() > kWrapHereChars)
        background::releaseLater(std::move(text));
}

void LargeTextView::startWrap(std::function<QString()> text) {
    auto promise = std::make_shared<QPromise<Wrapped>>();
    watcher_->setFuture(promise->future());
    promise->start();
    background::run([promise, text = std::move(text), columns = columns(), generation = generation_] {
        QString shown = text();
        const qsizetype lineEnds = shown.count(u'\n');
        std::vector<int> rows = wrap(shown, columns);
        promise->addResult(Wrapped{generation, columns, std::move(shown), lineEnds, std::move(rows)});
        promise->finish();
    });
}

void LargeTextView::arrived(Wrapped wrapped) {
    if (wrapped.generation != generation_)
        return; // another text by now
    // The row in view at the top stays in view.
    const int top = rows_.at(std::min<size_t>(size_t(verticalScrollBar()->value()), rows_.size() - 1));
    release(std::exchange(text_, std::move(wrapped.text)));
    const bool arrivedNow = !complete_;
    complete_ = true;
    lineEnds_ = wrapped.lineEnds;
    rows_ = std::move(wrapped.rows);
    wrappedFor_ = wrapped.columns;
    updateScrollRange();
    verticalScrollBar()->setValue(rowOf(top).first);
    viewport()->update();
    if (wrappedFor_ != columns())
        rewrap();
    if (arrivedNow)
        Q_EMIT wholeText();
}

void LargeTextView::rewrap() {
    if (isHidden() || wrappedFor_ == columns())
        return;
    if (!complete_ || watcher_->isRunning())
        return; // the rows on their way are wrapped again when they arrive
    const int top = rows_.at(std::min<size_t>(size_t(verticalScrollBar()->value()), rows_.size() - 1));
    if (text_.size() > kWrapHereChars)
        return startWrap([shown = text_] { return shown; }); // the old rows are shown until the new ones come
    rows_ = wrap(text_, columns());
    wrappedFor_ = columns();
    updateScrollRange();
    verticalScrollBar()->setValue(rowOf(top).first);
}

void LargeTextView::updateScrollRange() {
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, std::max(0, rowCount() - visibleRows()));
    bar->setPageStep(visibleRows());
    bar->setSingleStep(1);
}

LargeTextView::Row LargeTextView::row(int r) const {
    const int start = rows_[size_t(r)];
    int end = r + 1 < rowCount() ? rows_[size_t(r) + 1] : int(text_.size());
    if (end > start && isLineEnd(text_[end - 1].unicode()) && r + 1 < rowCount())
        --end;
    return {start, end};
}

std::pair<int, int> LargeTextView::rowOf(int position) const {
    const auto next = std::upper_bound(rows_.begin(), rows_.end(), position);
    const int r = std::max(0, int(next - rows_.begin()) - 1);
    return {r, rows_[size_t(r)]};
}

std::vector<int> LargeTextView::cells(const Row& row) const {
    std::vector<int> out;
    out.reserve(size_t(row.end - row.start) + 1);
    int cell = 0;
    for (int i = row.start; i < row.end;) {
        const auto [c, length] = charAt(text_, i);
        for (int k = 0; k < length; ++k)
            out.push_back(cell);
        cell += advance(c, cell);
        i += length;
    }
    out.push_back(cell);
    return out;
}

int LargeTextView::positionAt(int r, int cell) const {
    const Row rw = row(std::clamp(r, 0, rowCount() - 1));
    const std::vector<int> at = cells(rw);
    for (int i = rw.start; i < rw.end; ++i) {
        const int before = at[size_t(i - rw.start)];
        const int after = at[size_t(i - rw.start) + 1];
        if (after == before)
            continue; // within a character
        if (cell * 2 < before + after)
            return i;
    }
    return rw.end;
}

int LargeTextView::positionAt(const QPoint& point) const {
    const int r = verticalScrollBar()->value() + std::max(0, point.y() - kMargin) / lineHeight_;
    return positionAt(r, int((point.x() - kMargin) / cell_ + 0.5));
}

void LargeTextView::setMarks(std::vector<int> bounds) {
    marks_ = std::move(bounds);
    viewport()->update();
}

void LargeTextView::select(int start, int end) {
    anchor_ = std::clamp(start, 0, int(text_.size()));
    caret_ = std::clamp(end, 0, int(text_.size()));
    ensureVisible(anchor_);
    ensureVisible(caret_);
    viewport()->update();
}

bool LargeTextView::inView(int position) const {
    const int r = rowOf(position).first;
    const int top = verticalScrollBar()->value();
    return r >= top && r < top + visibleRows();
}

void LargeTextView::scrollTo(int position) {
    if (!inView(position))
        verticalScrollBar()->setValue(rowOf(position).first - visibleRows() / 3);
}

void LargeTextView::ensureVisible(int position) {
    const int r = rowOf(position).first;
    QScrollBar* bar = verticalScrollBar();
    if (r < bar->value())
        bar->setValue(r);
    else if (r >= bar->value() + visibleRows())
        bar->setValue(r - visibleRows() + 1);
}

void LargeTextView::moveCaret(int position, bool keepAnchor) {
    caret_ = std::clamp(position, 0, int(text_.size()));
    if (!keepAnchor)
        anchor_ = caret_;
    ensureVisible(caret_);
    viewport()->update();
}

void LargeTextView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.setFont(font());
    const int first = verticalScrollBar()->value();
    const int height = viewport()->height();
    for (int r = first, y = kMargin; r < rowCount() && y < height; ++r, y += lineHeight_)
        paintRow(painter, r, y);
}

void LargeTextView::paintRow(QPainter& painter, int r, int y) const {
    const Row rw = row(r);
    const std::vector<int> at = cells(rw);
    const auto x = [&](int position) {
        return kMargin + at[size_t(std::clamp(position, rw.start, rw.end) - rw.start)] * cell_;
    };
    const auto fill = [&](int from, int to, const QColor& colour) {
        if (from < to)
            painter.fillRect(QRectF(x(from), y, x(to) - x(from), lineHeight_), colour);
    };
    // The marks crossing this row (the first ending after its start), then the selection, under the text.
    auto mark = std::upper_bound(marks_.begin(), marks_.end(), rw.start);
    if ((mark - marks_.begin()) % 2 != 0)
        --mark; // inside a mark: from its start
    for (; mark + 1 < marks_.end() && *mark < rw.end; mark += 2)
        fill(std::max(*mark, rw.start), std::min(*(mark + 1), rw.end), markColour());
    const bool selected = selectionStart() < rw.end && selectionEnd() > rw.start;
    if (selected)
        fill(std::max(selectionStart(), rw.start), std::min(selectionEnd(), rw.end),
             palette().color(QPalette::Highlight));

    // The text in runs of characters of one width, each drawn at its own cell.
    const qreal baseline = y + QFontMetricsF(font()).ascent();
    const auto draw = [&](int from, int to) {
        if (from >= to)
            return;
        const bool inSelection = from >= selectionStart() && to <= selectionEnd() && selected;
        painter.setPen(palette().color(inSelection ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(QPointF(x(from), baseline), text_.mid(from, to - from));
    };
    int runStart = rw.start;
    int runWidth = -1;
    for (int i = rw.start; i < rw.end;) {
        const auto [c, length] = charAt(text_, i);
        const int w = cellsOf(c);
        const bool skipped = c == u'\t' || isControl(c);
        const bool selectionEdge = i == selectionStart() || i == selectionEnd();
        if (skipped || (w != 0 && w != runWidth) || selectionEdge) {
            draw(runStart, i);
            runStart = skipped ? i + length : i;
            runWidth = skipped ? -1 : w;
        }
        i += length;
    }
    draw(runStart, rw.end);
    if (hasFocus() && rowOf(caret_).first == r) {
        painter.setPen(palette().color(QPalette::Text));
        painter.drawLine(QPointF(x(caret_), y), QPointF(x(caret_), y + lineHeight_ - 1));
    }
}

void LargeTextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
    rewrap();
}

void LargeTextView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        if (selectionEnd() > selectionStart())
            QGuiApplication::clipboard()->setText(
                text_.mid(selectionStart(), selectionEnd() - selectionStart()));
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        select(0, int(text_.size()));
        return;
    }
    const bool keep = event->modifiers() & Qt::ShiftModifier;
    const bool control = event->modifiers() & Qt::ControlModifier;
    const auto [r, rowStart] = rowOf(caret_);
    const auto toRow = [&](int target) {
        if (wantedCell_ < 0)
            wantedCell_ = cells(row(r))[size_t(caret_ - rowStart)];
        const int cell = wantedCell_;
        moveCaret(positionAt(std::clamp(target, 0, rowCount() - 1), cell), keep);
        wantedCell_ = cell;
    };
    switch (event->key()) {
    case Qt::Key_Left:
        wantedCell_ = -1;
        return moveCaret(caret_ - (caret_ >= 2 && text_[caret_ - 1].isLowSurrogate() ? 2 : 1), keep);
    case Qt::Key_Right:
        wantedCell_ = -1;
        return moveCaret(caret_ + (caret_ < text_.size() ? charAt(text_, caret_).second : 0), keep);
    case Qt::Key_Up:
        return toRow(r - 1);
    case Qt::Key_Down:
        return toRow(r + 1);
    case Qt::Key_PageUp:
        verticalScrollBar()->setValue(verticalScrollBar()->value() - visibleRows());
        return toRow(r - visibleRows());
    case Qt::Key_PageDown:
        verticalScrollBar()->setValue(verticalScrollBar()->value() + visibleRows());
        return toRow(r + visibleRows());
    case Qt::Key_Home:
        wantedCell_ = -1;
        return moveCaret(control ? 0 : rowStart, keep);
    case Qt::Key_End:
        wantedCell_ = -1;
        return moveCaret(control ? int(text_.size()) : row(r).end, keep);
    default:
        event->ignore();
    }
}

void LargeTextView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    wantedCell_ = -1;
    moveCaret(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void LargeTextView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton)
        moveCaret(positionAt(event->position().toPoint()), true);
}

void LargeTextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void LargeTextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

bool LargeTextView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == box_ && event->type() == QEvent::Resize)
        setGeometry(box_->rect());
    return QAbstractScrollArea::eventFilter(watched, event);
}
