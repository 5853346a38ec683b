#include "commands/self_service_commands.h"

#include "core/random.h"
#include "core/text.h"
#include "core/text_string.h"
#include "core/time_helpers.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

constexpr int kFieldLimit = 31;
constexpr int kDetailsLimit = 127;
constexpr int kFindReplies = 6;

constexpr const char* kNotRegistered =
    "This feature may only be used by registered players. Log in once with ZEK Voidrift to get a registration form";

void sendRegistration(CommandContext& command, const User2Record& registration) {
    command.reply(TextString("Name: ").append(registration.realName.view()).view());
    command.reply(TextString("Email: ").append(registration.email.view()).view());
    command.reply(TextString("Details: ").append(registration.details.view()).view());
}

void reportGhosting(CommandContext& command) {
    command.reply(command.player.ghosting ? "Ghosting is currently ENABLED" : "Ghosting is currently DISABLED");
}

}  // namespace

void commandCoin(CommandContext& command) {
    command.reply(randomNext(command.database.random) & 1 ? "Heads!" : "Tails!");
}

void commandPassword(CommandContext& command) {
    if (command.args.empty()) return command.reply("SYNTAX: ?password=<new password>");
    command.user().password = command.database.passwordField(textOf(command.args).substr(0, kFieldLimit));
    command.reply("Password changed");
}

void commandDetails(CommandContext& command) {
    User2Record* registration = command.user().registration();
    if (!registration) return command.reply(kNotRegistered);
    if (command.afterWord.empty()) return sendRegistration(command, *registration);
    if (command.separator() == '=') {
        registration->details.set(textOf(command.args).substr(0, kDetailsLimit));
        return command.reply("Details changed");
    }
    char name[kFieldLimit + 1];
    normalizeName(name, command.args.data(), kFieldLimit);
    const UserRecord* other = command.database.findUser(name);
    if (!other) return command.reply("Unable to find specified user");
    if (!other->registration()) return command.reply("Player is unregistered");
    sendRegistration(command, *other->registration());
}

void commandSetname(CommandContext& command) {
    User2Record* registration = command.user().registration();
    if (!registration) return command.reply(kNotRegistered);
    registration->realName.set(textOf(command.args).substr(0, kFieldLimit));
    command.reply("Registered name changed");
}

void commandSetemail(CommandContext& command) {
    User2Record* registration = command.user().registration();
    if (!registration) return command.reply(kNotRegistered);
    registration->email.set(textOf(command.args).substr(0, kFieldLimit));
    command.reply("Registered email address changed");
}

void commandGhost(CommandContext& command) {
    // Unlike the notify switches, "t" and "f" mean nothing here.
    const int value = command.onOffSwitch("1yY", "0nN");
    if (value < 0) return reportGhosting(command);
    command.player.ghosting = static_cast<uint8_t>(value);
    command.reply(value ? "Ghosting ENABLED" : "Ghosting DISABLED");
}

void commandSeen(CommandContext& command) {
    const UserRecord* user = &command.user();
    if (!command.args.empty()) {
        user = command.database.findUser(textOf(command.args));
        if (!user) return command.reply("Specified player does not exist");
    }
    // The date is shown in the asker's time zone, not the other player's.
    std::string date = formatDateTime(localTimeWithBias(user->lastLogin, command.user().timeZoneBias));
    command.reply(TextString(user->nameText()).append(" last seen: ").append(date.c_str()).view());
}

void commandFind(CommandContext& command) {
    if (command.args.empty()) return command.requiresParameters("find");
    // "?find :name" looks for the exact name everywhere; otherwise a name
    // beginning is looked for in the other zones.
    const bool exact = command.args.front() == ':';
    const std::string_view name = textOf(command.args.substr(exact ? 1 : 0));
    int replies = 0;
    for (const auto& host : command.zones.transport().hosts()) {
        if (!exact && host == &command.zone) continue;
        ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        PlayerSession* found = zone->findPlayerByName(name, !exact);
        if (!found || found->ghosting) continue;
        TextString line(found->name());
        command.reply(line.append(" is in ").append(zoneOf(*host).zoneNameText().c_str()).view());
        if (++replies == kFindReplies) break;
    }
    if (replies == 0) command.reply("User offline");
}

}  // namespace tallysv
