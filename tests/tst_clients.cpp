// Four client processes add, modify and delete overlapping records of one database at the same time,
// through the add and modify forms and the popup's delete statement. Each client reports every
// outcome; at the end the table must agree with the reports: every add present or reported failed,
// no record lost by a failed modify, no modify that overwrote another client's change unseen.
//
// Record ids come from a clock seam that every client reads from one shared start, so adds of different
// clients meet on one id the way two users adding within one second do. Also on the test cluster, each
// client preferring its own node, once with a node stopped and started while they write.
#include "Columns.h"
#include "ConnectShim.h"
#include "FakeClock.h"
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "ScratchDb.h"
#include "ScriptedLookup.h"
#include "Seams.h"
#include "Sync.h"
#include "database/ConnDatabase.h"
#include "database/Recordset.h"
#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QtTest>

#include <algorithm>
#include <cstdio>

namespace {

const QString kDb = QStringLiteral("vornik_test_clients");
constexpr int kClients = 4;
constexpr int kSeeds = 80;
const QDateTime kBase(QDate(2999, 1, 1), QTime(0, 0, 0));
// Ids are unique to the clock's second: at the real pace the table would take one add a second.
constexpr int kClockRate = 300;
struct SharedClock : Clock { // after the seeds' ids, from the parent's start, kClockRate times faster
    qint64 startMs;
    QDateTime now() const override {
        return kBase.addSecs(100).addMSecs((QDateTime::currentMSecsSinceEpoch() - startMs) * kClockRate);
    }
};

void say(const QString& line) {
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

// A failed statement: a conflict the cluster settled by rolling back (1213), a session cut, or else.
const char* failure(const QString& text) {
    return text.contains(QLatin1String("Deadlock found")) ? "deadlock"
           : text.contains(QStringLiteral("连接已断开"))  ? "cut"
                                                          : "failed";
}

// One client: `iterations` operations, each reported on one line of standard output:
//   ADD <ok|failed|cut> <id as first asked>,<id written> <token>
//   MOD <ok|conflict|gone|deadlock|cut|failed|unloadable> <id> <base token> <token>
//   DEL <rows deleted|deadlock|cut|failed> <id>
//   RECONNECTS <opens after the first>
int runClient(int client, int iterations, qint64 startMs, bool onCluster) {
    FakeMessageBoxes boxes;
    FakeLoginPrompt noLogin;
    SharedClock clock;
    clock.startMs = startMs;
    ScriptedLookup lookup; // the cluster's name: every node, this client's own first
    QStringList nodes = qEnvironmentVariable("VORNIK_TEST_CLUSTER_ADDRESSES").split(u',');
    std::rotate(nodes.begin(), nodes.begin() + client % nodes.size(), nodes.end());
    lookup.answer(nodes);
    ScopedSeam boxesSeam(setMessageBoxes, &boxes);
    boxes.answer = MessageBoxes::Answer::Cancel; // a modify that finds its record deleted writes nothing
    ScopedSeam promptSeam(mConnDatabase::setLoginPrompt, &noLogin);
    ScopedSeam clockSeam(setAppClock, &clock);
    ScopedSeam lookupSeam(setHostLookup, onCluster ? &lookup : nullptr);
    ScratchDb(kDb).pointSettingsHere(); // made by the parent process
    if (onCluster)
        sharedSession().settings().server =
            QStringLiteral("vornik-cluster:") + qEnvironmentVariable("VORNIK_TEST_CLUSTER_PORT");
    QRandomGenerator random(quint32(20261207 + client));
    auto complain = [client](QString text) {
        std::fprintf(stderr, "client %d: %s\n", client,
                     qPrintable(text.replace(QLatin1String("\r\n"), QLatin1String(" / "))));
    };

    auto select = [&](const QString& sql, const SqlParams& params) -> QString {
        QString err;
        mConnDatabase::ConnectDatabase(err);
        Recordset rs;
        if (!rs.Open(sql, params, sharedSession().connectionSlot().get()) || rs.RecordCount() < 1)
            return {};
        return rs.text(0).value();
    };
    // Added over a fifth of a second ago: a record just added is left to its adder to find.
    auto randomId = [&] {
        return select(QStringLiteral("select dataid from searchtxt_data where createdatetime < ? "
                                     "order by rand() limit 1"),
                      {clock.now().addMSecs(-200 * kClockRate)});
    };
    auto settle = [] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); };

