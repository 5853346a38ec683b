#pragma once
#include <span>

#include "commands/command_processor.h"

namespace tallysv {

// Every command in the order the dispatcher compares them: the everyone
// tier, tiers 0 to 4, then the commands after all tiers.
std::span<const CommandEntry> commandTable();

}  // namespace tallysv
