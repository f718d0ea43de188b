#include "database/Statements.h"

#include "database/ConnectionThread.h"

#include <QDateTime>
#include <QScopeGuard>

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

namespace {
// The server's own statement time-outs (MariaDB max_statement_time, MySQL max_execution_time).
constexpr unsigned int kMysqlExecutionTimeout = 3024;
constexpr qint64 kHookEveryRows = 4096;
// Room for one value of a prepared statement's row, as the column declares but at most this much to
// begin with; a longer value is read on its own and the room grows to fit it.
constexpr unsigned long kMaxInitialCellBytes = 16 * 1024;
// More columns than a table may have (MariaDB's and MySQL's limit) is no result this program asked for:
// refused before any room is made for them.
constexpr unsigned int kMaxColumns = 4096;

Error errorWith(unsigned int code, const char* message, bool timedOut) {
    Error e;
    e.nativeError = code;
    e.description = QString::fromUtf8(message);
    if (timedOut || code == ER_STATEMENT_TIMEOUT || code == kMysqlExecutionTimeout)
        e.number = Error::kTimeout;
    if (e.description.isEmpty())
        e.description = timedOut ? QStringLiteral("查询超时") : QStringLiteral("未知的数据库错误");
    return e;
}

std::optional<Error> tooManyColumns(unsigned int fieldCount) {
    if (fieldCount <= kMaxColumns)
        return std::nullopt;
    return Error{
        Error::kProviderError,
        QStringLiteral("服务器返回的结果有 %1 列，超过一个表最多的 %2 列：不是本程序所要的结果，已拒绝")
            .arg(fieldCount)
            .arg(kMaxColumns),
        0};
}

// A result's columns while its rows arrive: each value is converted straight into its column.
struct TableBuilder {
    std::shared_ptr<ResultTable> table = std::make_shared<ResultTable>();
    std::vector<TextColumn::Builder> columns;

    TableBuilder(const MYSQL_FIELD* fields, unsigned int fieldCount) : columns(fieldCount) {
        for (unsigned int i = 0; i < fieldCount; ++i) {
            table->names << QString::fromUtf8(fields[i].name, fields[i].name_length);
            if (table->table.isEmpty() && fields[i].org_table_length > 0)
                table->table = QString::fromUtf8(fields[i].org_table, fields[i].org_table_length);
        }
    }
    void add(unsigned int field, const char* bytes, unsigned long length, bool isNull) {
        if (isNull)
            columns[field].appendNull();
        else
            columns[field].appendUtf8(bytes, static_cast<qsizetype>(length));
    }
    // Adds the empty end element to every column.
    std::shared_ptr<ResultTable> finish() {
        table->columns.reserve(columns.size());
        for (TextColumn::Builder& column : columns) {
            column.append(QStringView());
            table->columns.push_back(column.finish());
        }
        return table;
    }
};

// The values of a prepared statement's placeholders, bound as text: kept until it has run.
struct BoundParams {
    std::vector<QByteArray> values;
    std::vector<unsigned long> lengths;
    std::vector<MYSQL_BIND> binds;
};

std::optional<Error> bindParams(MYSQL_STMT* stmt, const SqlParams& params, BoundParams& bound) {
    const auto count = static_cast<std::size_t>(params.size());
    bound.values.resize(count);
    bound.lengths.resize(count);
    bound.binds.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const QVariant& v = params.at(static_cast<qsizetype>(i));
        MYSQL_BIND& b = bound.binds[i];
        std::memset(&b, 0, sizeof b);
        if (v.isNull()) {
            b.buffer_type = MYSQL_TYPE_NULL;
            continue;
        }
        bound.values[i] = v.typeId() == QMetaType::QDateTime
                              ? v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8()
                              : v.toString().toUtf8();
        bound.lengths[i] = static_cast<unsigned long>(bound.values[i].size());
        b.buffer_type = MYSQL_TYPE_STRING;
        b.buffer = bound.values[i].data();
        b.buffer_length = bound.lengths[i];
        b.length = &bound.lengths[i];
    }
    if (count > 0 && mysql_stmt_bind_param(stmt, bound.binds.data()))
        return errorFrom(stmt, false);
    return std::nullopt;
}

// The room a prepared statement's row is read into. Every value is read as text: the client formats
// dates and numbers the way a text result has them. Room as each column declares (a hostile one may
// declare gigabytes), up to kMaxInitialCellBytes, grown as values need.
struct ResultCells {
    std::vector<std::vector<char>> cells;
    std::vector<unsigned long> lengths;
    std::vector<my_bool> nulls;
    std::vector<my_bool> truncated;
    std::vector<MYSQL_BIND> out;

