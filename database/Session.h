#pragma once
// The program's session with its database: the account and transport settings, the connection, and
// when it was last opened. Opening asks the settings file, the secret store and, while no account
// logs in, the login prompt, each wait a co_await.
#include "database/ConnDatabase.h"
#include "database/Connection.h"
#include "util/Co.h"
#include "util/Status.h"

#include <QString>

#include <memory>
#include <optional>

class Session {
public:
    // The four settings and the transport ones; an empty user means no account is known.
    struct Settings {
        QString server;
        QString database;
        QString user;
        QString password;
        // From the settings file's [main] section (never written by the login dialog): tls "required"
        // refuses a server without TLS, else TLS is used whenever the server offers it; tlsCa names a CA
        // certificate file against which the server's certificate and host name are verified; serverKey
        // the server's RSA public key file, with which a password sent by caching_sha2_password or
        // sha256_password is encrypted on a session without TLS. Both absolute, or relative to the
        // settings file's folder; empty when the file does not say.
        QString tls;
        QString tlsCa;
        QString serverKey;
    };
    enum class Opened { Reused, Opened };
    // The error of a login the user cancelled (the connection's closed reason says so, and names why
    // the login before failed); the re-login command tells it from a failure by this number.
    static constexpr quint32 kLoginCancelled = 0x10c1;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the connection, or reuses it when it is open and was opened less than 60 seconds ago.
    // Without a held account it reads the settings file (the password from the secret store when the
    // file's digest is that password's); without one there either, it asks the login prompt, again
    // with the reason while the account given does not log in. `user` and `password`, when given,
    // replace the held ones first. A failed login holds no account.
    Co<Result<Opened>> openIfNeeded(QString user = {}, QString password = {});

    // Null until the first open.
    Connection* connection() const { return conn_.get(); }
    // The connection itself, for the control's start and the reconnect after a time-out (and tests).
    std::unique_ptr<Connection>& connectionSlot() { return conn_; }

    Settings& settings() { return settings_; }
    const Settings& settings() const { return settings_; }
    // The connection string for the held settings; a value holding ";", "{" or "}" is brace-quoted.
    // Without TLS settings it is the one Windows clients build.
    QString connectionString() const;

    // Empties the settings and forgets the last open (the re-login command).
    void forget();
    // Forgets the remembered login (the re-login command, before forget): removes from the secret
    // store the passwords of the account named in the per-user settings file and of the account held,
    // and deletes the per-user file (never the site-wide one). Leaves the held settings as they are.
    // On failure the description lists, one per line, what could not be done: a password the store
    // did not remove (also when no store answers) or a file that could not be deleted; everything
    // else was still done.
    Co<Status> forgetRememberedLogin();

private:
    Co<Status> readSettingsFile();
    Co<bool> askForAccount(QString failure);
    Co<Result<Opened>> openHeld(bool* loginFailed);
    Error refuse(const QString& why);

    Settings settings_;
    std::unique_ptr<Connection> conn_;
    // Monotonic time of the last successful open; elapsed time never breaks at midnight.
    std::optional<qint64> lastOpenMs_;
};

// The one session of the process, shared by the control, its forms and windows.
Session& sharedSession();
