#pragma once
#include <cerrno>
#include <cstring>
#include <string>
#include <optional>
#include <string_view>
#include <utility>

namespace tallysv {

// The outcome of an operation that can fail, where the failure crosses the
// edge of a module: success, or a failure with the reason to print (and the
// errno behind it, when there was one). The caller decides whether and how
// to say it; the module that failed does not log it as well.
class [[nodiscard]] Status {
public:
    Status() = default;  // success
    static Status ok() { return Status(); }
    // A failure with a reason in words.
    static Status failure(std::string reason) { return Status(std::move(reason), 0); }
    // A failure of a system call: the reason is strerror(error), after
    // `context` and ": " when one is given.
    static Status systemError(int error, std::string_view context = {}) {
        std::string reason(context);
        if (!reason.empty()) reason += ": ";
        reason += std::strerror(error);
        return Status(std::move(reason), error);
    }
    // The same from errno as it is now.
    static Status fromErrno(std::string_view context = {}) { return systemError(errno, context); }

    bool isOk() const { return !failed_; }
    explicit operator bool() const { return isOk(); }
    // Empty on success.
    const std::string& reason() const { return reason_; }
    // The errno behind a failure, 0 when there was none.
    int error() const { return error_; }

private:
    Status(std::string reason, int error) : failed_(true), error_(error), reason_(std::move(reason)) {}
    bool failed_ = false;
    int error_ = 0;
    std::string reason_;
};

// A value, or the failure that kept it from being made. Read the value only
// after checking: a failure holds none.
template <class T>
class [[nodiscard]] StatusOr {
public:
    StatusOr(T value) : value_(std::move(value)) {}
    // A failure; an ok Status here is a mistake of the caller's.
    StatusOr(Status failure) : status_(std::move(failure)) {}

    bool isOk() const { return value_.has_value(); }
    explicit operator bool() const { return isOk(); }
    // Ok when there is a value.
    const Status& status() const { return status_; }
    const std::string& reason() const { return status_.reason(); }

    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }

private:
    Status status_;
    std::optional<T> value_;
};

}  // namespace tallysv
