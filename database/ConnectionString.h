#pragma once
// ODBC-style connection strings: "DRIVER={MySQL ODBC 3.51 Driver};uid=...;pwd=...;server=...;database=...".
#include <QString>

struct ConnectionParams {
    QString driver;
    QString user;
    QString password;
    QString host;
    unsigned int port = 3306;
    QString database;
    // TLS: "required" refuses a server without it; a CA file makes the server's certificate and
    // host name be verified against it (and implies "required"). Without either, TLS is used
    // whenever the server offers it.
    QString tlsMode;
    QString tlsCa;
    // The server's RSA public key (a PEM file), with which the password is encrypted for the login
    // methods that send it (caching_sha2_password's full authentication, sha256_password) on a
    // session without a verified certificate: only the holder of the private key can read it.
    QString serverKey;
};

// Writes a value for an ODBC attribute: as it stands, or in braces (with "}" doubled) when it holds
// ";", "{" or "}", which would otherwise end or corrupt the attribute.
QString odbcValue(const QString& value);

// The connection string the system opens with: the driver name, then uid, pwd, server and database,
// each value written by odbcValue; then "sslmode", "sslca" and "server_public_key" (as the MySQL ODBC
// driver names them) only when given.
QString connectionString(const QString& user, const QString& password, const QString& server,
                         const QString& database, const QString& tlsMode = {}, const QString& tlsCa = {},
                         const QString& serverKey = {});

// Parses with ODBC rules: keys case-insensitive, "key={...}" values may hold ";" with "}}" for "}".
// "server" may carry ":port". "sslmode" REQUIRED, VERIFY_CA or VERIFY_IDENTITY asks for TLS, "sslca"
// names a CA file, "server_public_key" the server's public key file. Unknown keys are ignored; the driver
// name is kept but not used.
ConnectionParams parseConnectionString(const QString& text);
