#pragma once
// Runs the built vornik-admin as an administrator would, the password in its environment.
#include <QProcess>
#include <QString>
#include <QStringList>

#ifndef VORNIK_ADMIN_BIN
#error "VORNIK_ADMIN_BIN must name the built vornik-admin"
#endif

// Its exit code (-1 when it did not end normally), its output and errors in `out`.
inline int runAdmin(const QString& server, const QString& user, const QString& password,
                    const QString& database, const QStringList& args, QString* out = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORNIK_PASSWORD"), password);
    env.insert(QStringLiteral("VORNIK_ADMIN_GRACE_MS"), QStringLiteral("0"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VORNIK_ADMIN_BIN),
            QStringList{QStringLiteral("--server"), server, QStringLiteral("--user"), user,
                        QStringLiteral("--database"), database} +
                args);
    p.waitForFinished(120000);
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
