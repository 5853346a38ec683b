#include "db/flood_table.h"

namespace tallysv {

FloodTable::FloodTable() { index_.fill(kNoEntry); }

uint32_t FloodTable::keyOf(const IPv4Address& address) {
    return static_cast<uint32_t>(address[0]) | static_cast<uint32_t>(address[1]) << 8 |
           static_cast<uint32_t>(address[2]) << 16 | static_cast<uint32_t>(address[3]) << 24;
}

size_t FloodTable::home(uint32_t key) {
    // Fibonacci hashing: the top bits of the product mix every octet.
    return static_cast<size_t>((key * 0x9E3779B1u) >> 24) & (kIndexSize - 1);
}

size_t FloodTable::probe(uint32_t key) const {
    size_t slot = home(key);
    while (index_[slot] != kNoEntry && keys_[index_[slot]] != key) slot = (slot + 1) & (kIndexSize - 1);
    return slot;
}

void FloodTable::indexInsert(uint32_t key, uint8_t position) { index_[probe(key)] = position; }

// Linear probing without tombstones: the entries after the freed slot that
// would no longer be reachable from their home slot move back into it.
void FloodTable::indexErase(size_t slot) {
    size_t hole = slot;
    size_t next = (hole + 1) & (kIndexSize - 1);
    while (index_[next] != kNoEntry) {
        size_t want = home(keys_[index_[next]]);
        // The entry at `next` may fill the hole unless its home lies
        // cyclically after the hole and at or before `next`.
        bool homeBetween = hole <= next ? (hole < want && want <= next) : (hole < want || want <= next);
        if (!homeBetween) {
            index_[hole] = index_[next];
            hole = next;
        }
        next = (next + 1) & (kIndexSize - 1);
    }
    index_[hole] = kNoEntry;
}

void FloodTable::rebuildIndex() {
    index_.fill(kNoEntry);
    for (size_t i = 0; i < count_; ++i) {
        size_t position = (head_ + i) % kCapacity;
        indexInsert(keys_[position], static_cast<uint8_t>(position));
    }
}

FloodVerdict FloodTable::registerAttempt(const IPv4Address& address) {
    const uint32_t key = keyOf(address);
    const size_t slot = probe(key);
    if (index_[slot] != kNoEntry) {
        Entry& entry = ring_[index_[slot]];
        ++entry.counter;
        if (entry.counter >= kHeavyFlood) {
            entry.counter = kHeavyFlood;
            return FloodVerdict::HeavyFlood;
        }
        return entry.counter >= kLightFlood ? FloodVerdict::LightFlood : FloodVerdict::Accept;
    }
    if (count_ > kEvictAbove) {
        // The oldest entry goes; its ring position is the one the new entry
        // takes, at the tail.
        indexErase(probe(keys_[head_]));
        head_ = (head_ + 1) % kCapacity;
        --count_;
    }
    const size_t position = (head_ + count_) % kCapacity;
    ring_[position] = Entry{address, 1};
    keys_[position] = key;
    ++count_;
    indexInsert(key, static_cast<uint8_t>(position));
    return FloodVerdict::Accept;
}

void FloodTable::decay() {
    // The survivors close up at the front of a fresh ring, in their order.
    std::array<Entry, kCapacity> ring{};
    std::array<uint32_t, kCapacity> keys{};
    size_t kept = 0;
    for (size_t i = 0; i < count_; ++i) {
        size_t from = (head_ + i) % kCapacity;
        Entry entry = ring_[from];
        entry.counter -= kDecayStep;
        if (entry.counter <= 0) continue;
        ring[kept] = entry;
        keys[kept] = keys_[from];
        ++kept;
    }
    ring_ = ring;
    keys_ = keys;
    head_ = 0;
    count_ = kept;
    rebuildIndex();
}

std::vector<FloodTable::Entry> FloodTable::entries() const {
    std::vector<Entry> out;
    out.reserve(count_);
    for (size_t i = 0; i < count_; ++i) out.push_back(ring_[(head_ + i) % kCapacity]);
    return out;
}

int32_t FloodTable::counter(const IPv4Address& address) const {
    size_t slot = probe(keyOf(address));
    return index_[slot] == kNoEntry ? 0 : ring_[index_[slot]].counter;
}

}  // namespace tallysv
