#include "control/Highlighter.h"

#include "control/StatusLine.h"
#include "forms/FormSupport.h"
#include "ui/LargeTextView.h"
#include "util/BackgroundRelease.h"

#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPromise>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>

#include <algorithm>
#include <memory>
#include <ranges>

namespace highlight {

namespace {

// The collation's table dates from Unicode 3.0: later letters, and later upper cases of older ones
// (ƀ's Ƀ came in 5.0), are unknown to it and weigh themselves.
constexpr QChar::UnicodeVersion kCollationUnicode = QChar::Unicode_3_0;

bool latinGreekCyrillic(char16_t c) {
    return c < 0x0250 || (c >= 0x0370 && c < 0x0500) || (c >= 0x1E00 && c < 0x2000);
}

// A letter without its accents: the first character of its canonical decomposition, repeated. A
// decomposition into one character (Greek oxia into tonos) is a different letter to the collation.
char16_t baseLetter(char16_t c) {
    QChar ch(c);
    while (ch.isLetter() && ch.decompositionTag() == QChar::Canonical) {
        const QString parts = ch.decomposition();
        if (parts.size() < 2 || parts.at(0).isSurrogate())
            break;
        ch = parts.at(0);
    }
    return ch.unicode();
}

char16_t collationWeight(char16_t c) {
    switch (c) {
    case 0x00DF: // ß
        return u'S';
    case 0x03F2: // ϲ, the lunate sigma
        return 0x03A3;
    case 0x0419: // Й and й keep their breve
    case 0x0439:
        return 0x0419;
    default:
        break;
    }
    if (QChar::isSurrogate(c) || QChar::unicodeVersion(c) > kCollationUnicode)
        return c;
    const char16_t base = latinGreekCyrillic(c) ? baseLetter(c) : c;
    const char16_t upper = QChar::toUpper(base);
    return QChar::unicodeVersion(upper) > kCollationUnicode ? base : upper;
}

constexpr int kAny = -1; // "_"
using Piece = std::vector<int>;

std::vector<Piece> parse(const QString& value) {
    std::vector<Piece> pieces(1);
    for (const char32_t c : QStringView(value).toUcs4()) {
        if (c == U'%')
            pieces.emplace_back();
        else
            pieces.back().push_back(c == U'_' ? kAny : weight(c));
    }
    std::erase_if(pieces, [](const Piece& p) { return p.empty(); });
    return pieces;
}

// The first place at or after `from` where `piece` matches `text`, or npos.
size_t findPiece(const std::vector<char16_t>& text, const Piece& piece, size_t from) {
    const size_t m = piece.size();
    for (size_t k = from; k + m <= text.size(); ++k) {
        if (piece[0] != kAny) {
            const auto hit = std::find(text.begin() + qsizetype(k), text.end() - qsizetype(m - 1), piece[0]);
            k = size_t(hit - text.begin());
            if (k + m > text.size())
                break;
        }
        size_t j = 1;
        while (j < m && (piece[j] == kAny || piece[j] == text[k + j]))
            ++j;
        if (j == m)
            return k;
    }
    return std::string::npos;
}

// Moves sorted positions in `text` to where they fall once each CR LF of it is one character: as
// QTextDocument takes a CR LF, and as the viewer shows a stored one.
void joinCrLf(const QString& text, std::vector<int>& positions) {
    qsizetype pair = text.indexOf(u"\r\n");
    int joined = 0;
    for (int& p : positions) {
        while (pair >= 0 && pair + 1 < p) {
            ++joined;
            pair = text.indexOf(u"\r\n", pair + 2);
        }
        p -= joined;
    }
}

} // namespace

char16_t weight(char32_t c) {
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> t(0x10000);
        for (char32_t i = 0; i < 0x10000; ++i)
            t[i] = collationWeight(char16_t(i));
        return t;
    }();
    return c < 0x10000 ? table[c] : char16_t(0xFFFD);
}

