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
using S = SecretRule;
using C = StateChange;
using R = OwnAccountRead;
using W = PasswordWork;

// Word, leading bytes compared, tier, handler, secret, what it changes,
// when it reads the caller's own account, password work, ?help topic. A
// count shorter than the word lets any text with that beginning match
// (?ver... runs ?version); within a tier the first match wins. A word
// that stands in two tiers has the same secret in both: the masking knows
// the word only, not who typed it.
constexpr CommandEntry kCommands[] = {
    {"?coin", 5, T::Everyone, commandCoin, S::None, C::None, R::No, W::None, nullptr},
    {"?details", 8, T::Everyone, commandDetails, S::None, C::OwnAccountWithEquals, R::WithoutText, W::None, "details"},
    {"?setname", 8, T::Everyone, commandSetname, S::None, C::OwnAccount, R::No, W::None, "setname"},
    {"?setemail", 9, T::Everyone, commandSetemail, S::None, C::OwnAccount, R::No, W::None, "setemail"},
    {"?notifychat", 8, T::Everyone, commandNotifychat, S::None, C::OwnAccountWithSwitch, R::Always, W::None, "notifychat"},
    {"?ghost", 6, T::Everyone, commandGhost, S::None, C::None, R::No, W::None, "ghost"},
    {"?password", 9, T::Everyone, commandPassword, S::Whole, C::OwnAccount, R::No, W::WholeArgument, "password"},
    {"?addchat", 8, T::Everyone, commandAddchat, S::None, C::None, R::No, W::None, "addchat"},
    {"?leavechat", 10, T::Everyone, commandLeavechat, S::None, C::None, R::No, W::None, "leavechat"},
    {"?chat", 5, T::Everyone, commandChat, S::None, C::None, R::No, W::None, "chat"},
    {"?squadowner", 11, T::Everyone, commandSquadowner, S::None, C::None, R::No, W::None, "squadowner"},
    {"?seen", 5, T::Everyone, commandSeen, S::None, C::None, R::WithoutArgument, W::None, "seen"},
    {"?squadjoin", 10, T::Everyone, commandSquadjoin, S::AfterColonOnly, C::OwnAccount, R::No, W::SquadJoin, "squadjoin"},
    {"?squadleave", 9, T::Everyone, commandSquadleave, S::None, C::OwnAccount, R::No, W::None, "squadleave"},
    {"?squadcreate", 12, T::Everyone, commandSquadcreate, S::AfterColon, C::OwnAccount, R::No, W::AfterName, "squadcreate"},
    {"?squaddissolve", 10, T::Everyone, commandSquaddissolve, S::None, C::OwnAccount, R::No, W::None, "squaddissolve"},
    {"?squadpassword", 14, T::Everyone, commandSquadpassword, S::Whole, C::OwnAccount, R::No, W::WholeArgument, "squadpassword"},
    {"?squadname", 10, T::Everyone, commandSquadname, S::None, C::OwnAccount, R::No, W::None, "squadname"},
    {"?squadkick", 10, T::Everyone, commandSquadkick, S::None, C::OwnAccount, R::No, W::None, "squadkick"},
    {"?squadlist", 8, T::Everyone, commandSquadlist, S::None, C::None, R::Always, W::None, "squadlist"},
    {"?squadgrant", 11, T::Everyone, commandSquadgrant, S::None, C::OwnAccount, R::No, W::None, "squadgrant"},
    {"?squad", 6, T::Everyone, commandSquad, S::None, C::None, R::WithoutName, W::None, "squad"},
    {"?login", 6, T::Everyone, commandLogin, S::Whole, C::None, R::No, W::OperatorLogin, "login"},
    {"?deop", 5, T::Everyone, commandDeop, S::None, C::None, R::No, W::None, "dop"},
    {"?dop", 4, T::Everyone, commandDeop, S::None, C::None, R::No, W::None, "dop"},
    {"?whois", 6, T::Everyone, commandWhois, S::None, C::None, R::No, W::None, "whois"},

    {"?block", 6, T::Level0, commandBlock, S::None, C::Network, R::No, W::None, "block"},
    {"?write", 5, T::Level0, commandWrite, S::None, C::Network, R::No, W::None, "write"},
    {"?networkreset", 9, T::Level0, commandNetworkreset, S::None, C::Network, R::No, W::None, nullptr},
    {"?read", 5, T::Level0, commandRead, S::None, C::Network, R::No, W::None, "read"},
    {"?version", 4, T::Level0, commandVersion, S::None, C::None, R::No, W::None, "ver"},
    {"?changepassword", 15, T::Level0, commandChangepassword, S::AfterColon, C::Network, R::No, W::AfterName, "changepassword"},
    {"?changesquad", 12, T::Level0, commandChangesquad, S::None, C::Network, R::No, W::None, "changesquad"},
    {"?changename", 11, T::Level0, commandChangename, S::None, C::Network, R::No, W::None, "changename"},

    {"?groupreset", 11, T::Level1, commandGroupreset, S::None, C::Network, R::No, W::None, nullptr},
    {"?removezone", 11, T::Level1, commandRemovezone, S::None, C::Network, R::No, W::None, "removezone"},
    {"?addzone", 8, T::Level1, commandAddzone, S::AfterColon, C::Network, R::No, W::AfterScoreID, "addzone"},
    {"?changezone", 11, T::Level1, commandChangezone, S::AfterColon, C::Network, R::No, W::AfterScoreID, "changezone"},
    {"?listzone", 9, T::Level1, commandListzone, S::None, C::None, R::No, W::None, "listzone"},
    {"?closezone", 10, T::Level1, commandClosezone, S::None, C::Network, R::No, W::None, "closezone"},
    {"?recyclezone", 12, T::Level1, commandRecyclezone, S::None, C::Network, R::No, W::None, "recyclezone"},

    {"?groupid", 8, T::Level2, commandGroupid, S::None, C::None, R::No, W::None, "groupid"},
    {"?scoreid", 8, T::Level2, commandScoreid, S::None, C::None, R::No, W::None, "scoreid"},
    {"?notifyzone", 8, T::Level2, commandNotifyzone, S::None, C::None, R::No, W::None, "notifyzone"},
    {"?extchat", 8, T::Level2, commandExtchat, S::None, C::NetworkWithSwitch, R::No, W::None, "extchat"},
    {"?bantext", 8, T::Level2, commandBantext, S::None, C::NetworkWithArgument, R::No, W::None, "bantext"},

    {"?addop", 6, T::Level3, commandAddop, S::AfterSwitches, C::Network, R::No, W::AfterSwitches, "addop"},
    {"?removeop", 9, T::Level3, commandRemoveop, S::None, C::Network, R::No, W::None, "removeop"},
    {"?changeop", 9, T::Level3, commandChangeop, S::EntryNumber, C::Network, R::No, W::EntryOrWhole, "changeop"},
    {"?info", 5, T::Level3, commandInfo, S::None, C::None, R::No, W::None, "info"},

    {"?banfree", 8, T::Level4, commandBanfree, S::None, C::Network, R::No, W::None, "banfree"},
    {"?listbanfree", 9, T::Level4, commandListbanfree, S::None, C::None, R::No, W::None, "listbanfree"},
    {"?liftbanfree", 12, T::Level4, commandLiftbanfree, S::None, C::Network, R::No, W::None, "liftbanfree"},
    {"?notifyban", 8, T::Level4, commandNotifyban, S::None, C::None, R::No, W::None, "notifyban"},
    {"?changeop", 9, T::Level4, commandChangeopOwn, S::EntryNumber, C::Network, R::No, W::WholeArgument, "changeop"},
    {"?listban", 8, T::Level4, commandListban, S::None, C::None, R::No, W::None, "listban"},
    {"?commentban", 11, T::Level4, commandCommentban, S::None, C::Network, R::No, W::None, "commentban"},
    {"?liftban", 8, T::Level4, commandLiftban, S::None, C::Network, R::No, W::None, "liftban"},
    {"?ban", 4, T::Level4, commandBan, S::None, C::Network, R::No, W::None, "ban"},
    {"?alias", 6, T::Level4, commandAlias, S::None, C::None, R::No, W::None, "alias"},
    {"?listop", 7, T::Level4, commandListop, S::None, C::None, R::No, W::None, "listop"},
    {"?adduser", 8, T::Level4, commandAdduser, S::AfterColon, C::Network, R::No, W::AfterName, "adduser"},

    {"?help", 5, T::AfterTiers, commandHelp, S::None, C::None, R::No, W::None, "help", true},
    {"?find", 5, T::AfterTiers, commandFind, S::None, C::None, R::No, W::None, "find"},
};

}  // namespace

std::span<const CommandEntry> commandTable() { return kCommands; }

}  // namespace tallysv
