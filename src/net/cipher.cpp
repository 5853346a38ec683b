#include "net/cipher.h"

#include <bit>
#include <cstring>

#include "core/fields.h"

namespace tallysv {

void installSessionKey(SessionCipher& cipher, int32_t key) {
    cipher.sessionKey = key;
    int32_t v = key;
    for (int i = 0; i < SessionCipher::kTableSize; ++i) {
        int32_t q = v / 127773;
        int32_t r = v % 127773;
        // 32-bit two's-complement arithmetic, done unsigned so it wraps.
        uint32_t next = static_cast<uint32_t>(r) * 16807u - static_cast<uint32_t>(q) * 2836u + 123u;
        v = static_cast<int32_t>(next);
        if (v <= 0) v = static_cast<int32_t>(static_cast<uint32_t>(v) + 2147483647u);
        cipher.keyTable[static_cast<size_t>(i)] = static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu);
    }
}

namespace {

// Word i of the table: value 2i in the low half, value 2i + 1 in the high.
inline uint32_t tableWord(const SessionCipher& cipher, int i) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, cipher.keyTable.data() + 2 * i, 4);
        return v;
    } else {
        return static_cast<uint32_t>(cipher.keyTable[static_cast<size_t>(2 * i)]) |
               static_cast<uint32_t>(cipher.keyTable[static_cast<size_t>(2 * i + 1)]) << 16;
    }
}

// A little-endian word of the datagram; on a little-endian machine a plain
// load and store.
inline uint32_t loadWord(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return readUInt32(p, 0);
    }
}

inline void storeWord(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 4);
    } else {
        writeUInt32(p, 0, v);
    }
}

enum class Direction { encipher, decipher };

// The chain runs over a zero-padded area of whole words. Words past the end
// of the datagram never influence earlier ones, so only the words that hold
// datagram bytes are computed, in place; the last, partial word is padded
// on the side.
template <Direction direction>
bool run(const SessionCipher& cipher, uint8_t* bytes, int length) {
    if (length > SessionCipher::kMaxDatagram) return false;
    if (cipher.sessionKey == 0 || length < 1) return true;
    int prefix = bytes[0] == 0 ? 2 : 1;
    int body = length - prefix;
    if (body <= 0) return true;

    uint8_t* data = bytes + prefix;
    const int whole = body / 4;
    uint32_t s = static_cast<uint32_t>(cipher.sessionKey);
    for (int i = 0; i < whole; ++i) {
        uint32_t w = loadWord(data + 4 * i);
        uint32_t out = w ^ tableWord(cipher, i) ^ s;
        s = direction == Direction::encipher ? out : w;
        storeWord(data + 4 * i, out);
    }
    const int rest = body - 4 * whole;
    if (rest > 0) {
        uint8_t last[4] = {};
        std::memcpy(last, data + 4 * whole, static_cast<size_t>(rest));
        storeWord(last, loadWord(last) ^ tableWord(cipher, whole) ^ s);
        std::memcpy(data + 4 * whole, last, static_cast<size_t>(rest));
    }
    return true;
}

}  // namespace

bool encryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length) {
    return run<Direction::encipher>(cipher, bytes, length);
}

bool decryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length) {
    return run<Direction::decipher>(cipher, bytes, length);
}

}  // namespace tallysv
