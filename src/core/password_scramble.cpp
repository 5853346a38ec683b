#include "core/password_scramble.h"

#include <cstring>

namespace tallysv {

void PasswordScramble(char* text) {
    size_t n = std::strlen(text);
    uint8_t k = 0;
    for (size_t p = 0; p < n; ++p) k ^= static_cast<uint8_t>(text[p]);
    for (size_t p = 0; p < n; ++p) {
        uint8_t b = static_cast<uint8_t>(static_cast<uint8_t>(text[p]) ^ k);
        text[p] = static_cast<char>(b);
        k = static_cast<uint8_t>((k ^ (b << (b & 3))) & 255);
        if (b == 0) text[p] = static_cast<char>(237);
    }
}

PasswordField scrambledPassword(std::string_view plain) {
    PasswordField field{};
    size_t n = plain.find('\0');
    if (n == std::string_view::npos) n = plain.size();
    if (n > 31) n = 31;
    if (n != 0) std::memcpy(field.data(), plain.data(), n);
    PasswordScramble(reinterpret_cast<char*>(field.data()));
    return field;
}

}  // namespace tallysv
