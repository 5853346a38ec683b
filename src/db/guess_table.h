#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace tallysv {

// Password attempts per account and zone. A zone may try an account's
// password `limit` times within a window; the attempt after that is refused
// unchecked, and so is every attempt of that zone on that account until a
// lockout of one window has passed. Each lockout that follows is twice as
// long as the last, up to a day, until the account and zone have been quiet
// for a window past the last lockout, or the right password is given.
//
// It is kept per zone so that one zone that guesses cannot lock an account
// out of the others; per account, so that guesses from ever new addresses
// (which a zone claims at will) count all the same. Attempts are counted as
// they are made, not when their answer comes back: guesses queued for a
// worker count at once. The table is bounded: past kMostEntries, the entry
// that has waited longest since its last attempt goes.
class GuessTable {
public:
    static constexpr size_t kMostEntries = 65536;
    static constexpr uint32_t kLongestLockout = 24u * 3600u * 1000u;

    enum class Verdict { Check, TooMany };

    // An attempt of the zone (ScoreID) on the account (UserID) at `tick`
    // (milliseconds); `limit` attempts a window of `windowMs` are checked.
    Verdict attempt(int32_t scoreID, int32_t userID, uint32_t tick, int32_t limit, uint32_t windowMs);
    // The right password was given: the account starts afresh at that zone.
    void forget(int32_t scoreID, int32_t userID);
    void clear();
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        uint64_t key = 0;
        uint32_t windowStart = 0;
        uint32_t lastAttempt = 0;
        uint32_t lockedUntil = 0;
        int32_t attempts = 0;
        uint32_t lockouts = 0;
    };
    static uint64_t keyOf(int32_t scoreID, int32_t userID) {
        return uint64_t{static_cast<uint32_t>(scoreID)} << 32 | static_cast<uint32_t>(userID);
    }
    static uint32_t lockoutLength(uint32_t lockouts, uint32_t windowMs);

    std::list<Entry> entries_;  // most recent attempt first
    std::unordered_map<uint64_t, std::list<Entry>::iterator> index_;
};

}  // namespace tallysv
