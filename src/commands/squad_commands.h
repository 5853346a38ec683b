#pragma once
#include "commands/command_processor.h"

namespace tallysv {

// Squads: every player may create, join, leave and look them up; the owner
// renames, changes the password, kicks, grants and dissolves. A user is in
// a squad's member list exactly when the user's squad is that squad.
void commandSquadowner(CommandContext& command);
void commandSquadjoin(CommandContext& command);
void commandSquadleave(CommandContext& command);
void commandSquadcreate(CommandContext& command);
void commandSquaddissolve(CommandContext& command);
void commandSquadpassword(CommandContext& command);
void commandSquadname(CommandContext& command);
void commandSquadkick(CommandContext& command);
void commandSquadlist(CommandContext& command);
void commandSquadgrant(CommandContext& command);
void commandSquad(CommandContext& command);

}  // namespace tallysv
