#include "commands/command_secrets.h"

#include <algorithm>

#include "commands/command_table.h"

namespace tallysv {

namespace {

constexpr std::string_view kStars = "********";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithWord(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (lower(text[i]) != word[i]) return false;
    return true;
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// The position after ?addop's switches: blank-separated words that begin
// with "-". Not the command's own scanner: a text it refuses (an unknown
// switch, a run the text ends in) may still carry a password, and is
// shown with it masked all the same.
size_t afterSwitches(std::string_view argument) {
    size_t pos = 0;
    for (;;) {
        while (pos < argument.size() && argument[pos] == ' ') ++pos;
        if (pos >= argument.size() || argument[pos] != '-') return pos;
        while (pos < argument.size() && argument[pos] != ' ') ++pos;
    }
}

// How much of the argument stays in clear; npos when nothing is secret.
size_t clearPart(SecretRule rule, std::string_view argument) {
    const size_t colon = argument.find(':');
    switch (rule) {
        case SecretRule::None:
            return std::string_view::npos;
        case SecretRule::Whole:
            return 0;
        case SecretRule::AfterColon:
            return colon == std::string_view::npos ? 0 : colon + 1;
        case SecretRule::AfterSwitches:
            return colon == std::string_view::npos ? afterSwitches(argument) : colon + 1;
        case SecretRule::AfterColonOnly:
            return colon == std::string_view::npos ? std::string_view::npos : colon + 1;
        case SecretRule::EntryNumber:
            return colon != std::string_view::npos && allDigits(argument.substr(0, colon)) ? colon + 1 : 0;
    }
    return 0;
}

}  // namespace

std::string maskCommandSecrets(std::string_view commandText) {
    const std::string_view whole = commandText.substr(0, commandText.find('\0'));
    // Blanks and tabs typed before the word hide nothing: " ?login pw" is
    // still a password, whether or not a command reads it.
    const size_t lead = std::min(whole.find_first_not_of(" \t"), whole.size());
    const std::string_view text = whole.substr(lead);
    // The whole word is compared, not the leading bytes the dispatcher
    // compares, and no secret word begins another: the first row with a
    // secret whose word begins the text is the only one.
    for (const CommandEntry& command : commandTable()) {
        if (command.secret == SecretRule::None) continue;
        const std::string_view word = command.word;
        if (!startsWithWord(text, word)) continue;
        size_t start = word.size();
        if (start < text.size() && (text[start] == ' ' || text[start] == '=')) ++start;
        const std::string_view argument = text.substr(start);
        const size_t kept = clearPart(command.secret, argument);
        // An argument that is empty, or all in clear, carries nothing to
        // hide; after a ":" even an empty password is one.
        if (kept == std::string_view::npos) break;
        if (kept >= argument.size() && (kept == 0 || argument[kept - 1] != ':')) break;
        std::string masked(whole.substr(0, lead + start + kept));
        masked.append(kStars);
        return masked;
    }
    return std::string(whole);
}

}  // namespace tallysv
