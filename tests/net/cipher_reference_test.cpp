// The session cipher against the rule written out plainly: the bytes after
// the clear prefix go into a zero-filled work area of 130 words, the whole
// area is chained word by word, and the datagram's bytes are copied back.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "net/cipher.h"

namespace tallysv {
namespace {

std::vector<uint8_t> reference(const SessionCipher& cipher, std::vector<uint8_t> bytes, bool encipher) {
    if (cipher.sessionKey == 0 || bytes.empty()) return bytes;
    size_t prefix = bytes[0] == 0 ? 2 : 1;
    if (bytes.size() <= prefix) return bytes;
    uint8_t work[520] = {};
    for (size_t i = prefix; i < bytes.size(); ++i) work[i - prefix] = bytes[i];
    uint32_t s = static_cast<uint32_t>(cipher.sessionKey);
    for (int i = 0; i < 130; ++i) {
        uint32_t w = 0;
        for (int b = 0; b < 4; ++b) w |= static_cast<uint32_t>(work[4 * i + b]) << (8 * b);
        uint32_t table = static_cast<uint32_t>(cipher.keyTable[2 * i]) |
                         static_cast<uint32_t>(cipher.keyTable[2 * i + 1]) << 16;
        uint32_t out = w ^ table ^ s;
        s = encipher ? out : w;
        for (int b = 0; b < 4; ++b) work[4 * i + b] = static_cast<uint8_t>(out >> (8 * b));
    }
    for (size_t i = prefix; i < bytes.size(); ++i) bytes[i] = work[i - prefix];
    return bytes;
}

TEST(SessionCipherReference, EveryLengthBothWaysAsTheRuleSays) {
    std::mt19937 random(7);
    for (int32_t key : {1, -1, 0x7FFFFFFF, static_cast<int32_t>(0x80000000), 0x2468ACE, -31337}) {
        SessionCipher cipher;
        installSessionKey(cipher, key);
        for (int length = 1; length <= 520; ++length) {
            std::vector<uint8_t> bytes(static_cast<size_t>(length));
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            if (length % 3 == 0) bytes[0] = 0;  // core datagrams: two bytes in the clear
            std::vector<uint8_t> enciphered = bytes;
            encryptDatagram(cipher, enciphered.data(), length);
            EXPECT_EQ(enciphered, reference(cipher, bytes, true)) << "key " << key << ", length " << length;
            std::vector<uint8_t> deciphered = bytes;
            decryptDatagram(cipher, deciphered.data(), length);
            EXPECT_EQ(deciphered, reference(cipher, bytes, false)) << "key " << key << ", length " << length;
        }
    }
}

}  // namespace
}  // namespace tallysv
