#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace tallysv {

// A number typed as a command argument, read like atoi (leading blanks,
// an optional sign, digits up to the first non-digit; no digit reads as 0)
// but over all of its digits: no value when it does not fit 32 bits, so a
// long number never names a shorter one ("12345" is not record 1234).
inline std::optional<int32_t> wholeNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(value);
}

}  // namespace tallysv
