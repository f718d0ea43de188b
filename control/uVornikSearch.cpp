// The search, the record viewer and the statement runner of the control.
#include "control/uVornik.h"

#include "database/ConnDatabase.h"
#include "database/Shared.h"
#include "forms/FormSupport.h"
#include "util/Clock.h"
#include "util/MessageBoxes.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

using mPublic::RowData;
using mPublic::RowIds;
using mPublic::RowNames;

namespace {
// Elements of a released result freed per event-loop turn.
constexpr qsizetype kReleaseChunk = 8192;
// Rows are read in slices of about this length between two yields to the event loop: about one
// status repaint per frame.
constexpr qint64 kSliceMs = 16;
} // namespace

void uVornik::releaseLater(QStringList&& rows) {
    if (rows.isEmpty())
        return;
    m_trash.push_back(std::move(rows));
    if (!m_releaseTimer) {
        m_releaseTimer = new QTimer(this);
        m_releaseTimer->setInterval(0);
        connect(m_releaseTimer, &QTimer::timeout, this, &uVornik::releaseSome);
    }
    m_releaseTimer->start();
}

void uVornik::releaseSome() {
    if (m_trash.empty()) {
        m_releaseTimer->stop();
        return;
    }
    QStringList& rows = m_trash.back();
    if (!rows.isDetached()) {
        // Someone else still reads it (a viewer's copy): removing would copy it; they free it.
        m_trash.pop_back();
        return;
    }
    const qsizetype n = std::min(kReleaseChunk, rows.size());
    rows.remove(rows.size() - n, n);
    if (rows.isEmpty())
        m_trash.pop_back();
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
    const DbStatus status =
        conn ? rs->Open(sql, conn, Recordset::kCursorKeyset, Recordset::kLockOptimistic)
             : DbStatus(DbError{DbError::kProviderError, QStringLiteral("数据库连接对象不存在"), 0});
    if (status) {
        if (status->isTimeout()) {
            // Drop the connection and reopen it with the held account; the statement is not run
            // again and counts as run, so its caller finds the recordset closed.
            mPublic::Conn.reset();
            QString ignored;
            mConnDatabase::ConnectDatabase(ignored);
            return QString();
        }
        // A statement started meanwhile owns the status line: this late message would only mislead.
        if (mPublic::Rs == rs)
            ShowStatus(QStringLiteral("SQL 出错：") + status->description);
        return status->description;
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
    if (DbStatus s = rs.MoveFirst()) {
        *error = s->description;
        return Load::Failed;
    }
    releaseLater(std::move(RowNames));
    releaseLater(std::move(RowData));
    releaseLater(std::move(RowIds));
    RowNames = QStringList(n + 1);
    RowData = QStringList(n + 1);
    RowIds = QStringList(n + 1);
    List1->clear();

    QStringList pending;
    QElapsedTimer slice;
    slice.start();
    qint64 shown = -1;
    auto flush = [&] {
        List1->addItems(pending);
        pending.clear();
    };
    for (qint64 i = 0; i < n; ++i) {
        const DbResult<QString> name = rs.text(nameField);
        const DbResult<QString> id = rs.text(idField);
        const DbResult<QString> data =
            withContent ? rs.text(dataField) : DbResult<QString>(mPublic::kNoContent);
        for (const DbResult<QString>* r : {&name, &id, &data}) {
            if (!r->ok()) {
                flush(); // the rows read so far stay listed
                *error = r->error().description;
                return Load::Failed;
            }
        }
        RowNames[i] = name.value();
        RowIds[i] = id.value();
        RowData[i] = data.value();
        pending.append(name.value());
        if (i == 0 || slice.elapsed() >= kSliceMs) {
            flush();
            ShowStatus(QStringLiteral("正在读取数据:") + QString::number(i));
            shown = i;
            if (superseded(search))
                return Load::Superseded; // a newer search owns the arrays and the list now
            slice.restart();
        }
        rs.MoveNext();
    }
    flush();
    if (n > 0 && shown != n - 1) {
        ShowStatus(QStringLiteral("正在读取数据:") + QString::number(n - 1));
        if (superseded(search))
            return Load::Superseded;
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
                const DbResult<QString> text = rs->text(QStringLiteral("data"));
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
