#include "database/ConnDatabase.h"

#include "util/Gbk.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace mConnDatabase {

namespace {
QString g_sitePath;
LoginPrompt* g_prompt = nullptr;
LoginPrompt* g_defaultPrompt = nullptr;

// Where nothing can show a dialog.
class NobodyToAsk final : public LoginPrompt {
public:
    Co<std::optional<LoginValues>> ask(QString) override { co_return std::nullopt; }
};

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

} // namespace mConnDatabase
