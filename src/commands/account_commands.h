#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Account administration for operators: passwords, squad owners, renames,
// what the database knows of an account, its aliases, and new accounts.
void commandChangepassword(CommandContext& command);
void commandChangesquad(CommandContext& command);
void commandChangename(CommandContext& command);
void commandInfo(CommandContext& command);
void commandAlias(CommandContext& command);
void commandAdduser(CommandContext& command);

}  // namespace tallysv
