#include <map>

#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

// Alpha has Ann and Abe, Beta has Bea; all three are in channel Trade.
class ZoneOverloadTest : public ZoneTest {
protected:
    ZoneOverloadTest() : alpha(loginZone(1, 10, "Alpha")), beta(loginZone(2, 10, "Beta")) {
        loginPlayer(alpha, "Ann", "pw", 1);
        loginPlayer(alpha, "Abe", "pw", 2);
        loginPlayer(beta, "Bea", "pw", 1);
        for (auto [zone, id] : {std::pair{&alpha, 1u}, {&alpha, 2u}, {&beta, 1u}})
            zones.joinChannel(*player(*zone, id), "Trade", 1, false);
        for (SimZone* z : {&alpha, &beta}) z->received.clear();
        log.clear();
    }
    SimZone& alpha;
    SimZone& beta;

    static std::string line(size_t n) { return "line " + std::to_string(n); }

    // Chat lines to Ann, numbered from `from`, without letting her zone
    // acknowledge anything.
    void chatToAnn(size_t from, size_t count) {
        for (size_t n = from; n < from + count; ++n) zones.sendChatLine(*player(alpha, 1), 1, line(n));
    }
    static constexpr size_t kFill = CoreTransport::kWindow + CoreTransport::kMaxWaiting;

    // Maintenance passes, 50 ms apart, over `ms`, with Alpha silent.
    void silentFor(uint32_t ms) {
        for (uint32_t done = 0; done < ms; done += 50) {
            clock.advance(50);
            core.maintain();
        }
    }

    // One millisecond of the network: Alpha's datagrams reach the server
    // `delay` ms after it sent them, everything else at once; maintenance
    // every 50 ms.
    void stepWithSlowAlpha(uint32_t delay) {
        clock.advance(1);
        for (bool moved = true; moved;) {
            moved = false;
            auto move = [&moved](std::deque<Bytes>& from, auto deliver) {
                while (!from.empty()) {
                    deliver(from.front());
                    from.pop_front();
                    moved = true;
                }
            };
            move(beta.toServer, [&](const Bytes& d) { core.receive(d, beta.peer); });
            move(alpha.toServer, [&](const Bytes& d) { alphaInTransit_.push_back({clock.tick() + delay, d}); });
            while (!alphaInTransit_.empty() && static_cast<int32_t>(clock.tick() - alphaInTransit_.front().first) >= 0) {
                core.receive(alphaInTransit_.front().second, alpha.peer);
                alphaInTransit_.pop_front();
                moved = true;
            }
            for (SimZone* zone : {&alpha, &beta}) {
                move(zone->fromServer, [&](const Bytes& d) { zone->link->receive(d, clock.tick()); });
                move(zone->link->inbox, [&](const Bytes& m) { zone->received.push_back(m); });
            }
        }
        if (clock.tick() % 50 == 0) core.maintain();
    }

private:
    std::deque<std::pair<uint32_t, Bytes>> alphaInTransit_;
};

}  // namespace

// Bea talks faster than Alpha, acknowledging after 10 ms, can take one
// message per datagram; every line reaches Ann and Abe once and in order,
// and with clusters much sooner.
TEST_F(ZoneOverloadTest, ASlowZoneReceivesEveryChatLineOnceInOrder) {
    constexpr size_t kLines = 300;
    uint32_t took[2] = {};
    for (bool clusters : {false, true}) {
        settings.clusterToZones = clusters;
        const uint32_t start = clock.tick();
        size_t said = 0;
        std::map<uint32_t, std::vector<std::string>> heard;
        for (int ms = 0; ms < 10000 && alpha.received.size() < 2 * kLines; ++ms) {
            for (int i = 0; i < 2 && said < kLines; ++i, ++said)
                beta.link->sendReliable(zoneclient::chat(1, '1', line(said)), clock.tick());
            stepWithSlowAlpha(10);
        }
        took[clusters] = clock.tick() - start;
        for (const Bytes& m : alpha.received) {
            auto chat = zoneclient::parseChatLine(m);
            ASSERT_TRUE(chat.has_value());
            heard[chat->playerId].push_back(chat->text);
        }
        alpha.received.clear();
        std::vector<std::string> expected;
        for (size_t n = 0; n < kLines; ++n) expected.push_back("Bea> " + line(n));
        EXPECT_EQ(heard, (std::map<uint32_t, std::vector<std::string>>{{1, expected}, {2, expected}}))
            << "clusters " << clusters;
        EXPECT_TRUE(loggedIn(alpha));
    }
    EXPECT_LT(took[1] * 4, took[0]) << took[0] << " ms without clusters, " << took[1] << " ms with";
}