    for (int i = 0; i < iterations; ++i) {
        const QString token = QStringLiteral("c%1-%2").arg(client).arg(i);
        const int pick = random.bounded(100);
        boxes.shown.clear();
        if (pick < 35) {
            const QString asked = FrmAdd::newRecordId();
            FrmAdd* f = FrmAdd::instance();
            f->txtTitle->setText(token);
            f->RtbData->setPlainText(QStringLiteral("body of ") + token);
            f->CmdAddNew_Click();
            handlersDone();
            const QString text = boxes.lastText();
            const bool ok = text == QStringLiteral("增加成功！");
            QString id; // the id it settled on; found on another node if this one went meanwhile
            for (int t = 0; ok && id.isEmpty() && t < 5; QTest::qWait(20 * t++))
                id = select(QStringLiteral("select dataid from searchtxt_data where name=?"), {token});
            if (!ok)
                complain(text);
            say(QStringLiteral("ADD %1 %2,%3 %4").arg(ok ? "ok" : failure(text), asked, id, token));
        } else if (pick < 80) {
            const QString id = randomId();
            if (id.isEmpty())
                continue;
            FrmModi* f = FrmModi::instance();
            if (!sync(f->setDataid(id))) {
                say(QStringLiteral("MOD unloadable %1 - %2").arg(id, token));
                settle();
                continue;
            }
            const QString base = f->txtTitle->text();
            QTest::qWait(random.bounded(25)); // the user edits; others may write meanwhile
            f->txtTitle->setText(token);
            f->RtbData->setPlainText(QStringLiteral("body of ") + token);
            f->CmdSave_Click();
            handlersDone();
            const QString text = boxes.lastText();
            const char* outcome = text == QStringLiteral("修改成功！")                ? "ok"
                                  : text.contains(QStringLiteral("已被其他用户删除")) ? "gone"
                                  : text.contains(QStringLiteral("已被其他用户修改")) ? "conflict"
                                                                                      : failure(text);
            if (qstrcmp(outcome, "failed") == 0)
                complain(text);
            say(QStringLiteral("MOD %1 %2 %3 %4").arg(outcome, id, base, token));
            FrmModi::unload();
            settle();
        } else {
            const QString id = randomId();
            if (id.isEmpty())
                continue;
            quint64 deleted = 0;
            const Status s = sharedSession().connectionSlot()->Execute(
                QStringLiteral("delete from searchtxt_data where dataid=?"), {id}, &deleted);
            if (!s)
                complain(QStringLiteral("delete failed: ") + s.description());
            say(QStringLiteral("DEL %1 %2")
                    .arg(!s ? failure(s.description()) : QString::number(deleted), id));
        }
    }
    say(QStringLiteral("RECONNECTS %1").arg(std::max(lookup.calls - 1, 0)));
    FrmAdd::unload();
    FrmModi::unload();
    sharedSession().connectionSlot().reset();
    return 0;
}

} // namespace

// scripts/cluster on the test cluster (VORNIK_TEST_CLUSTER_DIR).
bool cluster(const QStringList& args) {
    return QProcess::execute(QStringLiteral(VORNIK_SOURCE_DIR "/scripts/cluster"), args) == 0;
}

