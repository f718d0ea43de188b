#pragma once
// The connection's own thread, private to database/: the operations the window side hands it, and the
// thread that runs them one at a time, waiting in poll on the socket and a wake-up descriptor. Its jobs
// are spread by kind: the thread, its waits and the kills (ConnectionThread.cpp), opening and pinning a
// session (Transport.cpp), statements and their values (Statements.cpp). The window side is Connection.cpp.
#include "database/Connection.h"

#include <QByteArray>
#include <QEvent>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <coroutine>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <mysql.h>

enum Kind { kOpen, kQuery, kClose };

// The event that tells the window side operations have finished.
QEvent::Type finishedEventType();

// An open's account and what its settings ask of the transport, for each address it tries.
struct Login;

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

    Worker();
    ~Worker();
    // Wakes the thread from its wait on the socket (any thread).
    void poke() const;

    // ConnectionThread.cpp: the thread, its waits, the operations' dispatch, the kills.
    static void main(std::shared_ptr<Worker> self);
    void execute(Operation& op);
    // After an operation: what its failure means for the session (cut, lost, timed out), and the mode.
    void settleSession(Operation& op);
    void forgetAccount();
    // Lets go of a session the server ended (or that was cut short); `serverGone` sends its address
    // to the end of the next open's list.
    void dropHandle(bool serverGone);
    // Sends KILL QUERY (or KILL CONNECTION) for the session from a thread of its own.
    std::shared_ptr<Kill> killOnServer(bool wholeSession);
    void joinKillers(bool all);
    bool peerClosed() const;
    void query(Operation& op);
    // Waits for the socket as the client asks and continues the call until it completes. A caller's
    // cancel ends the statement on the server (the call then ends with the server's error); giving
    // up entirely, or a kill that could not be sent, shuts the socket down, so the call ends soon with
    // an error; `aborted` says so. The wait never outlasts `limit`: the library bounds its own waits
    // only on sessions without TLS.
    template <class Cont> void drive(MYSQL* m, int status, Operation& op, Cont&& cont) {
        qint64 waitEnd = -1; // of the library's current wait
        while (status != 0) {
            if (const int event = nextEvent(m, status, op, waitEnd); event != 0) {
                status = cont(event);
                waitEnd = -1;
            }
        }
    }
    // One wait of drive(): the event to continue the call with, or 0 to look again.
    int nextEvent(MYSQL* m, int status, Operation& op, qint64& waitEnd);
    // How long that wait may be (-1: no limit); first cuts the session or sends the kill a cancel asks for.
    int waitTimeout(MYSQL* m, int fd, int status, Operation& op, qint64& waitEnd);

    // Transport.cpp: a session opened and pinned, address by address.
    void open(Operation& op);
    void connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds, Operation& op);
    std::optional<QStringList> addressOrder(const QString& hostName, Operation& op);
    // One address: false when connected, or when no other address would fare better.
    bool attempt(const Login& login, const QByteArray& host, Operation& op);
    bool pin(MYSQL* m, Operation& op);

    // Statements.cpp.
    void queryText(Operation& op, MYSQL* m);
    void queryPrepared(Operation& op, MYSQL* m);
};
