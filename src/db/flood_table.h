#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/address.h"

namespace tallysv {

enum class FloodVerdict { Accept, LightFlood, HeavyFlood };

// Login attempts per address, shared by zone and player logins. Within one
// decay period the first three attempts from an address pass, the fourth
// and fifth are refused, every later one is dropped. The table is bounded:
// a new address evicts the oldest entry when it is full.
//
// The entries are kept oldest first in a ring, and an open-addressing index
// finds an address's entry, so an attempt costs a few probes rather than a
// walk of the whole table. The answers are those of a walk: an address has
// at most one entry, and the oldest entry is the one evicted.
class FloodTable {
public:
    struct Entry {
        IPv4Address address{};
        int32_t counter = 0;  // attempts not yet forgiven, 1 to 6
    };

    static constexpr size_t kEvictAbove = 100;  // at most 101 entries
    static constexpr size_t kCapacity = kEvictAbove + 1;
    static constexpr int32_t kLightFlood = 4;
    static constexpr int32_t kHeavyFlood = 6;
    static constexpr int32_t kDecayStep = 5;

    FloodTable();

    FloodVerdict registerAttempt(const IPv4Address& address);
    // Forgives five attempts of every address; entries at 0 or below go.
    void decay();

    // A copy of the entries, oldest first.
    std::vector<Entry> entries() const;
    size_t size() const { return count_; }
    // The counter of an address, 0 when it has no entry.
    int32_t counter(const IPv4Address& address) const;

private:
    // Index slots: a power of two comfortably above the capacity, so that
    // probe runs stay short.
    static constexpr size_t kIndexSize = 256;
    static constexpr uint8_t kNoEntry = 0xFF;
    static_assert(kCapacity < kNoEntry);

    static uint32_t keyOf(const IPv4Address& address);
    static size_t home(uint32_t key);
    // The index slot that holds the ring position of `key`, or the empty
    // slot where it would go.
    size_t probe(uint32_t key) const;
    void indexInsert(uint32_t key, uint8_t position);
    void indexErase(size_t slot);
    void rebuildIndex();

    std::array<Entry, kCapacity> ring_{};
    std::array<uint32_t, kCapacity> keys_{};  // the key of each ring position
    size_t head_ = 0;                         // ring position of the oldest entry
    size_t count_ = 0;
    std::array<uint8_t, kIndexSize> index_{};  // ring positions, kNoEntry = empty
};

}  // namespace tallysv
