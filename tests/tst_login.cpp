// The login dialog driven by keys: what it hands back and the exact bytes of the settings file.
#include "Columns.h"
#include "Fixture.h"
#include "database/ConnDatabase.h"
#include "forms/FrmDataBaseLogin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#ifndef VORNIK_FIXTURES
#error "VORNIK_FIXTURES must name the tests' data folder"
#endif

class TestLogin : public QObject, WithBoxes, WithSecrets, WithConfig {
    Q_OBJECT

    QPointer<FrmDataBaseLogin> dlg;

    QString settingsPath() const { return mConnDatabase::userSettingsPath(); }
    QByteArray readSettings() const {
        QFile f(settingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void typeInto(QWidget* w, const QString& text) {
        if (auto* e = qobject_cast<QLineEdit*>(w))
            e->clear();
        // keyClicks only knows Latin-1; Chinese characters go in as key events carrying their text.
        for (const QChar ch : text)
            QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
    void fill(const QString& user, const QString& password, bool autoLogin) {
        dlg->txtdbUse->setFocus();
        typeInto(dlg->txtdbUse, user);
        typeInto(dlg->txtdbPwd, password);
        if (dlg->chkAutoLogin->isChecked() != autoLogin) {
            dlg->chkAutoLogin->setFocus();
            QTest::keyClick(dlg->chkAutoLogin, Qt::Key_Space);
        }
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(useConfig()); }
    void init() {
        QFile::remove(settingsPath());
        boxes.shown.clear();
        FrmDataBaseLogin::unload();
        dlg = FrmDataBaseLogin::instance();
        dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg));
    }
    void cleanup() { FrmDataBaseLogin::unload(); }

    void designState() {
        QCOMPARE(dlg->windowTitle(), QStringLiteral("数据库登录"));
        QCOMPARE(dlg->size(), QSize(4845 / 15, 2400 / 15));
        QCOMPARE(dlg->cbodbServerIP->count(), 2);
        QCOMPARE(dlg->cbodbServerIP->itemText(0), QStringLiteral("127.0.0.1"));
        QCOMPARE(dlg->cbodbServerIP->itemText(1), QStringLiteral("localhost"));
        QCOMPARE(dlg->cbodbServerIP->currentText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(dlg->TxtDbName->text(), QStringLiteral("qelmorand"));
        QCOMPARE(dlg->txtdbUse->text(), QStringLiteral("qelmorand"));
        QCOMPARE(dlg->txtdbPwd->echoMode(), QLineEdit::Password);
        QVERIFY(!dlg->chkAutoLogin->isChecked());
        QVERIFY(!dlg->ifCmdOkClick);
        QCOMPARE(QApplication::focusWidget(), dlg->txtdbPwd);
        QCOMPARE(dlg->lblLabels[0]->geometry(), QRect(105 / 15, 885 / 15, 1320 / 15, 270 / 15));
        QCOMPARE(dlg->cmdOK->geometry(), QRect(2040 / 15, 1740 / 15, 1140 / 15, 390 / 15));
    }

    void tabOrder() {
        const QList<QWidget*> expected{dlg->cbodbServerIP, dlg->TxtDbName, dlg->txtdbUse, dlg->txtdbPwd,
                                       dlg->chkAutoLogin,  dlg->cmdOK,     dlg->cmdCancel};
        dlg->cbodbServerIP->setFocus();
        for (int i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* f = QApplication::focusWidget();
            // An editable combo box gives the focus to its line edit.
            QVERIFY2(f == expected[i] || f->parentWidget() == expected[i], qPrintable(f->objectName()));
        }
    }

    void accessKeysMoveFocus_data() {
        columns<int, QString>("key", "target");
        row("Alt+U", int(Qt::Key_U), "txtdbUse");
        row("Alt+P", int(Qt::Key_P), "txtdbPwd");
    }
    void accessKeysMoveFocus() {
        QFETCH(int, key);
        QFETCH(QString, target);
        dlg->cbodbServerIP->setFocus();
        QTest::keyClick(dlg, Qt::Key(key), Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), target);
    }

    void enterInUserBoxMovesToPassword() {
        dlg->txtdbUse->setFocus();
        QTest::keyClick(dlg->txtdbUse, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), dlg->txtdbPwd);
        QVERIFY(dlg->isVisible());
        QVERIFY(!dlg->ifCmdOkClick);
    }

