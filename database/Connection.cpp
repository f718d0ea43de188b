#include "database/Connection.h"

#include "database/ConnectionString.h"
#include "database/HostLookup.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

#include <errmsg.h>
#include <mysqld_error.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The server's own statement time-outs (MariaDB max_statement_time, MySQL max_execution_time).
constexpr unsigned int kServerStatementTimeout = 1969;
constexpr unsigned int kMysqlExecutionTimeout = 3024;
constexpr unsigned int kConnectTimeoutSeconds = 15;
constexpr qint64 kHookEveryRows = 4096;
// How long a released connection waits for its thread to close the handle politely before leaving
// it to finish on its own.
constexpr auto kJoinWait = std::chrono::milliseconds(250);

const QEvent::Type kFinishedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

enum Kind { kOpen, kQuery, kClose };

Error errorFrom(MYSQL* m, bool timedOut) {
    Error e;
    e.nativeError = mysql_errno(m);
    e.description = QString::fromUtf8(mysql_error(m));
    if (timedOut || e.nativeError == kServerStatementTimeout || e.nativeError == kMysqlExecutionTimeout)
        e.number = Error::kTimeout;
    if (e.description.isEmpty())
        e.description = timedOut ? QStringLiteral("查询超时") : QStringLiteral("未知的数据库错误");
    return e;
}

// The server has gone, or ended this session (a shutdown or a kill reports itself before closing).
bool lostConnection(unsigned int code) {
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == ER_SERVER_SHUTDOWN ||
           code == ER_CONNECTION_KILLED;
}

// The conversion reserves a UTF-16 unit per UTF-8 byte; Chinese text needs a third of that. Giving the
// rest back keeps a large result at the size of its text.
QString textOf(const char* bytes, unsigned long length) {
    QString text = QString::fromUtf8(bytes, static_cast<qsizetype>(length));
    if (text.capacity() - text.size() > 8)
        text.squeeze();
    return text;
}

Error cancelledError(const QString& reason) {
    Error e{Error::kProviderError, reason, 0};
    e.cancelled = true;
    return e;
}

} // namespace

// One unit of work for the connection's thread. Inputs are set before it is queued; results are
// written by the thread before it hands the operation back; `finished` and `loop` belong to the
// window thread.
struct Connection::Operation {
    int kind = kQuery;
    quint64 generation = 0;
    QByteArray text;
    ConnectionParams params;
    unsigned int readTimeoutSeconds = 30;
    std::function<void(qint64)> rowsHook;
    bool mayReconnect = false; // no transaction is open: a fresh session loses nothing

    std::atomic<bool> cancelled{false};

    // Written by the thread, read by the window thread once the operation is handed back.
    std::optional<Error> error;
    bool notOpen = false;    // no handle of this operation's generation
    bool handleLost = false; // the thread discarded the handle (server gone, time-out, abort)
    bool statusKnown = false;
    bool noBackslashEscapes = false;
    QueryOutcome outcome;

    // Window thread only: what the waiter is told. Set when the operation is handed back, or when the
    // window side gives up on it while the thread may still be writing the fields above.
    bool finished = false;
    std::optional<Error> verdict;
    QString cancelReason;
    QPointer<QEventLoop> loop;
};

