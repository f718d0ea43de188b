// The search, the record viewer and the statement runner of the control.
#include "control/uVornik.h"

#include "database/ConnDatabase.h"
#include "database/Shared.h"
#include "forms/FormSupport.h"
#include "util/BackgroundRelease.h"
#include "util/Clock.h"
#include "util/MessageBoxes.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <memory>

using mPublic::RowData;
using mPublic::RowIds;
using mPublic::RowNames;

namespace {
// Rows handed to the list in one step (after the first row): as many as it already holds, within
// these bounds. The list's cost per step grows with the rows added, not with the rows it holds.
constexpr qint64 kMinRowsPerStep = 4096;
constexpr qint64 kMaxRowsPerStep = 131072;

// The arrays of a load that cannot share the recordset's columns: the placeholders of a title
// search, and arrays cut short by a row that cannot be read. A list of a million entries costs tens
// of milliseconds to allocate, so they are built on a pool thread while the list fills.
struct PendingArrays {
    std::atomic<bool> done{false};
    QStringList names;
    QStringList data;
    QStringList ids;
};

std::shared_ptr<PendingArrays> buildArrays(QStringList names, QStringList data, QStringList ids,
                                           qint64 readable, qint64 rows, bool placeholders) {
    auto job = std::make_shared<PendingArrays>();
    // Rows from the first unreadable one on stay empty, as if the load had stopped there.
    auto cut = [readable, rows](QStringList list) {
        if (list.size() != rows + 1)
            return QStringList(rows + 1); // a field the statement lacks: nothing was readable
        for (qint64 i = readable; i < rows; ++i)
            list[i] = QString();
        return list;
    };
    auto build = [job, cut, names = std::move(names), data = std::move(data), ids = std::move(ids), readable,
                  rows, placeholders]() mutable {
        job->names = cut(std::move(names));
        job->ids = cut(std::move(ids));
        if (placeholders) {
            QStringList filled(rows + 1);
            std::fill(filled.begin(), filled.begin() + readable, mPublic::kNoContent);
            job->data = std::move(filled);
        } else {
            job->data = cut(std::move(data));
        }
        job->done.store(true, std::memory_order_release);
    };
    background::run(std::move(build));
    return job;
}

} // namespace

void uVornik::releaseLater(QStringList&& rows) {
    if (!rows.isEmpty())
        background::releaseLater(std::move(rows));
}

QString uVornik::literalValue(const QString& text) {
    return Connection::escape(mPublic::Conn.get(), text);
}

QString uVornik::likeValue(const QString& key) {
    // A backslash is LIKE's own escape character: double it so it matches itself, then escape the
    // whole pattern for the literal. "%" and "_" stay wildcards, as users type them.
    QString pattern = key;
    pattern.replace(u'\\', QStringLiteral("\\\\"));
    return literalValue(pattern);
}

QString uVornik::likeEscape() {
    // Under NO_BACKSLASH_ESCAPES servers disagree on LIKE's default escape character (MariaDB keeps
    // the backslash, MySQL has none), so the pattern names it; the client's escaping tells the
    // session's mode. Otherwise the statement keeps its usual form.
    return literalValue(QStringLiteral("\\")) == QStringLiteral("\\\\") ? QString()
                                                                        : QStringLiteral(" ESCAPE '\\'");
}

QString uVornik::RsOpen(const QString& strSQL) {
    std::shared_ptr<Recordset> result;
    return runStatement(strSQL, result);
}

QString uVornik::runStatement(const QString& sql, std::shared_ptr<Recordset>& result) {
    ++m_statementsRun;
    m_lastStatement = sql;
    // A fresh recordset: whoever still reads the previous result keeps it to the end.
    auto rs = std::make_shared<Recordset>();
    mPublic::Rs = rs;
    result = rs;
    ShowStatus(QStringLiteral("开始执行SQL..."));

    Connection* conn = mPublic::Conn.get();
    const Status status =
        conn ? rs->Open(sql, conn, Recordset::kCursorKeyset, Recordset::kLockOptimistic)
             : Status(Error{Error::kProviderError, QStringLiteral("数据库连接对象不存在"), 0});
    if (!status) {
        if (status.error().isTimeout()) {
            // Drop the connection and reopen it with the held account; the statement is not run
            // again and counts as run, so its caller finds the recordset closed.
            mPublic::Conn.reset();
            QString ignored;
            mConnDatabase::ConnectDatabase(ignored);
            return QString();
        }
        // A statement started meanwhile owns the status line: this late message would only mislead.
        if (mPublic::Rs == rs)
            ShowStatus(QStringLiteral("SQL 出错：") + status.error().description);
        return status.error().description;
    }
    if (mPublic::Rs == rs)
        ShowStatus(QStringLiteral("SQL 执行完成!"));
    return QString();
}

