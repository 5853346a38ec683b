#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>

#include "core/address.h"

namespace tallysv {

enum class FloodVerdict { Accept, LightFlood, HeavyFlood };

// Login attempts per address, shared by zone and player logins. Within one
// decay period the first three attempts from an address pass, the fourth
// and fifth are refused, every later one is dropped. The table is bounded:
// a new address evicts the oldest entry when it is full, so an attack from
// many addresses costs a bounded walk.
class FloodTable {
public:
    struct Entry {
        IPv4Address address{};
        int32_t counter = 0;  // attempts not yet forgiven, 1 to 6
    };

    static constexpr size_t kEvictAbove = 100;  // at most 101 entries
    static constexpr int32_t kLightFlood = 4;
    static constexpr int32_t kHeavyFlood = 6;
    static constexpr int32_t kDecayStep = 5;

    FloodVerdict registerAttempt(const IPv4Address& address);
    // Forgives five attempts of every address; entries at 0 or below go.
    void decay();

    const std::deque<Entry>& entries() const { return entries_; }  // oldest first
    // The counter of an address, 0 when it has no entry.
    int32_t counter(const IPv4Address& address) const;

private:
    std::deque<Entry> entries_;
};

}  // namespace tallysv
