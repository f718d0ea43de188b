#include "database/Connection.h"

#include "database/ConnectionString.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <errmsg.h>
#include <mysqld_error.h>

#include <functional>

namespace {
// The server's own statement time-outs (MariaDB max_statement_time, MySQL max_execution_time).
constexpr unsigned int kServerStatementTimeout = 1969;
constexpr unsigned int kMysqlExecutionTimeout = 3024;
constexpr unsigned int kConnectTimeoutSeconds = 15;
} // namespace

// One unit of work on the handle: a chain of non-blocking phases (start, then cont until done).
struct Connection::Operation {
    struct Phase {
        std::function<int(MYSQL*)> start;
        std::function<int(MYSQL*, int)> cont;
        // Called when the phase has completed; false ends the operation (error set, or nothing left).
        std::function<bool(MYSQL*)> done;
    };
    std::vector<Phase> phases;
    std::size_t index = 0;
    MysqlPtr ownHandle; // set for an open: the handle becomes the connection's only on success
    MYSQL* mysql = nullptr;
    bool needsOpenHandle = true;
    bool finished = false;
    bool timedOut = false;
    DbStatus error;
    QueryOutcome outcome;
    QByteArray text;
    QPointer<QEventLoop> loop;
};

namespace {

DbError errorFrom(MYSQL* m, bool timedOut) {
    DbError e;
    e.nativeError = mysql_errno(m);
    e.description = QString::fromUtf8(mysql_error(m));
    if (timedOut || e.nativeError == kServerStatementTimeout || e.nativeError == kMysqlExecutionTimeout)
        e.number = DbError::kTimeout;
    if (e.description.isEmpty())
        e.description = timedOut ? QStringLiteral("查询超时") : QStringLiteral("未知的数据库错误");
    return e;
}

bool lostConnection(unsigned int code) {
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST;
}

} // namespace

Connection::Connection(QObject* parent) : QObject(parent) {
    timeoutTimer_ = new QTimer(this);
    timeoutTimer_->setSingleShot(true);
    connect(timeoutTimer_, &QTimer::timeout, this, [this] { onEvent(MYSQL_WAIT_TIMEOUT); });
}

Connection::~Connection() {
    // Waiters of operations still queued or in flight get an error instead of a dangling handle.
    auto fail = [](const std::shared_ptr<Operation>& op) {
        op->finished = true;
        op->error = DbError{DbError::kProviderError, QStringLiteral("数据库连接已被释放"), 0};
        if (op->loop)
            op->loop->quit();
    };
    disarm();
    if (current_)
        fail(current_);
    for (const auto& op : queue_)
        fail(op);
    queue_.clear();
    current_.reset();
}

DbError Connection::notOpenError() const {
    QString text = QStringLiteral("数据库连接未打开");
    if (!closedReason_.isEmpty())
        text += QStringLiteral("（%1）").arg(closedReason_);
    return DbError{DbError::kProviderError, text, 0};
}

DbStatus Connection::run(const std::shared_ptr<Operation>& op) {
    queue_.push_back(op);
    if (!current_)
        startNext();
    if (!op->finished) {
        QEventLoop loop;
        op->loop = &loop;
        loop.exec();
    }
    // `this` may be gone here (the connection was released while waiting): use only `op`.
    return op->error;
}

void Connection::startNext() {
    while (!current_ && !queue_.empty()) {
        auto op = queue_.front();
        queue_.erase(queue_.begin());
        if (op->needsOpenHandle && !mysql_) {
            op->error = notOpenError();
            op->finished = true;
            if (op->loop)
                op->loop->quit();
            continue;
        }
        op->mysql = op->ownHandle ? op->ownHandle.get() : mysql_.get();
        current_ = op;
        drive(op->phases.front().start(op->mysql));
    }
}

void Connection::drive(int status) {
    const auto op = current_;
    for (;;) {
        if (status != 0) {
            arm(status);
            return;
        }
        if (!op->phases[op->index].done(op->mysql) || ++op->index == op->phases.size()) {
            finishCurrent();
            return;
        }
        status = op->phases[op->index].start(op->mysql);
    }
}

