// Commands that walk large tables while every zone waits: ?alias over every
// account, beside ?info, ?squadlist and the ?chat listing. The network is
// 1,000 or 1,000,000 accounts (half registered, every other one in a squad
// of about ten); an operator in a logged-in zone types the commands.
//
// Before timing, each command's replies are checked line by line against
// the same answer worked out here the plain way; a difference stops the
// benchmark with an error. Only the command itself is timed (the replies
// are handed to the zone's session inside it); the zone takes them off
// the wire between runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "commands/server_core.h"
#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "zone/zone_protocol.h"
#include "zone/zone_session.h"
#include "zoneclient/messages.h"
#include "zoneclient/zone_link.h"

namespace {

using namespace tallysv;
using Lines = std::vector<std::string>;

constexpr int kChannelMembers = 60;  // in each of the operator's nine channels

std::string pilotName(size_t i) {
    char name[32];
    std::snprintf(name, sizeof name, "Pilot%07zu", i);
    return name;
}

// One server and one zone on an in-memory wire.
class Network final : public DatagramSink {
public:
    explicit Network(size_t users) {
        settings.allowNewUsers = true;
        settings.askNewUsers = false;
        build(users);
        link.connect();
        pump();
        link.sendReliable(zoneclient::zoneLogin(1, 1, "Bench", ""), clock.tick());
        pump();
        // The operator is an account in the middle, in a squad; others fill his
        // channels.
        login(pilotName(users / 2 + 1), 1);
        op = zoneSession(*transport.findHost(peer)).findPlayer(1);
        op->op = database.createOperator(op->user, 0, 0, 0, "op");
        for (int slot = 1; slot <= 9; ++slot) zones.joinChannel(*op, "Channel" + std::to_string(slot), slot, false);
        for (uint32_t id = 2; id < 2 + kChannelMembers; ++id) {
            login(pilotName(id), id);
            PlayerSession* member = zoneSession(*transport.findHost(peer)).findPlayer(id);
            for (int slot = 1; slot <= 9; ++slot) zones.joinChannel(*member, "Channel" + std::to_string(slot), slot, false);
        }
        texts();
    }

    void send(const PeerAddress&, std::span<const uint8_t> bytes) override { toZone.emplace_back(bytes.begin(), bytes.end()); }

    // Runs one command as the operator and returns nothing; its replies
    // wait on the wire.
    void command(const std::string& text) { commands.dispatch(*op, text, static_cast<int>(text.size())); }

    // Delivers everything both ways and returns the texts the zone got.
    Lines texts() {
        pump();
        Lines out;
        for (const auto& message : link.inbox)
            if (auto text = zoneclient::parsePlayerText(message)) out.push_back(text->text);
        link.inbox.clear();
        return out;
    }

