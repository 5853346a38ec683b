#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "commands/command_processor.h"

namespace tallysv {

// The switches of ?ban, ?listban and ?banfree, read by one scanner from a
// small table per command. The argument is read from
// its start: a blank is skipped, "-" takes the next character as a switch,
// and the first other character starts the operand (a name or a number),
// which runs to the end of the text. A NUL where a switch or an operand
// could start ends the text. A "-" whose character names no switch is
// skipped with it.
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

// Scans the switches into `choices` and returns the operand (empty when
// there is none), or no value when a switch was refused.
template <typename Choices, size_t N>
std::optional<std::string_view> scanSwitches(CommandContext& command, const SwitchRule<Choices> (&rules)[N],
                                             Choices& choices) {
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
        const char name = charAt(args, pos + 1);
        SwitchAt at{command, args, name, pos + 2};
        for (const SwitchRule<Choices>& rule : rules) {
            if (name == '\0' || rule.names.find(name) == std::string_view::npos) continue;
            if (rule.apply(at, choices) == Scan::Stop) return std::nullopt;
            break;
        }
        pos = at.pos;
    }
    return std::string_view();
}

}  // namespace tallysv