void Connection::arm(int status) {
    const int fd = static_cast<int>(mysql_get_socket(current_->mysql));
    if (fd != notifierSocket_) {
        delete readNotifier_;
        delete writeNotifier_;
        delete exceptNotifier_;
        readNotifier_ = writeNotifier_ = exceptNotifier_ = nullptr;
        notifierSocket_ = fd;
        if (fd >= 0) {
            readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            exceptNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Exception, this);
            connect(readNotifier_, &QSocketNotifier::activated, this, [this] { onEvent(MYSQL_WAIT_READ); });
            connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { onEvent(MYSQL_WAIT_WRITE); });
            connect(exceptNotifier_, &QSocketNotifier::activated, this,
                    [this] { onEvent(MYSQL_WAIT_EXCEPT); });
        }
    }
    if (readNotifier_) {
        readNotifier_->setEnabled(status & MYSQL_WAIT_READ);
        writeNotifier_->setEnabled(status & MYSQL_WAIT_WRITE);
        exceptNotifier_->setEnabled(status & MYSQL_WAIT_EXCEPT);
    }
    if (status & MYSQL_WAIT_TIMEOUT)
        timeoutTimer_->start(static_cast<int>(mysql_get_timeout_value_ms(current_->mysql)));
}

void Connection::disarm() {
    if (readNotifier_) {
        readNotifier_->setEnabled(false);
        writeNotifier_->setEnabled(false);
        exceptNotifier_->setEnabled(false);
    }
    timeoutTimer_->stop();
}

void Connection::onEvent(int event) {
    if (!current_)
        return;
    disarm();
    if (event & MYSQL_WAIT_TIMEOUT)
        current_->timedOut = true;
    drive(current_->phases[current_->index].cont(current_->mysql, event));
}

void Connection::finishCurrent() {
    disarm();
    auto op = current_;
    current_.reset();
    op->finished = true;
    if (op->error) {
        ++errorsCount_;
        // A handle whose server has gone is not left marked open: the next connect reopens it.
        if (!op->ownHandle && lostConnection(op->error->nativeError)) {
            mysql_.reset();
            transactionDepth_ = 0;
            notifierSocket_ = -2; // force fresh notifiers for the next handle
        }
    }
    if (op->loop)
        op->loop->quit();
    startNext();
    if (!current_ && queue_.empty())
        Q_EMIT idle();
}

DbStatus Connection::Open(const QString& connectionString) {
    Close();
    errorsCount_ = 0;
    closedReason_.clear();
    const ConnectionParams p = parseConnectionString(connectionString);

    auto op = std::make_shared<Operation>();
    op->needsOpenHandle = false;
    op->ownHandle.reset(mysql_init(nullptr));
    MYSQL* m = op->ownHandle.get();
    if (!m)
        return DbError{DbError::kProviderError, QStringLiteral("无法创建数据库连接（内存不足）"), 0};
    mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
    // TCP even for "localhost", as the network driver does; the Unix socket is not where our server is.
    const unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_options(m, MYSQL_OPT_PROTOCOL, &protocol);
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
    mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &readTimeoutSeconds_);
    mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &readTimeoutSeconds_);

    auto strings = std::make_shared<std::array<QByteArray, 4>>(std::array<QByteArray, 4>{
        p.host.toUtf8(), p.user.toUtf8(), p.password.toUtf8(), p.database.toUtf8()});
    const unsigned int port = p.port;
    auto connected = std::make_shared<MYSQL*>(nullptr);
    Operation::Phase connectPhase;
    connectPhase.start = [strings, port, connected](MYSQL* h) {
        const auto& s = *strings;
        // An empty host means the default host, as with the other clients.
        return mysql_real_connect_start(connected.get(), h, s[0].isEmpty() ? nullptr : s[0].constData(),
                                        s[1].constData(), s[2].constData(),
                                        s[3].isEmpty() ? nullptr : s[3].constData(), port, nullptr, 0);
    };
    connectPhase.cont = [connected](MYSQL* h, int ev) {
        return mysql_real_connect_cont(connected.get(), h, ev);
    };
    auto* opRaw = op.get();
    connectPhase.done = [connected, opRaw](MYSQL* h) {
        if (!*connected)
            opRaw->error = errorFrom(h, opRaw->timedOut);
        return false;
    };
    op->phases.push_back(std::move(connectPhase));

    QPointer<Connection> self(this);
    const DbStatus status = run(op);
    if (!self)
        return status;
    if (status)
        return status;
    mysql_ = std::move(op->ownHandle);
    transactionDepth_ = 0;
    return std::nullopt;
}

