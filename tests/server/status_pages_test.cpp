#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>

#include "server_fixture.h"
#include "support/process.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace tallysv {
namespace {

using testing::ServerFixture;
using zoneclient::Bytes;

// A zone over loopback UDP, driven by the zone client library.
class TestZone {
public:
    TestZone(uint16_t port, int32_t key) {
        std::string reason;
        EXPECT_TRUE(client_.open("127.0.0.1", port, reason)) << reason;
        link_ = std::make_unique<zoneclient::ZoneLink>([this](std::span<const uint8_t> d) { client_.send(d); }, key);
        link_->connect();
        EXPECT_TRUE(pumpUntil([&] { return link_->connected(); }));
    }
    void send(const Bytes& message) { link_->sendReliable(message, zoneclient::monotonicTick()); }
    // The result of the login reply for the player, or -1. Each player
    // comes from an address of its own (no login flood).
    int login(const std::string& name, const std::string& password, uint32_t playerID, uint8_t host) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = playerID;
        login.address = {10, 9, 8, host};
        login.machineId = 424242;
        send(zoneclient::playerLogin(login));
        std::optional<zoneclient::PlayerLoginReply> reply;
        pumpUntil([&] {
            while (!reply && !link_->inbox.empty()) {
                reply = zoneclient::parsePlayerLoginReply(link_->inbox.front());
                link_->inbox.pop_front();
            }
            return reply.has_value();
        });
        return reply ? reply->result : -1;
    }
    template <typename Done>
    bool pumpUntil(Done done, uint32_t limitMs = 3000) {
        uint32_t start = zoneclient::monotonicTick();
        while (!done()) {
            if (zoneclient::monotonicTick() - start > limitMs) return false;
            if (auto d = client_.receive(20)) link_->receive(*d, zoneclient::monotonicTick());
            link_->maintain(zoneclient::monotonicTick());
        }
        return true;
    }

private:
    zoneclient::UdpClient client_;
    std::unique_ptr<zoneclient::ZoneLink> link_;
};

constexpr const char* kSettings =
    "StatusListen=127.0.0.1:0\nAllowNewUsers=1\nSysopPassword=SysopSecret7\nBillingPassword=BillingSecret8\n"
    "[Comms]\nAskNewUsers=0\n";

class StatusPagesTest : public ::testing::Test {
protected:
    StatusPagesTest() : f(kSettings) {}

    // With the lock: whether the console has the line yet.
    bool logged(const std::string& line) {
        MutexLock guard(f.server.lock());
        return f.log.contains(line);
    }
    // Two zones, three players, one refused player login, one refused
    // zone login, a save.
    void populate() {
        ASSERT_TRUE(f.server.startup());
        ASSERT_NE(f.server.statusPort(), 0);
        {
            MutexLock guard(f.server.lock());
            f.database.createZone(7, 1, "ZoneSecret9");
        }
        north = std::make_unique<TestZone>(f.server.udpPort(), 11);
        north->send(zoneclient::zoneLogin(1, 1, "North", "BillingSecret8"));
        south = std::make_unique<TestZone>(f.server.udpPort(), 12);
        south->send(zoneclient::zoneLogin(1, 2, "South", "BillingSecret8"));
        TestZone intruder(f.server.udpPort(), 13);
        intruder.send(zoneclient::zoneLogin(1, 7, "Intruder", "guess"));
        ASSERT_TRUE(north->pumpUntil([&] { return logged("1 - Docking granted: North") && logged("2 - Docking granted: South"); }));
        ASSERT_TRUE(intruder.pumpUntil([&] { return logged("Disallowed connection (Bad Password): Intruder"); }));

        EXPECT_EQ(north->login("Alice", "AlicePass1", 1, 71), 6);
        EXPECT_EQ(north->login("Bob", "BobPass2", 2, 72), 6);
        EXPECT_EQ(south->login("Carol", "CarolPass3", 1, 73), 6);
        EXPECT_EQ(south->login("Alice", "WrongPass4", 2, 74), 2);
        EXPECT_TRUE(f.server.saveNow());
    }
    std::string get(const char* path) {
        httplib::Client client("127.0.0.1", f.server.statusPort());
        auto got = client.Get(path);
        EXPECT_TRUE(got) << path;
        if (!got) return "";
        EXPECT_EQ(got->status, 200) << path;
        return got->body;
    }

    ServerFixture f;
    std::unique_ptr<TestZone> north;
    std::unique_ptr<TestZone> south;
};

