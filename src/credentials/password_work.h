#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/wiped_string.h"
#include "credentials/password_store.h"
#include "credentials/password_verifiers.h"

namespace tallysv {

// The password computations a login or a command is about to make: stored
// fields to check a presented password against, and passwords to make new
// fields of. Plain texts are exactly those the code will pass, so that a
// result is found again by its inputs. The plain texts are wiped when they
// go.
struct PasswordNeeds {
    std::vector<std::pair<PasswordField, WipedString>> checks;  // stored, plain
    std::vector<WipedString> fields;                            // plain
    bool empty() const { return checks.empty() && fields.empty(); }
};

// Those computations made ahead, on a worker, for a given PasswordHashing
// setting: what the login or command then finds here runs at once. A
// result is found only by the very inputs it was made from, so a record
// whose password changed meanwhile is checked again, not by an old result.
struct PasswordResults {
    bool hashing = false;
    std::vector<std::pair<std::pair<PasswordField, WipedString>, PasswordCheck>> checks;
    std::vector<std::pair<WipedString, PasswordField>> fields;

    const PasswordCheck* findCheck(const PasswordField& stored, std::string_view plain, bool hashingNow) const;
    // A field made of this password, taken (each is used once: each has its
    // own salt).
    std::optional<PasswordField> takeField(std::string_view plain, bool hashingNow);
};

// Whether what is needed, less what `have` already holds and what the
// verifiers settle, would run Argon2id: then it belongs on a worker.
bool passwordWorkNeeded(const PasswordNeeds& needs, const PasswordResults* have, bool hashing,
                        const PasswordVerifiers* verifiers = nullptr);

// Runs on a worker: every computation needed.
PasswordResults computePasswordResults(const PasswordNeeds& needs, bool hashing);

}  // namespace tallysv
