#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class ZoneOverloadTest : public ZoneTest {
protected:
    ZoneOverloadTest() : alpha(loginZone(1, 10, "Alpha")) {
        loginPlayer(alpha, "Ann", "pw", 1);
        loginPlayer(alpha, "Abe", "pw", 2);
        alpha.received.clear();
        log.clear();
    }
    SimZone& alpha;

    // Fills what waits for the zone without letting it acknowledge.
    void fillQueue(Host& host) {
        Bytes text = {9, 2, 0, 0, 0, 'x', 0};
        for (size_t i = 0; i < CoreTransport::kWindow + CoreTransport::kMaxWaiting; ++i)
            transport.sendMessage(host, text);
    }
};

}  // namespace

// The relay of a chat line must not lose track of its channel whatever
// sending to a member does to that member's zone.
TEST_F(ZoneOverloadTest, ChatOnAFullQueueIsLoggedWithItsChannel) {
    zones.joinChannel(*player(alpha, 1), "Trade", 1, false);
    zones.joinChannel(*player(alpha, 2), "Trade", 1, false);
    fillQueue(*hostOf(alpha));
    send(alpha, zoneclient::chat(1, '1', "hi"));
    EXPECT_TRUE(logged("1 - Chat: (Trade)Ann>hi")) << log.text();
}
