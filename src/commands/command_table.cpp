#include "commands/command_table.h"

#include "commands/account_commands.h"
#include "commands/ban_commands.h"
#include "commands/chat_commands.h"
#include "commands/help_commands.h"
#include "commands/operator_commands.h"
#include "commands/self_service_commands.h"
#include "commands/squad_commands.h"
#include "commands/zone_commands.h"

namespace tallysv {

namespace {

using T = CommandTier;

// Word, leading bytes compared, tier, handler. A count shorter than the
// word lets any text with that beginning match (?ver... runs ?version);
// within a tier the first match wins.
constexpr CommandEntry kCommands[] = {
    {"?coin", 5, T::Everyone, commandCoin},
    {"?details", 8, T::Everyone, commandDetails},
    {"?setname", 8, T::Everyone, commandSetname},
    {"?setemail", 9, T::Everyone, commandSetemail},
    {"?notifychat", 8, T::Everyone, commandNotifychat},
    {"?ghost", 6, T::Everyone, commandGhost},
    {"?password", 9, T::Everyone, commandPassword},
    {"?addchat", 8, T::Everyone, commandAddchat},
    {"?leavechat", 10, T::Everyone, commandLeavechat},
    {"?chat", 5, T::Everyone, commandChat},
    {"?squadowner", 11, T::Everyone, commandSquadowner},
    {"?seen", 5, T::Everyone, commandSeen},
    {"?squadjoin", 10, T::Everyone, commandSquadjoin},
    {"?squadleave", 9, T::Everyone, commandSquadleave},
    {"?squadcreate", 12, T::Everyone, commandSquadcreate},
    {"?squaddissolve", 10, T::Everyone, commandSquaddissolve},
    {"?squadpassword", 14, T::Everyone, commandSquadpassword},
    {"?squadname", 10, T::Everyone, commandSquadname},
    {"?squadkick", 10, T::Everyone, commandSquadkick},
    {"?squadlist", 8, T::Everyone, commandSquadlist},
    {"?squadgrant", 11, T::Everyone, commandSquadgrant},
    {"?squad", 6, T::Everyone, commandSquad},
    {"?login", 6, T::Everyone, commandLogin},
    {"?deop", 5, T::Everyone, commandDeop},
    {"?dop", 4, T::Everyone, commandDeop},
    {"?whois", 6, T::Everyone, commandWhois},

    {"?block", 6, T::Level0, commandBlock},
    {"?write", 5, T::Level0, commandWrite},
    {"?networkreset", 9, T::Level0, commandNetworkreset},
    {"?read", 5, T::Level0, commandRead},
    {"?version", 4, T::Level0, commandVersion},
    {"?changepassword", 15, T::Level0, commandChangepassword},
    {"?changesquad", 12, T::Level0, commandChangesquad},
    {"?changename", 11, T::Level0, commandChangename},

    {"?groupreset", 11, T::Level1, commandGroupreset},
    {"?removezone", 11, T::Level1, commandRemovezone},
    {"?addzone", 8, T::Level1, commandAddzone},
    {"?changezone", 11, T::Level1, commandChangezone},
    {"?listzone", 9, T::Level1, commandListzone},
    {"?closezone", 10, T::Level1, commandClosezone},
    {"?recyclezone", 12, T::Level1, commandRecyclezone},

    {"?groupid", 8, T::Level2, commandGroupid},
    {"?scoreid", 8, T::Level2, commandScoreid},
    {"?notifyzone", 8, T::Level2, commandNotifyzone},
    {"?extchat", 8, T::Level2, commandExtchat},
    {"?bantext", 8, T::Level2, commandBantext},

    {"?addop", 6, T::Level3, commandAddop},
    {"?removeop", 9, T::Level3, commandRemoveop},
    {"?changeop", 9, T::Level3, commandChangeop},
    {"?info", 5, T::Level3, commandInfo},

    {"?banfree", 8, T::Level4, commandBanfree},
    {"?listbanfree", 9, T::Level4, commandListbanfree},
    {"?liftbanfree", 12, T::Level4, commandLiftbanfree},
    {"?notifyban", 8, T::Level4, commandNotifyban},
    {"?changeop", 9, T::Level4, commandChangeopOwn},
    {"?listban", 8, T::Level4, commandListban},
    {"?commentban", 11, T::Level4, commandCommentban},
    {"?liftban", 8, T::Level4, commandLiftban},
    {"?ban", 4, T::Level4, commandBan},
    {"?alias", 6, T::Level4, commandAlias},
    {"?listop", 7, T::Level4, commandListop},
    {"?adduser", 8, T::Level4, commandAdduser},

    {"?help", 5, T::AfterTiers, commandHelp, true},
    {"?find", 5, T::AfterTiers, commandFind},
};

}  // namespace

std::span<const CommandEntry> commandTable() { return kCommands; }

}  // namespace tallysv
