#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Network administration (level 0): PassBlock, saving, re-reading the
// configuration, the version, the network-wide score reset.
void commandBlock(CommandContext& command);
void commandWrite(CommandContext& command);
void commandRead(CommandContext& command);
void commandVersion(CommandContext& command);
void commandNetworkreset(CommandContext& command);

// Zone administration (levels 0 and 1): the group's score reset, zone
// registrations, the list of zones, shutting down and recycling zones.
void commandGroupreset(CommandContext& command);
void commandRemovezone(CommandContext& command);
void commandAddzone(CommandContext& command);
void commandChangezone(CommandContext& command);
void commandListzone(CommandContext& command);
void commandClosezone(CommandContext& command);
void commandRecyclezone(CommandContext& command);

// The zone's own identifiers and switches (levels 0 to 2).
void commandGroupid(CommandContext& command);
void commandScoreid(CommandContext& command);
void commandNotifyzone(CommandContext& command);
void commandExtchat(CommandContext& command);

}  // namespace tallysv
