#include "database/Connection.h"

#include "database/HostLookup.h"
#include "database/Transport.h"
#include "util/Nested.h"
#include "util/Secret.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QScopeGuard>

#include <errmsg.h>
#include <mysqld_error.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The server's own statement time-outs (MariaDB max_statement_time, MySQL max_execution_time).
constexpr unsigned int kMysqlExecutionTimeout = 3024;
constexpr unsigned int kConnectTimeoutSeconds = 15;
// At most this long on one of several addresses before the next is tried.
constexpr qint64 kAddressTimeoutMs = 5000;
// The second session that ends a statement on the server: on a thread of its own, so a server that
// does not answer it holds up nothing; after this long it gives up.
constexpr qint64 kKillTimeoutMs = 5000;
constexpr qint64 kHookEveryRows = 4096;
// Room for one value of a prepared statement's row, as the column declares but at most this much to
// begin with; a longer value is read on its own and the room grows to fit it.
constexpr unsigned long kMaxInitialCellBytes = 16 * 1024;
// More columns than a table may have (MariaDB's and MySQL's limit) is no result this program asked for:
// refused before any room is made for them.
constexpr unsigned int kMaxColumns = 4096;
// How long a released connection waits for its thread to close the handle politely before leaving
// it to finish on its own.
constexpr auto kJoinWait = std::chrono::milliseconds(250);

const QEvent::Type kFinishedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

enum Kind { kOpen, kQuery, kClose };

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

Error errorFrom(MYSQL* m, bool timedOut) {
    return errorWith(mysql_errno(m), mysql_error(m), timedOut);
}

// A broken transfer is sometimes recorded on the connection rather than on the statement.
Error errorFrom(MYSQL_STMT* s, bool timedOut) {
    if (mysql_stmt_errno(s) == 0 && mysql_errno(s->mysql) != 0)
        return errorFrom(s->mysql, timedOut);
    return errorWith(mysql_stmt_errno(s), mysql_stmt_error(s), timedOut);
}

// The server has gone, or ended this session (a shutdown or a kill reports itself before closing).
bool lostConnection(unsigned int code) {
    // A cluster node that has left the primary component, or is leaving it on its way down, refuses
    // every statement of its sessions ("WSREP has not yet prepared node"): such a session is as good
    // as gone, and the next open finds a node that takes it.
    return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == ER_SERVER_SHUTDOWN ||
           code == ER_CONNECTION_KILLED || code == ER_UNKNOWN_COM_ERROR;
}

// A server that cannot take the session now: not listening, not reachable, shutting down, or a
// cluster node that is not part of the primary component ("WSREP has not yet prepared node").
bool unavailable(unsigned int code) {
    return code == CR_CONN_HOST_ERROR || code == CR_CONNECTION_ERROR || lostConnection(code);
}

Error cancelledError(const QString& reason) {
    Error e{Error::kProviderError, reason, 0};
    e.cancelled = true;
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

} // namespace

void MysqlClose::operator()(MYSQL* m) const {
    // The client keeps the password for reconnecting; nobody reconnects a closed handle.
    if (m->passwd)
        explicit_bzero(m->passwd, std::strlen(m->passwd));
    // Connector/C 3.3 does not free this option when it closes the handle: let go of it first.
    mysql_options(m, MYSQL_SERVER_PUBLIC_KEY, nullptr);
    mysql_close(m);
}

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

// One unit of work for the connection's thread. Inputs are set before it is queued; results are
// written by the thread before it hands the operation back; `finished`, `verdict` and `waiter` belong
// to the window thread.
struct Connection::Operation {
    int kind = kQuery;
    quint64 generation = 0;
    QByteArray text;
    SqlParams params;
    bool prepared = false;
    ConnectionParams connect;
    unsigned int readTimeoutSeconds = 30;
    std::function<void(qint64)> rowsHook;
    std::shared_ptr<Cancellation> caller; // the caller's own hold: ends the statement, keeps the session
    bool mayReconnect = false;            // no transaction is open: a fresh session loses nothing
    Tx tx = Tx::None;                     // what the statement does to the transaction, once it succeeded

    std::atomic<bool> cancelled{false}; // given up entirely: the session is cut off

