// Index benchmark: the search index and the history (vornik-admin's work) against the full scan and
// against a table without triggers, on the same server in the same run.
//
//   bench_index            100,000 records (database vornik_test_bench_index)
//   bench_index --large    1,000,000 records (database vornik_test_bench_index_large)
//
// Seeds the records bench_search seeds, measures a user's write and a modify without triggers,
// installs the index (the initial build is timed), measures the write again with the index's triggers
// and the modify with the history's, feeds the queue, then times searches through the planner and
// the project's Connection (planning, the statement, every row converted to text) against the raw
// client running the scan, and the feeder under 200 writes a second; and the control's "历史版本…" on a
// record with 1,000 versions (the longest the window's event loop went without running, beside the
// raw client's time for the versions statement; half the versions updates, half the form's saves).
// One line per case:
//   case=<name> rows=<n> index_ms=<x> scan_ms=<y> ratio=<x/y> [candidates=<c>] [bar=<...>]
// Times are medians (VORNIK_BENCH_RUNS, default 5; the scan 3). Exits 0 whether or not the bars are met.
#include "BenchData.h"
#include "StallMeter.h"
#include "admin/IndexAdmin.h"
#include "control/uVornik.h"
#include "database/CompanionSchema.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"
#include "database/RecordHistory.h"
#include "database/SearchPlanner.h"
#include "database/Session.h"
#include "ui/MessageBoxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTextEdit>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

using searchindex::Mode;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double msSince(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// The raw client: the statement, the whole result stored, every value made a QString.
std::pair<double, qint64> rawScan(MYSQL* m, const QString& statement) {
    const QByteArray sql = statement.toUtf8();
    QElapsedTimer t;
    t.start();
    if (mysql_real_query(m, sql.constData(), static_cast<unsigned long>(sql.size())))
        raise(m, "scan failed");
    RawResult res(mysql_store_result(m));
    std::vector<QString> cells;
    qint64 rows = 0;
    const unsigned n = mysql_num_fields(res.get());
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        const unsigned long* len = mysql_fetch_lengths(res.get());
        for (unsigned i = 0; i < n; ++i)
            cells.push_back(row[i] ? QString::fromUtf8(row[i], static_cast<qsizetype>(len[i])) : QString());
        ++rows;
    }
    return {msSince(t), rows};
}

// The scan statement with the value written in (the raw client has no parameters here); the bench's
// keys hold no quote, backslash or "!".
QString literalScan(Mode mode, const QString& key) {
    const QString like = QStringLiteral("like '%") + key + QStringLiteral("%'");
    return mode == Mode::Title
               ? QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name where `name` ") + like
               : QStringLiteral("select `dataid`,`name`,`data` from SearchTxt_Data where `data` ") + like +
                     QStringLiteral(" or `name` ") + like;
}

struct Bench {
    QByteArray host;
    unsigned port = 0;
    std::string database;
    int records = 0;
    int runs = 5;
    RawConn raw;
    Connection conn;

    QString connectionString() const {
        return QStringLiteral("uid=%1;pwd=%2;server=%3:%4;database=%5")
            .arg(QString::fromLatin1(kUser), QString::fromLatin1(kPassword), QString::fromUtf8(host))
            .arg(port)
            .arg(QString::fromStdString(database));
    }
    IndexAdmin admin(bool quiet = true) {
        IndexAdmin a(conn, QString::fromStdString(database), [quiet](const QString& line) {
            if (!quiet)
                std::fprintf(stderr, "bench: %s\n", qPrintable(line));
        });
        a.setGraceMs(0);
        return a;
    }
    std::string id(int i) const { return recordId(i % records); }

