#include "control/ResultLoader.h"

#include "control/ListBox.h"
#include "control/ResultSet.h"
#include "control/StatusLine.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "ui/MessageBoxes.h"
#include "util/Await.h"
#include "util/BackgroundRelease.h"
#include "util/Handlers.h"
#include "util/Nested.h"

#include <QCoreApplication>

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

// What a statement returns whose loader went while it waited (the control closed under RsOpen).
const QString kLoaderGone = QStringLiteral("数据库操作未完成：控件已关闭");

// What a superseded step returns: its caller sees the pass superseded and shows nothing of it.
const QString kSuperseded = QStringLiteral("superseded");

} // namespace

ResultLoader::ResultLoader(StatusLine& status, ListBox* list, CommandGate& gate, Session& session,
                           ResultSet& results, QWidget* dialogParent, Handlers& handlers)
    : status_(status), list_(list), gate_(gate), session_(session), results_(results),
      dialogParent_(dialogParent), handlers_(handlers) {
    onQuit_ = QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                               [this] { endSearchOnQuit(); });
}

ResultLoader::~ResultLoader() {
    QObject::disconnect(onQuit_);
}

void ResultLoader::endSearchOnQuit() {
    if (!gate_.busy(CommandGate::Kind::Load) || quitPrefix_.isEmpty())
        return;
    // The search's coroutine, resumed later if ever, finds itself superseded and shows nothing more.
    gate_.cancelLoadsAndLooks();
    const QString why = quittingError().description;
    status_.ShowStatus(QStringLiteral("SQL 出错：") + why);
    status_.ShowStatus(std::exchange(quitPrefix_, QString()) + why + std::exchange(quitSuffix_, QString()));
}

bool ResultLoader::current(const CommandGate::Pass& pass, ResultLoader* self) {
    if (pass.superseded())
        return false; // also when the control, and `self` with it, went meanwhile
    if (self->afterYield_)
        self->afterYield_();
    return !pass.superseded();
}

Co<QString> ResultLoader::runStatement(QString sql, SqlParams params, std::shared_ptr<Cancellation> cancel,
                                       std::shared_ptr<Recordset> result) {
    const Lifetime::Watch alive = lifetime_.watch();
    status_.ShowStatus(QStringLiteral("开始执行SQL..."));
    co_await await::nextTurn(); // the line paints before the statement is sent
    if (alive.expired())
        co_return kLoaderGone;
    if (cancel && cancel->isCancelled())
        co_return kSuperseded;
    const Status status = co_await openStatement(std::move(sql), std::move(params), cancel, result);
    if (alive.expired())
        co_return kLoaderGone;
    QString failed = co_await reportStatement(status, cancel);
    co_return failed;
}

Co<Status> ResultLoader::openStatement(QString sql, SqlParams params, std::shared_ptr<Cancellation> cancel,
                                       std::shared_ptr<Recordset> result) {
    ++statementsRun_;
    lastStatement_ = sql;
    rs_ = result;
    Connection* conn = session_.connection();
    if (!conn)
        co_return Status::failure(QStringLiteral("数据库连接对象不存在"));
    // Nothing of `this` after the wait: the caller looks whether the loader is still there.
    Status status = co_await result->open(std::move(sql), std::move(params), *conn, std::move(cancel));
    co_return status;
}

Co<> ResultLoader::reopenAfterTimeout() {
    Session& session = session_;
    session.connectionSlot().reset();
    const Result<Session::Opened> reopened = co_await session.openIfNeeded();
    (void)reopened; // a failure shows at the next statement
}

Co<QString> ResultLoader::reportStatement(Status status, std::shared_ptr<Cancellation> cancel) {
    if (status.cancelled() && cancel && cancel->isCancelled())
        co_return status.description(); // superseded: the newer statement owns the status line
    if (!status) {
        if (status.error().isTimeout()) {
            // Drop the connection and reopen it with the held account; the statement is not run
            // again and counts as run, so its caller finds the recordset closed.
            co_await reopenAfterTimeout();
            co_return QString();
        }
        status_.ShowStatus(QStringLiteral("SQL 出错：") + status.description());
        co_return status.description();
    }
    status_.ShowStatus(QStringLiteral("SQL 执行完成!"));
    co_return QString();
}