Occurrences find(const QString& stored, const QString& value) {
    Occurrences out;
    const std::vector<Piece> pieces = parse(value);
    if (pieces.empty())
        return out;

    // One weight per character, and where each character starts in the UTF-16 text.
    std::vector<char16_t> text;
    std::vector<int> at;
    text.reserve(size_t(stored.size()));
    at.reserve(size_t(stored.size()) + 1);
    for (qsizetype i = 0; i < stored.size();) {
        at.push_back(int(i));
        char32_t c = stored.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < stored.size() && stored.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(char16_t(c), stored.at(i + 1).unicode());
            ++i;
        }
        ++i;
        text.push_back(weight(c));
    }
    at.push_back(int(stored.size()));

    // Each occurrence from the end of the one before; one that cannot be completed ends the search,
    // since none later could be.
    std::vector<int> bounds;
    std::vector<int> one;
    for (size_t from = 0;;) {
        one.clear();
        for (const Piece& piece : pieces) {
            const size_t k = findPiece(text, piece, from);
            if (k == std::string::npos)
                break;
            from = k + piece.size();
            one.push_back(at[k]);
            one.push_back(at[from]);
        }
        if (one.size() < 2 * pieces.size())
            break;
        bounds.insert(bounds.end(), one.begin(), one.end());
    }

    joinCrLf(stored, bounds);
    // A stored "\r\r\n" is shown as "\r\n", which the document takes as one line end again.
    if (const QString shown = forms::toShownText(stored); shown.contains(u"\r\n"))
        joinCrLf(shown, bounds);

    // A piece that matched only the LF of a CR LF has nothing left to mark.
    const size_t perOccurrence = 2 * pieces.size();
    for (size_t o = 0; o < bounds.size(); o += perOccurrence) {
        const size_t before = out.bounds.size();
        for (size_t p = o; p < o + perOccurrence; p += 2) {
            if (bounds[p] < bounds[p + 1]) {
                out.bounds.push_back(bounds[p]);
                out.bounds.push_back(bounds[p + 1]);
            }
        }
        if (out.bounds.size() > before)
            out.firstPiece.push_back(int(out.bounds.size() / 2));
    }
    return out;
}

} // namespace highlight

namespace {

// Records up to this size are searched at once, before the box first paints them: about a
// millisecond (a few for "_", which matches every character).
constexpr qsizetype kInlineChars = 1 << 16;
// How often a wait for the lazy layout looks again, and how many times before it gives up (the box
// is hidden, or never laid out).
constexpr int kLayoutWaitMs = 15;
constexpr int kLayoutWaitTries = 2000;

QColor markColour() {
    return LargeTextView::markColour();
}

} // namespace

Highlighter::Highlighter(QTextEdit* box, LargeTextView* large, QWidget* list, StatusLine& status)
    : QObject(box), box_(box), large_(large), status_(status) {
    box_->installEventFilter(this);
    box_->viewport()->installEventFilter(this);
    large_->installEventFilter(this);
    list->installEventFilter(this);
    connect(box_, &QTextEdit::textChanged, this, &Highlighter::forget);
    layoutWait_.setInterval(kLayoutWaitMs);
    connect(&layoutWait_, &QTimer::timeout, this, &Highlighter::retry);
    connect(&search_, &QFutureWatcher<Found>::finished, this, [this] {
        QFuture<Found> done = search_.future();
        if (done.isValid() && done.resultCount() > 0)
            arrived(done.takeResult());
    });
}

void Highlighter::forget() {
    ++generation_;
    value_.clear();
    pending_ = -1;
    layoutWait_.stop();
    if (found_.size() > 0) {
        found_ = {};
        box_->viewport()->update();
        large_->setMarks({});
    }
}

LargeTextView* Highlighter::large() const {
    return large_->showing() ? large_ : nullptr;
}

