#pragma once
#include <cstddef>
#include <cstdint>

#include "db/probe_slots.h"

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
        for (size_t i = slots_.start(hash);; i = slots_.next(i)) {
            const Slot& slot = slots_[i];
            if (!slot.head) return nullptr;
            if (slot.hash == hash && Traits::equal(key, *slot.head)) return slot.head;
        }
    }

    // Adds a record at its place in table order.
    void insert(T* record) { insert(record, Traits::hash(Traits::key(*record))); }

    // Readies the slot of a hash in the cache, ahead of an insert.
    void prefetch(uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slots_.start(hash)], 1);
    }

    // As insert(), with the hash of the record's key already known.
    void insert(T* record, uint64_t hash) {
        Traits::next(*record) = nullptr;
        Key key = Traits::key(*record);
        slots_.makeRoomForOne();
        for (size_t i = slots_.start(hash);; i = slots_.next(i)) {
            Slot& slot = slots_[i];
            if (!slot.head) {
                slot.hash = hash;
                slot.head = slot.tail = record;
                slots_.taken();
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
        for (size_t i = slots_.start(hash);; i = slots_.next(i)) {
            Slot& slot = slots_[i];
            if (!slot.head) return;
            if (slot.hash != hash || !Traits::equal(key, *slot.head)) continue;
            unlink(slot, record);
            if (!slot.head) slots_.erase(i);
            return;
        }
    }

    void reserve(size_t keys) { slots_.reserve(keys); }

    void clear() { slots_.clear(); }

    size_t keyCount() const { return slots_.used(); }

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

    struct SlotHome {
        static uint64_t hash(const Slot& slot) { return slot.hash; }
    };

    ProbeSlots<Slot, SlotHome> slots_;
};

}  // namespace tallysv
