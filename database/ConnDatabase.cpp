#include "database/ConnDatabase.h"

#include "database/ConnectionString.h"
#include "database/SecretStore.h"
#include "database/Shared.h"
#include "util/Clock.h"
#include "util/Gbk.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"
#include "util/Secret.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cmath>

namespace mConnDatabase {

namespace {
constexpr qint64 kReuseMs = 60 * 1000;
// Monotonic time of the last successful open; elapsed time never breaks at midnight.
std::optional<qint64> g_lastOpenMs;
QString g_sitePath;
LoginPrompt* g_prompt = nullptr;
LoginPrompt* g_defaultPrompt = nullptr;

// Where nothing can show a dialog.
class NobodyToAsk final : public LoginPrompt {
public:
    std::optional<LoginValues> ask(const QString&) override { return std::nullopt; }
};

QString builtinDigest(const QString& clear) {
    Result<QString> digest = md5Digest(clear, 32);
    return digest ? digest.value() : QString();
}

// The password the login dialog kept in the secret store for the account the per-user settings file
// names, when the file's dbPwd is that password's digest; a password kept for an older file, or a
// file written by hand, is not the one the file means. Nothing when no store answers.
std::optional<QString> rememberedPassword(const QString& path, const QString& server, const QString& database,
                                          const QString& user, const QString& digest) {
    if (user.isEmpty() || path != userSettingsPath())
        return std::nullopt;
    Result<std::optional<QString>> kept = secretStore().read(secretKey(server, database, user));
    if (!kept || !kept.value())
        return std::nullopt;
    QString password = *kept.value();
    wipe(*kept.value());
    Result<QString> made = md5Digest(password, 32);
    const bool same = made && made.value() == digest;
    if (made)
        wipe(made.value()); // a digest of the password is as good as the password where digests log in
    if (!same) {
        wipe(password);
        return std::nullopt;
    }
    return password;
}
} // namespace

QString userSettingsPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/vornik/vornik.ini");
}

QString siteSettingsPath() {
    return g_sitePath.isEmpty() ? QStringLiteral("/etc/vornik/vornik.ini") : g_sitePath;
}

void setSiteSettingsPath(const QString& path) {
    g_sitePath = path;
}

QStringList ReadIniValues(const QString& section, const QStringList& keys, QString& path, QString* error) {
    path = userSettingsPath();
    if (!QFileInfo::exists(path))
        path = siteSettingsPath();
    return ReadProfileStrings(path, section, keys, error);
}

QString ReadIniValue(const QString& section, const QString& key, QString& path, QString* error) {
    return ReadIniValues(section, {key}, path, error).value(0);
}

QString BuildConnectionString() {
    const bool required = dbTls.compare(QStringLiteral("required"), Qt::CaseInsensitive) == 0;
    return connectionString(dbUse, dbPwd, dbServerIP, dbName,
                            required ? QStringLiteral("required") : QString(), dbTlsCa, dbServerKey);
}

void forgetAccount() {
    dbServerIP.clear();
    dbName.clear();
    dbUse.clear();
    wipe(dbPwd);
    dbTls.clear();
    dbTlsCa.clear();
    dbServerKey.clear();
    g_lastOpenMs.reset();
}

Status forgetRememberedLogin() {
    const QString path = userSettingsPath();
    QStringList problems;
    QStringList keys;
    if (QFileInfo::exists(path)) {
        QString unreadable;
        const QStringList values = ReadProfileStrings(
            path, QStringLiteral("main"),
            {QStringLiteral("dbServerIP"), QStringLiteral("dbName"), QStringLiteral("dbUse")}, &unreadable);
        const QString &server = values[0], &name = values[1];
        QString user = values[2];
        if (user == builtinDigest(kBuiltinUser))
            user = kBuiltinUser;
        if (!unreadable.isEmpty())
            problems << QStringLiteral("登录设置文件 %1 无法读取（%2），其中账户的密码未能从密钥环删除")
                            .arg(path, unreadable);
        else if (!user.isEmpty())
            keys << secretKey(server, name, user);
    }
    if (!dbUse.isEmpty() && !keys.contains(secretKey(dbServerIP, dbName, dbUse)))
        keys << secretKey(dbServerIP, dbName, dbUse);
    for (const QString& key : keys) {
        if (const Status removed = secretStore().remove(key); !removed)
            problems << QStringLiteral("未能删除 %1 的密码：%2").arg(key, removed.description());
    }
    QFile file(path);
    if (file.exists() && !file.remove())
        problems << QStringLiteral("无法删除登录设置文件 %1：%2").arg(path, file.errorString());
    return problems.isEmpty() ? Status() : Status::failure(problems.join(QStringLiteral("\r\n")));
}

