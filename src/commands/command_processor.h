#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_audit.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/text_string.h"
#include "db/database.h"
#include "netblock/whois_client.h"
#include "net/host.h"
#include "zone/player_session.h"
#include "zone/zone_protocol.h"

namespace tallysv {

class CommandProcessor;

// Who sent a command through the control socket instead of typing it in a
// zone: the peer's user and process as the kernel gave them.
struct ControlCaller {
    uint32_t uid = 0;
    int32_t pid = 0;
};

// What a running command needs: who typed it, in which zone, the text, and
// the server's parts. The text is the command as typed ("?" at position 0),
// NUL-terminated, of length L. The text may hold a NUL (a zone may send
// one): what follows it is still part of L, but text read from there on
// reads as ending at it (textOf).
class CommandContext {
public:
    // `wordLength` is the length of the command's word in the dispatch
    // table: the separator follows it, then the argument.
    CommandContext(CommandProcessor& processor, PlayerSession& player, const std::string& text, int length,
                   size_t wordLength);

    CommandProcessor& processor;
    ZoneProtocol& zones;
    Database& database;
    PlayerSession& player;
    Host& zone;  // the player's zone, which sent the command
    // L, as the text came; kept to run the text again later. Handlers read
    // `args`, which holds all of the text after the word.
    const int length;
    // The separator that follows the command's word and the argument after
    // it, to the end of the text; empty when the text ends with the word.
    const std::string_view afterWord;
    // The argument: the text after the word and its separator, to the end
    // of the text (L), its bytes as sent; empty when there is none. Its
    // data() is NUL-terminated.
    const std::string_view args;
    // Set when the command came through the control socket.
    const ControlCaller* caller = nullptr;
    // The audit line of an audited operator action; its first reply
    // (other than a wait notice) is written there before it is sent.
    std::shared_ptr<PendingAudit> audit;

    const char* text() const { return text_.c_str(); }
    // The character right after the word (a blank, "=", ...), NUL when the
    // text ends with the word.
    char separator() const { return afterWord.empty() ? '\0' : afterWord.front(); }

    OperatorRecord* op() const { return player.op; }
    UserRecord& user() const { return *player.user; }

    // The argument's first character as a switch: 1 when it is one of
    // `on`, 0 when one of `off`, -1 for anything else or nothing. An "o" is
    // on, unless an "f" stands `fAt` characters after it ("off").
    int onOffSwitch(const char* on, const char* off, size_t fAt = 1) const;

    // One line to the player who typed the command.
    void reply(std::string_view line);
    // A reply that tells the player to wait: it leaves at once, not with
    // the other replies of the datagrams handled with this one.
    void replyBeforeWait(std::string_view line);
    // The command is refused before it ran: the refusal is its outcome,
    // an error of the request for a caller whose replies are collected.
    void refuse(std::string_view line);
    // "This command requires parameters. Type ?help <word> for details".
    void requiresParameters(const char* word);
    // The logged-in zone with this ScoreID, first in the server's zone
    // order, or none.
    Host* connectedZone(int32_t scoreID) const;
    // The command was not typed in a zone: a caller of the control socket
    // acts from a zone of its own that never logs in and is sent nothing.
    bool outsideZone() const { return !zone.loggedIn(); }
    // A zone as listings show it: the connected zone's name, else its
    // ScoreID.
    void appendZoneLabel(TextString& line, int32_t scoreID) const;

private:
    // To the player, or to the replies being collected for it.
    void deliver(std::string_view line);
    const std::string& text_;
};

// What an argument (or a part of one) reads as: its text up to the first
// NUL.
inline std::string_view textOf(std::string_view args) { return args.substr(0, args.find('\0')); }

// The character at `index`, NUL beyond the end.
inline char charAt(std::string_view args, size_t index) { return index < args.size() ? args[index] : '\0'; }

// A command's handler; it has been matched and may reply.
using CommandHandler = void (*)(CommandContext& command);

// Verdict of the command flood control.
enum class CommandFlood { Ok, Warn, Kick };

// The counters of a player's commands: a command within 1.5 s of the last
// adds one, every full 3 s since the last decay takes one away.
CommandFlood checkCommandFlood(CommandFloodState& state, uint32_t now);

// Services outside the command layer that some commands use; the server
// sets them. Unset ones fall back to plain behaviour.
struct CommandServices {
    // Writes the database to disk; true when the files are on disk.
    std::function<bool()> saveDatabase;
    // The address block of a player's provider (?ban -!); unset, the whois
    // client asks the WhoisServer setting's server.
    std::function<std::optional<NetBlock>(const IPv4Address&)> lookupNetBlock;
    // Appends one line to the audit log of operator actions; unset, none
    // is kept.
    AuditWriter audit;
};

// The handler of message type 19: finds the player, logs the line, applies
// flood control and runs the first command of the dispatch table that the
// player reaches and the text matches.
class CommandProcessor {
public:
    // Installs itself as the command handler of every zone that logs in.
    // `settings` are the ones the database was made with; ?read re-reads
    // them.
    CommandProcessor(ZoneProtocol& zones, Settings& settings, const Clock& clock, Log& log);

    bool handle(InboundMessage& message);
    // Runs a command text for a player (after the console line and flood
    // control); returns false when nothing matched. `caller` names the
    // control socket's peer when the command came from there.
    bool dispatch(PlayerSession& player, const std::string& text, int length, const ControlCaller* caller = nullptr);

    ZoneProtocol& zones() { return zones_; }
    Database& database() { return zones_.database(); }
    Settings& settings() { return settings_; }
    const Clock& clock() const { return clock_; }
    Log& log() { return log_; }
    // Commands received from players since start (status pages).
    uint64_t commandCount() const { return commandCount_; }
    CommandServices services;

    // While one is set, the replies to its player are gathered in it
    // instead of being sent (a caller that is not in a zone).
    struct CollectedReplies {
        const PlayerSession* player = nullptr;
        std::vector<std::string> lines;
        std::vector<std::string> refusals;
    };
    void collectReplies(CollectedReplies* collected) { collected_ = collected; }
    CollectedReplies* collectedReplies() const { return collected_; }

private:
    ZoneProtocol& zones_;
    Settings& settings_;
    const Clock& clock_;
    Log& log_;
    uint64_t commandCount_ = 0;
    CollectedReplies* collected_ = nullptr;
};

}  // namespace tallysv
