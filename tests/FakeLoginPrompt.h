#pragma once
// Stands in for the login dialog: counts how often it was asked and gives `answer` (by default
// nothing, as if the user cancelled).
#include "database/ConnDatabase.h"

#include <optional>

class FakeLoginPrompt : public mConnDatabase::LoginPrompt {
public:
    int asked = 0;
    std::optional<mConnDatabase::LoginValues> answer;
    std::optional<mConnDatabase::LoginValues> ask() override {
        ++asked;
        return answer;
    }
};
