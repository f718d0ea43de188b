// The connection string: any text parses without a crash into a usable port, and whatever the
// account values hold, building and parsing gives them back.
#include "database/ConnectionString.h"

#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok, const char* what, const QString& text) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s in %s\n", what, qPrintable(text));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ConnectionParams any = parseConnectionString(text);
    check(any.port > 0 && any.port < 65536, "port out of range", text);

    // The same input as four values, separated by byte 0x01.
    QStringList parts = text.split(QChar(1));
    while (parts.size() < 4)
        parts << QString();
    const QString& user = parts[0];
    const QString& password = parts[1];
    const QString& server = parts[2];
    const QString& database = parts[3];
    const QString built = connectionString(user, password, server, database);
    const ConnectionParams p = parseConnectionString(built);
    check(p.driver == QStringLiteral("MySQL ODBC 3.51 Driver"), "driver", built);
    check(p.user == user, "user", built);
    check(p.password == password, "password", built);
    check(p.database == database, "database", built);
    // The server comes back whole, or as host and the port it named.
    if (p.host != server) {
        check(server.startsWith(p.host + u':'), "host", built);
        bool ok = false;
        check(server.mid(p.host.size() + 1).toUInt(&ok) == p.port && ok, "port", built);
    } else {
        check(p.port == 3306, "default port", built);
    }
    return 0;
}