    ResultCells(const MYSQL_FIELD* fields, unsigned int count)
        : cells(count), lengths(count), nulls(count), truncated(count), out(count) {
        for (unsigned int i = 0; i < count; ++i) {
            cells[i].resize(std::clamp<unsigned long>(fields[i].length + 1, 64, kMaxInitialCellBytes));
            place(i);
        }
    }
    void place(unsigned int i) {
        std::memset(&out[i], 0, sizeof out[i]);
        out[i].buffer_type = MYSQL_TYPE_STRING;
        out[i].buffer = cells[i].data();
        out[i].buffer_length = static_cast<unsigned long>(cells[i].size());
        out[i].length = &lengths[i];
        out[i].is_null = &nulls[i];
        out[i].error = &truncated[i];
    }
    bool bind(MYSQL_STMT* stmt) { return mysql_stmt_bind_result(stmt, out.data()) == 0; }
    // Reads value `i`, longer than its room, whole into room that fits it from now on.
    bool grow(MYSQL_STMT* stmt, unsigned int i) {
        cells[i].resize(lengths[i]);
        place(i);
        return mysql_stmt_fetch_column(stmt, &out[i], i, 0) == 0;
    }
};

// Prepares `op`'s statement and checks what it asks for against what `op` gives.
bool prepare(Connection::Worker& w, Connection::Operation& op, MYSQL* m, MYSQL_STMT* stmt) {
    int rc = 0;
    w.drive(
        m,
        mysql_stmt_prepare_start(&rc, stmt, op.text.constData(), static_cast<unsigned long>(op.text.size())),
        op, [&](int event) { return mysql_stmt_prepare_cont(&rc, stmt, event); });
    if (rc != 0) {
        op.error = errorFrom(stmt, w.timedOut);
        return false;
    }
    if ((op.error = tooManyColumns(mysql_stmt_field_count(stmt))))
        return false; // nothing executed, nothing to read
    const auto paramCount = static_cast<qsizetype>(mysql_stmt_param_count(stmt));
    if (paramCount != op.params.size()) {
        op.error =
            Error{Error::kProviderError,
                  QStringLiteral("语句需要 %1 个参数，给了 %2 个").arg(paramCount).arg(op.params.size()), 0};
        return false;
    }
    return true;
}

// Reads the rows of an executed prepared statement into `table`.
void fetchRows(Connection::Worker& w, Connection::Operation& op, MYSQL* m, MYSQL_STMT* stmt,
               ResultCells& cells, TableBuilder& table) {
    const auto fieldCount = static_cast<unsigned int>(cells.out.size());
    qint64 rows = 0;
    for (;;) {
        int rc = 0;
        w.drive(m, mysql_stmt_fetch_start(&rc, stmt), op,
                [&](int event) { return mysql_stmt_fetch_cont(&rc, stmt, event); });
        if (rc == MYSQL_NO_DATA)
            break;
        if (rc == 1) {
            op.error = errorFrom(stmt, w.timedOut);
            break;
        }
        if (op.givenUp())
            continue; // drained, not converted
        bool grown = false;
        for (unsigned int i = 0; i < fieldCount; ++i) {
            if (rc == MYSQL_DATA_TRUNCATED && cells.truncated[i] && !cells.nulls[i]) {
                if (!cells.grow(stmt, i)) {
                    op.error = errorFrom(stmt, false);
                    return;
                }
                grown = true;
            }
            table.add(i, cells.cells[i].data(), cells.lengths[i], cells.nulls[i]);
        }
        if (grown && !cells.bind(stmt)) {
            op.error = errorFrom(stmt, false);
            return;
        }
        if (++rows % kHookEveryRows == 0 && op.rowsHook)
            op.rowsHook(rows);
    }
}

} // namespace

Error errorFrom(MYSQL* m, bool timedOut) {
    return errorWith(mysql_errno(m), mysql_error(m), timedOut);
}

Error errorFrom(MYSQL_STMT* s, bool timedOut) {
    if (mysql_stmt_errno(s) == 0 && mysql_errno(s->mysql) != 0)
        return errorFrom(s->mysql, timedOut);
    return errorWith(mysql_stmt_errno(s), mysql_stmt_error(s), timedOut);
}

