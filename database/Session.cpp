#include "database/Session.h"

#include "database/SecretStore.h"
#include "util/Clock.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"
#include "util/Secret.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

using namespace mConnDatabase;

namespace {
constexpr qint64 kReuseMs = 60 * 1000;

QString builtinDigest(const QString& clear) {
    Result<QString> digest = md5Digest(clear, 32);
    return digest ? digest.value() : QString();
}

// The password the login dialog kept in the secret store for the account the per-user settings file
// names, when the file's dbPwd is that password's digest; a password kept for an older file, or a
// file written by hand, is not the one the file means. Nothing when no store answers.
Co<std::optional<QString>> rememberedPassword(QString path, QString server, QString database, QString user,
                                              QString digest) {
    if (user.isEmpty() || path != userSettingsPath())
        co_return std::nullopt;
    Result<std::optional<QString>> kept = co_await secretStore().read(secretKey(server, database, user));
    if (!kept || !kept.value())
        co_return std::nullopt;
    QString password = *kept.value();
    wipe(*kept.value());
    Result<QString> made = md5Digest(password, 32);
    const bool same = made && made.value() == digest;
    if (made)
        wipe(made.value()); // a digest of the password is as good as the password where digests log in
    if (!same) {
        wipe(password);
        co_return std::nullopt;
    }
    co_return password;
}
} // namespace

Session& sharedSession() {
    static Session session;
    return session;
}

QString Session::connectionString() const {
    const Settings& s = settings_;
    const bool required = s.tls.compare(QStringLiteral("required"), Qt::CaseInsensitive) == 0;
    return ::connectionString(s.user, s.password, s.server, s.database,
                              required ? QStringLiteral("required") : QString(), s.tlsCa, s.serverKey);
}

void Session::forget() {
    wipe(settings_.password);
    settings_ = Settings();
    lastOpenMs_.reset();
}

Error Session::refuse(const QString& why) {
    settings_.user.clear();
    wipe(settings_.password);
    lastOpenMs_.reset();
    return Error{Error::kProviderError, why};
}

Co<Result<Session::Opened>> Session::openIfNeeded(QString user, QString password) {
    if (!conn_)
        conn_ = std::make_unique<Connection>();
    else if (conn_->isOpen() && lastOpenMs_ && appClock().monotonicMs() - *lastOpenMs_ < kReuseMs)
        co_return Opened::Reused;

    if (!user.isEmpty())
        settings_.user = user;
    if (!password.isEmpty())
        settings_.password = password;
    if (settings_.server.isEmpty())
        settings_.server = kFallbackServer;
    if (settings_.database.isEmpty())
        settings_.database = kBuiltinName;
    if (settings_.user.isEmpty()) {
        const Status read = co_await readSettingsFile();
        if (!read)
            co_return read;
    }

    const bool fromPrompt = settings_.user.isEmpty();
    if (fromPrompt) {
        const bool given = co_await askForAccount(QString());
        if (!given)
            co_return Error{kLoginCancelled, {}};
    }
    for (;;) {
        bool loginFailed = false;
        Result<Opened> result = co_await openHeld(&loginFailed);
        if (!fromPrompt)
            co_return result;
        if (!loginFailed) {
            if (result)
                loginPrompt().done();
            co_return result;
        }
        // The account typed in the dialog did not log in: asked again, with the reason.
        const bool given = co_await askForAccount(result.error().description);
        if (!given)
            co_return Error{kLoginCancelled, {}};
    }
}

