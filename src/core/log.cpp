#include "core/log.h"

#include <cstdarg>
#include <cstdio>

namespace tallysv {

void Log::printf(const char* format, ...) {
    char small[1024];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(copy);
        write(std::string_view(small, static_cast<size_t>(needed)));
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, copy);
    va_end(copy);
    large.resize(static_cast<size_t>(needed));
    write(large);
}

void StdoutLog::write(std::string_view text) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
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
