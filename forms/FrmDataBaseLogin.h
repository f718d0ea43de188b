#pragma once
// The login dialog: asks for server, database, user and password, and on request remembers them: the
// per-user settings file gets the password only as its digest, the desktop's secret store the password
// itself (see SecretStore.h). Where no store answers, an information box (nothing to choose: OK only)
// says that the remembered login will work only for an account whose password is that digest, and the
// file is written anyway; not for the built-in password, whose digest stands for it.
#include "util/Co.h"
#include "util/SharedInstance.h"

#include <QDialog>

class Handlers;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Makes the dialog the prompt a Session asks when no test installed another (see loginPrompt).
void installLoginDialog();

class FrmDataBaseLogin : public QDialog, public SharedInstance<FrmDataBaseLogin> {
    Q_OBJECT
public:
    // instance(), unload() and Use come from SharedInstance.

    explicit FrmDataBaseLogin(QWidget* parent = nullptr);
    ~FrmDataBaseLogin() override;

    // Set by a confirmation, cleared on load and by a cancellation.
    bool ifCmdOkClick = false;
    // Set by a confirmation; a cancellation empties dbPwd (and the password box), the rest stays.
    QString dbServerIP;
    QString dbName;
    QString dbUse;
    QString dbPwd;

    void cmdOK_Click();
    void cmdCancel_Click();
    // Says why the login with what was typed failed (nothing when `why` is empty), empties the
    // password box, where the focus goes when the dialog shows, and keeps the rest as typed.
    void showFailure(const QString& why);
    // Empties the password box and dbPwd, overwriting what only they hold.
    void forgetTypedPassword();

    QLabel* lblServerIP;
    QComboBox* cbodbServerIP;
    QLabel* lbl;
    QLineEdit* TxtDbName;
    QLabel* lblLabels[2];
    QLineEdit* txtdbUse;
    QLineEdit* txtdbPwd;
    QCheckBox* chkAutoLogin;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    QLabel* lblFailure;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override;

private:
    void Form_Load();
    // OK's handler: the values typed, saved as asked, and the dialog confirmed.
    Co<> confirm();
    Co<bool> writeSettings();
    Handlers* handlers_ = nullptr;
    quint64 cancels_ = 0; // a cancel while OK still saves wins
};
