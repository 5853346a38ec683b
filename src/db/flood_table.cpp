#include "db/flood_table.h"

#include <algorithm>

namespace tallysv {

FloodVerdict FloodTable::registerAttempt(const IPv4Address& address) {
    for (Entry& entry : entries_) {
        if (entry.address != address) continue;
        ++entry.counter;
        if (entry.counter >= kHeavyFlood) {
            entry.counter = kHeavyFlood;
            return FloodVerdict::HeavyFlood;
        }
        return entry.counter >= kLightFlood ? FloodVerdict::LightFlood : FloodVerdict::Accept;
    }
    if (entries_.size() > kEvictAbove) entries_.pop_front();
    entries_.push_back(Entry{address, 1});
    return FloodVerdict::Accept;
}

void FloodTable::decay() {
    for (Entry& entry : entries_) entry.counter -= kDecayStep;
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.counter <= 0; }),
                   entries_.end());
}

int32_t FloodTable::counter(const IPv4Address& address) const {
    for (const Entry& entry : entries_)
        if (entry.address == address) return entry.counter;
    return 0;
}

}  // namespace tallysv
