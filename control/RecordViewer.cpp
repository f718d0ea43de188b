#include "control/RecordViewer.h"

#include "control/Highlighter.h"
#include "control/ListBox.h"
#include "control/ResultLoader.h"
#include "control/ResultSet.h"
#include "control/StatusLine.h"
#include "database/Session.h"
#include "forms/FormSupport.h"
#include "ui/LargeTextView.h"
#include "util/Handlers.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>

RecordViewer::RecordViewer(StatusLine& status, ListBox* list, QTextEdit* box, CommandGate& gate,
                           Session& session, ResultLoader& loader, const ResultSet& results,
                           Handlers& handlers)
    : status_(status), list_(list), box_(box), gate_(gate), session_(session), loader_(loader),
      results_(results), handlers_(handlers), large_(new LargeTextView(box)),
      highlighter_(new Highlighter(box, large_, list, status)) {
    QObject::connect(large_, &LargeTextView::wholeText, large_, [this] {
        if (const auto figures = std::exchange(pendingFigures_, std::nullopt))
            showFigures(figures->first, figures->second);
    });
}

RecordViewer::~RecordViewer() {
    delete highlighter_.data();
}

void RecordViewer::clear() {
    pendingFigures_.reset();
    large_->hideText();
    box_->clear();
}

void RecordViewer::fail(const QString& why) {
    // Never the previous record beside the new selection.
    pendingFigures_.reset();
    large_->hideText();
    box_->clear();
    status_.ShowStatus(QStringLiteral("uVornik.List1_Click Error:") + why);
}

void RecordViewer::List1_Click() {
    handlers_.start(list1Click());
}

Co<> RecordViewer::list1Click() {
    // Copies: a load started while the fetch waits replaces the result (and supersedes this look).
    const TextColumn names = results_.names;
    const TextColumn data = results_.data;
    const TextColumn ids = results_.ids;
    const QString key = results_.key;
    const bool contentsHeld = results_.contentsHeld;
    const int row = list_->selectedRow();
    if (names.isEmpty()) {
        status_.ShowStatus(QStringLiteral("uVornik.List1_Click结果列表尚未载入"));
        co_return;
    }
    if (row < 0 || row >= ids.size() - 1)
        co_return;

    // The record's text, the result's own (shared, not copied: a record may hold 16 MB), else fetched.
    TextColumn body = data;
    qsizetype at = row;
    bool found = true;
    const QStringView held = row < data.size() ? data.view(row) : QStringView();
    if (held.isEmpty() || held == ResultSet::kNoContent || !contentsHeld) {
        const Fetched fetched = co_await fetch(ids.at(row));
        if (!fetched.ok) // superseded (the viewer perhaps gone) or failed: nothing more to show
            co_return;
        body = fetched.body;
        found = fetched.found;
        at = 0;
    }
    pendingFigures_.reset();
    show(body, at);
    // The placeholder of a missing record is no text of it to mark.
    highlighter_->show(body, at, found ? key : QString());
    // A large record's once it is all in the view (counted on a pool thread).
    if (large_->showing() && !large_->complete())
        pendingFigures_ = std::pair{row, names.size() - 1};
    else
        showFigures(row, names.size() - 1);
}

Co<RecordViewer::Fetched> RecordViewer::fetch(QString id) {
    Fetched out;
    // A look is never refused: it supersedes the previous one.
    const std::optional<CommandGate::Pass> pass = gate_.enter(CommandGate::Kind::Look, QString());
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    if (pass->superseded())
        co_return out;
    const QString errorText = opened.status().description();
    if (!errorText.isEmpty()) {
        fail(QStringLiteral("连接数据库 错误:") + errorText);
        co_return out;
    }
    const auto rs = std::make_shared<Recordset>();
    const QString sql = QStringLiteral("select * from searchtxt_data where `dataid`=?");
    const SqlParams byId{id};
    const QString failed = co_await loader_.runStatement(sql, byId, pass->cancellation(), rs);
    if (pass->superseded())
        co_return out; // a newer click, or a load, owns the viewer now
    if (!failed.isEmpty()) {
        fail(failed);
        co_return out;
    }
    out.ok = true;
    if (rs->State() != Connection::kStateOpen || rs->RecordCount() < 1) {
        status_.ShowStatus(
            QStringLiteral("searchtxt_data表中找不到相关ID的记录，可能name与data数据未同步！"));
        out.body = TextColumn(QStringList{ResultSet::kNoContent});
        out.found = false;
    } else {
        // A NULL body reads as empty text, like any other empty record.
        out.body = rs->column(rs->fieldIndex(QStringLiteral("data")));
    }
    co_return out;
}

