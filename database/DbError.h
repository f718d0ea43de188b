#pragma once
#include <QString>

#include <optional>
#include <utility>
#include <variant>

// A failed data-access operation: a number and the description the caller shows to the user.
struct DbError {
    // Number of a generic provider failure.
    static constexpr quint32 kProviderError = 0x80004005u;
    // Number of a time-out (read time-out or statement time-out); callers give it its own handling.
    static constexpr quint32 kTimeout = 0x80040E31u;

    quint32 number = kProviderError;
    QString description;
    unsigned int nativeError = 0; // the client's or server's own error code, 0 when none
    // The operation did not finish: its connection was closed or released, or the program is quitting.
    // It never counts as done, and its outcome on the server is unknown.
    bool cancelled = false;

    bool isTimeout() const { return number == kTimeout; }
};

// Empty on success.
using DbStatus = std::optional<DbError>;

template <class T> class DbResult {
public:
    DbResult(T value) : v_(std::move(value)) {}
    DbResult(DbError error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }
    const DbError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, DbError> v_;
};
