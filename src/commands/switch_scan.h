#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "commands/command_processor.h"

namespace tallysv {

// The switches of ?ban, ?listban, ?banfree and ?addop, read by one scanner
// from a small table per command. The argument is read from its start: a
// blank is skipped, a "-" starts switches, and the first other character
// starts the operand (a name or a number), which runs to the end of the
// text. A NUL where a switch or an operand could start ends the text.
//
// The ban commands take one switch after each "-", and a "-" whose
// character names no switch is skipped with it. ?addop takes a run of
// switch characters after its "-", up to the next blank; a character that
// names no switch, or a run that the text ends in, is refused.
enum class Scan { Next, Stop };  // Stop: the switch was refused and replied

// A switch met by the scan.
struct SwitchAt {
    CommandContext& command;
    std::string_view args;
    char name;   // the switch character
    size_t pos;  // just past it; a switch that reads on moves it

    const OperatorRecord& op() const { return *command.op(); }
    Scan refuse(std::string_view line) const {
        command.reply(line);
        return Scan::Stop;
    }
    // The switch character is the last of the text.
    bool endsText() const { return pos >= args.size(); }
    bool valued() const { return charAt(args, pos) == '='; }
    // After "=": a number of at most 7 digits, ending at the first
    // non-digit. False on an 8th digit. A number that runs to the end of
    // the text is read but gives no value.
    bool readNumber(std::optional<int32_t>& number) {
        constexpr int kSwitchDigits = 7;
        ++pos;
        int32_t value = 0;
        int digits = 0;
        while (pos < args.size() && args[pos] >= '0' && args[pos] <= '9') {
            if (++digits > kSwitchDigits) return false;
            value = value * 10 + (args[pos] - '0');
            ++pos;
        }
        if (pos < args.size()) number = value;
        return true;
    }
};

// One switch of a command: the characters that name it and what it does
// to the command's choices.
template <typename Choices>
struct SwitchRule {
    std::string_view names;
    Scan (*apply)(SwitchAt& at, Choices& choices);
};

// How switches follow their "-": one each (the ban commands), or a run
// up to the next blank, refused with `refusal` where a character names no
// switch or the text ends (?addop).
struct SwitchRuns {
    std::string_view refusal;
};

// The rule of a switch character, or none.
template <typename Choices, size_t N>
const SwitchRule<Choices>* switchRule(const SwitchRule<Choices> (&rules)[N], char name) {
    if (name == '\0') return nullptr;
    for (const SwitchRule<Choices>& rule : rules)
        if (rule.names.find(name) != std::string_view::npos) return &rule;
    return nullptr;
}

// Scans the switches into `choices` and returns the operand (empty when
// there is none), or no value when a switch was refused.
template <typename Choices, size_t N>
std::optional<std::string_view> scanSwitches(CommandContext& command, const SwitchRule<Choices> (&rules)[N],
                                             Choices& choices, const SwitchRuns* runs = nullptr) {
    const std::string_view args = command.args;
    size_t pos = 0;
    while (pos < args.size()) {
        const char c = args[pos];
        if (c == '\0') break;
        if (c == ' ') {
            ++pos;
            continue;
        }
        if (c != '-') return textOf(args.substr(pos));
        if (!runs) {
            const char name = charAt(args, pos + 1);
            SwitchAt at{command, args, name, pos + 2};
            const SwitchRule<Choices>* rule = switchRule(rules, name);
            if (rule && rule->apply(at, choices) == Scan::Stop) return std::nullopt;
            pos = at.pos;
            continue;
        }
        for (++pos; pos >= args.size() || args[pos] != ' ';) {
            const char name = charAt(args, pos);
            const SwitchRule<Choices>* rule = pos < args.size() ? switchRule(rules, name) : nullptr;
            if (!rule) {
                command.reply(runs->refusal);
                return std::nullopt;
            }
            SwitchAt at{command, args, name, pos + 1};
            if (rule->apply(at, choices) == Scan::Stop) return std::nullopt;
            pos = at.pos;
        }
    }
    return std::string_view();
}

}  // namespace tallysv
