#include "commands/help_texts.h"

namespace tallysv {

namespace {
constexpr const char* kTopic1[] = {
    "  The password command allows you to change the password",
    "  you type when you enter the game.  Pick it wisely, as",
    "  it is possible to guess poorly-chosen passwords.  The",
    "  best passwords mix upper/lower-case letters, numbers",
    "  and symbols.  Limit 24 characters",
    "SYNTAX: ?password=<new password>",
};
constexpr const char* kTopic2[] = {
    "  Login passwords are assigned by network administrators",
    "  using the addop command, and may be edited with changeop",
    "SYNTAX: ?login <password>",
};
constexpr const char* kTopic3[] = {
    "  The dop command lifts your operator status",
    "SYNTAX: ?dop",
};
constexpr const char* kTopic4[] = {
    "  The addchat command adds the given channel to the end",
    "  of your chat list.  Limit 9 channels.  To send chat messages",
    "  to channels other than #1, type |;<channel number>;message|",
    "SYNTAX: ?addchat=<chan>,[<chan>,<chan>,<chan>]",
};
constexpr const char* kTopic5[] = {
    "  To leave a single chat, use the leavechat command.  You",
    "  may specify a channel name or a numerical channel identifier",
    "SYNTAX: ?leavechat <chat name>",
    "        ?leavechat <channel #>",
};
constexpr const char* kTopic6[] = {
    "  Typing |?chat| by itself will list all channels you are",
    "  listening to",
    "SYNTAX: ?chat",
    "  The chat assignment command provides for reconfiguring",
    "  the contents and order of your chat channels",
    "SYNTAX: ?chat=<chan>,[<chan>,<chan>,<chan>]",
};
constexpr const char* kTopic7[] = {
    "  Toggle ability to receive remote chat messages from other zones",
    "SYNTAX: ?extchat [yes|no]",
};
constexpr const char* kTopic8[] = {
    "  Using the notifychat feature enables or disables messages",
    "  that report when players join and exit your chat channels",
    "SYNTAX: ?notifychat [yes|no]",
};
constexpr const char* kTopic9[] = {
    "  Using the notifyban feature enables or disables messages",
    "  that report when banned players join and exit your network",
    "SYNTAX: ?notifyban [yes|no]",
};
constexpr const char* kTopic10[] = {
    "  Using the notifyzone feature enables or disables messages",
    "  that report when zones join and exit the network",
    "SYNTAX: ?notifyzone [yes|no]",
};
constexpr const char* kTopic11[] = {
    "  Typing |?details| alone, displays your personal details",
    "SYNTAX: ?details",
    "  To change your details, use the details assignment command",
    "SYNTAX: ?details=<personal commentary>",
    "  To view others' details, omit the '='",
    "SYNTAX: ?details <player name>",
};
constexpr const char* kTopic12[] = {
    "  Use setname to change the name you entered in the",
    "  registration form.  This command does not send anything",
    "  to other players or network staff.  It is used solely",
    "  for coordinating squad league-type events",
    "SYNTAX: ?setname=<real name>",
};
constexpr const char* kTopic13[] = {
    "  Use setemail to change the address you entered in the",
    "  registration form.  This command does not send anything",
    "  to other players or network staff.  It is used solely",
    "  for coordinating squad league-type events",
    "SYNTAX: ?setemail=<new email address>",
};
constexpr const char* kTopic14[] = {
    "  To join a squad or change your squad, use squadjoin",
    "SYNTAX: ?squadjoin=<squad name>:<squad password>",
    "  If you are a squad owner, the password is optional",
    "SYNTAX: ?squadjoin=<squad name>",
};
constexpr const char* kTopic15[] = {
    "  Displays the last time at which the player was seen online",
    "SYNTAX: ?seen <player name>",
};
constexpr const char* kTopic16[] = {
    "  When you want to leave a squad, use squadleave.  This",
    "  will NOT remove your status as squad leader, nor will it",
    "  delete the squad",
    "SYNTAX: ?squadleave",
};
constexpr const char* kTopic17[] = {
    "  Createsquad will create a squad and make you the owner",
    "SYNTAX: ?squadcreate=<squad name>:<squad password>",
};
constexpr const char* kTopic18[] = {
    "  If you are unsure of who is the current owner of a squad,",
    "  use the squadowner command.  This works for people on or",
    "  off the squad",
    "SYNTAX: ?squadowner <squad name>",
};
constexpr const char* kTopic19[] = {
    "  The find command locates a player on the network.  It will",
    "  display the zone or arena he/she is in",
    "SYNTAX: ?find <part of the player's name>",
    "  Typing |?find=:name| searches for an exact name match.  Use",
    "  if someone with a similar name to the searchee interferes",
    "SYNTAX: ?find :<exact player name>",
};
constexpr const char* kTopic20[] = {
    "  Squaddissolve completely removes a squad from the system",
    "  Players will be able to re-claim the squad afterwards",
    "SYNTAX: ?squaddissolve",
};
constexpr const char* kTopic21[] = {
    "  Using the squadpassword command changes your squad's password,",
    "  but existing squad members will not need to re-join",
    "SYNTAX: ?squadpassword=<new password>",
};
constexpr const char* kTopic22[] = {
    "  Whenever you would like to ban a player from your squad, use",
    "  squadkick in combination with squadpassword to lock them out",
    "SYNTAX: ?squadkick <player name>",
};
constexpr const char* kTopic23[] = {
    "  Ever want to transfer zone ownership to another player?",
    "  Utilize squadgrant to accomplish this",
    "SYNTAX: ?squadgrant <new owner's name>",
};
constexpr const char* kTopic24[] = {
    "  List the members of your squad",
    "SYNTAX: ?squadlist",
};
constexpr const char* kTopic25[] = {
    "  Squadname allows you to rename your squad.  Members will NOT",
    "  be required to re-join the squad, and the squad owner will NOT",
    "  be deposed",
    "SYNTAX: ?squadname=<new squad name>",
};
constexpr const char* kTopic26[] = {
    "  Activate the database save function.  Use sparingly",
    "SYNTAX: ?write",
};
constexpr const char* kTopic27[] = {
    "  Re-read TALLYSV.INI, to update biller settings without",
    "  a network-wide recycle",
    "SYNTAX: ?read",
};
constexpr const char* kTopic28[] = {
    "  Find the other names a player has used.  Match types(in order of testing):",
    "  [IP]  = Exact IP match; no doubt about it",
    "  [MAC] = MachineID match; this CAN be spoofed but is unlikely",
    "  [ID2] = HardwareID match; experimental, thus untrustworthy",
    "  [~IP] = Fuzzy IP match; there is a distinct possibility",
    "SYNTAX: ?alias <player name>",
};
constexpr const char* kTopic29[] = {
    "  Create a new user account with the given name and password",
    "SYNTAX: ?adduser=<player name>:<player password>",
};
constexpr const char* kTopic30[] = {
    "  Change the given squad's owner",
    "SYNTAX: ?changesquad=<squad name>:<new owner>",
};
constexpr const char* kTopic31[] = {
    "  Change the given player's password",
    "SYNTAX: ?changepassword=<player name>:<new password>",
};
constexpr const char* kTopic32[] = {
    "  Change the player's name.  Score information, ban status, squad",
    "  ownership etc are all transferred to the new name",
    "SYNTAX: ?changename=<old name>:<new name>",
};
constexpr const char* kTopic33[] = {
    "  Mods use *arena. SMods use *zone. SysOps use **",
    "  This command enables any zone sysop to send auto-tagged messages",
    "  network-wide.  The tag is not present when you are logged in",
    "  as billing operator level 0",
    "SYNTAX: **<message>",
};
constexpr const char* kTopic34[] = {
    "  To remove a banfree, use listbanfree to retrieve the banfree number",
    "  and use that number with liftbanfree",
    "SYNTAX: ?liftbanfree <banfree number>",
};
constexpr const char* kTopic35[] = {
    "  List players who cannot be banned in the current zone",
    "  -*         - Show banfrees network-wide",
    "  *)         - Network-wide banfree",
    "  $) {Group} - Group-wide banfree",
    "  )          - Zone-wide banfree",
    "SYNTAX: ?listbanfree [-*]",
};
constexpr const char* kTopic36[] = {
    "  Players who are banfreed cannot be banned in the current zone",
    "  -level - Specifys banfree level.",
    "  -*     - Network-wide banfree",
    "SYNTAX: ?banfree [-(0-4)] [-*] <player name>",
};
constexpr const char* kTopic37[] = {
    "  This command does NOT change player ban comments - it changes the",
    "  text shown when banned players enter the game in this zone",
    "SYNTAX: ?bantext <new text>",
};
constexpr const char* kTopic38[] = {
    "  The ban command filters access to your network.  Switches come",
    "  before the player name, which is always last.  Switches:",
    "  -i 127.0.*.*; -i 1.1.1.1-2.2.2.2 - Change IP range attributes.",
    "  -*           - Set a network-wide.",
    "  -r=<ScoreID> - Remotely ban in zone with specified ScoreID",
    "  -!           - Block all traffic from his/her ISP.",
    "  -s           - Auto-ban IP subnet.  Default blocks only current IP.",
    "  -lvl         - Change access level needed to modify the ban. (0-4)",
    "  -k           - Do not kick the player from the zone.",
    "  -d=<days>    - Set ban timer.",
    "  -g[=GroupID] - Set group-wide ban.",
    "  before the player name, which is always last.",
    "SYNTAX: ?ban [-i IP1-IP2] [-s] [-d=days] [-k] [-*] [-!] [-level] [-g=group] <player name>",
};
constexpr const char* kTopic39[] = {
    "  List all bans within your sector of the network.  Bans may not be zone-wide:",
    "  If you specify a BanID, then it will show info for that ban only",
    "  #) <Zone Name/Zone ScoreID> Name ... - Zone-wide ban.",
    "  #$) {GroupID} Name ...               - Group-wide ban.",
    "  #*) Name ...                         - Network-wide ban.",
    "  -d - Show details",
    "  -* - Show bans netowrk-wide",
    "SYNTAX: ?listban [-d] [-*] [BanID]",
};
constexpr const char* kTopic40[] = {
    "  To add a ban comment, use listban to retrieve the ban number",
    "  and use that number with commentban",
    "SYNTAX: ?commentban <ban number>:<comment>",
};
constexpr const char* kTopic41[] = {
    "  To remove a ban, use listban to retrieve the ban number",
    "  and use that number with liftban",
    "SYNTAX: ?liftban <ban number>",
};
constexpr const char* kTopic42[] = {
    "  List all logged hosts, and display registration and connection status",
    "  Online(Unregistered) - The zone has connected with the 'skeleton password'",
    "                         It is advisable to use the addzone system instead",
    "  Offline              - Registered with a password but not connected",
    "  Online               - Registered with a password and connected",
    "  Connecting: IP:Port  - Generally marks a DoS attack or unregistered zone",
    "                         Methods of blocking these session types are advancing,",
    "                         and in most instances this is harmless",
    "SYNTAX: ?listzone",
};
constexpr const char* kTopic43[] = {
    "  To shutdown a zone, use listzone to get the zone's score id,",
    "  and use the id with closezone.  The zone must be connected",
    "SYNTAX: ?closezone <zone score id>",
};
constexpr const char* kTopic44[] = {
    "  To recycle a zone, use listzone to get the zone's score id,",
    "  and use the id with recyclezone.  The zone must be connected",
    "SYNTAX: ?recyclezone=<zone score id>",
};
constexpr const char* kTopic45[] = {
    "  Addzone assigns private passwords to new zones entering the",
    "  network.  This prevents DoS attacks by disgruntled operators",
    "  on other zones.  The 'skeleton key' biller password is still",
    "  available, but it should be randomized soon after the first",
    "  zone connects, as the addzone system is more efficient.",
    "SYNTAX: ?addzone <score id>:<password>",
};
constexpr const char* kTopic46[] = {
    "  Removezone will unregister a zone password, but will not",
    "  disconnect the related zone.  To block access, use closezone",
    "SYNTAX: ?removezone=<score id>",
};
constexpr const char* kTopic47[] = {
    "  Changezone changes a zone's password.  This password is secure",
    "SYNTAX: ?changezone=<new password>",
};
constexpr const char* kTopic48[] = {
    "  This billing sysop command displays build information that",
    "  should remain confidential in case a version-specific",
    "  exploit is invented",
    "SYNTAX: ?version",
};
constexpr const char* kTopic49[] = {
    "  Shows what squad the player is in",
    "SYNTAX: ?squad <player name>",
};
constexpr const char* kTopic50[] = {
    "  The ghost command makes you invisible to the find and whois",
    "  commands.  Billing operators gain invisibility in chat channels",
    "SYNTAX: ?ghost [yes/no]                                   Muahaha",
};
constexpr const char* kTopic51[] = {
    "  Retrieve player operator status.  Ghosting disables this command",
    "SYNTAX: ?whois <player name>",
};
constexpr const char* kTopic52[] = {
    "  Shows database entry contents for given user including ban info",
    "SYNTAX: ?info <player name>",
};
constexpr const char* kTopic53[] = {
    "  Shows current zone's score id",
    "SYNTAX: ?scoreid",
};
constexpr const char* kTopic54[] = {
    "  Shows current zone's group id",
    "SYNTAX: ?groupid",
};
constexpr const char* kTopic55[] = {
    "  Tallyman2 commands have varying potency depending on operator",
    "  level.  (Type ?help levels for info)  There is also an option",
    "  in the ?addop command to restrict power to a sector of the",
    "  network.  There are three types of restrictions:",
    "  Network-wide = Has power in all zones on the network",
    "  Group-wide   = Has power only in one GroupID [See SERVER.INI]",
    "  Zone-wide    = Has power only in one zone.  In listops, these",
    "                 operators have the name or ScoreID of the zone",
};
constexpr const char* kTopic56[] = {
    "  Tallyman2 uses an access-system for operators based on zone",
    "  ScoreID and GroupID.  (Type ?help groups for info)",
    "  Operator levels are independant of these restrictions",
    "  0 = Network Administrator",
    "  1 = Zone Host or Group Manager",
    "  2 = Zone SysOp",
    "  3 = Zone Super Moderator",
    "  4 = Zone Moderator",
};
constexpr const char* kTopic57[] = {
    "  ?login <password> can be set to allow private passwords using",
    "  the addop command.  Type ?help levels or ?help groups for more info",
    "  The operator's zone is the current one.  Switches:",
    "  -*         = Network-wide",
    "  -g         = Group-wide within current group",
    "  -g=GroupID = Group-wide within given group",
    "  -level     = Operator level (0-4)",
    "SYNTAX: ?addop [-*] [-level] [-g] [-g=group] <name>:<password>",
};
constexpr const char* kTopic58[] = {
    "  List registered operators.  Type ?help level or ?help group for info.",
    "  *)         - Network-wide operator.",
    "  $) {Group} - Group-wide operator.",
    "  )          - Zone-wide operator.",
    "SYNTAX: ?listop",
};
constexpr const char* kTopic59[] = {
    "  The changeop command allows you to change an operator's password.",
    "  Type ?help levels or ?help groups for more info.",
    "SYNTAX: ?changeop <operator entry #>:<new password>",
    "  When you are a level 4 operator, however, you are only permitted to",
    " change your own password, and so the operator entry # is omitted..",
    "SYNTAX: ?changeop <new password>",
};
constexpr const char* kTopic60[] = {
    "  The removeop command deletes an operator's private ?login password.",
    "  Type ?help levels or ?help groups for more info.",
    "SYNTAX: ?removeop <operator entry #>",
};
constexpr const char* kTopic61[] = {
    "  Toggles between the Block states:",
    "    Normal  - No special treatment",
    "    Banfree - Pass bans and some other blocks",
    "SYNTAX: ?block <player name>",
};
constexpr const char* kTopic62[] = {
    "  Moo.  Moo, moo.  Moo; moo moo",
    "SYNTAX: ?moo=<moo>:<moo>",
};
constexpr const char* kTopic63[] = {
    "  For starters, stop playing Voidrift.  Then, pat yourself",
    "  on the back.  We'd do it for you if we weren't just programmed",
    "  auto-responses.  Finally, sit down and read a good book",
    "  I recommend anything by Hollis Grange",
    "  Remember: You are important, even though noone cares",
};
constexpr const char* kTopic64[] = {
    "  I try.  But, being part of a single-state machine does not help",
};

// Topic words in testing order, with the characters compared: a count
// beyond the word makes it a whole-word topic, a shorter one a prefix.
constexpr HelpTopic kTopics[] = {
    {"password", 8, kTopic1},
    {"login", 6, kTopic2},
    {"dop", 7, kTopic3},
    {"addchat", 7, kTopic4},
    {"leavechat", 9, kTopic5},
    {"chat", 4, kTopic6},
    {"extchat", 7, kTopic7},
    {"notifychat", 7, kTopic8},
    {"notifyban", 7, kTopic9},
    {"notifyzone", 7, kTopic10},
    {"details", 7, kTopic11},
    {"setname", 7, kTopic12},
    {"setemail", 8, kTopic13},
    {"squadjoin", 9, kTopic14},
    {"seen", 4, kTopic15},
    {"squadleave", 10, kTopic16},
    {"squadcreate", 11, kTopic17},
    {"squadowner", 10, kTopic18},
    {"find", 4, kTopic19},
    {"squaddissolve", 13, kTopic20},
    {"squadpassword", 13, kTopic21},
    {"squadkick", 9, kTopic22},
    {"squadgrant", 10, kTopic23},
    {"squadlist", 9, kTopic24},
    {"squadname", 9, kTopic25},
    {"write", 5, kTopic26},
    {"read", 4, kTopic27},
    {"alias", 5, kTopic28},
    {"adduser", 7, kTopic29},
    {"changesquad", 11, kTopic30},
    {"changepassword", 14, kTopic31},
    {"changename", 10, kTopic32},
    {"**", 2, kTopic33},
    {"liftbanfree", 11, kTopic34},
    {"listbanfree", 11, kTopic35},
    {"banfree", 7, kTopic36},
    {"bantext", 7, kTopic37},
    {"ban", 3, kTopic38},
    {"listban", 7, kTopic39},
    {"commentban", 10, kTopic40},
    {"liftban", 7, kTopic41},
    {"listzone", 8, kTopic42},
    {"closezone", 9, kTopic43},
    {"recyclezone", 11, kTopic44},
    {"addzone", 7, kTopic45},
    {"removezone", 10, kTopic46},
    {"changezone", 10, kTopic47},
    {"ver", 3, kTopic48},
    {"squad", 5, kTopic49},
    {"ghost", 5, kTopic50},
    {"whois", 6, kTopic51},
    {"info", 4, kTopic52},
    {"scoreid", 7, kTopic53},
    {"groupid", 7, kTopic54},
    {"group", 5, kTopic55},
    {"level", 5, kTopic56},
    {"addop", 5, kTopic57},
    {"listop", 6, kTopic58},
    {"changeop", 8, kTopic59},
    {"removeop", 8, kTopic60},
    {"block", 5, kTopic61},
    {"help", 4, kTopic62},
    {"me", 2, kTopic63},
    {"yourself", 8, kTopic64},
};

}  // namespace

std::span<const HelpTopic> helpTopics() { return kTopics; }

}  // namespace tallysv
