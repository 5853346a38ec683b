#pragma once
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tallysv {

// The console log. Lines are composed by the caller (most with printf-style
// formats) and written as they happen; a text may be part of a line.
//
// A batch (beginBatch ... endBatch, nested) lets a log gather what is
// written meanwhile and write it out at once when the outermost batch ends:
// the transport holds one around the handling of each datagram and each
// maintenance pass, so that every line is out by the end of the work that
// caused it. A log may also write everything at once, as the default does.
class Log {
public:
    virtual ~Log() = default;
    virtual void write(std::string_view text) = 0;
    // printf-style convenience: log.printf("%i - Player entering: %s\n", id, name).
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    virtual void beginBatch() {}
    virtual void endBatch() {}
};

// Holds a batch of a log for the lifetime of the object.
class LogBatch {
public:
    explicit LogBatch(Log& log) : log_(log) { log_.beginBatch(); }
    ~LogBatch() { log_.endBatch(); }
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;

private:
    Log& log_;
};

// Writes to standard output, each text straight to the descriptor, so that
// service managers and log collectors see each line at once, also through a
// pipe. Inside a batch the texts of the batching thread are gathered and
// written together when the batch ends. A write from another thread in the
// meantime first writes out what was gathered, so the output keeps the
// order in which the texts were written.
class StdoutLog final : public Log {
public:
    // Standard output, or another stream (tests). Whatever the stream holds
    // in its buffer is flushed first.
    explicit StdoutLog(std::FILE* out = stdout);
    void write(std::string_view text) override;
    void beginBatch() override;
    void endBatch() override;

private:
    void writeOut(std::string_view text);
    void writeGathered();

    int descriptor_;
    std::mutex mutex_;  // the descriptor and what is gathered
    // The thread holding the batch, and its depth (kept by that thread).
    std::atomic<std::thread::id> batchThread_{};
    int depth_ = 0;
    std::string gathered_;
    std::atomic<bool> hasGathered_{false};
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
