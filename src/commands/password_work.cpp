#include "commands/password_work.h"

#include <cstring>
#include <memory>

#include "commands/account_commands.h"
#include "commands/operator_commands.h"
#include "commands/self_service_commands.h"
#include "commands/squad_commands.h"
#include "commands/zone_commands.h"
#include "core/text.h"
#include "core/wiped_string.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// Every password argument is cut to the 31 characters a field holds.
constexpr size_t kPasswordLimit = 31;

WipedString cut(std::string_view plain) { return WipedString(plain.substr(0, kPasswordLimit)); }

// "<ScoreID>:<password>" or "[<number>:]<password>": the text after the
// first colon, or none.
std::optional<std::string_view> afterFirstColon(std::string_view args) {
    std::string_view rest = textOf(args);
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
    const std::string_view args = command.args;
    if (handler == commandLogin) {
        if (args.empty() || command.op()) return needs;
        const WipedString plain(textOf(args));
        if (scrambledPassword(plain) == scrambledPassword("")) return needs;
        for (const OperatorRecord* op : command.database.operators()) {
            if (op->user && op->user != &command.user()) continue;
            // A record of no account is never rehashed: only a hashed one
            // costs a hash.
            if (!op->user && !isHashedPassword(op->password)) continue;
            needs.checks.push_back({op->password, plain});
        }
    } else if (handler == commandSquadjoin) {
        std::optional<ColonSplit> split = splitAtColon(args);
        if (!split) return needs;
        const SquadRecord* squad = command.database.findSquad(split->name);
        if (squad && squad->owner != &command.user()) needs.checks.push_back({squad->password, cut(split->rest)});
    } else if (handler == commandPassword || handler == commandSquadpassword || handler == commandChangeopOwn) {
        if (!args.empty()) field(needs, textOf(args));
    } else if (handler == commandChangepassword || handler == commandAdduser || handler == commandSquadcreate) {
        if (std::optional<ColonSplit> split = splitAtColon(args)) field(needs, split->rest);
    } else if (handler == commandAddop) {
        // Switches come before "<name>:<password>"; none holds a colon.
        field(needs, afterFirstColon(command.afterWord));
    } else if (handler == commandChangeop) {
        if (args.empty()) return needs;
        std::optional<std::string_view> numbered = afterFirstColon(args);
        field(needs, numbered ? numbered : textOf(args));
    } else if (handler == commandAddzone || handler == commandChangezone) {
        field(needs, afterFirstColon(args));
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
    const bool hashing = processor.settings().passwordHashing;
    PasswordNeeds needs;
    {
        CommandContext command(processor, player, text, length, std::strlen(entry.word));
        needs = needsOf(entry.handler, command);
    }
    if (!database.passwordWorkNeeded(needs)) return false;

    auto results = std::make_shared<PasswordResults>();
    auto work = [results, needs = std::move(needs), hashing] { *results = computePasswordResults(needs, hashing); };
    Host& zone = *player.zone;
    PlayerSession* asker = &player;
    const uint32_t playerID = player.playerID;
    // The command's text holds its passwords: kept until it runs again, and
    // wiped then or when the zone goes first.
    auto finish = [&processor, &zone, asker, playerID, results, kept = WipedString(text), length] {
        // His leaving waits behind this, so he is the same session still.
        if (zoneSession(zone).findPlayer(playerID) != asker) return;
        // The command runs again from its start, on the state of now: a
        // record changed meanwhile is checked again (its new field finds no
        // result here), and so is the player's access.
        UsingPasswordResults using_(processor.database(), results.get());
        processor.dispatch(*asker, kept.str(), length);
    };
    if (!processor.zones().runInOrder(zone, playerID, ZoneProtocol::WorkKind::Password, std::move(work),
                                         std::move(finish))) {
        // Turned away is an outcome too: an operator's action that the
        // server was too busy to take is recorded as tried.
        CommandContext command(processor, player, text, length, std::strlen(entry.word));
        if (auto audit = startAudit(entry.handler, command, processor.services.audit)) audit->reply(kPasswordWorkBusy);
        processor.zones().sendPlayerText(player, kPasswordWorkBusy);
    }
    return true;
}

}  // namespace tallysv
