#include "zoneclient/datagrams.h"

#include <algorithm>
#include <cstring>

#include "core/fields.h"
#include "net/cipher.h"

namespace zoneclient {

using tallysv::writeInt32;
using tallysv::writeUInt32;

namespace {

Bytes core(uint8_t type, size_t size) {
    Bytes d(size, 0);
    d[1] = type;
    return d;
}

Bytes withBody(uint8_t type, size_t header, std::span<const uint8_t> body) {
    // Sized once and copied into: an insert at the end trips a false
    // array-bounds warning of GCC 12 at -O3.
    Bytes d = core(type, header + body.size());
    if (!body.empty()) std::memcpy(d.data() + header, body.data(), body.size());
    return d;
}

}  // namespace

Bytes connectionRequest(int32_t clientKey) {
    Bytes d = core(0x01, 8);
    writeInt32(d.data(), 2, clientKey);
    d[6] = 0x01;  // protocol version as zones send it; the server does not read it
    return d;
}

Bytes connectionReply(int32_t serverKey) {
    Bytes d = core(0x02, 6);
    writeInt32(d.data(), 2, serverKey);
    return d;
}

Bytes reliableDatagram(int32_t sequence, std::span<const uint8_t> payload) {
    Bytes d = withBody(0x03, 6, payload);
    writeInt32(d.data(), 2, sequence);
    return d;
}

Bytes acknowledgement(int32_t sequence) {
    Bytes d = core(0x04, 6);
    writeInt32(d.data(), 2, sequence);
    return d;
}

Bytes syncRequest(uint32_t stamp) {
    Bytes d = core(0x05, 6);
    writeUInt32(d.data(), 2, stamp);
    return d;
}

Bytes syncResponse(uint32_t first, uint32_t second) {
    Bytes d = core(0x06, 10);
    writeUInt32(d.data(), 2, first);
    writeUInt32(d.data(), 6, second);
    return d;
}

Bytes disconnectNotice() { return core(0x07, 2); }

Bytes smallChunkBody(std::span<const uint8_t> bytes) { return withBody(0x08, 2, bytes); }

Bytes smallChunkTail(std::span<const uint8_t> bytes) { return withBody(0x09, 2, bytes); }

Bytes bigChunk(int32_t total, std::span<const uint8_t> bytes) {
    Bytes d = withBody(0x0A, 6, bytes);
    writeInt32(d.data(), 2, total);
    return d;
}

std::vector<Bytes> smallChunks(std::span<const uint8_t> message, size_t chunkSize) {
    std::vector<Bytes> out;
    if (chunkSize == 0 || message.empty()) return out;
    size_t offset = 0;
    while (message.size() - offset > chunkSize) {
        out.push_back(smallChunkBody(message.subspan(offset, chunkSize)));
        offset += chunkSize;
    }
    out.push_back(smallChunkTail(message.subspan(offset)));
    return out;
}

std::vector<Bytes> bigChunks(std::span<const uint8_t> message, size_t chunkSize) {
    std::vector<Bytes> out;
    if (chunkSize == 0 || message.empty()) return out;
    for (size_t offset = 0; offset < message.size(); offset += chunkSize) {
        size_t n = std::min(chunkSize, message.size() - offset);
        out.push_back(bigChunk(static_cast<int32_t>(message.size()), message.subspan(offset, n)));
    }
    return out;
}

Bytes cluster(const std::vector<Bytes>& messages) {
    Bytes d = core(0x0E, 2);
    for (const Bytes& m : messages) {
        if (m.empty() || m.size() > 255) return {};
        d.push_back(static_cast<uint8_t>(m.size()));
        d.insert(d.end(), m.begin(), m.end());
    }
    return d;
}

Bytes encrypted(int32_t serverKey, Bytes datagram) {
    if (serverKey == 0) return datagram;
    tallysv::SessionCipher cipher;
    tallysv::installSessionKey(cipher, serverKey);
    tallysv::encryptDatagram(cipher, datagram.data(), static_cast<int>(datagram.size()));
    return datagram;
}

Bytes decrypted(int32_t serverKey, Bytes datagram) {
    if (serverKey == 0) return datagram;
    tallysv::SessionCipher cipher;
    tallysv::installSessionKey(cipher, serverKey);
    tallysv::decryptDatagram(cipher, datagram.data(), static_cast<int>(datagram.size()));
    return datagram;
}

}  // namespace zoneclient