LoginPrompt& loginPrompt() {
    static NobodyToAsk nobody;
    return g_prompt ? *g_prompt : g_defaultPrompt ? *g_defaultPrompt : nobody;
}

void setLoginPrompt(LoginPrompt* prompt) {
    g_prompt = prompt;
}

void setDefaultLoginPrompt(LoginPrompt* prompt) {
    g_defaultPrompt = prompt;
}

Result<QByteArray> settingsBytes(const QString& server, const QString& database, const QString& user,
                                 const QString& password) {
    Result<QString> digest = md5Digest(password, 32);
    if (!digest)
        return digest.error();
    const QString crlf = QStringLiteral("\r\n");
    QString text = QStringLiteral("[main]") + crlf + QStringLiteral("dbServerIP = ") + server + crlf +
                   QStringLiteral("dbName = ") + database + crlf + QStringLiteral("dbUse = ") + user + crlf +
                   QStringLiteral("dbPwd = ") + digest.value() + crlf;
    Result<QByteArray> bytes = tryToGbk(text);
    if (!bytes)
        return bytes.error();
    // A value that would read back otherwise (a line break, blanks or quotes at its ends, a character
    // GBK cannot hold, more than 254 bytes) would log in wrongly on the next start: refuse it now.
    const std::pair<const char*, const QString*> values[] = {
        {"dbServerIP", &server}, {"dbName", &database}, {"dbUse", &user}};
    for (const auto& [key, value] : values) {
        const QString readBack =
            ReadProfileStringFromBytes(bytes.value(), QStringLiteral("main"), QLatin1String(key));
        if (readBack != *value)
            return Status::failure(
                QStringLiteral("%1“%2”无法原样保存在设置文件中（换行、首尾的空白或引号、GBK "
                               "无法表示的字符、超过 254 字节都会被改变）")
                    .arg(QLatin1String(key),
                         value->size() > 40 ? value->left(40) + QStringLiteral("…") : *value));
    }
    return bytes;
}

namespace {
// Puts the account the prompt gives into the held settings; false (the connection saying why) when
// the user cancelled.
bool askForAccount(const QString& failure);
// Opens the shared connection with the held account; returns as ConnectDatabase does. A login that
// failed (a refusal or an error, not a cancelled open) sets `loginFailed` and holds no account.
QString openHeld(QString& errorText, bool* loginFailed);
} // namespace

QString ConnectDatabase(QString& errorText, const QString& user, const QString& password) {
    auto& Conn = mPublic::Conn;
    if (!Conn) {
        Conn = std::make_unique<Connection>();
    } else if (Conn->State() == Connection::kStateOpen && g_lastOpenMs &&
               appClock().monotonicMs() - *g_lastOpenMs < kReuseMs) {
        return QString();
    }

    if (!user.isEmpty())
        dbUse = user;
    if (!password.isEmpty())
        dbPwd = password;
    if (dbServerIP.isEmpty())
        dbServerIP = kFallbackServer;
    if (dbName.isEmpty())
        dbName = kBuiltinName;

    // Connecting with what is held would log in as somebody else or fail obscurely: say why instead,
    // and hold no account.
    auto refuse = [&errorText](const QString& why) {
        errorText = why;
        dbUse.clear();
        wipe(dbPwd);
        g_lastOpenMs.reset();
        return errorText;
    };

    if (dbUse.isEmpty()) {
        QString path;
        QString unreadable;
        QStringList v =
            ReadIniValues(QStringLiteral("main"),
                          {QStringLiteral("dbServerIP"), QStringLiteral("dbName"), QStringLiteral("dbUse"),
                           QStringLiteral("dbPwd"), QStringLiteral("dbTls"), QStringLiteral("dbTlsCa"),
                           QStringLiteral("dbServerKey")},
                          path, &unreadable);
        // What stays is held by the settings alone, so wiping them wipes the last copy.
        const auto forget = qScopeGuard([&] {
            for (QString& value : v)
                wipe(value);
        });
        if (!unreadable.isEmpty())
            return refuse(unreadable);
        // Not the working folder's file, which depends on how the program was started.
        const auto besideFile = [&](const QString& file) {
            return file.isEmpty() || QDir::isAbsolutePath(file)
                       ? file
                       : QDir::cleanPath(QFileInfo(path).dir().filePath(file));
        };
        QString& user = v[2];
        const QString& digest = v[3];
        // The login dialog stores the built-in account as digests; connect with the clear values.
        if (user == builtinDigest(kBuiltinUser))
            user = kBuiltinUser;
        // The store is asked in a nested event loop: whatever runs meanwhile may change the held
        // settings, so the account read here is set again afterwards, never mixed with another.
        std::optional<QString> kept = rememberedPassword(path, v[0], v[1], user, digest);
        dbServerIP = v[0];
        dbName = v[1];
        dbUse = user;
        dbTls = v[4];
        dbTlsCa = besideFile(v[5]);
        dbServerKey = besideFile(v[6]);
        dbPwd = kept ? *kept : digest == builtinDigest(kBuiltinPassword) ? kBuiltinPassword : digest;
        if (kept)
            wipe(*kept);
    }

    const bool fromPrompt = dbUse.isEmpty();
    if (fromPrompt && !askForAccount({}))
        return QStringLiteral("False");
    for (;;) {
        bool loginFailed = false;
        const QString result = openHeld(errorText, &loginFailed);
        if (!fromPrompt)
            return result;
        if (!loginFailed) {
            if (result == QStringLiteral("True"))
                loginPrompt().done();
            return result;
        }
        // The account typed in the dialog did not log in: asked again, with the reason.
        const QString why = std::exchange(errorText, QString());
        if (!askForAccount(why))
            return QStringLiteral("False");
    }
}

