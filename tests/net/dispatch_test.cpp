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

TEST_F(TransportTest, AHostClosedOnItsOwnMessageIsDestroyedOnceTheDatagramHasBeenActedOn) {
    Host& host = handshake();
    bool destroyed = false;
    host.attachment = std::make_unique<WatchedAttachment>(destroyed, std::vector<std::string>{});
    auto& after = record(host, 0x31);
    bool destroyedInHandler = true;
    bool closedInHandler = false;
    onMessage = [&](InboundMessage& m) {
        closeZone(*m.host);
        destroyedInHandler = destroyed;
        closedInHandler = m.host->closed();  // still there to look at
    };
    // The cluster's later element and the held reliable message never
    // reach the layer above.
    feedReliable(1, bytesOf({0x31, 2}));
    feedReliable(0, cluster({bytesOf({0x30, 1}), bytesOf({0x31, 1})}));
    EXPECT_FALSE(destroyedInHandler);
    EXPECT_TRUE(closedInHandler);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(after.empty());
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
}

// A host is named between events by its id: once it is closed, or its slot
// serves a later host, what names the old id is refused.
TEST_F(TransportTest, ASendOrACloseForAHostThatIsGoneIsRefused) {
    Host& first = handshake(zoneA);
    const HostId gone = first.id;
    EXPECT_EQ(transport.find(gone), &first);
    EXPECT_TRUE(transport.disconnectHost(gone));
    EXPECT_EQ(transport.find(gone), nullptr);
    sink.sent.clear();
    EXPECT_FALSE(transport.sendMessage(gone, bytesOf({0x09, 1})));
    EXPECT_FALSE(transport.disconnectHost(gone));
    EXPECT_TRUE(sink.sent.empty());

    // The slot serves the next host; the old id still names nothing.
    Host& next = handshake(zoneB);
    EXPECT_EQ(next.id.index, gone.index);
    EXPECT_NE(next.id, gone);
    EXPECT_EQ(transport.find(gone), nullptr);
    EXPECT_FALSE(transport.sendMessage(gone, bytesOf({0x09, 2})));
    EXPECT_FALSE(transport.disconnectHost(gone));
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_EQ(transport.findHost(zoneB), &next);
    EXPECT_TRUE(transport.sendMessage(next.id, bytesOf({0x09, 3})));
    EXPECT_EQ(sentTo(zoneB), std::vector<Bytes>{reliableDatagram(0, bytesOf({0x09, 3}))});
}

// The layer above hears why the transport closed a host, and that a
// handshake is done; a close it asked for itself it is not told of.
TEST_F(TransportTest, TheLayerAboveHearsOfHandshakesAndOfEveryCloseItDidNotAskFor) {
    settings.kickOutDelay = 500;
    handshake(zoneA);
    feed(connectionRequest(kClientKey), zoneB);
    EXPECT_EQ(connectedEvents, 2);
    feedSealed(disconnectNotice(), zoneA);
    feedSealed(bytesOf({0x00, 0x03, 1}), zoneB);  // a reliable header cut short
    handshake(zoneA);
    clock.advance(600);
    maintain();
    Host& asked = handshake(zoneB);
    closeZone(asked);
    EXPECT_EQ(closeReasons, (std::vector<CloseReason>{CloseReason::Goodbye, CloseReason::Malformed,
                                                      CloseReason::SessionTimeout}));
}

TEST_F(TransportTest, SessionEndRunsOnlyForLoggedInZones) {
    std::vector<int32_t> ended;
    setSessionEnd([&](Host& h) { ended.push_back(h.logNumber); });
    Host& anonymous = handshake(zoneA);
    closeZone(anonymous);
    Host& zone = handshake(zoneB);
    zone.logNumber = 8;
    transport.markLoggedIn(zone);
    closeZone(zone);
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
    setSessionEnd([&](Host&) { ++ended; });
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
