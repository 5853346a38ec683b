#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/huge_page_allocator.h"

namespace tallysv {

// An index over one table: key -> the records with that key, in table
// order. The answer to find() is the first of them, exactly what a walk of
// the table from its head would find first.
//
// Open addressing with linear probing; a slot holds the key's hash and the
// first record of the key. Further records of the same key hang off it
// through a link field in the record (Traits::next), kept in table order
// (TableLinks::tableOrder). Keys that share a record are rare (two accounts
// whose names agree on the first 19 characters), so those chains are short.
//
// Traits provides:
//   using Key = ...;
//   static Key key(const T&);
//   static uint64_t hash(const Key&);
//   static bool equal(const Key&, const T&);
//   static T*& next(T&);
template <class T, class Traits>
class ChainIndex {
public:
    using Key = typename Traits::Key;

    T* find(const Key& key) const { return find(key, Traits::hash(key)); }

    T* find(const Key& key, uint64_t hash) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.head) return nullptr;
            if (slot.hash == hash && Traits::equal(key, *slot.head)) return slot.head;
        }
    }

    // Adds a record at its place in table order.
    void insert(T* record) { insert(record, Traits::hash(Traits::key(*record))); }

    // Readies the slot of a hash in the cache, ahead of an insert.
    void prefetch(uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_], 1);
    }

    // As insert(), with the hash of the record's key already known.
    void insert(T* record, uint64_t hash) {
        Traits::next(*record) = nullptr;
        Key key = Traits::key(*record);
        if ((used_ + 1) * 2 > slots_.size()) grow();
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.head) {
                slot.hash = hash;
                slot.head = slot.tail = record;
                ++used_;
                return;
            }
            if (slot.hash == hash && Traits::equal(key, *slot.head)) {
                linkInOrder(slot, record);
                return;
            }
        }
    }

    // Takes the record out; its key must be the one it was inserted with.
    void remove(T* record) {
        if (slots_.empty()) return;
        Key key = Traits::key(*record);
        uint64_t hash = Traits::hash(key);
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.head) return;
            if (slot.hash != hash || !Traits::equal(key, *slot.head)) continue;
            unlink(slot, record);
            if (!slot.head) erase(i);
            return;
        }
    }

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

    size_t keyCount() const { return used_; }

private:
    struct Slot {
        uint64_t hash = 0;
        T* head = nullptr;
        T* tail = nullptr;  // appends, the common case, go here directly
    };

    static void linkInOrder(Slot& slot, T* record) {
        if (slot.tail->tableOrder() < record->tableOrder()) {
            Traits::next(*slot.tail) = record;
            slot.tail = record;
            return;
        }
        if (record->tableOrder() < slot.head->tableOrder()) {
            Traits::next(*record) = slot.head;
            slot.head = record;
            return;
        }
        T* previous = slot.head;
        while (Traits::next(*previous)->tableOrder() < record->tableOrder()) previous = Traits::next(*previous);
        Traits::next(*record) = Traits::next(*previous);
        Traits::next(*previous) = record;
    }

    static void unlink(Slot& slot, T* record) {
        T* previous = nullptr;
        for (T* at = slot.head; at && at != record; at = Traits::next(*at)) previous = at;
        if (previous) {
            if (Traits::next(*previous) != record) return;  // not in this chain
            Traits::next(*previous) = Traits::next(*record);
        } else if (slot.head == record) {
            slot.head = Traits::next(*record);
        } else {
            return;
        }
        if (slot.tail == record) slot.tail = previous;
        Traits::next(*record) = nullptr;
    }

    void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

    void rehash(size_t size) {
        std::vector<Slot, HugePageAllocator<Slot>> old;
        old.swap(slots_);
        slots_.assign(size, Slot{});
        mask_ = size - 1;
        for (const Slot& slot : old) {
            if (!slot.head) continue;
            size_t i = slot.hash & mask_;
            while (slots_[i].head) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    // Backward-shift deletion keeps every probe sequence unbroken.
    void erase(size_t hole) {
        --used_;
        size_t i = hole;
        for (;;) {
            i = (i + 1) & mask_;
            if (!slots_[i].head) break;
            size_t home = slots_[i].hash & mask_;
            // Move the entry back when the hole lies on its probe path.
            bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = Slot{};
    }

    std::vector<Slot, HugePageAllocator<Slot>> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace tallysv
