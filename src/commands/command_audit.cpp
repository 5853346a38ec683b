#include "commands/command_audit.h"

#include "commands/account_commands.h"
#include "commands/ban_commands.h"
#include "commands/chat_commands.h"
#include "commands/command_processor.h"
#include "commands/command_secrets.h"
#include "commands/operator_commands.h"
#include "commands/self_service_commands.h"
#include "commands/squad_commands.h"
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

bool changesOwnAccount(void (*handler)(CommandContext&), const CommandContext& command) {
    using Handler = void (*)(CommandContext&);
    static constexpr Handler kChanging[] = {
        commandPassword, commandSetname, commandSetemail,
        commandSquadjoin, commandSquadleave, commandSquadcreate, commandSquaddissolve,
        commandSquadpassword, commandSquadname, commandSquadkick, commandSquadgrant,
    };
    for (Handler changing : kChanging)
        if (handler == changing) return true;
    // With "=" it sets the details; otherwise it shows someone's.
    if (handler == commandDetails) return command.separator() == '=';
    // With a value it is also kept in the registration.
    if (handler == commandNotifychat) return command.onOffSwitch("1yYtT", "0nNfF") >= 0;
    return false;
}

bool ownAccountCommand(void (*handler)(CommandContext&), const CommandContext& command) {
    if (changesOwnAccount(handler, command)) return true;
    // The asker's own squad, registration and last login; with a name
    // they are look-ups of another account.
    if (handler == commandSquadlist || handler == commandNotifychat) return true;
    if (handler == commandDetails) return command.afterWord.empty();
    if (handler == commandSquad) return command.args.size() < 2;
    if (handler == commandSeen) return command.args.empty();
    return false;
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
    // In a zone a player's own account is his own business; from the shell
    // it is an operator acting on the account bound to an operator entry.
    return command.caller && changesOwnAccount(handler, command);
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
        if (ownAccountCommand(handler, command) && &command.user() != &command.database.placeholderUser)
            record.account = command.user().nameText();
    } else {
        record.account = command.user().nameText();
        record.scoreID = zoneOf(command.zone).scoreId;
        record.zoneName = zoneOf(command.zone).zoneNameText();
    }
    record.command = maskCommandSecrets(command.text());
    return std::make_shared<PendingAudit>(std::move(record), writer);
}

}  // namespace tallysv
