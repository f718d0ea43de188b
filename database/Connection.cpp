#include "database/Connection.h"

#include "database/ConnectionThread.h"

#include <QEvent>

#include <chrono>

namespace {
// How long a released connection waits for its thread to close the handle politely before leaving
// it to finish on its own.
constexpr auto kJoinWait = std::chrono::milliseconds(250);
} // namespace

void Cancellation::cancel() {
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (wake_)
        wake_();
}

void Cancellation::setWake(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

// ---- The window side ---------------------------------------------------------------------------

// Suspends unless the operation is handed back already; complete() (or the destructor, or the
// bridge's interrupt) resumes it exactly once, with the operation's verdict.
class Connection::Await {
public:
    explicit Await(std::shared_ptr<Operation> op) : op_(std::move(op)) {}
    bool await_ready() const noexcept { return op_->finished; }
    void await_suspend(std::coroutine_handle<> h) noexcept { op_->waiter = h; }
    Status await_resume() const { return op_->verdict ? Status(*op_->verdict) : Status(); }

private:
    std::shared_ptr<Operation> op_;
};

Co<Status> Connection::finished(std::shared_ptr<Operation> op) {
    co_return co_await Await(std::move(op));
}

Connection::Connection(QObject* parent) : Connection(nullptr, parent) {}

Connection::Connection(HostLookup* lookup, QObject* parent) : QObject(parent), lookup_(lookup) {
    // The client library's global set-up is not safe to race from two connection threads.
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mysql_library_init(0, nullptr, nullptr); });
}

Connection::~Connection() {
    released_ = true;
    stopWorker();
    if (thread_.joinable()) {
        std::unique_lock lock(worker_->mutex);
        if (worker_->exitedCv.wait_for(lock, kJoinWait, [this] { return worker_->exited; })) {
            lock.unlock();
            thread_.join();
        } else {
            // Still in a name lookup or a connect: it ends by itself and frees what it holds.
            thread_.detach();
        }
    }
    // Last, with every member still whole: each waiter learns the connection is gone, in the order
    // issued. Resumed at once, not posted: a posted resume would be lost when the application ends first.
    const auto waiting = std::move(pending_);
    for (const auto& op : waiting) {
        if (op->finished)
            continue;
        op->finished = true;
        op->verdict = cancelledError(QStringLiteral("数据库连接已被释放"));
        op->resumeWaiter();
    }
}

void Connection::stopWorker() {
    if (!worker_)
        return;
    std::unique_lock lock(worker_->mutex);
    worker_->owner = nullptr;
    for (const auto& op : worker_->queue)
        op->cancelled = true;
    worker_->queue.clear();
    for (const auto& op : pending_)
        op->cancelled = true; // the one in flight stops at its next wait
    worker_->quit = true;
    lock.unlock();
    worker_->wake.notify_all();
    worker_->poke();
}

Error Connection::notOpenError() const {
    QString text = QStringLiteral("数据库连接未打开");
    if (!closedReason_.isEmpty())
        text += QStringLiteral("（%1）").arg(closedReason_);
    return Error{Error::kProviderError, text, 0};
}

std::shared_ptr<Connection::Operation> Connection::newOperation(int kind) {
    auto op = std::make_shared<Operation>();
    op->kind = kind;
    op->generation = generation_;
    return op;
}

void Connection::submit(const std::shared_ptr<Operation>& op) {
    if (released_) {
        // Asked for by a waiter resumed from the destructor: refused at once.
        op->finished = true;
        op->verdict = cancelledError(QStringLiteral("数据库连接已被释放"));
        return;
    }
    if (!worker_) {
        worker_ = std::make_shared<Worker>();
        worker_->owner = this;
        worker_->lookup = lookup_;
        thread_ = std::thread(&Worker::main, worker_);
    }
    pending_.push_back(op);
    {
        std::lock_guard lock(worker_->mutex);
        worker_->queue.push_back(op);
    }
    worker_->wake.notify_one();
}

void Connection::cancel(const std::shared_ptr<Operation>& op, const QString& reason) {
    if (op->cancelled)
        return;
    op->cancelReason = reason;
    op->cancelled = true;
    if (worker_)
        worker_->poke();
}

bool Connection::openInProgress() const {
    for (const auto& op : pending_) {
        if (op->kind == kOpen && op->generation == generation_ && !op->cancelled)
            return true;
    }
    return false;
}

void Connection::customEvent(QEvent* event) {
    if (event->type() != finishedEventType() || !worker_)
        return;
    std::vector<std::shared_ptr<Operation>> finished;
    {
        std::lock_guard lock(worker_->mutex);
        finished.swap(worker_->done);
    }
    // A resumed coroutine may release this connection: the destructor then resumes the rest.
    const QPointer<Connection> self(this);
    for (const auto& op : finished) {
        complete(op);
        if (!self)
            return;
    }
}

void Connection::complete(const std::shared_ptr<Operation>& op) {
    std::erase(pending_, op);
    if (op->finished)
        return; // given up by its waiter already (the program is quitting)
    op->finished = true;
    settle(*op);
    op->resumeWaiter(); // last: the resumed coroutine may release this connection
}

