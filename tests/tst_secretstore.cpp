// A remembered login across a restart for a team account: the dialog, the settings file's bytes, the
// secret store (in memory, none, or GNOME Keyring through QtKeychain), re-login and cancel.
#include "Columns.h"
#include "ConnectShim.h"
#include "FakeLoginPrompt.h"
#include "FakeMessageBoxes.h"
#include "FakeSecretStore.h"
#include "Seams.h"
#include "TestDb.h"
#include "forms/FrmDataBaseLogin.h"
#include "util/Md5Digest.h"

#include <QDBusConnectionInterface>
#include <QtTest>
#include <QtWidgets>

class TestSecretStore : public QObject {
    Q_OBJECT

    // Notes, for each information box, whether the settings file was there when it was shown.
    struct Boxes : FakeMessageBoxes {
        QList<bool> fileThere;
        Co<> informationBox(QWidget*, QString, QString) override {
            fileThere << QFile::exists(mConnDatabase::userSettingsPath());
            co_return;
        }
    };

    QTemporaryDir config;
    FakeSecretStore memory;
    Boxes boxes;
    FakeLoginPrompt prompt; // cancels: a restart that asks has not remembered the login
    ScopedSeam<MessageBoxes> boxesSeam{setMessageBoxes, &boxes};
    ScopedSeam<mConnDatabase::LoginPrompt> promptSeam{mConnDatabase::setLoginPrompt, &prompt};
    QProcess bus, keyring; // the real store, when GNOME Keyring is installed

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        mConnDatabase::setSiteSettingsPath(config.filePath("site/vornik.ini"));
        QVERIFY2(testdb::asAdmin("CREATE OR REPLACE USER 'vornik_team2'@'%' IDENTIFIED BY 'secret2'; "
                                 "GRANT SELECT ON qelmorand.* TO 'vornik_team2'@'%'"),
                 "cannot create the account vornik_team2 as the server's administrator");
        if (QStandardPaths::findExecutable("gnome-keyring-daemon").isEmpty())
            return; // its rows skip
        // GNOME Keyring, unlocked, on a D-Bus session of its own, with its files in the test's folder: the
        // daemons inherit the environment.
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
            qputenv(name, config.path().toUtf8());
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY2(bus.waitForReadyRead(10000), "no D-Bus session for GNOME Keyring");
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
        keyring.start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
        keyring.write("keyring password"); // creates and unlocks the login keyring
        keyring.closeWriteChannel();
        // Asked sooner, the bus would start a keyring of its own, which would wait for a password.
        QDBusConnectionInterface* names = QDBusConnection::sessionBus().interface();
        QVERIFY2(QTest::qWaitFor(
                     [names] { return names->isServiceRegistered("org.freedesktop.secrets").value(); }),
                 "GNOME Keyring did not come up on the test's D-Bus session");
    }
    void cleanupTestCase() {
        testdb::asAdmin("DROP USER IF EXISTS 'vornik_team2'@'%'");
        // Only what was started is waited for: without gnome-keyring the daemons never ran.
        for (QProcess* p : {&keyring, &bus}) {
            p->terminate();
            QVERIFY(p->state() == QProcess::NotRunning || p->waitForFinished());
        }
    }

    void rememberedLogin_data() {
        // store: "memory", "none" (no store answers) or "keyring" (QtKeychain)
        // cancel: the dialog is cancelled rather than confirmed
        // relogin: the re-login command runs before the restart
        // edited: the file's dbPwd is then the digest of another password
        columns<QString, bool, bool, bool, bool, bool>("store", "cancel", "relogin", "edited", "warned",
                                                       "connects");
        row("remembered", "memory", false, false, false, false, true);
        row("no store: told, digest only", "none", false, false, false, true, false);
        row("re-login forgets", "memory", false, true, false, false, false);
        row("cancelled", "memory", true, false, false, false, false);
        // The kept "secret2" is not the file's password: the digest text is sent, never "secret2".
        row("file digest of another password", "memory", false, false, true, false, false);
        row("GNOME Keyring", "keyring", false, false, false, false, true);
        row("GNOME Keyring, re-login", "keyring", false, true, false, false, false);
    }
    void rememberedLogin() {
        QFETCH(QString, store);
        QFETCH(bool, cancel);
        QFETCH(bool, relogin);
        QFETCH(bool, edited);
        if (store == "keyring" && keyring.state() != QProcess::Running)
            QSKIP("gnome-keyring-daemon is not installed (package gnome-keyring): no Secret Service here");
        const QString settings = mConnDatabase::userSettingsPath();
        QFile::remove(settings);
        boxes.fileThere.clear();
        memory.answers = store != "none";
        ScopedSeam storeSeam(setSecretStore, store == "keyring" ? nullptr : &memory);
        FrmDataBaseLogin* dlg = FrmDataBaseLogin::instance();
        dlg->show();
        dlg->cbodbServerIP->setEditText(testdb::server());
        dlg->txtdbUse->setText("vornik_team2");
        QTest::keyClicks(dlg->txtdbPwd, "secret2");
        dlg->chkAutoLogin->setChecked(true);
        QTest::mouseClick(cancel ? dlg->cmdCancel : dlg->cmdOK, Qt::LeftButton);
        QTRY_VERIFY(!dlg->isVisible()); // OK closes it once the store has answered
        QCOMPARE(dlg->txtdbPwd->text().isEmpty() && dlg->dbPwd.isEmpty(), cancel);
        FrmDataBaseLogin::unload();
        // The same five lines whether or not a store answered: Windows clients share the file.
        QFile file(settings);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : "",
                 cancel ? ""
                        : "[main]\r\ndbServerIP = " + testdb::server().toLatin1() +
                              "\r\ndbName = qelmorand\r\ndbUse = vornik_team2\r\ndbPwd = " +
                              md5Digest("secret2", 32).value().toLatin1() + "\r\n");
        QTEST(boxes.fileThere == QList<bool>{false}, "warned"); // told before the file was written
        if (relogin) {
            QVERIFY2(mConnDatabase::forgetRememberedLogin(), "re-login left the password or the file");
            const auto left =
                *waitNested(secretStore().read(secretKey(testdb::server(), "qelmorand", "vornik_team2")));
            QVERIFY(left && !left.value() && !QFile::exists(settings));
        }
        if (edited) {
            file.close();
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("[main]\r\ndbServerIP = " + testdb::server().toLatin1() +
                       "\r\ndbName = qelmorand\r\ndbUse = vornik_team2\r\ndbPwd = " +
                       md5Digest("secret3", 32).value().toLatin1() + "\r\n");
            file.close();
        }
        QString err;
        sharedSession().forget(); // the restart
        sharedSession().connectionSlot().reset();
        QTEST(mConnDatabase::ConnectDatabase(err) == "True", "connects");
        QVERIFY2(err.isEmpty() || err.contains("Access denied"), qPrintable(err));
    }
};

QTEST_MAIN(TestSecretStore)
#include "tst_secretstore.moc"
