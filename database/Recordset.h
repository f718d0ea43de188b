#pragma once
// A recordset over a whole (client-side) result: exact RecordCount, MoveFirst/MoveNext, fields by
// name without regard to case, values read as text (a NULL read as text is an error), AddNew/Update.
// The rows arrive already converted to text by the connection's thread; a large result is freed on a
// background thread, so dropping it never holds up the window.
#include "database/Connection.h"
#include "util/Co.h"
#include "util/Lifetime.h"
#include "util/Status.h"

#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QVariant>

#include <vector>

class Recordset {
public:
    Recordset() = default;
    // A coroutine of this recordset still waiting on the server resumes to an error marked cancelled
    // and touches nothing of it.
    ~Recordset();
    Recordset(const Recordset&) = delete;
    Recordset& operator=(const Recordset&) = delete;

    bool isOpen() const { return open_; }

    // Runs `sql` with `params` bound to its placeholders on `conn`; `cancel` lets the caller end it
    // early. A statement without rows leaves the recordset closed.
    Co<Status> open(QString sql, SqlParams params, Connection& conn,
                    std::shared_ptr<Cancellation> cancel = {});
    void Close();

    qint64 RecordCount() const;
    bool isEOF() const { return !open_ || position_ >= RecordCount(); }
    Status MoveFirst();
    Status MoveNext();

    // Index of a field by name without regard to case, -1 when the recordset has no such field.
    int fieldIndex(const QString& name) const;

    // The current row's value as text. NULL, a missing field or no current row is an error.
    Result<QString> text(int index) const;
    Result<QString> text(const QString& name) const;
    // Row `row`'s value as text, by position among the rows the statement returned; errors as text().
    Result<QString> textAt(qint64 row, int index) const;

    // The texts of field `index` for every row the statement returned (a NULL as empty text), then
    // one empty text; shares the stored column, so even a million rows are handed on without a copy.
    // Empty when closed or for a missing field. Rows added by AddNew are not included.
    TextColumn column(int index) const;

    // Starts a new row; fields are then assigned with setValue() and stored by Update().
    Status AddNew();
    // QString values are stored as text, QDateTime as "YYYY-MM-DD hh:mm:ss", a null QVariant as NULL.
    Status setValue(const QString& name, const QVariant& value);
    // Stores the new row (every value bound as a parameter); the row becomes the current one.
    Co<Status> update();

    // ---- The synchronous bridge (see Connection's): the design's Rs calls, as its tests use them.
    int State() const { return open_ ? Connection::kStateOpen : Connection::kStateClosed; }
    // Every cursor here is a client-side snapshot (the design's keyset cursor and optimistic lock).
    Status Open(const QString& source, Connection* conn) { return Open(source, {}, conn); }
    Status Open(const QString& source, const SqlParams& params, Connection* conn,
                const std::shared_ptr<Cancellation>& cancel = {});
    Status Update();

private:
    // The statement and values that store the pending row, and the texts it stores.
    struct Insert {
        QString sql;
        SqlParams values;
        std::vector<std::optional<QString>> stored;
    };
    Status take(Result<QueryOutcome> outcome, Connection* conn);
    Result<Insert> pendingInsert() const;
    void added(std::vector<std::optional<QString>> stored);
    Error noCurrentRow() const;
    qint64 storedRows() const { return result_ ? result_->rowCount() : 0; }

    bool open_ = false;
    QPointer<Connection> conn_;
    std::shared_ptr<const ResultTable> result_;
    QStringList names_;
    QHash<QString, int> index_;
    QString table_;
    qint64 position_ = 0;
    std::vector<std::vector<std::optional<QString>>> added_; // rows stored by Update()
    std::optional<std::vector<QVariant>> pending_;           // row being built by AddNew()
    // Expires with the recordset: what a coroutine of it checks first after each wait.
    Lifetime lifetime_;
};
