#pragma once
// The connection settings and the one operation that opens the shared connection.
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

// The four settings, process-wide; an empty dbUse means no account is known.
inline QString dbServerIP;
inline QString dbName;
inline QString dbUse;
inline QString dbPwd;
// Transport security from the settings file's [main] section (never written by the login dialog):
// dbTls "required" refuses a server without TLS, else TLS is used whenever the server offers it;
// dbTlsCa names a CA certificate file (absolute, or relative to the settings file's folder) against
// which the server's certificate and host name are verified. Empty when the file does not say.
inline QString dbTls;
inline QString dbTlsCa;
// dbServerKey names the server's RSA public key file (absolute, or relative to the settings file's
// folder), for accounts whose login method (caching_sha2_password, sha256_password) sends the password:
// it is then encrypted with that key on a session without TLS. Empty when the file does not say.
inline QString dbServerKey;

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

// The connection string for the held settings; a value holding ";", "{" or "}" is brace-quoted.
// Without TLS settings it is the one Windows clients build.
QString BuildConnectionString();

// Opens (or reuses, within 60 seconds of the last open) the shared connection. Returns "" when an
// open connection was reused, "True" when opened, "False" when the login was cancelled (errorText
// unchanged; the connection's closed reason says so, and names why the login before failed) or the
// open ended not open (errorText = count of provider errors), or the error's description (errorText
// = the same). An account from the login prompt that does not log in is asked for again.
QString ConnectDatabase(QString& errorText, const QString& user = {}, const QString& password = {});

// Empties the four settings and the transport ones and forgets the last open (the re-login command).
void forgetAccount();

// Forgets the remembered login (the re-login command, before forgetAccount): removes from the secret
// store the passwords of the account named in the per-user settings file and of the account held in
// dbServerIP, dbName and dbUse, and deletes the per-user file (never the site-wide one). Leaves the
// held settings as they are. On failure the description lists, one per line, what could not be done:
// a password the store did not remove (also when no store answers, so a password kept earlier may
// still be there) or a file that could not be deleted; everything else was still done.
Status forgetRememberedLogin();

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
    virtual std::optional<LoginValues> ask(const QString& failure) = 0;
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
