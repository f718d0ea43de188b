// The synchronous bridge (see Connection.h): the former synchronous calls, each waiting for the coroutine
// operation in a nested event loop, for programs waiting at their own edge (vornik-admin, the benchmarks).
#include "database/Connection.h"

#include "database/ConnectionThread.h"
#include "util/Nested.h"

#include <QPointer>

void Connection::interrupt(const std::shared_ptr<Operation>& op) {
    // Nobody will read this operation's outcome: stop it and forget the handle it was using.
    op->finished = true;
    op->verdict = quittingError();
    cancel(op, op->verdict->description);
    std::erase(pending_, op);
    if (op->kind != kClose) {
        open_ = false;
        transactionDepth_ = 0;
        ++generation_;
    }
    op->resumeWaiter(); // the nested wait's own coroutine, which ends here
}

Status Connection::waitNestedFor(const std::shared_ptr<Operation>& op) {
    const QPointer<Connection> self(this);
    if (std::optional<Status> done = waitNested(finished(op)))
        return std::move(*done);
    // The loop ended without the operation (the application is quitting: that ends every event loop,
    // and a new one returns at once). `this` is still here: a release would have finished it.
    if (self)
        interrupt(op);
    return op->verdict ? Status(*op->verdict) : Status();
}

Status Connection::Open(const QString& connectionString) {
    return waitNestedFor(startOpen(parseConnectionString(connectionString)));
}

Result<QueryOutcome> Connection::query(const QString& sql, const SqlParams& params,
                                       const std::shared_ptr<Cancellation>& cancel) {
    const Result<std::shared_ptr<Operation>> op = startStatement(sql, params, cancel, Tx::None);
    if (!op)
        return op.error();
    // `this` may be gone after the wait: only `op` from here on.
    if (const Status status = waitNestedFor(op.value()); !status)
        return status.error();
    return std::move(op.value()->outcome);
}

Status Connection::Execute(const QString& sql, const SqlParams& params, quint64* recordsAffected) {
    auto r = query(sql, params);
    if (!r)
        return r.error();
    if (recordsAffected)
        *recordsAffected = r.value().affectedRows;
    return {};
}

Status Connection::bridgedTransactionStep(Tx tx) {
    const Result<std::shared_ptr<Operation>> op = startTransactionStep(tx);
    if (!op)
        return op.error();
    return waitNestedFor(op.value());
}

Status Connection::BeginTrans() {
    return bridgedTransactionStep(Tx::Begin);
}

Status Connection::CommitTrans() {
    return bridgedTransactionStep(Tx::Commit);
}

Status Connection::RollbackTrans() {
    return bridgedTransactionStep(Tx::Rollback);
}