Co<ResultLoader::Ran> ResultLoader::runSearch(searchindex::Mode mode, QString key,
                                              const CommandGate::Pass& pass) {
    const std::shared_ptr<Cancellation> cancel = pass.cancellation();
    Ran ran;
    status_.ShowStatus(QStringLiteral("开始执行SQL..."));
    co_await await::nextTurn(); // the line paints before the first statement is sent
    if (!current(pass, this))
        co_return Ran{kSuperseded, nullptr};
    // The planner's few small statements decide whether the index can answer; any doubt (no
    // companion database, a failure, a time-out) leaves it at the scan. Each waits, so the pass and
    // the shared connection are looked at afresh after each.
    searchindex::SearchPlanner planner(session_.settings().database, mode, key);
    while (const std::optional<searchindex::Statement> step = planner.next()) {
        if (!stillOpen(session_))
            break;
        QString sql = step->sql;
        SqlParams params = step->params;
        const Result<QueryOutcome> outcome = co_await session_.connection()->run(sql, params, cancel);
        if (!current(pass, this))
            co_return Ran{outcome ? kSuperseded : outcome.error().description, nullptr};
        if (!outcome && outcome.error().isTimeout()) {
            co_await reopenAfterTimeout();
            if (!current(pass, this))
                co_return Ran{outcome.error().description, nullptr};
            break;
        }
        if (!outcome && !stillOpen(session_)) {
            const Status lost = outcome.status();
            QString failed = co_await reportStatement(lost, cancel);
            co_return Ran{failed, nullptr};
        }
        planner.take(outcome);
    }
    // A local copy: a newer search that runs while this one waits replaces lastPlan_.
    searchindex::Plan plan = planner.plan();
    lastPlan_ = plan;
    if (plan.usesIndex) {
        ran.rs = std::make_shared<Recordset>();
        const Status status =
            co_await openStatement(plan.statement.sql, plan.statement.params, cancel, ran.rs);
        if (!current(pass, this))
            co_return Ran{status.description(), nullptr};
        if (status || (status.cancelled() && cancel && cancel->isCancelled()) ||
            (!status.error().isTimeout() && !stillOpen(session_))) {
            ran.failed = co_await reportStatement(status, cancel);
            co_return ran;
        }
        if (status.error().isTimeout()) {
            co_await reopenAfterTimeout();
            if (!current(pass, this))
                co_return Ran{status.description(), nullptr};
        }
        // The index went away or changed under the plan (a rebuild, a removal): the scan answers.
        plan.usesIndex = false;
        plan.why = QStringLiteral("the index's statement failed: ") + status.description();
        plan.statement = searchindex::scanStatement(mode, key);
        lastPlan_ = plan;
    }
    ran.rs = std::make_shared<Recordset>();
    const Status status = co_await openStatement(plan.statement.sql, plan.statement.params, cancel, ran.rs);
    if (!current(pass, this))
        co_return Ran{status.description(), nullptr};
    ran.failed = co_await reportStatement(status, cancel);
    co_return ran;
}

Co<ResultLoader::Loaded> ResultLoader::loadRows(std::shared_ptr<Recordset> rs, const CommandGate::Pass& pass,
                                                bool withContent, QString key) {
    const qint64 n = rs->RecordCount();
    const int nameField = rs->fieldIndex(QStringLiteral("name"));
    const int idField = rs->fieldIndex(QStringLiteral("dataid"));
    const int dataField = withContent ? rs->fieldIndex(QStringLiteral("data")) : -1;
    for (const int field : {nameField, idField, withContent ? dataField : idField}) {
        if (field < 0)
            co_return Loaded{Load::Failed, QStringLiteral("在对应所需名称或序数的集合中，未找到项目")};
    }
    // A NULL reads as empty text: a record another tool wrote without a title or a body is listed
    // like the others.
    const TextColumn names = rs->column(nameField);

    // The list first, while the old result still holds its titles: freeing them is left to the pool.
    list_->clear();
    releaseLater(std::move(results_.names));
    releaseLater(std::move(results_.data));
    releaseLater(std::move(results_.ids));
    // Each column shares one of N + 1 texts, the last empty; a title load's placeholders are one
    // text for every row, which costs nothing per row.
    results_.names = names;
    results_.ids = rs->column(idField);
    results_.data = withContent ? rs->column(dataField) : TextColumn::repeated(ResultSet::kNoContent, n);
    results_.contentsHeld = withContent;
    results_.key = key;

    // The first row alone, so that its index shows at once; then growing steps, so that a million
    // rows take some fifteen yields, not hundreds, and no step holds the window long.
    for (qint64 i = 0; i < n;) {
        const qint64 end = i == 0 ? 1 : std::min(n, i + std::clamp(i, kMinRowsPerStep, kMaxRowsPerStep));
        list_->showRows(names, end);
        i = end;
        status_.ShowStatus(QStringLiteral("正在读取数据:") + QString::number(i - 1));
        co_await await::nextTurn(); // the step and its line paint before the next one
        if (!current(pass, this))
            co_return Loaded{Load::Superseded, QString()}; // a newer load owns the result and the list now
    }
    co_return Loaded{};
}

