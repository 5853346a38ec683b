#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

// A zone logged in at zoneA that has sent five reliable datagrams, and what
// its session ends did; then a new connection request from its address.
class SessionTakeoverTest : public TransportTest {
protected:
    static constexpr int32_t kNewKey = 4242;

    SessionTakeoverTest() {
        settings.zoneIdleProbe = 0;
        setSessionEnd([this](Host& host) { ended.push_back(&host); });
        old = &handshake();
        transport.markLoggedIn(*old);
        old->logNumber = 7;
        oldMessages = &record(*old, 0x30);
        for (int i = 0; i < 5; ++i) feedReliable(i, bytesOf({0x30, i}));
        sink.sent.clear();
    }

    // The connection request of a zone restarted on the same port: in the
    // clear, as every connection request is.
    Host& newSession() {
        feed(connectionRequest(kNewKey));
        EXPECT_EQ(transport.hosts().size(), 2u);
        Host& fresh = *transport.hosts().back();
        EXPECT_EQ(fresh.supersedes, old);
        return fresh;
    }

    std::vector<Host*> ended;
    Host* old = nullptr;
    std::vector<Bytes>* oldMessages = nullptr;
};

TEST_F(SessionTakeoverTest, ARequestStartsASessionBesideTheOldOneAndEachGetsItsOwnDatagrams) {
    Host& fresh = newSession();
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].bytes, connectionReply(-kNewKey));  // in the clear: the new zone has no key yet
    EXPECT_EQ(old->sessionKey(), -kClientKey);
    EXPECT_EQ(transport.findHost(zoneA), old);
    EXPECT_TRUE(ended.empty());

    auto& freshMessages = record(fresh, 0x30);
    sink.sent.clear();
    feed(encrypted(-kNewKey, reliableDatagram(0, bytesOf({0x30, 100}))));
    feedReliable(5, bytesOf({0x30, 5}));  // the old session's next, under its key
    feedSealed(syncRequest(77));
    EXPECT_EQ(freshMessages, std::vector<Bytes>{bytesOf({0x30, 100})});
    ASSERT_EQ(oldMessages->size(), 6u);
    EXPECT_EQ(oldMessages->back(), bytesOf({0x30, 5}));
    // The new session's acknowledgement goes under its own key.
    ASSERT_FALSE(sink.sent.empty());
    EXPECT_EQ(decrypted(-kNewKey, sink.sent[0].bytes), acknowledgement(0));
    EXPECT_EQ(transport.hosts().size(), 2u);
    EXPECT_TRUE(ended.empty());
    // Each session goes on from its own next number.
    feed(encrypted(-kNewKey, reliableDatagram(1, bytesOf({0x30, 101}))));
    feedReliable(6, bytesOf({0x30, 6}));
    EXPECT_EQ(freshMessages, (std::vector<Bytes>{bytesOf({0x30, 100}), bytesOf({0x30, 101})}));
    EXPECT_EQ(oldMessages->back(), bytesOf({0x30, 6}));
}

TEST_F(SessionTakeoverTest, ALoggedInNewSessionEndsTheOldOneWithoutANotice) {
    Host& fresh = newSession();
    sink.sent.clear();
    log.clear();
    fresh.logNumber = 7;
    if (Host* gone = transport.takeOverSession(fresh)) actOn(TransportEvent{TransportEvent::Kind::Closed, gone});
    EXPECT_EQ(ended, std::vector<Host*>{old});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"7 - Connection broken: Zone restarted at 10.0.0.1:5000"});
    // A disconnect notice would reach the new session: none is sent.
    EXPECT_TRUE(sink.sent.empty());
    ASSERT_EQ(transport.hosts().size(), 1u);
    EXPECT_EQ(transport.findHost(zoneA), &fresh);
    EXPECT_EQ(fresh.supersedes, nullptr);
    // Now every datagram from the address is the new session's.
    auto& freshMessages = record(fresh, 0x30);
    feed(encrypted(-kNewKey, reliableDatagram(0, bytesOf({0x30, 1}))));
    EXPECT_EQ(freshMessages.size(), 1u);
}

// A forged request, or a restarted zone whose login fails: the new session
// goes without a word to the address (the old zone would hear it), and
// the old one runs on as before.
TEST_F(SessionTakeoverTest, ANewSessionThatDoesNotLogInLeavesTheOldOneAlone) {
    settings.kickOutDelay = 60000;
    enum class End { Silence, Refused, NewerRequest };
    const struct {
        const char* what;
        End end;
        std::vector<std::string> lines;
    } cases[] = {
        {"silent for KickOutDelay", End::Silence,
         {"Session timeout: 10.0.0.1:5000  Punt!",
          "7 - Session kept: new connection from 10.0.0.1:5000 did not log in"}},
        {"refused at its zone login", End::Refused,
         {"7 - Session kept: new connection from 10.0.0.1:5000 did not log in"}},
        {"replaced by a newer request", End::NewerRequest,
         {"7 - Session kept: new connection from 10.0.0.1:5000 did not log in",
          "Connection request from 10.0.0.1:5000"}},
    };
    int32_t oldNext = 5;  // the number the old zone sends next
    for (const auto& c : cases) {
        Host& fresh = newSession();
        sink.sent.clear();
        log.clear();
        switch (c.end) {
            case End::Silence:
                clock.advance(59999);
                feedReliable(oldNext++, bytesOf({0x30, 50}));  // the old zone talks on
                maintain();
                EXPECT_EQ(transport.hosts().size(), 2u);
                clock.advance(1);
                maintain();
                break;
            case End::Refused:
                closeZone(fresh);
                break;
            case End::NewerRequest:
                feed(connectionRequest(kNewKey + 1));
                break;
        }
        EXPECT_EQ(log.lines(), c.lines) << c.what;
        for (const Bytes& d : sentTo(zoneA)) EXPECT_NE(d, disconnectNotice()) << c.what;
        for (const Bytes& d : sentTo(zoneA, -kNewKey)) EXPECT_NE(d, reliableDatagram(0, disconnectNotice())) << c.what;
        EXPECT_TRUE(ended.empty()) << c.what;
        EXPECT_EQ(transport.findHost(zoneA), old) << c.what;
        EXPECT_EQ(old->sessionKey(), -kClientKey) << c.what;
        const size_t before = oldMessages->size();
        feedReliable(oldNext++, bytesOf({0x30, 60}));
        EXPECT_EQ(oldMessages->size(), before + 1) << c.what;
        // Drop what the newer request of the last case left.
        if (old->supersededBy) closeZone(*old->supersededBy);
        EXPECT_EQ(transport.hosts().size(), 1u) << c.what;
    }
}

TEST_F(SessionTakeoverTest, AnOldSessionLostMeanwhileLeavesAnOrdinaryNewOne) {
    Host& fresh = newSession();
    closeZone(*old);
    EXPECT_EQ(ended, std::vector<Host*>{old});
    EXPECT_EQ(fresh.supersedes, nullptr);
    sink.sent.clear();
    // Now it is told when it goes, like any other.
    closeZone(fresh);
    EXPECT_EQ(sentTo(zoneA, -kNewKey), std::vector<Bytes>{reliableDatagram(0, disconnectNotice())});
}

TEST_F(SessionTakeoverTest, ARequestBeforeTheZoneLoginIsTheSameSession) {
    Host& host = handshake(zoneB);
    feed(connectionRequest(kNewKey), zoneB);
    EXPECT_EQ(transport.findHost(zoneB), &host);
    EXPECT_EQ(transport.hosts().size(), 2u);
    EXPECT_EQ(host.supersedes, nullptr);
}

}  // namespace
}  // namespace tallysv::testing
