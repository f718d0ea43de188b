#pragma once
// The settings files, the login prompt and the settings text: what opening a Session (Session.h) uses.
#include "util/Co.h"
#include "util/Status.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace mConnDatabase {

inline const QString kFallbackServer = QStringLiteral("127.0.0.1");
inline const QString kBuiltinHostName = QStringLiteral("localhost");
inline const QString kBuiltinName = QStringLiteral("qelmorand");
inline const QString kBuiltinUser = QStringLiteral("qelmorand");
inline const QString kBuiltinPassword = QStringLiteral("40628173");

// The per-user settings file ($XDG_CONFIG_HOME/vornik/vornik.ini): read, written by the login
// dialog, deleted by the re-login command.
QString userSettingsPath();
// The site-wide settings file (/etc/vornik/vornik.ini), read only when the per-user one is missing.
QString siteSettingsPath();
// Tests point the site-wide file elsewhere; an empty text restores the default.
void setSiteSettingsPath(const QString& path);

// Sets `path` to the per-user file if it exists, else to the site-wide file, and reads the key from
// it; a missing file, section or key gives the empty text. `error`, when given, says why a file that
// is there could not be read (GBK text on a Qt without the GBK converter), else it is cleared.
QString ReadIniValue(const QString& section, const QString& key, QString& path, QString* error = nullptr);
// The same for several keys, the file read once (and every buffer of its text wiped).
QStringList ReadIniValues(const QString& section, const QStringList& keys, QString& path,
                          QString* error = nullptr);

struct LoginValues {
    QString dbUse;
    QString dbPwd;
    QString dbServerIP;
    QString dbName;
};

// Asks the user for an account; nothing when the user cancelled. Asked again while the account
// given does not log in: `failure` says why the last one did not (empty the first time), and the
// dialog shows it, keeping what was typed but the password. done() says the asking is over.
class LoginPrompt {
public:
    virtual ~LoginPrompt() = default;
    virtual Co<std::optional<LoginValues>> ask(QString failure) = 0;
    virtual void done() {}
};

// The prompt a test installed, else the one the floor that shows things installed as the default
// (the login dialog, forms/FrmDataBaseLogin.h), else nobody: asking then counts as cancelled. Neither
// is owned; nullptr restores the default, or nobody.
LoginPrompt& loginPrompt();
void setLoginPrompt(LoginPrompt* prompt);
void setDefaultLoginPrompt(LoginPrompt* prompt);

// The settings text for the given values, GBK, each of the five lines ended by CR LF; an error when
// the password cannot be digested (too long) or a value would not read back as typed.
Result<QByteArray> settingsBytes(const QString& server, const QString& database, const QString& user,
                                 const QString& password);

} // namespace mConnDatabase
