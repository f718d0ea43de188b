#pragma once
// Shows, read-only and in place of a QTextEdit, a text too large for it to take without holding the
// window: a record may hold 16 MB, millions of lines or one line of millions of characters. QTextEdit
// (and QPlainTextEdit) builds a block per line and lays a line out whole, which for such texts takes
// seconds to minutes and gigabytes; this view measures and paints only the rows in view.
//
// The text is shown in a fixed-pitch font, wrapped at the viewport's width: a character takes one cell,
// an East Asian wide one two, a combining mark none, a tab up to the next multiple of eight. A row ends
// at a line end (LF, CR, U+2028 or U+2029, each one position of the text, as in a QTextDocument) or
// where the next character would not fit. Positions are those of the text as the box would hold it:
// each stored CR LF is one LF. The rows of a large text are worked out on a pool thread; until they
// arrive the start of the text is shown.
//
// The view lies over the box it stands for: a child covering it, and the box's focus proxy while shown,
// so the box's place in the layout, in the tab order and under the splitter carry over.
#include "util/TextColumn.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class QTextEdit;
template <class T> class QFutureWatcher;

class LargeTextView : public QAbstractScrollArea {
    Q_OBJECT
public:
    // Whether `stored` is too large for a QTextEdit to show within a frame or two.
    static bool needed(QStringView stored);
    // The view showing a text over `box`, or null when the box shows its own text.
    static LargeTextView* shownOver(const QWidget* box);

    // The colour of the marks on the search value, here and in the box.
    static QColor markColour();

    explicit LargeTextView(QTextEdit* box);
    ~LargeTextView() override;

    // Shows row `row` of `stored` (a stored text, shared, not copied) over the box, which is emptied:
    // the caret at the start, nothing selected or marked. wholeText() says when all of it is in.
    void showText(const TextColumn& stored, qsizetype row);
    // Hides the view and lets go of its text; the box shows its own text again.
    void hideText();
    bool showing() const { return !isHidden(); }

    // The text as shown (each CR LF one LF); only its start until wrapped() when it is large.
    const QString& text() const { return text_; }
    // Whether the whole text is in the view, its rows known for the present width.
    bool wrapped() const { return complete_ && wrappedFor_ == columns(); }
    // Whether the whole text is in the view, and its line ends (each LF of the text), once it is.
    bool complete() const { return complete_; }
    qsizetype lineEnds() const { return lineEnds_; }

    int caret() const { return caret_; }
    int selectionStart() const { return std::min(anchor_, caret_); }
    int selectionEnd() const { return std::max(anchor_, caret_); }
    // The row (0-based, as shown) holding `position`, and that row's first position.
    std::pair<int, int> rowOf(int position) const;

    // Marks painted under the text: start and end of each, in text order.
    void setMarks(std::vector<int> bounds);
    // Selects start..end and scrolls it into view.
    void select(int start, int end);
    // Scrolls `position` into view with some rows above it; the caret stays.
    void scrollTo(int position);
    // Whether the row of `position` lies wholly in view.
    bool inView(int position) const;

Q_SIGNALS:
    // The whole of the text shown last is in the view now.
    void wholeText();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Row {
        int start;
        int end; // past its last shown character (a line end that ends it is not shown)
    };
    struct Wrapped;
    int columns() const;
    int visibleRows() const;
    int rowCount() const { return int(rows_.size()); }
    Row row(int r) const;
    // The cell at which each position of `row` begins, and one past its end.
    std::vector<int> cells(const Row& row) const;
    // The position nearest to `cell` in row `r`, and at a point of the viewport.
    int positionAt(int r, int cell) const;
    int positionAt(const QPoint& point) const;
    // Works the rows out anew for the present width: at once for a short text, else on a pool thread
    // (the text `text` gives there, as shown); arrived() takes them.
    void rewrap();
    void startWrap(std::function<QString()> text);
    void arrived(Wrapped wrapped);
    // Lets go of a large text on a pool thread.
    static void release(QString text);
    void updateScrollRange();
    void moveCaret(int position, bool keepAnchor);
    void ensureVisible(int position);
    void paintRow(QPainter& painter, int r, int y) const;

    QTextEdit* box_;
    QFutureWatcher<Wrapped>* watcher_;
    QString text_;
    std::vector<int> rows_{0}; // first position of each row
    std::vector<int> marks_;
    bool complete_ = true; // text_ is the whole text
    qsizetype lineEnds_ = 0;
    int wrappedFor_ = 0; // the columns rows_ was worked out for
    quint64 generation_ = 0;
    int caret_ = 0;
    int anchor_ = 0;
    int wantedCell_ = -1; // the cell Up and Down keep to
    qreal cell_ = 1;
    int lineHeight_ = 1;
};
