#include "commands/command_audit.h"

#include "commands/command_processor.h"
#include "commands/command_secrets.h"
#include "commands/command_table.h"
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

namespace {

// An on/off switch as ?extchat and ?notifychat read it; without one they
// only show how it is set.
bool hasOnOffSwitch(const CommandContext& command) { return command.onOffSwitch("1TYty", "0FNfn") >= 0; }

}  // namespace

bool changesOwnAccount(const CommandEntry& entry, const CommandContext& command) {
    switch (entry.changes) {
        case StateChange::OwnAccount:
            return true;
        case StateChange::OwnAccountWithEquals:
            return command.separator() == '=';
        case StateChange::OwnAccountWithSwitch:
            return hasOnOffSwitch(command);
        case StateChange::None:
        case StateChange::Network:
        case StateChange::NetworkWithArgument:
        case StateChange::NetworkWithSwitch:
            break;
    }
    return false;
}

bool ownAccountCommand(const CommandEntry& entry, const CommandContext& command) {
    if (changesOwnAccount(entry, command)) return true;
    switch (entry.readsOwnAccount) {
        case OwnAccountRead::No:
            return false;
        case OwnAccountRead::Always:
            return true;
        case OwnAccountRead::WithoutText:
            return command.afterWord.empty();
        case OwnAccountRead::WithoutArgument:
            return command.args.empty();
        case OwnAccountRead::WithoutName:
            return command.args.size() < 2;
    }
    return false;
}

bool auditedCommand(const CommandEntry& entry, const CommandContext& command) {
    switch (entry.changes) {
        case StateChange::Network:
            return true;
        case StateChange::NetworkWithArgument:
            return !command.afterWord.empty();
        case StateChange::NetworkWithSwitch:
            return hasOnOffSwitch(command);
        case StateChange::None:
        case StateChange::OwnAccount:
        case StateChange::OwnAccountWithEquals:
        case StateChange::OwnAccountWithSwitch:
            break;
    }
    // In a zone a player's own account is his own business; from the shell
    // it is an operator acting on the account bound to an operator entry.
    return command.caller && changesOwnAccount(entry, command);
}

std::shared_ptr<PendingAudit> startAudit(const CommandEntry& entry, const CommandContext& command,
                                         const AuditWriter& writer) {
    if (!writer || !auditedCommand(entry, command)) return nullptr;
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
        if (ownAccountCommand(entry, command) && &command.user() != &command.database.placeholderUser)
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