    bool givenUp() const { return cancelled || (caller && caller->isCancelled()); }

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
    std::coroutine_handle<> waiter; // the coroutine suspended on this operation, if any

    // The last thing done with an operation: `this` and its connection may be gone afterwards.
    void resumeWaiter() {
        if (auto h = std::exchange(waiter, {}))
            h.resume();
    }
};

// The connection's thread and what it shares with the window thread. Held by both through a
// shared_ptr, so either may go first.
struct Connection::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable exitedCv;
    std::deque<std::shared_ptr<Operation>> queue;
    std::vector<std::shared_ptr<Operation>> done;
    Connection* owner = nullptr;  // receives the finished operations; null once released
    HostLookup* lookup = nullptr; // null: hostLookup()
    bool quit = false;
    bool exited = false;
    int eventFd = -1; // a cancel wakes the thread from its wait on the socket

    // Used by the thread only.
    MysqlPtr handle;
    quint64 handleGeneration = 0;
    // The account of the last open, for reopening a session the server ended and for the second
    // session that ends a statement; wiped when the connection closes.
    ConnectionParams lastParams;
    QByteArray lastHost;  // the address connected to
    QByteArray avoidHost; // the address whose session was lost last: tried last at the next open
    unsigned long threadId = 0;
    bool noBackslashEscapes = false;
    unsigned int lastReadTimeout = 30;
    bool timedOut = false;
    bool aborted = false;
    bool discard = false; // the session is left with unread data: not used again
    // How long drive() waits: until an absolute time (an attempt to connect), or for at most this long
    // each time the library waits for the server (a statement: the read time-out); 0 for no limit.
    struct Limit {
        qint64 untilMs = 0;
        qint64 eachWaitMs = 0;
    } limit;
    int limitedFd = -1; // the socket whose blocking reads are bounded already

    // The short sessions that end a statement on the server, each on a thread of its own, so that a
    // server that does not answer them holds up nothing; joined before the worker ends.
    struct Kill {
        ConnectionParams account; // its own copy, wiped by sendKill
        QByteArray address;
        unsigned long threadId = 0;
        bool wholeSession = false;
        std::atomic<int> state{0}; // 0 running, 1 sent, 2 failed
    };
    std::shared_ptr<Kill> kill; // the current statement's, once asked for
    std::vector<std::pair<std::thread, std::shared_ptr<Kill>>> killers;

    Worker() { eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
    ~Worker() {
        forgetAccount();
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
    void forgetAccount();
    // Lets go of a session the server ended (or that was cut short); `serverGone` sends its address
    // to the end of the next open's list.
    void dropHandle(bool serverGone) {
        if (serverGone)
            avoidHost = lastHost;
        handle.reset();
        threadId = 0;
    }
    void connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds, Operation& op);
    bool pin(MYSQL* m, Operation& op);
    // Sends KILL QUERY (or KILL CONNECTION) for the session from a thread of its own.
    std::shared_ptr<Kill> killOnServer(bool wholeSession);
    void joinKillers(bool all);
    bool peerClosed() const;
    void query(Operation& op);
    void queryText(Operation& op, MYSQL* m);
    void queryPrepared(Operation& op, MYSQL* m);
    // Waits for the socket as the client asks and continues the call until it completes. A caller's
    // cancel ends the statement on the server (the call then ends with the server's error); giving
    // up entirely, or a kill that could not be sent, shuts the socket down, so the call ends soon with
    // an error; `aborted` says so. The wait never outlasts `limit`: the library bounds its own waits
    // only on sessions without TLS.
    template <class Cont> void drive(MYSQL* m, int status, Operation& op, Cont&& cont);
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
        if (op->givenUp())
            op->error = cancelledError(QString());
        else
            self->execute(*op);
        // Not even a copy of the account stays with a finished open.
        wipe(op->connect.password);
        lock.lock();
        if (self->owner) {
            self->done.push_back(op);
            QCoreApplication::postEvent(self->owner, new QEvent(kFinishedEvent));
        }
    }
    lock.unlock();
    self->handle.reset();
    self->forgetAccount();
    self->joinKillers(true);
    mysql_thread_end();
    lock.lock();
    self->exited = true;
    self->exitedCv.notify_all();
}

