#include "forms/FrmDataBaseLogin.h"

#include "database/ConnDatabase.h"
#include "database/SecretStore.h"
#include "ui/DialogAwait.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "util/Handlers.h"
#include "util/Secret.h"
#include "util/WholeFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

namespace {

class DialogLoginPrompt final : public mConnDatabase::LoginPrompt {
public:
    Co<std::optional<mConnDatabase::LoginValues>> ask(QString failure) override {
        const FrmDataBaseLogin::Use use;
        const QPointer<FrmDataBaseLogin> f = use.get();
        f->showFailure(failure);
        const std::optional<int> shown = co_await await::shownModal(f, f);
        if (!shown || !f->ifCmdOkClick)
            co_return std::nullopt; // stays loaded and hidden: its fields keep what was typed but the
                                    // password
        mConnDatabase::LoginValues v{f->dbUse, f->dbPwd, f->dbServerIP, f->dbName};
        // Loaded and hidden until the login goes through (done()), so that a failed one is asked
        // again with what was typed; the password it held is gone already.
        f->forgetTypedPassword();
        co_return v;
    }
    void done() override { FrmDataBaseLogin::unload(); }
};

} // namespace

void installLoginDialog() {
    static DialogLoginPrompt prompt;
    mConnDatabase::setDefaultLoginPrompt(&prompt);
}

FrmDataBaseLogin::FrmDataBaseLogin(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmDataBaseLogin"));
    setWindowTitle(QStringLiteral("数据库登录"));
    setFixedSize(twipsToPixels(4845), twipsToPixels(2400));

    lblServerIP = designChild<QLabel>(this, "lblServerIP", 120, 135, 1320, 270, QStringLiteral("服务器:"));
    cbodbServerIP = designChild<QComboBox>(this, "cbodbServerIP", 1320, 120, 3255, 300);
    // A typed host or host:port is accepted as well as the two entries.
    cbodbServerIP->setEditable(true);
    cbodbServerIP->setInsertPolicy(QComboBox::NoInsert);
    lbl = designChild<QLabel>(this, "lbl", 120, 495, 630, 180, QStringLiteral("数据库:"));
    TxtDbName = designChild<QLineEdit>(this, "TxtDbName", 1305, 480, 3270, 345, mConnDatabase::kBuiltinName);
    lblLabels[0] =
        designChild<QLabel>(this, "lblLabels_0", 105, 885, 1320, 270, QStringLiteral("数据库用户(&U):"));
    txtdbUse = designChild<QLineEdit>(this, "txtdbUse", 1290, 870, 3285, 345, mConnDatabase::kBuiltinUser);
    lblLabels[1] =
        designChild<QLabel>(this, "lblLabels_1", 105, 1275, 1320, 270, QStringLiteral("数据库密码(&P):"));
    txtdbPwd = designChild<QLineEdit>(this, "txtdbPwd", 1290, 1260, 3285, 345);
    txtdbPwd->setEchoMode(QLineEdit::Password);
    chkAutoLogin =
        designChild<QCheckBox>(this, "chkAutoLogin", 240, 1800, 1695, 375, QStringLiteral("本地免登录"));
    cmdOK = designChild<QPushButton>(this, "cmdOK", 2040, 1740, 1140, 390, QStringLiteral("确定"));
    cmdOK->setDefault(true);
    cmdCancel = designChild<QPushButton>(this, "cmdCancel", 3360, 1740, 1140, 390, QStringLiteral("取消"));
    // Below the buttons, shown only while it says why the last login failed.
    lblFailure = designChild<QLabel>(this, "lblFailure", 120, 2280, 4605, 270);
    lblFailure->setWordWrap(true);
    lblFailure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette warning = lblFailure->palette();
    warning.setColor(QPalette::WindowText, QColor(0xB0, 0x00, 0x20));
    lblFailure->setPalette(warning);
    lblFailure->setAccessibleName(QStringLiteral("登录失败的原因"));
    lblFailure->hide();

    // The access key of each label moves the focus to the box after it.
    lblLabels[0]->setBuddy(txtdbUse);
    lblLabels[1]->setBuddy(txtdbPwd);
    // Screen readers: each box is named after its label (without the access key and colon); the
    // labels read their own text.
    lblServerIP->setBuddy(cbodbServerIP);
    lbl->setBuddy(TxtDbName);
    cbodbServerIP->setAccessibleName(QStringLiteral("服务器"));
    TxtDbName->setAccessibleName(QStringLiteral("数据库"));
    txtdbUse->setAccessibleName(QStringLiteral("数据库用户"));
    txtdbPwd->setAccessibleName(QStringLiteral("数据库密码"));
    chkAutoLogin->setAccessibleName(chkAutoLogin->text());
    cmdOK->setAccessibleName(cmdOK->text());
    cmdCancel->setAccessibleName(cmdCancel->text());

    setTabOrder(cbodbServerIP, TxtDbName);
    setTabOrder(TxtDbName, txtdbUse);
    setTabOrder(txtdbUse, txtdbPwd);
    setTabOrder(txtdbPwd, chkAutoLogin);
    setTabOrder(chkAutoLogin, cmdOK);
    setTabOrder(cmdOK, cmdCancel);

    connect(cmdOK, &QPushButton::clicked, this, &FrmDataBaseLogin::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &FrmDataBaseLogin::cmdCancel_Click);
    // Enter in the user box moves on to the password box rather than confirming half-filled values.
    txtdbUse->installEventFilter(this);
    txtdbPwd->installEventFilter(this);

    handlers_ = new Handlers(this);
    Form_Load();
}