Co<> ResultLoader::showResult(std::shared_ptr<Recordset> rs, const CommandGate::Pass& pass, bool withContent,
                              QString key, QString errorPrefix) {
    Loaded loaded;
    if (rs->State() != Connection::kStateOpen) {
        // The statement timed out and was dropped with its connection.
        loaded = Loaded{Load::Failed, QStringLiteral("对象关闭时，不允许操作")};
    } else if (rs->RecordCount() >= 1) {
        loaded = co_await loadRows(rs, pass, withContent, key);
    } else {
        list_->clear();
    }
    if (loaded.load == Load::Superseded)
        co_return;
    status_.ShowStatus(loaded.load == Load::Failed ? errorPrefix + loaded.error
                                                   : QStringLiteral("loaded OK"));
}

void ResultLoader::SearchFileName(const QString& key) {
    handlers_.start(searchFileName(key));
}

void ResultLoader::SearchTxtData(const QString& key) {
    handlers_.start(searchTxtData(key));
}

Co<> ResultLoader::searchFileName(QString key) {
    const std::optional<CommandGate::Pass> pass =
        gate_.enter(CommandGate::Kind::Load, QStringLiteral("查询"));
    if (!pass)
        co_return;
    list_->clear();
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    if (!current(*pass, this))
        co_return;
    const QString errorText = opened.status().description();
    if (!errorText.isEmpty()) {
        status_.ShowStatus(QStringLiteral("连接数据库 错误:") + errorText);
        co_return;
    }
    const QString prefix = QStringLiteral("uVornik.SearchFileName");
    quitPrefix_ = prefix;
    quitSuffix_.clear();
    const Ran ran = co_await runSearch(searchindex::Mode::Title, key, *pass);
    if (!current(*pass, this))
        co_return;
    quitPrefix_.clear();
    // The cause itself, not the closed recordset it leaves behind (a stopped server, a missing
    // table, a cancelled login).
    if (!ran.failed.isEmpty())
        status_.ShowStatus(prefix + ran.failed);
    else
        co_await showResult(ran.rs, *pass, false, key, prefix);
}

Co<> ResultLoader::searchTxtData(QString key) {
    const std::optional<CommandGate::Pass> pass =
        gate_.enter(CommandGate::Kind::Load, QStringLiteral("查询"));
    if (!pass)
        co_return;
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    if (!current(*pass, this))
        co_return;
    const QString errorText = opened.status().description();
    if (!errorText.isEmpty()) {
        // Also on the status line, which would otherwise keep the search's first line (the time).
        status_.ShowStatus(QStringLiteral("连接数据库 错误:") + errorText);
        const QString text = QStringLiteral("连接数据库出错:") + errorText;
        co_await messageBoxes().informationBox(dialogParent_, text);
        co_return;
    }
    quitPrefix_ = QStringLiteral("uVornik.SearchTxtData Error:");
    quitSuffix_ = QStringLiteral("  ");
    const Ran ran = co_await runSearch(searchindex::Mode::FullText, key, *pass);
    if (!current(*pass, this))
        co_return;
    quitPrefix_.clear();
    if (!ran.failed.isEmpty()) {
        status_.ShowStatus(QStringLiteral("uVornik.SearchTxtData Error:") + ran.failed +
                           QStringLiteral("  "));
        co_return;
    }
    co_await showResult(ran.rs, *pass, true, key, QStringLiteral("uVornik.SearchTxtData"));
}

Co<Status> ResultLoader::listing(bool withContent) {
    const std::optional<CommandGate::Pass> pass = gate_.enter(
        CommandGate::Kind::Load, withContent ? QStringLiteral("显示数据1") : QStringLiteral("显示数据2"));
    if (!pass)
        co_return Status();
    const Result<Session::Opened> opened = co_await session_.openIfNeeded();
    (void)opened; // a failure shows as the statement's
    if (!current(*pass, this))
        co_return Status();
    QString sql = withContent ? QStringLiteral("select `dataid`,`name`,`data` from SearchTxt_Data")
                              : QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name");
    const auto rs = std::make_shared<Recordset>();
    SqlParams none;
    const QString failed = co_await runStatement(sql, none, pass->cancellation(), rs);
    if (!current(*pass, this))
        co_return Status();
    if (!failed.isEmpty())
        co_return Status::failure(failed);
    // The list and the result are replaced only once there is a first row to replace them with.
    if (rs->State() != Connection::kStateOpen)
        co_return Status::failure(QStringLiteral("对象关闭时，不允许操作"));
    if (rs->RecordCount() < 1)
        co_return Status::failure(QStringLiteral("BOF 或 EOF 中有一个是“真”，或者当前记录已被删除"));
    const Loaded loaded = co_await loadRows(rs, *pass, withContent, QString());
    if (loaded.load == Load::Failed)
        co_return Status::failure(loaded.error);
    if (loaded.load == Load::Done)
        status_.ShowStatus(QStringLiteral("loaded OK"));
    co_return Status();
}
