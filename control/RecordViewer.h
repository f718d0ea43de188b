#pragma once
// The record viewer: shows the selected row's own record (by its id, whatever other rows are
// titled), marks where the search value occurs in it (see Highlighter) and writes the line of
// figures; and the caret position of a text box by its window id.
#include "control/CommandGate.h"

#include "util/Co.h"
#include "util/TextColumn.h"

#include <QPointer>
#include <QWidget>

#include <optional>
#include <utility>

class Session;
class Handlers;
class Highlighter;
class LargeTextView;
class ListBox;
class QTextEdit;
class ResultLoader;
struct ResultSet;
class StatusLine;

class RecordViewer {
public:
    RecordViewer(StatusLine& status, ListBox* list, QTextEdit* box, CommandGate& gate, Session& session,
                 ResultLoader& loader, const ResultSet& results, Handlers& handlers);
    ~RecordViewer();

    // The selected row's record: the content the result holds, else fetched by id (reconnecting
    // as the commands do), with the occurrences of the value the result was searched for marked; F3
    // and Shift+F3 in the box or the list go to the next and previous one. A failure clears the box
    // and says why instead of showing the figures. Started as a handler: a record it must fetch shows
    // after the click has returned.
    void List1_Click();

    // Shows nothing (a deleted record).
    void clear();

    // Line (as the box displays it) and column of the caret of the text box with that window id (of
    // the large view over it when it shows one).
    static void GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo);

    // The view over the box for records too large for it.
    LargeTextView* large() const { return large_; }

    // The figures line for what `box` (or `large` over it) shows, the record in row `row` of `rows`;
    // also the history window's, for the version it shows.
    static QString figuresLine(QTextEdit* box, const LargeTextView* large, int row, qsizetype rows);
    // Puts row `row` of `stored` in `box`, or in `large` over it when it is too large for the box.
    static void showText(QTextEdit* box, LargeTextView* large, const TextColumn& stored, qsizetype row);

private:
    void fail(const QString& why);
    Co<> list1Click();
    // A fetched record: `body` (the placeholder, `found` false, when there is none); not `ok` when the
    // look was superseded (the viewer perhaps gone with the control) or failed (and said why).
    struct Fetched {
        bool ok = false;
        TextColumn body;
        bool found = true;
    };
    Co<Fetched> fetch(QString id);
    // Puts row `row` of `stored` in the box, or in the large view over it when it is too large for it.
    void show(const TextColumn& stored, qsizetype row);
    // The figures line for what the box shows, the record listed in row `row` of `rows`.
    void showFigures(int row, qsizetype rows);

    StatusLine& status_;
    ListBox* list_;
    QTextEdit* box_;
    CommandGate& gate_;
    Session& session_;
    ResultLoader& loader_;
    const ResultSet& results_;
    Handlers& handlers_;
    LargeTextView* large_; // the box's child
    // The figures line waiting for a large record to be all in the view.
    std::optional<std::pair<int, qsizetype>> pendingFigures_;
    // The box's child, so that a test finds it; goes with the viewer, before the box is torn down.
    QPointer<Highlighter> highlighter_;
};
