#include "commands/account_commands.h"

#include <optional>
#include <string>

#include "core/address.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/text_string.h"
#include "core/time_helpers.h"

namespace tallysv {

namespace {

constexpr int kFieldLimit = 31;
constexpr int kUserIDDigits = 7;
constexpr int kAliasesPerLine = 5;

// "<first>:<second>" from the argument: the colon among its first 31
// characters, the second part cut to 31. None (and no reply) without such
// a colon.
std::optional<ColonSplit> splitArgument(std::string_view args) {
    std::optional<ColonSplit> split = splitAtColon(args);
    if (split) split->rest = split->rest.substr(0, kFieldLimit);
    return split;
}

std::string dateFor(const CommandContext& command, int32_t time) {
    return formatDate(localTimeWithBias(time, command.user().timeZoneBias));
}

}  // namespace

void commandChangepassword(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("changepassword");
    std::optional<ColonSplit> parts = splitArgument(command.args);
    if (!parts) return;
    UserRecord* user = command.database.findUser(parts->name);
    if (!user) return command.reply("User not found");
    user->password = command.database.passwordField(parts->rest);
    command.reply("User information updated");
}

void commandChangesquad(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("changesquad");
    std::optional<ColonSplit> parts = splitArgument(command.args);
    if (!parts) return;
    SquadRecord* squad = command.database.findSquad(parts->name);
    if (!squad) return command.reply("Squad not found");
    UserRecord* owner = command.database.findUser(parts->rest);
    if (!owner) return command.reply("User not found");
    squad->owner = owner;
    command.reply("Squad owner changed");
}

void commandChangename(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("changename");
    std::optional<ColonSplit> parts = splitArgument(command.args);
    if (!parts) return;
    // Names compare on 19 characters without regard to case, so a change
    // of case only, or a name that agrees with another's beginning, is
    // refused here.
    if (command.database.findUser(parts->rest)) return command.reply("User already exists");
    UserRecord* user = command.database.findUser(parts->name);
    if (!user) return command.reply("User not found");
    command.database.renameUser(*user, parts->rest);
    command.reply("User information updated");
}

void commandInfo(CommandContext& command) {
    const UserRecord* user = &command.user();
    if (!command.args.empty()) {
        const std::string_view name = textOf(command.args);
        user = command.database.findUser(name);
        if (!user) {
            const int32_t userID = profileNumber(name.substr(0, kUserIDDigits));
            if (userID >= 1) user = command.database.findUserByID(userID);
        }
    }
    if (!user) return command.reply("Specified user was not found in the database");

    TextString line(user->nameText());
    command.reply(line.append(" (#").append(user->userID()).append(") Last known information:").view());
    line.assign("Creation: ").append(dateFor(command, user->created).c_str());
    line.append(", Login: ").append(dateFor(command, user->lastLogin).c_str());
    line.append(", PassBlock: ").append(user->passBlock ? "Banfree" : "Normal");
    command.reply(line.append(", TZB: ").append(static_cast<int32_t>(user->timeZoneBias)).view());
    line.assign("IP: ").append(addressText(user->address()).c_str());
    line.append(", MachineID: ").append(user->machineID()).append(", HardwareID: ");
    if (user->registration())
        line.append(user->registration()->hardwareID());
    else
        line.append("(none)");
    command.reply(line.view());
}

namespace {

// The tag of an account in the target's alias list: the first of the tests
// that holds, in this order; none when no test holds.
struct AliasTarget {
    IPv4Address address;
    std::optional<int32_t> machineID;  // none: no machine match
    int32_t hardwareID;                // 0 when the target has no registration
};
const char* aliasTag(const UserRecord& user, const AliasTarget& target) {
    const IPv4Address& a = user.address();
    if (a == target.address) return "[IP]";
    if (target.machineID && user.machineID() == *target.machineID) return "[MAC]";
    if (user.registration() && user.registration()->hardwareID() == target.hardwareID) return "[ID2]";
    if (a[0] == target.address[0] && a[1] == target.address[1] && a[2] == target.address[2]) return "[~IP]";
    return nullptr;
}

}  // namespace

void commandAlias(CommandContext& command) {
    const UserRecord* target = &command.user();
    if (!command.args.empty()) {
        target = command.database.findUser(textOf(command.args));
        if (!target) return command.reply("Unable to find specified player");
    }
    if (target->address() == IPv4Address{}) return command.reply("This account has not been accessed yet");
    // With AllowNoMachineID, MachineID 0 is no machine: it makes no "[MAC]".
    std::optional<int32_t> machineID;
    if (!namesNoMachine(target->machineID(), command.processor.settings().allowNoMachineID))
        machineID = target->machineID();
    const AliasTarget match{target->address(), machineID,
                            target->registration() ? target->registration()->hardwareID() : 0};

    // Every zone waits while this runs: the indexes give the accounts that
    // pass one of the tests, in table order, and only those are read.
    TextString line;
    int inLine = 0;
    bool sent = false;
    for (const UserRecord* user : command.database.findAliases(match.address, match.machineID, match.hardwareID)) {
        const char* tag = aliasTag(*user, match);
        if (!tag) continue;
        if (inLine > 0) line.append(", ");
        line.append(user->nameText()).append(tag);
        if (++inLine == kAliasesPerLine) {
            command.reply(line.view());
            line.assign("");
            inLine = 0;
            sent = true;
        }
    }
    if (inLine > 0)
        command.reply(line.view());
    else if (!sent)
        command.reply("No aliases");
}

void commandAdduser(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("adduser");
    std::optional<ColonSplit> parts = splitArgument(command.args);
    if (!parts) return;
    std::string source(parts->name);
    char name[kFieldLimit + 1];
    normalizeName(name, source.c_str(), kFieldLimit);
    if (command.database.findUser(name)) return command.reply("User already exists");
    if (isInvalidName(name)) return command.reply("Invalid username");
    command.database.createUser(name, parts->rest, IPv4Address{}, 0, 0);
    command.reply("User added");
}

}  // namespace tallysv
