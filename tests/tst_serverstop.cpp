// The server stopped under the control, and started again: the control says so on its status line,
// keeps what it listed, and the next search reconnects with the held account by itself. Runs a
// MariaDB server of its own (scripts/lib.sh), since it stops it.
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "TestDb.h"
#include "control/uVornik.h"
#include "database/ConnDatabase.h"
#include "database/Shared.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <atomic>
#include <cstdlib>

namespace {

constexpr int kRecords = 40000; // about 48 MB: more than the socket buffers hold, so a stop lands mid-way

} // namespace

class TestServerStop : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString port;
    FakeMessageBoxes boxes;
    FakeLoginPrompt prompt;
    std::unique_ptr<uVornik> control;
    QStringList statuses;

    // Runs `commands` in bash with scripts/lib.sh loaded and $D set to the server's folder; true when
    // they succeeded. Safe on any thread.
    bool server(const QString& commands) const {
        QString script = QStringLiteral("source \"%1/scripts/lib.sh\" && D=\"%2\" && %3")
                             .arg(QStringLiteral(VORNIK_SOURCE_DIR), dir.path(), commands);
        script.replace(u'\'', QStringLiteral("'\\''"));
        return std::system(("bash -c '" + script + "'").toUtf8().constData()) == 0;
    }
    bool stopServer() const { return server(QStringLiteral("db_stop $D/run")); }
    bool startServer() const {
        return server(QStringLiteral("db_start $D/data $D/run %1 >/dev/null").arg(port));
    }
    bool ensureServer() const {
        return server(QStringLiteral("db_admin $D/run -e \"select 1\" >/dev/null 2>&1 || "
                                     "db_start $D/data $D/run %1 >/dev/null")
                          .arg(port));
    }

    void search(bool titlesOnly, const QString& key) {
        control->ChkControl[0]->setChecked(titlesOnly);
        control->txtSearchKey->setText(key);
        QTest::keyClick(control->txtSearchKey, Qt::Key_Return);
    }
    QString status() const { return control->TxtTS->text().mid(20); }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB(); // a run that has servers at all
        QVERIFY(dir.isValid());
        QVERIFY2(server(QStringLiteral("db_init $D/data >/dev/null && free_port > $D/port")), "db_init");
        QFile portFile(dir.path() + QStringLiteral("/port"));
        QVERIFY(portFile.open(QIODevice::ReadOnly));
        port = QString::fromLatin1(portFile.readAll().trimmed());
        QVERIFY(startServer());
        QVERIFY2(server(QStringLiteral("db_schema $D/run")), "db_schema");

        qputenv("XDG_CONFIG_HOME", (dir.path() + QStringLiteral("/config")).toUtf8());
        setMessageBoxes(&boxes);
        mConnDatabase::setLoginPrompt(&prompt);

        Connection admin;
        const Status s = admin.Open(
            QStringLiteral("uid=qelmorand;pwd=40628173;server=127.0.0.1:%1;database=qelmorand").arg(port));
        QVERIFY2(s, qPrintable(s.description()));
        QVERIFY(admin.Execute(QStringLiteral("DELETE FROM SearchTxt_Data")));
        QVERIFY(admin.Execute(
            QStringLiteral(
                "INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                "SELECT LPAD(seq, 19, '0'), CONCAT('row ', seq), REPEAT('正文 body ', 100), '', '', '' "
                "FROM seq_1_to_%1")
                .arg(kRecords)));
    }

    void init() {
        control = std::make_unique<uVornik>();
        control->show();
        statuses.clear();
        connect(control->TxtTS, &QLineEdit::textChanged, this,
                [this](const QString& t) { statuses << t.mid(20); });
        mConnDatabase::forgetAccount();
        mConnDatabase::dbServerIP = QStringLiteral("127.0.0.1:") + port;
        mConnDatabase::dbName = QStringLiteral("qelmorand");
        mConnDatabase::dbUse = QStringLiteral("qelmorand");
        mConnDatabase::dbPwd = QStringLiteral("40628173");
        boxes.shown.clear();
        prompt.asked = 0;
    }
    void cleanup() {
        control.reset();
        QVERIFY(ensureServer());
    }

    void serverStopped_data() {
        QTest::addColumn<bool>("duringLoad");
        QTest::addColumn<bool>("backBeforeSearch");
        QTest::newRow("during a full-text load") << true << false;
        QTest::newRow("between searches, still down at the next") << false << false;
        QTest::newRow("between searches, back at the next") << false << true;
    }
    void serverStopped() {
        QFETCH(bool, duringLoad);
        QFETCH(bool, backBeforeSearch);
        search(false, QString());
        QCOMPARE(status(), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), kRecords);
        const QStringList before = mPublic::RowNames;

        std::atomic<bool> stopped = false;
        if (duringLoad) {
            // On the connection's thread, once rows are arriving: the transfer waits for the stop.
            mPublic::Conn->setRowsReceivedHook([&](qint64) {
                if (!stopped.exchange(true))
                    stopServer();
            });
        } else {
            stopped = stopServer();
            if (backBeforeSearch)
                QVERIFY(startServer());
        }
        statuses.clear();
        search(false, QString());
        mPublic::Conn->setRowsReceivedHook({});
        QVERIFY(stopped);
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(prompt.asked, 0);
        if (backBeforeSearch) {
            // The session the server ended is replaced before the statement is sent.
            QCOMPARE(status(), QStringLiteral("loaded OK"));
        } else {
            // A clear message, and what was listed stays.
            QVERIFY2(status().startsWith(QStringLiteral("uVornik.SearchTxtData Error:")),
                     qPrintable(status()));
            QVERIFY2(status().size() > 40, qPrintable(status()));
            QVERIFY(!statuses.contains(QStringLiteral("loaded OK")));
            QCOMPARE(control->List1->count(), kRecords);
            QCOMPARE(mPublic::RowNames, before);
            QVERIFY(startServer());
        }

        // The next search reconnects with the held account, without asking anybody.
        search(false, QStringLiteral("row 12345"));
        QCOMPARE(status(), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), 1);
        QCOMPARE(control->List1->text(0), QStringLiteral("row 12345"));
        QCOMPARE(prompt.asked, 0);
    }

    // A click while the server is down says so and leaves the viewer empty; once it is back, the
    // next click reconnects and shows its record, as the commands do.
    void viewerClickDuringAnOutage() {
        search(true, QStringLiteral("row 1234"));
        QCOMPARE(status(), QStringLiteral("loaded OK"));
        control->RTBox->setPlainText(QStringLiteral("an earlier record"));
        QVERIFY(stopServer());
        control->List1->selectRow(0);
        QVERIFY2(status().startsWith(QStringLiteral("uVornik.List1_Click Error:")), qPrintable(status()));
        QCOMPARE(control->RTBox->toPlainText(), QString());
        QVERIFY(startServer());
        control->List1->selectRow(1);
        QVERIFY2(status().startsWith(QStringLiteral("共：1/")), qPrintable(status()));
        QVERIFY(control->RTBox->toPlainText().startsWith(QStringLiteral("正文 body")));
        QCOMPARE(prompt.asked, 0);
    }

    void cleanupTestCase() {
        control.reset();
        mPublic::Conn.reset();
        mPublic::Rs.reset();
        setMessageBoxes(nullptr);
        mConnDatabase::setLoginPrompt(nullptr);
        if (!port.isEmpty())
            stopServer();
    }
};

QTEST_MAIN(TestServerStop)
#include "tst_serverstop.moc"
