// The data-access layer against the real throwaway server.
#include "Columns.h"
#include "ScratchDb.h"
#include "ScriptedLookup.h"
#include "Seams.h"
#include "Sync.h"
#include "database/Connection.h"
#include "database/ConnectionString.h"
#include "database/Recordset.h"
#include "util/Handlers.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTimer>
#include <QtTest>

#include <atomic>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The test server reached under a name that only the scripted lookup knows.
QString namedConnectionString(const QString& database = QStringLiteral("vornik_test_da")) {
    return QStringLiteral("uid=qelmorand;pwd=40628173;server=db.vornik.invalid:") + testdb::port() +
           QStringLiteral(";database=") + database;
}

// Notes how an awaited operation ended: "name: ok", or "name: <error> (cancelled)".
template <class T> Co<> note(Co<T> task, QStringList* log, QString name) {
    const T r = co_await task;
    *log << name + (r ? QStringLiteral(": ok")
                      : QStringLiteral(": ") + r.error().description +
                            (r.error().cancelled ? QStringLiteral(" (cancelled)") : QString()));
}

} // namespace

class TestDataAccess : public QObject {
    Q_OBJECT

    // A database of this test's own, so emptying its table never disturbs other tests' rows.
    ScratchDb db{QStringLiteral("vornik_test_da")};
    Connection* conn = nullptr; // its connection, the one the statements under test run on

private Q_SLOTS:
    void connectionString_data() {
        columns<QString, QString, QString, QString, uint, QString>("text", "user", "password", "host", "port",
                                                                   "database");
        row("plain", "DRIVER={MySQL ODBC 3.51 Driver};uid=u;pwd=p;server=h;database=d", "u", "p", "h", 3306u,
            "d");
        row("keys any case", "Driver={x};UID=u;PWD=p;SERVER=h;DATABASE=d", "u", "p", "h", 3306u, "d");
        row("server with port", "uid=u;pwd=p;server=10.0.0.5:3407;database=d", "u", "p", "10.0.0.5", 3407u,
            "d");
        row("braced semicolon", "uid=u;pwd={a;b}}c};server=h;database=d", "u", "a;b}c", "h", 3306u, "d");
        row("empty server", "uid=u;pwd=;server=;database=d", "u", "", "", 3306u, "d");
        row("chinese", "uid=张三;pwd=密码;server=h;database=库", "张三", "密码", "h", 3306u, "库");
    }
    void connectionString() {
        QFETCH(QString, text);
        const ConnectionParams p = parseConnectionString(text);
        QTEST(p.user, "user");
        QTEST(p.password, "password");
        QTEST(p.host, "host");
        QTEST(p.port, "port");
        QTEST(p.database, "database");
    }

    void odbcValueRoundTrip_data() {
        columns<QString>("value");
        for (const char* v : {"plain", "a;b", "{x}", "}}", "a=b", ""})
            row(v, QString::fromUtf8(v));
    }
    void odbcValueRoundTrip() {
        QFETCH(QString, value);
        const ConnectionParams p =
            parseConnectionString(QStringLiteral("uid=") + odbcValue(value) + QStringLiteral(";pwd=x"));
        QCOMPARE(p.user, value);
        QCOMPARE(p.password, QStringLiteral("x"));
    }

    void initTestCase() {
        REQUIRE_DB();
        QVERIFY(db.create());
        conn = &db.admin();
        QCOMPARE(conn->State(), Connection::kStateOpen);
    }

    void openFailures_data() {
        columns<QString>("connectionString");
        row("wrong password", testdb::connectionString(QStringLiteral("qelmorand"), QStringLiteral("nope")));
        row("unknown user", testdb::connectionString(QStringLiteral("nobody"), QStringLiteral("x")));
        // Nothing listens on port 1 of the loopback: refused at once.
        row("unreachable server",
            QStringLiteral("uid=qelmorand;pwd=40628173;server=127.0.0.1:1;database=qelmorand"));
    }
    void openFailures() {
        QFETCH(QString, connectionString);
        Connection c;
        const Status s = c.Open(connectionString);
        QVERIFY(!s);
        QVERIFY(!s.error().description.isEmpty());
        QCOMPARE(c.State(), Connection::kStateClosed);
        // A statement on the failed connection is an error, not a crash.
        QVERIFY(!c.Execute(QStringLiteral("select 1")));
    }