void RecordViewer::show(const TextColumn& stored, qsizetype row) {
    showText(box_, large_, stored, row);
}

void RecordViewer::showText(QTextEdit* box, LargeTextView* large, const TextColumn& stored, qsizetype row) {
    if (LargeTextView::needed(stored.view(row))) {
        large->showText(stored, row);
        return;
    }
    large->hideText();
    box->setPlainText(forms::toShownText(stored.at(row)));
}

namespace {

// What the figures count of a text: its line ends and its characters as the box holds it, each line
// end a CR LF: read back from the box, or from the large view, each LF of whose text is a CR LF.
std::pair<qsizetype, qsizetype> textFigures(const QTextEdit* box, const LargeTextView* large) {
    if (large->showing()) {
        const qsizetype chars = large->text().size() + large->lineEnds();
        return {chars == 0 ? -1 : large->lineEnds(), chars};
    }
    const QString text = forms::toStoredText(forms::plainText(box->document()));
    return {text.isEmpty() ? -1 : text.count(QStringLiteral("\r\n")), text.size()};
}

} // namespace

void RecordViewer::showFigures(int row, qsizetype rows) {
    status_.ShowStatus(figuresLine(box_, large_, row, rows));
}

QString RecordViewer::figuresLine(QTextEdit* box, const LargeTextView* large, int row, qsizetype rows) {
    qint32 line = 0;
    qint32 column = 0;
    GetCaretPos(box->winId(), line, column);
    const auto [breaks, chars] = textFigures(box, large);
    return (QStringLiteral("共：") + QString::number(row) + u'/' + QString::number(rows) +
            QStringLiteral("     ") + QStringLiteral("    总行数：") + QString::number(breaks) +
            QStringLiteral(" 行      字数：") + QString::number(chars) + QStringLiteral("字") +
            QStringLiteral("当前位置：") + QString::number(line) + QStringLiteral("行:") +
            QString::number(column) + QStringLiteral("列"));
}

namespace {

// Line (0-based, counting wrapped lines as the box shows them) and first position of the line that
// holds `position` in `doc`.
std::pair<int, int> visualLine(const QTextDocument* doc, int position) {
    const QTextBlock block = doc->findBlock(position);
    int line = 0;
    for (QTextBlock b = doc->begin(); b.isValid() && b != block; b = b.next())
        line += qMax(1, b.layout() ? b.layout()->lineCount() : 1);
    int lineStart = block.position();
    if (const QTextLayout* layout = block.layout(); layout && layout->lineCount() > 0) {
        const QTextLine tl = layout->lineForTextPosition(position - block.position());
        if (tl.isValid()) {
            line += tl.lineNumber();
            lineStart = block.position() + tl.textStart();
        }
    }
    return {line, lineStart};
}

} // namespace

void RecordViewer::GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) {
    // An unknown window answers every query with 0, which gives line 1, column 1.
    int caret = 0;
    int line = 0;
    int lineStart = 0;
    QWidget* w = QWidget::find(hwnd5);
    const QTextDocument* doc = nullptr;
    if (const LargeTextView* large = LargeTextView::shownOver(w)) {
        // As the view shows it: its row, from the row's start.
        caret = large->selectionEnd();
        std::tie(line, lineStart) = large->rowOf(caret);
    } else if (auto* te = qobject_cast<QTextEdit*>(w)) {
        caret = te->textCursor().selectionEnd();
        doc = te->document();
    } else if (auto* pe = qobject_cast<QPlainTextEdit*>(w)) {
        caret = pe->textCursor().selectionEnd();
        doc = pe->document();
    } else if (auto* le = qobject_cast<QLineEdit*>(w)) {
        caret = le->hasSelectedText() ? le->selectionEnd() : le->cursorPosition();
    }
    if (doc)
        std::tie(line, lineStart) = visualLine(doc, caret);
    LineNo = line + 1;
    ColNo = caret - lineStart + 1;
}
