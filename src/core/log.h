#pragma once
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallysv {

// The console log. Lines are composed by the caller (most with printf-style
// formats) and written as they happen; a text may be part of a line.
class Log {
public:
    virtual ~Log() = default;
    virtual void write(std::string_view text) = 0;
    // printf-style convenience: logf(log, "%i - Player entering: %s\n", id, name).
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Writes to standard output and flushes every write, so that service
// managers and log collectors see each line at once, also through a pipe.
class StdoutLog final : public Log {
public:
    void write(std::string_view text) override;

private:
    std::mutex mutex_;
};

// Throws everything away (benchmarks, fuzzing, tests that do not look).
class DiscardLog final : public Log {
public:
    void write(std::string_view) override {}
};

// Keeps everything written, for tests to assert exact console output.
class RecordingLog final : public Log {
public:
    void write(std::string_view text) override;
    std::string text() const;
    // The complete lines written so far, without their line ends; a
    // trailing partial line is left out.
    std::vector<std::string> lines() const;
    bool contains(std::string_view fragment) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace tallysv
