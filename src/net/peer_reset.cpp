#include "net/peer_reset.h"

namespace tallysv {

namespace {

uint32_t addressKey(const IPv4Address& address) {
    return static_cast<uint32_t>(address[0]) << 24 | static_cast<uint32_t>(address[1]) << 16 |
           static_cast<uint32_t>(address[2]) << 8 | static_cast<uint32_t>(address[3]);
}

}  // namespace

std::span<const uint8_t> PeerReset::answer(std::span<const uint8_t> datagram, const IPv4Address& from,
                                           uint32_t now) {
    if (datagram.size() < sizeof kNotice) return {};
    if (datagram[0] == 0x00 && (datagram[1] == 0x01 || datagram[1] == kNotice[1])) return {};
    if (!allow(from, now)) return {};
    return std::span<const uint8_t>(kNotice, sizeof kNotice);
}

bool PeerReset::allow(const IPv4Address& from, uint32_t now) {
    const uint32_t key = addressKey(from);
    auto it = windows_.find(key);
    if (it == windows_.end()) {
        if (windows_.size() >= kMaxAddresses) {
            forgetEnded(now);
            if (windows_.size() >= kMaxAddresses) return false;
        }
        windows_.emplace(key, Window{now, 1});
        return true;
    }
    Window& window = it->second;
    // Ticks wrap: the age is an unsigned difference.
    if (now - window.start >= kWindow) {
        window = Window{now, 1};
        return true;
    }
    if (window.answers >= kAnswersPerWindow) return false;
    ++window.answers;
    return true;
}

void PeerReset::forgetEnded(uint32_t now) {
    // Until the oldest window held ends there is nothing to forget.
    if (sweepDue_ && static_cast<int32_t>(now - nextSweep_) < 0) return;
    std::erase_if(windows_, [now](const auto& entry) { return now - entry.second.start >= kWindow; });
    sweepDue_ = !windows_.empty();
    uint32_t oldestAge = 0;
    for (const auto& [key, window] : windows_) {
        if (now - window.start >= oldestAge) {
            oldestAge = now - window.start;
            nextSweep_ = window.start + kWindow;
        }
    }
}

}  // namespace tallysv
