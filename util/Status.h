#pragma once
// How every layer passes success or failure: a Status is true on success and carries an Error
// otherwise; a Result<T> is true and holds a T on success. The data layer never shows a failure; it
// hands it up, and the widgets decide how to show it. (The design's own text-valued entry point,
// RsOpen, keeps returning a text, empty meaning success, at the control's edge.)
#include <QString>

#include <optional>
#include <utility>
#include <variant>

struct Error {
    // Number of a generic provider failure.
    static constexpr quint32 kProviderError = 0x80004005u;
    // Number of a time-out (read time-out or statement time-out); callers give it its own handling.
    static constexpr quint32 kTimeout = 0x80040E31u;

    quint32 number = kProviderError;
    QString description;
    unsigned int nativeError = 0; // the client's or server's own error code, 0 when none
    // The operation did not finish: it was superseded, its connection was closed or released, or the
    // program is quitting. It never counts as done, and its outcome on the server is unknown.
    bool cancelled = false;

    bool isTimeout() const { return number == kTimeout; }
};

// An operation that did not finish, `reason` saying why.
inline Error cancelledError(const QString& reason) {
    Error e{Error::kProviderError, reason, 0};
    e.cancelled = true;
    return e;
}

class [[nodiscard]] Status {
public:
    Status() = default; // success
    Status(Error error) : error_(std::move(error)) {}
    static Status failure(const QString& description) { return Error{Error::kProviderError, description}; }

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }
    Error& error() { return *error_; }
    // The failure's description; empty on success.
    QString description() const { return error_ ? error_->description : QString(); }
    bool cancelled() const { return error_ && error_->cancelled; }

private:
    std::optional<Error> error_;
};

template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    Result(const Status& failed) : v_(failed.error()) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }
    T value_or(T otherwise) const { return ok() ? value() : std::move(otherwise); }
    const Error& error() const { return std::get<1>(v_); }
    Status status() const { return ok() ? Status() : Status(error()); }

private:
    std::variant<T, Error> v_;
};
