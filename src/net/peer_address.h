#pragma once
#include <cstdint>
#include <string>

#include "core/address.h"

namespace tallysv {

// A peer of the transport: its IPv4 address as received (first octet
// first) and its UDP port in host byte order.
struct PeerAddress {
    IPv4Address address{};
    uint16_t port = 0;

    bool operator==(const PeerAddress&) const = default;
};

// "a.b.c.d:port"
inline std::string peerText(const PeerAddress& peer) {
    return addressText(peer.address) + ":" + std::to_string(peer.port);
}

}  // namespace tallysv
