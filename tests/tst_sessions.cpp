// Sessions that a server's own settings cannot subvert: servers whose init_connect switches the
// backslash mode or the character set after the login reply, one whose client handshake is ignored,
// and one restarted into another mode while the program is connected. Hostile values stay values,
// a delete removes exactly its row, and text reads back exactly, the first statement after an open
// included. Also: a statement the client stopped waiting for does not keep running on the server.
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "FreshControl.h"
#include "PrivateServer.h"
#include "Seams.h"
#include "database/ConnDatabase.h"
#include "database/Shared.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTextEdit>
#include <QtTest>

namespace {

const QString kEvilId = QStringLiteral("x' or 1=1 -- "); // 13 characters: fits the id column
const QString kQuoteTitle = QStringLiteral("中'");
const QString kTrickyBody = QStringLiteral("中文 ' \\ \" 内容 😀");

const QString kNoBackslashEscapes =
    QStringLiteral("--init-connect=SET SESSION sql_mode=CONCAT(@@sql_mode,',NO_BACKSLASH_ESCAPES')");

} // namespace

class TestSessions : public QObject {
    Q_OBJECT

    PrivateServer server;
    FakeMessageBoxes boxes;
    FakeLoginPrompt prompt;
    ScopedSeam<MessageBoxes> boxesSeam{setMessageBoxes, &boxes};
    ScopedSeam<mConnDatabase::LoginPrompt> promptSeam{mConnDatabase::setLoginPrompt, &prompt};
    std::unique_ptr<uVornik> control;

    QString status() const { return control->TxtTS->text().mid(20); }
    QStringList listed() const {
        QStringList out;
        for (int i = 0; i < control->List1->count(); ++i)
            out << control->List1->text(i);
        return out;
    }
    void search(bool titlesOnly, const QString& key) {
        control->ChkControl[0]->setChecked(titlesOnly);
        control->txtSearchKey->setText(key);
        QTest::keyClick(control->txtSearchKey, Qt::Key_Return);
    }
    // The next command opens the connection afresh, so its first statement follows an open.
    void reopenNext() {
        if (mPublic::Conn)
            mPublic::Conn->Close();
    }
    QStringList ids() {
        QString out;
        server.admin(QStringLiteral("select group_concat(dataid order by dataid separator '|') from "
                                    "qelmorand.SearchTxt_Data"),
                     &out);
        return out.split(u'|');
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        QString error;
        QVERIFY2(server.start({}, &error), qPrintable(error));
    }

    void init() {
        control = freshControl();
        mConnDatabase::forgetAccount();
        mConnDatabase::dbServerIP = server.server();
        mConnDatabase::dbName = QStringLiteral("qelmorand");
        mConnDatabase::dbUse = QStringLiteral("qelmorand");
        mConnDatabase::dbPwd = QStringLiteral("40628173");
    }

    void hostileSessionSettings_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("restartWhileConnected");
        QTest::addColumn<bool>("noBackslashEscapes");
        QTest::newRow("init_connect NO_BACKSLASH_ESCAPES")
            << QStringList{kNoBackslashEscapes} << false << true;
        QTest::newRow("init_connect SET NAMES gbk")
            << QStringList{"--init-connect=SET NAMES gbk"} << false << false;
        QTest::newRow("handshake ignored, GBK server")
            << QStringList{"--character-set-server=gbk", "--collation-server=gbk_chinese_ci",
                           "--skip-character-set-client-handshake"}
            << false << false;
        QTest::newRow("restarted into NO_BACKSLASH_ESCAPES")
            << QStringList{"--sql-mode=STRICT_TRANS_TABLES,NO_BACKSLASH_ESCAPES"} << true << true;
    }
    void hostileSessionSettings() {
        QFETCH(QStringList, options);
        QFETCH(bool, restartWhileConnected);
        QFETCH(bool, noBackslashEscapes);
        QString error;
        QVERIFY2(server.restart(restartWhileConnected ? QStringList{} : options, &error), qPrintable(error));
        QVERIFY(server.admin(QStringLiteral("DELETE FROM qelmorand.SearchTxt_Data")));
        Connection seed;
        QVERIFY(seed.Open(server.connectionString()));
        for (const auto& [id, name, data] :
             {std::tuple{QStringLiteral("s1"), kEvilId, QStringLiteral("plain")},
              std::tuple{QStringLiteral("s2"), kQuoteTitle, kTrickyBody},
              std::tuple{kEvilId, QStringLiteral("evil id"), QStringLiteral("planted")},
              std::tuple{QStringLiteral("s3"), QStringLiteral("bystander"), QStringLiteral("keep")}})
            QVERIFY(seed.Execute(
                QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                               "VALUES (?,?,?,'','','')"),
                {id, name, data}));
        if (restartWhileConnected) {
            search(true, QStringLiteral("bystander"));
            QCOMPARE(status(), QStringLiteral("loaded OK"));
            QVERIFY2(server.restart(options, &error), qPrintable(error));
        } else {
            reopenNext();
        }

        // A quote in the search value is a quote: one title holds it, nothing else is listed.
        search(true, kEvilId);
        QCOMPARE(status(), QStringLiteral("loaded OK"));
        QCOMPARE(listed(), QStringList{kEvilId});
        QCOMPARE(mPublic::Conn->noBackslashEscapes(), noBackslashEscapes);
        reopenNext();
        search(false, kQuoteTitle);
        QCOMPARE(listed(), QStringList{kQuoteTitle});
        // Text reads back exactly, and the session speaks utf8mb4 whatever the server set.
        control->List1->selectRow(0);
        QCOMPARE(control->RTBox->toPlainText(), kTrickyBody);
        QCOMPARE(control->RsOpen(QStringLiteral("select @@character_set_client as c")), QString());
        QCOMPARE(mPublic::Rs->text(QStringLiteral("c")).value(), QStringLiteral("utf8mb4"));
        // A planted id deletes its own row and nothing else.
        reopenNext();
        search(true, QStringLiteral("evil id"));
        control->List1->selectRow(0);
        reopenNext();
        control->Menu_Click(1);
        QCOMPARE(status(), QStringLiteral("删除成功"));
        QCOMPARE(ids(), (QStringList{"s1", "s2", "s3"}));
        QCOMPARE(prompt.asked, 0);
    }

    // A statement the client stopped waiting for (read time-out) is ended on the server too.
    void timedOutStatementEndsOnServer() {
        Connection c;
        c.setReadTimeoutSeconds(1);
        QVERIFY(c.Open(server.connectionString()));
        const Status s = c.Execute(QStringLiteral("select sleep(30) as vornik_timeout_probe"));
        QVERIFY(!s);
        QVERIFY(s.error().isTimeout());
        QElapsedTimer since;
        since.start();
        QString running;
        do {
            server.admin(QStringLiteral("select count(*) from information_schema.processlist where info like "
                                        "'%vornik_timeout_probe%' and info not like '%processlist%'"),
                         &running);
        } while (running != u"0" && since.elapsed() < 1000);
        QCOMPARE(running, QStringLiteral("0"));
    }

    void cleanupTestCase() {
        control.reset();
        mPublic::Conn.reset();
        mPublic::Rs.reset();
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
