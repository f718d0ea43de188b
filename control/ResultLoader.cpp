#include "control/ResultLoader.h"

#include "control/ListBox.h"
#include "control/ResultSet.h"
#include "control/StatusLine.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "ui/MessageBoxes.h"
#include "util/BackgroundRelease.h"

#include <algorithm>

namespace {
// Rows handed to the list in one step (after the first row): as many as it already holds, within
// these bounds. The list's cost per step grows with the rows added, not with the rows it holds.
constexpr qint64 kMinRowsPerStep = 4096;
constexpr qint64 kMaxRowsPerStep = 131072;

void releaseLater(TextColumn&& rows) {
    if (!rows.isEmpty())
        background::releaseLater(std::move(rows));
}

// Whether the connection still holds its session after a failure: a lost one ends the search with
// that failure, as the scan's own statement would have met it.
bool stillOpen(const Session& session) {
    return session.connection() && session.connection()->isOpen();
}

} // namespace

ResultLoader::ResultLoader(StatusLine& status, ListBox* list, CommandGate& gate, Session& session,
                           ResultSet& results, QWidget* dialogParent)
    : status_(status), list_(list), gate_(gate), session_(session), results_(results),
      dialogParent_(dialogParent) {}

bool ResultLoader::current(const CommandGate::Pass& pass) {
    if (afterYield_)
        afterYield_();
    return !pass.superseded();
}

QString ResultLoader::runStatement(const QString& sql, const SqlParams& params,
                                   const std::shared_ptr<Cancellation>& cancel,
                                   std::shared_ptr<Recordset>& result) {
    status_.ShowStatus(QStringLiteral("开始执行SQL..."));
    return reportStatement(openStatement(sql, params, cancel, result), cancel);
}

Status ResultLoader::openStatement(const QString& sql, const SqlParams& params,
                                   const std::shared_ptr<Cancellation>& cancel,
                                   std::shared_ptr<Recordset>& result) {
    ++statementsRun_;
    lastStatement_ = sql;
    result = rs_ = std::make_shared<Recordset>();
    Connection* conn = session_.connection();
    return conn ? result->Open(sql, params, conn, cancel)
                : Status::failure(QStringLiteral("数据库连接对象不存在"));
}

void ResultLoader::reopenAfterTimeout() {
    session_.connectionSlot().reset();
    (void)session_.openIfNeededNow();
}

QString ResultLoader::reportStatement(const Status& status, const std::shared_ptr<Cancellation>& cancel) {
    if (status.cancelled() && cancel && cancel->isCancelled())
        return status.description(); // superseded: the newer statement owns the status line
    if (!status) {
        if (status.error().isTimeout()) {
            // Drop the connection and reopen it with the held account; the statement is not run
            // again and counts as run, so its caller finds the recordset closed.
            reopenAfterTimeout();
            return QString();
        }
        status_.ShowStatus(QStringLiteral("SQL 出错：") + status.description());
        return status.description();
    }
    status_.ShowStatus(QStringLiteral("SQL 执行完成!"));
    return QString();
}

QString ResultLoader::runSearch(searchindex::Mode mode, const QString& key, const CommandGate::Pass& pass,
                                std::shared_ptr<Recordset>& result) {
    const std::shared_ptr<Cancellation>& cancel = pass.cancellation();
    status_.ShowStatus(QStringLiteral("开始执行SQL..."));
    // The planner's few small statements decide whether the index can answer; any doubt (no
    // companion database, a failure, a time-out) leaves it at the scan. Each waits, so the pass and
    // the shared connection are looked at afresh after each.
    searchindex::SearchPlanner planner(session_.settings().database, mode, key);
    while (const std::optional<searchindex::Statement> step = planner.next()) {
        if (!stillOpen(session_))
            break;
        const Result<QueryOutcome> outcome = session_.connection()->query(step->sql, step->params, cancel);
        if (!current(pass))
            return outcome ? QStringLiteral("superseded") : outcome.error().description;
        if (!outcome && outcome.error().isTimeout()) {
            reopenAfterTimeout();
            if (!current(pass))
                return outcome.error().description;
            break;
        }
        if (!outcome && !stillOpen(session_))
            return reportStatement(outcome.status(), cancel);
        planner.take(outcome);
    }
    // A local copy: a newer search that runs while this one waits replaces lastPlan_.
    searchindex::Plan plan = planner.plan();
    lastPlan_ = plan;
    if (plan.usesIndex) {
        const Status status = openStatement(plan.statement.sql, plan.statement.params, cancel, result);
        if (status || (status.cancelled() && cancel && cancel->isCancelled()) ||
            (!status.error().isTimeout() && !stillOpen(session_)))
            return reportStatement(status, cancel);
        if (status.error().isTimeout())
            reopenAfterTimeout();
        if (!current(pass))
            return status.description();
        // The index went away or changed under the plan (a rebuild, a removal): the scan answers.
        plan.usesIndex = false;
        plan.why = QStringLiteral("the index's statement failed: ") + status.description();
        plan.statement = searchindex::scanStatement(mode, key);
        lastPlan_ = plan;
    }
    return reportStatement(openStatement(plan.statement.sql, plan.statement.params, cancel, result), cancel);
}

