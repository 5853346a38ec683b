#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/log.h"
#include "core/wiped_string.h"
#include "credentials/executor.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "zone/chat_channels.h"
#include "zone/message_lengths.h"
#include "zone/player_session.h"
#include "zone/zone_session.h"

namespace tallysv {

// How a player login ended, as the status pages count it.
enum class PlayerLoginOutcome : uint8_t {
    Entered,         // an existing account (registered or not)
    Created,         // a new account
    LockedOut,       // banned or hacked client: entered, then kicked
    AskedNewUser,    // the client is asked to confirm a new account
    WrongPassword,
    NewUserRefused,  // unknown name without AllowNewUsers
    BadName,
    Flood,           // refused or ignored for login flooding
    Count
};
// How a zone login ended.
enum class ZoneLoginOutcome : uint8_t { Accepted, BadPassword, Flood, Invalid, Count };

// What the zones have done since start, for the status pages: plain
// counts, kept with the lock held like everything else here.
struct ZoneCounters {
    std::array<uint64_t, static_cast<size_t>(PlayerLoginOutcome::Count)> playerLogins{};
    std::array<uint64_t, static_cast<size_t>(ZoneLoginOutcome::Count)> zoneLogins{};
    uint64_t chatMessages = 0;
    uint64_t broadcasts = 0;

    void count(PlayerLoginOutcome outcome) { ++playerLogins[static_cast<size_t>(outcome)]; }
    void count(ZoneLoginOutcome outcome) { ++zoneLogins[static_cast<size_t>(outcome)]; }
};

// Who receives a notice from notifyOperators.
enum class NoticeKind { Ban, Zone };

// Everything the zones say to the server and the server says to the zones:
// zone login and zone sessions, player login, registration forms, leaving
// and scores, chat channels, broadcasts, private-message logging, and the
// messages to players. It acts on the transport's events: a message goes
// to the handler of its type, chosen by where the host stands (a host
// before its zone login knows only the login, a logged-in zone the rest).
class ZoneProtocol {
public:
    // Texts to one player are built in 512-byte messages.
    static constexpr int kMessageBuffer = 512;
    static constexpr uint32_t kLockOutKickDelay = 15000;
    static constexpr uint32_t kFormKickDelay = 5000;

    ZoneProtocol(CoreTransport& transport, Database& database, const Clock& clock, Log& log);

    // The handler of message type 19 (commands) from a logged-in zone.
    // Until one is set, commands are reported as unhandled.
    void setCommandHandler(MessageHandler handler) { commandHandler_ = std::move(handler); }

    // One datagram, or one maintenance pass, as of `now`: the transport
    // handles it, and this layer acts on each event it hands out in turn.
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now);
    void maintain(uint32_t now);
    // Acts on one event of the transport's.
    void handle(const TransportEvent& event);
    // Closes a zone's session from this side: the disconnect notice, and
    // the end of what this layer kept on it (for a logged-in zone, its
    // players' sessions and the operators' notice), at once.
    void closeZone(Host& zone);

    // Operations on players, for every part of the server that talks to one.
    void sendPlayerText(PlayerSession& player, std::string_view text);
    void sendChatLine(PlayerSession& player, uint8_t slot, std::string_view text);
    // With a delay the kick is scheduled; without one the ban notice (or the
    // block text) and the kick are sent now.
    void kickPlayer(PlayerSession& player, uint32_t delay, int32_t reason, int32_t banID);
    // Kind Ban: every operator with NotifyBan. Kind Zone: operators of level
    // 2 or lower with NotifyZone whose sector covers the given zone.
    void notifyOperators(NoticeKind kind, std::string_view text, int32_t groupID = 0, int32_t scoreID = 0);
    // The orders to a whole zone (9 bytes each, reliable): shut down
    // (message type 2), or recycle, that is log in again (type 4).
    void sendShutdownOrder(Host& zone) { sendZoneOrder(zone, 2); }
    void sendRecycleOrder(Host& zone) { sendZoneOrder(zone, 4); }
    // Sends a message to every host with external chat on, logged in or
    // not (GroupID 0: all of them; otherwise that group's).
    void sendToZones(std::span<const uint8_t> message, int32_t groupID = 0);

    // Chat channel membership. Join puts the channel named (first one of
    // the name, else a new one) into a slot from 1 to 9, leaving what the
    // slot held; it does nothing and answers none when the player is a
    // member already. Leave empties a slot; a channel goes with its last
    // member. With announce, the other members hear of it.
    ChatChannel* joinChannel(PlayerSession& player, std::string_view name, int slot, bool announce);
    void leaveChannel(PlayerSession& player, int slot, bool announce);
    void leaveAllChannels(PlayerSession& player, bool announce);
    // "<name> entering <channel>" or "<name> left <channel>" to every other
    // member who wants chat notices, on that member's own slot.
    enum class ChannelNotice { Entering, Leaving };
    void sendChannelNotice(const ChatChannel& channel, const PlayerSession& about, ChannelNotice kind);
    // Checks the membership invariant over every channel and every player
    // of every zone; empty when it holds, else what is wrong. For tests and
    // fuzzing.
    std::string channelMembershipFault() const;

    // The server is stopping: every player's session ends now, which counts
    // its play time (UsageFromSessions). Run with the lock held, before the
    // transport lets go of the zones.
    void endPlayerSessionsAtStop();