void uVornik::cmdSearch_Click() {
    ShowStatus(defaultDateTimeText(appClock().now()));
    if (ChkControl[0]->isChecked())
        SearchFileName(txtSearchKey->text());
    else
        SearchTxtData(txtSearchKey->text());
}

uVornik::Load uVornik::loadRows(Recordset& rs, quint64 search, bool withContent, QString* error) {
    const qint64 n = rs.RecordCount();
    const int nameField = rs.fieldIndex(QStringLiteral("name"));
    const int idField = rs.fieldIndex(QStringLiteral("dataid"));
    const int dataField = withContent ? rs.fieldIndex(QStringLiteral("data")) : -1;
    if (Status s = rs.MoveFirst(); !s) {
        *error = s.error().description;
        return Load::Failed;
    }
    // Rows are taken in server order up to the first that cannot be read as text (a NULL): the rows
    // before it are listed, and the load ends with that row's error.
    const qint64 readable = withContent ? rs.rowsReadable({nameField, idField, dataField})
                                        : rs.rowsReadable({nameField, idField});
    const QStringList names = rs.column(nameField);

    // The list first, while the old arrays still hold its titles: freeing them is left to the pool.
    List1->clear();
    releaseLater(std::move(RowNames));
    releaseLater(std::move(RowData));
    releaseLater(std::move(RowIds));
    // Each array shares a column of N + 1 texts, the last empty. Until a title search's
    // placeholders are built, RowData is empty, which the viewer reads as the placeholder too.
    RowNames = names;
    RowIds = rs.column(idField);
    RowData = withContent ? rs.column(dataField) : QStringList();
    std::shared_ptr<PendingArrays> pending;
    if (!withContent || readable < n)
        pending = buildArrays(RowNames, RowData, RowIds, readable, n, !withContent);

    // The first row alone, so that its index shows at once; then growing steps, so that a million
    // rows take some fifteen yields, not hundreds, and no step holds the window long.
    for (qint64 i = 0; i < readable;) {
        const qint64 end =
            i == 0 ? 1 : std::min(readable, i + std::clamp(i, kMinRowsPerStep, kMaxRowsPerStep));
        List1->showRows(names, end);
        i = end;
        ShowStatus(QStringLiteral("正在读取数据:") + QString::number(i - 1));
        if (superseded(search))
            return Load::Superseded; // a newer search owns the arrays and the list now
    }
    if (pending) {
        while (!pending->done.load(std::memory_order_acquire)) {
            QEventLoop wait;
            QTimer::singleShot(2, &wait, &QEventLoop::quit);
            wait.exec();
            if (superseded(search))
                return Load::Superseded;
        }
        RowNames = std::move(pending->names);
        RowData = std::move(pending->data);
        RowIds = std::move(pending->ids);
    }
    if (readable < n) {
        // The rows read so far stay listed; the failing row says why the load ended.
        for (const int field : {nameField, idField, dataField}) {
            if (field == dataField && !withContent)
                continue;
            const Result<QString> text = rs.textAt(readable, field);
            if (!text.ok()) {
                *error = text.error().description;
                break;
            }
        }
        return Load::Failed;
    }
    return Load::Done;
}

void uVornik::showResult(Recordset& rs, quint64 search, bool withContent, const QString& errorPrefix) {
    QString error;
    Load load = Load::Done;
    if (rs.State() != Connection::kStateOpen) {
        // The statement failed, or timed out and was dropped with its connection.
        error = QStringLiteral("对象关闭时，不允许操作");
        load = Load::Failed;
    } else if (rs.RecordCount() >= 1) {
        load = loadRows(rs, search, withContent, &error);
    } else {
        List1->clear();
    }
    if (load == Load::Superseded)
        return;
    ShowStatus(load == Load::Failed ? errorPrefix + error : QStringLiteral("loaded OK"));
}

