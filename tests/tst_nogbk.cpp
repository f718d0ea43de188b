// A Qt built without ICU has no GBK converter. The host must keep running and say what cannot be done:
// the settings file and the digest need GBK only for text that is not plain ASCII, the search never.
#include "Columns.h"
#include "ConnectShim.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "control/uVornik.h"
#include "database/ConnDatabase.h"
#include "forms/FrmDataBaseLogin.h"
#include "util/Gbk.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"
#include "util/ModulePath.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

class TestNoGbk : public QObject, WithBoxes, WithDesktop, WithPrompt, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_nogbk")};
    // Made with the converter present, before it is taken away.
    QString builtinUserDigest;
    QString builtinPasswordDigest;
    QByteArray chineseSettings;

    void writeSettings(const QByteArray& bytes) {
        const QString path = mConnDatabase::userSettingsPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray asciiSettings() const {
        return "[main]\r\ndbServerIP = " + testdb::server().toLatin1() +
               "\r\ndbName = " + db.name().toLatin1() + "\r\ndbUse = " + builtinUserDigest.toLatin1() +
               "\r\ndbPwd = " + builtinPasswordDigest.toLatin1() + "\r\n";
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(useConfig());
        setModuleFilePath(config.path() + QStringLiteral("/lib/Vornik.so"));
        QVERIFY(gbkAvailable());
        builtinUserDigest = md5Digest(mConnDatabase::kBuiltinUser, 32).value();
        builtinPasswordDigest = md5Digest(mConnDatabase::kBuiltinPassword, 32).value();
        chineseSettings =
            toGbk(QStringLiteral("[main]\r\ndbServerIP = 127.0.0.1\r\ndbName = 资料\r\ndbUse = 张三\r\n"
                                 "dbPwd = x\r\n"));
        setGbkCodecName("no-such-converter");
        QVERIFY(!gbkAvailable());
        if (testdb::port().isEmpty())
            return; // the database tests say so themselves
        QVERIFY(db.create());
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("中文标题"), QStringLiteral("正文")));
        CHECK_SQL(
            db.insert(QStringLiteral("2"), QStringLiteral("plain title"), QStringLiteral("plain body")));
    }
    void init() {
        boxes.shown.clear();
        prompt.asked = 0;
        QFile::remove(mConnDatabase::userSettingsPath());
        sharedSession().forget();
        sharedSession().connectionSlot().reset();
    }
    void cleanup() { FrmDataBaseLogin::unload(); }
    void cleanupTestCase() {
        setGbkCodecName({});
        setModuleFilePath({});
        mConnDatabase::setSiteSettingsPath({});
        sharedSession().connectionSlot().reset();
    }

    // ASCII has the same bytes in GBK: digests and plain settings files work as before.
    void asciiStillWorks() {
        QCOMPARE(md5Digest(mConnDatabase::kBuiltinUser, 32).value_or(QString()), builtinUserDigest);
        QCOMPARE(toGbk(QStringLiteral("abc")), QByteArray("abc"));
        QCOMPARE(fromGbk("abc"), QStringLiteral("abc"));
        QCOMPARE(
            readProfileStringFromBytes("[main]\r\ndbUse = u\r\n", "main", "dbUse").value_or("(unreadable)"),
            QStringLiteral("u"));
    }

    void nonAsciiIsReportedNotGuessed_data() {
        columns<QString>("what");
        row("digest", "digest");
        row("settings bytes", "settings bytes");
        row("settings file", "settings file");
    }
    void nonAsciiIsReportedNotGuessed() {
        QFETCH(QString, what);
        Status failed;
        if (what == u"digest") {
            failed = md5Digest(QStringLiteral("密码"), 32).status();
        } else if (what == u"settings bytes") {
            failed = tryToGbk(QStringLiteral("张三")).status();
            QCOMPARE(toGbk(QStringLiteral("张😀a")), QByteArray("??a")); // never a crash
        } else {
            failed = readProfileStringFromBytes(chineseSettings, "main", "dbServerIP").status();
        }
        QVERIFY(!failed);
        QVERIFY2(failed.description().contains(QStringLiteral("GBK")), qPrintable(failed.description()));
    }

    // The settings file is read at the first search, which used to end the whole program.
    void chineseSettingsFileIsReported() {
        writeSettings(chineseSettings);
        QString err;
        const QString result = mConnDatabase::ConnectDatabase(err);
        QVERIFY2(err.contains(QStringLiteral("GBK")) && err.contains(QStringLiteral("vornik.ini")),
                 qPrintable(err));
        QCOMPARE(result, err);
        QCOMPARE(prompt.asked, 0);
        QCOMPARE(sharedSession().settings().user, QString());
    }

    void asciiSettingsFileConnects() {
        REQUIRE_DB();
        writeSettings(asciiSettings());
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err), QStringLiteral("True"));
        QCOMPARE(sharedSession().settings().user, mConnDatabase::kBuiltinUser);
    }

    void loginDialog_data() {
        columns<QString, bool>("user", "saved");
        row("ascii user", "qelmorand", true);
        row("chinese user", QStringLiteral("张三"), false);
    }
    void loginDialog() {
        QFETCH(QString, user);
        QFETCH(bool, saved);
        FrmDataBaseLogin* dlg = FrmDataBaseLogin::instance();
        dlg->show();
        dlg->txtdbUse->setText(user);
        dlg->txtdbPwd->setText(QStringLiteral("40628173"));
        dlg->chkAutoLogin->setChecked(true);
        dlg->cmdOK_Click();
        QCOMPARE(QFile::exists(mConnDatabase::userSettingsPath()), saved);
        QCOMPARE(dlg->ifCmdOkClick, saved);
        if (saved) {
            QVERIFY(boxes.shown.isEmpty());
            QString path;
            QCOMPARE(mConnDatabase::ReadIniValue("main", "dbPwd", path), builtinPasswordDigest);
        } else {
            QCOMPARE(boxes.shown.size(), 1);
            QVERIFY2(boxes.lastText().contains(QStringLiteral("GBK")), qPrintable(boxes.lastText()));
            QVERIFY(dlg->isVisible()); // the user can untick "本地免登录" and go on
        }
    }

    // The search sends UTF-8 to the server and needs no GBK at all.
    void searchNeedsNoGbk() {
        REQUIRE_DB();
        writeSettings(asciiSettings());
        uVornik control;
        control.show();
        control.txtSearchKey->setText(QStringLiteral("中文"));
        QTest::keyClick(control.txtSearchKey, Qt::Key_Return);
        QVERIFY(handlersDone());
        QCOMPARE(statusText(control), QStringLiteral("loaded OK"));
        QCOMPARE(control.List1->count(), 1);
        QCOMPARE(control.List1->text(0), QStringLiteral("中文标题"));
    }

    // The exports are GBK files: Chinese ones are reported as not written, ASCII ones still are.
    void exports_data() {
        columns<QString, bool>("key", "written");
        row("chinese", QStringLiteral("标题"), false);
        row("ascii", QStringLiteral("plain"), true);
    }
    void exports() {
        REQUIRE_DB();
        QFETCH(QString, key);
        QFETCH(bool, written);
        QDir(config.path() + QStringLiteral("/lib")).removeRecursively();
        QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/lib")));
        writeSettings(asciiSettings());
        uVornik control;
        control.show();
        search(control, false, key);
        QVERIFY2(control.List1->count() == 1, qPrintable(statusText(control)));

        control.ExportTitles();
        QVERIFY(handlersDone());
        const QString titles = statusText(control);
        QCOMPARE(QFile::exists(RecordCommands::titlesFilePath()), written);
        control.ExportAll();
        QVERIFY(handlersDone());
        const QString all = statusText(control);
        QCOMPARE(QDir(RecordCommands::exportFolderPath()).entryList(QDir::Files).size(), written ? 1 : 0);
        if (written) {
            QCOMPARE(titles, QStringLiteral("导出文件名 完毕！"));
            QCOMPARE(all, QStringLiteral("导出所有TXT 完毕！写入 1 个，跳过 0 个，失败 0 个。"));
        } else {
            QVERIFY2(titles.startsWith(QStringLiteral("导出文件名 失败")) &&
                         titles.contains(QStringLiteral("GBK")),
                     qPrintable(titles));
            QVERIFY2(all.contains(QStringLiteral("失败 1 个")) && all.contains(QStringLiteral("GBK")),
                     qPrintable(all));
        }
    }
};

QTEST_MAIN(TestNoGbk)
#include "tst_nogbk.moc"
