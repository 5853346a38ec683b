#include "db/guess_table.h"

namespace tallysv {

uint32_t GuessTable::lockoutLength(uint32_t lockouts, uint32_t windowMs) {
    uint64_t length = windowMs;
    for (uint32_t i = 1; i < lockouts && length < kLongestLockout; ++i) length *= 2;
    return static_cast<uint32_t>(length < kLongestLockout ? length : kLongestLockout);
}

GuessTable::Verdict GuessTable::attempt(int32_t scoreID, int32_t userID, uint32_t tick, int32_t limit,
                                        uint32_t windowMs) {
    if (limit <= 0) return Verdict::Check;
    const uint64_t key = keyOf(scoreID, userID);
    auto found = index_.find(key);
    if (found == index_.end()) {
        if (entries_.size() >= kMostEntries) {
            index_.erase(entries_.back().key);
            entries_.pop_back();
        }
        entries_.push_front(Entry{key, tick, tick, tick, 0, 0});
        found = index_.emplace(key, entries_.begin()).first;
    } else {
        entries_.splice(entries_.begin(), entries_, found->second);
    }
    Entry& entry = *found->second;
    // Quiet for a window past its last lockout: forgiven.
    const uint32_t quiet = windowMs + (entry.lockouts ? lockoutLength(entry.lockouts, windowMs) : 0);
    if (tick - entry.lastAttempt > quiet) entry = Entry{key, tick, tick, tick, 0, 0};
    entry.lastAttempt = tick;
    if (entry.lockouts != 0 && static_cast<int32_t>(entry.lockedUntil - tick) > 0) return Verdict::TooMany;
    if (entry.attempts == 0 || tick - entry.windowStart >= windowMs) {
        entry.windowStart = tick;
        entry.attempts = 0;
    }
    if (++entry.attempts <= limit) return Verdict::Check;
    ++entry.lockouts;
    entry.lockedUntil = tick + lockoutLength(entry.lockouts, windowMs);
    entry.attempts = 0;
    return Verdict::TooMany;
}

void GuessTable::forget(int32_t scoreID, int32_t userID) {
    auto found = index_.find(keyOf(scoreID, userID));
    if (found == index_.end()) return;
    entries_.erase(found->second);
    index_.erase(found);
}

void GuessTable::clear() {
    entries_.clear();
    index_.clear();
}

}  // namespace tallysv
