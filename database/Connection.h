#pragma once
// The shared connection: a MariaDB Connector/C handle that lives on a thread of its own. The window
// thread hands it one operation at a time (in the order asked) and awaits it: a coroutine suspends at
// `co_await connection.run(...)` and is resumed from the event loop when the finished result comes
// back whole, so the window keeps painting and handling input while a host name is resolved, a
// statement runs or a large result arrives and is turned into text. A handler that runs meanwhile may
// issue its own operations: they wait their turn.
//
// Values reach the server only as bound parameters of prepared statements, never inside the
// statement's text, so no session setting (character set, NO_BACKSLASH_ESCAPES, set by the server's
// init_connect or a restart) can turn a value into SQL. Every session, the ones reopened after the
// server ended one included, is pinned to utf8mb4 after the server's own start-up statements, and
// its backslash mode is read from the server for callers that still write their own text statements.
// What a session may send to whom (TLS, the server's certificate, login methods) is database/Transport's:
// no credential reaches a server that has not proven who it is. Every wait, over TLS too, is the
// connection's own, so a cancel, the read time-out or a close always ends it.
#include "database/ConnectionString.h"
#include "util/Co.h"
#include "util/Status.h"
#include "util/TextColumn.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <mysql.h>

// Closing forgets the password the client library keeps for the session.
struct MysqlClose {
    void operator()(MYSQL* m) const;
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlClose>;

struct MysqlFreeResult {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using MysqlResultPtr = std::unique_ptr<MYSQL_RES, MysqlFreeResult>;

// A statement's rows, read in full and converted to text on the connection's thread.
struct ResultTable {
    QStringList names; // field names, as the statement gave them
    QString table;     // base table of the first field that has one, empty for none
    // One column per field: a text per row (a NULL marked as such, read as empty text), then one
    // empty text more, so that a column can be taken as the rows with an empty end element (the
    // control's result arrays) without a copy.
    std::vector<TextColumn> columns;
    qint64 rowCount() const { return columns.empty() ? 0 : columns.front().size() - 1; }
};

// What a statement gave back: rows or none.
struct QueryOutcome {
    std::shared_ptr<const ResultTable> result; // null for a statement without rows
    quint64 affectedRows = 0;
};

// The values bound to a statement's "?" placeholders, in order: QString (sent as utf8mb4 text),
// QDateTime (as "yyyy-MM-dd HH:mm:ss"), or a null QVariant for NULL.
using SqlParams = QVariantList;

// A caller's hold on the statements it starts. Cancelling ends a running statement on the server
// (KILL QUERY from a second session), converts none of its remaining rows and hands the caller an
// error marked cancelled; the connection stays open for the next statement. Any thread may cancel.
class Cancellation {
public:
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

private:
    friend class Connection;
    void setWake(std::function<void()> wake);
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::function<void()> wake_;
};

class HostLookup;
class QEvent;

class Connection : public QObject {
    Q_OBJECT
public:
    explicit Connection(QObject* parent = nullptr);
    // Host names are resolved through `lookup` (not owned; null: hostLookup()) on the connection's thread.
    explicit Connection(HostLookup* lookup, QObject* parent = nullptr);
    // Never waits for the server: an operation still running is abandoned, and every coroutine waiting
    // on this connection is resumed, before the destructor returns, with an error marked cancelled
    // ("数据库连接已被释放"). Such a coroutine touches nothing that may have gone with the connection.
    ~Connection() override;

    bool isOpen() const { return open_; }

    // Opens a session with `params` (the previous one is closed first).
    Co<Status> open(ConnectionParams params);
    // Returns at once. Statements already issued still run and their callers get their results; an
    // open still in progress is cancelled (its caller gets an error marked cancelled); the handle is
    // closed on the connection's thread after them, and the account it was opened with forgotten.
    void close();

    // Runs `sql`: with `params`, as a prepared statement with those values bound to its "?"
    // placeholders; without, as text. `cancel`, when given, lets the caller end it early.
    Co<Result<QueryOutcome>> run(QString sql, SqlParams params = {},
                                 std::shared_ptr<Cancellation> cancel = {});
    // The same for a statement without rows: the number of rows it affected.
    Co<Result<quint64>> execute(QString sql, SqlParams params = {});

