#pragma once
#include <array>
#include <cstdint>

namespace tallysv {

// The session cipher shared by the server and the zone side. A key of 0
// means no encryption: both operations then leave the bytes as they are.
// The first byte of a message, or the first two of a core datagram (first
// byte 0), stay in the clear so the receiver can classify the datagram
// before deciphering the rest.
struct SessionCipher {
    static constexpr int kMaxDatagram = 520;
    static constexpr int kTableSize = 260;

    int32_t sessionKey = 0;
    std::array<uint16_t, kTableSize> keyTable{};
};

// Sets the key and derives its table; the same key always gives the same
// table.
void installSessionKey(SessionCipher& cipher, int32_t key);

// Encipher and decipher a datagram in place. A datagram longer than 520
// bytes is refused (false) and left untouched; one no longer than its clear
// prefix passes unchanged. Each datagram is ciphered on its own, so a
// stored enciphered datagram can be resent as it is.
bool encryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length);
bool decryptDatagram(const SessionCipher& cipher, uint8_t* bytes, int length);

}  // namespace tallysv
