#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Chat channels: a player's list of up to nine channels (numbered by slot),
// and whether the player hears others entering, leaving and creating them.
void commandNotifychat(CommandContext& command);
void commandAddchat(CommandContext& command);
void commandLeavechat(CommandContext& command);
// The listing ("?chat") and the reassignment ("?chat=a,b,c").
void commandChat(CommandContext& command);

}  // namespace tallysv