void Highlighter::show(const TextColumn& stored, qsizetype row, const QString& value) {
    forget();
    if (value.isEmpty())
        return;
    value_ = value;
    if (stored.view(row).size() <= kInlineChars)
        return arrived({generation_, highlight::find(stored.at(row), value)});
    auto promise = std::make_shared<QPromise<Found>>();
    search_.setFuture(promise->future());
    promise->start();
    // The column is shared, not copied: the text is read there.
    background::run([promise, stored, row, value, generation = generation_] {
        promise->addResult(Found{generation, highlight::find(stored.at(row), value)});
        promise->finish();
    });
}

void Highlighter::arrived(Found found) {
    if (found.generation != generation_)
        return; // the box shows another text by now
    found_ = std::move(found.occurrences);
    if (found_.size() == 0)
        return;
    if (large())
        large_->setMarks(found_.bounds);
    box_->viewport()->update();
    goTo(0, false);
}

void Highlighter::step(bool forward) {
    const qsizetype n = found_.size();
    if (n == 0)
        return;
    qsizetype next = 0;
    if (pending_ >= 0 && selectPending_) {
        next = (pending_ + (forward ? 1 : n - 1)) % n;
    } else {
        // From the caret, as a find-next does: the first starting at or after the selection's end,
        // or the last starting before the selection's start.
        const QTextCursor caret = box_->textCursor();
        const int end = large() ? large_->selectionEnd() : caret.selectionEnd();
        const int start = large() ? large_->selectionStart() : caret.selectionStart();
        const int from = forward ? end : start;
        const auto all = std::views::iota(qsizetype(0), n);
        const qsizetype after =
            std::ranges::partition_point(all, [&](qsizetype i) { return found_.start(i) < from; }) -
            all.begin();
        next = forward ? (after == n ? 0 : after) : (after == 0 ? n - 1 : after - 1);
    }
    goTo(next, true);
}

void Highlighter::goTo(qsizetype index, bool select) {
    pending_ = index;
    selectPending_ = select;
    waited_ = 0;
    retry();
}

void Highlighter::retry() {
    if (pending_ < 0)
        return layoutWait_.stop();
    const qsizetype index = pending_;
    if (large()) {
        if (reachable(index))
            return goToInLarge(index);
        if (++waited_ > kLayoutWaitTries)
            pending_ = -1;
        else if (!layoutWait_.isActive())
            layoutWait_.start();
        return;
    }
    const std::optional<QRectF> line = lineAt(found_.start(index));
    if (!line || (selectPending_ && !selectable(index))) {
        // Qt lays a large text out in steps on a timer; laying it out up to here at once would hold
        // the window for as long as the whole text takes.
        if (++waited_ > kLayoutWaitTries)
            pending_ = -1;
        else if (!layoutWait_.isActive())
            layoutWait_.start();
        return;
    }
    layoutWait_.stop();
    pending_ = -1;
    if (!selectPending_) {
        // Into view with some lines above it, leaving the caret where it is.
        QScrollBar* bar = box_->verticalScrollBar();
        const int height = box_->viewport()->height();
        if (line->top() < bar->value() || line->bottom() > bar->value() + height)
            bar->setValue(int(line->top()) - height / 3);
        return;
    }
    QTextCursor selection(box_->document());
    selection.setPosition(found_.start(index));
    selection.setPosition(found_.end(index), QTextCursor::KeepAnchor);
    box_->setTextCursor(selection);
    // Last: the status line lets other handlers run.
    announce(index);
}

void Highlighter::announce(qsizetype index) {
    status_.ShowStatus(QStringLiteral("查找“%1”：第 %2 处，共 %3 处")
                           .arg(value_, QString::number(index + 1), QString::number(found_.size())));
}

bool Highlighter::reachable(qsizetype index) const {
    // Before the whole text has arrived, only what lies in its start.
    return large_->wrapped() || found_.end(index) <= large_->text().size();
}

void Highlighter::goToInLarge(qsizetype index) {
    layoutWait_.stop();
    pending_ = -1;
    if (!selectPending_)
        return large_->scrollTo(found_.start(index));
    large_->select(found_.start(index), found_.end(index));
    announce(index);
}

