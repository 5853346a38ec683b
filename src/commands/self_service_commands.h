#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Commands every player has for his own account and session.
void commandCoin(CommandContext& command);
void commandPassword(CommandContext& command);
void commandDetails(CommandContext& command);
void commandSetname(CommandContext& command);
void commandSetemail(CommandContext& command);
void commandGhost(CommandContext& command);
void commandSeen(CommandContext& command);
void commandFind(CommandContext& command);

}  // namespace tallysv
