#pragma once
// Keeps passwords in memory, so no test touches a desktop's real keyring; with `answers` false it
// answers nothing, as on a desktop without a secret store.
#include "database/SecretStore.h"
#include "util/Secret.h"

#include <QHash>

struct FakeSecretStore : SecretStore {
    QHash<QString, QString> kept;
    bool answers = true;
    Status none() const { return Status::failure(QStringLiteral("没有应答")); }
    Co<Result<std::optional<QString>>> read(QString k) override {
        co_return answers ? Result(kept.contains(k) ? std::optional(kept[k]) : std::nullopt) : none();
    }
    Co<Status> write(QString k, QString p) override { co_return answers ? (kept[k] = p, Status()) : none(); }
    Co<Status> remove(QString k) override {
        if (!answers)
            co_return none();
        if (const auto it = kept.find(k); it != kept.end()) {
            wipe(*it); // as a real store leaves no copy behind
            kept.erase(it);
        }
        co_return Status();
    }
};
