#pragma once
// What the fuzz targets share: a sink that checks every datagram the
// server sends, a scratch folder for the database, delivery of a long
// message as the big chunks a zone would send it in, and the check that
// an input behaves the same on reused state as on state built anew.
//
// The targets keep their state (database, clock, transport) from one
// input to the next and reset it before each, which is much cheaper than
// building it again. A crash must still reproduce from its one input, so
// with TALLYSV_FUZZ_CHECK_RESET set in the environment every input runs a
// second time on state built from nothing, and what the two runs said
// (every datagram with its address, every console line, and for the
// database targets the files a save writes) must be the same.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fields.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"

namespace tallysv::fuzzing {

inline bool checkingReset() {
    static const bool checking = std::getenv("TALLYSV_FUZZ_CHECK_RESET") != nullptr;
    return checking;
}

// FNV-1a over everything a run says, in order.
class Fingerprint {
public:
    void add(const void* bytes, size_t n) {
        const auto* p = static_cast<const uint8_t*>(bytes);
        for (size_t i = 0; i < n; ++i) value_ = (value_ ^ p[i]) * 0x100000001B3ull;
        value_ = (value_ ^ n) * 0x100000001B3ull;
    }
    uint64_t value() const { return value_; }

private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

// Checks every datagram; while checking the reset, also takes them into
// the fingerprint.
class CheckingSink final : public DatagramSink {
public:
    void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
        if (bytes.empty() || bytes.size() > static_cast<size_t>(CoreTransport::kMaxDatagram)) __builtin_trap();
        if (fingerprint) {
            fingerprint->add(&to.address, sizeof to.address);
            fingerprint->add(&to.port, sizeof to.port);
            fingerprint->add(bytes.data(), bytes.size());
        }
    }
    Fingerprint* fingerprint = nullptr;
};

// Discards the console lines, or takes them into the fingerprint.
class FingerprintLog final : public Log {
public:
    void write(std::string_view text) override {
        if (fingerprint) fingerprint->add(text.data(), text.size());
    }
    Fingerprint* fingerprint = nullptr;
};

// Saves the database, made with `settings`, into its folder and takes the
// eight files into the fingerprint.
inline void addSavedFiles(Fingerprint& fingerprint, Settings& settings, Database& database) {
    DiscardLog quiet;
    settings.backupInterval = 0;
    if (!database.save(quiet)) __builtin_trap();
    for (size_t file = 0; file < kDatFileCount; ++file) {
        std::ifstream in(std::filesystem::path(database.directory()) / datLayout(static_cast<DatFile>(file)).fileName,
                         std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fingerprint.add(bytes.data(), bytes.size());
    }
}

// A folder of its own under the system's temporary folder.
inline std::string scratchFolder(const char* name) {
    auto path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
    return path.string();
}

// Delivers the message as big chunks (0x00 0x0A, the total length, a piece
// of at most 400 bytes), as the transport reassembles it.
// `core` handles each datagram to its end (a ServerCore).
template <typename Core>
void receiveInBigChunks(Core& core, const std::vector<uint8_t>& message, const PeerAddress& from) {
    for (size_t piece = 0; piece < message.size(); piece += 400) {
        size_t n = std::min<size_t>(400, message.size() - piece);
        std::vector<uint8_t> chunk(6 + n);
        chunk[1] = 0x0A;
        writeInt32(chunk.data(), 2, static_cast<int32_t>(message.size()));
        std::copy_n(message.begin() + static_cast<long>(piece), n, chunk.begin() + 6);
        core.receive(chunk, from);
    }
}

}  // namespace tallysv::fuzzing