// The connection's thread and what it shares with the window thread. Held by both through a
// shared_ptr, so either may go first.
struct Connection::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable exitedCv;
    std::deque<std::shared_ptr<Operation>> queue;
    std::vector<std::shared_ptr<Operation>> done;
    Connection* owner = nullptr; // receives the finished operations; null once released
    bool quit = false;
    bool exited = false;
    int eventFd = -1; // a cancel wakes the thread from its wait on the socket

    // Used by the thread only.
    MysqlPtr handle;
    quint64 handleGeneration = 0;
    ConnectionParams lastParams; // of the last open, for reconnecting a session the server ended
    unsigned int lastReadTimeout = 30;

    Worker() { eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
    ~Worker() {
        if (eventFd >= 0)
            ::close(eventFd);
    }

    void poke() const {
        const quint64 one = 1;
        if (eventFd >= 0) [[maybe_unused]]
            const auto n = ::write(eventFd, &one, sizeof one);
    }

    static void main(std::shared_ptr<Worker> self);
    void execute(Operation& op);
    void open(Operation& op);
    void connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds, Operation& op);
    bool peerClosed() const;
    void query(Operation& op);
    // Waits for the socket as the client asks and continues the call until it completes. A cancel
    // shuts the socket down, so the call ends soon with an error; `aborted` then says why.
    template <class Cont> void drive(MYSQL* m, int status, Operation& op, Cont&& cont);
    bool timedOut = false;
    bool aborted = false;
};

void Connection::Worker::main(std::shared_ptr<Worker> self) {
    // A write on a socket the server has closed must not end the program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pthread_setname_np(pthread_self(), "vornik-db");
    mysql_thread_init();

    std::unique_lock lock(self->mutex);
    for (;;) {
        self->wake.wait(lock, [&] { return self->quit || !self->queue.empty(); });
        if (self->queue.empty())
            break;
        const std::shared_ptr<Operation> op = self->queue.front();
        self->queue.pop_front();
        lock.unlock();
        if (op->cancelled)
            op->error = cancelledError(QString());
        else
            self->execute(*op);
        lock.lock();
        if (self->owner) {
            self->done.push_back(op);
            QCoreApplication::postEvent(self->owner, new QEvent(kFinishedEvent));
        }
    }
    lock.unlock();
    self->handle.reset();
    mysql_thread_end();
    lock.lock();
    self->exited = true;
    self->exitedCv.notify_all();
}

