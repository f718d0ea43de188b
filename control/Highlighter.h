#pragma once
// Shows in the record viewer where the search value occurs: a soft yellow under every occurrence,
// the first one scrolled into view without moving the caret, and F3 / Shift+F3 in the viewer or the
// result list to select the next / previous one, wrapping, with "第 k 处，共 n 处" on the status line.
//
// Occurrences are found as the server's LIKE found the record, on the text as stored (see
// highlight::find), so what is marked is what made the record match. The marks are painted under
// the text of the part in view, as the box paints; nothing is set on the document (no formats, no
// extra selections), so its text, undo history and modified flag stay as they were. Not extra
// selections: each holds a cursor on the document, whose set of cursors never shrinks, so once a few
// thousand marks had been shown every later setPlainText of a large record paid for them (1 MiB:
// 20 ms became 100 ms); and Qt measures one that spans a line end against the whole text, laying it
// all out at once. A record over 64 Ki characters is searched on a pool thread. A record too large for
// the box is shown in a LargeTextView over it, which paints the marks itself.
#include "util/TextColumn.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <vector>

class LargeTextView;
class QRect;
class QRectF;
class QTextEdit;
class StatusLine;

namespace highlight {

// The weight utf8mb4_general_ci gives a character (equal weights compare equal): the upper case of
// the letter without its accents for Latin, Greek and Cyrillic (é, É and e all weigh E; ß weighs S;
// й keeps its breve), the upper case for other letters known to Unicode 3.0 (full-width ａ weighs
// Ａ, not A), the character itself for everything else (Chinese, letters added since), and U+FFFD
// for every character outside the BMP.
char16_t weight(char32_t c);

// Where a search value occurs in a record's text, in positions of the document the viewer shows
// (where each CR LF is one position). An occurrence is one or more pieces: the stretches between
// the value's "%".
struct Occurrences {
    // Start and end of every piece, in text order: start, end, start, end...
    std::vector<int> bounds;
    // The index of each occurrence's first piece, then one past the last occurrence's last piece.
    std::vector<int> firstPiece{0};

    qsizetype size() const { return qsizetype(firstPiece.size()) - 1; }
    int start(qsizetype i) const { return bounds[2 * firstPiece[i]]; }
    int end(qsizetype i) const { return bounds[2 * firstPiece[i + 1] - 1]; }
};

// The occurrences of `value` (a LIKE pattern: "%" any stretch, "_" one character, everything else
// itself) in `stored`, the record's text as the server holds it, compared character by character
// by weight() as the server's LIKE does: found from the left, each after the end of the one
// before, so they never overlap; within one, each piece comes at its first place after the piece
// before. Only the pieces are marked, not the stretches "%" passed over, so a line end is crossed
// by "%" but marked only where a "_" matched it.
Occurrences find(const QString& stored, const QString& value);

} // namespace highlight

class Highlighter : public QObject {
    Q_OBJECT
public:
    // Belongs to `box` (the viewer), paints its marks and watches it, `large` (the view over it for
    // large records) and `list` (the result list) for F3; writes to `status`.
    Highlighter(QTextEdit* box, LargeTextView* large, QWidget* list, StatusLine& status);

    // Marks the occurrences of `value` in the box, which has just been given row `row` of `stored`
    // (as the viewer shows it), and scrolls the first into view. An empty value marks nothing. Any
    // change of the box's text takes the marks away.
    void show(const TextColumn& stored, qsizetype row, const QString& value);
    // The occurrences marked in the box's text (none until found).
    const highlight::Occurrences& occurrences() const { return found_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Found {
        quint64 generation;
        highlight::Occurrences occurrences;
    };
    void forget();
    void arrived(Found found);
    // Selects the next (or previous) occurrence after (before) the caret, wrapping around; nothing
    // when there is none (no value, none found, or not found yet).
    void step(bool forward);
    // Brings occurrence `index` into view (selecting it when `select`) once the box has laid it out.
    void goTo(qsizetype index, bool select);
    void retry();
    // The line holding `position` in document coordinates, once it is laid out and within reach of
    // the scroll bar.
    std::optional<QRectF> lineAt(int position) const;
    // Whether occurrence `index` can be selected without laying the whole text out at once.
    bool selectable(qsizetype index) const;
    // Paints the marks of the occurrences within `area` of the viewport.
    void paintMarks(const QRect& area);

    // The large view when it shows the record, else null.
    LargeTextView* large() const;
    // Whether occurrence `index` can be selected (or scrolled to) in the large view now.
    bool reachable(qsizetype index) const;
    void goToInLarge(qsizetype index);
    // Says on the status line which occurrence is selected.
    void announce(qsizetype index);

    QTextEdit* box_;
    LargeTextView* large_;
    StatusLine& status_;
    QString value_;
    highlight::Occurrences found_;
    // Raised by every forget(): a search result of an older text is dropped.
    quint64 generation_ = 0;
    // The occurrence waiting for the lazy layout to reach it, and whether it is to be selected.
    qsizetype pending_ = -1;
    bool selectPending_ = false;
    int waited_ = 0;
    QTimer layoutWait_;
    QFutureWatcher<Found> search_;
};
