#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tallysv {

class CommandContext;

// One operator action as the audit log keeps it.
struct AuditRecord {
    int64_t time = 0;        // seconds since 1970
    int32_t operatorEntry = 0;  // the operator record's place in the operator list, from 1
    int32_t level = 0;       // its level when the command ran
    std::string account;     // the account the operator typed from (a zone)
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

// True for the operator actions that change state: operators, bans,
// banfrees, zone registrations and ban texts, a zone's external chat,
// accounts and their PassBlock, squad owners, score resets, settings
// re-read, saves, zone shutdown and recycle orders. Listings, look-ups,
// the operator's own notice switches and every player's own commands are
// not.
bool auditedCommand(void (*handler)(CommandContext&), const CommandContext& command);

// The audit line of the matched command `handler` about to run, or none
// when it is not audited or no writer is set.
std::shared_ptr<PendingAudit> startAudit(void (*handler)(CommandContext&), const CommandContext& command,
                                         const AuditWriter& writer);

}  // namespace tallysv
