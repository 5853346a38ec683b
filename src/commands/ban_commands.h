#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Bans: creating one (by account, address, subnet, range or provider
// block), listing, commenting and lifting them, and a zone's ban text.
void commandBan(CommandContext& command);
void commandListban(CommandContext& command);
void commandCommentban(CommandContext& command);
void commandLiftban(CommandContext& command);
void commandBantext(CommandContext& command);
void commandNotifyban(CommandContext& command);

// Banfrees: exemptions of accounts from bans.
void commandBanfree(CommandContext& command);
void commandListbanfree(CommandContext& command);
void commandLiftbanfree(CommandContext& command);

}  // namespace tallysv
