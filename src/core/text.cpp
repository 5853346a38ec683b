#include "core/text.h"

#include <cstring>

namespace tallysv {

bool matchCommand(const char* a, const char* b, int n) {
    if (n <= 0) return std::strcmp(a, b) == 0;
    return std::strncmp(a, b, static_cast<size_t>(n)) == 0;
}

std::optional<ColonSplit> splitAtColon(std::string_view text) {
    const size_t scan = text.size() < 31 ? text.size() : 31;
    for (size_t i = 0; i < scan; ++i) {
        if (text[i] == '\0') return std::nullopt;
        if (text[i] == ':') {
            std::string_view rest = text.substr(i + 1);
            return ColonSplit{text.substr(0, i), rest.substr(0, rest.find('\0'))};
        }
    }
    return std::nullopt;
}

int normalizeName(char* destination, const char* source, int limit) {
    int length = 0;
    bool pendingBlank = false;
    for (int i = 0; i < limit && source[i] != '\0'; ++i) {
        if (source[i] == ' ') {
            pendingBlank = length > 0;
            continue;
        }
        if (pendingBlank) {
            destination[length++] = ' ';
            pendingBlank = false;
        }
        destination[length++] = source[i];
    }
    destination[length] = '\0';
    return length;
}

bool isInvalidName(const char* name) {
    auto first = static_cast<unsigned char>(name[0]);
    bool alnum = (first >= '0' && first <= '9') || (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
    if (!alnum) return true;
    for (const char* p = name; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 32 || c > 126 || c == ':' || c == '%') return true;
    }
    return false;
}

bool hasNonTextByte(const char* text) {
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 32 || c > 127) return true;
    }
    return false;
}

bool hasControlByte(std::string_view text) {
    for (char c : text)
        if (isControlByte(c)) return true;
    return false;
}

void appendControlBytesEscaped(std::string& out, std::string_view text, std::string_view kept) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : text) {
        if (!isControlByte(c) || kept.find(c) != std::string_view::npos) {
            out.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escaped, sizeof escaped);
    }
}

std::string escapeControlBytes(std::string_view text, std::string_view kept) {
    std::string out;
    out.reserve(text.size() + 8);
    appendControlBytesEscaped(out, text, kept);
    return out;
}

bool isBadTimeZoneBias(int16_t bias) { return bias < -720 || bias > 720 || bias % 30 != 0; }

}  // namespace tallysv
