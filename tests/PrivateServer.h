#pragma once
// A MariaDB server of the test's own, for what the shared throwaway server must not go through: a
// stop in the middle of a transfer, a kill in the middle of a write, a restart in another mode,
// init_connect, TLS. It is started with scripts/lib.sh (as scripts/test starts its own), in a
// temporary folder, with the schema and the built-in account, and stopped by its pid when the object
// goes, whatever happened.
#include "TestDb.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>

#ifndef VORNIK_SOURCE_DIR
#error "VORNIK_SOURCE_DIR must name the source folder (for scripts/lib.sh)"
#endif

class PrivateServer {
public:
    PrivateServer() = default;
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;
    ~PrivateServer() {
        if (started_)
            stop();
    }

    // Initialises (the first time) and starts the server with `options` added to mariadbd's, then
    // loads the schema. False, with the reason in `error`, when that fails.
    bool start(const QStringList& options = {}, QString* error = nullptr) {
        if (!dir_.isValid())
            return fail(error, QStringLiteral("no temporary folder"));
        if (!initialised_) {
            QString out;
            if (!lib(QStringLiteral("db_init \"$1\" >/dev/null && free_port"), {}, &out))
                return fail(error, QStringLiteral("db_init failed"));
            initialised_ = true;
            if (port_.isEmpty())
                port_ = out;
        }
        const QStringList bind =
            address_.isEmpty() ? QStringList() : QStringList{QStringLiteral("--bind-address=") + address_};
        if (!lib(QStringLiteral("db_start \"$1\" \"$2\" \"$3\" \"${@:4}\" && db_schema \"$2\""),
                 bind + options))
            return fail(error, QStringLiteral("db_start failed: ") + log());
        started_ = true;
        return true;
    }
    // Safe on any thread (a test may stop it from the connection's, in the middle of a transfer).
    bool stop() {
        started_ = false;
        return lib(QStringLiteral("db_stop \"$2\""));
    }
    // Stops and starts it again with other options; sessions open on it end.
    bool restart(const QStringList& options = {}, QString* error = nullptr) {
        return stop() && start(options, error);
    }

    // mariadbd's options to serve TLS, as a team's server does, with a CA (caFile()) and a certificate for
    // localhost and 127.0.0.1 made in its folder the first time (scripts/lib.sh).
    QStringList tlsOptions() const {
        const QString tls = dir_.filePath(QStringLiteral("tls"));
        QString options;
        lib(QStringLiteral("db_tls_files \"$4\" && db_tls_options \"$4\""), {tls}, &options);
        return options.split(u' ', Qt::SkipEmptyParts);
    }
    QString caFile() const { return dir_.filePath(QStringLiteral("tls/ca.pem")); }

    // Runs `sql` as the server's administrator (over its socket).
    bool admin(const QString& sql, QString* out = nullptr) {
        return lib(QStringLiteral("db_admin \"$2\" -N -e \"$4\""), {sql}, out);
    }

    // Whether it was started and not stopped since (a kill by the test goes unnoticed).
    bool running() const { return started_; }
    // The server process, for a test that kills it.
    qint64 pid() const {
        QFile f(dir_.filePath(QStringLiteral("run/mariadbd.pid")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
    }
    QString port() const { return port_; }
    QString server() const {
        return (address_.isEmpty() ? QStringLiteral("127.0.0.1") : address_) + u':' + port_;
    }
    // Before the first start: listen on `address` (127.0.0.1 otherwise) and `port` (a free one otherwise),
    // e.g. a second node of a cluster on the first one's port.
    void listenOn(const QString& address, const QString& port) {
        address_ = address;
        port_ = port;
    }
    QString connectionString(const QString& extra = {}) const {
        return QStringLiteral("uid=qelmorand;pwd=40628173;server=%1;database=qelmorand").arg(server()) +
               extra;
    }
    QString folder() const { return dir_.path(); }
    // The server's error log, for a failure message.
    QString log() const {
        QFile f(dir_.filePath(QStringLiteral("run/mariadb.err")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().right(2000)) : QString();
    }

private:
    static bool fail(QString* error, const QString& why) {
        if (error)
            *error = why;
        return false;
    }
    // Runs `script` with scripts/lib.sh loaded, the data and run folders as $1 and $2, the port as
    // $3 and `args` after them.
    bool lib(const QString& script, const QStringList& args = {}, QString* out = nullptr) const {
        QProcess p;
        p.start(QStringLiteral("bash"),
                QStringList{QStringLiteral("-c"),
                            QStringLiteral("set -e; source '%1/scripts/lib.sh'; ")
                                    .arg(QStringLiteral(VORNIK_SOURCE_DIR)) +
                                script,
                            QStringLiteral("lib"), dir_.filePath(QStringLiteral("data")),
                            dir_.filePath(QStringLiteral("run")), port_} +
                    args);
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return false;
        }
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        if (p.exitCode() != 0)
            qWarning().noquote() << p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir dir_;
    QString address_;
    QString port_;
    bool initialised_ = false;
    std::atomic<bool> started_ = false;
};
