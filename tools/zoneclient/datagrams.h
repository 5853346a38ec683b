#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace zoneclient {

using Bytes = std::vector<uint8_t>;

// Core datagrams as a zone sends them, in the clear. Byte 0 is 0, byte 1
// the core type, integers little-endian.
Bytes connectionRequest(int32_t clientKey);
Bytes connectionReply(int32_t serverKey);
Bytes reliableDatagram(int32_t sequence, std::span<const uint8_t> payload);
Bytes acknowledgement(int32_t sequence);
Bytes syncRequest(uint32_t stamp);
Bytes syncResponse(uint32_t first, uint32_t second);
Bytes disconnectNotice();
Bytes smallChunkBody(std::span<const uint8_t> bytes);
Bytes smallChunkTail(std::span<const uint8_t> bytes);
Bytes bigChunk(int32_t total, std::span<const uint8_t> bytes);
// A message cut into small chunk bodies of `chunkSize` bytes and a tail.
std::vector<Bytes> smallChunks(std::span<const uint8_t> message, size_t chunkSize);
// A message cut into big chunks of `chunkSize` bytes announcing its length.
std::vector<Bytes> bigChunks(std::span<const uint8_t> message, size_t chunkSize);
// Several messages packed into one cluster; each must be 1 to 255 bytes
// (an empty result otherwise).
Bytes cluster(const std::vector<Bytes>& messages);

// The same datagram enciphered or deciphered with the key the server
// answered with (0: unchanged).
Bytes encrypted(int32_t serverKey, Bytes datagram);
Bytes decrypted(int32_t serverKey, Bytes datagram);

}  // namespace zoneclient
