#include "commands/command_processor.h"

#include <algorithm>
#include <cstring>

#include "commands/command_secrets.h"
#include "commands/command_table.h"
#include "commands/password_work.h"
#include "core/fields.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/text_string.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

// A command message: type, the player's identifier in the zone, the text.
constexpr int kTextOffset = 5;

// The text from `position` on; empty beyond its end. Its data() stays
// NUL-terminated, at the end of the text.
std::string_view textFrom(const std::string& text, size_t position) {
    return std::string_view(text).substr(std::min(position, text.size()));
}

}  // namespace

CommandContext::CommandContext(CommandProcessor& processor, PlayerSession& player, const std::string& text,
                               int length, size_t wordLength)
    : processor(processor),
      zones(processor.zones()),
      database(processor.database()),
      player(player),
      zone(*player.zone),
      length(length),
      afterWord(textFrom(text, wordLength)),
      args(textFrom(text, wordLength + 1)),
      text_(text) {}

int CommandContext::onOffSwitch(const char* on, const char* off, size_t fAt) const {
    if (args.empty()) return -1;
    const char c = args.front();
    if (c == '\0') return -1;
    if (std::string_view(on).find(c) != std::string_view::npos) return 1;
    if (std::string_view(off).find(c) != std::string_view::npos) return 0;
    if (c == 'O' || c == 'o') {
        const char f = charAt(args, fAt);
        return f == 'f' || f == 'F' ? 0 : 1;
    }
    return -1;
}

void CommandContext::reply(std::string_view line) {
    if (audit) audit->reply(line);
    deliver(line);
}

// A wait notice is no outcome: the audit line waits for the reply after it.
void CommandContext::replyBeforeWait(std::string_view line) {
    deliver(line);
    zones.transport().flushSends();
}

void CommandContext::refuse(std::string_view line) {
    if (audit) audit->reply(line);
    CommandProcessor::CollectedReplies* collected = processor.collectedReplies();
    if (collected && collected->player == &player) {
        collected->refusals.emplace_back(line);
        return;
    }
    deliver(line);
}

void CommandContext::deliver(std::string_view line) {
    CommandProcessor::CollectedReplies* collected = processor.collectedReplies();
    if (collected && collected->player == &player) {
        // A player's text is cut to its message as sendPlayerText cuts it.
        collected->lines.emplace_back(line.substr(0, ZoneProtocol::kMessageBuffer - 6));
        return;
    }
    zones.sendPlayerText(player, line);
}

void CommandContext::requiresParameters(const char* word) {
    TextString line("This command requires parameters. Type ?help ");
    reply(line.append(word).append(" for details").view());
}

Host* CommandContext::connectedZone(int32_t scoreID) const {
    for (const auto& host : zones.transport().hosts())
        if (host->loggedIn() && zoneOf(*host).scoreId == scoreID) return host;
    return nullptr;
}

void CommandContext::appendZoneLabel(TextString& line, int32_t scoreID) const {
    if (const Host* found = connectedZone(scoreID))
        line.append(zoneOf(*found).zoneNameText().c_str());
    else
        line.append(scoreID);
}

CommandFlood checkCommandFlood(CommandFloodState& state, uint32_t now) {
    if (now - state.lastCommandTick < 1500) state.floodCount += 1;
    uint32_t sinceDecay = now - state.lastDecayTick;
    if (sinceDecay > 3000) {
        state.floodCount -= static_cast<int32_t>(sinceDecay / 3000);
        if (state.floodCount < 0) state.floodCount = 0;
        state.lastDecayTick = now;
    }
    state.lastCommandTick = now;
    if (state.floodCount > 4) return CommandFlood::Kick;
    if (state.floodCount > 2) return CommandFlood::Warn;
    return CommandFlood::Ok;
}

CommandProcessor::CommandProcessor(ZoneProtocol& zones, Settings& settings, const Clock& clock, Log& log)
    : zones_(zones), settings_(settings), clock_(clock), log_(log) {
    zones_.setCommandHandler([this](InboundMessage& message) { return handle(message); });
}

bool CommandProcessor::handle(InboundMessage& message) {
    Host& zone = *message.host;
    // The zone gives the length; the text is what the message holds of it,
    // read as if it ended there when the NUL is missing.
    const int length = static_cast<int16_t>(message.length - 6);
    const int held = std::clamp(length, 0, std::max(message.length - kTextOffset, 0));
    std::string text(reinterpret_cast<const char*>(message.data()) + kTextOffset, static_cast<size_t>(held));

    PlayerSession* player = message.length >= kTextOffset
                                ? zoneSession(zone).findPlayer(readUInt32(message.data(), 1))
                                : nullptr;
    if (!player) {
        log_.printf("%i - (INVALID)>%s\n", zoneOf(zone).scoreId, maskCommandSecrets(text).c_str());
        return true;
    }
    log_.printf("%i - %s>%s\n", zoneOf(zone).scoreId, player->name(), maskCommandSecrets(text).c_str());
    ++commandCount_;

    switch (checkCommandFlood(player->commandFlood, clock_.tick())) {
        case CommandFlood::Ok:
            break;
        case CommandFlood::Warn:
            zones_.sendPlayerText(*player, "No command flooding");
            break;
        case CommandFlood::Kick:
            log_.printf("%i - Command flooder kicked: %s\n", zoneOf(zone).scoreId, player->name());
            zones_.sendPlayerText(*player, "NOTE: You are being disconnected for command flooding");
            zones_.kickPlayer(*player, 0, 1, -1);
            return true;
    }
    dispatch(*player, text, length);
    return true;
}

bool CommandProcessor::dispatch(PlayerSession& player, const std::string& text, int length,
                                const ControlCaller* caller) {
    // Operators reach the tiers from their own level down to 4; a level
    // beyond 4 reaches tier 4 only.
    const int reach = player.op ? std::min<int>(player.op->level, 4) : 5;
    const bool helpDisabled = settings_.disableHelp;
    for (const CommandEntry& entry : commandTable()) {
        if (entry.tier >= CommandTier::Level0 && entry.tier <= CommandTier::Level4 &&
            static_cast<int>(entry.tier) < reach)
            continue;
        if (entry.isHelp && helpDisabled) continue;
        if (!matchCommand(text.c_str(), entry.word, entry.bytes)) continue;
        if (caller && player.user == &database().placeholderUser) {
            // A request of the control socket with no account behind it
            // would otherwise act on the account every locked-out player
            // shares.
            CommandContext command(*this, player, text, length, std::strlen(entry.word));
            command.caller = caller;
            if (ownAccountCommand(entry, command)) {
                command.audit = startAudit(entry, command, services.audit);
                command.refuse(std::string("no account: ") + entry.word +
                               " acts on the caller's own account, and this request has none (use an operator "
                               "entry bound to an account)");
                return true;
            }
        }
        if (deferForPasswords(*this, entry, player, text, length)) return true;
        CommandContext command(*this, player, text, length, std::strlen(entry.word));
        command.caller = caller;
        command.audit = startAudit(entry, command, services.audit);
        entry.handler(command);
        return true;
    }
    return false;
}

}  // namespace tallysv
