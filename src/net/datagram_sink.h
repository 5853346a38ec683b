#pragma once
#include <cstdint>
#include <span>

#include "net/peer_address.h"

namespace tallysv {

// Where the transport's outgoing datagrams go: the UDP socket in the
// server, a recorder in tests. Send errors are not reported back.
class DatagramSink {
public:
    virtual ~DatagramSink() = default;
    virtual void send(const PeerAddress& to, std::span<const uint8_t> bytes) = 0;
    // Sends at once what a sink that gathers datagrams holds so far: the
    // server is about to wait, and what it said before must not wait too.
    virtual void flush() {}
};

}  // namespace tallysv
