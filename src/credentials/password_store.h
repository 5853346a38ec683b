#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/password_scramble.h"

namespace tallysv {

// How a password is kept in its 32-byte field (users, squads, operators,
// zones), in one of two families that the last byte tells apart:
//
//   scrambled  bytes 0-30 the password (cut to 31 characters) scrambled by
//              PasswordScramble, zero-filled; byte 31 is always 0. The form
//              every older server writes and reads.
//   hashed     bytes 0-15 a random salt, bytes 16-30 the first 15 bytes of an
//              Argon2id (version 1.3) output of 16 bytes, byte 31 the version
//              below (never 0). The parameters belong to the version, so they
//              can be raised by adding a version while older hashes still
//              verify.
//
//   version 1  Argon2id over the password itself (cut to 31 characters).
//   version 2  "wrapped": Argon2id over the password's scrambled bytes, made
//              offline from a scrambled field without knowing the password.
//              A login that verifies against it stores version 1 instead.
//
// Both versions use 19 MiB of memory, 2 passes and 1 lane (libsodium's
// Argon2id has one lane). A field whose last byte names no known version
// never verifies.
//
// An empty password is no secret: it closes an operator entry (no login ever
// uses it), so its field stays all zero in either mode and is never hashed.
//
// Every function here is pure and may run on any thread.

inline constexpr uint8_t kPasswordHashVersion = 1;
inline constexpr uint8_t kPasswordWrappedVersion = 2;
inline constexpr size_t kPasswordHashMemory = 19u * 1024u * 1024u;
inline constexpr unsigned kPasswordHashPasses = 2;

// Version bytes 1 to 15 are kept for hashed forms (the two above and those
// that may follow); a file field whose last byte is one of them is a hash.
inline constexpr uint8_t kPasswordLastVersion = 15;

bool isHashedPassword(const PasswordField& stored);

// The password as both families see it: cut at a NUL and to 31 characters.
std::string_view storedPasswordText(std::string_view plain);

// The field as a .dat record holds it, 32 bytes: a hash (last byte a hash
// version) is taken whole; anything else is a scrambled text up to its first
// 0 byte, at most 31 bytes, the rest zero (so a field of an older writer that
// fills all 32 bytes keeps its first 31, as it always did).
PasswordField passwordFieldFromFile(const uint8_t* bytes);

// Why a file field that passwordFieldFromFile takes for a hash cannot have
// been written by this server, which writes versions 1 and 2 only, each with
// 31 bytes of salt and Argon2id output:
//
//   UnknownVersion  the last byte is 3 to 15: no hash this server makes or
//                   verifies, so the account can never log in with it.
//   TextShaped      the last byte is 1 or 2 but the field reads as a text
//                   ended by its first 0 byte, zero from there through byte
//                   30, and that zero run covers bytes 23-30. A hash has
//                   eight zero bytes there once in 2^64; a writer that kept
//                   a scrambled password and left a stray last byte makes
//                   it whenever the password is 23 characters or shorter.
//
// Either is most likely an older writer's scrambled password that the
// server now takes for a hash: it never verifies, and its text stays
// readable in the file. A 0 byte inside a hash followed by other bytes is
// ordinary and not reported.
enum class StrayHashField { None, UnknownVersion, TextShaped };
StrayHashField strayHashField(const uint8_t* bytes);

// The field for a password being set: Argon2id when `hashing`, else
// scrambled exactly as scrambledPassword does.
PasswordField makePasswordField(std::string_view plain, bool hashing);

struct PasswordCheck {
    bool matches = false;
    std::optional<PasswordField> upgrade;
};

// Whether `plain` is the stored password. When it matches a scrambled (or
// wrapped) field and `hashing` is on, `upgrade` holds its new Argon2id field.
PasswordCheck checkPassword(const PasswordField& stored, std::string_view plain, bool hashing);

// True when checkPassword on this field (or makePasswordField with this flag)
// would run Argon2id: the stored field is hashed/wrapped, or hashing is on.
bool passwordWorkIsSlow(const PasswordField& stored, bool hashing);

// The wrapped (version 2) field of a scrambled one: what an offline
// conversion stores so that no scrambled password is left in a file. An
// empty or already hashed field comes back unchanged.
PasswordField wrapScrambledPassword(const PasswordField& scrambled);

// Tests only: every hash made or checked from now on uses libsodium's
// smallest Argon2id cost instead of the versions' parameters, so a table of
// cases costs microseconds. Fields made this way verify only in this mode.
void usePasswordTestCost(bool on);

}  // namespace tallysv