// The operation's verdict, and what it tells about the session.
void Connection::settle(Operation& op) {
    const bool current = op.generation == generation_;
    if (op.givenUp()) {
        QString reason = op.cancelReason;
        if (reason.isEmpty())
            reason = op.cancelled ? QStringLiteral("数据库操作已取消") : QStringLiteral("语句已被取消");
        op.verdict = cancelledError(reason);
        op.outcome = {};
    } else if (op.notOpen) {
        op.verdict = notOpenError();
    } else {
        op.verdict = op.error;
        if (op.kind == kOpen && !op.error && current) {
            open_ = true;
            transactionDepth_ = 0;
        }
        if (!op.error && current && (op.tx == Tx::Begin || op.tx == Tx::Commit))
            transactionDepth_ = op.tx == Tx::Begin ? 1 : 0;
    }
    // Whatever the server said, a rollback ends the transaction: a lost connection rolls back by itself.
    if (op.tx == Tx::Rollback && current)
        transactionDepth_ = 0;
    if (op.handleLost && current) {
        // Not left marked open: the next connect reopens it. A lost connection rolled back by itself.
        open_ = false;
        transactionDepth_ = 0;
    }
    if (op.statusKnown && current)
        noBackslashEscapes_ = op.noBackslashEscapes;
}

std::shared_ptr<Connection::Operation> Connection::startOpen(ConnectionParams params) {
    close();
    closedReason_.clear();
    ++generation_;
    auto op = newOperation(kOpen);
    op->connect = std::move(params);
    op->readTimeoutSeconds = readTimeoutSeconds_;
    submit(op);
    return op;
}

Result<std::shared_ptr<Connection::Operation>>
Connection::startStatement(QString sql, SqlParams params, std::shared_ptr<Cancellation> cancel, Tx tx) {
    if (!open_ && !openInProgress())
        return notOpenError();
    if (cancel && cancel->isCancelled())
        return cancelledError(QStringLiteral("语句已被取消"));
    auto op = newOperation(kQuery);
    op->text = sql.toUtf8();
    op->prepared = !params.isEmpty();
    op->params = std::move(params);
    op->rowsHook = rowsHook_;
    op->mayReconnect = transactionDepth_ == 0;
    op->tx = tx;
    op->caller = std::move(cancel);
    submit(op);
    if (op->caller)
        op->caller->setWake([worker = std::weak_ptr<Worker>(worker_)] {
            if (const auto w = worker.lock())
                w->poke();
        });
    return op;
}

// The operation of a transaction's step, submitted; or why none was.
Result<std::shared_ptr<Connection::Operation>> Connection::startTransactionStep(Tx tx) {
    if (tx == Tx::Begin && transactionDepth_ > 0)
        return Error{Error::kProviderError, QStringLiteral("事务已经开始，不支持嵌套事务"), 0};
    if (tx != Tx::Begin && transactionDepth_ == 0)
        return Error{Error::kProviderError, QStringLiteral("没有活动的事务"), 0};
    const QString sql = tx == Tx::Begin    ? QStringLiteral("START TRANSACTION")
                        : tx == Tx::Commit ? QStringLiteral("COMMIT")
                                           : QStringLiteral("ROLLBACK");
    Result<std::shared_ptr<Operation>> op = startStatement(sql, {}, {}, tx);
    if (!op && tx == Tx::Rollback)
        transactionDepth_ = 0; // over either way
    return op;
}

void Connection::close() {
    open_ = false;
    transactionDepth_ = 0;
    ++generation_;
    for (const auto& op : pending_) {
        if (op->kind == kOpen)
            cancel(op, QStringLiteral("数据库连接已关闭，打开被取消"));
    }
    if (worker_)
        submit(newOperation(kClose));
}

Co<Status> Connection::open(ConnectionParams params) {
    co_return co_await Await(startOpen(std::move(params)));
}

Co<Result<QueryOutcome>> Connection::run(QString sql, SqlParams params,
                                         std::shared_ptr<Cancellation> cancel) {
    Result<std::shared_ptr<Operation>> op =
        startStatement(std::move(sql), std::move(params), std::move(cancel), Tx::None);
    if (!op)
        co_return op.error();
    const Status status = co_await Await(op.value());
    // `this` may be gone by now (released while waiting, which failed the operation): only `op` from here.
    if (!status)
        co_return status.error();
    co_return std::move(op.value()->outcome);
}

Co<Result<quint64>> Connection::execute(QString sql, SqlParams params) {
    const Result<QueryOutcome> r = co_await run(std::move(sql), std::move(params));
    if (!r)
        co_return r.error();
    co_return Result<quint64>(r.value().affectedRows);
}

Co<Status> Connection::transactionStep(Tx tx) {
    Result<std::shared_ptr<Operation>> op = startTransactionStep(tx);
    if (!op)
        co_return op.error();
    co_return co_await Await(op.value());
}

Co<Status> Connection::begin() {
    return transactionStep(Tx::Begin);
}

Co<Status> Connection::commit() {
    return transactionStep(Tx::Commit);
}

Co<Status> Connection::rollback() {
    return transactionStep(Tx::Rollback);
}

void Connection::rollbackDetached() {
    if (transactionDepth_ == 0 || !open_)
        return;
    // Over from here on, whatever the server says: the next statement may reopen a lost session.
    (void)startStatement(QStringLiteral("ROLLBACK"), {}, {}, Tx::Rollback);
    transactionDepth_ = 0;
}
