#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

#include "core/address.h"

namespace tallysv {

// The answer to a datagram from an address that has no session with this
// server: the disconnect notice. A zone that was talking to another machine
// at this address (one that died, whose address this server took over)
// then ends its old session at its next datagram and connects again,
// instead of waiting out a long silence first.
//
// Since anyone can send a datagram with someone else's address on it, the
// answer is never larger than what came in, and each address gets only a
// few a second: this server cannot be used to flood a third party.
class PeerReset {
public:
    static constexpr uint8_t kNotice[2] = {0x00, 0x07};
    // Answers per address within one window.
    static constexpr int kAnswersPerWindow = 4;
    static constexpr uint32_t kWindow = 1000;  // ms
    // Addresses remembered at once; past that, addresses not yet seen get
    // no answer until windows have run out.
    static constexpr size_t kMaxAddresses = 4096;

    // The bytes to send back to `from` for `datagram`, received at `now`;
    // empty for no answer. Connection requests start a session and are
    // never answered here, nor are disconnect notices (two servers would
    // otherwise answer each other) or datagrams shorter than the notice.
    std::span<const uint8_t> answer(std::span<const uint8_t> datagram, const IPv4Address& from, uint32_t now);

    size_t addressesHeld() const { return windows_.size(); }

private:
    struct Window {
        uint32_t start = 0;
        int answers = 0;
    };
    bool allow(const IPv4Address& from, uint32_t now);
    void forgetEnded(uint32_t now);

    std::unordered_map<uint32_t, Window> windows_;
    // When the oldest window held ends: a full table is searched again only
    // then, however many datagrams arrive before.
    uint32_t nextSweep_ = 0;
    bool sweepDue_ = false;
};

}  // namespace tallysv