bool lostConnection(unsigned int code) {
    // A cluster node that has left the primary component, or is leaving it on its way down, refuses
    // every statement of its sessions ("WSREP has not yet prepared node"): such a session is as good
    // as gone, and the next open finds a node that takes it.
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == ER_SERVER_SHUTDOWN ||
           code == ER_CONNECTION_KILLED || code == ER_UNKNOWN_COM_ERROR;
}

void Connection::Worker::queryText(Operation& op, MYSQL* m) {
    int rc = 0;
    drive(m, mysql_real_query_start(&rc, m, op.text.constData(), static_cast<unsigned long>(op.text.size())),
          op, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    if (rc != 0) {
        op.error = errorFrom(m, timedOut);
        return;
    }
    if (mysql_field_count(m) == 0) {
        op.outcome.affectedRows = mysql_affected_rows(m);
        return;
    }
    // Rows are turned into text as they arrive, so the raw bytes of a large result are never held whole.
    MYSQL_RES* res = mysql_use_result(m);
    if (!res) {
        op.error = errorFrom(m, timedOut);
        return;
    }
    const unsigned int fieldCount = mysql_num_fields(res);
    if ((op.error = tooManyColumns(fieldCount))) {
        // Its rows are not read: the session goes with them.
        discard = true;
        ::shutdown(static_cast<int>(mysql_get_socket(m)), SHUT_RDWR);
        drive(m, mysql_free_result_start(res), op,
              [&](int event) { return mysql_free_result_cont(res, event); });
        return;
    }
    TableBuilder table(mysql_fetch_fields(res), fieldCount);
    qint64 rows = 0;
    for (;;) {
        MYSQL_ROW row = nullptr;
        drive(m, mysql_fetch_row_start(&row, res), op,
              [&](int event) { return mysql_fetch_row_cont(&row, res, event); });
        if (!row)
            break;
        if (op.givenUp())
            continue; // drained, not converted
        const unsigned long* lengths = mysql_fetch_lengths(res);
        for (unsigned int i = 0; i < fieldCount; ++i)
            table.add(i, row[i], lengths[i], row[i] == nullptr);
        if (++rows % kHookEveryRows == 0 && op.rowsHook)
            op.rowsHook(rows);
    }
    // The end of the rows and a broken transfer look alike; only the error number tells them apart.
    if (mysql_errno(m) != 0)
        op.error = errorFrom(m, timedOut);
    drive(m, mysql_free_result_start(res), op, [&](int event) { return mysql_free_result_cont(res, event); });
    if (op.error)
        return;
    op.outcome.result = table.finish();
}

void Connection::Worker::queryPrepared(Operation& op, MYSQL* m) {
    MYSQL_STMT* stmt = mysql_stmt_init(m);
    if (!stmt) {
        op.error = errorFrom(m, false);
        return;
    }
    // Closed on every path, which also tells the server to forget it.
    const auto close = qScopeGuard([&] {
        my_bool ignored = 0;
        drive(m, mysql_stmt_close_start(&ignored, stmt), op,
              [&](int event) { return mysql_stmt_close_cont(&ignored, stmt, event); });
    });
    BoundParams bound;
    if (!prepare(*this, op, m, stmt) || (op.error = bindParams(stmt, op.params, bound)))
        return;
    int rc = 0;
    drive(m, mysql_stmt_execute_start(&rc, stmt), op,
          [&](int event) { return mysql_stmt_execute_cont(&rc, stmt, event); });
    if (rc != 0) {
        op.error = errorFrom(stmt, timedOut);
        return;
    }
    const unsigned int fieldCount = mysql_stmt_field_count(stmt);
    if (fieldCount == 0) {
        op.outcome.affectedRows = mysql_stmt_affected_rows(stmt);
        return;
    }
    if ((op.error = tooManyColumns(fieldCount))) {
        discard = true; // more columns than prepared: its rows are not read, the session goes with them
        ::shutdown(static_cast<int>(mysql_get_socket(m)), SHUT_RDWR);
        return;
    }
    const MysqlResultPtr meta(mysql_stmt_result_metadata(stmt));
    if (!meta) {
        op.error = errorFrom(stmt, timedOut);
        return;
    }
    const MYSQL_FIELD* fields = mysql_fetch_fields(meta.get());
    TableBuilder table(fields, fieldCount);
    ResultCells cells(fields, fieldCount);
    if (!cells.bind(stmt)) {
        op.error = errorFrom(stmt, false);
        return;
    }
    fetchRows(*this, op, m, stmt, cells, table);
    if (!op.error)
        op.outcome.result = table.finish();
}
