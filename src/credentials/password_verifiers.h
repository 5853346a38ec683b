#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/password_scramble.h"

namespace tallysv {

// What the server remembers of passwords it has seen verify (or set), so
// that a returning player's login is answered without a hash, right or
// wrong: for each stored field, a keyed BLAKE2b of the field and the
// password, under a key drawn at start. It is found by the stored field
// itself, so a password that changes (a new field, with a new salt) is
// never answered from the old one's verifier.
//
// It lives in memory only: never written to a file, kept out of core dumps,
// and wiped in the process that writes the periodic save. A verifier tells
// nothing of the password without the key, which lives beside it.
//
// Entries are 24 bytes, in sets of eight found by the field's tag; when a
// set is full, a new entry takes the place of one already there. The table
// grows with use up to a capacity the caller gives (the accounts there are),
// so its memory is about 24 to 48 bytes an account whatever the load.
// Not thread-safe: its owner guards it.
class PasswordVerifiers {
public:
    PasswordVerifiers();
    ~PasswordVerifiers();
    PasswordVerifiers(const PasswordVerifiers&) = delete;
    PasswordVerifiers& operator=(const PasswordVerifiers&) = delete;

    enum class Answer { Unknown, Right, Wrong };
    // Whether `plain` is the password of `stored`, when a verifier of this
    // field is kept; Unknown otherwise.
    Answer verify(const PasswordField& stored, std::string_view plain) const;
    // Whether verify settles a check of `plain` against `stored` with no
    // hash at all: a wrong password always, a right one when the field
    // needs no new hash (it is of the current version, or hashing is off).
    bool settles(const PasswordField& stored, std::string_view plain, bool hashing) const {
        return settled(verify(stored, plain), stored, hashing);
    }
    // Whether an answer of verify settles the check so.
    static bool settled(Answer answer, const PasswordField& stored, bool hashing);
    // Keeps a verifier of `plain` for `stored`, which it has just been
    // checked against or made from. `capacity` bounds the entries kept.
    void remember(const PasswordField& stored, std::string_view plain, size_t capacity);
    // Drops every verifier (the setting that keeps them was turned off).
    void clear();

    size_t size() const { return count_; }
    // Bytes of memory held, the key included.
    size_t memory() const;

private:
    struct Entry {
        uint64_t tag;  // 0 = empty
        uint8_t verifier[16];
    };
    static constexpr size_t kWays = 8;

    uint64_t tagOf(const PasswordField& stored) const;
    void verifierOf(const PasswordField& stored, std::string_view plain, uint8_t* out) const;
    Entry* set(uint64_t tag) const;
    void grow(size_t slots);

    uint8_t* key_ = nullptr;  // in a private page of its own
    Entry* slots_ = nullptr;
    size_t slotCount_ = 0;  // a power of two times kWays, or 0
    size_t count_ = 0;
    size_t nextVictim_ = 0;
};

}  // namespace tallysv
