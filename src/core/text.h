#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallysv {

// True when the first n characters of a and b are equal, or when a and b
// are equal and both end before n characters. Case-sensitive. n <= 0
// compares the whole texts. Commands are recognised by a fixed prefix.
bool matchCommand(const char* a, const char* b, int n);

// "name:rest" in `text`: the colon among its first 31 characters, before
// any NUL. The rest runs from after the colon to the first NUL or the end.
struct ColonSplit {
    std::string_view name;
    std::string_view rest;
};
std::optional<ColonSplit> splitAtColon(std::string_view text);

// Copies at most `limit` characters of source (stopping at NUL) into
// destination, dropping leading and trailing blanks and collapsing runs of
// blanks into one. Writes the terminating NUL (destination holds limit + 1)
// and returns the new length. Only the blank (32) counts as blank.
int normalizeName(char* destination, const char* source, int limit);

// Names must start with an ASCII letter or digit and hold only bytes 32 to
// 126, without ':' and '%'. An empty name is invalid.
bool isInvalidName(const char* name);

// True when any byte is below 32 or above 127.
bool hasNonTextByte(const char* text);

// Control bytes: below 32, and 127. A zone's text holding one could end a
// console line early and forge the next one, or steer the terminal that
// shows it; such a byte is shown as "\x" and two lower-case hex digits.
inline bool isControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
}
bool hasControlByte(std::string_view text);
// The number of bytes before the first control byte of a NUL-terminated
// text, its NUL being one: the whole length when the text holds none. One
// pass, for texts on the way to the console at every login.
inline size_t lengthBeforeControlByte(const char* text) {
    const char* end = text;
    while (!isControlByte(*end)) ++end;
    return static_cast<size_t>(end - text);
}
// `text` with every control byte written as "\x0a" (and so on), except the
// bytes in `kept`; everything else, the backslash too, as it is.
void appendControlBytesEscaped(std::string& out, std::string_view text, std::string_view kept = {});
std::string escapeControlBytes(std::string_view text, std::string_view kept = {});

inline int32_t lesser(int32_t a, int32_t b) { return a < b ? a : b; }

// False only for a multiple of 30 minutes from -720 to 720 inclusive.
bool isBadTimeZoneBias(int16_t bias);

// MachineIDs below 31338 come from faked clients.
inline bool isLowMachineID(int32_t id) { return id < 31338; }

// With AllowNoMachineID, MachineID 0 is a client without a machine (zones
// send it for chat clients and bots): it names no machine at all.
inline bool namesNoMachine(int32_t id, bool allowNoMachineID) { return allowNoMachineID && id == 0; }
// Whether two MachineIDs name one machine; two clients without a machine
// are not on the same one.
inline bool sameMachine(int32_t a, int32_t b, bool allowNoMachineID) {
    return a == b && !namesNoMachine(a, allowNoMachineID);
}

inline bool anyNotPositive(int32_t a, int32_t b, int32_t c) { return a <= 0 || b <= 0 || c <= 0; }

}  // namespace tallysv
