#pragma once
// The throwaway server that scripts/test starts: its address, and a guard that skips a database test
// when no server was started by hand, but fails it when one is required (scripts/test, CI).
#include "database/ConnectionString.h"

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
