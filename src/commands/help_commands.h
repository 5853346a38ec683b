#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// ?help: the list of commands open to the player, or a topic's lines.
void commandHelp(CommandContext& command);

}  // namespace tallysv