TEST_F(StatusPagesTest, FiguresAfterZoneAndPlayerLoginsARefusalAndASave) {
    populate();
    std::string json = get("/status.json");
    std::string metrics = get("/metrics");
    std::string page = get("/");
    struct Case {
        const std::string* text;
        const char* holds;
    } cases[] = {
        {&json, "\"name\":\"North\",\"score_id\":1,\"group_id\":1,\"address\":\"127.0.0.1:"},
        {&json, "\"players\":2,\"resends\":0}"},
        {&json, "\"name\":\"South\",\"score_id\":2"},
        {&json, "\"accounts\":3,\"players_online\":3,"},
        {&json, "\"host_slots_used\":2,\"host_slot_limit\":51"},
        {&json, "\"player_logins\":{\"entered\":0,\"created\":3,\"locked_out\":0,\"asked_new_user\":0,"
                "\"wrong_password\":1,"},
        {&json, "\"zone_logins\":{\"accepted\":2,\"bad_password\":1,\"flood\":0,\"invalid\":0}"},
        {&json, "\"save\":{\"saves\":1,\"failed_saves\":0,\"last_time\":"},
        {&json, "\"last_succeeded\":true"},
        {&metrics, "\ntallysv_player_logins_total{result=\"created\"} 3\n"},
        {&metrics, "\ntallysv_player_logins_total{result=\"wrong_password\"} 1\n"},
        {&metrics, "\ntallysv_zone_logins_total{result=\"accepted\"} 2\n"},
        {&metrics, "\ntallysv_zone_logins_total{result=\"bad_password\"} 1\n"},
        {&metrics, "\ntallysv_zones 2\n"},
        {&metrics, "\ntallysv_players 3\n"},
        {&metrics, "\ntallysv_accounts 3\n"},
        {&metrics, "\ntallysv_saves_total 1\n"},
        {&metrics, "\ntallysv_saves_failed_total 0\n"},
        {&metrics, "\ntallysv_last_save_success 1\n"},
        {&metrics, "\ntallysv_zone_players{score_id=\"1\",zone=\"North\"} 2\n"},
        {&page, "<td>North</td><td class=\"n\">1</td>"},
        {&page, "<td>South</td><td class=\"n\">2</td>"},
        {&page, "<tr><th>Players online</th><td class=\"n total\">3</td></tr>"},
        {&page, "Last save: "},
    };
    for (const Case& c : cases) EXPECT_NE(c.text->find(c.holds), std::string::npos) << c.holds << "\n" << *c.text;
    // Every datagram the zones sent was counted on the way in.
    EXPECT_NE(metrics.find("tallysv_datagrams_received_total "), std::string::npos);
    EXPECT_EQ(metrics.find("tallysv_datagrams_received_total 0\n"), std::string::npos);

    // Nothing secret: no password, no player's address or MachineID.
    for (const char* secret : {"SysopSecret7", "BillingSecret8", "ZoneSecret9", "guess", "AlicePass1", "BobPass2",
                               "CarolPass3", "WrongPass4", "10.9.8.", "424242"}) {
        for (const std::string* text : {&json, &metrics, &page})
            EXPECT_EQ(text->find(secret), std::string::npos) << secret << " shown in\n" << *text;
    }
    f.server.shutdown();
}

// The main loop reads the counters into the history on each pass; the
// page draws it and /history.json gives it, for an hour or a day.
TEST_F(StatusPagesTest, TheMainLoopFillsTheHistoryThePagesShow) {
    populate();
    f.server.runPass();
    std::string json = get("/history.json");
    // The last value of a series in the JSON.
    auto last = [&](const std::string& key) {
        size_t at = json.find("\"" + key + "\":[");
        if (at == std::string::npos) return std::string("missing");
        size_t end = json.find(']', at);
        size_t comma = json.rfind(',', end);
        return json.substr(comma + 1, end - comma - 1);
    };
    EXPECT_NE(json.find("\"minutes\":60,"), std::string::npos) << json;
    EXPECT_EQ(last("zones"), "2") << json;
    EXPECT_EQ(last("players"), "3") << json;
    EXPECT_EQ(last("created"), "3") << json;
    EXPECT_EQ(last("wrong_password"), "1") << json;
    EXPECT_EQ(last("saves"), "1") << json;
    EXPECT_NE(json.find("\"score_id\":1,\"zone\":\"North\",\"event\":\"connected\"}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"score_id\":2,\"zone\":\"South\",\"event\":\"connected\"}"), std::string::npos) << json;
    EXPECT_NE(get("/history.json?range=24h").find("\"minutes\":1440,"), std::string::npos);

    std::string hour = get("/");
    EXPECT_NE(hour.find("<h2 id=history>The last hour</h2>"), std::string::npos) << hour;
    EXPECT_NE(hour.find("<figure id=\"chart-players\"><figcaption><strong>Players online</strong>; highest 3 players"),
              std::string::npos)
        << hour;
    EXPECT_NE(hour.find("<td>North</td><td class=\"n\">1</td><td>+ connected</td>"), std::string::npos) << hour;
    EXPECT_NE(get("/?range=24h").find("<h2 id=history>The last 24 hours</h2>"), std::string::npos);

    httplib::Client client("127.0.0.1", f.server.statusPort());
    for (const char* path : {"/?range=7d", "/history.json?range=", "/history.json?range=24"}) {
        auto got = client.Get(path);
        ASSERT_TRUE(got) << path;
        EXPECT_EQ(got->status, 400) << path;
    }
    f.server.shutdown();
}

