// ConnectDatabase against the real throwaway server: every outcome, the settings file, the reuse window.
#include "Columns.h"
#include "ConnectShim.h"
#include "FakeClock.h"
#include "Fixture.h"
#include "TestDb.h"
#include "database/ConnDatabase.h"
#include "forms/FrmDataBaseLogin.h"
#include "util/Gbk.h"
#include "util/Md5Digest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <QtWidgets>

namespace {

QString digest(const QString& s) {
    return md5Digest(s, 32).value();
}

} // namespace

class TestConnDatabase : public QObject, WithPrompt, WithConfig {
    Q_OBJECT

    FakeClock fakeClock;
    ScopedSeam<Clock> clockSeam{setAppClock, &fakeClock};

    QString settingsPath() const { return config.path() + QStringLiteral("/vornik/vornik.ini"); }

    void writeSettings(const QStringList& lines) {
        QDir().mkpath(config.path() + QStringLiteral("/vornik"));
        QFile f(settingsPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(toGbk(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")));
    }

    QString connect(QString& errorText) { return mConnDatabase::ConnectDatabase(errorText); }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        QVERIFY(useConfig());
        fakeClock.ms = 1'000'000;
        fakeClock.at = QDateTime(QDate(2026, 12, 7), QTime(10, 0, 0));
        installLoginDialog(); // as the control does; a test's own prompt stands in for it
    }

    void init() {
        sharedSession().forget();
        sharedSession().connectionSlot() = std::make_unique<Connection>();
        QFile::remove(settingsPath());
        prompt.asked = 0;
        prompt.answer.reset();
    }

    void builtinDigestsInFileAreReplacedByClearValues() {
        writeSettings({QStringLiteral("[main]"), QStringLiteral("dbServerIP = ") + testdb::server(),
                       QStringLiteral("dbName = qelmorand"),
                       QStringLiteral("dbUse = ") + digest(QStringLiteral("qelmorand")),
                       QStringLiteral("dbPwd = ") + digest(QStringLiteral("40628173"))});
        QString err;
        QCOMPARE(connect(err), QStringLiteral("True"));
        QCOMPARE(err, QString());
        QCOMPARE(sharedSession().settings().user, QStringLiteral("qelmorand"));
        QCOMPARE(sharedSession().settings().password, QStringLiteral("40628173"));
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateOpen);
        QCOMPARE(prompt.asked, 0);
    }

    void reuseBelowSixtySecondsReopenAtSixty() {
        sharedSession().settings().server = testdb::server();
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err, QStringLiteral("qelmorand"), QStringLiteral("40628173")),
                 QStringLiteral("True"));
        Connection* first = sharedSession().connectionSlot().get();
        fakeClock.advance(59'999);
        // Reuse touches nothing: not even changed settings are looked at.
        sharedSession().settings().password = QStringLiteral("changed");
        QCOMPARE(connect(err), QString());
        QCOMPARE(sharedSession().settings().password, QStringLiteral("changed"));
        sharedSession().settings().password = QStringLiteral("40628173");
        fakeClock.advance(1);
        QCOMPARE(connect(err), QStringLiteral("True"));
        QCOMPARE(sharedSession().connectionSlot().get(), first);
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateOpen);
    }

    void reuseSurvivesMidnight() {
        fakeClock.at = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 50));
        sharedSession().settings().server = testdb::server();
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err, QStringLiteral("qelmorand"), QStringLiteral("40628173")),
                 QStringLiteral("True"));
        fakeClock.advance(20'000); // 00:00:10 the next day: 20 s later, not 86380 s earlier
        QCOMPARE(connect(err), QString());
        fakeClock.advance(40'000);
        QCOMPARE(connect(err), QStringLiteral("True"));
    }

    void failuresEmptyTheAccount_data() {
        columns<QString, QString>("server", "password");
        row("wrong password", testdb::server(), "wrong");
        row("unreachable server", "127.0.0.1:1", "40628173");
        // Any other digest is sent as it stands, as the password text.
        row("digest of another password", testdb::server(), digest(QStringLiteral("other")));
    }
    void failuresEmptyTheAccount() {
        QFETCH(QString, server);
        QFETCH(QString, password);
        writeSettings({QStringLiteral("[main]"), QStringLiteral("dbServerIP = ") + server,
                       QStringLiteral("dbName = qelmorand"), QStringLiteral("dbUse = qelmorand"),
                       QStringLiteral("dbPwd = ") + password});
        QString err;
        const QString result = connect(err);
        QVERIFY(!err.isEmpty());
        QCOMPARE(result, err);
        QCOMPARE(sharedSession().settings().user, QString());
        QCOMPARE(sharedSession().settings().password, QString());
        QCOMPARE(sharedSession().settings().server, server); // kept until the next file read
        // The error path never leaves a half-open connection marked open.
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateClosed);
        // And the next call starts again from the settings file.
        QCOMPARE(connect(err), err);
    }

    void anotherDigestIsSentAsTheDigestText() {
        const QString other = digest(QStringLiteral("other"));
        writeSettings({QStringLiteral("[main]"), QStringLiteral("dbServerIP = h"),
                       QStringLiteral("dbName = n"), QStringLiteral("dbUse = u"),
                       QStringLiteral("dbPwd = ") + other});
        QString path;
        QCOMPARE(mConnDatabase::ReadIniValue(QStringLiteral("main"), QStringLiteral("dbPwd"), path), other);
        QCOMPARE(path, settingsPath());
        sharedSession().settings().user = QStringLiteral("u");
        sharedSession().settings().password = other;
        sharedSession().settings().server = QStringLiteral("h");
        sharedSession().settings().database = QStringLiteral("n");
        QCOMPARE(sharedSession().connectionString(),
                 QStringLiteral("DRIVER={MySQL ODBC 3.51 Driver};uid=u;pwd=") + other +
                     QStringLiteral(";server=h;database=n"));
    }

    void fileWithoutServerGivesEmptyServer() {
        writeSettings({QStringLiteral("[main]"), QStringLiteral("dbName = qelmorand"),
                       QStringLiteral("dbUse = qelmorand"), QStringLiteral("dbPwd = 40628173")});
        QString err;
        connect(err);
        // The fallback address set before the file was read does not survive the read.
        QCOMPARE(sharedSession().settings().server, QString());
    }

    // Without a per-user file the site-wide file is read; when that holds no account either (or does
    // not exist), the login dialog is asked, and its answer is what connects.
    void noFileFallsBackToSiteFileThenDialog_data() {
        // site: the site-wide file's lines; empty: no such file
        // confirm: whether the dialog is confirmed if it is asked
        // user: the account held afterwards
        columns<QStringList, bool, int, QString, QString>("site", "confirm", "asked", "result", "user");
        const QStringList account{QStringLiteral("[main]"),
                                  QStringLiteral("dbServerIP = ") + testdb::server(),
                                  QStringLiteral("dbName = qelmorand"),
                                  QStringLiteral("dbUse = ") + digest(QStringLiteral("qelmorand")),
                                  QStringLiteral("dbPwd = ") + digest(QStringLiteral("40628173"))};
        const QStringList noUser{QStringLiteral("[main]"), QStringLiteral("dbServerIP = ") + testdb::server(),
                                 QStringLiteral("dbName = qelmorand")};
        row("site file holds the account", account, false, 0, "True", "qelmorand");
        row("site file without user, confirmed", noUser, true, 1, "True", "qelmorand");
        row("site file without user, cancelled", noUser, false, 1, "False", "");
        row("no site file, confirmed", QStringList(), true, 1, "True", "qelmorand");
        row("no site file, cancelled", QStringList(), false, 1, "False", "");
    }
    void noFileFallsBackToSiteFileThenDialog() {
        QFETCH(QStringList, site);
        QFETCH(bool, confirm);
        const QString sitePath = mConnDatabase::siteSettingsPath();
        QVERIFY(!sitePath.startsWith(QStringLiteral("/etc/"))); // never the machine's own file
        QFile::remove(sitePath);
        if (!site.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(sitePath).absolutePath()));
            QFile f(sitePath);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(toGbk(site.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")));
        }
        QVERIFY(!QFile::exists(settingsPath()));
        if (confirm)
            prompt.answer =
                mConnDatabase::LoginValues{QStringLiteral("qelmorand"), QStringLiteral("40628173"),
                                           testdb::server(), QStringLiteral("qelmorand")};
        QString err;
        const QString result = connect(err);
        QFile::remove(sitePath);
        QTEST(prompt.asked, "asked");
        QTEST(result, "result");
        QCOMPARE(err, QString());
        QTEST(sharedSession().settings().user, "user");
        QCOMPARE(sharedSession().connectionSlot()->State() == Connection::kStateOpen,
                 result == QStringLiteral("True"));
        // Reading the site-wide file or asking never writes a per-user file.
        QVERIFY(!QFile::exists(settingsPath()));
    }

    void cancelledLoginReturnsFalseAndExplainsLaterFailure() {
        QString err;
        QCOMPARE(connect(err), QStringLiteral("False"));
        QCOMPARE(err, QString());
        QCOMPARE(prompt.asked, 1);
        const Status s = sharedSession().connectionSlot()->Execute(QStringLiteral("select 1"));
        QVERIFY(!s);
        QVERIFY2(s.error().description.contains(QStringLiteral("登录已取消")),
                 qPrintable(s.error().description));
    }

    void confirmedLoginConnects() {
        prompt.answer = mConnDatabase::LoginValues{QStringLiteral("qelmorand"), QStringLiteral("40628173"),
                                                   testdb::server(), QStringLiteral("qelmorand")};
        QString err;
        QCOMPARE(connect(err), QStringLiteral("True"));
        QCOMPARE(prompt.asked, 1);
        QCOMPARE(sharedSession().settings().server, testdb::server());
    }

    // A wrong password typed in the dialog asks again, with the server's reason; the next try logs in,
    // or a cancel leaves the first statement saying why nothing is connected.
    void wrongPasswordAskedAgain_data() {
        columns<bool>("retried");
        row("the right one next", true);
        row("cancelled then", false);
    }
    void wrongPasswordAskedAgain() {
        QFETCH(bool, retried);
        prompt.failures.clear();
        prompt.answer = mConnDatabase::LoginValues{QStringLiteral("qelmorand"), QStringLiteral("wrong"),
                                                   testdb::server(), QStringLiteral("qelmorand")};
        if (retried)
            prompt.retry = mConnDatabase::LoginValues{QStringLiteral("qelmorand"), QStringLiteral("40628173"),
                                                      testdb::server(), QStringLiteral("qelmorand")};
        QString err;
        QCOMPARE(connect(err), retried ? QStringLiteral("True") : QStringLiteral("False"));
        QCOMPARE(prompt.asked, 2);
        QCOMPARE(prompt.failures.size(), 1);
        QVERIFY2(prompt.failures.first().contains(QStringLiteral("Access denied")),
                 qPrintable(prompt.failures.first()));
        prompt.retry.reset();
        if (retried)
            return;
        const Status s = sharedSession().connectionSlot()->Execute(QStringLiteral("select 1"));
        QVERIFY2(s.description().contains(QStringLiteral("登录已取消")) &&
                     s.description().contains(prompt.failures.first()),
                 qPrintable(s.description()));
    }

    // The dialog itself, as a person meets it: after the wrong password it is back with what was
    // typed, the password box empty and focused, the reason shown.
    void wrongPasswordInTheDialog() {
        ScopedSeam realDialog(mConnDatabase::setLoginPrompt, nullptr);
        int shown = 0;
        QString reason, userKept, passwordLeft;
        bool passwordFocused = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, this, [&] {
            auto* dlg = qobject_cast<FrmDataBaseLogin*>(QApplication::activeModalWidget());
            if (!dlg || !dlg->isVisible())
                return;
            if (++shown == 2) {
                reason = dlg->lblFailure->isVisible() ? dlg->lblFailure->text() : QString();
                userKept = dlg->txtdbUse->text();
                passwordLeft = dlg->txtdbPwd->text();
                passwordFocused =
                    dlg->focusWidget() ==
                    dlg->txtdbPwd; // its own: the application's follows the platform's activation, later
            }
            dlg->cbodbServerIP->setEditText(testdb::server());
            dlg->txtdbUse->setText(QStringLiteral("qelmorand"));
            dlg->txtdbPwd->setText(shown == 1 ? QStringLiteral("wrong") : QStringLiteral("40628173"));
            dlg->cmdOK_Click();
        });
        poll.start(20);
        QString err;
        QCOMPARE(connect(err), QStringLiteral("True"));
        QCOMPARE(shown, 2);
        QVERIFY2(reason.startsWith(QStringLiteral("登录失败：")) &&
                     reason.contains(QStringLiteral("Access denied")),
                 qPrintable(reason));
        QCOMPARE(userKept, QStringLiteral("qelmorand"));
        QVERIFY(passwordLeft.isEmpty() && passwordFocused);
        QVERIFY(!FrmDataBaseLogin::loaded()); // let go of once the login went through
    }

    void argumentsOverrideHeldAccount() {
        sharedSession().settings().server = testdb::server();
        sharedSession().settings().user = QStringLiteral("nobody");
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err, QStringLiteral("qelmorand"), QStringLiteral("40628173")),
                 QStringLiteral("True"));
        QCOMPARE(prompt.asked, 0);
    }

    void specialCharactersAreBraceQuoted_data() {
        columns<QString, QString>("password", "written");
        row("semicolon", "a;b", "{a;b}");
        row("braces", "{x}", "{{x}}}");
        row("plain", "abc", "abc");
    }
    void specialCharactersAreBraceQuoted() {
        QFETCH(QString, password);
        QFETCH(QString, written);
        sharedSession().settings().user = QStringLiteral("u");
        sharedSession().settings().password = password;
        sharedSession().settings().server = QStringLiteral("s");
        sharedSession().settings().database = QStringLiteral("d");
        const QString cs = sharedSession().connectionString();
        QVERIFY2(cs.contains(QStringLiteral(";pwd=") + written + QStringLiteral(";server=")), qPrintable(cs));
        QCOMPARE(parseConnectionString(cs).password, password);
    }

    void cleanupTestCase() { sharedSession().connectionSlot().reset(); }
};

QTEST_MAIN(TestConnDatabase)
#include "tst_conndatabase.moc"
