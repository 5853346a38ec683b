#include "credentials/password_store.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <new>

namespace tallysv {

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kDigestBytes = 15;  // kept of the 16-byte output
static_assert(kSaltBytes == crypto_pwhash_SALTBYTES);
static_assert(kSaltBytes + kDigestBytes + 1 == sizeof(PasswordField));
static_assert(crypto_pwhash_BYTES_MIN <= kDigestBytes + 1);

std::atomic<bool> testCost{false};

void initSodium() {
    // Thread-safe once: a function-local static is initialised exactly once
    // even when several workers get here together.
    static const bool ready = [] {
        if (sodium_init() < 0) throw std::bad_alloc();
        return true;
    }();
    (void)ready;
}

// Argon2id13 of `input` with `salt` into out[16]. Throws std::bad_alloc when
// the hash's memory cannot be had: a password is never stored weaker.
void argon2id(const uint8_t* input, size_t size, const uint8_t* salt, uint8_t* out) {
    initSodium();
    unsigned long long ops = kPasswordHashPasses;
    size_t memory = kPasswordHashMemory;
    if (testCost.load(std::memory_order_relaxed)) {
        ops = crypto_pwhash_argon2id_OPSLIMIT_MIN;
        memory = crypto_pwhash_argon2id_MEMLIMIT_MIN;
    }
    static const char kNothing = 0;
    const char* text = size ? reinterpret_cast<const char*>(input) : &kNothing;
    if (crypto_pwhash(out, kDigestBytes + 1, text, size, salt, ops, memory, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::bad_alloc();
}

PasswordField hashedField(const uint8_t* input, size_t size, uint8_t version) {
    initSodium();
    PasswordField field{};
    randombytes_buf(field.data(), kSaltBytes);
    uint8_t digest[kDigestBytes + 1];
    argon2id(input, size, field.data(), digest);
    std::memcpy(field.data() + kSaltBytes, digest, kDigestBytes);
    sodium_memzero(digest, sizeof digest);
    field[31] = version;
    return field;
}

bool hashMatches(const PasswordField& stored, const uint8_t* input, size_t size) {
    uint8_t digest[kDigestBytes + 1];
    argon2id(input, size, stored.data(), digest);
    bool same = sodium_memcmp(digest, stored.data() + kSaltBytes, kDigestBytes) == 0;
    sodium_memzero(digest, sizeof digest);
    return same;
}

bool isEmptyField(const PasswordField& field) {
    for (uint8_t b : field)
        if (b != 0) return false;
    return true;
}

size_t scrambledLength(const PasswordField& field) {
    size_t n = 0;
    while (n < 31 && field[n] != 0) ++n;
    return n;
}

}  // namespace

bool isHashedPassword(const PasswordField& stored) { return stored[31] != 0; }

std::string_view storedPasswordText(std::string_view plain) {
    size_t n = plain.find('\0');
    if (n == std::string_view::npos) n = plain.size();
    return plain.substr(0, n > 31 ? 31 : n);
}

PasswordField passwordFieldFromFile(const uint8_t* bytes) {
    PasswordField out{};
    if (bytes[31] >= 1 && bytes[31] <= kPasswordLastVersion) {
        std::memcpy(out.data(), bytes, out.size());
        return out;
    }
    size_t n = 0;
    while (n < 31 && bytes[n] != 0) ++n;
    std::memcpy(out.data(), bytes, n);
    return out;
}

StrayHashField strayHashField(const uint8_t* bytes) {
    const uint8_t version = bytes[31];
    if (version == 0 || version > kPasswordLastVersion) return StrayHashField::None;
    if (version != kPasswordHashVersion && version != kPasswordWrappedVersion) return StrayHashField::UnknownVersion;
    constexpr size_t kLongestZeroFreeText = 23;
    size_t text = 0;
    while (text < 31 && bytes[text] != 0) ++text;
    if (text > kLongestZeroFreeText) return StrayHashField::None;
    for (size_t i = text; i < 31; ++i)
        if (bytes[i] != 0) return StrayHashField::None;
    return StrayHashField::TextShaped;
}

PasswordField makePasswordField(std::string_view plain, bool hashing) {
    std::string_view text = storedPasswordText(plain);
    if (!hashing || text.empty()) return scrambledPassword(text);
    return hashedField(reinterpret_cast<const uint8_t*>(text.data()), text.size(), kPasswordHashVersion);
}

PasswordCheck checkPassword(const PasswordField& stored, std::string_view plain, bool hashing) {
    std::string_view text = storedPasswordText(plain);
    PasswordCheck result;
    if (!isHashedPassword(stored)) {
        PasswordField presented = scrambledPassword(text);
        result.matches = sodium_memcmp(presented.data(), stored.data(), presented.size()) == 0;
        sodium_memzero(presented.data(), presented.size());
    } else if (stored[31] == kPasswordHashVersion) {
        result.matches = hashMatches(stored, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    } else if (stored[31] == kPasswordWrappedVersion) {
        PasswordField presented = scrambledPassword(text);
        result.matches = hashMatches(stored, presented.data(), scrambledLength(presented));
        sodium_memzero(presented.data(), presented.size());
    }
    if (result.matches && hashing && stored[31] != kPasswordHashVersion && !text.empty())
        result.upgrade = makePasswordField(text, true);
    return result;
}

bool passwordWorkIsSlow(const PasswordField& stored, bool hashing) {
    return hashing || isHashedPassword(stored);
}

PasswordField wrapScrambledPassword(const PasswordField& scrambled) {
    if (isHashedPassword(scrambled) || isEmptyField(scrambled)) return scrambled;
    return hashedField(scrambled.data(), scrambledLength(scrambled), kPasswordWrappedVersion);
}

void usePasswordTestCost(bool on) { testCost.store(on, std::memory_order_relaxed); }

}  // namespace tallysv
