#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "net/cipher.h"

namespace tallysv {
namespace {

std::vector<uint8_t> pattern(int length, uint8_t first) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
    bytes[0] = first;
    return bytes;
}

TEST(SessionCipher, KeyTableFollowsTheGenerator) {
    SessionCipher cipher;
    installSessionKey(cipher, 1);
    // v = 1 * 16807 - 0 + 123, then v = 16930 * 16807 ... each step keeps
    // the low 16 bits.
    EXPECT_EQ(cipher.keyTable[0], 16930);
    int32_t v = 16930;
    int32_t q = v / 127773, r = v % 127773;
    int64_t next = static_cast<int64_t>(r) * 16807 - static_cast<int64_t>(q) * 2836 + 123;
    EXPECT_EQ(cipher.keyTable[1], static_cast<uint16_t>(next & 0xFFFF));

    SessionCipher again;
    installSessionKey(again, 1);
    EXPECT_EQ(cipher.keyTable, again.keyTable);
}

TEST(SessionCipher, NegativeKeysWrapIntoThePositiveRange) {
    // A negative key gives a negative remainder; v is lifted by 2^31 - 1
    // whenever it is not above zero.
    SessionCipher cipher;
    installSessionKey(cipher, -5);
    int32_t v = -5 * 16807 + 123;
    v += 2147483647;
    EXPECT_EQ(cipher.keyTable[0], static_cast<uint16_t>(v & 0xFFFF));
}

// Every length from 1 to 520, with a core datagram and a message, for a few
// keys: the round trip restores the bytes and the clear prefix stays.
TEST(SessionCipher, RoundTripsEveryLengthAndKeepsTheClearPrefix) {
    for (int32_t key : {1, -1, 0x7FFFFFFF, static_cast<int32_t>(0x80000000), -0x1234567}) {
        SessionCipher cipher;
        installSessionKey(cipher, key);
        for (int length = 1; length <= 520; ++length) {
            for (uint8_t first : {uint8_t{0x00}, uint8_t{0x13}}) {
                std::vector<uint8_t> plain = pattern(length, first);
                std::vector<uint8_t> sealed = plain;
                ASSERT_TRUE(encryptDatagram(cipher, sealed.data(), length));
                int prefix = first == 0 ? 2 : 1;
                for (int i = 0; i < std::min(prefix, length); ++i) ASSERT_EQ(sealed[static_cast<size_t>(i)], plain[static_cast<size_t>(i)]);
                if (length > prefix + 3) {
                    ASSERT_NE(sealed, plain) << "key " << key << " length " << length;
                }
                ASSERT_TRUE(decryptDatagram(cipher, sealed.data(), length));
                ASSERT_EQ(sealed, plain) << "key " << key << " length " << length;
            }
        }
    }
}

TEST(SessionCipher, ShortDatagramsAndKeyZeroPassUnchanged) {
    SessionCipher keyed;
    installSessionKey(keyed, 99);
    SessionCipher none;
    struct Case {
        const SessionCipher* cipher;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c : {Case{&keyed, {0x00, 0x07}}, Case{&keyed, {0x00}}, Case{&keyed, {0x42}},
                          Case{&none, {0x00, 0x03, 1, 2, 3, 4, 5, 6}}, Case{&none, {0x09, 1, 2, 3}}}) {
        std::vector<uint8_t> bytes = c.bytes;
        EXPECT_TRUE(encryptDatagram(*c.cipher, bytes.data(), static_cast<int>(bytes.size())));
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_TRUE(decryptDatagram(*c.cipher, bytes.data(), static_cast<int>(bytes.size())));
        EXPECT_EQ(bytes, c.bytes);
    }
}

TEST(SessionCipher, EachDatagramChainsOnItsOwn) {
    // Two hosts with the same key encipher the same datagram identically,
    // and a datagram enciphers the same however often it is done.
    SessionCipher a, b;
    installSessionKey(a, 4242);
    installSessionKey(b, 4242);
    std::vector<uint8_t> first = pattern(100, 0x05), second = first;
    encryptDatagram(a, first.data(), 100);
    encryptDatagram(b, second.data(), 100);
    EXPECT_EQ(first, second);
    // A flipped bit changes its own word and, through the chain, the same
    // bit of every later word; nothing before it.
    std::vector<uint8_t> plain = pattern(100, 0x05), changed = plain;
    changed[50] ^= 1;  // byte 1 of word 12 after the one-byte prefix
    encryptDatagram(a, plain.data(), 100);
    encryptDatagram(a, changed.data(), 100);
    for (size_t i = 0; i < 100; ++i) {
        bool inChain = i >= 50 && (i - 50) % 4 == 0;
        EXPECT_EQ(plain[i] ^ changed[i], inChain ? 1 : 0) << "byte " << i;
    }
}

TEST(SessionCipher, RefusesDatagramsLongerThan520Bytes) {
    SessionCipher cipher;
    installSessionKey(cipher, 7);
    std::vector<uint8_t> bytes = pattern(521, 0x01), original = bytes;
    EXPECT_FALSE(encryptDatagram(cipher, bytes.data(), 521));
    EXPECT_FALSE(decryptDatagram(cipher, bytes.data(), 521));
    EXPECT_EQ(bytes, original);
}

}  // namespace
}  // namespace tallysv
