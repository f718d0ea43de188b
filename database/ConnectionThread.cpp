#include "database/ConnectionThread.h"

#include "database/Statements.h"
#include "database/Transport.h"
#include "util/Secret.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The second session that ends a statement on the server: on a thread of its own, so a server that
// does not answer it holds up nothing; after this long it gives up.
constexpr qint64 kKillTimeoutMs = 5000;
} // namespace

void MysqlClose::operator()(MYSQL* m) const {
    // The client keeps the password for reconnecting; nobody reconnects a closed handle.
    if (m->passwd)
        explicit_bzero(m->passwd, std::strlen(m->passwd));
    // Connector/C 3.3 does not free this option when it closes the handle: let go of it first.
    mysql_options(m, MYSQL_SERVER_PUBLIC_KEY, nullptr);
    mysql_close(m);
}

QEvent::Type finishedEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

Connection::Worker::Worker() {
    eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Connection::Worker::~Worker() {
    forgetAccount();
    if (eventFd >= 0)
        ::close(eventFd);
}

void Connection::Worker::poke() const {
    const quint64 one = 1;
    if (eventFd >= 0) [[maybe_unused]]
        const auto n = ::write(eventFd, &one, sizeof one);
}

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
            QCoreApplication::postEvent(self->owner, new QEvent(finishedEventType()));
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

int Connection::Worker::waitTimeout(MYSQL* m, int fd, int status, Operation& op, qint64& waitEnd) {
    const auto cut = [&] {
        aborted = true;
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    };
    if (fd >= 0 && limit.untilMs > 0 && fd != limitedFd) {
        limitBlockingIo(fd, std::max<qint64>(limit.untilMs - monotonicMs(), 1));
        limitedFd = fd;
    }
    if (!aborted && op.cancelled) {
        cut();
    } else if (!aborted && !kill && op.kind == kQuery && op.caller && op.caller->isCancelled()) {
        // Ended on the server, where it would otherwise run to its end; the session stays.
        kill = killOnServer(false);
    }
    if (!aborted && kill && kill->state == 2)
        cut(); // the server did not take the kill: the statement ends with this session
    const qint64 now = monotonicMs();
    if (waitEnd < 0)
        waitEnd = limit.untilMs > 0 ? limit.untilMs : limit.eachWaitMs > 0 ? now + limit.eachWaitMs : 0;
    int timeout = waitEnd > 0 ? static_cast<int>(std::max<qint64>(waitEnd - now, 0)) : -1;
    if (status & MYSQL_WAIT_TIMEOUT) {
        const int own = static_cast<int>(mysql_get_timeout_value_ms(m));
        timeout = timeout < 0 ? own : std::min(timeout, own);
    }
    return timeout;
}

int Connection::Worker::nextEvent(MYSQL* m, int status, Operation& op, qint64& waitEnd) {
    const int fd = static_cast<int>(mysql_get_socket(m));
    const int timeout = waitTimeout(m, fd, status, op, waitEnd);
    pollfd fds[2] = {};
    fds[0].fd = fd;
    fds[0].events = static_cast<short>(((status & MYSQL_WAIT_READ) ? POLLIN : 0) |
                                       ((status & MYSQL_WAIT_WRITE) ? POLLOUT : 0) |
                                       ((status & MYSQL_WAIT_EXCEPT) ? POLLPRI : 0));
    fds[1].fd = eventFd;
    fds[1].events = POLLIN;
    const int n = ::poll(fds, 2, timeout);
    if (n < 0 && errno == EINTR)
        return 0;
    if (fds[1].revents & POLLIN) {
        quint64 count = 0;
        [[maybe_unused]] const auto r = ::read(eventFd, &count, sizeof count);
        return 0; // look at the cancel flags first
    }
    int event = 0;
    if (n == 0) {
        timedOut = true;
        if (status & MYSQL_WAIT_TIMEOUT)
            return MYSQL_WAIT_TIMEOUT;
        // A TLS read waits without a time-out of its own: the session ends here instead.
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
        return status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
    }
    const short got = fds[0].revents;
    if (got & (POLLIN | POLLHUP | POLLERR))
        event |= MYSQL_WAIT_READ;
    if (got & (POLLOUT | POLLHUP | POLLERR))
        event |= MYSQL_WAIT_WRITE;
    if (got & POLLPRI)
        event |= MYSQL_WAIT_EXCEPT;
    event &= status;
    if (event == 0 && n < 0)
        event = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE); // let the client see the failure
    return event;
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
    settleSession(op);
}

void Connection::Worker::settleSession(Operation& op) {
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

void Connection::Worker::dropHandle(bool serverGone) {
    if (serverGone)
        avoidHost = lastHost;
    handle.reset();
    threadId = 0;
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
