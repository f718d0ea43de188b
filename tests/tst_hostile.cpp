// Hostile input at every entry point, against the real throwaway server: the search box (both modes,
// with and without NO_BACKSLASH_ESCAPES), the add and modify forms, the login dialog, the settings
// file and the callers of RsOpen. Every case checks that nothing crashed, that exactly the intended
// statements ran (the session's statement counters), that the table and a bystander table are intact,
// and that the text was stored and reads back exactly or the user was told why not.
#include "Columns.h"
#include "ConnectShim.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "control/uVornik.h"
#include "database/ConnDatabase.h"
#include "database/ConnectionString.h"
#include "forms/FormSupport.h"
#include "forms/FrmAdd.h"
#include "forms/FrmDataBaseLogin.h"
#include "forms/FrmModi.h"
#include "ui/LargeTextView.h"
#include "util/Gbk.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <algorithm>

namespace {

const QString kInjection = QStringLiteral("'; drop table SearchTxt_Data; --");
const QChar kNul = QChar(u'\0');

struct Seed {
    const char* id;
    QString name;
    QString data;
};

// What every case starts from. Bodies hold CR LF as the forms store them, plus a lone CR and a lone
// LF as another client might have stored them.
const QList<Seed>& seeds() {
    static const QList<Seed> s = {
        {"s01", QStringLiteral("it's here"), QStringLiteral("single quote")},
        {"s02", QStringLiteral("say \"hi\""), QStringLiteral("double quote")},
        {"s03", QStringLiteral("path C:\\dir\\x"), QStringLiteral("backslash in title")},
        {"s04", QStringLiteral("100% sure"), QStringLiteral("percent")},
        {"s05", QStringLiteral("snake_case"), QStringLiteral("underscore")},
        {"s06", QStringLiteral("备份数据库命令"), QStringLiteral("mysqldump\r\n恢复：mysql < x")},
        {"s07", QStringLiteral("emoji 😀"), QStringLiteral("party 🎉")},
        {"s08", QStringLiteral("tab\there"), QStringLiteral("a\tb")},
        {"s09", QStringLiteral("lines"), QStringLiteral("first\r\nsecond\rthird\nfourth")},
        {"s10", QStringLiteral("plain"), QStringLiteral("C:\\temp\\ and 'quoted' body")},
        {"s11", kInjection, QStringLiteral("stored injection text")},
        {"s12", QStringLiteral("nul"), QStringLiteral("a") + kNul + QStringLiteral("b")},
    };
    return s;
}

QStringList titlesOf(const QStringList& ids) {
    QStringList out;
    for (const Seed& s : seeds())
        if (ids.contains(QLatin1String(s.id)))
            out << s.name;
    std::sort(out.begin(), out.end());
    return out;
}

QStringList allIds() {
    QStringList out;
    for (const Seed& s : seeds())
        out << QLatin1String(s.id);
    return out;
}

// Lines of mixed Chinese and ASCII, each ended by LF, up to `bytes` bytes of UTF-8.
QString longBody(qsizetype bytes) {
    QString out;
    const QString line = QStringLiteral("正文 body 'q' \"d\" \\ % _ 中文内容 %1\n");
    for (int i = 0; out.toUtf8().size() < bytes; ++i) {
        QString chunk;
        for (int j = 0; j < 1000; ++j)
            chunk += line.arg(i * 1000 + j);
        out += chunk;
    }
    return out;
}

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestHostile : public QObject, WithBoxes, WithSecrets, WithPrompt, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_hostile")};
    QMap<QString, qint64> counters_;

    // The table, its row count and a bystander table are as expected.
    void intact(qint64 rows) {
        QCOMPARE(db.value(QStringLiteral("select count(*) from SearchTxt_Data")), QString::number(rows));
        QCOMPARE(db.query(QStringLiteral("select note from vornik_canary")),
                 QList<QStringList>{{"still here"}});
    }
    // The stored columns of a row; empty when the row is missing.
    QStringList stored(const QString& id) {
        return db.row(id, QStringLiteral("name,data,`desc`,`keys`,creator"));
    }

