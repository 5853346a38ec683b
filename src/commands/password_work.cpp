#include "commands/password_work.h"

#include <memory>

#include "commands/account_commands.h"
#include "commands/operator_commands.h"
#include "commands/self_service_commands.h"
#include "commands/squad_commands.h"
#include "commands/zone_commands.h"
#include "core/text.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// Every password argument is cut to the 31 characters a field holds.
constexpr size_t kPasswordLimit = 31;

std::string cut(std::string_view plain) { return std::string(plain.substr(0, kPasswordLimit)); }

// The text after the colon of "<first>:<second>" at `position` (the colon
// among the first 31 characters), as the commands split it.
std::optional<std::string_view> afterColon(const CommandContext& command, int position) {
    int firstLength = 0;
    const char* rest = nullptr;
    if (!splitAtColon(command.at(position), command.length - position, firstLength, rest)) return std::nullopt;
    return std::string_view(rest);
}

// "<ScoreID>:<password>" or "[<number>:]<password>" from `position`: the
// text after the first colon, or none.
std::optional<std::string_view> afterFirstColon(const CommandContext& command, int position) {
    std::string_view rest = command.argument(position, command.length - position);
    size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return rest.substr(colon + 1);
}

void field(PasswordNeeds& needs, std::optional<std::string_view> plain) {
    if (plain) needs.fields.push_back(cut(*plain));
}

// What each command that checks or sets a password will compute, read
// from its text as the command reads it. A command the reading misses
// still works: it computes what it lacks itself.
PasswordNeeds needsOf(CommandHandler handler, CommandContext& command) {
    PasswordNeeds needs;
    if (handler == commandLogin) {
        if (command.length < 8 || command.op()) return needs;
        const std::string plain(command.at(7));
        if (scrambledPassword(plain) == scrambledPassword("")) return needs;
        for (const OperatorRecord* op : command.database.operators()) {
            if (op->user && op->user != &command.user()) continue;
            // A record of no account is never rehashed: only a hashed one
            // costs a hash.
            if (!op->user && !isHashedPassword(op->password)) continue;
            needs.checks.push_back({op->password, plain});
        }
    } else if (handler == commandSquadjoin) {
        if (command.length < 12) return needs;
        const char* argument = command.at(11);
        int nameLength = 0;
        const char* password = nullptr;
        if (!splitAtColon(argument, command.length - 11, nameLength, password)) return needs;
        const SquadRecord* squad =
            command.database.findSquad(std::string_view(argument, static_cast<size_t>(nameLength)));
        if (squad && squad->owner != &command.user()) needs.checks.push_back({squad->password, cut(password)});
    } else if (handler == commandPassword) {
        if (command.length > 10) field(needs, command.argument(10, kPasswordLimit));
    } else if (handler == commandChangepassword) {
        if (command.length >= 17) field(needs, afterColon(command, 16));
    } else if (handler == commandAdduser) {
        if (command.length >= 10) field(needs, afterColon(command, 9));
    } else if (handler == commandSquadcreate) {
        if (command.length >= 14) field(needs, afterColon(command, 13));
    } else if (handler == commandSquadpassword) {
        if (command.length >= 16) field(needs, command.argument(15, kPasswordLimit));
    } else if (handler == commandAddop) {
        // Switches come before "<name>:<password>"; none holds a colon.
        field(needs, afterFirstColon(command, 6));
    } else if (handler == commandChangeop) {
        if (command.length < 11) return needs;
        std::optional<std::string_view> numbered = afterFirstColon(command, 10);
        field(needs, numbered ? numbered : command.argument(10, command.length - 10));
    } else if (handler == commandChangeopOwn) {
        if (command.length >= 11) field(needs, command.argument(10, kPasswordLimit));
    } else if (handler == commandAddzone) {
        if (command.length >= 10) field(needs, afterFirstColon(command, 9));
    } else if (handler == commandChangezone) {
        if (command.length >= 13) field(needs, afterFirstColon(command, 12));
    }
    return needs;
}

}  // namespace

bool deferForPasswords(CommandProcessor& processor, const CommandEntry& entry, PlayerSession& player,
                       const std::string& text, int length) {
    // Only a player of a zone has an order to keep; a command run for
    // anyone else (none today) computes at once.
    if (!player.zone || zoneSession(*player.zone).findPlayer(player.playerID) != &player) return false;
    Database& database = processor.database();
    const bool hashing = database.settings.passwordHashing;
    PasswordNeeds needs;
    {
        CommandContext command(processor, player, text, length);
        needs = needsOf(entry.handler, command);
    }
    if (!passwordWorkNeeded(needs, database.passwordResults(), hashing)) return false;

    auto results = std::make_shared<PasswordResults>();
    auto work = [results, needs = std::move(needs), hashing] { *results = computePasswordResults(needs, hashing); };
    Host& zone = *player.zone;
    PlayerSession* asker = &player;
    const uint32_t playerID = player.playerID;
    auto finish = [&processor, &zone, asker, playerID, results, text, length] {
        // His leaving waits behind this, so he is the same session still.
        if (zoneSession(zone).findPlayer(playerID) != asker) return;
        // The command runs again from its start, on the state of now: a
        // record changed meanwhile is checked again (its new field finds no
        // result here), and so is the player's access.
        UsingPasswordResults using_(processor.database(), results.get());
        processor.dispatch(*asker, text, length);
    };
    if (!processor.zones().runInOrder(zone, playerID, std::move(work), std::move(finish)))
        processor.zones().sendPlayerText(player, kPasswordWorkBusy);
    return true;
}

}  // namespace tallysv
