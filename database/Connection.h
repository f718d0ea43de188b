#pragma once
// The shared connection: a MariaDB Connector/C handle driven through the client's non-blocking API.
// Every operation runs while the Qt event loop keeps running (socket notifiers resume it), and the
// connection runs one operation at a time: one that arrives while another is in flight waits its turn.
#include "database/DbError.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include <mysql.h>

struct MysqlResFree {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using MysqlResPtr = std::unique_ptr<MYSQL_RES, MysqlResFree>;

struct MysqlClose {
    void operator()(MYSQL* m) const { mysql_close(m); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlClose>;

class QSocketNotifier;
class QTimer;

// What a statement gave back: rows (a stored, client-side result) or none.
struct QueryOutcome {
    MysqlResPtr result; // null for a statement without rows
    quint64 affectedRows = 0;
};

class Connection : public QObject {
    Q_OBJECT
public:
    static constexpr int kStateClosed = 0;
    static constexpr int kStateOpen = 1;

    explicit Connection(QObject* parent = nullptr);
    ~Connection() override;

    int State() const { return mysql_ ? kStateOpen : kStateClosed; }

    // Opens with an ODBC-style connection string (see ConnectionString.h).
    DbStatus Open(const QString& connectionString);
    void Close();

    // Number of provider errors of the last operation (0 or 1 here).
    int ErrorsCount() const { return errorsCount_; }

    // Client-side cursors are the only kind here; the value is kept for callers that set it.
    void setCursorLocation(int location) { cursorLocation_ = location; }
    int cursorLocation() const { return cursorLocation_; }

    DbStatus Execute(const QString& sql, quint64* recordsAffected = nullptr);
    DbResult<QueryOutcome> query(const QString& sql);

    DbStatus BeginTrans();
    DbStatus CommitTrans();
    DbStatus RollbackTrans();
    bool inTransaction() const { return transactionDepth_ > 0; }

    // The text as the inside of a single-quoted literal, escaped by the client for the
    // connection's character set (honours NO_BACKSLASH_ESCAPES).
    QString escape(const QString& text) const;

    // Read time-out of a statement in seconds; its expiry is reported as DbError::kTimeout.
    void setReadTimeoutSeconds(unsigned int seconds) { readTimeoutSeconds_ = seconds; }

    // Why the connection is not open, added to the error of a statement run on it (for example
    // a cancelled login), so a later failure names its cause.
    void setClosedReason(const QString& reason) { closedReason_ = reason; }

    // Escapes for the connection's character set when `conn` is open, else with the client's plain
    // rules (UTF-8 has no multi-byte sequence holding a quote or backslash byte).
    static QString escape(const Connection* conn, const QString& text);

    // True while an operation is in flight.
    bool isBusy() const { return current_ != nullptr; }

    struct Operation;

Q_SIGNALS:
    // The last queued operation has finished.
    void idle();

private:
    DbStatus run(const std::shared_ptr<Operation>& op);
    void startNext();
    void drive(int status);
    void arm(int status);
    void disarm();
    void onEvent(int event);
    void finishCurrent();
    DbError notOpenError() const;

    MysqlPtr mysql_;
    std::shared_ptr<Operation> current_;
    std::vector<std::shared_ptr<Operation>> queue_;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QSocketNotifier* exceptNotifier_ = nullptr;
    QTimer* timeoutTimer_ = nullptr;
    int notifierSocket_ = -1;
    int errorsCount_ = 0;
    int cursorLocation_ = 2;
    int transactionDepth_ = 0;
    unsigned int readTimeoutSeconds_ = 30;
    QString closedReason_;
};