    // The zone password check: the BillingPassword opens every ScoreID,
    // otherwise the first zone record of the ScoreID decides.
    bool checkZonePassword(int32_t scoreID, std::string_view plainPassword);
    // What that check computes.
    PasswordNeeds zonePasswordNeeds(int32_t scoreID, std::string_view plainPassword) const;

    // Where work that takes time runs: password hashes on one executor,
    // whois lookups on another, so that a lookup that waits on a silent
    // whois server never holds a password worker. Unset, work runs inline:
    // at once, on the network's loop. setExecutor sets both.
    void setExecutor(Executor& executor) { executor_ = lookupExecutor_ = &executor; }
    void setLookupExecutor(Executor& executor) { lookupExecutor_ = &executor; }
    enum class WorkKind { Password, Lookup };
    // Whose share of the workers a zone's work comes out of: a logged-in
    // zone's own, or, for a host still logging in, its address's.
    static WorkOrigin workOrigin(const Host& zone);

    // The queue key of the zone's own work, beside its players' PlayerIDs.
    static constexpr uint64_t kZoneItself = uint64_t{1} << 32;
    // Hands `work` to the executor; once it has run, `finish` runs under the
    // lock, as a datagram's handling does, after every earlier step of the
    // same player (or of the zone itself) and before his later messages.
    // `finish` does not run when the zone's session has ended meanwhile.
    // False when the executor refused the work: nothing is queued then.
    bool runInOrder(Host& zone, uint64_t key, WorkKind kind, Executor::Work work, std::function<void()> finish);
    // True when a step of the player is pending: the message has been put
    // behind it (or, past a bound, dropped), and its handler must not run now.
    bool holdBehindPending(Host& zone, uint64_t key, const InboundMessage& message);
    // Messages held behind one player's pending work, at most.
    static constexpr size_t kMostHeld = 64;

    Database& database() { return database_; }
    // The chat channels in use (Join and Leave above are what changes them).
    ChatChannels& chatChannels() { return chatChannels_; }
    const ChatChannels& chatChannels() const { return chatChannels_; }
    CoreTransport& transport() { return transport_; }
    const CoreTransport& transport() const { return transport_; }
    const ZoneCounters& counters() const { return counters_; }

private:
    // The handler of the message's type, as the host stands now.
    void dispatch(InboundMessage& message);
    // Handlers.
    bool onZoneLogin(InboundMessage& message);
    bool onPlayerLogin(InboundMessage& message);
    bool onPlayerLeaving(InboundMessage& message);
    bool onRegistrationForm(InboundMessage& message);
    bool onScoreReport(InboundMessage& message);
    bool onBroadcast(InboundMessage& message);
    bool onPrivateMessage(InboundMessage& message);
    bool onLogLine(InboundMessage& message);
    bool onPlayerBanner(InboundMessage& message);
    bool onChat(InboundMessage& message);
    // Upcalls from the transport.
    void onZoneSessionEnd(Host& host);
    void checkKicks(Host& host);

    // Completes what can be completed of one queue, in order.
    void releasePending(Host& zone, uint64_t key);
    // A login as read from its message, kept while its password is checked.
    struct PlayerLoginRequest {
        uint32_t playerID = 0;
        std::string name;  // at most 19 characters, blanks cleaned up
        IPv4Address address{};
        WipedString password;
        int32_t machineID = 0;
        int16_t timeZoneBias = 0;
        bool confirmedNewUser = false;  // the client asked for a new account
    };
    struct ZoneLoginRequest {
        int32_t groupID = 0;
        int32_t scoreID = 0;
        std::string name;
        WipedString password;
    };
    // What follows the flood table's count, up to the answer; `resumed`
    // when its password work has just completed (its guess was counted).
    void continuePlayerLogin(Host& zone, const PlayerLoginRequest& request, bool resumed);
    void continueZoneLogin(Host& host, const ZoneLoginRequest& request);
    // A login whose password work would be slow: its work goes to the
    // executor, and `resume` continues the login from where it stopped once
    // the results are in, in order for the player (or zone) under `key`.
    // Busy: the executor refused it.
    enum class LoginWork { Now, Later, Busy };
    LoginWork deferLogin(Host& zone, uint64_t key, PasswordNeeds needs, std::function<void(Host&)> resume);
    // The player login's form of it: true when the login goes on now;
    // false when it goes on later or has been answered busy.
    bool passwordWorkNow(Host& zone, const PlayerLoginRequest& request, PasswordNeeds needs);
    // The end of a player's session as the server sees it: with
    // UsageFromSessions the whole seconds since the login was accepted go
    // to the account's Usage. A session's first end counts, later ones not.
    void endPlayTime(PlayerSession& player);
    void lockOut(Host& zone, uint32_t playerID, UserRecord* user, int32_t banID, const char* consoleFormat,
                 const char* requestName, const std::string& notice);
    void sendLoginReply(Host& zone, const uint8_t* reply);
    void sendToHost(Host& host, const uint8_t* bytes, int length);
    void sendZoneOrder(Host& zone, uint8_t type);

    CoreTransport& transport_;
    Database& database_;
    const Clock& clock_;
    Log& log_;
    MessageHandler commandHandler_;
    ChatChannels chatChannels_;
    ZoneCounters counters_;
    InlineExecutor inlineExecutor_;
    Executor* executor_ = &inlineExecutor_;
    Executor* lookupExecutor_ = &inlineExecutor_;
    uint64_t lastJob_ = 0;
};

// The text of a message field that runs to a NUL or to the message's end.
std::string_view messageText(const InboundMessage& message, int offset);

}  // namespace tallysv
