// Server faults during a write, against a MariaDB of the test's own that it can kill and restart:
// the modify form's delete and insert run in one transaction, so a server killed between them must
// come back with the record as it was, and the form must say the save failed and keep the edits.
#include "Fixture.h"
#include "PrivateServer.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "forms/FrmModi.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

const QString kId = QStringLiteral("2026010203040511045");
const QStringList kLoaded = {
    kId,    "as loaded", "body\r\nas loaded", "2026-01-02 03:04:05", "2026-01-02 03:04:06", "remarks",
    "keys", "creator"};

} // namespace

class TestFaults : public QObject, WithBoxes, WithPrompt {
    Q_OBJECT

    PrivateServer server;
    ScratchDb db{QStringLiteral("vornik_test_faults")};

    // What the server's administrator sees, from outside the form's session.
    QString watch(const QString& sql) {
        QString out;
        return server.admin(sql, &out) ? out : QStringLiteral("<failed>");
    }

private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("mariadbd")).isEmpty() &&
            !QFile::exists(QStringLiteral("/usr/sbin/mariadbd"))) {
            if (testdb::required())
                QFAIL("mariadbd is not installed: run through scripts/test");
            QSKIP("mariadbd is not installed");
        }
        qputenv("XDG_CONFIG_HOME", (server.folder() + QStringLiteral("/config")).toUtf8());
        QString error;
        QVERIFY2(server.start({}, &error), qPrintable(error));
        QVERIFY(db.create(nullptr, server.server()));
    }

    void cleanupTestCase() {
        FrmModi::unload();
        sharedSession().connectionSlot().reset();
    }

    void serverKilledBetweenDeleteAndInsert() {
        CHECK_SQL(db.exec(QStringLiteral("insert into SearchTxt_Data (dataid,name,data,createdatetime,"
                                         "modidatetime,`desc`,`keys`,creator) values (?,?,?,?,?,?,?,?)"),
                          SqlParams(kLoaded.begin(), kLoaded.end())));
        // The insert waits in a trigger, after the delete has run: the moment to kill the server.
        CHECK_SQL(db.exec(QStringLiteral("create trigger vornik_stall before insert on SearchTxt_Data "
                                         "for each row set @vornik_stall = sleep(60)")));
        db.pointSettingsHere();

        QPointer<FrmModi> f = FrmModi::instance();
        QVERIFY(sync(f->setDataid(kId)));
        f->show();
        f->txtTitle->setText(QStringLiteral("edited title"));
        f->RtbData->setPlainText(QStringLiteral("edited\nbody"));

        QCOMPARE(watch(QStringLiteral("select 1")), QStringLiteral("1")); // the watcher sees the server
        bool killed = false;
        bool deleteSeen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            // The server shows the trigger's statement while the insert waits in it.
            if (watch(QStringLiteral("select count(*) from information_schema.processlist "
                                     "where state = 'User sleep'")) != u"1")
                return;
            // The form's own transaction has deleted the row by now: other sessions still see it
            // (the delete is not committed), which is what the server will come back with.
            deleteSeen = watch(QStringLiteral("select count(*) from information_schema.innodb_trx "
                                              "where trx_rows_modified > 0")) == u"1";
            poll.stop();
            killed = ::kill(static_cast<pid_t>(server.pid()), SIGKILL) == 0;
        });
        poll.start(20);
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(f->CmdSave, Qt::LeftButton);
        QVERIFY(handlersDone());
        poll.stop();
        QVERIFY(killed);
        QVERIFY(deleteSeen);
        QVERIFY2(t.elapsed() < 30000, "the failed save waited for the stalled insert");

        // The form says the save failed and keeps the user's edits.
        QVERIFY(f);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().kind, QStringLiteral("critical"));
        QCOMPARE(boxes.shown.first().title, QStringLiteral("修改数据"));
        QVERIFY2(boxes.lastText().startsWith(QStringLiteral("Error:CmdSave_Click")),
                 qPrintable(boxes.lastText()));
        QVERIFY(boxes.lastText().contains(QStringLiteral("\r\n Err:")));
        QCOMPARE(f->txtTitle->text(), QStringLiteral("edited title"));
        QVERIFY(f->isVisible());

        // Back up, the server has rolled the half-done transaction back: the record is as loaded.
        QVERIFY(server.start());
        QCOMPARE(db.row(kId), kLoaded);
        CHECK_SQL(db.exec(QStringLiteral("drop trigger vornik_stall")));

        // Saving again reconnects by itself and writes the edits.
        boxes.shown.clear();
        QTest::mouseClick(f->CmdSave, Qt::LeftButton);
        QVERIFY(handlersDone());
        QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
        QStringList expected = kLoaded;
        expected[1] = QStringLiteral("edited title");
        expected[2] = QStringLiteral("edited\r\nbody");
        expected[4] = db.row(kId).value(4); // the time of the save
        QVERIFY(expected[4] != kLoaded[4]);
        QCOMPARE(db.row(kId), expected);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
