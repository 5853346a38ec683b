#include "core/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tallysv {
namespace {

std::string folded(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string cut(std::string_view text, size_t limit) {
    size_t nul = text.find('\0');
    if (nul < text.size()) text = text.substr(0, nul);
    return std::string(text.substr(0, limit));
}

}  // namespace

IniFile IniFile::parse(std::string_view text) {
    IniFile file;
    bool inSection = false;
    std::string section;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            std::string_view name = line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
            section = folded(trimmed(name));
            inSection = true;
            continue;
        }
        if (!inSection) continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view value = trimmed(line.substr(equals + 1));
        // A value in matching quotes is read without them.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        file.entries_.push_back(Entry{section, folded(trimmed(line.substr(0, equals))), WipedString(value)});
    }
    return file;
}

IniFile IniFile::load(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return IniFile{};
    // Read into one buffer of the file's size, not through a stream's
    // buffers, so that the one copy of its passwords can be wiped.
    std::string text;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) text.reserve(static_cast<size_t>(info.st_size));
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() + static_cast<size_t>(n) > text.capacity()) {
            // Grown while read: the old buffer is wiped before it is freed.
            std::string larger;
            larger.reserve(2 * (text.size() + static_cast<size_t>(n)));
            larger = text;
            wipeString(text);
            text.swap(larger);
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    wipeBytes(chunk, sizeof chunk);
    ::close(fd);
    IniFile file = parse(text);
    wipeString(text);
    return file;
}

std::string IniFile::get(std::string_view section, std::string_view key, std::string_view fallback,
                         size_t limit) const {
    std::string wantedSection = folded(section);
    std::string wantedKey = folded(key);
    for (const Entry& entry : entries_) {
        if (entry.section == wantedSection && entry.key == wantedKey) return cut(entry.value, limit);
    }
    return cut(fallback, limit);
}

int32_t profileNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (isBlank(text[i]) || text[i] == '\n' || text[i] == '\r')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Beyond 64 bits the library clamps; values here are at most 15 characters.
        if (value < (UINT64_MAX - 9) / 10) value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (negative) value = ~value + 1;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace tallysv
