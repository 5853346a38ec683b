#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/huge_page_allocator.h"

namespace tallysv {

// The slot array of the record indexes: open addressing with linear
// probing, at most half full, doubled when it would be fuller, and
// backward-shift deletion. A slot is free when its `head` is null. Home
// gives the hash a slot's key probes from: `static uint64_t hash(const
// Slot&)`.
template <class Slot, class Home>
class ProbeSlots {
public:
    bool empty() const { return slots_.empty(); }
    size_t start(uint64_t hash) const { return hash & mask_; }
    size_t next(size_t i) const { return (i + 1) & mask_; }
    Slot& operator[](size_t i) { return slots_[i]; }
    const Slot& operator[](size_t i) const { return slots_[i]; }

    // Before a key may take a free slot.
    void makeRoomForOne() {
        if ((used_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    }
    // A free slot was filled.
    void taken() { ++used_; }

    // Room for `keys` keys, so that filling the index from the files
    // does not copy it over and over (and hold two copies at the last).
    void reserve(size_t keys) {
        size_t wanted = 16;
        while (wanted < keys * 2 + 2) wanted *= 2;
        if (wanted > slots_.size()) rehash(wanted);
    }

    void clear() {
        slots_.clear();
        mask_ = 0;
        used_ = 0;
    }

    // Frees a slot. Backward-shift deletion keeps every probe sequence
    // unbroken.
    void erase(size_t hole) {
        --used_;
        size_t i = hole;
        for (;;) {
            i = (i + 1) & mask_;
            if (!slots_[i].head) break;
            size_t home = Home::hash(slots_[i]) & mask_;
            // Move the entry back when the hole lies on its probe path.
            bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = Slot{};
    }

    size_t used() const { return used_; }
    size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    void rehash(size_t size) {
        std::vector<Slot, HugePageAllocator<Slot>> old;
        old.swap(slots_);
        slots_.assign(size, Slot{});
        mask_ = size - 1;
        for (const Slot& slot : old) {
            if (!slot.head) continue;
            size_t i = Home::hash(slot) & mask_;
            while (slots_[i].head) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot, HugePageAllocator<Slot>> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace tallysv