    // Mean milliseconds of a user's write: an update of one record's body, autocommitted.
    double writeCost(int n, int salt) {
        Rng rng{0xC0570000ull + static_cast<std::uint64_t>(salt)};
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < n; ++i) {
            const int r = static_cast<int>(rng.next() % static_cast<std::uint64_t>(records));
            exec(raw.get(), "UPDATE SearchTxt_Data SET `data` = CONCAT(LEFT(`data`, 960), " +
                                quoted(raw.get(), " w" + std::to_string(i)) +
                                ") WHERE `dataid` = " + quoted(raw.get(), recordId(r)));
        }
        return msSince(t) / n;
    }
    // Mean milliseconds of a modify as the modify form saves: the row locked and read, deleted and
    // inserted again, in one transaction.
    double modifyCost(int n, int salt) {
        Rng rng{0x30D10000ull + static_cast<std::uint64_t>(salt)};
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < n; ++i) {
            const std::string id = quoted(
                raw.get(), recordId(static_cast<int>(rng.next() % static_cast<std::uint64_t>(records))));
            exec(raw.get(), "START TRANSACTION");
            const auto row =
                queryRows(raw.get(), "SELECT `name`,`data`,`createdatetime`,`desc`,`keys`,`creator` FROM "
                                     "SearchTxt_Data WHERE `dataid` = " +
                                         id + " FOR UPDATE");
            exec(raw.get(), "DELETE FROM SearchTxt_Data WHERE `dataid` = " + id);
            exec(raw.get(),
                 "INSERT INTO SearchTxt_Data (`dataid`,`name`,`data`,`createdatetime`,`modidatetime`,`desc`,"
                 "`keys`,`creator`) VALUES (" +
                     id + "," + quoted(raw.get(), row.at(0)[0].value_or("")) + "," +
                     quoted(raw.get(), row.at(0)[1].value_or("") + " m" + std::to_string(i)) +
                     ",'2024-01-01 08:00:00',NOW()," + quoted(raw.get(), row.at(0)[3].value_or("")) + "," +
                     quoted(raw.get(), row.at(0)[4].value_or("")) + "," +
                     quoted(raw.get(), row.at(0)[5].value_or("")) + ")");
            exec(raw.get(), "COMMIT");
        }
        return msSince(t) / n;
    }

    void search(const char* name, Mode mode, const QString& key, const char* bar) {
        std::vector<double> index, planning, scan, connScan;
        qint64 indexRows = -1, scanRows = -1;
        searchindex::Plan plan;
        QStringList steps;
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer t;
            t.start();
            // planSearch's loop, each step timed.
            searchindex::SearchPlanner planner(QString::fromStdString(database), mode, key);
            steps.clear();
            while (const std::optional<searchindex::Statement> s = planner.next()) {
                QElapsedTimer step;
                step.start();
                planner.take(conn.query(s->sql, s->params));
                steps << QString::number(msSince(step), 'f', 1);
            }
            plan = planner.plan();
            planning.push_back(msSince(t));
            QElapsedTimer run;
            run.start();
            Result<QueryOutcome> r = conn.query(plan.statement.sql, plan.statement.params);
            steps << QString::number(msSince(run), 'f', 1);
            index.push_back(msSince(t));
            if (!r)
                throw std::runtime_error("the planned statement failed: " +
                                         r.error().description.toStdString());
            indexRows = r.value().result ? r.value().result->rowCount() : 0;
        }
        for (int i = 0; i < std::min(runs, 3); ++i) {
            const auto [ms, rows] = rawScan(raw.get(), literalScan(mode, key));
            scan.push_back(ms);
            scanRows = rows;
            // The same scan through the Connection, without planning: what the window pays today.
            QElapsedTimer t;
            t.start();
            const searchindex::Statement s = searchindex::scanStatement(mode, key);
            (void)conn.query(s.sql, s.params);
            connScan.push_back(msSince(t));
        }
        std::printf("case=%s rows=%lld index_ms=%.1f scan_ms=%.1f ratio=%.3f used_index=%s candidates=%lld "
                    "plan_ms=%.1f steps_ms=%s conn_scan_ms=%.1f same_rows=%s bar=\"%s\" records=%d\n",
                    name, static_cast<long long>(indexRows), median(index), median(scan),
                    median(index) / median(scan), plan.usesIndex ? "yes" : "no",
                    static_cast<long long>(plan.candidates), median(planning), qPrintable(steps.join(u'/')),
                    median(connScan), indexRows == scanRows ? "yes" : "NO", bar, records);
        if (!plan.usesIndex)
            std::fprintf(stderr, "bench: %s scanned: %s\n", name, qPrintable(plan.why));
        if (qEnvironmentVariableIsSet("VORNIK_BENCH_TRACE"))
            std::fprintf(stderr, "bench: %s statement: %s\n", name,
                         qPrintable(plan.statement.sql.left(4000)));
        std::fflush(stdout);
    }

    qint64 queued() {
        const auto rows = queryRows(raw.get(), "SELECT COUNT(*) FROM `" + database + "_vornik`.`queue`");
        return std::stoll(rows.at(0)[0].value_or("0"));
    }

    // The feeder following the queue while a second connection writes `rate` records a second.
    void feeder(int rate, int seconds) {
        std::atomic<bool> stop{false};
        std::atomic<qint64> maxQueue{0};
        std::atomic<int> written{0};
        std::atomic<double> drainMs{-1};
        std::thread writer([&] {
            RawConn w = rawConnect(host, port);
            mysql_select_db(w.get(), database.c_str());
            RawConn probe = rawConnect(host, port);
            Rng rng{0xFEED0000ull};
            QElapsedTimer t;
            t.start();
            const qint64 total = static_cast<qint64>(rate) * seconds;
            for (qint64 i = 0; i < total; ++i) {
                while (t.elapsed() < i * 1000 / rate)
                    QThread::usleep(200);
                const int r = static_cast<int>(rng.next() % static_cast<std::uint64_t>(records));
                exec(w.get(), "UPDATE SearchTxt_Data SET `data` = CONCAT(LEFT(`data`, 960), " +
                                  quoted(w.get(), " f" + std::to_string(i)) +
                                  ") WHERE `dataid` = " + quoted(w.get(), recordId(r)));
                ++written;
                if (i % rate == 0) {
                    const auto q =
                        queryRows(probe.get(), "SELECT COUNT(*) FROM `" + database + "_vornik`.`queue`");
                    maxQueue = std::max<qint64>(maxQueue, std::stoll(q.at(0)[0].value_or("0")));
                }
            }
            QElapsedTimer drain;
            drain.start();
            for (;;) {
                const auto q =
                    queryRows(probe.get(), "SELECT COUNT(*) FROM `" + database + "_vornik`.`queue`");
                const qint64 n = std::stoll(q.at(0)[0].value_or("0"));
                maxQueue = std::max<qint64>(maxQueue, n);
                if (n == 0 || drain.elapsed() > 60000)
                    break;
                QThread::msleep(20);
            }
            drainMs = msSince(drain);
            stop = true;
        });
        IndexAdmin a = admin();
        const Status s = a.follow(stop, [this] { return conn.Open(connectionString()); });
        writer.join();
        std::printf("case=feed_%dwps writes=%d seconds=%d max_queue=%lld drain_ms=%.0f keeps_up=%s "
                    "bar=\"queue drained "
                    "within a second of the last write\" records=%d%s\n",
                    rate, written.load(), seconds, static_cast<long long>(maxQueue.load()), drainMs.load(),
                    drainMs.load() >= 0 && drainMs.load() <= 1000 ? "yes" : "no", records,
                    s ? "" : qPrintable(QStringLiteral(" error=\"") + s.description() + u'"'));
        std::fflush(stdout);
    }
};

} // namespace

