#include "database/SecretStore.h"

#include "util/Secret.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <coroutine>
#include <memory>

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

// Starts the job and resumes its coroutine once: with the job's answer, or with nothing after
// kSecretStoreWaitMs (the job then goes on, and marks the store hanging until it answers).
class JobAnswer {
public:
    explicit JobAnswer(QKeychain::Job* job) : job_(job) {}
    // Moved into the coroutine frame before await_suspend; never moved once suspended.
    JobAnswer(JobAnswer&&) = default;
    JobAnswer& operator=(JobAnswer&&) = delete;
    ~JobAnswer() { QObject::disconnect(finished_); }

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        handle_ = h;
        job_->setInsecureFallback(false); // never a plain-text file instead of the store
        job_->setAutoDelete(true);        // also when it answers after we stopped waiting
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] {
            g_requestHanging = true;
            QObject::connect(job_, &QKeychain::Job::finished, QCoreApplication::instance(),
                             [] { g_requestHanging = false; });
            finish();
        });
        finished_ = QObject::connect(job_, &QKeychain::Job::finished, [this](QKeychain::Job* done) {
            answer_ = Answer{done->error(), done->errorString(), {}};
            if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
                answer_->data = read->binaryData();
            finish();
        });
        timer_->start(kSecretStoreWaitMs);
        job_->start();
    }
    std::optional<Answer> await_resume() { return std::move(answer_); }

private:
    void finish() {
        if (!handle_)
            return;
        QObject::disconnect(finished_);
        timer_->stop();
        std::exchange(handle_, {}).resume(); // may destroy *this: nothing after
    }
    QKeychain::Job* job_;
    std::unique_ptr<QTimer> timer_;
    QMetaObject::Connection finished_;
    std::coroutine_handle<> handle_;
    std::optional<Answer> answer_;
};

Status failed(const std::optional<Answer>& answer) {
    if (!answer)
        return noAnswer(QStringLiteral("%1 秒内未应答").arg(kSecretStoreWaitMs / 1000), Error::kTimeout);
    return noAnswer(answer->errorString.isEmpty() ? QStringLiteral("错误 %1").arg(int(answer->error))
                                                  : answer->errorString);
}

class KeychainStore final : public SecretStore {
public:
    Co<Result<std::optional<QString>>> read(QString key) override {
        if (std::optional<Status> refused = cannotAsk())
            co_return *refused;
        auto* job = new QKeychain::ReadPasswordJob(kSecretService);
        job->setKey(key);
        std::optional<Answer> answer = co_await JobAnswer(job);
        if (answer && answer->error == QKeychain::EntryNotFound)
            co_return std::optional<QString>();
        if (!answer || answer->error != QKeychain::NoError)
            co_return failed(answer);
        std::optional<QString> password = QString::fromUtf8(answer->data);
        wipe(answer->data);
        co_return password;
    }

    Co<Status> write(QString key, QString password) override {
        if (std::optional<Status> refused = cannotAsk())
            co_return *refused;
        auto* job = new QKeychain::WritePasswordJob(kSecretService);
        job->setKey(key);
        job->setTextData(password);
        const std::optional<Answer> answer = co_await JobAnswer(job);
        co_return answer && answer->error == QKeychain::NoError ? Status() : failed(answer);
    }

    Co<Status> remove(QString key) override {
        if (std::optional<Status> refused = cannotAsk())
            co_return *refused;
        auto* job = new QKeychain::DeletePasswordJob(kSecretService);
        job->setKey(key);
        const std::optional<Answer> answer = co_await JobAnswer(job);
        if (answer && (answer->error == QKeychain::NoError || answer->error == QKeychain::EntryNotFound))
            co_return Status();
        co_return failed(answer);
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