template <class Cont> void Connection::Worker::drive(MYSQL* m, int status, Operation& op, Cont&& cont) {
    while (status != 0) {
        const int fd = static_cast<int>(mysql_get_socket(m));
        if (op.cancelled && !aborted) {
            aborted = true;
            if (fd >= 0)
                ::shutdown(fd, SHUT_RDWR);
        }
        pollfd fds[2] = {};
        fds[0].fd = fd;
        fds[0].events = static_cast<short>(((status & MYSQL_WAIT_READ) ? POLLIN : 0) |
                                           ((status & MYSQL_WAIT_WRITE) ? POLLOUT : 0) |
                                           ((status & MYSQL_WAIT_EXCEPT) ? POLLPRI : 0));
        fds[1].fd = eventFd;
        fds[1].events = POLLIN;
        const int timeout =
            (status & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(m)) : -1;
        const int n = ::poll(fds, 2, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (fds[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(eventFd, &count, sizeof count);
            continue; // look at the cancel flag first
        }
        int event = 0;
        if (n == 0) {
            event = MYSQL_WAIT_TIMEOUT;
            timedOut = true;
        } else {
            const short got = fds[0].revents;
            if (got & (POLLIN | POLLHUP | POLLERR))
                event |= MYSQL_WAIT_READ;
            if (got & (POLLOUT | POLLHUP | POLLERR))
                event |= MYSQL_WAIT_WRITE;
            if (got & POLLPRI)
                event |= MYSQL_WAIT_EXCEPT;
            event &= status;
        }
        if (event == 0 && n < 0)
            event = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE); // let the client see the failure
        if (event != 0)
            status = cont(event);
    }
}

void Connection::Worker::execute(Operation& op) {
    timedOut = false;
    aborted = false;
    switch (op.kind) {
    case kClose:
        if (handle && handleGeneration < op.generation)
            handle.reset();
        return;
    case kOpen:
        open(op);
        break;
    default:
        if (!handle || handleGeneration != op.generation) {
            op.notOpen = true;
            return;
        }
        query(op);
        break;
    }
    if (aborted) {
        op.error = cancelledError(QString());
        op.outcome = {};
    }
    if (handle && op.error && (aborted || lostConnection(op.error->nativeError))) {
        // A handle whose server has gone (or whose call was cut short) is never used again.
        handle.reset();
        op.handleLost = true;
        if (!aborted && !op.error->isTimeout())
            op.error->description = QStringLiteral("与数据库服务器的连接已断开：") + op.error->description;
    }
    if (handle) {
        unsigned int serverStatus = 0;
        if (!mariadb_get_infov(handle.get(), MARIADB_CONNECTION_SERVER_STATUS, &serverStatus)) {
            op.statusKnown = true;
            op.noBackslashEscapes = serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES;
        }
    }
}

void Connection::Worker::open(Operation& op) {
    // The previous handle goes first, whatever becomes of the new one.
    handle.reset();
    lastParams = op.params;
    lastReadTimeout = op.readTimeoutSeconds;
    connectTo(lastParams, lastReadTimeout, op);
}

void Connection::Worker::connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds,
                                   Operation& op) {
    const QString hostName = p.host.isEmpty() ? QStringLiteral("localhost") : p.host;
    QString lookupError;
    const QStringList addresses = hostLookup().resolve(hostName, &lookupError);
    if (op.cancelled) {
        aborted = true;
        return;
    }
    if (addresses.isEmpty()) {
        op.error = Error{Error::kProviderError,
                         QStringLiteral("Unknown server host '%1' (%2)").arg(hostName, lookupError),
                         CR_UNKNOWN_HOST};
        return;
    }
    const QByteArray user = p.user.toUtf8();
    const QByteArray password = p.password.toUtf8();
    const QByteArray database = p.database.toUtf8();
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        MysqlPtr h(mysql_init(nullptr));
        if (!h) {
            op.error = Error{Error::kProviderError, QStringLiteral("无法创建数据库连接（内存不足）"), 0};
            return;
        }
        MYSQL* m = h.get();
        mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
        // TCP even for "localhost", as the network driver does; the Unix socket is not where our server is.
        const unsigned int protocol = MYSQL_PROTOCOL_TCP;
        mysql_options(m, MYSQL_OPT_PROTOCOL, &protocol);
        mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
        mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &readTimeoutSeconds);
        mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &readTimeoutSeconds);
        const QByteArray address = addresses.at(i).toUtf8();
        MYSQL* connected = nullptr;
        const int status = mysql_real_connect_start(
            &connected, m, address.constData(), user.constData(), password.constData(),
            database.isEmpty() ? nullptr : database.constData(), p.port, nullptr, 0);
        drive(m, status, op, [&](int event) { return mysql_real_connect_cont(&connected, m, event); });
        if (aborted)
            return;
        if (connected) {
            op.error.reset();
            handle = std::move(h);
            handleGeneration = op.generation;
            return;
        }
        op.error = errorFrom(m, timedOut);
        // Only an address that did not answer sends us on to the next one.
        if ((op.error->nativeError != CR_CONN_HOST_ERROR && op.error->nativeError != CR_CONNECTION_ERROR) ||
            op.error->isTimeout())
            return;
    }
}

