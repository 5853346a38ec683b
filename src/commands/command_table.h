#pragma once
#include <cstdint>
#include <span>

#include "commands/command_processor.h"

namespace tallysv {

// Who reaches a row of the command table: every player, operators whose
// level reaches a tier (0 to 4), or every player after all tiers.
enum class CommandTier : int8_t { Everyone = -1, Level0 = 0, Level1, Level2, Level3, Level4, AfterTiers };

// Where a command's text carries a password. Wherever the text is shown
// outside the player's own screen (console lines, the audit log, the
// control socket's log) that part becomes eight stars.
enum class SecretRule : uint8_t {
    None,
    Whole,           // the whole argument
    AfterColon,      // after the first ":"; without one, the whole argument
    AfterSwitches,   // after the first ":"; without one, all after the switches
    AfterColonOnly,  // after the first ":"; without one, nothing
    EntryNumber,     // after "<digits>:"; otherwise the whole argument
};

// What a command changes. Every change of the network's state by an
// operator is audited; a change of the caller's own account is audited
// when it came through the control socket, where it is an operator acting
// on the account bound to an operator entry (in a zone a player's own
// account is his own business).
enum class StateChange : uint8_t {
    None,
    Network,                   // always
    NetworkWithArgument,       // without an argument it only shows what is set
    NetworkWithSwitch,         // without an on/off switch it only shows it
    OwnAccount,                // the caller's account or its squad, always
    OwnAccountWithEquals,      // only with "=" after the word; otherwise a look-up
    OwnAccountWithSwitch,      // only with an on/off switch; otherwise it shows it
};

// When a command reads the caller's own account (its registration, squad,
// last login) without changing it: such a command, like one that changes
// the account, means nothing for a caller with no account of its own.
enum class OwnAccountRead : uint8_t {
    No,
    Always,
    WithoutText,      // nothing at all after the word
    WithoutArgument,  // no argument after the separator
    WithoutName,      // an argument too short to name anyone
};

// The password work a command needs before it runs, read from its text as
// the command reads it: checks of a stored password, or a new stored form
// of a password it sets. Whatever work it names the command must mask the
// same password (a test walks the table for that).
enum class PasswordWork : uint8_t {
    None,
    OperatorLogin,   // the argument checked against the operator records
    SquadJoin,       // "<squad>:<password>" checked against the squad's
    WholeArgument,   // the argument is the new password
    AfterName,       // "<name>:<password>", the name within the first 31 characters
    AfterSwitches,   // switches, then "<name>:<password>"
    EntryOrWhole,    // "[<entry>:]<password>"
    AfterScoreID,    // "<ScoreID>:<password>"
};

// Everything about one command: how its word matches, who reaches it, what
// runs, which part of its text is secret, what it changes (and so whether
// it is audited), what password work it needs, and its ?help topic.
struct CommandEntry {
    const char* word;
    int bytes;  // leading bytes compared (matchCommand)
    CommandTier tier;
    CommandHandler handler;
    SecretRule secret = SecretRule::None;
    StateChange changes = StateChange::None;
    OwnAccountRead readsOwnAccount = OwnAccountRead::No;
    PasswordWork passwordWork = PasswordWork::None;
    // The word ?help takes for it; none for a command it does not explain.
    const char* helpTopic = nullptr;
    bool isHelp = false;  // ?help itself: left out while DisableHelp is set
};

// Every command in the order the dispatcher compares them: the everyone
// tier, tiers 0 to 4, then the commands after all tiers.
std::span<const CommandEntry> commandTable();

}  // namespace tallysv
