#pragma once
#include <cstddef>
#include <cstdint>

#include "db/probe_slots.h"

namespace tallysv {

// The links a record carries for one BucketIndex.
template <class T>
struct BucketLinks {
    T* previous = nullptr;
    T* next = nullptr;
};

// An index over one table that lists every record with a key, in no
// particular order: key -> bucket. Unlike ChainIndex it does not keep table
// order, so that a record whose key changes (an account seen from a new
// address) moves in a few steps however many records share its old and new
// keys; a caller that needs table order sorts what it gathered.
//
// Open addressing with linear probing; a slot holds the key and the first
// record of its bucket, the rest hang off it through links in the records
// (Traits::links). The key a record is filed under is the caller's to give
// and to give again when taking the record out.
//
// Traits provides:
//   using Key = ...;  (small, compared with ==)
//   static uint64_t hash(Key);
//   static BucketLinks<T>& links(T&);
template <class T, class Traits>
class BucketIndex {
public:
    using Key = typename Traits::Key;

    // The first record with the key, none when no record has it; the others
    // follow through Traits::links(...).next.
    T* bucket(Key key) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = slots_.start(Traits::hash(key));; i = slots_.next(i)) {
            const Slot& slot = slots_[i];
            if (!slot.head) return nullptr;
            if (slot.key == key) return slot.head;
        }
    }

    void insert(T* record, Key key) {
        BucketLinks<T>& links = Traits::links(*record);
        links.previous = nullptr;
        slots_.makeRoomForOne();
        for (size_t i = slots_.start(Traits::hash(key));; i = slots_.next(i)) {
            Slot& slot = slots_[i];
            if (!slot.head) {
                slot.key = key;
                links.next = nullptr;
                slots_.taken();
            } else if (slot.key == key) {
                links.next = slot.head;
                Traits::links(*slot.head).previous = record;
            } else {
                continue;
            }
            slot.head = record;
            return;
        }
    }

    // Takes the record out of the bucket of `key`, the key it was inserted
    // with. A record that is not in the index stays as it is.
    void remove(T* record, Key key) {
        BucketLinks<T>& links = Traits::links(*record);
        if (links.previous) {
            Traits::links(*links.previous).next = links.next;
            if (links.next) Traits::links(*links.next).previous = links.previous;
            links = {};
            return;
        }
        if (slots_.empty()) return;
        for (size_t i = slots_.start(Traits::hash(key));; i = slots_.next(i)) {
            Slot& slot = slots_[i];
            if (!slot.head) return;
            if (slot.key != key) continue;
            if (slot.head != record) return;
            slot.head = links.next;
            if (links.next)
                Traits::links(*links.next).previous = nullptr;
            else
                slots_.erase(i);
            links = {};
            return;
        }
    }

    // Room for `keys` keys, so that filling the index from the files
    // does not copy it over and over (and hold two copies at the last).
    void reserve(size_t keys) { slots_.reserve(keys); }

    // Forgets every key (the records' links are theirs to drop).
    void clear() { slots_.clear(); }

    size_t keyCount() const { return slots_.used(); }
    // The memory of the slots; the links live in the records.
    size_t slotBytes() const { return slots_.bytes(); }

private:
    struct Slot {
        Key key{};
        T* head = nullptr;
    };

    struct SlotHome {
        static uint64_t hash(const Slot& slot) { return Traits::hash(slot.key); }
    };

    ProbeSlots<Slot, SlotHome> slots_;
};

}  // namespace tallysv