    Co<Status> begin();
    Co<Status> commit();
    Co<Status> rollback();
    // For a destructor, which never waits: sends ROLLBACK of the open transaction and returns. Operations
    // run in order, so the next statement comes after it.
    void rollbackDetached();
    bool inTransaction() const { return transactionDepth_ > 0; }

    // Whether the open session reads a backslash in a string literal as itself (NO_BACKSLASH_ESCAPES),
    // as the server reported it after the session was pinned and after each statement since.
    bool noBackslashEscapes() const { return noBackslashEscapes_; }

    // Read time-out of a statement in seconds (taken at the next open); its expiry is reported as
    // Error::kTimeout, and the statement is ended on the server too.
    void setReadTimeoutSeconds(unsigned int seconds) { readTimeoutSeconds_ = seconds; }

    // Why the connection is not open, added to the error of a statement run on it (for example
    // a cancelled login), so a later failure names its cause.
    void setClosedReason(const QString& reason) { closedReason_ = reason; }

    // True while an operation is queued or in flight.
    bool isBusy() const { return !pending_.empty(); }

    // Called on the connection's thread each time another 4096 rows of a result have arrived, with the
    // count so far; lets a test act at a known point of a transfer. Taken when a statement is issued.
    void setRowsReceivedHook(std::function<void(qint64)> hook) { rowsHook_ = std::move(hook); }

    // ---- The synchronous bridge -----------------------------------------------------------------
    // The synchronous calls, for programs waiting at their own edge: vornik-admin, the benchmarks and
    // the tests' set-up (nothing of the control uses them). Each runs the coroutine above in a nested event
    // loop (waitNested), as these calls always did, so other handlers run meanwhile. When that loop ends
    // without the operation (the application is quitting: every loop ends), the operation is abandoned
    // with a cancelled error ("…程序正在退出…") and the connection closed: an unfinished operation never
    // counts as done.
    static constexpr int kStateClosed = 0;
    static constexpr int kStateOpen = 1;
    int State() const { return open_ ? kStateOpen : kStateClosed; }
    // With an ODBC-style connection string (see ConnectionString.h).
    Status Open(const QString& connectionString);
    void Close() { close(); }
    Result<QueryOutcome> query(const QString& sql, const SqlParams& params = {},
                               const std::shared_ptr<Cancellation>& cancel = {});
    Status Execute(const QString& sql, const SqlParams& params = {}, quint64* recordsAffected = nullptr);
    Status BeginTrans();
    Status CommitTrans();
    Status RollbackTrans();

    struct Operation;
    struct Worker;

protected:
    void customEvent(QEvent* event) override;

private:
    class Await;
    enum class Tx { None, Begin, Commit, Rollback };
    // Each start* builds an operation and submits it (or says why not); the caller then awaits it.
    std::shared_ptr<Operation> newOperation(int kind);
    std::shared_ptr<Operation> startOpen(ConnectionParams params);
    Result<std::shared_ptr<Operation>> startStatement(QString sql, SqlParams params,
                                                      std::shared_ptr<Cancellation> cancel, Tx tx);
    Result<std::shared_ptr<Operation>> startTransactionStep(Tx tx);
    Co<Status> transactionStep(Tx tx);
    void submit(const std::shared_ptr<Operation>& op);
    void cancel(const std::shared_ptr<Operation>& op, const QString& reason);
    void complete(const std::shared_ptr<Operation>& op);
    void settle(Operation& op);
    void stopWorker();
    // The bridge's (ConnectionBridge.cpp).
    static Co<Status> finished(std::shared_ptr<Operation> op);
    Status waitNestedFor(const std::shared_ptr<Operation>& op);
    Status bridgedTransactionStep(Tx tx);
    void interrupt(const std::shared_ptr<Operation>& op);
    bool openInProgress() const;
    Error notOpenError() const;

    HostLookup* lookup_ = nullptr;
    std::shared_ptr<Worker> worker_;
    std::thread thread_;
    std::vector<std::shared_ptr<Operation>> pending_; // issued and not yet handed back, in order
    quint64 generation_ = 0; // bumped by every open and close: operations of older ones lose their say
    bool open_ = false;
    bool released_ = false; // in the destructor: nothing more is taken
    bool noBackslashEscapes_ = false;
    int transactionDepth_ = 0;
    unsigned int readTimeoutSeconds_ = 30;
    QString closedReason_;
    std::function<void(qint64)> rowsHook_;
};