void uVornik::SearchFileName(const QString& key) {
    const quint64 search = ++m_search;
    List1->clear();
    QString errorText;
    mConnDatabase::ConnectDatabase(errorText, mConnDatabase::dbUse, mConnDatabase::dbPwd);
    if (superseded(search))
        return;
    if (!errorText.isEmpty()) {
        ShowStatus(QStringLiteral("连接数据库 错误:") + errorText);
        return;
    }
    const QString condition =
        QStringLiteral("`name` like '%") + likeValue(key) + QStringLiteral("%'") + likeEscape();
    const QString sql = QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name ") +
                        QStringLiteral(" where ") + condition;
    std::shared_ptr<Recordset> rs;
    runStatement(sql, rs); // a failure leaves the recordset closed, which the next step reports
    if (!superseded(search))
        showResult(*rs, search, false, QStringLiteral("uVornik.SearchFileName"));
}

void uVornik::SearchTxtData(const QString& key) {
    const quint64 search = ++m_search;
    QString errorText;
    mConnDatabase::ConnectDatabase(errorText);
    if (superseded(search))
        return;
    if (!errorText.isEmpty()) {
        messageBoxes().information(this, QStringLiteral("连接数据库出错:") + errorText);
        return;
    }
    const QString value = likeValue(key);
    const QString escape = likeEscape();
    const QString sql =
        QStringLiteral("select  `dataid`,`name`,`data` from SearchTxt_Data where `data` like '%") + value +
        QStringLiteral("%'") + escape + QStringLiteral(" or `name` like '%") + value + QStringLiteral("%'") +
        escape;
    std::shared_ptr<Recordset> rs;
    const QString failed = runStatement(sql, rs);
    if (superseded(search))
        return;
    if (!failed.isEmpty()) {
        ShowStatus(QStringLiteral("uVornik.SearchTxtData Error:") + failed + QStringLiteral("  "));
        return;
    }
    showResult(*rs, search, true, QStringLiteral("uVornik.SearchTxtData"));
}

void uVornik::List1_Click() {
    const QString key = List1->selectedText();
    // Copies: a search started from a handler while the viewer waits replaces the arrays.
    const QStringList names = RowNames;
    const QStringList data = RowData;
    const QStringList ids = RowIds;
    if (names.isEmpty()) {
        ShowStatus(QStringLiteral("uVornik.List1_Click结果列表尚未载入"));
        return;
    }

    QString content;
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.at(i) != key)
            continue;
        content = data.value(i);
        const QString id = ids.value(i);
        if (!content.isEmpty() && content != mPublic::kNoContent)
            break;
        std::shared_ptr<Recordset> rs;
        const QString sql =
            QStringLiteral("select * from searchtxt_data where `dataid`='") + literalValue(id) + u'\'';
        if (runStatement(sql, rs).isEmpty()) {
            if (rs->State() != Connection::kStateOpen || rs->RecordCount() < 1) {
                ShowStatus(
                    QStringLiteral("searchtxt_data表中找不到相关ID的记录，可能name与data数据未同步！"));
            } else {
                rs->MoveFirst();
                const Result<QString> text = rs->text(QStringLiteral("data"));
                if (!text.ok()) {
                    ShowStatus(QStringLiteral("uVornik.List1_Click") + text.error().description);
                    return;
                }
                content = text.value();
            }
        }
        break;
    }

    RTBox->setPlainText(forms::toShownText(content));
    qint32 line = 0;
    qint32 column = 0;
    GetCaretPos(RTBox->winId(), line, column);
    // Counted on the stored form: each CR LF is two characters.
    const QString text = forms::toStoredText(forms::plainText(RTBox->document()));
    const qsizetype breaks = text.isEmpty() ? -1 : text.count(QStringLiteral("\r\n"));
    ShowStatus(QStringLiteral("共：") + QString::number(List1->selectedRow()) + u'/' +
               QString::number(names.size() - 1) + QStringLiteral("     ") + QStringLiteral("    总行数：") +
               QString::number(breaks) + QStringLiteral(" 行      字数：") + QString::number(text.size()) +
               QStringLiteral("字") + QStringLiteral("当前位置：") + QString::number(line) +
               QStringLiteral("行:") + QString::number(column) + QStringLiteral("列"));
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

void uVornik::GetCaretPos(WId hwnd5, qint32& LineNo, qint32& ColNo) {
    // An unknown window answers every query with 0, which gives line 1, column 1.
    int caret = 0;
    int line = 0;
    int lineStart = 0;
    QWidget* w = QWidget::find(hwnd5);
    const QTextDocument* doc = nullptr;
    if (auto* te = qobject_cast<QTextEdit*>(w)) {
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