template <class Cont> void Connection::Worker::drive(MYSQL* m, int status, Operation& op, Cont&& cont) {
    qint64 waitEnd = -1; // of the library's current wait
    const auto cut = [&](int fd) {
        aborted = true;
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    };
    while (status != 0) {
        const int fd = static_cast<int>(mysql_get_socket(m));
        if (fd >= 0 && limit.untilMs > 0 && fd != limitedFd) {
            limitBlockingIo(fd, std::max<qint64>(limit.untilMs - monotonicMs(), 1));
            limitedFd = fd;
        }
        if (!aborted && op.cancelled) {
            cut(fd);
        } else if (!aborted && !kill && op.kind == kQuery && op.caller && op.caller->isCancelled()) {
            // Ended on the server, where it would otherwise run to its end; the session stays.
            kill = killOnServer(false);
        }
        if (!aborted && kill && kill->state == 2)
            cut(fd); // the server did not take the kill: the statement ends with this session
        const qint64 now = monotonicMs();
        if (waitEnd < 0)
            waitEnd = limit.untilMs > 0 ? limit.untilMs : limit.eachWaitMs > 0 ? now + limit.eachWaitMs : 0;
        int timeout = waitEnd > 0 ? static_cast<int>(std::max<qint64>(waitEnd - now, 0)) : -1;
        if (status & MYSQL_WAIT_TIMEOUT) {
            const int own = static_cast<int>(mysql_get_timeout_value_ms(m));
            timeout = timeout < 0 ? own : std::min(timeout, own);
        }
        pollfd fds[2] = {};
        fds[0].fd = fd;
        fds[0].events = static_cast<short>(((status & MYSQL_WAIT_READ) ? POLLIN : 0) |
                                           ((status & MYSQL_WAIT_WRITE) ? POLLOUT : 0) |
                                           ((status & MYSQL_WAIT_EXCEPT) ? POLLPRI : 0));
        fds[1].fd = eventFd;
        fds[1].events = POLLIN;
        const int n = ::poll(fds, 2, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (fds[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(eventFd, &count, sizeof count);
            continue; // look at the cancel flags first
        }
        int event = 0;
        if (n == 0) {
            timedOut = true;
            if (status & MYSQL_WAIT_TIMEOUT) {
                event = MYSQL_WAIT_TIMEOUT;
            } else {
                // A TLS read waits without a time-out of its own: the session ends here instead.
                if (fd >= 0)
                    ::shutdown(fd, SHUT_RDWR);
                event = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
            }
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
        if (event != 0) {
            status = cont(event);
            waitEnd = -1;
        }
    }
}

void Connection::Worker::execute(Operation& op) {
    timedOut = false;
    aborted = false;
    discard = false;
    kill.reset();
    switch (op.kind) {
    case kClose:
        // Also when the handle is already gone: the account kept for reopening it goes too.
        if (handleGeneration < op.generation) {
            handle.reset();
            forgetAccount();
        }
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
    // A KILL QUERY still on its way would end whatever the session runs next: it lands first.
    while (kill && kill->state == 0) {
        pollfd wake{eventFd, POLLIN, 0};
        if (::poll(&wake, 1, 100) > 0) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(eventFd, &count, sizeof count);
        }
    }
    if (aborted) {
        op.error = cancelledError(QString());
        op.outcome = {};
    }
    if (handle && op.error && (aborted || timedOut || discard || lostConnection(op.error->nativeError))) {
        // A client time-out leaves the statement running on the server: end it there as well, without
        // waiting for a server that may not answer at all.
        if (timedOut && !aborted)
            killOnServer(true);
        // A handle whose server has gone, stopped answering or whose call was cut short is never used
        // again; the server goes last at the next open unless the caller gave up.
        dropHandle(!op.cancelled && !discard);
        op.handleLost = true;
        if (!aborted && !discard && !op.error->isTimeout())
            op.error->description = QStringLiteral("与数据库服务器的连接已断开：") + op.error->description;
    }
    if (handle) {
        unsigned int serverStatus = 0;
        if (!mariadb_get_infov(handle.get(), MARIADB_CONNECTION_SERVER_STATUS, &serverStatus))
            noBackslashEscapes = serverStatus & SERVER_STATUS_NO_BACKSLASH_ESCAPES;
        op.statusKnown = true;
        op.noBackslashEscapes = noBackslashEscapes;
    }
}

void Connection::Worker::forgetAccount() {
    wipe(lastParams.user);
    wipe(lastParams.password);
    lastParams = {};
    wipe(lastHost);
    threadId = 0;
}

void Connection::Worker::open(Operation& op) {
    // The previous handle goes first, whatever becomes of the new one.
    handle.reset();
    forgetAccount();
    lastParams = std::move(op.connect); // held here alone, so wiping it wipes the only copy
    lastReadTimeout = op.readTimeoutSeconds;
    connectTo(lastParams, lastReadTimeout, op);
    if (!handle)
        forgetAccount();
}

void Connection::Worker::connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds,
                                   Operation& op) {
    const QString hostName = p.host.isEmpty() ? QStringLiteral("localhost") : p.host;
    const Result<QStringList> addresses = (lookup ? *lookup : hostLookup()).resolve(hostName);
    if (op.givenUp()) {
        aborted = true;
        return;
    }
    if (!addresses || addresses.value().isEmpty()) {
        const QString why = addresses ? QStringLiteral("no address") : addresses.error().description;
        op.error = Error{Error::kProviderError,
                         QStringLiteral("Unknown server host '%1' (%2)").arg(hostName, why), CR_UNKNOWN_HOST};
        return;
    }
    // Always by address, so each address gets its share of the time and the lost one goes last; a
    // certificate is checked against the settings' host name by the probe, before the session.
    QStringList order = addresses.value();
    // A server that just went away (a cluster node stopped, say) is tried last, not first.
    if (order.size() > 1 && order.removeAll(QString::fromUtf8(avoidHost)) > 0)
        order << QString::fromUtf8(avoidHost);
    const TransportPolicy policy = transportPolicy(p);
    QByteArray user = p.user.toUtf8();
    QByteArray password = p.password.toUtf8();
    const QByteArray database = p.database.toUtf8();
    const auto forget = qScopeGuard([&] {
        wipe(user);
        wipe(password);
    });
    // Every address shares one connect time-out; one that does not answer holds up the rest for a
    // few seconds at most.
    const qint64 deadline = monotonicMs() + kConnectTimeoutSeconds * 1000;
    for (qsizetype i = 0; i < order.size(); ++i) {
        const bool last = i + 1 == order.size();
        const qint64 leftMs = std::max<qint64>(deadline - monotonicMs(), 1000);
        const qint64 attemptMs =
            last ? leftMs : std::min<qint64>(leftMs / (order.size() - i), kAddressTimeoutMs);
        limit = {monotonicMs() + attemptMs, 0};
        limitedFd = -1;
        timedOut = false;
        const QByteArray host = order.at(i).toUtf8();
        QByteArray fingerprint;
        if (policy.requireTls) {
            const Result<QByteArray> probed = probeCertificate(
                policy, p, host, hostName, Deadline{limit.untilMs, eventFd, [&] { return op.givenUp(); }});
            if (op.givenUp()) {
                aborted = true;
                return;
            }
            if (!probed) {
                op.error = probed.error();
                if (!unavailable(op.error->nativeError) && !op.error->isTimeout())
                    return;
                continue;
            }
            fingerprint = probed.value();
        }
        MysqlPtr h(mysql_init(nullptr));
        if (!h) {
            op.error = Error{Error::kProviderError, QStringLiteral("无法创建数据库连接（内存不足）"), 0};
            return;
        }
        MYSQL* m = h.get();
        const auto attemptSeconds =
            static_cast<unsigned int>(std::max<qint64>((limit.untilMs - monotonicMs()) / 1000, 1));
        configureSession(m, policy, fingerprint, readTimeoutSeconds, attemptSeconds);
        MYSQL* connected = nullptr;
        const int status =
            mysql_real_connect_start(&connected, m, host.constData(), user.constData(), password.constData(),
                                     database.isEmpty() ? nullptr : database.constData(), p.port, nullptr, 0);
        drive(m, status, op, [&](int event) { return mysql_real_connect_cont(&connected, m, event); });
        if (aborted)
            return;
        if (connected) {
            setNonBlocking(static_cast<int>(mysql_get_socket(m)));
            if (pin(m, op)) {
                op.error.reset();
                handle = std::move(h);
                handleGeneration = op.generation;
                lastHost = host;
                avoidHost.clear();
                threadId = mysql_thread_id(m);
                return;
            }
            if (aborted)
                return;
        } else {
            op.error = explainTransportRefusal(errorFrom(m, timedOut), p, hostName);
        }
        // Only a server that is not there, not answering or not ready sends us on to the next one;
        // a refused account or an unsafe transport is the same on every server.
        if (!unavailable(op.error->nativeError) && !op.error->isTimeout())
            return;
    }
}

bool Connection::Worker::pin(MYSQL* m, Operation& op) {
    // The server's init_connect has run by now and may have changed the character set or the
    // backslash mode: set the one, read the other.
    static const QByteArray kNames = QByteArrayLiteral("SET NAMES utf8mb4");
    static const QByteArray kMode = QByteArrayLiteral("SELECT @@SESSION.sql_mode");
    int rc = 0;
    drive(m, mysql_real_query_start(&rc, m, kNames.constData(), static_cast<unsigned long>(kNames.size())),
          op, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    if (rc == 0)
        drive(m, mysql_real_query_start(&rc, m, kMode.constData(), static_cast<unsigned long>(kMode.size())),
              op, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    MYSQL_RES* raw = nullptr;
    if (rc == 0)
        drive(m, mysql_store_result_start(&raw, m), op,
              [&](int event) { return mysql_store_result_cont(&raw, m, event); });
    const MysqlResultPtr mode(raw);
    if (aborted)
        return false;
    const MYSQL_ROW row = mode ? mysql_fetch_row(mode.get()) : nullptr;
    if (rc != 0 || !row) {
        op.error = errorFrom(m, timedOut);
        op.error->description =
            QStringLiteral("无法设定数据库会话（字符集 utf8mb4）：") + op.error->description;
        return false;
    }
    noBackslashEscapes = row[0] && std::strstr(row[0], "NO_BACKSLASH_ESCAPES") != nullptr;
    return true;
}

std::shared_ptr<Connection::Worker::Kill> Connection::Worker::killOnServer(bool wholeSession) {
    joinKillers(false);
    auto job = std::make_shared<Kill>();
    if (threadId == 0 || lastHost.isEmpty()) {
        job->state = 2;
        return job;
    }
    job->account = lastParams;
    // Copies of their own, so that each holder overwrites its own characters when it lets go.
    job->account.user = QString(lastParams.user.constData(), lastParams.user.size());
    job->account.password = QString(lastParams.password.constData(), lastParams.password.size());
    job->address = lastHost;
    job->threadId = threadId;
    job->wholeSession = wholeSession;
    killers.emplace_back(std::thread([job, this] {
                             pthread_setname_np(pthread_self(), "vornik-kill");
                             mysql_thread_init();
                             const Status sent = sendKill(job->account, job->address, job->threadId,
                                                          job->wholeSession, kKillTimeoutMs);
                             mysql_thread_end();
                             job->state = sent ? 1 : 2;
                             poke();
                         }),
                         job);
    return job;
}

void Connection::Worker::joinKillers(bool all) {
    for (auto it = killers.begin(); it != killers.end();) {
        if (all || it->second->state != 0) {
            it->first.join();
            it = killers.erase(it);
        } else {
            ++it;
        }
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
        // Nothing was sent yet, so nothing can have run twice: reopen with the same account first
        // (pinned like every new session, whatever mode the server restarted in). The old session's
        // id is nobody's to kill any more.
        dropHandle(true);
        connectTo(lastParams, lastReadTimeout, op);
        if (!handle) {
            op.handleLost = true;
            return;
        }
    }
    limit = {0, qint64(lastReadTimeout) * 1000};
    timedOut = false; // an address that did not answer the reopen is not this statement's time-out
    if (op.prepared)
        queryPrepared(op, handle.get());
    else
        queryText(op, handle.get());
    if (op.error || op.givenUp())
        op.outcome = {};
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
    int rc = 0;
    drive(
        m,
        mysql_stmt_prepare_start(&rc, stmt, op.text.constData(), static_cast<unsigned long>(op.text.size())),
        op, [&](int event) { return mysql_stmt_prepare_cont(&rc, stmt, event); });
    if (rc != 0) {
        op.error = errorFrom(stmt, timedOut);
        return;
    }
    if ((op.error = tooManyColumns(mysql_stmt_field_count(stmt))))
        return; // nothing executed, nothing to read
    const auto paramCount = static_cast<qsizetype>(mysql_stmt_param_count(stmt));
    if (paramCount != op.params.size()) {
        op.error =
            Error{Error::kProviderError,
                  QStringLiteral("语句需要 %1 个参数，给了 %2 个").arg(paramCount).arg(op.params.size()), 0};
        return;
    }
    std::vector<QByteArray> values(static_cast<std::size_t>(paramCount));
    std::vector<unsigned long> valueLengths(values.size());
    std::vector<MYSQL_BIND> in(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const QVariant& v = op.params.at(static_cast<qsizetype>(i));
        std::memset(&in[i], 0, sizeof in[i]);
        if (v.isNull()) {
            in[i].buffer_type = MYSQL_TYPE_NULL;
            continue;
        }
        values[i] = v.typeId() == QMetaType::QDateTime
                        ? v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8()
                        : v.toString().toUtf8();
        valueLengths[i] = static_cast<unsigned long>(values[i].size());
        in[i].buffer_type = MYSQL_TYPE_STRING;
        in[i].buffer = values[i].data();
        in[i].buffer_length = valueLengths[i];
        in[i].length = &valueLengths[i];
    }
    if (!in.empty() && mysql_stmt_bind_param(stmt, in.data())) {
        op.error = errorFrom(stmt, false);
        return;
    }
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
    // Every value is read as text: the client formats dates and numbers the way a text result has them.
    // Room as each column declares (a hostile one may declare gigabytes), grown below as values need.
    std::vector<std::vector<char>> cells(fieldCount);
    for (unsigned int i = 0; i < fieldCount; ++i)
        cells[i].resize(std::clamp<unsigned long>(fields[i].length + 1, 64, kMaxInitialCellBytes));
    std::vector<unsigned long> lengths(fieldCount);
    std::vector<my_bool> nulls(fieldCount);
    std::vector<my_bool> truncated(fieldCount);
    std::vector<MYSQL_BIND> out(fieldCount);
    const auto bindCell = [&](unsigned int i) {
        std::memset(&out[i], 0, sizeof out[i]);
        out[i].buffer_type = MYSQL_TYPE_STRING;
        out[i].buffer = cells[i].data();
        out[i].buffer_length = static_cast<unsigned long>(cells[i].size());
        out[i].length = &lengths[i];
        out[i].is_null = &nulls[i];
        out[i].error = &truncated[i];
    };
    for (unsigned int i = 0; i < fieldCount; ++i)
        bindCell(i);
    if (mysql_stmt_bind_result(stmt, out.data())) {
        op.error = errorFrom(stmt, false);
        return;
    }
    qint64 rows = 0;
    for (;;) {
        drive(m, mysql_stmt_fetch_start(&rc, stmt), op,
              [&](int event) { return mysql_stmt_fetch_cont(&rc, stmt, event); });
        if (rc == MYSQL_NO_DATA)
            break;
        if (rc == 1) {
            op.error = errorFrom(stmt, timedOut);
            break;
        }
        if (op.givenUp())
            continue; // drained, not converted
        bool grown = false;
        for (unsigned int i = 0; i < fieldCount; ++i) {
            if (rc == MYSQL_DATA_TRUNCATED && truncated[i] && !nulls[i]) {
                // A value longer than its room: read it whole into room that fits it from now on.
                cells[i].resize(lengths[i]);
                bindCell(i);
                if (mysql_stmt_fetch_column(stmt, &out[i], i, 0)) {
                    op.error = errorFrom(stmt, false);
                    return;
                }
                grown = true;
            }
            table.add(i, cells[i].data(), lengths[i], nulls[i]);
        }
        if (grown && mysql_stmt_bind_result(stmt, out.data())) {
            op.error = errorFrom(stmt, false);
            return;
        }
        if (++rows % kHookEveryRows == 0 && op.rowsHook)
            op.rowsHook(rows);
    }
    if (op.error)
        return;
    op.outcome.result = table.finish();
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
    if (event->type() != kFinishedEvent || !worker_)
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
        if (op.error)
            ++errorsCount_;
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
    errorsCount_ = 0;
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

// ---- The synchronous bridge ----------------------------------------------------------------------

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