    // The statement counters of the shared connection's session.
    QMap<QString, qint64> sessionCounters() {
        QMap<QString, qint64> out;
        Recordset rs;
        if (Status s = rs.Open(QStringLiteral("SHOW SESSION STATUS WHERE Variable_name LIKE 'Com%'"),
                               sharedSession().connectionSlot().get());
            !s) {
            qWarning() << s.error().description;
            return out;
        }
        for (qint64 i = 0; i < rs.RecordCount(); ++i, rs.MoveNext())
            out.insert(rs.text(0).value().toLower(), rs.text(1).value().toLongLong());
        return out;
    }
    void snapshot() { counters_ = sessionCounters(); }
    // The statements run on the shared connection since the snapshot, as "begin=1 insert=1 ...".
    QString ran() {
        const QMap<QString, qint64> now = sessionCounters();
        QStringList out;
        for (auto it = now.begin(); it != now.end(); ++it) {
            // A prepared statement counts once, as its execution (and its kind: select, delete...).
            if (it.key() == u"com_show_status" || it.key() == u"com_stmt_prepare" ||
                it.key() == u"com_stmt_close")
                continue;
            const qint64 delta = it.value() - counters_.value(it.key());
            if (delta != 0)
                out << it.key().mid(4) + u'=' + QString::number(delta);
        }
        return out.join(u' ');
    }

    // A fresh shared connection to the test database; `noBackslashEscapes` and `strict` set its mode.
    void connectFresh(bool noBackslashEscapes = false, bool strict = true) {
        sharedSession().connectionSlot().reset();
        db.pointSettingsHere();
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err), QStringLiteral("True"));
        QString mode = strict ? QStringLiteral("@@sql_mode") : QStringLiteral("''");
        if (noBackslashEscapes)
            mode = QStringLiteral("CONCAT(%1, ',NO_BACKSLASH_ESCAPES')").arg(mode);
        QVERIFY(sharedSession().connectionSlot()->Execute(QStringLiteral("SET SESSION sql_mode=") + mode));
        // The connection follows the session's mode as the server reports it.
        QCOMPARE(sharedSession().connectionSlot()->noBackslashEscapes(), noBackslashEscapes);
    }

    // Puts `text` into a box the way a user brings in text they cannot type: through the clipboard.
    void paste(QWidget* box, const QString& text) {
        QGuiApplication::clipboard()->setText(text);
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }

