#pragma once
// Zones logging players in and out (or chatting) against a server: each
// zone keeps a window of logins in flight, a player login (an existing
// account picked at random, the right password, an address of its own),
// the server's acknowledgement, the login reply, the zone's
// acknowledgement; the player's leaving travels in the same datagram as
// the next login.
#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/address.h"
#include "loadgen/datagram_batch.h"
#include "loadgen/figures.h"
#include "loadgen/loadgen.h"
#include "loadgen/server.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace loadgen {

class LoginDriver {
public:
    LoginDriver(const Options& options, uint16_t port, int accounts);

    // Handshakes, retried while the server is still loading its files.
    void connect(ServerProcess& server);

    // Zone logins. They count as login attempts of 127.0.0.1 in the
    // server's flood table, like player logins do for their addresses; so
    // the zones dock a few at a time, and in between the zones already
    // docked log in enough players from fresh addresses to push the entry of
    // 127.0.0.1 out of the bounded table.
    void dock(ServerProcess& server);

    // One measured slice: a warm-up, `measureMs` of logins whose replies
    // count, then every player leaves so that the zones rest until the next
    // slice.
    void measureSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server, bool saves);

    void disconnect();

    uint64_t failed() const;
    const std::string& firstFailure() const;
    double datagramsInPerLogin() const;
    double datagramsOutPerLogin() const;
    uint64_t resends() const;

    // Chat: `perZone` players of every zone log in, each with an account of
    // its own, and join one channel.
    void seatChatMembers(int perZone);

    // One measured slice of chat: every zone keeps `window` lines on their
    // way; a line whose every other member has it makes room for the next.
    // The tally counts deliveries.
    void measureChatSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server);
    uint64_t chatLinesSent() const;
    int chatMembers() const;

private:
    struct Slot {
        uint32_t playerId = 0;
        bool awaitingReply = false;
        bool inZone = false;  // accepted and not yet left
        bool duringSave = false;  // a save was being written while in flight
        SteadyClock::time_point sent;
    };
    struct Zone {
        zoneclient::UdpClient client;
        std::unique_ptr<zoneclient::ZoneLink> link;
        int32_t scoreId = 0;
        std::string name;
        bool docked = false;
        uint32_t nextPlayerId = 1;
        std::vector<Slot> slots;
        size_t nextSpeaker = 0;
        // What the zone sends while it handles what it read leaves together.
        bool gathering = false;
        DatagramBatch outgoing;
        uint64_t datagramsIn = 0;
        uint64_t datagramsOut = 0;
    };

    // Uniformly spread over the whole table, so that a large table is not
    // served from a warm corner of it.
    int pickAccount();
    // Every login comes from an address of its own: 10.0.0.1 upwards.
    tallysv::IPv4Address nextAddress();

    void startLogin(Zone& z, Slot& slot);

    void leave(Zone& z, Slot& slot);

    void topUp(Zone& z);

    void onReply(Zone& z, const zoneclient::PlayerLoginReply& reply);

    // A chat line reached a member: one delivery of the line it names.
    void onChatLine(const zoneclient::ChatLine& line);

    // The zone's next member in turn says a line naming itself by a number.
    void sendChatLine(Zone& z);

    // The measured part of a slice: what completes in `measureMs` goes into
    // the tally, with the processor time of the server and of the zones.
    void measureWindow(int measureMs, Tally& tally, const ServerProcess& server);

    // One round: waits up to `timeoutMs` for datagrams, handles what came,
    // and runs the zones' resends.
    void pump(int timeoutMs);

    // Whether the server has a writing process now; the logins in flight
    // meanwhile count as logins during a save. Memory is sampled every
    // 100 ms: with a save, the server and its writing process together;
    // without, the server alone.
    void watchSave();

    // Stops new logins, waits for the replies still due and lets every
    // player leave; returns once the server has acknowledged everything.
    void quiesce();

    const Options& options_;
    int accounts_;
    sockaddr_in server_{};
    DatagramBatch incoming_;
    std::vector<std::unique_ptr<Zone>> zones_;
    std::vector<pollfd> fds_;
    uint64_t rng_ = 0x9E3779B97F4A7C15ull;
    uint32_t addressCounter_ = 0;
    bool issuing_ = false;
    std::vector<int64_t>* latencies_ = nullptr;  // while measuring
    Tally* watching_ = nullptr;                   // while measuring a server that saves
    const ServerProcess* watchedServer_ = nullptr;
    bool watchesSaves_ = false;
    bool saveRunning_ = false;
    SteadyClock::time_point lastMemorySample_{};
    SteadyClock::time_point lastSaveCheck_{};
    uint64_t completed_ = 0;
    uint64_t failed_ = 0;
    std::string firstFailure_;
    uint64_t measured_ = 0;
    uint64_t datagramsIn_ = 0;
    uint64_t datagramsOut_ = 0;
    uint64_t resends_ = 0;
    // Chat: members seated, lines on their way and how many members still
    // wait for each.
    struct ChatPending {
        size_t zone;
        int remaining;
        SteadyClock::time_point sent;
    };
    bool seating_ = false;
    int seatedAccounts_ = 0;
    int chatMembers_ = 0;
    uint64_t chatLineCount_ = 0;
    std::unordered_map<uint64_t, ChatPending> chatLines_;
};
}  // namespace loadgen