ResultLoader::Load ResultLoader::loadRows(Recordset& rs, const CommandGate::Pass& pass, bool withContent,
                                          const QString& key, QString* error) {
    const qint64 n = rs.RecordCount();
    const int nameField = rs.fieldIndex(QStringLiteral("name"));
    const int idField = rs.fieldIndex(QStringLiteral("dataid"));
    const int dataField = withContent ? rs.fieldIndex(QStringLiteral("data")) : -1;
    for (const int field : {nameField, idField, withContent ? dataField : idField}) {
        if (field < 0) {
            *error = QStringLiteral("在对应所需名称或序数的集合中，未找到项目");
            return Load::Failed;
        }
    }
    // A NULL reads as empty text: a record another tool wrote without a title or a body is listed
    // like the others.
    const TextColumn names = rs.column(nameField);

    // The list first, while the old result still holds its titles: freeing them is left to the pool.
    list_->clear();
    releaseLater(std::move(results_.names));
    releaseLater(std::move(results_.data));
    releaseLater(std::move(results_.ids));
    // Each column shares one of N + 1 texts, the last empty; a title load's placeholders are one
    // text for every row, which costs nothing per row.
    results_.names = names;
    results_.ids = rs.column(idField);
    results_.data = withContent ? rs.column(dataField) : TextColumn::repeated(ResultSet::kNoContent, n);
    results_.contentsHeld = withContent;
    results_.key = key;

    // The first row alone, so that its index shows at once; then growing steps, so that a million
    // rows take some fifteen yields, not hundreds, and no step holds the window long.
    for (qint64 i = 0; i < n;) {
        const qint64 end = i == 0 ? 1 : std::min(n, i + std::clamp(i, kMinRowsPerStep, kMaxRowsPerStep));
        list_->showRows(names, end);
        i = end;
        status_.ShowStatus(QStringLiteral("正在读取数据:") + QString::number(i - 1));
        if (!current(pass))
            return Load::Superseded; // a newer load owns the result and the list now
    }
    return Load::Done;
}

void ResultLoader::showResult(Recordset& rs, const CommandGate::Pass& pass, bool withContent,
                              const QString& key, const QString& errorPrefix) {
    QString error;
    Load load = Load::Done;
    if (rs.State() != Connection::kStateOpen) {
        // The statement timed out and was dropped with its connection.
        error = QStringLiteral("对象关闭时，不允许操作");
        load = Load::Failed;
    } else if (rs.RecordCount() >= 1) {
        load = loadRows(rs, pass, withContent, key, &error);
    } else {
        list_->clear();
    }
    if (load == Load::Superseded)
        return;
    status_.ShowStatus(load == Load::Failed ? errorPrefix + error : QStringLiteral("loaded OK"));
}

void ResultLoader::SearchFileName(const QString& key) {
    const std::optional<CommandGate::Pass> pass =
        gate_.enter(CommandGate::Kind::Load, QStringLiteral("查询"));
    if (!pass)
        return;
    list_->clear();
    const QString errorText = session_.openIfNeededNow().status().description();
    if (!current(*pass))
        return;
    if (!errorText.isEmpty()) {
        status_.ShowStatus(QStringLiteral("连接数据库 错误:") + errorText);
        return;
    }
    std::shared_ptr<Recordset> rs;
    const QString failed = runSearch(searchindex::Mode::Title, key, *pass, rs);
    if (!current(*pass))
        return;
    const QString prefix = QStringLiteral("uVornik.SearchFileName");
    // The cause itself, not the closed recordset it leaves behind (a stopped server, a missing
    // table, a cancelled login).
    if (!failed.isEmpty())
        status_.ShowStatus(prefix + failed);
    else
        showResult(*rs, *pass, false, key, prefix);
}

void ResultLoader::SearchTxtData(const QString& key) {
    const std::optional<CommandGate::Pass> pass =
        gate_.enter(CommandGate::Kind::Load, QStringLiteral("查询"));
    if (!pass)
        return;
    const QString errorText = session_.openIfNeededNow().status().description();
    if (!current(*pass))
        return;
    if (!errorText.isEmpty()) {
        // Also on the status line, which would otherwise keep the search's first line (the time).
        status_.ShowStatus(QStringLiteral("连接数据库 错误:") + errorText);
        messageBoxes().information(dialogParent_, QStringLiteral("连接数据库出错:") + errorText);
        return;
    }
    std::shared_ptr<Recordset> rs;
    const QString failed = runSearch(searchindex::Mode::FullText, key, *pass, rs);
    if (!current(*pass))
        return;
    if (!failed.isEmpty()) {
        status_.ShowStatus(QStringLiteral("uVornik.SearchTxtData Error:") + failed + QStringLiteral("  "));
        return;
    }
    showResult(*rs, *pass, true, key, QStringLiteral("uVornik.SearchTxtData"));
}

Status ResultLoader::listing(bool withContent) {
    const std::optional<CommandGate::Pass> pass = gate_.enter(
        CommandGate::Kind::Load, withContent ? QStringLiteral("显示数据1") : QStringLiteral("显示数据2"));
    if (!pass)
        return {};
    (void)session_.openIfNeededNow();
    if (!current(*pass))
        return {};
    const QString sql = withContent ? QStringLiteral("select `dataid`,`name`,`data` from SearchTxt_Data")
                                    : QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name");
    std::shared_ptr<Recordset> rs;
    const QString failed = runStatement(sql, {}, pass->cancellation(), rs);
    if (!current(*pass))
        return {};
    if (!failed.isEmpty())
        return Status::failure(failed);
    // The list and the result are replaced only once there is a first row to replace them with.
    if (rs->State() != Connection::kStateOpen)
        return Status::failure(QStringLiteral("对象关闭时，不允许操作"));
    if (rs->RecordCount() < 1)
        return Status::failure(QStringLiteral("BOF 或 EOF 中有一个是“真”，或者当前记录已被删除"));
    QString error;
    const Load load = loadRows(*rs, *pass, withContent, QString(), &error);
    if (load == Load::Failed)
        return Status::failure(error);
    if (load == Load::Done)
        status_.ShowStatus(QStringLiteral("loaded OK"));
    return {};
}