private Q_SLOTS:
    void initTestCase() {
        START_DB();
        CHECK_SQL(db.exec(QStringLiteral("CREATE TABLE vornik_canary (note TEXT)")));
    }

    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM vornik_canary")));
        CHECK_SQL(db.exec(QStringLiteral("INSERT INTO vornik_canary VALUES ('still here')")));
        for (const Seed& s : seeds())
            CHECK_SQL(db.insert(QLatin1String(s.id), s.name, s.data));
        boxes.shown.clear();
        prompt.asked = 0;
        prompt.answer.reset();
        QFile::remove(mConnDatabase::userSettingsPath());
    }

    void cleanup() {
        FrmAdd::unload();
        FrmModi::unload();
        FrmDataBaseLogin::unload();
        flushDeletes();
        setGbkCodecName({});
    }

    void cleanupTestCase() {
        mConnDatabase::setSiteSettingsPath({});
        sharedSession().connectionSlot().reset();
    }

    // The search box: each key in both modes, on a default session and on one with
    // NO_BACKSLASH_ESCAPES; the same records are found either way.
    void searchBox_data() {
        // expected: titles, sorted
        columns<QString, bool, bool, QStringList>("key", "titlesOnly", "noBackslashEscapes", "expected");
        struct Key {
            const char* name;
            QString key;
            QStringList titleIds;
            QStringList fullTextIds;
        };
        const QString nul(kNul);
        const QList<Key> keys = {
            {"single quote", "'", {"s01", "s11"}, {"s01", "s10", "s11"}},
            {"two single quotes", "''", {}, {}},
            {"double quote", "\"", {"s02"}, {"s02"}},
            {"backslash", "\\", {"s03"}, {"s03", "s10"}},
            {"two backslashes", "\\\\", {}, {}},
            {"backslash in a path", "C:\\dir", {"s03"}, {"s03"}},
            {"backslash before a letter", "\\d", {"s03"}, {"s03"}},
            {"backslash before a quote", "\\'", {}, {}},
            {"backslash before %", "\\%", {"s03"}, {"s03", "s10"}},
            {"percent", "%", allIds(), allIds()},
            {"percent after text", "100%", {"s04"}, {"s04"}},
            {"underscore", "_", allIds(), allIds()},
            {"underscore inside", "snake_case", {"s05"}, {"s05"}},
            {"injection", kInjection, {"s11"}, {"s11"}},
            {"always true", "' or '1'='1", {}, {}},
            {"comment dashes", "--", {"s11"}, {"s11"}},
            {"CR", "\r", {}, {"s06", "s09"}},
            {"LF", "\n", {}, {"s06", "s09"}},
            {"CR LF", "\r\n", {}, {"s06", "s09"}},
            {"tab", "\t", {"s08"}, {"s08"}},
            {"NUL", nul, {}, {"s12"}},
            {"chinese", QStringLiteral("数据库"), {"s06"}, {"s06"}},
            {"emoji", QStringLiteral("😀"), {"s07"}, {"s07"}},
            {"32767 characters", QString(32767, u'x'), {}, {}},
        };
        for (const Key& k : keys)
            for (const bool titlesOnly : {true, false})
                for (const bool nbe : {false, true})
                    QTest::addRow("%s, %s%s", k.name, titlesOnly ? "titles" : "full text",
                                  nbe ? ", NO_BACKSLASH_ESCAPES" : "")
                        << k.key << titlesOnly << nbe << titlesOf(titlesOnly ? k.titleIds : k.fullTextIds);
    }
    void searchBox() {
        QFETCH(QString, key);
        QFETCH(bool, titlesOnly);
        QFETCH(bool, noBackslashEscapes);
        QFETCH(QStringList, expected);
        // The control starts with fresh shared objects: connect after it.
        uVornik control;
        control.resize(853, 437);
        control.show();
        connectFresh(noBackslashEscapes);
        control.ChkControl[0]->setChecked(titlesOnly);
        paste(control.txtSearchKey, key);
        QCOMPARE(control.txtSearchKey->text(), key);
        snapshot();
        QTest::keyClick(control.txtSearchKey, Qt::Key_Return);
        QVERIFY(handlersDone());
        QCOMPARE(statusText(control), QStringLiteral("loaded OK"));
        // One statement, the value bound to it.
        QCOMPARE(ran(), QStringLiteral("select=1 stmt_execute=1"));
        QStringList listed = listedTitles(control);
        std::sort(listed.begin(), listed.end());
        QCOMPARE(listed, expected);
        QVERIFY(boxes.shown.isEmpty());
        intact(seeds().size());
    }

    // The add form: title and body pasted in, then "增加".
    void addForm_data() {
        // storedBody: as stored; empty when the add must be refused
        // refusal: what the message names when refused
        columns<QString, QString, bool, QString, QString>("title", "body", "strict", "storedBody", "refusal");
        const QString nul(kNul);
        auto stored = [](const char* name, const QString& title, const QString& body, const QString& as) {
            row(name, title, body, true, as, QString());
        };
        stored("quotes", "it's \"q\" ''", "'\"'\"\n''", "'\"'\"\r\n''");
        stored("backslashes", "C:\\dir\\", "\\n \\0 \\\\ end\\", "\\n \\0 \\\\ end\\");
        stored("backslash before quotes", "\\'\\\"", "x\\'", "x\\'");
        stored("percent and underscore", "100%_x", "%_%", "%_%");
        stored("injection", kInjection, "x'); delete from searchtxt_data; --",
               "x'); delete from searchtxt_data; --");
        stored("CR in the title", "a\rb", "x", "x");
        stored("LF in the title", "a\nb", "x", "x");
        stored("CR LF in the title", "a\r\nb", "x", "x");
        stored("LF in the body", "t", "one\ntwo", "one\r\ntwo");
        stored("CR LF in the body", "t", "one\r\ntwo", "one\r\ntwo");
        stored("lone CR in the body", "t", "one\rtwo", "one\r\ntwo");
        stored("NUL", "a" + nul + "b", "c" + nul + "d", "c" + nul + "d");
        stored("tabs", "a\tb", "\tindented\n\t\tmore", "\tindented\r\n\t\tmore");
        stored("chinese", QStringLiteral("中文标题"), QStringLiteral("正文\n第二行"),
               QStringLiteral("正文\r\n第二行"));
        stored("emoji", QStringLiteral("😀 title"), QStringLiteral("🎉 body 👍🏽"),
               QStringLiteral("🎉 body 👍🏽"));
        stored("format placeholders", "%1 %2 %n {0}", "%s%s%s %1", "%s%s%s %1");
        stored("blanks only", "   ", "\n\n", "\r\n\r\n");
        stored("invisible characters", "\u00a0\u200b\ufeff", "x\u00a0\u200by", "x\u00a0\u200by");
        stored("blanks at both ends", "  t  ", "  b  ", "  b  ");
        const QString big = longBody(1 << 20);
        QString bigStored = big;
        bigStored.replace(u'\n', QStringLiteral("\r\n"));
        stored("1 MiB body", "big", big, bigStored);
        row("100 KB title", QString(100 * 1024, u't'), "x", true, QString(), "name");
        // A server that is not in strict mode cuts the value with a mere warning.
        row("100 KB title, lenient server", QString(100 * 1024, u't'), "x", false, QString(), "name");
    }
    void addForm() {
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(bool, strict);
        QFETCH(QString, storedBody);
        QFETCH(QString, refusal);
        connectFresh(false, strict);
        QPointer<FrmAdd> f = FrmAdd::instance();
        f->show();
        paste(f->txtTitle, title);
        paste(f->RtbData, body);
        QCOMPARE(f->txtTitle->text(), title);
        if (!storedBody.isEmpty())
            QCOMPARE(forms::toStoredText(forms::plainText(f->RtbData->document())), storedBody);
        snapshot();
        QTest::mouseClick(f->CmdAddNew, Qt::LeftButton);
        QVERIFY(handlersDone());
        const QString statements = ran();
        // The one insert, inside its transaction; a strict server refuses it outright, a lenient one
        // is caught by its warnings.
        QCOMPARE(statements,
                 !refusal.isEmpty()
                     ? (strict ? QStringLiteral("begin=1 insert=1 rollback=1 select=1 stmt_execute=1")
                               : QStringLiteral(
                                     "begin=1 insert=1 rollback=1 select=1 show_warnings=1 stmt_execute=1"))
                     : QStringLiteral("begin=1 commit=1 insert=1 select=1 show_warnings=1 stmt_execute=1"));
        QVERIFY(f);
        QCOMPARE(boxes.shown.size(), 1);
        if (refusal.isEmpty()) {
            QCOMPARE(boxes.lastText(), QStringLiteral("增加成功！"));
            QVERIFY(f->txtTitle->text().isEmpty());
            intact(seeds().size() + 1);
            const QList<QStringList> added =
                db.query(QStringLiteral("select dataid from SearchTxt_Data where dataid not like 's%'"));
            QCOMPARE(added.size(), 1);
            const QString id = added.first().first();
            QCOMPARE(stored(id), (QStringList{title, storedBody, "", "", ""}));
            // And it reads back into the modify form exactly as typed.
            QPointer<FrmModi> m = FrmModi::instance();
            QVERIFY(sync(m->setDataid(id)));
            QCOMPARE(m->txtTitle->text(), title);
            // A body too large for the box is shown whole in the view over it.
            const LargeTextView* large = LargeTextView::shownOver(m->RtbData);
            QTRY_VERIFY(!large || large->wrapped());
            QCOMPARE(forms::toStoredText(large ? large->text() : forms::plainText(m->RtbData->document())),
                     storedBody);
        } else {
            QCOMPARE(boxes.shown.first().kind, QStringLiteral("critical"));
            QVERIFY2(boxes.lastText().contains(refusal), qPrintable(boxes.lastText().left(300)));
            QCOMPARE(f->txtTitle->text(), title); // the user's text is kept
            QVERIFY(!sharedSession().connectionSlot()->inTransaction());
            intact(seeds().size());
        }
    }

    // The modify form: every editable box pasted into, on both session modes.
    void modifyForm_data() {
        // text: pasted into the title, keywords and remarks
        columns<QString, QString, bool, bool, bool>("text", "body", "noBackslashEscapes", "strict",
                                                    "refused");
        const QString nul(kNul);
        const QList<std::pair<const char*, QString>> texts = {
            {"quotes and backslashes", "C:\\dir\\ it's \"x\" \\' \\\""},
            {"trailing backslash", "x\\"},
            {"injection", kInjection},
            {"percent and underscore", "%_%\\_"},
            {"NUL", "a" + nul + "b"},
            {"tab", "a\tb"},
            {"chinese and emoji", QStringLiteral("中文 😀 👍🏽")},
            {"format placeholders", "%1 %2 {0} %s"},
        };
        for (const auto& [name, text] : texts)
            for (const bool nbe : {false, true})
                QTest::addRow("%s%s", name, nbe ? ", NO_BACKSLASH_ESCAPES" : "")
                    << text << text << nbe << true << false;
        row("1 MiB body", "t", longBody(1 << 20), false, true, false);
        const QString big(100 * 1024, u'm');
        row("100 KB title", big, "b", false, true, true);
        row("100 KB title, lenient server", big, "b", false, false, true);
    }
    void modifyForm() {
        QFETCH(QString, text);
        QFETCH(QString, body);
        QFETCH(bool, noBackslashEscapes);
        QFETCH(bool, strict);
        QFETCH(bool, refused);
        // The creator, shown read-only, is written back too: it must survive as it was.
        const QString creator = QStringLiteral("o'neil \\ \"x\" 张");
        CHECK_SQL(
            db.exec(QStringLiteral("UPDATE SearchTxt_Data SET creator=? WHERE dataid='s01'"), {creator}));
        const QStringList before = stored(QStringLiteral("s01"));
        connectFresh(noBackslashEscapes, strict);
        snapshot();
        QPointer<FrmModi> f = FrmModi::instance();
        QVERIFY(sync(f->setDataid(QStringLiteral("s01"))));
        f->show();
        paste(f->txtTitle, text);
        paste(f->TxtKeys, text);
        paste(f->TxtDesc, text);
        paste(f->RtbData, body);
        QCOMPARE(f->txtTitle->text(), text);
        QTest::mouseClick(f->CmdSave, Qt::LeftButton);
        QVERIFY(handlersDone());
        QCOMPARE(boxes.shown.size(), 1);
        if (!refused) {
            QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
            QCOMPARE(stored(QStringLiteral("s01")), (QStringList{text, forms::toStoredText(body),
                                                                 forms::toStoredText(text), text, creator}));
            QCOMPARE(
                ran(),
                QStringLiteral("begin=1 commit=1 delete=1 insert=1 select=2 show_warnings=1 stmt_execute=4"));
        } else {
            QCOMPARE(boxes.shown.first().kind, QStringLiteral("critical"));
            QVERIFY2(boxes.lastText().contains(QStringLiteral("name")),
                     qPrintable(boxes.lastText().left(300)));
            QCOMPARE(stored(QStringLiteral("s01")), before); // the delete was rolled back
            QVERIFY(f);
            QCOMPARE(f->txtTitle->text(), text);
            QCOMPARE(ran(),
                     strict ? QStringLiteral("begin=1 delete=1 insert=1 rollback=1 select=2 stmt_execute=4")
                            : QStringLiteral("begin=1 delete=1 insert=1 rollback=1 select=2 show_warnings=1 "
                                             "stmt_execute=4"));
        }
        intact(seeds().size());
    }

    // The login dialog's fields: what it hands back, and what the settings file reads back as.
    void loginFields_data() {
        // refused: kept open with a message: the file would not read back
        columns<QString, QString, QString, QString, bool, bool>("server", "database", "user", "password",
                                                                "autoLogin", "refused");
        const QString s = QStringLiteral("127.0.0.1");
        const QString d = QStringLiteral("qelmorand");
        const QString nul(kNul);
        row("quotes", s, d, "o'neil", "p'w\"d", true, false);
        row("ODBC delimiters", s, d, "a;b{c}=d", "x;y}", true, false);
        row("injection", s, kInjection, kInjection, kInjection, true, false);
        row("backslashes", "\\\\host\\", d, "dom\\user", "\\", true, false);
        row("percent and underscore", s, "%_%", "%_", "%", true, false);
        row("chinese", s, d, QStringLiteral("张三"), QStringLiteral("密码"), true, false);
        row("emoji user, remembered", s, d, QStringLiteral("😀"), "p", true, true);
        row("emoji user, not remembered", s, d, QStringLiteral("😀"), "p", false, false);
        row("emoji password", s, d, "u", QStringLiteral("😀"), true, false); // only its digest is kept
        row("blanks at the ends", s, d, " u ", "p", true, true);
        row("blanks at the ends, not remembered", s, d, " u ", "p", false, false);
        row("quoted user", s, d, "\"u\"", "p", true, true);
        row("inner tab", s, d, "a\tb", "p", true, false);
        row("CR LF in the user", s, d, "a\r\nb", "p", true, true);
        row("NUL in the user", s, d, "a" + nul + "b", "p", true, true);
        // Sent as it stands the user would be cut to "qelmorand" and log in.
        row("NUL in the user, not remembered", s, d, "qelmorand" + nul + "x", "40628173", false, false);
        row("10,000-character server", QString(10000, u's'), d, "u", "p", true, true);
        row("password over 32,767 bytes", s, d, "u", QString(20000, QChar(0x5bc6)), true, true);
        row("password over 32,767 bytes, not remembered", s, d, "u", QString(20000, QChar(0x5bc6)), false,
            false);
        row("password of 32,767 bytes", s, d, "u", QString(32767, u'a'), true, false);
        row("empty password", s, d, "u", "", true, false);
    }
    void loginFields() {
        QFETCH(QString, server);
        QFETCH(QString, database);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, autoLogin);
        QFETCH(bool, refused);
        QPointer<FrmDataBaseLogin> dlg = FrmDataBaseLogin::instance();
        dlg->show();
        paste(dlg->cbodbServerIP->lineEdit(), server);
        paste(dlg->TxtDbName, database);
        paste(dlg->txtdbUse, user);
        paste(dlg->txtdbPwd, password);
        QCOMPARE(dlg->txtdbPwd->text(), password);
        dlg->chkAutoLogin->setChecked(autoLogin);
        QTest::keyClick(dlg->txtdbPwd, Qt::Key_Return);
        QVERIFY(dlg);
        const QString path = mConnDatabase::userSettingsPath();
        if (refused) {
            QCOMPARE(boxes.shown.size(), 1);
            QCOMPARE(boxes.shown.first().kind, QStringLiteral("critical"));
            QVERIFY2(boxes.lastText().contains(QStringLiteral("本地免登录")), qPrintable(boxes.lastText()));
            QVERIFY(!dlg->ifCmdOkClick);
            QVERIFY(dlg->isVisible());
            QVERIFY(!QFile::exists(path));
            return;
        }
        QVERIFY2(boxes.shown.isEmpty(), qPrintable(boxes.lastText()));
        QVERIFY(dlg->ifCmdOkClick);
        QCOMPARE(dlg->dbServerIP, server);
        QCOMPARE(dlg->dbName, database);
        QCOMPARE(dlg->dbUse, user);
        QCOMPARE(dlg->dbPwd, password);
        QCOMPARE(QFile::exists(path), autoLogin);
        if (autoLogin) {
            QString file;
            QCOMPARE(mConnDatabase::ReadIniValue("main", "dbServerIP", file), server);
            QCOMPARE(mConnDatabase::ReadIniValue("main", "dbName", file), database);
            QCOMPARE(mConnDatabase::ReadIniValue("main", "dbUse", file), user);
            QCOMPARE(mConnDatabase::ReadIniValue("main", "dbPwd", file), md5Digest(password, 32).value());
        }
        // The values reach the connection string intact, and a wrong account is a clear failure.
        sharedSession().forget();
        sharedSession().settings().user = user;
        sharedSession().settings().password = password;
        sharedSession().settings().server = testdb::server();
        sharedSession().settings().database = database;
        const ConnectionParams p = parseConnectionString(sharedSession().connectionString());
        QCOMPARE(p.user, user);
        QCOMPARE(p.password, password);
        QCOMPARE(p.database, database);
        sharedSession().connectionSlot().reset();
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err), err);
        QVERIFY(!err.isEmpty());
        if (user.contains(kNul))
            QVERIFY2(err.contains(QStringLiteral("NUL")), qPrintable(err));
        QCOMPARE(prompt.asked, 0);
        intact(seeds().size());
    }

    // The settings file's contents, read when no account is held.
    void settingsFile_data() {
        // values: dbServerIP, dbName, dbUse, dbPwd as read
        // outcome: "True", "prompt" or "fails"
        columns<QByteArray, QStringList, QString>("content", "values", "outcome");
        const QString server = testdb::server();
        const QStringList good = {server, "qelmorand", "qelmorand", "40628173"};
        const QStringList none = {"", "", "", ""};
        auto lines = [](const QStringList& v, const QString& end) {
            return QStringLiteral("[main]") + end + "dbServerIP = " + v[0] + end + "dbName = " + v[1] + end +
                   "dbUse = " + v[2] + end + "dbPwd = " + v[3] + end;
        };
        auto row = [](const char* name, const QByteArray& content, const QStringList& values,
                      const char* outcome) { ::row(name, content, values, QString(outcome)); };
        const QString nul(kNul);

        row("empty", {}, none, "prompt");
        row("CR LF", toGbk(lines(good, "\r\n")), good, "True");
        row("CR only", toGbk(lines(good, "\r")), good, "True");
        row("LF only", toGbk(lines(good, "\n")), good, "True");
        row("mixed line ends",
            toGbk("[main]\r" + QStringLiteral("dbServerIP = ") + server +
                  "\ndbName = qelmorand\r\ndbUse = "
                  "qelmorand\n\rdbPwd = 40628173"),
            good, "True");
        row("only CRs", "\r\r\r\r", none, "prompt");
        row("without section", toGbk(lines(good, "\r\n").mid(8)), none, "prompt");
        row("unterminated section", toGbk(lines(good, "\r\n").replace("[main]", "[main")), none, "prompt");
        QByteArray garbage;
        QRandomGenerator random(20261207);
        for (int i = 0; i < 4096; ++i)
            garbage += char(random.bounded(256));
        garbage.replace('[', 'x'); // no accidental section header
        row("binary garbage", garbage, none, "prompt");
        row("garbage before a valid file",
            garbage.replace('\r', 'x').replace('\n', 'x') + "\r\n" + toGbk(lines(good, "\r\n")), good,
            "True");
        row("duplicate keys, first good", toGbk(lines(good, "\r\n") + "dbUse = nobody\r\n"), good, "True");
        row("duplicate keys, first bad",
            toGbk(lines(good, "\r\n").replace("dbUse = qelmorand", "dbUse = nobody\r\ndbUse = qelmorand")),
            QStringList{server, "qelmorand", "nobody", "40628173"}, "fails");
        row("duplicate sections", toGbk(lines(good, "\r\n") + lines(none, "\r\n")), good, "True");
        row("second section of the name not read",
            toGbk("[main]\r\nx = 1\r\n[other]\r\n" + lines(good, "\r\n")), none, "prompt");
        row("10,000-character line before", toGbk("; " + QString(10000, u'c') + "\r\n" + lines(good, "\r\n")),
            good, "True");
        row("10,000-character key", toGbk(lines(good, "\r\n") + QString(10000, u'k') + " = 1\r\n"), good,
            "True");
        row("10,000-character value",
            toGbk(lines({server, QString(10000, u'd'), "qelmorand", "40628173"}, "\r\n")),
            QStringList{server, QString(254, u'd'), "qelmorand", "40628173"}, "fails");
        row("chinese user, GBK", toGbk(lines({server, "qelmorand", "张三", "p"}, "\r\n")),
            QStringList{server, "qelmorand", "张三", "p"}, "fails");
        row("chinese user, UTF-8 without mark", lines({server, "qelmorand", "张三", "p"}, "\r\n").toUtf8(),
            QStringList{server, "qelmorand", fromGbk(QStringLiteral("张三").toUtf8()), "p"}, "fails");
        row("emoji user, UTF-8 with mark",
            "\xef\xbb\xbf" + lines({server, "qelmorand", QStringLiteral("😀"), "p"}, "\r\n").toUtf8(),
            QStringList{server, "qelmorand", QStringLiteral("😀"), "p"}, "fails");
        row("UTF-8 with mark", "\xef\xbb\xbf" + lines(good, "\r\n").toUtf8(), good, "True");
        {
            QStringEncoder utf16(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
            row("UTF-16 with mark", utf16.encode(lines(good, "\r\n")), good, "True");
        }
        row("NUL inside a value",
            toGbk(lines({server, "qelmorand", "qelmorand" + nul + "junk", "40628173"}, "\r\n")), good,
            "True");
        row("quoted values", toGbk(lines({server, "'qelmorand'", "\"qelmorand\"", "\"40628173\""}, "\r\n")),
            good, "True");
        const QStringList digests = {server, "qelmorand", md5Digest("qelmorand", 32).value(),
                                     md5Digest("40628173", 32).value()};
        row("digests of the built-in account, CR only", toGbk(lines(digests, "\r")), digests, "True");
        row("injection in values", toGbk(lines({server, kInjection, kInjection, kInjection}, "\r\n")),
            QStringList{server, kInjection, kInjection, kInjection}, "fails");
        QByteArray huge;
        for (int i = 0; i < 50000; ++i)
            huge += "; comment line number " + QByteArray::number(i) + "\r\n";
        row("5 MB of comments before", huge + toGbk(lines(good, "\r\n")), good, "True");
    }
    void settingsFile() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, values);
        QFETCH(QString, outcome);
        const QString path = mConnDatabase::userSettingsPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(content), content.size());
        f.close();
        QString file;
        const char* keys[] = {"dbServerIP", "dbName", "dbUse", "dbPwd"};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(mConnDatabase::ReadIniValue("main", keys[i], file), values[i]);

        sharedSession().forget();
        sharedSession().connectionSlot().reset();
        QString err;
        const QString result = mConnDatabase::ConnectDatabase(err);
        if (outcome == u"prompt") {
            QCOMPARE(prompt.asked, 1);
            QCOMPARE(result, QStringLiteral("False"));
        } else if (outcome == u"True") {
            QCOMPARE(result, QStringLiteral("True"));
            QCOMPARE(err, QString());
            QCOMPARE(prompt.asked, 0);
        } else {
            QCOMPARE(prompt.asked, 0);
            QVERIFY(!err.isEmpty());
            QCOMPARE(result, err);
        }
        intact(seeds().size());
    }

    // Everything that runs a statement through RsOpen: the statement runner itself, the viewer
    // (an id from the result arrays) and the modify form's load (an id from the opener).
    void rsOpenCallers_data() {
        // caller: "RsOpen", "viewer" or "modify"
        // input: statement or record id
        columns<QString, QString, bool>("caller", "input", "noBackslashEscapes");
        // A statement: "error", "no rows" or the value of its column x; an id: the record's body or "<none>".
        columns<QString, QString>("expected", "ran");
        const QString nul(kNul);
        auto statement = [](const char* name, const QString& sql, const QString& expected, const char* ran) {
            row(name, "RsOpen", sql, false, expected, QString(ran));
        };
        statement("two statements", "select 1 as x; drop table SearchTxt_Data", "error", "");
        statement("comment hiding a quote", "select 'a' as x -- '", "a", "select=1");
        statement("unterminated quote", "select 'a as x", "error", "");
        statement("empty", "", "error", "");
        statement("only a comment", "-- drop table SearchTxt_Data", "no rows", "empty_query=1");
        statement("NUL inside a literal", "select 'a" + nul + "b' as x", "a" + nul + "b", "select=1");
        statement("CR, LF and tabs between words", "select\r\n'a'\tas\rx", "a", "select=1");
        statement("block comment", "/* drop table SearchTxt_Data */ select 'v' as x", "v", "select=1");
        statement("into a server file", "select 1 as x into outfile '/tmp/vornik-hostile'", "error",
                  "select=1");
        const QString mib(1 << 20, u'm');
        statement("1 MiB literal", "select '" + mib + "' as x", mib, "select=1");

        const QList<std::pair<const char*, QString>> ids = {
            {"quote", "h'1"},    {"backslash", "h\\2"},          {"double quote", "h\"3"},
            {"CR LF", "h\r\n4"}, {"NUL", "h" + nul + "5"},       {"chinese", QStringLiteral("中文6")},
            {"percent", "h%"},   {"always true", "' or '1'='1"}, {"injection", "'; drop table t; --"},
        };
        for (const char* caller : {"viewer", "modify"})
            for (const auto& [name, id] : ids)
                for (const bool nbe : {false, true}) {
                    const bool present = !id.startsWith(u'\'');
                    QTest::addRow("%s, %s%s", caller, name, nbe ? ", NO_BACKSLASH_ESCAPES" : "")
                        << caller << id << nbe << (present ? "body of " + id : "<none>")
                        << QStringLiteral("select=1 stmt_execute=1");
                }
    }
    void rsOpenCallers() {
        QFETCH(QString, caller);
        QFETCH(QString, input);
        QFETCH(bool, noBackslashEscapes);
        QFETCH(QString, expected);
        QFETCH(QString, ran);
        // Records whose ids are hostile themselves; "h%" must not match the others by pattern.
        qint64 rows = seeds().size();
        for (const QString& id :
             QStringList{"h'1", "h\\2", "h\"3", "h\r\n4", QStringLiteral("h") + kNul + "5",
                         QStringLiteral("中文6"), QStringLiteral("h%")}) {
            CHECK_SQL(db.insert(id, "title of " + id, "body of " + id));
            ++rows;
        }
        uVornik control;
        control.show();
        connectFresh(noBackslashEscapes);
        if (caller == u"RsOpen") {
            snapshot();
            const QString error = control.RsOpen(input);
            if (expected == u"error") {
                QVERIFY(!error.isEmpty());
                QCOMPARE(statusText(control), QStringLiteral("SQL 出错：") + error);
            } else if (expected == u"no rows") {
                QCOMPARE(error, QString());
                QCOMPARE(control.Rs()->State(), Connection::kStateClosed);
            } else {
                QCOMPARE(error, QString());
                QCOMPARE(control.Rs()->State(), Connection::kStateOpen);
                QCOMPARE(control.Rs()->text(QStringLiteral("x")).value(), expected);
            }
        } else if (caller == u"viewer") {
            // The row a search would have listed for this id.
            control.results().names = TextColumn(QStringList{"the title", QString()});
            control.results().ids = TextColumn(QStringList{input, QString()});
            control.results().data = TextColumn(QStringList{ResultSet::kNoContent, QString()});
            control.List1->clear();
            control.List1->addItem(QStringLiteral("the title"));
            snapshot();
            control.List1->selectRow(0);
            QVERIFY(handlersDone());
            QCOMPARE(forms::toStoredText(control.RTBox->toPlainText()),
                     expected == u"<none>" ? ResultSet::kNoContent : expected);
            QVERIFY2(statusText(control).startsWith(QStringLiteral("共：0/1")),
                     qPrintable(statusText(control)));
        } else {
            snapshot();
            QPointer<FrmModi> f = FrmModi::instance();
            const bool found = sync(f->setDataid(input));
            QCOMPARE(found, expected != u"<none>");
            if (found) {
                QCOMPARE(f->TxtDataid->text(), input);
                QCOMPARE(forms::toStoredText(forms::plainText(f->RtbData->document())), expected);
            } else {
                QCOMPARE(boxes.lastText(), QStringLiteral("未找到 相关信息！Error:"));
            }
        }
        QCOMPARE(this->ran(), ran);
        intact(rows);
    }
};

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