namespace {

bool askForAccount(const QString& failure) {
    const std::optional<LoginValues> v = loginPrompt().ask(failure);
    if (!v) {
        // "False" with errorText untouched; make the caller's first statement say why it fails.
        if (mPublic::Conn && mPublic::Conn->State() != Connection::kStateOpen)
            mPublic::Conn->setClosedReason(
                failure.isEmpty() ? QStringLiteral("登录已取消，未连接数据库")
                                  : QStringLiteral("登录已取消，未连接数据库（登录失败：%1）").arg(failure));
        return false;
    }
    dbUse = v->dbUse;
    dbPwd = v->dbPwd;
    dbServerIP = v->dbServerIP;
    dbName = v->dbName;
    return true;
}

QString openHeld(QString& errorText, bool* loginFailed) {
    // Connecting with what is held would log in as somebody else or fail obscurely: say why instead,
    // and hold no account.
    auto refuse = [&errorText, loginFailed](const QString& why) {
        *loginFailed = true;
        errorText = why;
        dbUse.clear();
        wipe(dbPwd);
        g_lastOpenMs.reset();
        return errorText;
    };
    // The client takes each value up to its first NUL, so "qelmorand\0x" would log in as
    // "qelmorand": refuse what cannot be sent as it stands.
    for (const QString* value : {&dbUse, &dbPwd, &dbServerIP, &dbName}) {
        if (value->contains(QChar(u'\0')))
            return refuse(QStringLiteral("用户名、密码、服务器或数据库名中含有 NUL 字符，无法按原样连接"));
    }

    // The dialog (or a nested handler) may have replaced the shared object meanwhile.
    if (!mPublic::Conn)
        mPublic::Conn = std::make_unique<Connection>();
    Connection* conn = mPublic::Conn.get();
    if (conn->State() == Connection::kStateOpen)
        conn->Close();

    QString connection = BuildConnectionString();
    const Status status = conn->Open(connection);
    wipe(connection); // it holds the password
    if (status.cancelled()) {
        // A newer open (a search started meanwhile) or a close took over this connection, or the
        // program is quitting: the account is not at fault and the connection is not ours to close.
        errorText = status.description();
        return errorText;
    }
    const bool stillShared = mPublic::Conn.get() == conn;
    if (!status || !stillShared) {
        if (stillShared)
            conn->Close(); // never leave a half-open connection marked as open
        return refuse(!status ? status.description() : QStringLiteral("数据库连接对象在打开时被替换"));
    }

    if (conn->State() == Connection::kStateOpen) {
        errorText.clear();
        g_lastOpenMs = appClock().monotonicMs();
        return QStringLiteral("True");
    }
    dbUse.clear();
    wipe(dbPwd);
    errorText = QString::number(conn->ErrorsCount());
    return QStringLiteral("False");
}

} // namespace

} // namespace mConnDatabase
