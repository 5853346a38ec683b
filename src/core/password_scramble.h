#pragma once
#include <array>
#include <cstdint>
#include <string_view>

namespace tallysv {

// Scrambles a NUL-terminated password in place: the older stored form of a
// password (credentials/password_store.h has the hashed one) and the form
// of TALLYSV.INI's passwords. The result never holds a 0 byte.
void PasswordScramble(char* text);

// A password field of 32 bytes: the text cut to 31 characters, scrambled,
// zero-filled.
using PasswordField = std::array<uint8_t, 32>;
PasswordField scrambledPassword(std::string_view plain);

}  // namespace tallysv
