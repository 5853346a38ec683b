#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "zoneclient/datagrams.h"

namespace zoneclient {

// A UDP socket for a zone: bound to an ephemeral local port, or to a fixed
// one when given, talking to one server address.
class UdpClient {
public:
    UdpClient() = default;
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    // `server` is "HOST:PORT"; false with a reason when it cannot be used.
    bool open(const std::string& server, std::string& reason, uint16_t localPort = 0);
    bool open(const std::string& host, uint16_t port, std::string& reason, uint16_t localPort = 0);
    void send(std::span<const uint8_t> datagram);
    // The next datagram from the server, waiting at most `timeoutMs`.
    std::optional<Bytes> receive(int timeoutMs);
    int descriptor() const { return fd_; }
    uint16_t localPort() const;

private:
    int fd_ = -1;
    uint32_t serverAddress_ = 0;  // network order
    uint16_t serverPort_ = 0;     // network order
};

// Milliseconds from the monotonic clock, cut to 32 bits.
uint32_t monotonicTick();

}  // namespace zoneclient
