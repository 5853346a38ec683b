#pragma once
#include <string>

#include "commands/command_processor.h"
#include "commands/command_table.h"

namespace tallysv {

// The reply to a command whose password work finds the workers' queue full.
inline constexpr const char* kPasswordWorkBusy = "Server busy. Try your request again soon";

// A command that checks or sets a password, when that work would run
// Argon2id: the work goes to the executor and the command runs again, in
// order for the player, once its results are in. True when the command has
// been taken over so (or answered busy); false when it runs now, as always.
bool deferForPasswords(CommandProcessor& processor, const CommandEntry& entry, PlayerSession& player,
                       const std::string& text, int length);

}  // namespace tallysv
