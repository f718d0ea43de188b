// The search, the viewer and the statement runner of the control, against the real throwaway server.
#include "Columns.h"
#include "ConnectShim.h"
#include "FakeLoginPrompt.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "ScriptedLookup.h"
#include "control/uVornik.h"
#include "database/ConnDatabase.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

class TestSearch : public QObject, WithBoxes, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_search")};
    std::unique_ptr<uVornik> control;
    StatusLog statuses;

    void search(bool titlesOnly, const QString& key) { ::search(*control, titlesOnly, key); }
    QStringList listed() const { return listedTitles(*control); }

private Q_SLOTS:
    void initTestCase() { START_DB(); }

    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.exec(ScratchDb::plainView()));
        boxes.shown.clear();
        control = shownControl(statuses);
        db.pointSettingsHere();
    }
    void cleanup() { control.reset(); }

    void statementsAsBuilt_data() {
        columns<bool, QString, QString>("titlesOnly", "key", "statement");
        const QString title =
            QStringLiteral("select `DataID`,`name` from VW_SearchTxt_Name  where `name` like ? escape '!'");
        const QString fullText =
            QStringLiteral("select  `dataid`,`name`,`data` from SearchTxt_Data where `data` like ? "
                           "escape '!' or `name` like ? escape '!'");
        row("title", true, "ab", title);
        row("title, quote and backslash", true, "it's a\\b", title);
        row("full text", false, "ab", fullText);
    }
    void statementsAsBuilt() {
        QFETCH(bool, titlesOnly);
        QFETCH(QString, key);
        search(titlesOnly, key);
        QTEST(control->loader().lastStatement(), "statement");
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
    }

    void finds_data() {
        columns<bool, QString, QStringList>("titlesOnly", "key", "expected");
        row("chinese in title, titles", true, "数据", QStringList{"备份数据库命令"});
        row("chinese in body, full text", false, "恢复", QStringList{"备份数据库命令"});
        row("chinese in body, titles", true, "恢复", QStringList{});
        row("ascii any case", true, "GIT", QStringList{"git tips"});
        row("quote", true, "it's", QStringList{"it's here"});
        row("backslash", true, "C:\\d", QStringList{"path C:\\dir"});
        row("percent wildcard", true, "g%t", QStringList{"git tips"});
        row("underscore wildcard", true, "g_t", QStringList{"git tips"});
        // "!" is the pattern's escape character: a value holding it matches it, never what follows it.
        row("escape character, titles", true, "!", QStringList{"wow!"});
        row("escape character, full text", false, "!", QStringList{"wow!"});
        row("injection", true, "'; drop table SearchTxt_Data; --", QStringList{});
        row("injection, full text", false, "' or '1'='1", QStringList{});
        row("no rows, titles", true, "nothing like this", QStringList{});
        row("no rows, full text", false, "nothing like this", QStringList{});
        const QStringList all{"备份数据库命令", "git tips", "it's here", "path C:\\dir", "wow!", "100%"};
        row("empty key lists all, server order", true, "", all);
        row("empty key lists all, full text", false, "", all);
    }
    void finds() {
        QFETCH(bool, titlesOnly);
        QFETCH(QString, key);
        struct Record {
            QString id, name, data;
        };
        // Ids of the form the add form makes, in key order (the server lists by key).
        const QList<Record> records{
            {QStringLiteral("2026010112000043200"), QStringLiteral("备份数据库命令"),
             QStringLiteral("mysqldump\r\n恢复：mysql < x")},
            {QStringLiteral("2026010112000143201"), QStringLiteral("git tips"), QStringLiteral("git status")},
            {QStringLiteral("2026010112000243202"), QStringLiteral("it's here"), QStringLiteral("quote")},
            {QStringLiteral("2026010112000343204"), QStringLiteral("path C:\\dir"),
             QStringLiteral("backslash")},
            {QStringLiteral("2026010112000443205"), QStringLiteral("wow!"), QStringLiteral("bang")},
            {QStringLiteral("2026010112000543206"), QStringLiteral("100%"), QStringLiteral("percent")},
        };
        for (const Record& r : records)
            CHECK_SQL(db.insert(r.id, r.name, r.data));
        search(titlesOnly, key);
        QTEST(listed(), "expected");
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QVERIFY(boxes.shown.isEmpty());
        // The table is intact whatever the key held.
        QCOMPARE(db.value(QStringLiteral("select count(*) from SearchTxt_Data")), QStringLiteral("6"));
        // The arrays mirror the list row by row: each row's id and content are those of the record
        // whose title it shows; N + 1 elements, the last empty.
        const QStringList shown = listed();
        if (shown.isEmpty())
            return;
        QCOMPARE(control->results().names.size(), shown.size() + 1);
        QCOMPARE(control->results().ids.size(), shown.size() + 1);
        QCOMPARE(control->results().data.size(), shown.size() + 1);
        for (int i = 0; i < shown.size(); ++i) {
            const auto r = std::find_if(records.begin(), records.end(),
                                        [&](const Record& x) { return x.name == shown[i]; });
            QVERIFY2(r != records.end(), qPrintable(shown[i]));
            QCOMPARE(control->results().names.at(i), r->name);
            QCOMPARE(control->results().ids.at(i), r->id);
            QCOMPARE(control->results().data.at(i), titlesOnly ? QStringLiteral("无内容") : r->data);
        }
        QCOMPARE(control->results().names.toStringList().last(), QString());
        QCOMPARE(control->results().ids.toStringList().last(), QString());
        QCOMPARE(control->results().data.toStringList().last(), QString());
    }

    void progressShowsFirstAndLastIndex() {
        for (int i = 0; i < 3; ++i)
            CHECK_SQL(db.insert(QString::number(i), QStringLiteral("row %1").arg(i), QStringLiteral("x")));
        search(false, QStringLiteral("row"));
        QVERIFY(statuses.contains(QStringLiteral("正在读取数据:0")));
        const int last = statuses.indexOf(QStringLiteral("正在读取数据:2"));
        QVERIFY(last >= 0);
        QVERIFY(last < statuses.indexOf(QStringLiteral("loaded OK")));
        QVERIFY(statuses.contains(QStringLiteral("开始执行SQL...")));
        QVERIFY(statuses.contains(QStringLiteral("SQL 执行完成!")));
    }

    void connectionFailure_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void connectionFailure() {
        QFETCH(bool, titlesOnly);
        control->List1->addItem(QStringLiteral("earlier"));
        sharedSession().settings().server = QStringLiteral("127.0.0.1:1");
        search(titlesOnly, QStringLiteral("x"));
        if (titlesOnly) {
            QVERIFY2(statusText(*control).startsWith(QStringLiteral("连接数据库 错误:")),
                     qPrintable(statusText(*control)));
            QCOMPARE(control->List1->count(), 0);
            QVERIFY(boxes.shown.isEmpty());
        } else {
            QCOMPARE(boxes.shown.size(), 1);
            QVERIFY(boxes.lastText().startsWith(QStringLiteral("连接数据库出错:")));
            QVERIFY(boxes.lastText().size() > QStringLiteral("连接数据库出错:").size());
            QCOMPARE(listed(), QStringList{"earlier"});
        }
    }

    void nullFieldHidesNothing() {
        // Another tool may store NULLs: they read as empty text, and every row is listed.
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("t1"), QStringLiteral("x")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("t2"), QStringLiteral("x")));
        CHECK_SQL(db.insert(QStringLiteral("3"), QStringLiteral("t3"), QStringLiteral("x")));
        CHECK_SQL(db.exec(QStringLiteral("UPDATE SearchTxt_Data SET data=NULL WHERE dataid='2'")));
        search(false, QStringLiteral("t"));
        QCOMPARE(listed(), (QStringList{"t1", "t2", "t3"}));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(control->results().data.toStringList().mid(0, 3), (QStringList{"x", "", "x"}));
    }

    void arraysMirrorTheListedRows_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void arraysMirrorTheListedRows() {
        QFETCH(bool, titlesOnly);
        const int rows = 4;
        for (int i = 0; i < rows; ++i)
            CHECK_SQL(db.insert(QString::number(i + 1), QStringLiteral("t%1").arg(i),
                                QStringLiteral("d%1").arg(i)));
        search(titlesOnly, QStringLiteral("t"));
        // The arrays have N + 1 elements, the last empty.
        QStringList names, ids, data;
        for (int i = 0; i < rows; ++i) {
            names << QStringLiteral("t%1").arg(i);
            ids << QString::number(i + 1);
            data << (titlesOnly ? QStringLiteral("无内容") : QStringLiteral("d%1").arg(i));
        }
        QCOMPARE(listed(), names);
        QCOMPARE(control->results().names.toStringList(), names << QString());
        QCOMPARE(control->results().ids.toStringList(), ids << QString());
        QCOMPARE(control->results().data.toStringList(), data << QString());
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
    }

    void statementFailure_data() {
        // cause: "table missing" or "login cancelled"
        // told: what the status must name
        columns<bool, QString, QString, QString>("titlesOnly", "cause", "prefix", "told");
        for (const char* cause : {"table missing", "login cancelled"}) {
            const QString told = cause == QByteArray("table missing") ? QStringLiteral("doesn't exist")
                                                                      : QStringLiteral("登录已取消");
            QTest::addRow("titles, %s", cause) << true << cause << "uVornik.SearchFileName" << told;
            QTest::addRow("full text, %s", cause) << false << cause << "uVornik.SearchTxtData Error:" << told;
        }
    }
    void statementFailure() {
        QFETCH(bool, titlesOnly);
        QFETCH(QString, cause);
        QFETCH(QString, prefix);
        QFETCH(QString, told);
        FakeLoginPrompt cancelled;
        ScopedSeam promptSeam(mConnDatabase::setLoginPrompt, &cancelled);
        if (cause == u"login cancelled") {
            sharedSession().forget();
            sharedSession().connectionSlot()->Close();
        } else {
            CHECK_SQL(db.exec(QStringLiteral("DROP VIEW VW_SearchTxt_Name")));
            CHECK_SQL(db.exec(QStringLiteral("RENAME TABLE SearchTxt_Data TO SearchTxt_Gone")));
        }
        control->List1->addItem(QStringLiteral("earlier"));
        search(titlesOnly, QStringLiteral("x"));
        if (cause != u"login cancelled")
            CHECK_SQL(db.exec(QStringLiteral("RENAME TABLE SearchTxt_Gone TO SearchTxt_Data")));
        QVERIFY2(statusText(*control).startsWith(prefix), qPrintable(statusText(*control)));
        // The cause itself in both modes, not the closed recordset it left behind.
        QVERIFY2(statusText(*control).contains(told), qPrintable(statusText(*control)));
        QVERIFY(statuses.join(u'|').contains(QStringLiteral("SQL 出错：")));
        if (!titlesOnly) {
            QVERIFY(statusText(*control).endsWith(QStringLiteral("  ")));
            QCOMPARE(listed(), QStringList{"earlier"});
        }
    }

    void viewerStatementsPerClick_data() {
        columns<bool, int>("titlesOnly", "statementsPerClick");
        row("titles fetch by id", true, 1);
        row("full text holds the content", false, 0);
    }
    void viewerStatementsPerClick() {
        QFETCH(bool, titlesOnly);
        QFETCH(int, statementsPerClick);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("a"), QStringLiteral("first\r\nbody")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("b"), QStringLiteral("second")));
        search(titlesOnly, QString());
        const quint64 before = control->loader().statementsRun();
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        QCOMPARE(control->RTBox->toPlainText(), QStringLiteral("first\nbody"));
        control->List1->selectRow(1);
        QVERIFY(handlersDone());
        QCOMPARE(control->RTBox->toPlainText(), QStringLiteral("second"));
        QCOMPARE(control->loader().statementsRun() - before, quint64(2 * statementsPerClick));
    }

    void figuresLine_data() {
        columns<QString, QString>("body", "figures");
        row("multi-line", "ab\r\ncd\r\n中文",
            "共：0/1         总行数：2 行      字数：10字当前位置：1行:1列");
        row("one line", "hello", "共：0/1         总行数：0 行      字数：5字当前位置：1行:1列");
        row("empty", "", "共：0/1         总行数：-1 行      字数：0字当前位置：1行:1列");
    }
    void figuresLine() {
        QFETCH(QString, body);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("only"), body));
        search(true, QStringLiteral("only"));
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        QTEST(statusText(*control), "figures");
    }

    void notFoundIdIsReportedThenReplacedByFigures() {
        CHECK_SQL(db.exec(QStringLiteral(
            "CREATE OR REPLACE VIEW VW_SearchTxt_Name AS SELECT 'ghost' AS DataID, 'ghost title' AS name")));
        search(true, QString());
        QCOMPARE(listed(), QStringList{"ghost title"});
        statuses.clear();
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        QVERIFY(statuses.contains(
            QStringLiteral("searchtxt_data表中找不到相关ID的记录，可能name与data数据未同步！")));
        QCOMPARE(control->RTBox->toPlainText(), QStringLiteral("无内容"));
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("共：0/1")),
                 qPrintable(statusText(*control)));
    }

    void duplicateTitlesActOnTheSelectedRow_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void duplicateTitlesActOnTheSelectedRow() {
        // Two records with one title: what the viewer shows is what delete names.
        QFETCH(bool, titlesOnly);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("same"), QStringLiteral("one")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("same"), QStringLiteral("two")));
        search(titlesOnly, QStringLiteral("same"));
        const int row = control->results().ids.toStringList().indexOf(QStringLiteral("2"));
        control->List1->selectRow(row);
        QVERIFY(handlersDone());
        QCOMPARE(control->RTBox->toPlainText(), QStringLiteral("two"));
        QVERIFY(statusText(*control).startsWith(QStringLiteral("共：%1/2").arg(row)));
        boxes.answer = MessageBoxes::Answer::Cancel;
        control->Menu_Click(1);
        QVERIFY2(boxes.lastText().contains(QStringLiteral("ID:2")), qPrintable(boxes.lastText()));
        boxes.answer = MessageBoxes::Answer::Ok;
    }

    void caretPosition_data() {
        columns<int, int, int>("position", "line", "column");
        row("start", 0, 1, 1);
        row("line 3, four in", 16, 3, 5); // "line one\nl2\nabcdefg"
        row("end of line 1", 8, 1, 9);
    }
    void caretPosition() {
        QFETCH(int, position);
        control->RTBox->setPlainText(QStringLiteral("line one\nl2\nabcdefg"));
        QTextCursor c = control->RTBox->textCursor();
        c.setPosition(position);
        control->RTBox->setTextCursor(c);
        qint32 line = 0;
        qint32 column = 0;
        control->GetCaretPos(control->RTBox->winId(), line, column);
        QTEST(int(line), "line");
        QTEST(int(column), "column");
    }

    void rsOpenWithoutRowsReturnsAtOnce() {
        QString err;
        mConnDatabase::ConnectDatabase(err);
        QElapsedTimer t;
        t.start();
        QCOMPARE(control->RsOpen(QStringLiteral("delete from searchtxt_data where dataid='none'")),
                 QString());
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(statusText(*control), QStringLiteral("SQL 执行完成!"));
        QCOMPARE(control->Rs()->State(), Connection::kStateClosed);
    }

    void rsOpenErrorAndTimeout() {
        QString err;
        mConnDatabase::ConnectDatabase(err);
        const QString failed = control->RsOpen(QStringLiteral("selec oops"));
        QVERIFY(!failed.isEmpty());
        QCOMPARE(statusText(*control), QStringLiteral("SQL 出错：") + failed);

        // A statement that runs past the read time-out drops the connection and reopens it.
        // Watched through a guard: a new object may well be allocated at the old one's address.
        QPointer<Connection> old = sharedSession().connectionSlot().get();
        old->setReadTimeoutSeconds(1);
        QVERIFY(old->Open(sharedSession().connectionString()));
        statuses.clear();
        QCOMPARE(control->RsOpen(QStringLiteral("select sleep(3)")), QString());
        QVERIFY(!old);
        QVERIFY(sharedSession().connectionSlot());
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateOpen);
        QCOMPARE(control->Rs()->State(), Connection::kStateClosed);
        QVERIFY(!statuses.contains(QStringLiteral("SQL 执行完成!")));
    }

    void slowStatementKeepsWindowResponsive() {
        QString err;
        mConnDatabase::ConnectDatabase(err);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(20);
        QCOMPARE(control->RsOpen(QStringLiteral("select sleep(2)")), QString());
        QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
    }

    void newSearchSupersedesLoadingOne_data() {
        columns<bool>("duringStatement");
        row("while rows load", false);
        row("while the statement runs", true);
    }
    void newSearchSupersedesLoadingOne() {
        QFETCH(bool, duringStatement);
        CHECK_SQL(db.exec(QStringLiteral("START TRANSACTION")));
        for (int i = 0; i < 200; ++i)
            CHECK_SQL(db.insert(QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')),
                                QStringLiteral("old %1").arg(i), QStringLiteral("x")));
        CHECK_SQL(db.insert(QStringLiteral("9999"), QStringLiteral("new one"), QStringLiteral("x")));
        CHECK_SQL(db.exec(QStringLiteral("COMMIT")));
        if (duringStatement) // the first search's statement takes a while
            CHECK_SQL(db.exec(QStringLiteral(
                "CREATE OR REPLACE VIEW VW_SearchTxt_Name AS SELECT dataid AS DataID, name FROM "
                "SearchTxt_Data WHERE SLEEP(IF(name LIKE 'old%' AND dataid='0000', 0.5, 0)) = 0")));
        bool fired = false;
        QTimer::singleShot(duringStatement ? 100 : 0, this, [&] {
            fired = true;
            search(false, QStringLiteral("new"));
        });
        search(true, QStringLiteral("old"));
        QVERIFY(fired);
        QTRY_COMPARE(listed(), QStringList{"new one"});
        QCOMPARE(control->results().names.toStringList(), (QStringList{"new one", QString()}));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
    }

    void slowNameLookupKeepsWindowAndNewerSearchWins() {
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("old one"), QStringLiteral("x")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("new one"), QStringLiteral("x")));
        ScriptedLookup lookup;
        lookup.delayMs = 2000;
        ScopedSeam lookupSeam(setHostLookup, &lookup);
        // A server given by name, as users write it; every lookup takes 2 s.
        sharedSession().settings().server = QStringLiteral("db.vornik.invalid:") + testdb::port();
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(20);
        bool fired = false;
        QTimer::singleShot(300, this, [&] {
            fired = true;
            search(false, QStringLiteral("new"));
        });
        search(true, QStringLiteral("old"));
        QVERIFY(fired);
        QVERIFY(lookup.hosts().contains(QStringLiteral("db.vornik.invalid")));
        QCOMPARE(listed(), QStringList{"new one"});
        QCOMPARE(control->results().names.toStringList(), (QStringList{"new one", QString()}));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QVERIFY(boxes.shown.isEmpty());
        // At least one 2 s lookup went by with the window's timer still firing.
        QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
    }

    void closingTheWindowWhileAStatementRuns_data() {
        columns<QString, QString>("what", "finalStatus");
        row("RsOpen", "RsOpen", "SQL 出错：");
        row("title search", "titles", "uVornik.SearchFileName");
        row("full-text search", "full text", "uVornik.SearchTxtData Error:");
    }
    void closingTheWindowWhileAStatementRuns() {
        QFETCH(QString, what);
        QFETCH(QString, finalStatus);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("t1"), QStringLiteral("x")));
        QString err;
        mConnDatabase::ConnectDatabase(err);
        QVERIFY(err.isEmpty());
        control->List1->addItem(QStringLiteral("earlier"));
        // The statement waits for this lock until long after the window is gone.
        CHECK_SQL(db.exec(QStringLiteral("LOCK TABLES SearchTxt_Data WRITE")));
        std::optional<QString> returned;
        QTimer::singleShot(0, control.get(), [&] {
            if (what == QLatin1String("RsOpen"))
                returned = control->RsOpen(QStringLiteral("select * from SearchTxt_Data"));
            else { // the click alone: the search returns at its first wait
                control->ChkControl[0]->setChecked(what == QLatin1String("titles"));
                control->txtSearchKey->setText(QStringLiteral("t"));
                QTest::keyClick(control->txtSearchKey, Qt::Key_Return);
            }
            if (!returned)
                returned = QString();
        });
        QTimer::singleShot(300, control.get(), [&] { control->close(); }); // the last window: quits
        qApp->exec();
        CHECK_SQL(db.exec(QStringLiteral("UNLOCK TABLES")));
        QVERIFY(returned.has_value());
        if (what == QLatin1String("RsOpen"))
            QVERIFY(!returned->isEmpty());
        // Never reported as run, let alone loaded.
        QVERIFY(!statuses.contains(QStringLiteral("SQL 执行完成!")));
        QVERIFY(!statuses.contains(QStringLiteral("loaded OK")));
        QVERIFY2(statusText(*control).startsWith(finalStatus), qPrintable(statusText(*control)));
        if (what == QLatin1String("full text"))
            QCOMPARE(listed(), QStringList{"earlier"});
        // Closing the shared connection now returns at once, and a new search works.
        sharedSession().connectionSlot()->Close();
        control->show();
        search(true, QStringLiteral("t1"));
        QCOMPARE(listed(), QStringList{"t1"});
    }

    void cleanupTestCase() { sharedSession().connectionSlot().reset(); }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
