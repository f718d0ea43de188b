#pragma once
// Where a remembered login keeps the password itself: the desktop's secret store (Secret Service or
// KWallet, through QtKeychain). The settings file holds only the password's digest, which logs in
// only where the digest is the password; the store lets any account be remembered.
#include "util/Co.h"
#include "util/Status.h"

#include <QString>

#include <optional>

// QtKeychain's service name for every password the program keeps.
inline const QString kSecretService = QStringLiteral("vornik");
// How long a request may take before the store counts as not answering.
constexpr int kSecretStoreWaitMs = 5000;

// Every failure means that no store answered: no D-Bus session bus, no Secret Service or KWallet,
// an error, or no answer within kSecretStoreWaitMs (Error::kTimeout). The description says which.
// Called on the window thread; the caller's coroutine waits for the answer (co_await) while the window
// runs, and the command gate keeps a click from starting a second request meanwhile.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The password kept under `key`; an empty optional when the store answered that it holds none.
    virtual Co<Result<std::optional<QString>>> read(QString key) = 0;
    // Keeps `password` under `key`, replacing what was kept there.
    virtual Co<Status> write(QString key, QString password) = 0;
    // Removes what is kept under `key`; a key the store does not hold counts as removed.
    virtual Co<Status> remove(QString key) = 0;
};

// The key of an account: "user@server/database", each value as written in the settings file, with
// "%", "@" and "/" inside a value written "%25", "%40" and "%2F" so that no two accounts share a key.
QString secretKey(const QString& server, const QString& database, const QString& user);

// QtKeychain (never its plain-text fallback) unless a test installed another store (not owned;
// nullptr restores QtKeychain).
SecretStore& secretStore();
void setSecretStore(SecretStore* store);
