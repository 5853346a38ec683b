#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Operator logins and the operator list.
void commandLogin(CommandContext& command);
void commandDeop(CommandContext& command);
void commandWhois(CommandContext& command);
void commandAddop(CommandContext& command);
void commandRemoveop(CommandContext& command);
void commandChangeop(CommandContext& command);     // levels 0 to 3: any visible entry
void commandChangeopOwn(CommandContext& command);  // level 4: own password only
void commandListop(CommandContext& command);

}  // namespace tallysv