    void confirmWithBoxTickedWritesExactBytes() {
        dlg->TxtDbName->setText(QStringLiteral("qelmorand"));
        fill(QStringLiteral("张三"), QStringLiteral("密码123"), true);
        dlg->txtdbPwd->setFocus();
        QTest::keyClick(dlg->txtdbPwd, Qt::Key_Return);
        QVERIFY(dlg->ifCmdOkClick);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->dbPwd, QStringLiteral("密码123")); // in clear for the connection
        QCOMPARE(dlg->dbUse, QStringLiteral("张三"));
        QFile fixture(QStringLiteral(VORNIK_FIXTURES "/settings-sample.ini"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        QCOMPARE(readSettings(), fixture.readAll());
        const QFile::Permissions p = QFile::permissions(settingsPath());
        QVERIFY(p.testFlags(QFile::ReadOwner | QFile::WriteOwner));
        QCOMPARE(p & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());
        QVERIFY(boxes.shown.isEmpty());
    }

    void typedServerWithPortIsKept() {
        dlg->cbodbServerIP->setFocus();
        dlg->cbodbServerIP->lineEdit()->selectAll();
        typeInto(dlg->cbodbServerIP, QStringLiteral("db.example:3307"));
        fill(QStringLiteral("u"), QStringLiteral("p"), true);
        QTest::mouseClick(dlg->cmdOK, Qt::LeftButton);
        QCOMPARE(dlg->dbServerIP, QStringLiteral("db.example:3307"));
        QVERIFY(readSettings().contains("dbServerIP = db.example:3307\r\n"));
    }

    void confirmingTwiceKeepsOnlySecondValues() {
        fill(QStringLiteral("first"), QStringLiteral("p1"), true);
        QTest::mouseClick(dlg->cmdOK, Qt::LeftButton);
        dlg->show();
        fill(QStringLiteral("second"), QStringLiteral("p2"), true);
        QTest::mouseClick(dlg->cmdOK, Qt::LeftButton);
        const QByteArray bytes = readSettings();
        QVERIFY(bytes.contains("dbUse = second\r\n"));
        QVERIFY(!bytes.contains("first"));
        QCOMPARE(bytes.count("\r\n"), 5);
        QVERIFY(bytes.endsWith("\r\n"));
    }

    void confirmUntickedDeletesFile() {
        QFile f(settingsPath());
        QVERIFY(QDir().mkpath(QFileInfo(f).absolutePath()));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[main]\r\n");
        f.close();
        fill(QStringLiteral("u"), QStringLiteral("p"), false);
        QTest::keyClick(dlg->txtdbPwd, Qt::Key_Return);
        QVERIFY(dlg->ifCmdOkClick);
        QVERIFY(!QFile::exists(settingsPath()));
    }

    void cancelChangesNothing_data() {
        columns<bool>("byEscape");
        row("Esc", true);
        row("cancel button", false);
    }
    void cancelChangesNothing() {
        QFETCH(bool, byEscape);
        fill(QStringLiteral("keep"), QStringLiteral("p"), true);
        QTest::mouseClick(dlg->cmdOK, Qt::LeftButton);
        const QByteArray before = readSettings();
        dlg->show();
        fill(QStringLiteral("other"), QStringLiteral("x"), false);
        if (byEscape)
            QTest::keyClick(dlg->txtdbPwd, Qt::Key_Escape);
        else
            QTest::mouseClick(dlg->cmdCancel, Qt::LeftButton);
        QVERIFY(!dlg->ifCmdOkClick);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(dlg->dbUse, QStringLiteral("keep"));
        QCOMPARE(readSettings(), before);
        // Shown again, the dialog keeps what was typed: it is not loaded afresh.
        QCOMPARE(dlg->txtdbUse->text(), QStringLiteral("other"));
    }

    void writeFailureIsShownNotLost() {
        // The configuration folder is a file: the settings folder cannot be made.
        QTemporaryDir other;
        QFile blocker(other.path() + QStringLiteral("/cfg"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_CONFIG_HOME", blocker.fileName().toUtf8());
        fill(QStringLiteral("u"), QStringLiteral("p"), true);
        QTest::mouseClick(dlg->cmdOK, Qt::LeftButton);
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown[0].kind, QStringLiteral("critical"));
        QVERIFY(boxes.shown[0].text.contains(QStringLiteral("vornik.ini")));
        // The login itself still goes on with the typed account.
        QVERIFY(dlg->ifCmdOkClick);
    }

    void passwordTooLongToDigestKeepsDialogOpen() {
        dlg->txtdbPwd->setMaxLength(40000);
        dlg->txtdbPwd->setText(QString(32768, QLatin1Char('a')));
        dlg->chkAutoLogin->setChecked(true);
        dlg->cmdOK_Click();
        QCOMPARE(boxes.shown.size(), 1);
        QVERIFY(boxes.lastText().contains(QStringLiteral("32767")));
        QVERIFY(!dlg->ifCmdOkClick);
        QVERIFY(dlg->isVisible());
        QVERIFY(!QFile::exists(settingsPath()));
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
