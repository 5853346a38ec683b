#include "commands/squad_commands.h"

#include <string>

#include "core/text.h"
#include "core/text_string.h"

namespace tallysv {

namespace {

constexpr int kFieldLimit = 31;
constexpr int kNamesPerLine = 10;

constexpr const char* kJoined = "Squad successfully joined. Exit zone for it to take effect";
constexpr const char* kNoSuchSquad = "Specified squad does not exist";

// A player locked out at login holds an account that is in no table and is
// never saved: no squad may name it as owner or member.
bool isRealAccount(const CommandContext& command) { return &command.user() != &command.database.placeholderUser; }

// The squad the player owns, or none after the refusal has been replied.
SquadRecord* ownedSquad(CommandContext& command) {
    SquadRecord* squad = command.user().squad;
    if (!squad) {
        command.reply("You are not on a squad");
        return nullptr;
    }
    if (squad->owner != &command.user()) {
        command.reply("You are not squad owner");
        return nullptr;
    }
    return squad;
}

}  // namespace

void commandSquadowner(CommandContext& command) {
    if (command.args.empty()) return command.reply("SYNTAX: ?squadowner <squad name>");
    const SquadRecord* squad = command.database.findSquad(textOf(command.args));
    if (!squad) return command.reply(kNoSuchSquad);
    TextString line(squad->nameText());
    line.append(" owner: ").append(squad->owner ? squad->owner->nameText() : "(UNKNOWN)");
    command.reply(line.view());
}

void commandSquadjoin(CommandContext& command) {
    const std::string_view args = command.args;
    if (args.empty()) return command.reply("SYNTAX: ?squadjoin=<squad name>:<squad password>");
    if (!isRealAccount(command)) return;
    UserRecord& user = command.user();
    SquadRecord* squad;
    if (std::optional<ColonSplit> split = splitAtColon(args)) {
        squad = command.database.findSquad(split->name);
        if (!squad) return command.reply(kNoSuchSquad);
        // The owner joins with any password.
        if (squad->owner != &user && !command.database.verifyPassword(squad->password, split->rest.substr(0, kFieldLimit)))
            return command.reply("Invalid password for specified squad");
    } else {
        squad = command.database.findSquad(textOf(args).substr(0, kFieldLimit));
        if (!squad) return command.reply(kNoSuchSquad);
        if (squad->owner != &user) return command.reply("You are not squad owner");
    }
    command.database.addSquadMember(*squad, user);
    command.reply(kJoined);
}

void commandSquadleave(CommandContext& command) {
    command.database.removeSquadMember(command.user());
    command.reply("Squad successfully left. Exit zone for it to take effect");
}

void commandSquadcreate(CommandContext& command) {
    const std::string_view args = command.args;
    if (args.empty()) return command.reply("SYNTAX: ?squadcreate=<squad name>:<squad password>");
    if (!isRealAccount(command)) return;
    std::optional<ColonSplit> split = splitAtColon(args);
    if (!split) return;
    char name[kFieldLimit + 1];
    normalizeName(name, split->name.data(), static_cast<int>(split->name.size()));
    if (hasNonTextByte(name)) return command.reply("All characters in your squad's name must be printable");
    if (command.database.findSquad(name)) return command.reply("Specified squad already exists");

    UserRecord& user = command.user();
    command.database.removeSquadMember(user);
    SquadRecord* squad =
        command.database.createSquad(name, split->rest.substr(0, kFieldLimit), &user);
    command.database.addSquadMember(*squad, user);
    command.reply("Squad successfully created and joined. Exit zone for it to take effect");
}

void commandSquaddissolve(CommandContext& command) {
    SquadRecord* squad = ownedSquad(command);
    if (!squad) return;
    command.database.removeSquad(squad);
    command.reply("Squad dissolved. Exit zone for it to take effect");
}

void commandSquadpassword(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("squadpassword");
    SquadRecord* squad = ownedSquad(command);
    if (!squad) return;
    squad->password = command.database.passwordField(textOf(command.args).substr(0, kFieldLimit));
    command.reply("Squad password changed");
}

void commandSquadname(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("squadname");
    SquadRecord* squad = ownedSquad(command);
    if (!squad) return;
    // Taken as typed: another squad may already carry the name, and
    // lookups then find the first of them in list order.
    command.database.renameSquad(*squad, textOf(command.args).substr(0, kFieldLimit));
    command.reply("Squad name changed. Exit zone for it to take effect");
}

void commandSquadkick(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("squadkick");
    SquadRecord* squad = ownedSquad(command);
    if (!squad) return;
    UserRecord* member = Database::findSquadMember(*squad, textOf(command.args));
    if (!member) return command.reply("Player is not a squad member");
    command.database.removeSquadMember(*member);
    command.reply("Player removed from squad");
}

void commandSquadlist(CommandContext& command) {
    const SquadRecord* squad = command.user().squad;
    if (!squad) return command.reply("You are not on a squad");
    const auto& members = squad->members();
    TextString line("Squadmates: ");
    int inLine = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        line.append(members[i]->nameText());
        ++inLine;
        if (i + 1 == members.size()) break;
        line.append(",");
        if (inLine == kNamesPerLine) {
            command.reply(line.view());
            line.assign("");
            inLine = 0;
        }
    }
    if (inLine > 0) command.reply(line.view());
}

void commandSquadgrant(CommandContext& command) {
    SquadRecord* squad = ownedSquad(command);
    if (!squad) return;
    UserRecord* heir = command.args.empty() ? nullptr : command.database.findUser(textOf(command.args));
    if (!heir) return command.reply("Unable to find user specified");
    squad->owner = heir;
    command.reply("Squad owner changed");
}

void commandSquad(CommandContext& command) {
    const UserRecord* user = &command.user();
    // A name of one character is no name.
    const bool asker = command.args.size() < 2;
    if (!asker) {
        user = command.database.findUser(textOf(command.args));
        if (!user) return command.reply("Specified player does not exist");
    }
    TextString line(user->nameText());
    if (user->squad) return command.reply(line.append("'s squad is ").append(user->squad->nameText()).view());
    if (asker) return command.reply("You have no squad");
    command.reply(line.append(" has no squad").view());
}

}  // namespace tallysv