TEST_F(StatusPagesTest, MetricsPassPromtool) {
    const std::string promtool = tallysv::testing::onPath("promtool");
    if (promtool.empty()) GTEST_SKIP() << "promtool is missing (Debian package prometheus)";
    populate();
    std::string metrics = get("/metrics");
    tallysv::testing::ChildProcess check(promtool, {"check", "metrics"}, f.dir.str());
    check.send(metrics);
    check.closeInput();
    EXPECT_EQ(check.wait(std::chrono::seconds(60)), 0) << check.output() << "\n" << metrics;
    EXPECT_EQ(check.output(), "") << metrics;
    f.server.shutdown();
}

TEST(StatusListenSetting, ServesOnlyWhereItSays) {
    struct Case {
        const char* ini;
        bool served;
        const char* line;
    } cases[] = {
        {"", false, "Status pages"},
        {"StatusListen=9100\n", false, "Cannot serve the status pages on 9100: not host:port\n"},
        {"StatusListen=127.0.0.1:0\n", true, "Status pages on http://127.0.0.1:"},
    };
    for (const Case& c : cases) {
        ServerFixture f(c.ini);
        ASSERT_TRUE(f.server.startup()) << c.ini;
        EXPECT_EQ(f.server.statusPort() != 0, c.served) << c.ini;
        EXPECT_EQ(f.log.contains(c.line), c.served || *c.ini != '\0') << c.ini << f.log.text();
        f.server.shutdown();
    }
}

// The names of StatusHosts are answered besides the listener's own; any
// other name is not.
TEST(StatusHostsSetting, NamesMoreHostsThePagesAnswer) {
    ServerFixture f("StatusListen=127.0.0.1:0\nStatusHosts=ops.example\n");
    ASSERT_TRUE(f.server.startup());
    ASSERT_NE(f.server.statusPort(), 0);
    httplib::Client client("127.0.0.1", f.server.statusPort());
    for (const auto& [host, status] : {std::pair<std::string, int>{"ops.example", 200},
                                       {"127.0.0.1:" + std::to_string(f.server.statusPort()), 200},
                                       {"other.example", 421}}) {
        auto got = client.Get("/status.json", httplib::Headers{{"Host", host}});
        ASSERT_TRUE(got) << host;
        EXPECT_EQ(got->status, status) << host;
    }
    f.server.shutdown();
}

}  // namespace
}  // namespace tallysv

namespace tallysv {
namespace {

// Saves of every kind count: the periodic one written by another process,
// and one on command that fails.
TEST(StatusSnapshotOfSaves, CountsEverySaveAndKeepsTheLastOnesOutcome) {
    ServerFixture f("[Comms]\nPeriodicSave=0\n");
    ASSERT_TRUE(f.server.startup());
    EXPECT_FALSE(f.server.statusSnapshot().saves.any);
    f.server.runPass();
    f.server.waitForBackgroundSave();
    SaveFigures saves = f.server.statusSnapshot().saves;
    EXPECT_EQ(saves.saves, 1u);
    EXPECT_EQ(saves.failedSaves, 0u);
    EXPECT_TRUE(saves.any && saves.lastSucceeded);

    f.database.setSaveInterruption([](Database::SaveStep, DatFile) { return false; });
    f.clock.advance(2000);
    EXPECT_FALSE(f.server.saveNow());
    saves = f.server.statusSnapshot().saves;
    EXPECT_EQ(saves.saves, 2u);
    EXPECT_EQ(saves.failedSaves, 1u);
    EXPECT_FALSE(saves.lastSucceeded);
    EXPECT_EQ(saves.lastTime, f.clock.now());
    f.database.setSaveInterruption(nullptr);
    f.server.shutdown();
}

}  // namespace
}  // namespace tallysv
