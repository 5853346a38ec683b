#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "db/huge_page_allocator.h"

namespace tallysv {

// An index by a numeric identifier that the server hands out in sequence
// (UserID, BanID): identifier -> the records with it, in table order; find()
// answers the first. Identifiers from 0 up to a little past the number of
// records sit in a plain array, so that loading a million accounts numbered
// 1 to n writes the index in sequence and a lookup costs one array read.
// Any other identifier (negative, or far beyond the rest, as a damaged
// file may hold) goes to an ordered map; records move from the map into the
// array when it grows over them, each at most once.
//
// Traits provides: static int32_t key(const T&); static T*& next(T&).
template <class T, class Traits>
class IDIndex {
public:
    T* find(int32_t id) const {
        if (id >= 0 && static_cast<size_t>(id) < dense_.size()) return dense_[static_cast<size_t>(id)].head;
        auto it = sparse_.find(id);
        return it == sparse_.end() ? nullptr : it->second.head;
    }

    void insert(T* record) {
        int32_t id = Traits::key(*record);
        if (id >= 0 && static_cast<size_t>(id) >= dense_.size() && static_cast<size_t>(id) < denseLimit())
            grow(static_cast<size_t>(id));
        ++count_;
        linkInOrder(chain(id), record);
    }

    void remove(T* record) {
        int32_t id = Traits::key(*record);
        Chain& found = chain(id);
        if (unlink(found, record)) --count_;
        if (!found.head && !(id >= 0 && static_cast<size_t>(id) < dense_.size())) sparse_.erase(id);
    }

    void reserve(size_t records) {
        if (records + 1 > dense_.capacity()) dense_.reserve(records + 1);
    }

    void clear() {
        dense_.clear();
        sparse_.clear();
        count_ = 0;
    }

private:
    // The array covers identifiers below twice the record count (plus some
    // room), so it never holds more than a few slots per record.
    size_t denseLimit() const { return 2 * (count_ + 1) + 1024; }

    // The records of one identifier, linked in table order.
    struct Chain {
        T* head = nullptr;
        T* tail = nullptr;  // appends, the common case, go here directly
    };

    Chain& chain(int32_t id) {
        if (id >= 0 && static_cast<size_t>(id) < dense_.size()) return dense_[static_cast<size_t>(id)];
        return sparse_[id];
    }

    void grow(size_t id) {
        size_t size = dense_.size() * 2 > id + 1 ? dense_.size() * 2 : id + 1;
        if (size > denseLimit()) size = denseLimit();
        size_t old = dense_.size();
        dense_.resize(size);
        // Records kept in the map whose identifiers the array now covers.
        for (auto it = sparse_.lower_bound(static_cast<int32_t>(old));
             it != sparse_.end() && static_cast<size_t>(it->first) < size;) {
            dense_[static_cast<size_t>(it->first)] = it->second;
            it = sparse_.erase(it);
        }
    }

    static void linkInOrder(Chain& c, T* record) {
        Traits::next(*record) = nullptr;
        if (!c.head) {
            c.head = c.tail = record;
        } else if (c.tail->tableOrder() < record->tableOrder()) {
            Traits::next(*c.tail) = record;
            c.tail = record;
        } else if (record->tableOrder() < c.head->tableOrder()) {
            Traits::next(*record) = c.head;
            c.head = record;
        } else {
            T* previous = c.head;
            while (Traits::next(*previous)->tableOrder() < record->tableOrder()) previous = Traits::next(*previous);
            Traits::next(*record) = Traits::next(*previous);
            Traits::next(*previous) = record;
        }
    }

    static bool unlink(Chain& c, T* record) {
        T* previous = nullptr;
        T* at = c.head;
        while (at && at != record) {
            previous = at;
            at = Traits::next(*at);
        }
        if (!at) return false;
        if (previous)
            Traits::next(*previous) = Traits::next(*record);
        else
            c.head = Traits::next(*record);
        if (c.tail == record) c.tail = previous;
        Traits::next(*record) = nullptr;
        return true;
    }

    std::vector<Chain, HugePageAllocator<Chain>> dense_;
    std::map<int32_t, Chain> sparse_;
    size_t count_ = 0;
};

}  // namespace tallysv
