#include "database/ConnectionString.h"

#include "util/Secret.h"

#include <optional>

// Both build their text in one buffer of the final size: a password passes through here, and every
// intermediate copy would stay behind in freed memory.
QString odbcValue(const QString& value) {
    if (!value.contains(u';') && !value.contains(u'{') && !value.contains(u'}'))
        return value;
    QString quoted;
    quoted.reserve(value.size() + value.count(u'}') + 2);
    quoted += u'{';
    for (const QChar c : value) {
        quoted += c;
        if (c == u'}')
            quoted += c;
    }
    quoted += u'}';
    return quoted;
}

QString connectionString(const QString& user, const QString& password, const QString& server,
                         const QString& database, const QString& tlsMode, const QString& tlsCa,
                         const QString& serverKey) {
    const std::pair<QString, QString> parts[] = {
        {QStringLiteral("DRIVER={MySQL ODBC 3.51 Driver};uid="), user},
        {QStringLiteral(";pwd="), password},
        {QStringLiteral(";server="), server},
        {QStringLiteral(";database="), database},
        {tlsMode.isEmpty() ? QString() : QStringLiteral(";sslmode="), tlsMode},
        {tlsCa.isEmpty() ? QString() : QStringLiteral(";sslca="), tlsCa},
        {serverKey.isEmpty() ? QString() : QStringLiteral(";server_public_key="), serverKey}};
    QString text;
    text.reserve(256 + 2 * (user.size() + password.size() + server.size() + database.size() + tlsCa.size() +
                            serverKey.size()));
    for (const auto& [key, value] : parts) {
        if (key.isEmpty())
            continue;
        text += key;
        QString written = odbcValue(value);
        text += written;
        wipe(written); // a quoted copy of the password is this function's own
    }
    return text;
}

namespace {

// The value that starts at `at` (after its "="), braced or plain; `next` is where the next key starts.
QString valueAt(const QString& text, qsizetype at, qsizetype& next) {
    const qsizetype n = text.size();
    qsizetype j = at;
    if (j >= n || text.at(j) != u'{') {
        const qsizetype semi = text.indexOf(u';', j);
        next = semi < 0 ? n : semi + 1;
        return text.mid(j, (semi < 0 ? n : semi) - j);
    }
    ++j;
    QString value;
    value.reserve(n - j); // grown in place: no partial copies of a password left behind
    while (j < n) {
        if (text.at(j) == u'}') {
            if (j + 1 < n && text.at(j + 1) == u'}') {
                value += u'}';
                j += 2;
                continue;
            }
            ++j;
            break;
        }
        value += text.at(j++);
    }
    // Anything between the closing brace and the next ";" is not part of the value.
    const qsizetype semi = text.indexOf(u';', j);
    next = semi < 0 ? n : semi + 1;
    return value;
}

std::optional<uint> portIn(QStringView text) {
    bool ok = false;
    const uint port = text.toUInt(&ok);
    return ok && port > 0 && port < 65536 ? std::optional<uint>(port) : std::nullopt;
}

void assign(ConnectionParams& p, const QString& key, const QString& value) {
    if (key == u"driver") {
        p.driver = value;
    } else if (key == u"uid" || key == u"user") {
        p.user = value;
    } else if (key == u"pwd" || key == u"password") {
        p.password = value;
    } else if (key == u"server") {
        // "host:port"; an IPv6 address without a port has colons of its own.
        const qsizetype colon = value.lastIndexOf(u':');
        const std::optional<uint> port = colon > 0 && !value.left(colon).contains(u':')
                                             ? portIn(QStringView(value).sliced(colon + 1))
                                             : std::nullopt;
        p.host = port ? value.left(colon) : value;
        if (port)
            p.port = *port;
    } else if (key == u"port") {
        if (const std::optional<uint> port = portIn(QStringView(value).trimmed()))
            p.port = *port;
    } else if (key == u"database" || key == u"db") {
        p.database = value;
    } else if (key == u"sslmode") {
        const QString mode = value.trimmed().toLower();
        if (mode == u"required" || mode == u"verify_ca" || mode == u"verify_identity")
            p.tlsMode = QStringLiteral("required");
    } else if (key == u"sslca") {
        p.tlsCa = value;
    } else if (key == u"server_public_key") {
        p.serverKey = value;
    }
}

} // namespace

ConnectionParams parseConnectionString(const QString& text) {
    ConnectionParams p;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype eq = text.indexOf(u'=', i);
        if (eq < 0)
            break;
        const QString key = text.mid(i, eq - i).trimmed().toLower();
        assign(p, key, valueAt(text, eq + 1, i));
    }
    return p;
}