bool Highlighter::selectable(qsizetype index) const {
    // Qt measures a selection that spans lines against the whole text: wait until it is all laid out.
    const QTextDocument* doc = box_->document();
    if (doc->findBlock(found_.start(index)) == doc->findBlock(found_.end(index)))
        return true;
    const QTextLayout* last = doc->lastBlock().layout();
    return last && last->lineCount() > 0;
}

std::optional<QRectF> Highlighter::lineAt(int position) const {
    const QTextBlock block = box_->document()->findBlock(position);
    const QTextLayout* layout = block.layout();
    if (!layout || layout->lineCount() == 0)
        return std::nullopt;
    const QTextLine line = layout->lineForTextPosition(position - block.position());
    if (!line.isValid())
        return std::nullopt;
    const QRectF rect = line.rect().translated(layout->position());
    // The scroll bar learns the new height of the text a step after the layout.
    if (rect.bottom() > box_->verticalScrollBar()->maximum() + box_->viewport()->height())
        return std::nullopt;
    return rect;
}

void Highlighter::paintMarks(const QRect& area) {
    const qsizetype pieces = qsizetype(found_.bounds.size() / 2);
    if (pieces == 0)
        return;
    // Document coordinates of the viewport's top left, as QTextEdit paints.
    const QScrollBar* across = box_->horizontalScrollBar();
    const QPointF offset(box_->isRightToLeft() ? across->maximum() - across->value() : across->value(),
                         box_->verticalScrollBar()->value());
    // The positions at the area's corners, taken inside the document's margin: a point in the margin
    // itself can hit anywhere while the text is still being laid out.
    const int inset = int(box_->document()->documentMargin()) + 1;
    const QRect inner = area.adjusted(inset, inset, -inset, -inset);
    const auto [top, bottom] = std::minmax({box_->cursorForPosition(inner.topLeft()).position(),
                                            box_->cursorForPosition(inner.bottomRight()).position()});

    QPainter painter(box_->viewport());
    painter.setClipRect(area);
    painter.translate(-offset);
    const QTextDocument* doc = box_->document();
    const auto all = std::views::iota(qsizetype(0), pieces);
    // The first piece ending after the area's top; a line's worth of slack for where the hit lands.
    qsizetype i = std::ranges::partition_point(
                      all, [&](qsizetype p) { return found_.bounds[size_t(2 * p + 1)] <= top - 256; }) -
                  all.begin();
    for (; i < pieces && found_.bounds[size_t(2 * i)] <= bottom + 256; ++i) {
        const int end = found_.bounds[size_t(2 * i + 1)];
        for (int from = found_.bounds[size_t(2 * i)]; from < end;) {
            const QTextBlock block = doc->findBlock(from);
            const QTextLayout* layout = block.layout();
            if (!block.isValid() || !layout || layout->lineCount() == 0)
                break;
            // Line by line of the box, from `from` to the piece's end or the block's.
            const int first = from - block.position();
            const int last = std::min(end - block.position(), block.length() - 1);
            for (int l = layout->lineForTextPosition(first).lineNumber(); l >= 0 && l < layout->lineCount();
                 ++l) {
                const QTextLine line = layout->lineAt(l);
                const int a = std::max(first, line.textStart());
                const int b = std::min(last, line.textStart() + line.textLength());
                if (a >= last)
                    break;
                if (a < b) {
                    const qreal x1 = line.cursorToX(a);
                    const qreal x2 = line.cursorToX(b);
                    painter.fillRect(QRectF(layout->position() + QPointF(std::min(x1, x2), line.y()),
                                            QSizeF(std::abs(x2 - x1), line.height())),
                                     markColour());
                }
            }
            from = block.position() + block.length();
        }
    }
}

bool Highlighter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint && watched == box_->viewport() && !large()) {
        // Under the text: the box paints it over the marks once this returns.
        paintMarks(static_cast<QPaintEvent*>(event)->rect());
    } else if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_F3 && (modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier) &&
            found_.size() > 0) {
            // Claimed before any shortcut of the window sees it.
            if (event->type() == QEvent::KeyPress)
                step(modifiers == Qt::NoModifier);
            event->accept();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