class TestClients : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { REQUIRE_DB(); }

    void concurrentClients_data() {
        // stoppedNode: stopped and started again during the run; 0 for none
        columns<bool, int>("onCluster", "stoppedNode");
        row("one server", false, 0);
        row("cluster", true, 0);
        row("cluster, a node stopped and started", true, 2);
    }

    void concurrentClients() {
        QFETCH(bool, onCluster);
        QFETCH(int, stoppedNode);
        const QString port = qEnvironmentVariable("VORNIK_TEST_CLUSTER_PORT");
        if (onCluster && port.isEmpty()) {
            if (testdb::required())
                QFAIL("no test cluster: run through scripts/test");
            QSKIP("no test cluster (VORNIK_TEST_CLUSTER_PORT unset): run scripts/cluster shell");
        }
        ScratchDb db(kDb);
        QVERIFY(db.create(nullptr, onCluster ? QStringLiteral("127.0.0.1:") + port : testdb::server()));
        if (onCluster) // node 1 reads what the others committed, too
            CHECK_SQL(db.exec(QStringLiteral("SET SESSION wsrep_sync_wait=1")));
        const int iterations = qEnvironmentVariableIntValue("VORNIK_CLIENT_ITERATIONS") > 0
                                   ? qEnvironmentVariableIntValue("VORNIK_CLIENT_ITERATIONS")
                                   : 150;
        // Successful writes per id, in the order each is known; the seeds count as added.
        struct Write {
            QString base; // token the write replaced; empty for an add
            QString token;
        };
        QHash<QString, QList<Write>> writes;
        QHash<QString, int> adds, deletes;
        QStringList failedAddTokens;
        FakeClock clock;
        for (int k = 0; k < kSeeds; ++k) {
            clock.at = kBase.addSecs(k);
            QString id;
            {
                ScopedSeam clockSeam(setAppClock, &clock);
                id = FrmAdd::newRecordId();
            }
            const QString token = QStringLiteral("seed-%1").arg(k);
            CHECK_SQL(db.exec(QStringLiteral("INSERT INTO SearchTxt_Data VALUES (?,?,?,'2999-01-01 00:00:00',"
                                             "'2999-01-01 00:00:00','','','')"),
                              {id, token, QStringLiteral("body of ") + token}));
            writes[id].append({QString(), token});
            ++adds[id];
        }

        QList<QProcess*> clients;
        const QString startMs = QString::number(QDateTime::currentMSecsSinceEpoch());
        for (int c = 0; c < kClients; ++c) {
            auto* p = new QProcess(this);
            p->setProcessChannelMode(QProcess::SeparateChannels);
            p->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--client"), QString::number(c), QString::number(iterations), startMs,
                      QString::number(onCluster)});
            clients << p;
        }
        if (stoppedNode) { // once its first client is under way, which must go on through another node
            QTRY_VERIFY_WITH_TIMEOUT(clients[stoppedNode - 1]->bytesAvailable() > 300, 30000);
            QVERIFY(cluster({QStringLiteral("node-stop"), QString::number(stoppedNode)}));
            QTest::qWait(1000);
            QVERIFY(cluster({QStringLiteral("node-start"), QString::number(stoppedNode)}));
        }
        int addsOk = 0, addsFailed = 0, modsOk = 0, conflicts = 0, gone = 0, modsFailed = 0, unloadable = 0,
            deletesDone = 0, deletesEmpty = 0, crashes = 0, reported = 0, deadlocks = 0, failovers = 0,
            met = 0, cut = 0, cutElsewhere = 0;
        QList<std::pair<QString, Write>> modifies;
        QSet<QString> asked; // ids as first asked by successful adds
        for (int c = 0; c < kClients; ++c) {
            QProcess* p = clients[c];
            QVERIFY(p->state() == QProcess::NotRunning || p->waitForFinished(120000));
            if (p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0)
                ++crashes;
            for (const QByteArray& line : p->readAllStandardError().split('\n'))
                if (line.startsWith("client"))
                    qInfo().noquote() << line;
            for (const QByteArray& raw : p->readAllStandardOutput().split('\n')) {
                const QStringList f = QString::fromUtf8(raw).split(u' ');
                failovers += f[0] == u"RECONNECTS" ? f.value(1).toInt() : 0;
                if (f.size() < 3)
                    continue;
                ++reported;
                deadlocks += f[1] == u"deadlock";
                cut += f[1] == u"cut";
                cutElsewhere += f[1] == u"cut" && c % 3 != stoppedNode - 1;
                if (f[0] == u"ADD") {
                    const QString id = f[2].section(u',', 1), first = f[2].section(u',', 0, 0);
                    if (f[1] == u"ok") {
                        ++addsOk;
                        ++adds[id];
                        met += asked.contains(first); // another add had asked for this id too
                        asked.insert(first);
                        writes[id].append({QString(), f[3]});
                    } else {
                        ++addsFailed;
                        failedAddTokens << f[3];
                    }
                } else if (f[0] == u"MOD") {
                    if (f[1] == u"ok") {
                        ++modsOk;
                        modifies.append({f[2], Write{f[3], f[4]}});
                        writes[f[2]].append({f[3], f[4]});
                    } else if (f[1] == u"conflict") {
                        ++conflicts;
                    } else if (f[1] == u"gone") {
                        ++gone;
                    } else if (f[1] == u"unloadable") {
                        ++unloadable;
                    } else if (f[1] == u"failed") {
                        ++modsFailed;
                    }
                } else if (f[0] == u"DEL") {
                    if (f[1].toInt() > 0) {
                        ++deletesDone;
                        deletes[f[2]] += f[1].toInt();
                    } else {
                        ++deletesEmpty;
                    }
                }
            }
        }

        // The table as the clients left it.
        Recordset rs;
        QVERIFY(rs.Open(QStringLiteral("select dataid, name, data from SearchTxt_Data"), &db.admin()));
        QHash<QString, QString> present; // id -> title
        int badBodies = 0;
        for (qint64 i = 0; i < rs.RecordCount(); ++i, rs.MoveNext()) {
            const QString id = rs.text(0).value();
            const QString name = rs.text(1).value();
            present.insert(id, name);
            if (rs.text(2).value() != QStringLiteral("body of ") + name)
                ++badBodies; // title and body of two different writes
        }
        // Every node the same (the others asked after they applied what was committed before).
        QVERIFY(!onCluster || cluster({QStringLiteral("same"),
                                       QStringLiteral("select count(*), sum(crc32(concat_ws("
                                                      "0x1f, dataid, name, data))) from %1.SearchTxt_Data")
                                           .arg(kDb)}));
        int duplicates = 0; // the key allows none in the table, but two adds may report one id

        // Each successful add starts a life of its id and each delete that removed a row ends one: an
        // id is present exactly when it has one more add than deletes. Fewer present means a lost
        // record (a failed modify that deleted without inserting); more means a row nobody added.
        int lost = 0, phantoms = 0;
        QSet<QString> ids(adds.keyBegin(), adds.keyEnd());
        for (auto it = present.keyBegin(); it != present.keyEnd(); ++it)
            ids.insert(*it);
        for (const QString& id : ids) {
            const int alive = adds.value(id) - deletes.value(id);
            const int there = present.contains(id) ? 1 : 0;
            if (alive > there)
                lost += alive - there;
            else if (alive < there)
                phantoms += there - alive;
            if (alive > 1)
                duplicates += alive - 1; // two adds of one id both reported done
        }
        // A modify replaces the version it loaded. Two successful modifies from one version mean the
        // second overwrote the first without seeing it; a present title that a later modify replaced
        // means that modify's write went missing.
        int overwrites = 0;
        QHash<QString, int> successors;
        for (const auto& [id, w] : modifies)
            ++successors[id + u' ' + w.base];
        for (auto it = successors.begin(); it != successors.end(); ++it)
            overwrites += it.value() - 1;
        for (auto it = present.begin(); it != present.end(); ++it) {
            if (successors.contains(it.key() + u' ' + it.value()))
                ++overwrites;
            bool written = false;
            for (const Write& w : writes.value(it.key()))
                written = written || w.token == it.value();
            if (!written)
                ++phantoms; // a title no reported write put there
        }
        for (const QString& token : failedAddTokens)
            for (const QString& title : std::as_const(present))
                if (title == token)
                    ++phantoms; // a failed add left its row behind

        const QString counts =
            QStringLiteral("clients=%1 iterations=%2 reported=%3 adds=%4 failed_adds=%5 modifies=%6 "
                           "conflicts=%7 gone=%8 unloadable=%9 failed_modifies=%10 deletes=%11 "
                           "deletes_of_nothing=%12 present=%13 lost=%14 duplicates=%15 overwrites=%16 "
                           "phantoms=%17 torn=%18 crashes=%19")
                .arg(kClients)
                .arg(iterations)
                .arg(reported)
                .arg(addsOk)
                .arg(addsFailed)
                .arg(modsOk)
                .arg(conflicts)
                .arg(gone)
                .arg(unloadable)
                .arg(modsFailed)
                .arg(deletesDone)
                .arg(deletesEmpty)
                .arg(present.size())
                .arg(lost)
                .arg(duplicates)
                .arg(overwrites)
                .arg(phantoms)
                .arg(badBodies)
                .arg(crashes) +
            QString::asprintf(" deadlocks=%d cut=%d failovers=%d met=%d on=%s", deadlocks, cut, failovers,
                              met, onCluster ? "cluster" : "server");
        qInfo().noquote() << counts;
        std::printf("%s\n", qPrintable(counts));
        QCOMPARE(crashes, 0);
        QVERIFY(reported >= kClients * iterations * 9 / 10); // skipped only when the table was empty
        QCOMPARE(lost, 0);
        QCOMPARE(duplicates, 0);
        QCOMPARE(overwrites, 0);
        QCOMPARE(phantoms, 0);
        QCOMPARE(badBodies, 0);
        QCOMPARE(modsFailed, 0); // every modify either saved or was told why not
        // An add that meets another's id waits for the next second: five misses in a row are rare.
        QVERIFY2(addsFailed * 20 <= addsOk, qPrintable(counts));
        // A client of the stopped node loses at most the statement it was in, then goes on elsewhere.
        QVERIFY2(cutElsewhere == 0 && cut <= (stoppedNode ? 1 : 0) && failovers >= (stoppedNode ? 1 : 0),
                 qPrintable(counts));
        // The run proves something only if the clients really met.
        QVERIFY(met > 0 && modsOk > 0 && deletesDone > 0);
    }
};

int main(int argc, char* argv[]) {
    if (argc == 6 && qstrcmp(argv[1], "--client") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        return runClient(atoi(argv[2]), atoi(argv[3]), QByteArray(argv[4]).toLongLong(), atoi(argv[5]));
    }
    QApplication app(argc, argv);
    TestClients test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_clients.moc"
