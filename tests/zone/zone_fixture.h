#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "commands/server_core.h"
#include "net/core_transport.h"
#include "support/temp_dir.h"
#include "zone/zone_protocol.h"
#include "zoneclient/messages.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {

using zoneclient::Bytes;

// The server's zone protocol with a fake clock, and zones played by the
// zone client library over an in-memory network. Datagrams are queued and
// delivered by pump(), so nothing runs inside another's call.
class ZoneTest : public ::testing::Test {
protected:
    struct SimZone {
        PeerAddress peer;
        std::unique_ptr<zoneclient::ZoneLink> link;
        std::deque<Bytes> toServer;
        std::deque<Bytes> fromServer;
        std::vector<Bytes> received;  // messages delivered to the zone, in order
        bool down = false;            // the zone's process is gone: it sends and receives nothing
    };

    class Router final : public DatagramSink {
    public:
        explicit Router(ZoneTest& test) : test_(test) {}
        void send(const PeerAddress& to, std::span<const uint8_t> bytes) override {
            for (auto& zone : test_.zones_) {
                if (zone->peer == to && !zone->down) zone->fromServer.emplace_back(bytes.begin(), bytes.end());
            }
        }

    private:
        ZoneTest& test_;
    };

    ZoneTest() {
        settings.allowNewUsers = true;
        settings.askNewUsers = false;
    }

    TempDir dir;
    FakeClock clock{1000, 1000000000};
    RecordingLog log;
    Settings settings;
    Database database{settings, clock, log, dir.str()};
    Router router{*this};
    // The server's parts as the server assembles them.
    ServerCore core{router, settings, database, clock, log};
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    CommandProcessor& commands = core.commands;

    // Delivers queued datagrams both ways until the network is quiet.
    void pump() {
        for (bool moved = true; moved;) {
            moved = false;
            for (auto& zone : zones_) {
                if (zone->down) zone->toServer.clear();
                while (!zone->toServer.empty()) {
                    Bytes d = std::move(zone->toServer.front());
                    zone->toServer.pop_front();
                    core.receive(d, zone->peer);
                    moved = true;
                }
            }
            for (auto& zone : zones_) {
                while (!zone->fromServer.empty()) {
                    Bytes d = std::move(zone->fromServer.front());
                    zone->fromServer.pop_front();
                    zone->link->receive(d, clock.tick());
                    moved = true;
                }
                while (!zone->link->inbox.empty()) {
                    zone->received.push_back(std::move(zone->link->inbox.front()));
                    zone->link->inbox.pop_front();
                }
            }
        }
    }

    // A zone that has completed the handshake (not yet logged in).
    SimZone& connect(IPv4Address address = {10, 0, 0, 1}, uint16_t port = 5000) {
        auto zone = std::make_unique<SimZone>();
        SimZone* raw = zone.get();
        zone->peer = PeerAddress{address, port};
        zone->link = std::make_unique<zoneclient::ZoneLink>(
            [raw](std::span<const uint8_t> d) { raw->toServer.emplace_back(d.begin(), d.end()); },
            0x10000 + static_cast<int32_t>(zones_.size()));
        zones_.push_back(std::move(zone));
        raw->link->connect();
        pump();
        return *raw;
    }

    // Sends one message reliably; one too long for a datagram goes in chunks.
    void send(SimZone& zone, const Bytes& message) {
        if (message.size() > static_cast<size_t>(CoreTransport::kMaxReliableMessage))
            EXPECT_TRUE(zone.link->sendBigChunks(message, 400, true, clock.tick()));
        else
            EXPECT_TRUE(zone.link->sendReliable(message, clock.tick()));
        pump();
    }

    // A zone logged in with the BillingPassword (empty by default).
    SimZone& loginZone(int32_t scoreID, int32_t groupID = 1, const std::string& name = "",
                       const std::string& password = "") {
        SimZone& zone = connect({10, 0, static_cast<uint8_t>(zones_.size() / 250), static_cast<uint8_t>(zones_.size() % 250 + 1)},
                                static_cast<uint16_t>(5000 + zones_.size()));
        send(zone, zoneclient::zoneLogin(groupID, scoreID, name.empty() ? "Zone " + std::to_string(scoreID) : name,
                                         password));
        return zone;
    }

    Host* hostOf(const SimZone& zone) const { return transport.findHost(zone.peer); }
    // A refused zone may leave a fresh host behind (its acknowledgement of
    // the disconnect notice makes one), but never a logged-in one.
    bool loggedIn(const SimZone& zone) const {
        Host* host = hostOf(zone);
        return host && host->loggedIn();
    }
    ZoneSession& sessionOf(const SimZone& zone) const { return zoneSession(*hostOf(zone)); }

    // Runs maintenance passes over `ms` milliseconds, 50 ms apart.
    void advance(uint32_t ms) {
        for (uint32_t done = 0; done < ms; done += 50) {
            clock.advance(50);
            core.maintain();
            pump();
        }
    }

    // Messages of one type the zone has received since the last take.
    std::vector<Bytes> take(SimZone& zone, uint8_t type) {
        pump();
        std::vector<Bytes> out, rest;
        for (Bytes& m : zone.received) (m.size() > 0 && m[0] == type ? out : rest).push_back(std::move(m));
        zone.received = std::move(rest);
        return out;
    }
    std::vector<std::string> texts(SimZone& zone) {
        std::vector<std::string> out;
        for (const Bytes& m : take(zone, 9)) out.push_back(zoneclient::parsePlayerText(m)->text);
        return out;
    }
    std::vector<zoneclient::ChatLine> chatLines(SimZone& zone) {
        std::vector<zoneclient::ChatLine> out;
        for (const Bytes& m : take(zone, 10)) out.push_back(*zoneclient::parseChatLine(m));
        return out;
    }

    // Logs a player in and returns the reply, if any came.
    std::optional<zoneclient::PlayerLoginReply> loginPlayer(SimZone& zone, zoneclient::PlayerLogin login) {
        take(zone, 1);
        send(zone, zoneclient::playerLogin(login));
        auto replies = take(zone, 1);
        if (replies.empty()) return std::nullopt;
        return zoneclient::parsePlayerLoginReply(replies.back());
    }
    std::optional<zoneclient::PlayerLoginReply> loginPlayer(SimZone& zone, const std::string& name,
                                                           const std::string& password, uint32_t playerID) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = playerID;
        login.address = nextPlayerAddress();
        return loginPlayer(zone, login);
    }
    PlayerSession* player(const SimZone& zone, uint32_t playerID) const {
        return sessionOf(zone).findPlayer(playerID);
    }

    // A distinct address for every player, clear of the flood table.
    IPv4Address nextPlayerAddress() {
        ++addresses_;
        return {192, 168, static_cast<uint8_t>(addresses_ / 250), static_cast<uint8_t>(addresses_ % 250 + 1)};
    }

    // Logs the player in as an operator with the given powers.
    OperatorRecord* makeOperator(PlayerSession& player, uint8_t level, int32_t groupID = 0, int32_t scoreID = 0) {
        OperatorRecord* op = database.createOperator(player.user, groupID, scoreID, level, "oppw");
        player.op = op;
        op->sessionCount += 1;
        return op;
    }

    bool logged(const std::string& line) const {
        for (const std::string& l : log.lines())
            if (l == line) return true;
        return false;
    }

private:
    std::vector<std::unique_ptr<SimZone>> zones_;
    int addresses_ = 0;
};

}  // namespace tallysv::testing