Co<Status> Session::readSettingsFile() {
    QString path;
    QString unreadable;
    QStringList v = ReadIniValues(QStringLiteral("main"),
                                  {QStringLiteral("dbServerIP"), QStringLiteral("dbName"),
                                   QStringLiteral("dbUse"), QStringLiteral("dbPwd"), QStringLiteral("dbTls"),
                                   QStringLiteral("dbTlsCa"), QStringLiteral("dbServerKey")},
                                  path, &unreadable);
    // What stays is held by the settings alone, so wiping them wipes the last copy.
    const auto forgetRead = qScopeGuard([&] {
        for (QString& value : v)
            wipe(value);
    });
    if (!unreadable.isEmpty())
        co_return refuse(unreadable);
    // Not the working folder's file, which depends on how the program was started.
    const auto besideFile = [&path](const QString& file) {
        return file.isEmpty() || QDir::isAbsolutePath(file)
                   ? file
                   : QDir::cleanPath(QFileInfo(path).dir().filePath(file));
    };
    QString& user = v[2];
    const QString& digest = v[3];
    // The login dialog stores the built-in account as digests; connect with the clear values.
    if (user == builtinDigest(kBuiltinUser))
        user = kBuiltinUser;
    // Whatever runs while the store is asked may change the held settings, so the account read here
    // is set again afterwards, never mixed with another.
    std::optional<QString> kept = co_await rememberedPassword(path, v[0], v[1], user, digest);
    settings_.server = v[0];
    settings_.database = v[1];
    settings_.user = user;
    settings_.tls = v[4];
    settings_.tlsCa = besideFile(v[5]);
    settings_.serverKey = besideFile(v[6]);
    settings_.password = kept ? *kept : digest == builtinDigest(kBuiltinPassword) ? kBuiltinPassword : digest;
    if (kept)
        wipe(*kept);
    co_return Status();
}

Co<bool> Session::askForAccount(QString failure) {
    const std::optional<LoginValues> v = co_await loginPrompt().ask(failure);
    if (!v) {
        // Make the caller's first statement say why it fails.
        if (conn_ && !conn_->isOpen())
            conn_->setClosedReason(
                failure.isEmpty() ? QStringLiteral("登录已取消，未连接数据库")
                                  : QStringLiteral("登录已取消，未连接数据库（登录失败：%1）").arg(failure));
        co_return false;
    }
    settings_.user = v->dbUse;
    settings_.password = v->dbPwd;
    settings_.server = v->dbServerIP;
    settings_.database = v->dbName;
    co_return true;
}

Co<Result<Session::Opened>> Session::openHeld(bool* loginFailed) {
    // The client takes each value up to its first NUL, so "qelmorand\0x" would log in as
    // "qelmorand": refuse what cannot be sent as it stands.
    const Settings& s = settings_;
    for (const QString* value : {&s.user, &s.password, &s.server, &s.database}) {
        if (value->contains(QChar(u'\0'))) {
            *loginFailed = true;
            co_return refuse(QStringLiteral("用户名、密码、服务器或数据库名中含有 NUL 字符，无法按原样连接"));
        }
    }
    // The dialog (or a handler that ran meanwhile) may have replaced the connection.
    if (!conn_)
        conn_ = std::make_unique<Connection>();
    Connection* conn = conn_.get();
    if (conn->isOpen())
        conn->close();

    QString text = connectionString();
    ConnectionParams params = parseConnectionString(text);
    wipe(text); // it holds the password
    const Status status = co_await conn->open(std::move(params));
    if (status.cancelled()) {
        // A newer open (a search started meanwhile) or a close took over this connection, or the
        // program is quitting: the account is not at fault and the connection is not ours to close.
        co_return status;
    }
    const bool stillShared = conn_.get() == conn;
    if (!status || !stillShared) {
        if (stillShared)
            conn->close(); // never leave a half-open connection marked as open
        *loginFailed = true;
        co_return refuse(!status ? status.description() : QStringLiteral("数据库连接对象在打开时被替换"));
    }
    lastOpenMs_ = appClock().monotonicMs();
    co_return Opened::Opened;
}

Co<Status> Session::forgetRememberedLogin() {
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
    const Settings& s = settings_;
    if (!s.user.isEmpty() && !keys.contains(secretKey(s.server, s.database, s.user)))
        keys << secretKey(s.server, s.database, s.user);
    for (const QString& key : keys) {
        const Status removed = co_await secretStore().remove(key);
        if (!removed)
            problems << QStringLiteral("未能删除 %1 的密码：%2").arg(key, removed.description());
    }
    QFile file(path);
    if (file.exists() && !file.remove())
        problems << QStringLiteral("无法删除登录设置文件 %1：%2").arg(path, file.errorString());
    co_return problems.isEmpty() ? Status() : Status::failure(problems.join(QStringLiteral("\r\n")));
}
