#pragma once
// Stands in for the login dialog: counts how often it was asked and gives `answer` (by default
// nothing, as if the user cancelled); asked again after a failed login (whose reasons it keeps), it
// gives `retry`.
#include "database/ConnDatabase.h"

#include <QStringList>

#include <optional>

class FakeLoginPrompt : public mConnDatabase::LoginPrompt {
public:
    int asked = 0;
    std::optional<mConnDatabase::LoginValues> answer;
    std::optional<mConnDatabase::LoginValues> retry;
    QStringList failures;
    Co<std::optional<mConnDatabase::LoginValues>> ask(QString failure) override {
        ++asked;
        if (failure.isEmpty())
            co_return answer;
        failures << failure;
        co_return retry;
    }
};
