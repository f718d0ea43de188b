#pragma once
// The design's texts for an open of the shared session, for the tests of its behaviour: "" when an
// open connection was reused, "True" when opened, "False" when the login was cancelled (errorText
// unchanged), else the error's description (errorText = the same).
#include "database/Session.h"
#include "util/Nested.h"

namespace mConnDatabase {
inline QString ConnectDatabase(QString& errorText, const QString& user = {}, const QString& password = {}) {
    const std::optional<Result<Session::Opened>> done =
        waitNested(sharedSession().openIfNeeded(user, password));
    if (!done)
        return errorText = QStringLiteral("not finished");
    if (*done)
        return done->value() == Session::Opened::Reused ? QString() : QStringLiteral("True");
    if (done->error().number == Session::kLoginCancelled)
        return QStringLiteral("False");
    return errorText = done->error().description;
}
inline Status forgetRememberedLogin() {
    return waitNested(sharedSession().forgetRememberedLogin())
        .value_or(Status::failure(QStringLiteral("not finished")));
}
} // namespace mConnDatabase