bool Connection::Worker::peerClosed() const {
    // Between statements the server sends nothing: anything to read means it has ended the session
    // (stopped, restarted, killed it or timed it out), telling us with an error packet or just EOF.
    pollfd p{static_cast<int>(mysql_get_socket(handle.get())), POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

void Connection::Worker::query(Operation& op) {
    if (op.mayReconnect && peerClosed()) {
        // Nothing was sent yet, so nothing can have run twice: reopen with the same account first.
        handle.reset();
        connectTo(lastParams, lastReadTimeout, op);
        if (!handle) {
            op.handleLost = true;
            return;
        }
    }
    MYSQL* m = handle.get();
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
    auto table = std::make_shared<ResultTable>();
    const unsigned int fieldCount = mysql_num_fields(res);
    const MYSQL_FIELD* fields = mysql_fetch_fields(res);
    for (unsigned int i = 0; i < fieldCount; ++i) {
        table->names << QString::fromUtf8(fields[i].name, fields[i].name_length);
        if (table->table.isEmpty() && fields[i].org_table_length > 0)
            table->table = QString::fromUtf8(fields[i].org_table, fields[i].org_table_length);
    }
    table->columns.resize(fieldCount);
    table->nulls.resize(fieldCount);
    qint64 rows = 0;
    for (;;) {
        if (op.cancelled && !aborted) {
            aborted = true;
            ::shutdown(static_cast<int>(mysql_get_socket(m)), SHUT_RDWR);
        }
        MYSQL_ROW row = nullptr;
        drive(m, mysql_fetch_row_start(&row, res), op,
              [&](int event) { return mysql_fetch_row_cont(&row, res, event); });
        if (!row)
            break;
        const unsigned long* lengths = mysql_fetch_lengths(res);
        for (unsigned int i = 0; i < fieldCount; ++i) {
            const bool isNull = row[i] == nullptr;
            table->columns[i].append(isNull ? QString() : textOf(row[i], lengths[i]));
            table->nulls[i].push_back(isNull);
        }
        if (++rows % kHookEveryRows == 0 && op.rowsHook)
            op.rowsHook(rows);
    }
    // The end of the rows and a broken transfer look alike; only the error number tells them apart.
    if (mysql_errno(m) != 0)
        op.error = errorFrom(m, timedOut);
    drive(m, mysql_free_result_start(res), op, [&](int event) { return mysql_free_result_cont(res, event); });
    if (op.error)
        return;
    for (QStringList& column : table->columns)
        column.append(QString());
    op.outcome.result = std::move(table);
}

// ---- The window side ---------------------------------------------------------------------------

Connection::Connection(QObject* parent) : QObject(parent) {
    // The client library's global set-up is not safe to race from two connection threads.
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mysql_library_init(0, nullptr, nullptr); });
}

