#include "commands/command_audit.h"

#include "commands/account_commands.h"
#include "commands/ban_commands.h"
#include "commands/command_processor.h"
#include "commands/command_secrets.h"
#include "commands/operator_commands.h"
#include "commands/zone_commands.h"
#include "zone/zone_session.h"

namespace tallysv {

PendingAudit::~PendingAudit() { write(); }

void PendingAudit::reply(std::string_view line) {
    if (written_) return;
    record_.hasOutcome = true;
    record_.outcome.assign(line);
    write();
}

void PendingAudit::write() {
    if (written_) return;
    written_ = true;
    if (writer_) writer_(record_);
}

bool auditedCommand(void (*handler)(CommandContext&), const CommandContext& command) {
    using Handler = void (*)(CommandContext&);
    static constexpr Handler kAlways[] = {
        // operators
        commandAddop, commandRemoveop, commandChangeop, commandChangeopOwn,
        // bans and banfrees
        commandBan, commandLiftban, commandCommentban, commandBanfree, commandLiftbanfree,
        // zones
        commandAddzone, commandRemovezone, commandChangezone, commandClosezone, commandRecyclezone,
        commandGroupreset, commandNetworkreset,
        // accounts and squads
        commandAdduser, commandChangepassword, commandChangename, commandChangesquad, commandBlock,
        // the server
        commandRead, commandWrite,
    };
    for (Handler always : kAlways)
        if (handler == always) return true;
    // Without a value these two only show what is set.
    if (handler == commandBantext) return !command.afterWord.empty();
    if (handler == commandExtchat) return command.onOffSwitch("1TYty", "0FNfn") >= 0;
    return false;
}

std::shared_ptr<PendingAudit> startAudit(void (*handler)(CommandContext&), const CommandContext& command,
                                         const AuditWriter& writer) {
    if (!writer || !auditedCommand(handler, command)) return nullptr;
    AuditRecord record;
    record.time = command.processor.clock().now();
    // Taken now: the command may remove its own operator record.
    record.operatorEntry = 0;
    if (const OperatorRecord* op = command.op()) {
        record.level = op->level;
        int32_t entry = 0;
        for (const OperatorRecord* listed : command.database.operators()) {
            ++entry;
            if (listed == op) {
                record.operatorEntry = entry;
                break;
            }
        }
    }
    if (command.caller) {
        record.fromSocket = true;
        record.uid = command.caller->uid;
        record.pid = command.caller->pid;
    } else {
        record.account = command.user().nameText();
        record.scoreID = zoneOf(command.zone).scoreId;
        record.zoneName = zoneOf(command.zone).zoneNameText();
    }
    record.command = maskCommandSecrets(command.text());
    return std::make_shared<PendingAudit>(std::move(record), writer);
}

}  // namespace tallysv
