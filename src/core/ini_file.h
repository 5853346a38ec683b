#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/wiped_string.h"

namespace tallysv {

// A profile (INI) file as the server reads it: "[Section]" lines open a
// section, "key=value" lines give values, names match without regard to
// case (ASCII), and a missing file, section or key yields the default.
// Lines outside any section and lines without "=" are ignored; of keys
// given more than once (also in a repeated section) the first one wins.
class IniFile {
public:
    IniFile() = default;
    static IniFile parse(std::string_view text);
    // Reads `path`; an unreadable or missing file reads as an empty one. The
    // file's text is wiped once parsed, and the values when the object goes.
    static IniFile load(const std::string& path);

    // The value cut to at most `limit` characters and at its first NUL, or
    // the default (cut the same way) when the key is missing.
    std::string get(std::string_view section, std::string_view key, std::string_view fallback, size_t limit) const;

private:
    struct Entry {
        std::string section;  // folded to lower case
        std::string key;      // folded to lower case
        WipedString value;    // the settings' passwords are among them
    };
    std::vector<Entry> entries_;
};

// Converts as the C library's atoi on a 64-bit platform does: leading white
// space, an optional sign, digits up to the first non-digit, no digits is 0;
// the value wraps to 32 bits.
int32_t profileNumber(std::string_view text);

}  // namespace tallysv
