#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "credentials/password_store.h"

namespace tallysv {

// A fixed-size text field as the records keep it: NUL-terminated, at most
// N - 1 characters, the rest of the field zero. Every write goes through
// set(), so the last byte is always 0 and c_str() is always terminated.
template <size_t N>
struct FixedText {
    static_assert(N >= 1);
    std::array<char, N> bytes{};

    // Copies text cut to N - 1 characters (and at an embedded NUL).
    void set(std::string_view text) {
        size_t n = text.size() < N - 1 ? text.size() : N - 1;
        if (n > 0) {
            if (const void* nul = std::memchr(text.data(), 0, n))
                n = static_cast<size_t>(static_cast<const char*>(nul) - text.data());
            std::memcpy(bytes.data(), text.data(), n);
        }
        std::memset(bytes.data() + n, 0, N - n);
    }
    // Takes a field of `size` bytes from a file record: its text up to the
    // first NUL or the field's end, cut to fit.
    void setFromField(const uint8_t* field, size_t size) {
        size_t limit = size < N - 1 ? size : N - 1;
        size_t n = 0;
        while (n < limit && field[n] != 0) ++n;
        std::memcpy(bytes.data(), field, n);
        std::memset(bytes.data() + n, 0, N - n);
    }
    std::string_view view() const { return std::string_view(bytes.data(), std::strlen(bytes.data())); }
    const char* c_str() const { return bytes.data(); }
    bool empty() const { return bytes[0] == 0; }
};

// A password field read from a file: a hash whole, a scrambled text up to
// its first NUL or its 31st byte (see passwordFieldFromFile).
inline PasswordField passwordFromField(const uint8_t* field) { return passwordFieldFromFile(field); }

inline char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Account and operator names are compared on at most their first 19
// characters, without regard to ASCII case.
constexpr size_t kNameCompareLength = 19;

// True when the texts agree, ASCII case aside, on at most `limit` characters
// (the whole texts when limit is 0).
inline bool equalFolded(std::string_view a, std::string_view b, size_t limit = 0) {
    if (limit != 0) {
        if (a.size() > limit) a = a.substr(0, limit);
        if (b.size() > limit) b = b.substr(0, limit);
    }
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    return true;
}

// Hash of a text folded to lower case, over at most `limit` characters
// (all when 0). Agrees with equalFolded: equal texts hash equally.
inline uint64_t hashFolded(std::string_view text, size_t limit = 0) {
    if (limit != 0 && text.size() > limit) text = text.substr(0, limit);
    uint64_t h = 1469598103934665603ull;
    for (char c : text) {
        h ^= static_cast<uint8_t>(foldAscii(c));
        h *= 1099511628211ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

inline uint64_t hashInt32(int32_t key) {
    uint64_t h = static_cast<uint32_t>(key);
    h ^= h >> 16;
    h *= 0x85ebca6bull * 0x9e3779b97f4a7c15ull;
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 29;
    return h;
}

// A text cut at its first NUL, for names handed in from messages.
inline std::string_view untilNul(std::string_view text) {
    size_t n = text.find('\0');
    return n == std::string_view::npos ? text : text.substr(0, n);
}

}  // namespace tallysv
