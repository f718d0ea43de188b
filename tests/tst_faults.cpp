// Server faults during a write, against a MariaDB of the test's own that it can kill and restart:
// the modify form's delete and insert run in one transaction, so a server killed between them must
// come back with the record as it was, and the form must say the save failed and keep the edits.
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "TestDb.h"
#include "database/ConnDatabase.h"
#include "database/Shared.h"
#include "forms/FrmModi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <csignal>

#include <mysql.h>

#ifndef VORNIK_SOURCE_DIR
#error "VORNIK_SOURCE_DIR must name the source folder (for scripts/lib.sh)"
#endif

namespace {

const QString kId = QStringLiteral("2026010203040511045");
const QStringList kLoaded = {
    kId,    "as loaded", "body\r\nas loaded", "2026-01-02 03:04:05", "2026-01-02 03:04:06", "remarks",
    "keys", "creator"};

// A blocking client of its own, for watching and checking from outside the form's connection.
struct Raw {
    MYSQL* m = nullptr;
    explicit Raw(unsigned int port) {
        m = mysql_init(nullptr);
        const unsigned int tcp = MYSQL_PROTOCOL_TCP;
        mysql_options(m, MYSQL_OPT_PROTOCOL, &tcp);
        mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        if (!mysql_real_connect(m, "127.0.0.1", "qelmorand", "40628173", "qelmorand", port, nullptr, 0)) {
            qWarning() << "watcher:" << mysql_error(m);
            mysql_close(m);
            m = nullptr;
        }
    }
    ~Raw() {
        if (m)
            mysql_close(m);
    }
    bool exec(const QString& sql) {
        const QByteArray q = sql.toUtf8();
        const bool ok = m && mysql_real_query(m, q.constData(), static_cast<unsigned long>(q.size())) == 0;
        if (!ok && m)
            qWarning() << mysql_error(m) << "in" << sql;
        if (ok)
            mysql_free_result(mysql_store_result(m));
        return ok;
    }
    // The rows' columns as text, one list per row.
    QList<QStringList> rows(const QString& sql) {
        QList<QStringList> out;
        const QByteArray q = sql.toUtf8();
        if (!m || mysql_real_query(m, q.constData(), static_cast<unsigned long>(q.size())) != 0)
            return out;
        MYSQL_RES* r = mysql_store_result(m);
        if (!r)
            return out;
        const unsigned int n = mysql_num_fields(r);
        while (MYSQL_ROW row = mysql_fetch_row(r)) {
            const unsigned long* lengths = mysql_fetch_lengths(r);
            QStringList cells;
            for (unsigned int i = 0; i < n; ++i)
                cells << (row[i] ? QString::fromUtf8(row[i], static_cast<qsizetype>(lengths[i]))
                                 : QStringLiteral("<NULL>"));
            out << cells;
        }
        mysql_free_result(r);
        return out;
    }
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QTemporaryDir config;
    FakeMessageBoxes boxes;
    FakeLoginPrompt noLogin;
    unsigned int port = 0;
    bool serverStarted = false;

    // Runs `script` with scripts/lib.sh loaded and the data and run folders as $1 and $2.
    bool lib(const QString& script, QString* out = nullptr) {
        QProcess p;
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.start(QStringLiteral("bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("set -e; source '%1/scripts/lib.sh'; ").arg(VORNIK_SOURCE_DIR) + script,
                 QStringLiteral("lib"), dir.filePath(QStringLiteral("data")),
                 dir.filePath(QStringLiteral("run"))});
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return false;
        }
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        const QByteArray err = p.readAllStandardError();
        if (p.exitCode() != 0)
            qWarning().noquote() << err;
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    bool startServer() {
        serverStarted = lib(QStringLiteral("db_start \"$1\" \"$2\" %1").arg(port));
        return serverStarted;
    }
    qint64 serverPid() {
        QFile f(dir.filePath(QStringLiteral("run/mariadbd.pid")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
    }
    QStringList row() {
        Raw raw(port);
        const QList<QStringList> r = raw.rows(
            QStringLiteral("select dataid,name,data,createdatetime,modidatetime,`desc`,`keys`,creator "
                           "from SearchTxt_Data where dataid='%1'")
                .arg(kId));
        return r.isEmpty() ? QStringList() : r.first();
    }

private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("mariadbd")).isEmpty() &&
            !QFile::exists(QStringLiteral("/usr/sbin/mariadbd"))) {
            if (testdb::required())
                QFAIL("mariadbd is not installed: run through scripts/test");
            QSKIP("mariadbd is not installed");
        }
        QVERIFY(dir.isValid() && config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        setMessageBoxes(&boxes);
        mConnDatabase::setLoginPrompt(&noLogin);
        QString portText;
        QVERIFY(lib(QStringLiteral("free_port"), &portText));
        port = portText.toUInt();
        QVERIFY(port > 0);
        QVERIFY(lib(QStringLiteral("db_init \"$1\"")));
        QVERIFY(startServer());
        QVERIFY(lib(QStringLiteral("db_schema \"$2\"")));
        // To see the other session's transaction from outside.
        QVERIFY(lib(QStringLiteral("db_admin \"$2\" -e \"GRANT PROCESS ON *.* TO 'qelmorand'@'%'\"")));
    }

