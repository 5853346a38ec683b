#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, ConnectionRequestIsAnsweredWithTheNegatedKeyInTheClear) {
    feed(connectionRequest(kClientKey));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Connection request from 10.0.0.1:5000"});
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].to, zoneA);
    EXPECT_EQ(sink.sent[0].bytes, connectionReply(-kClientKey));
    EXPECT_EQ(keyOf(zoneA), -kClientKey);
}

TEST_F(TransportTest, WithoutEncryptionTheReplyCarriesZeroAndDatagramsPassUnchanged) {
    settings.encryptMode = false;
    feed(connectionRequest(kClientKey));
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].bytes, connectionReply(0));
    EXPECT_EQ(keyOf(zoneA), 0);
    sink.sent.clear();
    feed(reliableDatagram(0, bytesOf({0x00, 0x0B, 1, 2})));
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].bytes, acknowledgement(0));
}

TEST_F(TransportTest, MalformedConnectionRequestsRemoveTheHost) {
    struct Case {
        const char* what;
        Bytes request;
    };
    Bytes nine = connectionRequest(kClientKey);
    nine.push_back(0);
    Bytes seven = connectionRequest(kClientKey);
    seven.pop_back();
    for (const Case& c : {Case{"nine bytes", nine}, Case{"key zero", connectionRequest(0)},
                          Case{"seven bytes", seven}}) {
        log.clear();
        sink.sent.clear();
        feed(c.request);
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Malformed connection request from 10.0.0.1  Punt!"}) << c.what;
        EXPECT_EQ(transport.findHost(zoneA), nullptr) << c.what;
        // The removal is told to the peer: a reliable disconnect notice.
        ASSERT_EQ(sink.sent.size(), 1u) << c.what;
        EXPECT_EQ(sink.sent[0].bytes, reliableDatagram(0, disconnectNotice())) << c.what;
    }
}

TEST_F(TransportTest, HostSlotsAreLimitedToMaxQueueForLoginPlusOne) {
    settings.maxQueueForLogin = 0;
    feed(connectionRequest(kClientKey), zoneA);
    log.clear();
    sink.sent.clear();
    feed(connectionRequest(kClientKey), zoneB);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Connection request ignored: Host slots full."});
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_EQ(transport.hosts().size(), 1u);

    settings.maxQueueForLogin = 1;
    feed(connectionRequest(kClientKey), zoneB);
    EXPECT_EQ(transport.hosts().size(), 2u);
}

TEST_F(TransportTest, AnyDatagramFromANewAddressMakesAHostButOnlyHandshakeAndDisconnectAct) {
    // Before the connection request a reliable datagram is ignored and not
    // acknowledged, and the zone login is an unhandled message.
    feed(reliableDatagram(0, bytesOf({0x30, 1})));
    ASSERT_NE(transport.findHost(zoneA), nullptr);
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    feed(zoneLogin(1, 2, "Zone", "pw"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"-1 - Unhandled packet(2)(173)"});
    EXPECT_TRUE(sink.sent.empty());
}

TEST_F(TransportTest, ARepeatedRequestIsDecipheredWithTheCurrentKeyAndAnsweredUnderIt) {
    handshake();
    int32_t oldKey = keyOf(zoneA);
    // Sent in the clear, it arrives scrambled and is malformed or carries a
    // different key; sent under the key it is accepted again.
    feedSealed(connectionRequest(555));
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(decrypted(oldKey, sink.sent[0].bytes), connectionReply(-555));
    EXPECT_EQ(keyOf(zoneA), -555);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Connection request from 10.0.0.1:5000"});
}

TEST_F(TransportTest, DisconnectNoticeRemovesTheHost) {
    handshake();
    feedSealed(disconnectNotice());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Connection termination from 10.0.0.1:5000  Bye!"});
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
}

TEST_F(TransportTest, TheHandshakeIsHeardOfBeforeTheZoneLogin) {
    std::vector<HostState> states;
    onMessage = [&](InboundMessage& m) {
        EXPECT_EQ(m.length, 173);
        EXPECT_EQ(m.host, transport.findHost(zoneA));
        states.push_back(m.host->state);
    };
    feed(zoneLogin(1, 2, "Zone", "pw"));  // before the handshake
    EXPECT_EQ(connectedEvents, 0);
    handshake();
    EXPECT_EQ(connectedEvents, 1);
    feedReliable(0, zoneLogin(1, 2, "Zone", "pw"));
    EXPECT_EQ(states, (std::vector<HostState>{HostState::Handshake, HostState::Connected}));
}

// The fuzz targets reuse one transport: after restart() it acts as a new
// one, also through hosts made from the storage of the ones it dropped.
TEST_F(TransportTest, RestartedTransportActsAsANewOne) {
    handshake(zoneA);
    handshake(zoneB);
    feedReliable(0, Bytes{9, 1, 2});
    sink.sent.clear();
    transport.restart();
    EXPECT_TRUE(transport.hosts().empty());
    ASSERT_EQ(sink.sent.size(), 2u);  // the goodbyes
    EXPECT_EQ(zoneclient::decrypted(-kClientKey, sink.sent[0].bytes), (Bytes{0x00, 0x07}));
    sink.sent.clear();
    log.clear();

    FakeClock freshClock = clock;
    RecordingSink freshSink;
    RecordingLog freshLog;
    CoreTransport fresh(freshSink, freshClock, freshLog, settings);
    auto play = [&](CoreTransport& t, FakeClock& c) {
        auto unheard = [&t] {
            TransportEvent event;
            while (t.nextEvent(event))
                if (event.kind == TransportEvent::Kind::Message) t.reportUnhandled(*event.message);
        };
        for (const PeerAddress& peer : {zoneB, zoneA}) {
            t.receive(connectionRequest(kClientKey), peer, c.tick());
            unheard();
        }
        t.receive(zoneclient::encrypted(-kClientKey, reliableDatagram(0, Bytes{9, 1})), zoneA, c.tick());
        unheard();
        t.sendMessage(*t.findHost(zoneB), Bytes{9, 3}, true);
        c.advance(20000);
        t.maintain(c.tick());
        unheard();
    };
    play(transport, clock);
    play(fresh, freshClock);
    ASSERT_GE(freshSink.sent.size(), 4u);  // two replies, an acknowledgement, a message
    EXPECT_EQ(log.lines(), freshLog.lines());
    ASSERT_EQ(sink.sent.size(), freshSink.sent.size());
    for (size_t i = 0; i < sink.sent.size(); ++i) {
        EXPECT_EQ(sink.sent[i].to, freshSink.sent[i].to) << i;
        EXPECT_EQ(sink.sent[i].bytes, freshSink.sent[i].bytes) << i;
    }
}

}  // namespace
}  // namespace tallysv::testing
