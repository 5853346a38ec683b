#pragma once
#include <cerrno>
#include <cstring>
#include <string>
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

}  // namespace tallysv