    FakeClock clock{1000, 1100000000};
    DiscardLog log;
    Settings settings;
    Database database{settings, clock, log, ""};
    ServerCore core{*this, settings, database, clock, log};
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    CommandProcessor& commands = core.commands;
    PlayerSession* op = nullptr;

private:
    void build(size_t users) {
        std::mt19937 random(7);
        for (size_t i = 1; i <= users; ++i) {
            UserRecord* user = database.createUser(
                pilotName(i), "password",
                {10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                40000 + static_cast<int32_t>(i), 0);
            if (i % 2 == 0) database.registerUser(*user, "Real Name", "pilot@example.org", static_cast<int32_t>(random()));
        }
        size_t squads = std::max<size_t>(users / 20, 1);
        std::vector<SquadRecord*> list;
        for (size_t s = 1; s <= squads; ++s)
            list.push_back(database.createSquad("Squad" + std::to_string(s), "sq", database.findUserByID(static_cast<int32_t>(s))));
        for (size_t i = 1; i <= users; i += 2)
            database.addSquadMember(*list[(i - 1) % squads], *database.findUserByID(static_cast<int32_t>(i)));
    }

    void login(const std::string& name, uint32_t id) {
        zoneclient::PlayerLogin request;
        request.name = name;
        request.password = "password";
        request.playerId = id;
        request.address = {172, 16, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
        link.sendReliable(zoneclient::playerLogin(request), clock.tick());
        pump();
    }

    void pump() {
        for (bool moved = true; moved;) {
            moved = false;
            while (!toServer.empty()) {
                auto d = std::move(toServer.front());
                toServer.pop_front();
                core.receive(d, peer);
                moved = true;
            }
            while (!toZone.empty()) {
                auto d = std::move(toZone.front());
                toZone.pop_front();
                link.receive(d, clock.tick());
                moved = true;
            }
        }
    }

    PeerAddress peer{{10, 200, 0, 1}, 7000};
    std::deque<std::vector<uint8_t>> toServer;
    std::deque<std::vector<uint8_t>> toZone;
    zoneclient::ZoneLink link{[this](std::span<const uint8_t> d) { toServer.emplace_back(d.begin(), d.end()); }, 0x4242};
};

Network& network(size_t users) {
    static std::map<size_t, std::unique_ptr<Network>> built;
    auto& slot = built[users];
    if (!slot) slot = std::make_unique<Network>(users);
    return *slot;
}

// ?alias worked out the plain way: tags in testing order, five to a line.
Lines expectedAlias(const Database& database, const UserRecord& target) {
    const int32_t hardwareID = target.registration() ? target.registration()->hardwareID() : 0;
    Lines lines;
    std::string line;
    int count = 0;
    for (const UserRecord* user : database.users()) {
        const auto& a = user->address();
        if (a == IPv4Address{}) continue;
        std::string tag;
        if (a == target.address())
            tag = "[IP]";
        else if (user->machineID() == target.machineID())
            tag = "[MAC]";
        else if (user->registration() && user->registration()->hardwareID() == hardwareID)
            tag = "[ID2]";
        else if (a[0] == target.address()[0] && a[1] == target.address()[1] && a[2] == target.address()[2])
            tag = "[~IP]";
        else
            continue;
        line += (count ? ", " : "") + std::string(user->name()) + tag;
        if (++count == 5) {
            lines.push_back(line);
            line.clear();
            count = 0;
        }
    }
    if (count) lines.push_back(line);
    return lines;
}

Lines expectedSquadlist(const SquadRecord& squad) {
    Lines lines;
    std::string line = "Squadmates: ";
    int count = 0;
    const auto& members = squad.members();
    for (size_t i = 0; i < members.size(); ++i) {
        line += members[i]->name();
        ++count;
        if (i + 1 < members.size()) {
            line += ",";
            if (count == 10) {
                lines.push_back(line);
                line.clear();
                count = 0;
            }
        }
    }
    if (count) lines.push_back(line);
    return lines;
}

Lines expectedChatListing(const PlayerSession& player) {
    Lines lines;
    for (int slot = 1; slot <= 9; ++slot) {
        const ChatChannel* channel = player.chatSlot(slot);
        if (!channel) continue;
        std::string line = std::to_string(slot) + ")" + std::string(channel->name()) + ": ";
        int count = 0;
        const auto& members = channel->members();
        for (size_t i = 0; i < members.size(); ++i) {
            line += members[i].session->name();
            if (++count == 10) {
                lines.push_back(line);
                line.clear();
                count = 0;
            } else if (i + 1 < members.size()) {
                line += ",";
            }
        }
        if (count) lines.push_back(line);
    }
    return lines;
}

void runCommand(benchmark::State& state, const std::string& text, const Lines& expected) {
    Network& net = network(static_cast<size_t>(state.range(0)));
    net.command(text);
    Lines got = net.texts();
    if (got != expected || expected.empty()) {
        state.SkipWithError(("replies of " + text + " differ from the expected lines").c_str());
        return;
    }
    for (auto _ : state) {
        net.command(text);
        state.PauseTiming();
        net.texts();
        state.ResumeTiming();
    }
    state.counters["replies"] = static_cast<double>(expected.size());
}

void BM_Alias(benchmark::State& state) {
    Network& net = network(static_cast<size_t>(state.range(0)));
    const UserRecord& target = *net.database.findUserByID(static_cast<int32_t>(state.range(0) / 3));
    runCommand(state, "?alias=" + std::string(target.name()), expectedAlias(net.database, target));
}
BENCHMARK(BM_Alias)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Info(benchmark::State& state) {
    Network& net = network(static_cast<size_t>(state.range(0)));
    const UserRecord& target = *net.database.findUserByID(static_cast<int32_t>(state.range(0) / 3));
    Lines expected = {std::string(target.name()) + " (#" + std::to_string(target.userID()) + ") Last known information:"};
    net.command("?info=" + std::string(target.name()));
    Lines got = net.texts();
    if (got.size() != 3 || got[0] != expected[0]) return state.SkipWithError("?info replies differ");
    runCommand(state, "?info=" + std::string(target.name()), got);
}
BENCHMARK(BM_Info)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Squadlist(benchmark::State& state) {
    Network& net = network(static_cast<size_t>(state.range(0)));
    if (!net.op->user->squad) return state.SkipWithError("the operator is in no squad");
    runCommand(state, "?squadlist", expectedSquadlist(*net.op->user->squad));
}
BENCHMARK(BM_Squadlist)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ChatListing(benchmark::State& state) {
    Network& net = network(static_cast<size_t>(state.range(0)));
    runCommand(state, "?chat", expectedChatListing(*net.op));
}
BENCHMARK(BM_ChatListing)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