    void cleanupTestCase() {
        FrmModi::unload();
        mPublic::Conn.reset();
        mPublic::Rs.reset();
        setMessageBoxes(nullptr);
        mConnDatabase::setLoginPrompt(nullptr);
        if (serverStarted)
            lib(QStringLiteral("db_stop \"$2\""));
    }

    void serverKilledBetweenDeleteAndInsert() {
        {
            Raw raw(port);
            QStringList literals;
            for (const QString& v : kLoaded)
                literals << u'\'' + v + u'\'';
            QVERIFY(raw.exec(QStringLiteral("insert into SearchTxt_Data (dataid,name,data,createdatetime,"
                                            "modidatetime,`desc`,`keys`,creator) values (%1)")
                                 .arg(literals.join(u','))));
            // The insert waits in a trigger, after the delete has run: the moment to kill the server.
            QVERIFY(raw.exec(QStringLiteral("create trigger vornik_stall before insert on SearchTxt_Data "
                                            "for each row set @vornik_stall = sleep(60)")));
        }
        mConnDatabase::forgetAccount();
        mConnDatabase::dbServerIP = QStringLiteral("127.0.0.1:%1").arg(port);
        mConnDatabase::dbName = QStringLiteral("qelmorand");
        mConnDatabase::dbUse = QStringLiteral("qelmorand");
        mConnDatabase::dbPwd = QStringLiteral("40628173");

        QPointer<FrmModi> f = FrmModi::instance();
        QVERIFY(f->setDataid(kId));
        f->show();
        f->txtTitle->setText(QStringLiteral("edited title"));
        f->RtbData->setPlainText(QStringLiteral("edited\nbody"));

        Raw watcher(port);
        QVERIFY(watcher.m);
        bool killed = false;
        bool deleteSeen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            // The server shows the trigger's statement while the insert waits in it.
            const QList<QStringList> r = watcher.rows(
                QStringLiteral("select id from information_schema.processlist where state = 'User sleep' "
                               "and id <> connection_id()"));
            if (r.isEmpty())
                return;
            // The form's own transaction has deleted the row by now: other sessions still see it
            // (the delete is not committed), which is what the server will come back with.
            deleteSeen = watcher
                             .rows(QStringLiteral("select 1 from information_schema.innodb_trx "
                                                  "where trx_rows_modified > 0"))
                             .size() == 1;
            poll.stop();
            killed = ::kill(static_cast<pid_t>(serverPid()), SIGKILL) == 0;
        });
        poll.start(20);
        QElapsedTimer t;
        t.start();
        QTest::mouseClick(f->CmdSave, Qt::LeftButton);
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
        QVERIFY(startServer());
        QCOMPARE(row(), kLoaded);
        {
            Raw raw(port);
            QVERIFY(raw.exec(QStringLiteral("drop trigger vornik_stall")));
        }

        // Saving again reconnects by itself and writes the edits.
        boxes.shown.clear();
        QTest::mouseClick(f->CmdSave, Qt::LeftButton);
        QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
        QStringList expected = kLoaded;
        expected[1] = QStringLiteral("edited title");
        expected[2] = QStringLiteral("edited\r\nbody");
        QCOMPARE(row(), expected);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
