#include "core/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tallysv {

namespace {

// Formats the common conversions (%i, %d, %u, %s, %c and %% without flags,
// width, precision or length) the way vsnprintf does. Returns the length,
// or -1 when the format needs anything else or the text does not fit; the
// caller then leaves the whole format to vsnprintf.
int formatSimple(char* out, size_t room, const char* format, va_list args) {
    size_t n = 0;
    auto put = [&](const char* text, size_t length) {
        if (length > room - n) return false;
        std::memcpy(out + n, text, length);
        n += length;
        return true;
    };
    for (const char* p = format;;) {
        const char* percent = std::strchr(p, '%');
        size_t plain = percent ? static_cast<size_t>(percent - p) : std::strlen(p);
        if (!put(p, plain)) return -1;
        if (!percent) break;
        char digits[12];
        char* end = digits + sizeof digits;
        char* start = end;
        switch (percent[1]) {
            case 'i':
            case 'd': {
                int value = va_arg(args, int);
                unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
                do {
                    *--start = static_cast<char>('0' + magnitude % 10);
                    magnitude /= 10;
                } while (magnitude != 0);
                if (value < 0) *--start = '-';
                if (!put(start, static_cast<size_t>(end - start))) return -1;
                break;
            }
            case 'u': {
                unsigned value = va_arg(args, unsigned);
                do {
                    *--start = static_cast<char>('0' + value % 10);
                    value /= 10;
                } while (value != 0);
                if (!put(start, static_cast<size_t>(end - start))) return -1;
                break;
            }
            case 's': {
                const char* text = va_arg(args, const char*);
                if (!text) text = "(null)";
                if (!put(text, std::strlen(text))) return -1;
                break;
            }
            case 'c': {
                char c = static_cast<char>(va_arg(args, int));
                if (!put(&c, 1)) return -1;
                break;
            }
            case '%':
                if (!put("%", 1)) return -1;
                break;
            default:
                return -1;
        }
        p = percent + 2;
    }
    return static_cast<int>(n);
}

}  // namespace

void Log::printf(const char* format, ...) {
    char small[1024];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = formatSimple(small, sizeof small, format, args);
    va_end(args);
    if (needed >= 0) {
        va_end(copy);
        write(std::string_view(small, static_cast<size_t>(needed)));
        return;
    }
    va_list again;
    va_copy(again, copy);
    needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(again);
        write(std::string_view(small, static_cast<size_t>(needed)));
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    large.resize(static_cast<size_t>(needed));
    write(large);
}

StdoutLog::StdoutLog(std::FILE* out) : descriptor_(fileno(out)) { std::fflush(out); }

void StdoutLog::writeOut(std::string_view text) {
    // Errors are ignored, as for any console output; an interrupted or
    // partial write goes on with the rest.
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(descriptor_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void StdoutLog::writeGathered() {
    if (gathered_.empty()) return;
    writeOut(gathered_);
    gathered_.clear();
    hasGathered_.store(false, std::memory_order_relaxed);
}

void StdoutLog::write(std::string_view text) {
    const bool batching = batchThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(mutex_);
    if (batching) {
        gathered_.append(text);
        hasGathered_.store(true, std::memory_order_relaxed);
        return;
    }
    writeGathered();
    writeOut(text);
}

void StdoutLog::beginBatch() {
    const std::thread::id self = std::this_thread::get_id();
    if (batchThread_.load(std::memory_order_relaxed) == self) {
        ++depth_;
        return;
    }
    // Only one thread batches at a time; another one meanwhile writes at
    // once.
    std::thread::id none;
    if (batchThread_.compare_exchange_strong(none, self)) depth_ = 1;
}

void StdoutLog::endBatch() {
    if (batchThread_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
    if (--depth_ > 0) return;
    if (hasGathered_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> guard(mutex_);
        writeGathered();
    }
    batchThread_.store(std::thread::id(), std::memory_order_release);
}

void RecordingLog::write(std::string_view text) {
    std::lock_guard<std::mutex> guard(mutex_);
    text_.append(text);
}

std::string RecordingLog::text() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
}

std::vector<std::string> RecordingLog::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end = text_.find('\n'); end != std::string::npos; end = text_.find('\n', start)) {
        result.emplace_back(text_, start, end - start);
        start = end + 1;
    }
    return result;
}

bool RecordingLog::contains(std::string_view fragment) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_.find(fragment) != std::string::npos;
}

void RecordingLog::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    text_.clear();
}

}  // namespace tallysv