    void fieldsByNameAnyCase() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("标题"), QStringLiteral("正文")));
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name"), conn));
        QCOMPARE(rs.State(), Connection::kStateOpen);
        for (const char* n : {"dataid", "DATAID", "DataID", "Name"})
            QVERIFY2(rs.text(QString::fromLatin1(n)).ok(), n);
        QCOMPARE(rs.text(QStringLiteral("dataId")).value(), QStringLiteral("1"));
        QCOMPARE(rs.text(QStringLiteral("NAME")).value(), QStringLiteral("标题"));
        QVERIFY(!rs.text(QStringLiteral("missing")).ok());
    }

    void nullReadAsTextIsError() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(conn->Execute(QStringLiteral("INSERT INTO searchtxt_data (dataid,name) VALUES ('n','t')")));
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select * from searchtxt_data"), conn));
        QVERIFY(rs.text(QStringLiteral("name")).ok());
        const auto data = rs.text(QStringLiteral("Data"));
        QVERIFY(!data.ok());
        QVERIFY(data.error().description.contains(QStringLiteral("Null"), Qt::CaseInsensitive));
    }

    void recordCountIsExact_data() {
        columns<int>("rows");
        row("none", 0);
        row("one", 1);
        row("many", 257);
    }
    void recordCountIsExact() {
        QFETCH(int, rows);
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(conn->BeginTrans());
        for (int i = 0; i < rows; ++i)
            CHECK_SQL(db.insert(QString::number(i), QStringLiteral("t%1").arg(i), QStringLiteral("d")));
        QVERIFY(conn->CommitTrans());
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select * from SearchTxt_Data order by dataid+0"), conn));
        QCOMPARE(rs.RecordCount(), qint64(rows));
        // Reading by count walks every row once, in server order.
        QVERIFY(rows == 0 || rs.MoveFirst());
        for (int i = 0; i < rows; ++i) {
            QCOMPARE(rs.text(QStringLiteral("dataid")).value(), QString::number(i));
            QVERIFY(rs.MoveNext());
        }
        QVERIFY(rs.isEOF());
    }

    void statementWithoutRowsLeavesRecordsetClosed() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("delete from searchtxt_data where dataid='x'"), conn));
        QCOMPARE(rs.State(), Connection::kStateClosed);
        QVERIFY(rs.Open(QStringLiteral("select 1"), conn));
        QCOMPARE(rs.State(), Connection::kStateOpen);
        QVERIFY(rs.Open(QStringLiteral("update searchtxt_data set name='y' where 1=0"), conn));
        QCOMPARE(rs.State(), Connection::kStateClosed);
    }

    void badStatementIsAnError() {
        Recordset rs;
        const Status s = rs.Open(QStringLiteral("selec nonsense"), conn);
        QVERIFY(!s);
        QVERIFY(s.error().description.contains(QStringLiteral("syntax")));
        QCOMPARE(rs.State(), Connection::kStateClosed);
        // The connection is still usable afterwards.
        QVERIFY(conn->Execute(QStringLiteral("select 1")));
    }

    void addNewUpdateStoresEscapedValues_data() {
        columns<QString>("name");
        row("quote", "it's");
        row("backslash", "C:\\dir\\n");
        row("injection", "x'); drop table SearchTxt_Data; --");
        row("chinese and emoji", "中文标题 😀");
        row("double quote", "say \"hi\"");
    }
    void addNewUpdateStoresEscapedValues() {
        QFETCH(QString, name);
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select * from SearchTxt_Data where 1=0"), conn));
        QVERIFY(rs.AddNew());
        QVERIFY(rs.setValue(QStringLiteral("DataID"), QStringLiteral("2024010100000000001")));
        QVERIFY(rs.setValue(QStringLiteral("name"), name));
        QVERIFY(rs.setValue(QStringLiteral("data"), QStringLiteral("a\r\nb")));
        QVERIFY(rs.setValue(QStringLiteral("CreateDatetime"), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5))));
        QVERIFY(rs.setValue(QStringLiteral("desc"), QString()));
        const Status s = rs.Update();
        QVERIFY2(s, qPrintable(s.description()));
        QCOMPARE(rs.RecordCount(), qint64(1));

        Recordset back;
        QVERIFY(back.Open(QStringLiteral("select * from searchtxt_data"), conn));
        QCOMPARE(back.RecordCount(), qint64(1));
        QCOMPARE(back.text(QStringLiteral("name")).value(), name);
        QCOMPARE(back.text(QStringLiteral("data")).value(), QStringLiteral("a\r\nb"));
        QCOMPARE(back.text(QStringLiteral("createdatetime")).value(), QStringLiteral("2024-01-02 03:04:05"));
        // An empty text is stored as empty, not NULL.
        QCOMPARE(back.text(QStringLiteral("desc")).value(), QString());
    }

    void rollbackReallyUndoes() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(conn->BeginTrans());
        QVERIFY(conn->inTransaction());
        CHECK_SQL(db.insert(QStringLiteral("r1"), QStringLiteral("gone"), QStringLiteral("x")));
        QVERIFY(conn->RollbackTrans());
        QVERIFY(!conn->inTransaction());
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select * from searchtxt_data"), conn));
        QCOMPARE(rs.RecordCount(), qint64(0));
        // Without an active transaction a rollback is refused, and nothing else breaks.
        QVERIFY(!conn->RollbackTrans());
        QVERIFY(conn->Execute(QStringLiteral("select 1")));
    }

    void slowStatementKeepsEventLoopRunning() {
        int ticks = 0;
        QTimer timer;
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start();
        QElapsedTimer elapsed;
        elapsed.start();
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select sleep(2) as s"), conn));
        QVERIFY(elapsed.elapsed() >= 1900);
        QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
        QCOMPARE(rs.RecordCount(), qint64(1));
    }

    void nestedStatementsTakeTurns() {
        // A handler that runs while a statement is in flight issues its own: it waits its turn,
        // and both get their own results.
        QString inner;
        QTimer::singleShot(100, this, [&] {
            Recordset rs;
            if (rs.Open(QStringLiteral("select 'inner' as v"), conn))
                inner = rs.text(QStringLiteral("v")).value();
        });
        Recordset outer;
        QVERIFY(outer.Open(QStringLiteral("select sleep(1), 'outer' as v"), conn));
        QCOMPARE(outer.text(QStringLiteral("v")).value(), QStringLiteral("outer"));
        QTRY_COMPARE(inner, QStringLiteral("inner"));
    }

    void readTimeoutIsReportedAsTimeout() {
        Connection c;
        c.setReadTimeoutSeconds(1);
        QVERIFY(c.Open(testdb::connectionString()));
        const Status s = c.Execute(QStringLiteral("select sleep(3)"));
        QVERIFY(!s);
        QVERIFY2(s.error().isTimeout(), qPrintable(s.error().description));
        QCOMPARE(s.error().number, 0x80040E31u);
    }

    // Whoever waits on a connection or a recordset released meanwhile resumes once, in the order issued,
    // with an error marked cancelled, and touches nothing of it (the sanitizer run checks the last part).
    void releasedWhileWaiting_data() {
        columns<QString, QStringList>("what", "resumed");
        const QString gone = QStringLiteral("数据库连接已被释放 (cancelled)");
        row("a synchronous call", "bridge", QStringList{"call: " + gone});
        row("two statements awaited", "statements", QStringList{"first: " + gone, "second: " + gone});
        row("an open awaiting a slow lookup", "open", QStringList{"open: " + gone});
        row("a recordset, its connection kept", "recordset",
            QStringList{QStringLiteral("open: 记录集已被释放 (cancelled)")});
    }
    void releasedWhileWaiting() {
        QFETCH(QString, what);
        QFETCH(QStringList, resumed);
        static ScriptedLookup slow; // the released connection's thread may still be in it after the test
        slow.delayMs = 1000;
        auto c = std::make_unique<Connection>(&slow);
        if (what != u"open")
            QVERIFY(sync(c->open(parseConnectionString(testdb::connectionString()))));
        auto rs = std::make_unique<Recordset>();
        QStringList log;
        Handlers handlers;
        if (what == u"bridge") {
            QTimer::singleShot(100, this, [&] { c.reset(); });
            const Status s = c->Execute(QStringLiteral("select sleep(1)"));
            log << "call: " + s.description() + (s.cancelled() ? " (cancelled)" : "");
        } else if (what == u"statements") {
            handlers.start(note(c->execute(QStringLiteral("select sleep(1)")), &log, "first"));
            handlers.start(note(c->run(QStringLiteral("select 1")), &log, "second"));
        } else if (what == u"open") {
            handlers.start(note(c->open(parseConnectionString(namedConnectionString())), &log, "open"));
        } else {
            handlers.start(note(rs->open(QStringLiteral("select sleep(1)"), {}, *c), &log, "open"));
        }
        QTest::qWait(100);
        if (what == u"recordset")
            rs.reset();
        else
            c.reset(); // the waiters resume inside the release
        QTRY_COMPARE(log, resumed);
        QTRY_COMPARE(handlers.running(), 0);
        if (c)
            QVERIFY(sync(c->execute(QStringLiteral("select 1"))));
    }

    // A destructor's rollback is sent without a wait, and the next statement comes after it.
    void rollbackDetached() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(sync(conn->begin()));
        QVERIFY(conn->inTransaction());
        QVERIFY(
            sync(conn->execute(QStringLiteral("INSERT INTO searchtxt_data (dataid,name) VALUES ('d','t')"))));
        conn->rollbackDetached();
        QVERIFY(!conn->inTransaction());
        const Result<QueryOutcome> r = sync(conn->run(QStringLiteral("select count(*) from searchtxt_data")));
        QVERIFY(r);
        QCOMPARE(r.value().result->columns.at(0).value(0), QStringLiteral("0"));
        QVERIFY(!sync(conn->commit())); // nothing left to commit
    }

    void hostNames_data() {
        columns<int, QStringList, bool>("delayMs", "addresses", "opens");
        row("a lookup taking 2 s", 2000, QStringList{"127.0.0.1"}, true);
        // Nothing listens on 127.0.0.2 (the server is bound to 127.0.0.1): refused, then the next one.
        row("first address refuses", 0, QStringList{"127.0.0.2", "127.0.0.1"}, true);
        // 127.0.0.3 takes the connection and never greets: the next address within the connect time-out.
        row("first address silent", 0, QStringList{"127.0.0.3", "127.0.0.1"}, true);
        row("unknown name", 0, QStringList{}, false);
    }
    void hostNames() {
        QFETCH(int, delayMs);
        QFETCH(QStringList, addresses);
        QFETCH(bool, opens);
        ScriptedLookup lookup;
        lookup.delayMs = delayMs;
        lookup.answer(addresses);
        ScopedSeam lookupSeam(setHostLookup, &lookup);
        // Listens and never accepts: the kernel completes the connection, no greeting ever comes.
        const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto closeSilent = qScopeGuard([silent] { ::close(silent); });
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(testdb::port().toUShort());
        ::inet_pton(AF_INET, "127.0.0.3", &a.sin_addr);
        QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(silent, 4) == 0);
        QElapsedTimer elapsed;
        elapsed.start();
        // The window's events keep running while the name is looked up.
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(20);
        Connection c;
        const Status s = c.Open(namedConnectionString());
        QCOMPARE(lookup.hosts(), QStringList{"db.vornik.invalid"});
        QVERIFY2(s.ok() == opens, !s ? qPrintable(s.error().description) : "opened");
        QCOMPARE(c.State(), opens ? Connection::kStateOpen : Connection::kStateClosed);
        if (opens)
            QVERIFY(c.Execute(QStringLiteral("select 1")));
        else
            QVERIFY2(s.error().description.contains(QStringLiteral("db.vornik.invalid")),
                     qPrintable(s.error().description));
        QVERIFY2(ticks >= delayMs / 40, qPrintable(QString::number(ticks)));
        QVERIFY(elapsed.elapsed() < delayMs + 15000);
    }

    void unfinishedOperationNeverCountsAsDone_data() {
        columns<bool>("duringOpen");
        row("statement running", false);
        row("open waiting for a slow lookup", true);
    }
    void unfinishedOperationNeverCountsAsDone() {
        // Quitting the application ends every event loop, the one waiting for the operation too.
        QFETCH(bool, duringOpen);
        ScriptedLookup lookup;
        lookup.delayMs = 1500;
        Connection c;
        std::optional<Status> outcome;
        {
            ScopedSeam lookupSeam(setHostLookup, duringOpen ? &lookup : nullptr);
            if (!duringOpen)
                QVERIFY(c.Open(testdb::connectionString()));
            QTimer::singleShot(0, this, [&] {
                outcome = duringOpen ? c.Open(namedConnectionString())
                                     : c.Execute(QStringLiteral("select sleep(10)"));
            });
            QTimer::singleShot(300, qApp, &QCoreApplication::quit);
            qApp->exec();
        }
        QVERIFY(outcome.has_value());
        QVERIFY(!*outcome);
        QVERIFY2(outcome->cancelled(), qPrintable(outcome->description()));
        QVERIFY(!outcome->description().isEmpty());
        QCOMPARE(c.State(), Connection::kStateClosed);
        QVERIFY(!c.Execute(QStringLiteral("select 1")));
        c.Close(); // never waits for the abandoned operation
        // The same object opens again and works.
        QVERIFY(c.Open(testdb::connectionString()));
        QVERIFY(c.Execute(QStringLiteral("select 1")));
    }

    void closeDuringStatementReturnsAtOnce() {
        Connection c;
        QVERIFY(c.Open(testdb::connectionString()));
        bool busyAfterClose = false;
        int stateAfterClose = -1;
        QTimer::singleShot(100, this, [&] {
            c.Close();
            busyAfterClose = c.isBusy();
            stateAfterClose = c.State();
        });
        // A statement issued before the close still runs to its end and gives its result.
        auto r = c.query(QStringLiteral("select sleep(1) as s, 'done' as v"));
        QVERIFY(busyAfterClose); // Close did not wait for it
        QCOMPARE(stateAfterClose, Connection::kStateClosed);
        QVERIFY2(r.ok(), r.ok() ? "" : qPrintable(r.error().description));
        QCOMPARE(r.value().result->columns.at(1).value(0), QStringLiteral("done"));
        QCOMPARE(c.State(), Connection::kStateClosed);
        QVERIFY(!c.Execute(QStringLiteral("select 1")));
    }

    void closeCancelsAnOpenInProgress() {
        ScriptedLookup lookup;
        lookup.delayMs = 1000;
        ScopedSeam lookupSeam(setHostLookup, &lookup);
        Connection c;
        QTimer::singleShot(100, this, [&] { c.Close(); });
        const Status s = c.Open(namedConnectionString());
        QVERIFY(!s);
        QVERIFY(s.error().cancelled);
        QCOMPARE(c.State(), Connection::kStateClosed);
    }

    void newerOpenWinsOverOneInProgress() {
        ScriptedLookup lookup;
        lookup.delayMs = 500;
        ScopedSeam lookupSeam(setHostLookup, &lookup);
        Connection c;
        Status newer = Error{};
        QTimer::singleShot(100, this, [&] { newer = c.Open(namedConnectionString()); });
        const Status older = c.Open(namedConnectionString());
        QVERIFY(newer.ok());
        QVERIFY(older.cancelled());
        QCOMPARE(c.State(), Connection::kStateOpen);
        QVERIFY(c.Execute(QStringLiteral("select 1")));
    }

    // A result of more columns than a table may have (a hostile server's) is refused with a clear error
    // before room is made for it, and costs little memory; a table's 4,096 are still read.
    void absurdColumnCounts_data() {
        columns<int, bool>("columns", "prepared");
        row("60,000, text", 60000, false);
        row("60,000, prepared", 60000, true);
        row("4,096, prepared", 4096, true);
    }
    void absurdColumnCounts() {
        QFETCH(int, columns);
        QFETCH(bool, prepared);
        Connection c;
        QVERIFY(c.Open(testdb::connectionString()));
        QString sql = prepared ? QStringLiteral("select ?") : QStringLiteral("select 1");
        sql += QStringLiteral(",1").repeated(columns - 1);
        const auto peakKb = [] {
            QFile status(QStringLiteral("/proc/self/status"));
            if (!status.open(QIODevice::ReadOnly))
                return -1;
            const QByteArray text = status.readAll();
            return text.mid(text.indexOf("VmHWM:") + 6).trimmed().split(' ').value(0).toInt();
        };
        QFile reset(QStringLiteral("/proc/self/clear_refs")); // the peak starts again from what is held now
        QVERIFY(reset.open(QIODevice::WriteOnly) && reset.write("5") == 1);
        reset.close();
        const int before = peakKb();
        const auto r = c.query(sql, prepared ? SqlParams{QStringLiteral("x")} : SqlParams{});
        const int grew = (peakKb() - before) / 1024;
        qInfo("%d columns: the peak grew by %d MB", columns, grew);
        QVERIFY2(grew < 100, qPrintable(QString::number(grew)));
        if (columns > 4096) {
            QVERIFY(!r);
            QVERIFY2(r.error().description.contains(QStringLiteral("%1 列").arg(columns)),
                     qPrintable(r.error().description));
        } else {
            QVERIFY2(r, r ? "" : qPrintable(r.error().description));
            QCOMPARE(r.value().result->columns.size(), std::size_t(columns));
        }
    }

    void connectionLostDuringTransferIsAnError() {
        // Enough rows (48 MB) that the server is still sending when its session is killed, whatever
        // the socket buffers hold.
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(conn->Execute(
            QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                           "SELECT seq, CONCAT('t', seq), REPEAT('正文 body ', 100), '', '', '' "
                           "FROM seq_1_to_40000")));
        Connection victim;
        QVERIFY(victim.Open(db.connectionString()));
        Recordset id;
        QVERIFY(id.Open(QStringLiteral("select connection_id() as id"), &victim));
        const QString victimId = id.text(QStringLiteral("id")).value();
        QSemaphore killed;
        std::atomic<int> calls{0};
        victim.setRowsReceivedHook([&](qint64) {
            if (calls++ > 0)
                return;
            // On the victim's thread: hold the transfer until the window thread has killed the session.
            QMetaObject::invokeMethod(this, [&] {
                (void)conn->Execute(QStringLiteral("KILL CONNECTION ") + victimId);
                killed.release();
            });
            killed.acquire();
        });
        Recordset rs;
        const Status s = rs.Open(QStringLiteral("select dataid, name, data from SearchTxt_Data"), &victim);
        QVERIFY(calls > 0);
        QVERIFY(!s); // never a partial result passed off as the whole one
        QVERIFY2(s.error().description.contains(QStringLiteral("连接已断开")),
                 qPrintable(s.error().description));
        QCOMPARE(rs.State(), Connection::kStateClosed);
        QCOMPARE(victim.State(), Connection::kStateClosed);
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
    }

    void sessionEndedByServerWhileIdle_data() {
        columns<bool>("inTransaction");
        row("no transaction: reconnects", false);
        row("in a transaction: reports it", true);
    }
    void sessionEndedByServerWhileIdle() {
        // A server restart or a kill between two statements: the next one finds the session gone.
        QFETCH(bool, inTransaction);
        Connection c;
        QVERIFY(c.Open(testdb::connectionString()));
        auto sessionId = [&c] {
            Recordset rs;
            return !rs.Open(QStringLiteral("select connection_id() as id"), &c)
                       ? QString()
                       : rs.text(QStringLiteral("id")).value();
        };
        const QString before = sessionId();
        QVERIFY(!before.isEmpty());
        if (inTransaction)
            QVERIFY(c.BeginTrans());
        QVERIFY(conn->Execute(QStringLiteral("KILL CONNECTION ") + before));
        QTest::qWait(100); // the server's goodbye reaches the socket
        const QString after = sessionId();
        if (inTransaction) {
            // A silent new session would carry on outside the transaction: never.
            QVERIFY(after.isEmpty());
            QCOMPARE(c.State(), Connection::kStateClosed);
            QVERIFY(!c.inTransaction());
        } else {
            QVERIFY(!after.isEmpty());
            QVERIFY(after != before);
            QCOMPARE(c.State(), Connection::kStateOpen);
        }
    }

    // Bound values read back exactly whatever the session's backslash mode, which the connection
    // reports as the server says it is.
    void boundValuesIgnoreServerMode_data() {
        columns<QString, bool>("mode", "noBackslashEscapes");
        row("backslash escapes", "", false);
        row("NO_BACKSLASH_ESCAPES", "NO_BACKSLASH_ESCAPES", true);
    }
    void boundValuesIgnoreServerMode() {
        QFETCH(QString, mode);
        const QString text = QStringLiteral("it's C:\\d \\' or 1=1 -- 中'");
        Connection c;
        QVERIFY(c.Open(testdb::connectionString()));
        QVERIFY(c.Execute(QStringLiteral("SET SESSION sql_mode='%1'").arg(mode)));
        QTEST(c.noBackslashEscapes(), "noBackslashEscapes");
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select ? as v"), {text}, &c));
        QCOMPARE(rs.text(QStringLiteral("v")).value(), text);
    }
};

QTEST_MAIN(TestDataAccess)
#include "tst_dataaccess.moc"
