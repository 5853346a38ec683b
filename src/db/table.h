#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "db/huge_page_allocator.h"

namespace tallysv {

template <class T>
class Table;

// The links every record carries for its table: neighbours in table order
// and a number that grows with every append, so that indexes can keep the
// records of one key in table order.
template <class T>
struct TableLinks {
    T* tablePrevious() const { return previous_; }
    T* tableNext() const { return next_; }
    uint64_t tableOrder() const { return order_; }

private:
    friend class Table<T>;
    T* previous_ = nullptr;
    T* next_ = nullptr;
    uint64_t order_ = 0;
};

// An ordered table of records: append at the tail, remove anywhere, walk
// from head to tail. The table owns its records; their addresses stay the
// same while they are in it, so other records may link to them. Records
// come from blocks allocated together, which keeps loading a million
// accounts cheap; a removed record's place is reused.
template <class T>
class Table {
public:
    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T*;
        using difference_type = std::ptrdiff_t;
        using pointer = T**;
        using reference = T*;
        Iterator() = default;
        explicit Iterator(T* record) : record_(record) {}
        T* operator*() const { return record_; }
        Iterator& operator++() {
            record_ = record_->tableNext();
            return *this;
        }
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& other) const { return record_ == other.record_; }

    private:
        T* record_ = nullptr;
    };

    Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table() { clear(); }

    T* head() const { return head_; }
    T* tail() const { return tail_; }
    size_t count() const { return count_; }
    bool empty() const { return count_ == 0; }
    Iterator begin() const { return Iterator(head_); }
    Iterator end() const { return Iterator(nullptr); }

    // A new record with default values, appended at the tail.
    T* append() {
        T* record = allocate();
        record->order_ = nextOrder_++;
        record->previous_ = tail_;
        record->next_ = nullptr;
        if (tail_)
            tail_->next_ = record;
        else
            head_ = record;
        tail_ = record;
        ++count_;
        return record;
    }

    // Unlinks the record and frees it; its address may be reused later.
    void remove(T* record) {
        if (record->previous_)
            record->previous_->next_ = record->next_;
        else
            head_ = record->next_;
        if (record->next_)
            record->next_->previous_ = record->previous_;
        else
            tail_ = record->previous_;
        --count_;
        *record = T{};
        free_.push_back(record);
    }

    void clear() {
        head_ = tail_ = nullptr;
        count_ = 0;
        free_.clear();
        blocks_.clear();
        available_ = 0;
        used_ = 0;
    }

    // Makes room for `n` more records in one block.
    void reserve(size_t n) {
        size_t spare = free_.size() + (available_ - used_);
        if (n > spare) addBlock(n - spare);
    }

private:
    T* allocate() {
        if (!free_.empty()) {
            T* record = free_.back();
            free_.pop_back();
            return record;
        }
        if (used_ == available_) addBlock(blocks_.empty() ? 64 : std::min<size_t>(available_ * 2, 65536));
        return &blocks_.back()[used_++];
    }

    void addBlock(size_t size) {
        // Records left in the current block go to the free list first.
        for (; used_ < available_; ++used_) free_.push_back(&blocks_.back()[used_]);
        blocks_.emplace_back(size);
        available_ = size;
        used_ = 0;
    }

    T* head_ = nullptr;
    T* tail_ = nullptr;
    size_t count_ = 0;
    uint64_t nextOrder_ = 1;
    // A block never changes its size, so its records never move.
    std::vector<std::vector<T, HugePageAllocator<T>>> blocks_;
    size_t available_ = 0;  // size of the newest block
    size_t used_ = 0;       // records of the newest block handed out
    std::vector<T*> free_;
};

}  // namespace tallysv
