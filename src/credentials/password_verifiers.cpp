#include "credentials/password_verifiers.h"

#include <sodium.h>
#include <sys/mman.h>

#include <cstring>
#include <new>

#include "credentials/password_store.h"

namespace tallysv {

namespace {

constexpr size_t kKeyBytes = crypto_generichash_KEYBYTES;
constexpr size_t kFirstSlots = 1024;

// Memory that no core dump holds and that a forked process (the periodic
// save's writer) gets zeroed: what is secret here stays in this process.
void* privateMemory(size_t bytes) {
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    (void)::madvise(memory, bytes, MADV_DONTDUMP);
    (void)::madvise(memory, bytes, MADV_WIPEONFORK);
    return memory;
}

void releasePrivate(void* memory, size_t bytes) {
    if (!memory) return;
    sodium_memzero(memory, bytes);
    ::munmap(memory, bytes);
}

}  // namespace

PasswordVerifiers::PasswordVerifiers() {
    if (sodium_init() < 0) throw std::bad_alloc();
    key_ = static_cast<uint8_t*>(privateMemory(kKeyBytes));
    randombytes_buf(key_, kKeyBytes);
}

PasswordVerifiers::~PasswordVerifiers() {
    releasePrivate(slots_, slotCount_ * sizeof(Entry));
    releasePrivate(key_, kKeyBytes);
}

uint64_t PasswordVerifiers::tagOf(const PasswordField& stored) const {
    uint8_t out[8];
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_, kKeyBytes, sizeof out);
    static const uint8_t kTagDomain = 'T';
    crypto_generichash_update(&state, &kTagDomain, 1);
    crypto_generichash_update(&state, stored.data(), stored.size());
    crypto_generichash_final(&state, out, sizeof out);
    uint64_t tag;
    std::memcpy(&tag, out, sizeof tag);
    return tag != 0 ? tag : 1;
}

void PasswordVerifiers::verifierOf(const PasswordField& stored, std::string_view plain, uint8_t* out) const {
    // Cut as the stored forms cut it, so a verifier answers as the check would.
    const std::string_view text = storedPasswordText(plain);
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_, kKeyBytes, sizeof(Entry::verifier));
    static const uint8_t kVerifierDomain = 'V';
    crypto_generichash_update(&state, &kVerifierDomain, 1);
    crypto_generichash_update(&state, stored.data(), stored.size());
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    crypto_generichash_final(&state, out, sizeof(Entry::verifier));
    sodium_memzero(&state, sizeof state);
}

PasswordVerifiers::Entry* PasswordVerifiers::set(uint64_t tag) const {
    const size_t sets = slotCount_ / kWays;
    // The tag's high bits pick the set; the low ones are the tag compared.
    return slots_ + ((tag >> 32) & (sets - 1)) * kWays;
}

PasswordVerifiers::Answer PasswordVerifiers::verify(const PasswordField& stored, std::string_view plain) const {
    if (count_ == 0) return Answer::Unknown;
    const uint64_t tag = tagOf(stored);
    Entry* ways = set(tag);
    for (size_t i = 0; i < kWays; ++i) {
        if (ways[i].tag != tag) continue;
        uint8_t presented[sizeof(Entry::verifier)];
        verifierOf(stored, plain, presented);
        const bool same = sodium_memcmp(presented, ways[i].verifier, sizeof presented) == 0;
        sodium_memzero(presented, sizeof presented);
        return same ? Answer::Right : Answer::Wrong;
    }
    return Answer::Unknown;
}

bool PasswordVerifiers::settled(Answer answer, const PasswordField& stored, bool hashing) {
    switch (answer) {
        case Answer::Unknown:
            return false;
        case Answer::Wrong:
            return true;
        case Answer::Right:
            break;
    }
    return !hashing || stored[31] == kPasswordHashVersion;
}

void PasswordVerifiers::remember(const PasswordField& stored, std::string_view plain, size_t capacity) {
    size_t wanted = slotCount_ == 0 ? kFirstSlots : slotCount_;
    // Grown at seven eighths full, while the capacity allows.
    while (wanted < capacity && count_ + 1 > wanted / 8 * 7) wanted *= 2;
    if (wanted != slotCount_) grow(wanted);
    const uint64_t tag = tagOf(stored);
    Entry* ways = set(tag);
    Entry* place = nullptr;
    for (size_t i = 0; i < kWays && !place; ++i)
        if (ways[i].tag == tag) place = &ways[i];
    for (size_t i = 0; i < kWays && !place; ++i)
        if (ways[i].tag == 0) place = &ways[i], ++count_;
    if (!place) place = &ways[nextVictim_++ % kWays];
    place->tag = tag;
    verifierOf(stored, plain, place->verifier);
}

void PasswordVerifiers::grow(size_t slots) {
    Entry* old = slots_;
    const size_t oldCount = slotCount_;
    slots_ = static_cast<Entry*>(privateMemory(slots * sizeof(Entry)));
    slotCount_ = slots;
    count_ = 0;
    for (size_t i = 0; i < oldCount; ++i) {
        if (old[i].tag == 0) continue;
        Entry* ways = set(old[i].tag);
        for (size_t w = 0; w < kWays; ++w) {
            if (ways[w].tag != 0) continue;
            ways[w] = old[i];
            ++count_;
            break;
        }
    }
    releasePrivate(old, oldCount * sizeof(Entry));
}

void PasswordVerifiers::clear() {
    releasePrivate(slots_, slotCount_ * sizeof(Entry));
    slots_ = nullptr;
    slotCount_ = 0;
    count_ = 0;
}

size_t PasswordVerifiers::memory() const { return slotCount_ * sizeof(Entry) + kKeyBytes; }

}  // namespace tallysv