FrmDataBaseLogin::~FrmDataBaseLogin() {
    forgetTypedPassword();
}

void FrmDataBaseLogin::Form_Load() {
    ifCmdOkClick = false;
    cbodbServerIP->clear();
    cbodbServerIP->addItem(mConnDatabase::kFallbackServer);
    cbodbServerIP->addItem(mConnDatabase::kBuiltinHostName);
    cbodbServerIP->setCurrentIndex(0);
}

void FrmDataBaseLogin::showFailure(const QString& why) {
    lblFailure->setText(why.isEmpty() ? QString() : QStringLiteral("登录失败：") + why);
    lblFailure->setAccessibleName(why.isEmpty() ? QStringLiteral("登录失败的原因") : lblFailure->text());
    lblFailure->setVisible(!why.isEmpty());
    // The design's size, grown by as much as the reason needs.
    const int extra =
        why.isEmpty() ? 0 : lblFailure->heightForWidth(lblFailure->width()) + twipsToPixels(240);
    lblFailure->resize(lblFailure->width(), std::max(0, extra - twipsToPixels(240)));
    setFixedSize(twipsToPixels(4845), twipsToPixels(2400) + extra);
    forgetTypedPassword();
}

void FrmDataBaseLogin::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QScreen* s = screen()) {
        const QRect avail = s->geometry();
        move(avail.x() + (avail.width() - frameGeometry().width()) / 2,
             avail.y() + (avail.height() - frameGeometry().height()) / 2);
    }
    txtdbPwd->setFocus();
}

bool FrmDataBaseLogin::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (watched == txtdbUse) {
                txtdbPwd->setFocus();
                return true;
            }
            if (watched == txtdbPwd) {
                cmdOK_Click();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void FrmDataBaseLogin::reject() {
    cmdCancel_Click();
}

Co<bool> FrmDataBaseLogin::writeSettings() {
    const QString path = mConnDatabase::userSettingsPath();
    // Waiting for the store and the boxes runs the event loop, which may unload the dialog meanwhile.
    const QPointer<FrmDataBaseLogin> self(this);
    if (chkAutoLogin->isChecked()) {
        const Result<QByteArray> bytes = mConnDatabase::settingsBytes(dbServerIP, dbName, dbUse, dbPwd);
        if (!bytes) {
            const QString text =
                QStringLiteral("登录设置无法保存：%1\r\n请修改后再确定，或不勾选“本地免登录”。")
                    .arg(bytes.error().description);
            co_await messageBoxes().criticalBox(this, text);
            co_return false;
        }
        const Status kept = co_await secretStore().write(secretKey(dbServerIP, dbName, dbUse), dbPwd);
        // The built-in password's digest stands for it: remembered without the store as well.
        if (self && !kept && dbPwd != mConnDatabase::kBuiltinPassword) {
            const QString text =
                QStringLiteral("密码未能保存到系统的密钥环（%1）。\r\n登录设置文件只保存密码的摘要，"
                               "下次启动时只有密码恰为该摘要的账户才能自动登录，"
                               "其他账户仍须输入密码。")
                    .arg(kept.description());
            co_await messageBoxes().informationBox(this, text);
        }
        if (!self)
            co_return false;
        const QString dir = QFileInfo(path).absolutePath();
        // The file holds an account: readable by its owner only.
        const Status written =
            QDir().mkpath(dir)
                ? writeWholeFile(path, bytes.value(), QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                : Status::failure(QStringLiteral("无法创建文件夹 ") + dir);
        if (!written) {
            const QString text =
                QStringLiteral("无法保存登录设置文件 %1：%2").arg(path, written.description());
            co_await messageBoxes().criticalBox(this, text);
        }
        co_return bool(self);
    }
    QFile file(path);
    if (file.exists() && !file.remove()) {
        const QString text = QStringLiteral("无法删除登录设置文件 %1：%2").arg(path, file.errorString());
        co_await messageBoxes().criticalBox(this, text);
    }
    co_return bool(self);
}

void FrmDataBaseLogin::cmdOK_Click() {
    if (!handlers_->running()) // a second OK while the first one saves
        handlers_->start(confirm());
}

Co<> FrmDataBaseLogin::confirm() {
    dbServerIP = cbodbServerIP->currentText();
    dbName = TxtDbName->text();
    dbUse = txtdbUse->text();
    dbPwd = txtdbPwd->text();
    const QPointer<FrmDataBaseLogin> self(this);
    const quint64 cancels = cancels_;
    // A password too long to digest keeps the dialog open; anything else confirms, even if the
    // settings file could not be written (that failure has been shown), unless cancelled meanwhile.
    const bool saved = co_await writeSettings();
    if (!self || !saved || cancels != cancels_)
        co_return;
    ifCmdOkClick = true;
    accept();
}

void FrmDataBaseLogin::cmdCancel_Click() {
    ++cancels_;
    ifCmdOkClick = false;
    forgetTypedPassword();
    QDialog::reject();
}

void FrmDataBaseLogin::forgetTypedPassword() {
    // The box's text shares its buffer with this copy until the box lets go of it; setText also
    // empties the box's undo history.
    QString typed = txtdbPwd->text();
    txtdbPwd->setText(QString());
    wipe(typed);
    wipe(dbPwd);
}
