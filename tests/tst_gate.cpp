// One command at a time: what a second click, a re-login or a newer search does while something
// waits on the server. Each case is a way the control used to break.
#include "Columns.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "ScriptedLookup.h"
#include "Sync.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "forms/FrmModi.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

class TestGate : public QObject, WithBoxes, WithPrompt, WithSecrets {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_gate")};
    std::unique_ptr<uVornik> control;
    StatusLog statuses;

    QString runningOnServer(const QString& marker) {
        return db.value(
            QStringLiteral("select count(*) from information_schema.processlist where info like ? and "
                           "info not like '%processlist%'"),
            {u'%' + marker + u'%'});
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        QString error;
        QVERIFY2(db.create(&error), qPrintable(error));
    }
    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.exec(ScratchDb::plainView()));
        db.pointSettingsHere();
        control = shownControl(statuses);
        boxes.shown.clear();
        prompt.asked = 0;
    }
    void cleanup() { control.reset(); }

    // "修改TXT" again while the first modify form still loads its record: refused, and the form
    // that opens is the first record's.
    void secondModifyWhileTheFirstLoads() {
        CHECK_SQL(db.insertNumbered(1, 2));
        search(*control, true, QStringLiteral("t"));
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        Connection locker;
        QVERIFY(locker.Open(
            QString(testdb::connectionString())
                .replace(QStringLiteral("database=qelmorand"), QStringLiteral("database=vornik_test_gate"))));
        QVERIFY(locker.Execute(QStringLiteral("LOCK TABLES SearchTxt_Data WRITE"))); // the load waits for it
        QString shownId;
        QTimer::singleShot(100, this, [&] {
            control->List1->selectRow(1);
            control->Menu_Click(2);
        });
        QTimer::singleShot(300, this, [&] { (void)locker.Execute(QStringLiteral("UNLOCK TABLES")); });
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto* form = qobject_cast<FrmModi*>(QApplication::activeModalWidget())) {
                shownId = form->TxtDataid->text();
                form->close();
            }
        });
        closer.start(20);
        control->List1->selectRow(0);
        control->Menu_Click(2);
        QVERIFY(handlersDone());
        QVERIFY(statuses.contains(QStringLiteral("请稍候：“修改TXT”还没有完成")));
        QCOMPARE(shownId, QStringLiteral("1"));
    }

    // The control closed while its delete waits on the server: the statement still runs, and the
    // command resumes to find the control gone and touches nothing of it.
    void deleteOutlivesTheControl() {
        CHECK_SQL(db.insertNumbered(1, 2));
        search(*control, true, QStringLiteral("t"));
        control->List1->selectRow(0);
        Connection locker;
        QVERIFY(locker.Open(
            QString(testdb::connectionString())
                .replace(QStringLiteral("database=qelmorand"), QStringLiteral("database=vornik_test_gate"))));
        QVERIFY(locker.Execute(QStringLiteral("LOCK TABLES SearchTxt_Data WRITE"))); // the delete waits
        control->Menu_Click(1);
        QCOMPARE(boxes.lastText().left(9), QStringLiteral("将要删除以下信息，"));
        control.reset();
        statuses.clear();
        QVERIFY(locker.Execute(QStringLiteral("UNLOCK TABLES")));
        QVERIFY(handlersDone());
        QCOMPARE(db.column(QStringLiteral("dataid")), QStringList{"2"});
        QVERIFY(statuses.isEmpty());
    }

    // "重新登录" while the connection is still opening: the open is cancelled, and the next search
    // asks for a login instead of running under the forgotten account.
    void reloginCancelsAnOpenInProgress() {
        CHECK_SQL(db.insertNumbered(1, 1));
        ScriptedLookup slow;
        slow.delayMs = 600;
        ScopedSeam<HostLookup> lookupSeam(setHostLookup, &slow);
        sharedSession().connectionSlot()->Close();
        QTimer::singleShot(150, this, [&] { control->CmdControl_Click(1); });
        search(*control, true, QStringLiteral("t"));
        QVERIFY(!statuses.contains(QStringLiteral("loaded OK")));
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateClosed);
        QCOMPARE(prompt.asked, 0);
        search(*control, true, QStringLiteral("t"));
        QCOMPARE(prompt.asked, 1);
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateClosed);
    }

    // A superseded search is ended on the server at once, and the newer one does not wait for it.
    void supersededSearchEndsOnTheServer() {
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("slow"), QStringLiteral("x")));
        CHECK_SQL(
            db.exec(QStringLiteral("CREATE OR REPLACE VIEW VW_SearchTxt_Name AS SELECT dataid AS DataID, "
                                   "name FROM SearchTxt_Data WHERE SLEEP(3) = 0 /* vornik_slow_view */")));
        QElapsedTimer clock;
        clock.start();
        qint64 supersededAt = -1;
        QTimer::singleShot(300, this, [&] {
            supersededAt = clock.elapsed();
            search(*control, false, QStringLiteral("slow"));
        });
        search(*control, true, QStringLiteral("slow"));
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(listedTitles(*control), QStringList{"slow"});
        QCOMPARE(control->results().data.value(0),
                 QStringLiteral("x")); // the full-text result, not the title one
        while (runningOnServer(QStringLiteral("VW_SearchTxt_Name")) != u"0" &&
               clock.elapsed() < supersededAt + 1000)
            QTest::qWait(20);
        QCOMPARE(runningOnServer(QStringLiteral("VW_SearchTxt_Name")), QStringLiteral("0"));
    }

    // A newer search started at any point where a load lets other handlers run takes over: the
    // older one never writes the list, the arrays or the status line again.
    void newerSearchAtEveryYield_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void newerSearchAtEveryYield() {
        QFETCH(bool, titlesOnly);
        CHECK_SQL(
            db.exec(QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                                   "SELECT CONCAT('a', seq), CONCAT('old ', seq), 'old body', '', '', '' "
                                   "FROM seq_1_to_6000")));
        CHECK_SQL(
            db.exec(QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                                   "SELECT CONCAT('b', seq), CONCAT('new ', seq), CONCAT('new body ', seq), "
                                   "'', '', '' FROM seq_1_to_30")));
        auto run = [&](const QString& key) {
            titlesOnly ? control->SearchFileName(key) : control->SearchTxtData(key);
        };
        run(QStringLiteral("new"));
        QVERIFY(handlersDone());
        const QStringList names = control->results().names.toStringList();
        const QStringList ids = control->results().ids.toStringList();
        const QStringList data = control->results().data.toStringList();
        const QStringList shown = listedTitles(*control);
        QCOMPARE(shown.size(), 30);

        // The k-th yield of the older load, for every k until the load ends before its k-th yield.
        int k = 0;
        for (bool reached = true; reached; ++k) {
            int seen = 0;
            reached = false;
            control->loader().setAfterYield([&] {
                if (seen++ == k) {
                    reached = true;
                    run(QStringLiteral("new"));
                }
            });
            run(QStringLiteral("old"));
            QVERIFY(handlersDone());
            control->loader().setAfterYield({});
            if (!reached)
                break; // the older one ran to its end first
            QVERIFY2(listedTitles(*control) == shown,
                     qPrintable(QStringLiteral("newer search at yield %1").arg(k)));
            QCOMPARE(control->results().names.toStringList(), names);
            QCOMPARE(control->results().ids.toStringList(), ids);
            QCOMPARE(control->results().data.toStringList(), data);
            QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        }
        QVERIFY2(k > 4, qPrintable(QString::number(k)));
    }
};

QTEST_MAIN(TestGate)
#include "tst_gate.moc"
