#include "net/cipher.h"

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
    return static_cast<uint32_t>(cipher.keyTable[static_cast<size_t>(2 * i)]) |
           static_cast<uint32_t>(cipher.keyTable[static_cast<size_t>(2 * i + 1)]) << 16;
}

enum class Direction { encipher, decipher };

bool run(const SessionCipher& cipher, uint8_t* bytes, int length, Direction direction) {
    if (length > SessionCipher::kMaxDatagram) return false;
    if (cipher.sessionKey == 0 || length < 1) return true;
    int prefix = bytes[0] == 0 ? 2 : 1;
    int body = length - prefix;
    if (body <= 0) return true;

    // The chain runs over a zero-padded work area of whole words. Words past
    // the end of the datagram never influence earlier ones, so only the words
    // that hold datagram bytes are computed.
    uint8_t work[SessionCipher::kMaxDatagram] = {};
    std::memcpy(work, bytes + prefix, static_cast<size_t>(body));
    int words = (body + 3) / 4;
    uint32_t s = static_cast<uint32_t>(cipher.sessionKey);
    for (int i = 0; i < words; ++i) {
        uint32_t w = readUInt32(work, 4 * i);
        uint32_t out = w ^ tableWord(cipher, i) ^ s;
        s = direction == Direction::encipher ? out : w;
        writeUInt32(work, 4 * i, out);
    }
    std::memcpy(bytes + prefix, work, static_cast<size_t>(body));
    return true;
}

}  // namespace

bool encryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length) {
    return run(cipher, bytes, length, Direction::encipher);
}

bool decryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length) {
    return run(cipher, bytes, length, Direction::decipher);
}

}  // namespace tallysv
