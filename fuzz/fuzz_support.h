#pragma once
// What the zone-level fuzz targets share: a sink that checks every datagram
// the server sends, a scratch folder for the database, and delivery of a
// long message as the big chunks a zone would send it in.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "core/fields.h"
#include "net/core_transport.h"

namespace tallysv::fuzzing {

class CheckingSink final : public DatagramSink {
public:
    void send(const PeerAddress&, std::span<const uint8_t> bytes) override {
        if (bytes.empty() || bytes.size() > static_cast<size_t>(CoreTransport::kMaxDatagram)) __builtin_trap();
    }
};

// A folder of its own under the system's temporary folder.
inline std::string scratchFolder(const char* name) {
    auto path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
    return path.string();
}

// Delivers the message as big chunks (0x00 0x0A, the total length, a piece
// of at most 400 bytes), as the transport reassembles it.
inline void receiveInBigChunks(CoreTransport& transport, const std::vector<uint8_t>& message, const PeerAddress& from) {
    for (size_t piece = 0; piece < message.size(); piece += 400) {
        size_t n = std::min<size_t>(400, message.size() - piece);
        std::vector<uint8_t> chunk(6 + n);
        chunk[1] = 0x0A;
        writeInt32(chunk.data(), 2, static_cast<int32_t>(message.size()));
        std::copy_n(message.begin() + static_cast<long>(piece), n, chunk.begin() + 6);
        transport.receive(chunk, from);
    }
}

}  // namespace tallysv::fuzzing
