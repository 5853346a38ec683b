#include "core/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "core/text.h"

namespace tallysv {

namespace {

// The formats give a console line its shape; what a %s puts in is data,
// often a zone's (names, commands, chat), so its control bytes are shown
// escaped and can neither end the line nor start another one. Everything
// else comes out as vsnprintf makes it.

// Formats the common conversions (%i, %d, %u, %s, %c and %% without flags,
// width, precision or length) of texts without control bytes. Returns the
// length, or -1 when the format or a text needs anything else or the text
// does not fit; the caller then formats it with formatEach.
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
                // A text to escape is rare: formatEach does it.
                const size_t length = lengthBeforeControlByte(text);
                if (text[length] != '\0' || !put(text, length)) return -1;
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

// One conversion, formatted by the C library.
template <typename... Args>
void appendFormatted(std::string& out, const char* spec, Args... args) {
    char small[256];
    const int n = std::snprintf(small, sizeof small, spec, args...);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, spec, args...);
    out.resize(at + static_cast<size_t>(n));
}

// Formats every conversion on its own with snprintf, so that each %s text
// can be escaped on its way (its precision cuts the text before, its width
// pads the escaped text after).
void formatEach(std::string& out, const char* format, va_list args) {
    for (const char* p = format;;) {
        const char* percent = std::strchr(p, '%');
        out.append(p, percent ? static_cast<size_t>(percent - p) : std::strlen(p));
        if (!percent) return;

        const char* q = percent + 1;
        bool leftJustified = false;
        for (; *q && std::strchr("-+ #0'I", *q); ++q)
            if (*q == '-') leftJustified = true;
        int stars[2];
        int starCount = 0;
        int width = 0;
        int precision = -1;
        if (*q == '*') {
            width = stars[starCount++] = va_arg(args, int);
            if (width < 0) {
                leftJustified = true;
                width = -width;
            }
            ++q;
        } else {
            for (; *q >= '0' && *q <= '9'; ++q) width = width * 10 + (*q - '0');
        }
        if (*q == '.') {
            ++q;
            precision = 0;
            if (*q == '*') {
                precision = stars[starCount++] = va_arg(args, int);
                ++q;
            } else {
                for (; *q >= '0' && *q <= '9'; ++q) precision = precision * 10 + (*q - '0');
            }
        }
        const char* lengthStart = q;
        while (*q && std::strchr("hljztLq", *q)) ++q;
        const std::string_view lengthModifier(lengthStart, static_cast<size_t>(q - lengthStart));
        const char conversion = *q;
        if (conversion == '\0') {
            out.append(percent);
            return;
        }
        p = q + 1;
        const std::string spec(percent, static_cast<size_t>(p - percent));
        auto emit = [&](auto value) {
            if (starCount == 0) appendFormatted(out, spec.c_str(), value);
            else if (starCount == 1) appendFormatted(out, spec.c_str(), stars[0], value);
            else appendFormatted(out, spec.c_str(), stars[0], stars[1], value);
        };
        const bool isLong = lengthModifier == "l";
        const bool isLongLong = lengthModifier == "ll" || lengthModifier == "q";
        switch (conversion) {
            case 'd':
            case 'i':
                if (isLong) emit(va_arg(args, long));
                else if (isLongLong) emit(va_arg(args, long long));
                else if (lengthModifier == "j") emit(va_arg(args, intmax_t));
                else if (lengthModifier == "z") emit(va_arg(args, ssize_t));
                else if (lengthModifier == "t") emit(va_arg(args, ptrdiff_t));
                else emit(va_arg(args, int));
                break;
            case 'o':
            case 'u':
            case 'x':
            case 'X':
                if (isLong) emit(va_arg(args, unsigned long));
                else if (isLongLong) emit(va_arg(args, unsigned long long));
                else if (lengthModifier == "j") emit(va_arg(args, uintmax_t));
                else if (lengthModifier == "z") emit(va_arg(args, size_t));
                else if (lengthModifier == "t") emit(va_arg(args, ptrdiff_t));
                else emit(va_arg(args, unsigned));
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (lengthModifier == "L") emit(va_arg(args, long double));
                else emit(va_arg(args, double));
                break;
            case 'c':
                if (isLong) emit(va_arg(args, wint_t));
                else emit(va_arg(args, int));
                break;
            case 'p':
                emit(va_arg(args, void*));
                break;
            case 's': {
                if (isLong) {
                    emit(va_arg(args, const wchar_t*));
                    break;
                }
                const char* text = va_arg(args, const char*);
                const std::string_view view =
                    text ? std::string_view(text, precision >= 0 ? ::strnlen(text, static_cast<size_t>(precision))
                                                                 : std::strlen(text))
                         : std::string_view();
                if (!text || !hasControlByte(view)) {
                    emit(text);
                    break;
                }
                const std::string escaped = escapeControlBytes(view);
                const size_t padding =
                    static_cast<size_t>(width) > escaped.size() ? static_cast<size_t>(width) - escaped.size() : 0;
                if (!leftJustified) out.append(padding, ' ');
                out.append(escaped);
                if (leftJustified) out.append(padding, ' ');
                break;
            }
            case 'n':
                // Nothing is counted back into the caller's variables.
                va_arg(args, void*);
                break;
            case 'm':
                out.append(std::strerror(errno));
                break;
            case '%':
                out.push_back('%');
                break;
            default:
                out.append(spec);
                break;
        }
    }
}

}  // namespace

void Log::printf(const char* format, ...) {
    char small[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = formatSimple(small, sizeof small, format, args);
    va_end(args);
    if (length >= 0) {
        va_end(again);
        write(std::string_view(small, static_cast<size_t>(length)));
        return;
    }
    std::string text;
    formatEach(text, format, again);
    va_end(again);
    write(text);
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
