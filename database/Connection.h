#pragma once
// The shared connection: a MariaDB Connector/C handle that lives on a thread of its own. The window
// thread hands it one operation at a time (in the order asked) and waits in a nested event loop, so
// the window keeps painting and handling input while a host name is resolved, a statement runs or a
// large result arrives and is turned into text; the finished result comes back whole. A handler that
// runs meanwhile may issue its own operations: they wait their turn.
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

class QEvent;

class Connection : public QObject {
    Q_OBJECT
public:
    static constexpr int kStateClosed = 0;
    static constexpr int kStateOpen = 1;

    explicit Connection(QObject* parent = nullptr);
    // Never waits for the server: an operation still running is abandoned, its waiter gets an error.
    ~Connection() override;

    int State() const { return open_ ? kStateOpen : kStateClosed; }

    // Opens with an ODBC-style connection string (see ConnectionString.h). The host name is resolved
    // through hostLookup() on the connection's thread.
    Status Open(const QString& connectionString);
    // Returns at once. Statements already issued still run and their callers get their results; an
    // open still in progress is cancelled (its caller gets an error marked cancelled); the handle is
    // closed on the connection's thread after them, and the account it was opened with forgotten.
    void Close();

    // Number of provider errors since the last open.
    int ErrorsCount() const { return errorsCount_; }

    // Runs `sql`: with `params`, as a prepared statement with those values bound to its "?"
    // placeholders; without, as text. `cancel`, when given, lets the caller end it early.
    Result<QueryOutcome> query(const QString& sql, const SqlParams& params = {},
                               const std::shared_ptr<Cancellation>& cancel = {});
    Status Execute(const QString& sql, const SqlParams& params = {}, quint64* recordsAffected = nullptr);

    Status BeginTrans();
    Status CommitTrans();
    Status RollbackTrans();
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

    struct Operation;
    struct Worker;

protected:
    void customEvent(QEvent* event) override;

private:
    std::shared_ptr<Operation> newOperation(int kind);
    Status run(const std::shared_ptr<Operation>& op);
    void submit(const std::shared_ptr<Operation>& op);
    void cancel(const std::shared_ptr<Operation>& op, const QString& reason);
    void complete(const std::shared_ptr<Operation>& op);
    void interrupt(const std::shared_ptr<Operation>& op);
    bool openInProgress() const;
    Error notOpenError() const;

    std::shared_ptr<Worker> worker_;
    std::thread thread_;
    std::vector<std::shared_ptr<Operation>> pending_; // issued and not yet handed back, in order
    quint64 generation_ = 0; // bumped by every open and close: operations of older ones lose their say
    bool open_ = false;
    bool noBackslashEscapes_ = false;
    int errorsCount_ = 0;
    int transactionDepth_ = 0;
    unsigned int readTimeoutSeconds_ = 30;
    QString closedReason_;
    std::function<void(qint64)> rowsHook_;
};