// Message boxes that answer themselves, and a login that is never asked for.
class QuietBoxes final : public MessageBoxes {
public:
    Co<> informationBox(QWidget*, QString, QString) override { co_return; }
    Co<> criticalBox(QWidget*, QString, QString) override { co_return; }
    Co<Answer> questionBox(QWidget*, QString, QString) override { co_return Answer::Cancel; }
    Co<Closing> askToSave(QWidget*, QString, QString) override { co_return Closing::Discard; }
};
class NoLogin final : public mConnDatabase::LoginPrompt {
public:
    Co<std::optional<mConnDatabase::LoginValues>> ask(QString) override { co_return std::nullopt; }
};

// "历史版本…" on a record with 1,000 versions: from the menu entry to the newest version shown.
void historyWindow(Bench& b) {
    constexpr int kVersions = 1000;
    const char* const kId = "hist-bench";
    MYSQL* m = b.raw.get();
    exec(m, std::string("DELETE FROM SearchTxt_Data WHERE dataid = '") + kId + "'");
    exec(m,
         std::string("INSERT INTO SearchTxt_Data (dataid, name, data, createdatetime, modidatetime, `desc`, "
                     "`keys`, creator) VALUES ('") +
             kId + "', 'history bench record', 'v0', NOW(), NOW(), '', '', 'bench')");
    // Every other version as the modify form saves (a delete and an insert in one transaction, shown
    // as one change), the rest as another client's update.
    const std::string where = std::string(" WHERE dataid = '") + kId + "'";
    for (int i = 1; i <= kVersions; ++i) {
        const std::string body = "CONCAT(REPEAT('历史版本 ', 100), " + std::to_string(i) + ")";
        if (i % 2) {
            exec(m, "UPDATE SearchTxt_Data SET data = " + body + where);
            continue;
        }
        exec(m, "START TRANSACTION");
        exec(m, "SELECT 1 FROM SearchTxt_Data" + where + " FOR UPDATE");
        exec(m, "DELETE FROM SearchTxt_Data" + where);
        exec(m, std::string("INSERT INTO SearchTxt_Data (dataid, name, data, createdatetime, modidatetime, "
                            "`desc`, `keys`, creator) VALUES ('") +
                    kId + "', 'history bench record', " + body + ", NOW(), NOW(), '', '', 'bench')");
        exec(m, "COMMIT");
    }
    const QString database = QString::fromStdString(b.database);
    history::Statement versions =
        history::versionsStatement(companion::nameFor(database), QString::fromLatin1(kId));
    versions.sql.replace(QStringLiteral("= ?"), QStringLiteral("= '%1'").arg(QString::fromLatin1(kId)));
    std::vector<double> rawMs;
    qint64 rows = 0;
    for (int i = 0; i < b.runs; ++i) {
        const auto [ms, n] = rawScan(m, versions.sql);
        rawMs.push_back(ms);
        rows = n;
    }

    QuietBoxes boxes;
    NoLogin noLogin;
    setMessageBoxes(&boxes);
    mConnDatabase::setLoginPrompt(&noLogin);
    sharedSession().settings().server = QString::fromUtf8(b.host) + u':' + QString::number(b.port);
    sharedSession().settings().database = database;
    sharedSession().settings().user = QString::fromLatin1(kUser);
    sharedSession().settings().password = QString::fromLatin1(kPassword);
    {
        uVornik control;
        control.show();
        control.ChkControl[0]->setChecked(true);
        // Each returns at its first wait: the search, then the record's look, run to their end.
        const auto settle = [&control] {
            while (control.handlers().running() > 0)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        };
        control.SearchFileName(QStringLiteral("history bench record"));
        settle();
        control.List1->selectRow(0);
        settle();
        std::vector<double> openMs;
        double stall = 0;
        double busy = 0;
        bool shown = true;
        QString where;
        double stallCpu = 0;
        double firstStall = 0;
        for (int i = 0; i < b.runs; ++i) {
            StallMeter meter;
            meter.probe = [&control] {
                const HistoryWindow* w = control.history().versions();
                return (w ? w->status->text() : control.TxtTS->text()).mid(20, 40);
            };
            meter.start();
            QElapsedTimer t;
            t.start();
            control.Menu_Click(7); // returns once the list and the newest version are shown
            HistoryWindow* w = control.history().versions();
            shown = shown && w && !w->loading() && w->rows() == rows && !w->box->toPlainText().isEmpty();
            openMs.push_back(msSince(t));
            // The paint and the layout of the rows in view come after.
            while (t.elapsed() < openMs.back() + 100)
                QCoreApplication::processEvents();
            const double gap = meter.stop();
            if (i == 0)
                firstStall = gap;
            if (gap > stall) {
                stall = gap;
                where = meter.where;
                stallCpu = meter.cpuInGapMs;
            }
            busy = std::max(busy, meter.maxBusyMs);
            if (w)
                w->reject();
        }
        std::printf("case=history_open_1000 versions=%lld raw_ms=%.1f open_ms=%.1f max_stall_ms=%.1f "
                    "first_stall_ms=%.1f stall_cpu_ms=%.1f max_busy_ms=%.1f shown=%s bar=\"stall <= 50 ms\" "
                    "stall_at=%s\n",
                    rows, median(rawMs), median(openMs), stall, firstStall, stallCpu, busy,
                    shown ? "yes" : "no", qPrintable(where));
        std::fflush(stdout);
    }
    sharedSession().connectionSlot().reset();
    setMessageBoxes(nullptr);
    mConnDatabase::setLoginPrompt(nullptr);
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool large = app.arguments().contains(QStringLiteral("--large"));
    Bench b;
    b.host = qEnvironmentVariable("VORNIK_TEST_DB_HOST", QStringLiteral("127.0.0.1")).toUtf8();
    b.port = qEnvironmentVariableIntValue("VORNIK_TEST_DB_PORT");
    b.records = large ? 1000000 : 100000;
    if (qEnvironmentVariableIsSet("VORNIK_BENCH_RECORDS"))
        b.records = qEnvironmentVariableIntValue("VORNIK_BENCH_RECORDS");
    b.database = large ? "vornik_test_bench_index_large" : "vornik_test_bench_index";
    if (qEnvironmentVariableIsSet("VORNIK_BENCH_RUNS"))
        b.runs = std::max(1, qEnvironmentVariableIntValue("VORNIK_BENCH_RUNS"));
    const QString only = qEnvironmentVariable("VORNIK_BENCH_CASES");
    const auto want = [&](const char* name) {
        return only.isEmpty() || only.split(u',').contains(QLatin1String(name));
    };
    try {
        b.raw = rawConnect(b.host, b.port);
        if (!b.raw)
            return 1;
        // VORNIK_BENCH_SEARCH_ONLY: only the searches, on the index a run with VORNIK_BENCH_KEEP left.
        const bool searchOnly = qEnvironmentVariableIsSet("VORNIK_BENCH_SEARCH_ONLY");
        if (searchOnly && !b.conn.Open(b.connectionString()))
            throw std::runtime_error("cannot connect");
        // A fresh table each run: the writes below change it, and the index is built from nothing.
        if (!searchOnly) {
            IndexAdmin a = b.admin();
            if (Status s = b.conn.Open(b.connectionString()); !s) {
                exec(b.raw.get(), "CREATE DATABASE IF NOT EXISTS `" + b.database + "`");
                if (Status again = b.conn.Open(b.connectionString()); !again)
                    throw std::runtime_error(again.description().toStdString());
            }
            if (Status s = a.remove(true); !s)
                throw std::runtime_error(s.description().toStdString());
        }
        if (!searchOnly) {
            prepareDatabase(b.raw.get(), b.database.c_str(), b.records);
            exec(b.raw.get(), "ANALYZE TABLE SearchTxt_Data");

            const double writePlain = b.writeCost(500, 1);
            const double modifyPlain = b.modifyCost(500, 2);
            QElapsedTimer build;
            build.start();
            {
                IndexAdmin a = b.admin(false);
                if (Status s = a.install({true, false}); !s)
                    throw std::runtime_error(s.description().toStdString());
            }
            const double buildMs = msSince(build);
            const auto sizes = queryRows(
                b.raw.get(),
                "SELECT SUM(IF(TABLE_SCHEMA = '" + b.database +
                    "', DATA_LENGTH + INDEX_LENGTH, 0)), "
                    "SUM(IF(TABLE_SCHEMA = '" +
                    b.database +
                    "_vornik' AND TABLE_NAME <> 'history', "
                    "DATA_LENGTH + INDEX_LENGTH, 0)) FROM information_schema.TABLES WHERE TABLE_SCHEMA "
                    "IN ('" +
                    b.database + "', '" + b.database + "_vornik')");
            const double tableMb = std::stod(sizes.at(0)[0].value_or("0")) / 1048576.0;
            const double indexMb = std::stod(sizes.at(0)[1].value_or("0")) / 1048576.0;
            std::printf("case=build records=%d build_ms=%.0f bar=\"<= 600000 ms\"\n", b.records, buildMs);
            std::printf("case=index_size table_mb=%.1f index_mb=%.1f ratio=%.2f bar=\"<= 1.5\"\n", tableMb,
                        indexMb, indexMb / tableMb);
            const double writeIndexed = b.writeCost(500, 3);
            std::printf("case=write_with_index plain_ms=%.3f with_triggers_ms=%.3f extra_ms=%.3f bar=\"extra "
                        "<= 1 ms\"\n",
                        writePlain, writeIndexed, writeIndexed - writePlain);
            {
                IndexAdmin a = b.admin(false);
                if (Status s = a.install({false, true}); !s)
                    throw std::runtime_error(s.description().toStdString());
            }
            const double modifyHistory = b.modifyCost(500, 4);
            std::printf("case=modify_with_history plain_ms=%.3f with_history_ms=%.3f extra_ms=%.3f "
                        "bar=\"extra <= 2 ms\"\n",
                        modifyPlain, modifyHistory, modifyHistory - modifyPlain);
            std::fflush(stdout);
            {
                IndexAdmin a = b.admin(false);
                if (Result<qint64> n = a.feed(300, true); !n)
                    throw std::runtime_error(n.error().description.toStdString());
            }
        } else if (mysql_select_db(b.raw.get(), b.database.c_str())) {
            raise(b.raw.get(), "selecting the database");
        }

        if (want("fulltext_1pct"))
            b.search("fulltext_1pct", Mode::FullText, QStringLiteral("grp07"), "<= 200 ms");
        if (want("title_1pct"))
            b.search("title_1pct", Mode::Title, QStringLiteral("grp07"), "<= 50 ms");
        if (want("fulltext_0.01pct"))
            b.search("fulltext_0.01pct", Mode::FullText, QStringLiteral("#0012"), "<= 20 ms");
        if (want("title_0.01pct"))
            b.search("title_0.01pct", Mode::Title, QStringLiteral("0012 grp"), "<= 20 ms");
        if (want("fulltext_missing"))
            b.search("fulltext_missing", Mode::FullText, QStringLiteral("zqxv"), "<= 5 ms");
        if (want("title_missing"))
            b.search("title_missing", Mode::Title, QStringLiteral("zqxv"), "<= 5 ms");
        if (want("title_common"))
            b.search("title_common", Mode::Title, QStringLiteral("grp0"), "ratio <= 1.1");
        if (want("fulltext_common"))
            b.search("fulltext_common", Mode::FullText, QStringLiteral("server"), "ratio <= 1.1");
        if (want("history_open_1000") && !searchOnly) {
            historyWindow(b);
            IndexAdmin a = b.admin(false);
            if (Result<qint64> n = a.feed(300, true); !n)
                throw std::runtime_error(n.error().description.toStdString());
        }
        if (want("feed"))
            b.feeder(200, 30);
        if (!qEnvironmentVariableIsSet("VORNIK_BENCH_KEEP")) {
            // Leave the table without triggers, as the other benchmarks expect their tables.
            IndexAdmin a = b.admin();
            (void)a.remove(true);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