void Connection::Close() {
    // Never free the handle under an operation in flight: let the queue drain first.
    QPointer<Connection> self(this);
    while (self && (current_ || !queue_.empty())) {
        QEventLoop loop;
        connect(this, &Connection::idle, &loop, &QEventLoop::quit);
        connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!self)
        return;
    mysql_.reset();
    transactionDepth_ = 0;
}

DbResult<QueryOutcome> Connection::query(const QString& sql) {
    auto op = std::make_shared<Operation>();
    op->text = sql.toUtf8();
    auto* opRaw = op.get();
    auto rc = std::make_shared<int>(0);
    Operation::Phase send;
    send.start = [opRaw, rc](MYSQL* h) {
        return mysql_real_query_start(rc.get(), h, opRaw->text.constData(),
                                      static_cast<unsigned long>(opRaw->text.size()));
    };
    send.cont = [rc](MYSQL* h, int ev) { return mysql_real_query_cont(rc.get(), h, ev); };
    send.done = [opRaw, rc](MYSQL* h) {
        if (*rc != 0) {
            opRaw->error = errorFrom(h, opRaw->timedOut);
            return false;
        }
        if (mysql_field_count(h) == 0) {
            opRaw->outcome.affectedRows = mysql_affected_rows(h);
            return false;
        }
        return true;
    };
    auto res = std::make_shared<MYSQL_RES*>(nullptr);
    Operation::Phase store;
    store.start = [res](MYSQL* h) { return mysql_store_result_start(res.get(), h); };
    store.cont = [res](MYSQL* h, int ev) { return mysql_store_result_cont(res.get(), h, ev); };
    store.done = [opRaw, res](MYSQL* h) {
        if (!*res)
            opRaw->error = errorFrom(h, opRaw->timedOut);
        else
            opRaw->outcome.result.reset(*res);
        return false;
    };
    op->phases.push_back(std::move(send));
    op->phases.push_back(std::move(store));

    if (const DbStatus status = run(op))
        return *status;
    return std::move(op->outcome);
}

DbStatus Connection::Execute(const QString& sql, quint64* recordsAffected) {
    auto r = query(sql);
    if (!r)
        return r.error();
    if (recordsAffected)
        *recordsAffected = r.value().affectedRows;
    return std::nullopt;
}

DbStatus Connection::BeginTrans() {
    if (transactionDepth_ > 0)
        return DbError{DbError::kProviderError, QStringLiteral("事务已经开始，不支持嵌套事务"), 0};
    if (const DbStatus s = Execute(QStringLiteral("START TRANSACTION")))
        return s;
    transactionDepth_ = 1;
    return std::nullopt;
}

DbStatus Connection::CommitTrans() {
    if (transactionDepth_ == 0)
        return DbError{DbError::kProviderError, QStringLiteral("没有活动的事务"), 0};
    const DbStatus s = Execute(QStringLiteral("COMMIT"));
    if (!s)
        transactionDepth_ = 0;
    return s;
}

DbStatus Connection::RollbackTrans() {
    if (transactionDepth_ == 0)
        return DbError{DbError::kProviderError, QStringLiteral("没有活动的事务"), 0};
    const DbStatus s = Execute(QStringLiteral("ROLLBACK"));
    // Whatever the server said, the transaction is over: a lost connection rolls back by itself.
    transactionDepth_ = 0;
    return s;
}

QString Connection::escape(const Connection* conn, const QString& text) {
    const QByteArray in = text.toUtf8();
    QByteArray out(in.size() * 2 + 1, Qt::Uninitialized);
    const auto length = static_cast<unsigned long>(in.size());
    const unsigned long n = conn && conn->mysql_ ? mysql_real_escape_string(conn->mysql_.get(), out.data(),
                                                                            in.constData(), length)
                                                 : mysql_escape_string(out.data(), in.constData(), length);
    out.truncate(static_cast<qsizetype>(n));
    return QString::fromUtf8(out);
}

QString Connection::escape(const QString& text) const {
    return escape(this, text);
}
