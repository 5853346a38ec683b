#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace tallysv::testing {

// A network that loses, duplicates, delays and reorders datagrams, driven
// by a seed and the fake clock, between the server and the links of many
// zones. Links form groups (link / groupSpan: the links of one zone, say,
// whatever its port); a group may be cut for a while (a partition): nothing
// posted on its links, nor anything still on its way, gets through until
// it heals.
class SimulatedNetwork {
public:
    using Bytes = std::vector<uint8_t>;

    SimulatedNetwork(uint32_t seed, double loss, double duplication, uint32_t maxDelay = 250, int groupSpan = 1)
        : random_(seed), loss_(loss), duplication_(duplication), maxDelay_(maxDelay), groupSpan_(groupSpan) {}

    void post(bool toServer, int link, const Bytes& datagram, uint32_t now) {
        if (cut(link, now)) return;
        if (chance(loss_)) return;
        int copies = chance(duplication_) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            uint32_t delay = std::uniform_int_distribution<uint32_t>(1, maxDelay_)(random_);
            queue_.push_back({now + delay, toServer, link, datagram});
        }
    }

    // Cuts the links of a group until the tick `until`.
    void partition(int group, uint32_t until) { cutUntil_[group] = until; }
    bool cut(int link, uint32_t now) const {
        auto it = cutUntil_.find(link / groupSpan_);
        return it != cutUntil_.end() && static_cast<int32_t>(it->second - now) > 0;
    }

    // Hands every datagram that is due to `deliver`, in order of due time.
    template <typename Deliver>
    void deliverDue(uint32_t now, Deliver deliver) {
        std::stable_sort(queue_.begin(), queue_.end(), [](const auto& a, const auto& b) { return a.due < b.due; });
        size_t due = 0;
        while (due < queue_.size() && queue_[due].due <= now) ++due;
        std::vector<InTransit> ready(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(due));
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(due));
        for (const InTransit& d : ready) {
            if (!cut(d.link, now)) deliver(d.toServer, d.link, d.bytes);
        }
    }

    size_t inTransit() const { return queue_.size(); }

private:
    struct InTransit {
        uint32_t due;
        bool toServer;
        int link;
        Bytes bytes;
    };
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    std::mt19937 random_;
    double loss_;
    double duplication_;
    uint32_t maxDelay_;
    int groupSpan_;
    std::vector<InTransit> queue_;
    std::map<int, uint32_t> cutUntil_;
};

}  // namespace tallysv::testing
