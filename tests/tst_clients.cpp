// Four client processes add, modify and delete overlapping records of one database at the same time,
// through the add and modify forms and the popup's delete statement. Each client reports every
// outcome; at the end the table must agree with the reports: every add present or reported failed,
// no record lost by a failed modify, no modify that overwrote another client's change unseen.
//
// Record ids come from a clock seam that every client sets to the same few seconds, so adds of
// different clients meet on one id the way two users adding within one second do.
#include "FakeClock.h"
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "ScratchDb.h"
#include "Seams.h"
#include "database/ConnDatabase.h"
#include "database/Shared.h"
#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QtTest>

#include <cstdio>

namespace {

const QString kDb = QStringLiteral("vornik_test_clients");
constexpr int kClients = 4;
constexpr int kSeeds = 12;
const QDateTime kBase(QDate(2999, 1, 1), QTime(0, 0, 0));

void say(const QString& line) {
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

// One client: `iterations` operations, each reported on one line of standard output:
//   ADD <ok|failed> <id> <token>
//   MOD <ok|conflict|gone|failed|unloadable> <id> <base token> <token>
//   DEL <rows deleted> <id>
int runClient(int client, int iterations) {
    FakeMessageBoxes boxes;
    FakeLoginPrompt noLogin;
    FakeClock clock; // every reading gives the moment set last
    clock.at = kBase;
    ScopedSeam boxesSeam(setMessageBoxes, &boxes);
    ScopedSeam promptSeam(mConnDatabase::setLoginPrompt, &noLogin);
    ScopedSeam clockSeam(setAppClock, &clock);
    ScratchDb(kDb).pointSettingsHere(); // made by the parent process
    QRandomGenerator random(quint32(20261207 + client));

    auto randomId = [&]() -> QString {
        QString err;
        mConnDatabase::ConnectDatabase(err);
        Recordset rs;
        if (!rs.Open(QStringLiteral("select dataid from searchtxt_data order by rand() limit 1"),
                     mPublic::Conn.get()) ||
            rs.RecordCount() < 1)
            return {};
        return rs.text(0).value();
    };
    auto settle = [] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); };

    for (int i = 0; i < iterations; ++i) {
        const QString token = QStringLiteral("c%1-%2").arg(client).arg(i);
        const int pick = random.bounded(100);
        boxes.shown.clear();
        if (pick < 35) {
            // Two ids per iteration step, shared by all clients: some adds meet an existing id.
            clock.at = kBase.addSecs(100 + 2 * i + random.bounded(2));
            const QString id = FrmAdd::newRecordId();
            FrmAdd* f = FrmAdd::instance();
            f->txtTitle->setText(token);
            f->RtbData->setPlainText(QStringLiteral("body of ") + token);
            f->CmdAddNew_Click();
            const bool ok = boxes.lastText() == QStringLiteral("增加成功！");
            say(QStringLiteral("ADD %1 %2 %3").arg(ok ? "ok" : "failed", id, token));
        } else if (pick < 80) {
            const QString id = randomId();
            if (id.isEmpty())
                continue;
            FrmModi* f = FrmModi::instance();
            if (!f->setDataid(id)) {
                say(QStringLiteral("MOD unloadable %1 - %2").arg(id, token));
                settle();
                continue;
            }
            const QString base = f->txtTitle->text();
            QTest::qWait(random.bounded(25)); // the user edits; others may write meanwhile
            f->txtTitle->setText(token);
            f->RtbData->setPlainText(QStringLiteral("body of ") + token);
            f->CmdSave_Click();
            const QString text = boxes.lastText();
            const char* outcome = text == QStringLiteral("修改成功！")                ? "ok"
                                  : text == QStringLiteral("修改失败,error:")         ? "gone"
                                  : text.contains(QStringLiteral("已被其他用户修改")) ? "conflict"
                                                                                      : "failed";
            if (qstrcmp(outcome, "failed") == 0)
                std::fprintf(stderr, "client %d: %s\n", client, qPrintable(text));
            say(QStringLiteral("MOD %1 %2 %3 %4").arg(outcome, id, base, token));
            FrmModi::unload();
            settle();
        } else {
            const QString id = randomId();
            if (id.isEmpty())
                continue;
            quint64 deleted = 0;
            const Status s = mPublic::Conn->Execute(
                QStringLiteral("delete from searchtxt_data where dataid=?"), {id}, &deleted);
            if (!s)
                std::fprintf(stderr, "client %d: delete failed: %s\n", client,
                             qPrintable(s.error().description));
            say(QStringLiteral("DEL %1 %2").arg(!s ? 0 : deleted).arg(id));
        }
    }
    FrmAdd::unload();
    FrmModi::unload();
    mPublic::Conn.reset();
    return 0;
}

} // namespace

class TestClients : public QObject {
    Q_OBJECT

    ScratchDb db{kDb};

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        QVERIFY(db.create());
    }

    void concurrentClients() {
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
        for (int c = 0; c < kClients; ++c) {
            auto* p = new QProcess(this);
            p->setProcessChannelMode(QProcess::SeparateChannels);
            p->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--client"), QString::number(c), QString::number(iterations)});
            clients << p;
        }
        int addsOk = 0, addsFailed = 0, modsOk = 0, conflicts = 0, gone = 0, modsFailed = 0, unloadable = 0,
            deletesDone = 0, deletesEmpty = 0, crashes = 0, reported = 0;
        QList<std::pair<QString, Write>> modifies;
        for (QProcess* p : clients) {
            QVERIFY(p->waitForFinished(120000));
            if (p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0)
                ++crashes;
            for (const QByteArray& line : p->readAllStandardError().split('\n'))
                if (line.startsWith("client"))
                    qInfo().noquote() << line;
            for (const QByteArray& raw : p->readAllStandardOutput().split('\n')) {
                const QStringList f = QString::fromUtf8(raw).split(u' ');
                if (f.size() < 3)
                    continue;
                ++reported;
                if (f[0] == u"ADD") {
                    if (f[1] == u"ok") {
                        ++addsOk;
                        ++adds[f[2]];
                        writes[f[2]].append({QString(), f[3]});
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
                    } else {
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
        Recordset dup;
        QVERIFY(
            dup.Open(QStringLiteral("select dataid from SearchTxt_Data group by dataid having count(*) > 1"),
                     &db.admin()));
        int duplicates = static_cast<int>(dup.RecordCount());

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
                .arg(crashes);
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
        // The run proves something only if the clients really met.
        QVERIFY(addsOk > 0 && addsFailed > 0 && modsOk > 0 && deletesDone > 0);
    }
};

int main(int argc, char* argv[]) {
    if (argc == 4 && qstrcmp(argv[1], "--client") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        return runClient(atoi(argv[2]), atoi(argv[3]));
    }
    QApplication app(argc, argv);
    TestClients test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_clients.moc"
