#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

// Records when the zone layer's data on a host is destroyed.
class WatchedAttachment final : public HostAttachment {
public:
    WatchedAttachment(bool& destroyed, std::vector<std::string> names) : destroyed_(destroyed), names_(std::move(names)) {}
    ~WatchedAttachment() override { destroyed_ = true; }
    std::vector<std::string> playerNames() const override { return names_; }

private:
    bool& destroyed_;
    std::vector<std::string> names_;
};

TEST_F(TransportTest, UnhandledMessagesArePrintedWithTheScoreId) {
    Host& host = handshake();
    feedReliable(0, bytesOf({0x09, 1, 2, 3}));
    EXPECT_EQ(lastLine(), "-1 - Unhandled packet(9)(4)");
    host.logNumber = 44;
    transport.markLoggedIn(host);
    feedSealed(bytesOf({0xFF, 1}));
    EXPECT_EQ(lastLine(), "44 - Unhandled packet(255)(2)");
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, UnknownCoreTypesAreIgnoredAtEveryStage) {
    feed(bytesOf({0x00, 0x0B, 1, 2}));  // new host
    Host& host = handshake();
    feedSealed(bytesOf({0x00, 0x0B, 1, 2}));
    transport.markLoggedIn(host);
    host.logNumber = 3;
    feedSealed(bytesOf({0x00, 0x0B}));
    feedSealed(bytesOf({0x00, 0x02, 1, 2, 3, 4}));  // a reply, never sent by zones
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, AHostRemovedByItsOwnMessageIsDestroyedWhenProcessingEnds) {
    Host& host = handshake();
    bool destroyed = false;
    host.attachment = std::make_unique<WatchedAttachment>(destroyed, std::vector<std::string>{});
    auto& after = record(host, 0x31);
    bool destroyedInHandler = true;
    transport.setMessageHandler(host, 0x30, [&](InboundMessage& m) {
        transport.disconnectHost(*m.host);
        destroyedInHandler = destroyed;
        EXPECT_TRUE(m.host->closed());  // still there to look at
        return true;
    });
    // The cluster's later element and the held reliable message never run.
    feedReliable(1, bytesOf({0x31, 2}));
    feedReliable(0, cluster({bytesOf({0x30, 1}), bytesOf({0x31, 1})}));
    EXPECT_FALSE(destroyedInHandler);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(after.empty());
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
}

TEST_F(TransportTest, MessagesShorterThanTheirHandlerReadsAreDroppedBeforeItRuns) {
    Host& host = handshake();
    std::vector<int> seen;
    transport.setMessageHandler(host, 0x30, [&](InboundMessage& m) {
        seen.push_back(m.length);
        return true;
    }, 5);
    transport.setCoreHandler(host, 0x20, [&](InboundMessage& m) {
        seen.push_back(-m.length);
        return true;
    }, 4);
    feedSealed(bytesOf({0x30, 1, 2, 3}));
    feedSealed(bytesOf({0x30, 1, 2, 3, 4}));
    feedSealed(bytesOf({0x00, 0x20, 1}));
    feedSealed(bytesOf({0x00, 0x20, 1, 2}));
    EXPECT_EQ(seen, (std::vector<int>{5, -4}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"-1 - Short packet(48)(4) dropped"}));
    EXPECT_EQ(transport.findHost(zoneA), &host);
}

TEST_F(TransportTest, SessionEndRunsOnlyForLoggedInZones) {
    std::vector<int32_t> ended;
    transport.setZoneSessionEnd([&](Host& h) { ended.push_back(h.logNumber); });
    Host& anonymous = handshake(zoneA);
    transport.disconnectHost(anonymous);
    Host& zone = handshake(zoneB);
    zone.logNumber = 8;
    transport.markLoggedIn(zone);
    transport.disconnectHost(zone);
    EXPECT_EQ(ended, std::vector<int32_t>{8});
    EXPECT_TRUE(transport.hosts().empty());
}

TEST_F(TransportTest, DisconnectNoticeLeavesAtOnceWhateverTheWindow) {
    Host& host = handshake();
    for (int i = 0; i < 5; ++i) transport.sendMessage(host, bytesOf({0x09, i}));
    sink.sent.clear();
    transport.disconnectHost(host);
    // Behind a full window it would be lost with the host: it goes unnumbered.
    EXPECT_EQ(sentTo(zoneA, -kClientKey), std::vector<Bytes>{disconnectNotice()});

    Host& second = handshake(zoneB);
    transport.disconnectHost(second);
    EXPECT_EQ(sentTo(zoneB, -kClientKey), std::vector<Bytes>{reliableDatagram(0, disconnectNotice())});
}

TEST_F(TransportTest, HostListShowsEveryHostWithItsPlayers) {
    Host& a = handshake(zoneA);
    handshake(zoneB);
    bool destroyed = false;
    a.attachment = std::make_unique<WatchedAttachment>(destroyed, std::vector<std::string>{"Alpha", "Beta Two"});
    RecordingLog out;
    transport.printHostList(out);
    EXPECT_EQ(out.text(), "10.0.0.1:5000\nAlpha, Beta Two, \n10.0.0.2:5001\n\n");
}

TEST_F(TransportTest, StopSaysGoodbyeToEveryHostWithoutSessionEnds) {
    int ended = 0;
    transport.setZoneSessionEnd([&](Host&) { ++ended; });
    Host& a = handshake(zoneA);
    a.logNumber = 1;
    transport.markLoggedIn(a);
    handshake(zoneB);
    sink.sent.clear();
    transport.stop();
    ASSERT_EQ(sink.sent.size(), 2u);
    EXPECT_EQ(sink.sent[0].to, zoneA);
    EXPECT_EQ(sink.sent[1].to, zoneB);
    for (const SentDatagram& d : sink.sent) EXPECT_EQ(d.bytes, disconnectNotice());
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(transport.hosts().empty());
}

}  // namespace
}  // namespace tallysv::testing