// Alpha stops acknowledging. Chat lines past the bound are dropped and
// counted; a kick and a text to a player still queue; the connection holds,
// and when Alpha takes up again it gets everything kept, in order.
TEST_F(ZoneOverloadTest, AFullQueueShedsChatAndBroadcastsAndKeepsTheRest) {
    chatToAnn(0, kFill);
    chatToAnn(kFill, 5);
    const Bytes broadcast = {3, 0xB8, 0x0B, 0x00, 0x00, 0x02, 0x00, 'h', 'i', 0};
    zones.sendToZones(broadcast);  // to Beta it goes
    zones.kickPlayer(*player(alpha, 2), 0, 7, -1);
    zones.sendPlayerText(*player(alpha, 1), "still here");
    silentFor(static_cast<uint32_t>(settings.packetLossLimit) - 50);
    EXPECT_TRUE(loggedIn(alpha));
    EXPECT_TRUE(log.lines().empty());

    pump();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"1 - Send queue full: 6 messages shed"});
    std::vector<Bytes> got = std::move(alpha.received);
    ASSERT_EQ(got.size(), kFill + 2);
    for (size_t n = 0; n < kFill; ++n) ASSERT_EQ(zoneclient::parseChatLine(got[n])->text, line(n));
    EXPECT_EQ(zoneclient::parseKick(got[kFill])->reason, 7);
    EXPECT_EQ(zoneclient::parsePlayerText(got[kFill + 1])->text, "still here");
    EXPECT_EQ(take(beta, 3).size(), 1u);
    EXPECT_TRUE(loggedIn(alpha));
}

// A zone that never acknowledges is broken by the packet-loss limit alone,
// and hears of it at once although its window is full.
TEST_F(ZoneOverloadTest, ASilentZoneIsBrokenAtTheLossLimitAndToldAtOnce) {
    chatToAnn(0, kFill + 2);
    silentFor(static_cast<uint32_t>(settings.packetLossLimit) - 50);
    ASSERT_TRUE(loggedIn(alpha));
    alpha.fromServer.clear();
    silentFor(50);
    EXPECT_FALSE(loggedIn(alpha));
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1 - Connection broken: Reliable packet lost");
    EXPECT_EQ(lines[1], "1 - Send queue full: 2 messages shed");
    ASSERT_FALSE(alpha.fromServer.empty());
    EXPECT_EQ(alpha.fromServer.back(), zoneclient::disconnectNotice());
    alpha.link->receive(alpha.fromServer.back(), clock.tick());
    EXPECT_TRUE(alpha.link->disconnectedByServer());
}

// The relay of a chat line must not lose its channel whatever sending does
// to the members' zones.
TEST_F(ZoneOverloadTest, ChatOnAFullQueueIsLoggedWithItsChannel) {
    zones.leaveChannel(*player(beta, 1), 1, false);
    for (size_t i = 0; i < kFill; ++i) transport.sendMessage(*hostOf(alpha), Bytes{9, 2, 0, 0, 0, 'x', 0});
    send(alpha, zoneclient::chat(1, '1', "hi"));
    EXPECT_TRUE(logged("1 - Chat: (Trade)Ann>hi")) << log.text();
}