Connection::~Connection() {
    if (worker_) {
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
    // Waiters get an error instead of a dangling connection.
    const auto waiting = std::move(pending_);
    for (const auto& op : waiting) {
        if (op->finished)
            continue;
        op->finished = true;
        op->verdict = cancelledError(QStringLiteral("数据库连接已被释放"));
        if (op->loop)
            op->loop->quit();
    }
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
    if (!worker_) {
        worker_ = std::make_shared<Worker>();
        worker_->owner = this;
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
    if (event->type() != kFinishedEvent || !worker_)
        return;
    std::vector<std::shared_ptr<Operation>> finished;
    {
        std::lock_guard lock(worker_->mutex);
        finished.swap(worker_->done);
    }
    QPointer<Connection> self(this);
    for (const auto& op : finished) {
        complete(op);
        if (!self)
            return;
    }
    if (pending_.empty())
        Q_EMIT idle();
}

void Connection::complete(const std::shared_ptr<Operation>& op) {
    std::erase(pending_, op);
    if (op->finished)
        return; // given up by its waiter already (the program is quitting)
    op->finished = true;
    const bool current = op->generation == generation_;
    if (op->cancelled) {
        op->verdict = cancelledError(op->cancelReason.isEmpty() ? QStringLiteral("数据库操作已取消")
                                                                : op->cancelReason);
        op->outcome = {};
    } else if (op->notOpen) {
        op->verdict = notOpenError();
    } else {
        op->verdict = op->error;
        if (op->error)
            ++errorsCount_;
        if (op->kind == kOpen && !op->error && current) {
            open_ = true;
            transactionDepth_ = 0;
        }
    }
    if (op->handleLost && current) {
        // Not left marked open: the next connect reopens it. A lost connection rolled back by itself.
        open_ = false;
        transactionDepth_ = 0;
    }
    if (op->statusKnown && current)
        noBackslashEscapes_ = op->noBackslashEscapes;
    if (op->loop)
        op->loop->quit();
}

void Connection::interrupt(const std::shared_ptr<Operation>& op) {
    // Nobody will read this operation's outcome: stop it and forget the handle it was using.
    op->finished = true;
    op->verdict = cancelledError(QStringLiteral("数据库操作未完成：程序正在退出，操作已中止"));
    cancel(op, op->verdict->description);
    std::erase(pending_, op);
    if (op->kind != kClose) {
        open_ = false;
        transactionDepth_ = 0;
        ++generation_;
    }
}

Status Connection::run(const std::shared_ptr<Operation>& op) {
    QPointer<Connection> self(this);
    submit(op);
    if (!op->finished) {
        QEventLoop loop;
        op->loop = &loop;
        loop.exec();
        op->loop = nullptr;
    }
    // `this` may be gone here (released while waiting; it failed the operation): use only `op`.
    if (!op->finished && self) {
        // The wait ended without the operation: the application is quitting, which ends every event
        // loop (and a new one returns at once). An unfinished operation never counts as done.
        interrupt(op);
    }
    return op->verdict ? Status(*op->verdict) : Status();
}

Status Connection::Open(const QString& connectionString) {
    Close();
    errorsCount_ = 0;
    closedReason_.clear();
    ++generation_;
    auto op = newOperation(kOpen);
    op->params = parseConnectionString(connectionString);
    op->readTimeoutSeconds = readTimeoutSeconds_;
    return run(op);
}

void Connection::Close() {
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

Result<QueryOutcome> Connection::query(const QString& sql) {
    if (!open_ && !openInProgress())
        return notOpenError();
    auto op = newOperation(kQuery);
    op->text = sql.toUtf8();
    op->rowsHook = rowsHook_;
    op->mayReconnect = transactionDepth_ == 0;
    if (Status status = run(op); !status)
        return status.error();
    return std::move(op->outcome);
}

Status Connection::Execute(const QString& sql, quint64* recordsAffected) {
    auto r = query(sql);
    if (!r)
        return r.error();
    if (recordsAffected)
        *recordsAffected = r.value().affectedRows;
    return {};
}

Status Connection::BeginTrans() {
    if (transactionDepth_ > 0)
        return Error{Error::kProviderError, QStringLiteral("事务已经开始，不支持嵌套事务"), 0};
    if (Status s = Execute(QStringLiteral("START TRANSACTION")); !s)
        return s;
    transactionDepth_ = 1;
    return {};
}

Status Connection::CommitTrans() {
    if (transactionDepth_ == 0)
        return Error{Error::kProviderError, QStringLiteral("没有活动的事务"), 0};
    const Status s = Execute(QStringLiteral("COMMIT"));
    if (s)
        transactionDepth_ = 0;
    return s;
}

Status Connection::RollbackTrans() {
    if (transactionDepth_ == 0)
        return Error{Error::kProviderError, QStringLiteral("没有活动的事务"), 0};
    const Status s = Execute(QStringLiteral("ROLLBACK"));
    // Whatever the server said, the transaction is over: a lost connection rolls back by itself.
    transactionDepth_ = 0;
    return s;
}

QString Connection::escape(const Connection* conn, const QString& text) {
    if (conn && conn->open_ && conn->noBackslashEscapes_) {
        // The server reads a backslash as itself: only the quote needs doubling.
        QString out = text;
        out.replace(u'\'', QStringLiteral("''"));
        return out;
    }
    const QByteArray in = text.toUtf8();
    QByteArray out(in.size() * 2 + 1, Qt::Uninitialized);
    const unsigned long n =
        mysql_escape_string(out.data(), in.constData(), static_cast<unsigned long>(in.size()));
    out.truncate(static_cast<qsizetype>(n));
    return QString::fromUtf8(out);
}

QString Connection::escape(const QString& text) const {
    return escape(this, text);
}
