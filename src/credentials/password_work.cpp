#include "credentials/password_work.h"

namespace tallysv {

const PasswordCheck* PasswordResults::findCheck(const PasswordField& stored, std::string_view plain,
                                                bool hashingNow) const {
    if (hashingNow != hashing) return nullptr;
    for (const auto& [inputs, check] : checks)
        if (inputs.first == stored && inputs.second == plain) return &check;
    return nullptr;
}

std::optional<PasswordField> PasswordResults::takeField(std::string_view plain, bool hashingNow) {
    if (hashingNow != hashing) return std::nullopt;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it->first != plain) continue;
        PasswordField field = it->second;
        fields.erase(it);
        return field;
    }
    return std::nullopt;
}

bool passwordWorkNeeded(const PasswordNeeds& needs, const PasswordResults* have, bool hashing,
                        const PasswordVerifiers* verifiers) {
    for (const auto& [stored, plain] : needs.checks) {
        if (have && have->findCheck(stored, plain, hashing)) continue;
        if (verifiers && verifiers->settles(stored, plain, hashing)) continue;
        if (passwordWorkIsSlow(stored, hashing)) return true;
    }
    // A new field is slow exactly when hashing is on; fields made ahead are
    // counted per password, as each is taken once.
    if (!hashing) return false;
    std::vector<std::string_view> made;
    if (have && have->hashing == hashing)
        for (const auto& [plain, field] : have->fields) made.push_back(plain);
    for (const WipedString& plain : needs.fields) {
        bool found = false;
        for (auto it = made.begin(); it != made.end(); ++it) {
            if (*it != plain) continue;
            made.erase(it);
            found = true;
            break;
        }
        if (!found) return true;
    }
    return false;
}

PasswordResults computePasswordResults(const PasswordNeeds& needs, bool hashing) {
    PasswordResults results;
    results.hashing = hashing;
    for (const auto& [stored, plain] : needs.checks)
        results.checks.push_back({{stored, plain}, checkPassword(stored, plain, hashing)});
    for (const WipedString& plain : needs.fields)
        results.fields.push_back({plain, makePasswordField(plain, hashing)});
    return results;
}

}  // namespace tallysv
