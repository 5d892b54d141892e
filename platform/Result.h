#pragma once

#include <QString>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

// Why an operation did not succeed, as one line for the user or the log.
struct Failure {
    QString reason;
};

// The outcome of an operation whose failure is an ordinary outcome its caller
// handles (binding a port, appending to a file, reading a setting): the value,
// or the Failure in its place. Result<> carries no value. True when it succeeded.
template <typename T = std::monostate>
class [[nodiscard]] Result {
public:
    Result() requires std::is_same_v<T, std::monostate> : value_(T{}) {}
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : error_(std::move(failure.reason)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return &*value_; }
    // The reason of a failure; empty after a success.
    const QString& error() const { return error_; }

private:
    std::optional<T> value_;
    QString error_;
};

// The system's reason for an error number (errno).
inline QString systemReason(int errorNumber)
{
    return QString::fromStdString(std::generic_category().message(errorNumber));
}
