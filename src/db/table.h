#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>


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
    }

    // Removes every record and starts over as a new table, keeping the
    // first block for the records to come rather than giving it back.
    void reset() {
        while (blocks_.size() > 1) blocks_.pop_back();
        if (!blocks_.empty()) blocks_.front().empty();
        head_ = tail_ = nullptr;
        count_ = 0;
        nextOrder_ = 1;
        free_.clear();
        lastBlockSize_ = blocks_.empty() ? kFirstBlockSize / 2 : blocks_.front().size();
    }

    // The whole 2 MiB pages inside the blocks that hold records, as
    // (address, length): what may be gathered into huge pages.
    void hugePageRanges(std::vector<std::pair<void*, size_t>>& out) const {
        constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
        for (const Block& block : blocks_) {
            uintptr_t start = (block.begin() + kHugePage - 1) & ~(kHugePage - 1);
            uintptr_t end = block.usedEnd() & ~(kHugePage - 1);
            if (end > start) out.emplace_back(reinterpret_cast<void*>(start), end - start);
        }
    }

    // Makes room for `n` more records in one block (what is left of the
    // current block is given up).
    void reserve(size_t n) {
        if (n <= free_.size() + (blocks_.empty() ? 0 : blocks_.back().room())) return;
        blocks_.emplace_back(n > free_.size() ? n - free_.size() : 1);
    }

private:
    // Storage for records, made into records only as they are handed out:
    // reserving room for a million accounts costs no writes until they come.
    // (Ordinary pages: asking for huge pages here made the first load of a
    // process wait on the kernel's compaction, at times for half a second.)
    class Block {
    public:
        explicit Block(size_t size) : data_(std::allocator<T>().allocate(size)), size_(size) {}
        Block(Block&& other) noexcept : data_(other.data_), size_(other.size_), used_(other.used_) {
            other.data_ = nullptr;
            other.size_ = other.used_ = 0;
        }
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        Block& operator=(Block&&) = delete;
        ~Block() {
            if (!data_) return;
            for (size_t i = 0; i < used_; ++i) data_[i].~T();
            std::allocator<T>().deallocate(data_, size_);
        }
        size_t room() const { return size_ - used_; }
        size_t size() const { return size_; }
        // Destroys the records, leaving the storage to be handed out again.
        void empty() {
            for (size_t i = 0; i < used_; ++i) data_[i].~T();
            used_ = 0;
        }
        uintptr_t begin() const { return reinterpret_cast<uintptr_t>(data_); }
        uintptr_t usedEnd() const { return reinterpret_cast<uintptr_t>(data_ + used_); }
        T* take() { return new (data_ + used_++) T(); }

    private:
        T* data_;
        size_t size_;
        size_t used_ = 0;
    };

    T* allocate() {
        if (!free_.empty()) {
            T* record = free_.back();
            free_.pop_back();
            return record;
        }
        if (blocks_.empty() || blocks_.back().room() == 0) {
            size_t last = blocks_.empty() ? kFirstBlockSize / 2 : lastBlockSize_;
            lastBlockSize_ = std::min<size_t>(last * 2, 65536);
            blocks_.emplace_back(lastBlockSize_);
        }
        return blocks_.back().take();
    }

    static constexpr size_t kFirstBlockSize = 64;

    T* head_ = nullptr;
    T* tail_ = nullptr;
    size_t count_ = 0;
    uint64_t nextOrder_ = 1;
    // Blocks never move their records; a removed record is kept for reuse.
    std::vector<Block> blocks_;
    size_t lastBlockSize_ = kFirstBlockSize / 2;
    std::vector<T*> free_;
};

}  // namespace tallysv
