#pragma once
// The throwaway server that scripts/test starts: its address, its administrator, and a guard that
// skips a database test when no server was started by hand, but fails it when one is required
// (scripts/test, CI).
#include "database/ConnectionString.h"

#include <QProcess>
#include <QTest>

namespace testdb {

inline QString port() {
    return qEnvironmentVariable("VORNIK_TEST_DB_PORT");
}
inline QString server() {
    const QString host = qEnvironmentVariable("VORNIK_TEST_DB_HOST", QStringLiteral("127.0.0.1"));
    return host + u':' + port();
}
inline QString connectionString(const QString& user = QStringLiteral("qelmorand"),
                                const QString& password = QStringLiteral("40628173")) {
    return QStringLiteral("DRIVER={MySQL ODBC 3.51 Driver};uid=") + odbcValue(user) +
           QStringLiteral(";pwd=") + odbcValue(password) + QStringLiteral(";server=") + server() +
           QStringLiteral(";database=qelmorand");
}
// Runs `sql` as the server's administrator, for what the built-in account may not do (create
// accounts): the OS user who started it (as scripts/test does), over the socket the server names.
inline bool asAdmin(const QString& sql) {
    QProcess p;
    p.start(QStringLiteral("bash"),
            {QStringLiteral("-c"),
             QStringLiteral("mariadb --no-defaults -S\"$(mariadb --no-defaults -h\"$0\" -P\"$1\" -uqelmorand "
                            "-p40628173 -Nse 'select @@socket')\" -u\"$(id -un)\" -e \"$2\""),
             qEnvironmentVariable("VORNIK_TEST_DB_HOST", QStringLiteral("127.0.0.1")), port(), sql});
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
inline bool required() {
    return !qEnvironmentVariableIsEmpty("VORNIK_REQUIRE_DB") || !qEnvironmentVariableIsEmpty("CI");
}

} // namespace testdb

#define REQUIRE_DB()                                                                                         \
    do {                                                                                                     \
        if (testdb::port().isEmpty()) {                                                                      \
            if (testdb::required())                                                                          \
                QFAIL("no throwaway database: run through scripts/test");                                    \
            QSKIP("no throwaway database (VORNIK_TEST_DB_PORT unset); run scripts/test --db-shell");         \
        }                                                                                                    \
    } while (0)
