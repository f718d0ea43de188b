#include "database/SecretStore.h"

#include "util/Secret.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace {

// A request that did not answer in time cannot be cancelled and still holds QtKeychain's queue (it
// runs one request after another): until it finishes, every other request would wait behind it.
bool g_requestHanging = false;

struct Answer {
    QKeychain::Error error = QKeychain::NoError;
    QString errorString;
    QByteArray data;
};

Status noAnswer(const QString& why, quint32 number = Error::kProviderError) {
    return Error{number, QStringLiteral("密钥环不可用：") + why};
}

// Why no request can be made now, or nothing.
std::optional<Status> cannotAsk() {
    // Without a session bus, D-Bus would try to launch one (dbus-launch), which can hang.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return noAnswer(QStringLiteral("没有 D-Bus 会话总线（DBUS_SESSION_BUS_ADDRESS 未设置）"));
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return noAnswer(QStringLiteral("只能在窗口线程上访问"));
    if (g_requestHanging)
        return noAnswer(QStringLiteral("上一次请求仍未应答"), Error::kTimeout);
    return std::nullopt;
}

// Starts `job` and waits for its answer; nothing when it did not answer in time.
std::optional<Answer> run(QKeychain::Job* job) {
    job->setInsecureFallback(false); // never a plain-text file instead of the store
    job->setAutoDelete(true);        // also when it answers after we stopped waiting
    std::optional<Answer> answer;
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&answer, &loop](QKeychain::Job* done) {
        answer = Answer{done->error(), done->errorString(), {}};
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
            answer->data = read->binaryData();
        loop.quit();
    });
    QTimer::singleShot(kSecretStoreWaitMs, &loop, &QEventLoop::quit);
    job->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!answer) {
        g_requestHanging = true;
        QObject::connect(job, &QKeychain::Job::finished, QCoreApplication::instance(),
                         [] { g_requestHanging = false; });
    }
    return answer;
}

Status failed(const std::optional<Answer>& answer) {
    if (!answer)
        return noAnswer(QStringLiteral("%1 秒内未应答").arg(kSecretStoreWaitMs / 1000), Error::kTimeout);
    return noAnswer(answer->errorString.isEmpty() ? QStringLiteral("错误 %1").arg(int(answer->error))
                                                  : answer->errorString);
}

class KeychainStore final : public SecretStore {
public:
    Result<std::optional<QString>> read(const QString& key) override {
        if (std::optional<Status> refused = cannotAsk())
            return *refused;
        auto* job = new QKeychain::ReadPasswordJob(kSecretService);
        job->setKey(key);
        std::optional<Answer> answer = run(job);
        if (answer && answer->error == QKeychain::EntryNotFound)
            return std::optional<QString>();
        if (!answer || answer->error != QKeychain::NoError)
            return failed(answer);
        std::optional<QString> password = QString::fromUtf8(answer->data);
        wipe(answer->data);
        return password;
    }

    Status write(const QString& key, const QString& password) override {
        if (std::optional<Status> refused = cannotAsk())
            return *refused;
        auto* job = new QKeychain::WritePasswordJob(kSecretService);
        job->setKey(key);
        job->setTextData(password);
        const std::optional<Answer> answer = run(job);
        return answer && answer->error == QKeychain::NoError ? Status() : failed(answer);
    }

    Status remove(const QString& key) override {
        if (std::optional<Status> refused = cannotAsk())
            return *refused;
        auto* job = new QKeychain::DeletePasswordJob(kSecretService);
        job->setKey(key);
        const std::optional<Answer> answer = run(job);
        if (answer && (answer->error == QKeychain::NoError || answer->error == QKeychain::EntryNotFound))
            return Status();
        return failed(answer);
    }
};

KeychainStore g_keychain;
SecretStore* g_store = nullptr;

QString keyPart(QString value) {
    return value.replace(u'%', QStringLiteral("%25"))
        .replace(u'@', QStringLiteral("%40"))
        .replace(u'/', QStringLiteral("%2F"));
}

} // namespace

QString secretKey(const QString& server, const QString& database, const QString& user) {
    return keyPart(user) + u'@' + keyPart(server) + u'/' + keyPart(database);
}

SecretStore& secretStore() {
    return g_store ? *g_store : g_keychain;
}

void setSecretStore(SecretStore* store) {
    g_store = store;
}
