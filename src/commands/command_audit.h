#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tallysv {

class CommandContext;
struct CommandEntry;

// One operator action as the audit log keeps it.
struct AuditRecord {
    int64_t time = 0;        // seconds since 1970
    int32_t operatorEntry = 0;  // the operator record's place in the operator list, from 1
    int32_t level = 0;       // its level when the command ran
    std::string account;     // the account the operator typed from (a zone), or that a
                             // player's own command sent through the socket acted on
    bool fromSocket = false; // sent through the control socket
    uint32_t uid = 0;        // the socket peer's user and process
    int32_t pid = 0;
    int32_t scoreID = 0;     // the zone it was typed in
    std::string zoneName;
    std::string command;     // as typed, its passwords masked
    bool hasOutcome = false; // false: the command replied nothing
    std::string outcome;     // the first reply line
};

using AuditWriter = std::function<void(const AuditRecord&)>;

// The audit line of a running command. It is written with the command's
// first reply, before that reply is handed to the zone, or, for a command
// that replies nothing, when the last holder lets go of it.
class PendingAudit {
public:
    PendingAudit(AuditRecord record, AuditWriter writer) : record_(std::move(record)), writer_(std::move(writer)) {}
    ~PendingAudit();
    PendingAudit(const PendingAudit&) = delete;
    PendingAudit& operator=(const PendingAudit&) = delete;

    // A reply of the command: the first one is its outcome.
    void reply(std::string_view line);

private:
    void write();
    AuditRecord record_;
    AuditWriter writer_;
    bool written_ = false;
};

// True for a command whose row says it changes the network's state, as
// this text runs it (operators, bans, banfrees, zone registrations and ban
// texts, a zone's external chat, accounts and their PassBlock, squad
// owners, score resets, settings re-read, saves, zone shutdown and recycle
// orders); and, sent through the control socket, a player's own command
// that changes the account it runs for. Listings, look-ups, the operator's
// own notice switches and the commands every player types in a zone are
// not.
bool auditedCommand(const CommandEntry& entry, const CommandContext& command);

// A player's own command that reads or changes the caller's own account
// (its password, registration, squad, last login): one that means nothing
// for a caller with no account of its own.
bool ownAccountCommand(const CommandEntry& entry, const CommandContext& command);

// The subset of those that changes the account or its squad.
bool changesOwnAccount(const CommandEntry& entry, const CommandContext& command);

// The audit line of the matched command `entry` about to run, or none
// when it is not audited or no writer is set.
std::shared_ptr<PendingAudit> startAudit(const CommandEntry& entry, const CommandContext& command,
                                         const AuditWriter& writer);

}  // namespace tallysv
