#include "commands/password_work.h"

#include <cstring>
#include <memory>

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

// What a command that checks or sets a password will compute, as its row
// names it, read from its text as the command reads it. A command the
// reading misses still works: it computes what it lacks itself.
PasswordNeeds needsOf(const CommandEntry& entry, CommandContext& command) {
    PasswordNeeds needs;
    const std::string_view args = command.args;
    switch (entry.passwordWork) {
        case PasswordWork::None:
            break;
        case PasswordWork::OperatorLogin: {
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
            break;
        }
        case PasswordWork::SquadJoin: {
            std::optional<ColonSplit> split = splitAtColon(args);
            if (!split) return needs;
            const SquadRecord* squad = command.database.findSquad(split->name);
            if (squad && squad->owner != &command.user()) needs.checks.push_back({squad->password, cut(split->rest)});
            break;
        }
        case PasswordWork::WholeArgument:
            if (!args.empty()) field(needs, textOf(args));
            break;
        case PasswordWork::AfterName:
            if (std::optional<ColonSplit> split = splitAtColon(args)) field(needs, split->rest);
            break;
        case PasswordWork::AfterSwitches:
            // Switches come before "<name>:<password>"; none holds a colon.
            field(needs, afterFirstColon(command.afterWord));
            break;
        case PasswordWork::EntryOrWhole: {
            if (args.empty()) return needs;
            std::optional<std::string_view> numbered = afterFirstColon(args);
            field(needs, numbered ? numbered : textOf(args));
            break;
        }
        case PasswordWork::AfterScoreID:
            field(needs, afterFirstColon(args));
            break;
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
        needs = needsOf(entry, command);
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
        if (auto audit = startAudit(entry, command, processor.services.audit)) audit->reply(kPasswordWorkBusy);
        processor.zones().sendPlayerText(player, kPasswordWorkBusy);
    }
    return true;
}

}  // namespace tallysv
