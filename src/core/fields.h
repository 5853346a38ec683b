#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tallysv {

// Little-endian, unaligned field access for wire messages and file records.
// Callers check lengths before reading; these never cast bytes to structs.

inline int32_t readInt32(const uint8_t* bytes, int offset) {
    const uint8_t* p = bytes + offset;
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

inline uint32_t readUInt32(const uint8_t* bytes, int offset) {
    return static_cast<uint32_t>(readInt32(bytes, offset));
}

inline uint16_t readUInt16(const uint8_t* bytes, int offset) {
    const uint8_t* p = bytes + offset;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline int16_t readInt16(const uint8_t* bytes, int offset) {
    return static_cast<int16_t>(readUInt16(bytes, offset));
}

inline void writeInt32(uint8_t* bytes, int offset, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    uint8_t* p = bytes + offset;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void writeUInt32(uint8_t* bytes, int offset, uint32_t value) {
    writeInt32(bytes, offset, static_cast<int32_t>(value));
}

inline void writeUInt16(uint8_t* bytes, int offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void writeInt16(uint8_t* bytes, int offset, int16_t value) {
    writeUInt16(bytes, offset, static_cast<uint16_t>(value));
}

// A fixed-size text field: its text runs to the first NUL or the field's end.
inline std::string_view fieldText(const uint8_t* bytes, int offset, int size) {
    const char* p = reinterpret_cast<const char*>(bytes + offset);
    const void* nul = std::memchr(p, 0, static_cast<size_t>(size));
    size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : static_cast<size_t>(size);
    return std::string_view(p, len);
}

// Copies text into a fixed-size field: cut to size - 1 characters, the rest
// of the field zero.
inline void writeFieldText(uint8_t* bytes, int offset, int size, std::string_view text) {
    size_t n = text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
    size_t nul = text.find('\0');
    if (nul < n) n = nul;
    std::memset(bytes + offset, 0, static_cast<size_t>(size));
    std::memcpy(bytes + offset, text.data(), n);
}

}  // namespace tallysv
