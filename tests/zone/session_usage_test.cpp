#include <string>

#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class SessionUsageTest : public ZoneTest {
protected:
    // Moves the calendar clock only: no maintenance pass runs, so nothing
    // times out and no kick fires meanwhile.
    void waitSeconds(int32_t seconds) { clock.setNow(clock.now() + seconds); }

    // Lets the transport give up on a zone that no longer answers. Only the
    // tick moves, so the loss comes at the calendar time it started.
    void loseZone(SimZone& zone) {
        zones.sendPlayerText(*sessionOf(zone).players().front(), "anyone there?");
        for (uint32_t waited = 0; waited <= static_cast<uint32_t>(settings.packetLossLimit) + 100;
             waited += 50) {
            clock.setTick(clock.tick() + 50);
            core.maintain();
            zone.fromServer.clear();
        }
    }
};

}  // namespace

// Each end of a session the server sees, with UsageFromSessions off and on.
// The zone reports 7 at every leaving; the session lasts 90 s up to its
// first end.
TEST_F(SessionUsageTest, PlayTimeAcrossEveryEndOfASession) {
    enum class End { Leaving, ZoneDisconnects, ZoneLost, KickThenLeaving, KickThenZoneLost };
    const struct {
        End end;
        const char* what;
        int32_t usageOff;  // the zone's figure, at a leaving only
        int32_t usageOn;   // the server's measure up to the first end
    } cases[] = {
        {End::Leaving, "leaving", 7, 90},
        {End::ZoneDisconnects, "zone disconnects", 0, 90},
        {End::ZoneLost, "zone lost", 0, 90},
        {End::KickThenLeaving, "kick, then leaving", 7, 90},
        {End::KickThenZoneLost, "kick, then zone lost", 0, 90},
    };
    int n = 0;
    for (bool fromSessions : {false, true}) {
        for (const auto& c : cases) {
            settings.usageFromSessions = fromSessions;
            const std::string what = std::string(c.what) + (fromSessions ? ", from sessions" : ", zone's figure");
            ++n;
            SimZone& zone = loginZone(100 + n);
            const std::string name = "Player" + std::to_string(n);
            ASSERT_TRUE(loginPlayer(zone, name, "pw", 1)) << what;
            UserRecord* user = database.findUser(name);
            ASSERT_NE(user, nullptr);
            user->Usage = 1000;
            waitSeconds(90);
            // Until its end the session adds nothing: a save meanwhile, and
            // so what a crash leaves, holds none of it.
            EXPECT_EQ(user->Usage, 1000) << what;
            PlayerSession* session = player(zone, 1);
            switch (c.end) {
                case End::Leaving:
                    send(zone, zoneclient::playerLeaving(1, 7, std::nullopt));
                    break;
                case End::ZoneDisconnects:
                    send(zone, zoneclient::disconnectNotice());
                    break;
                case End::ZoneLost:
                    loseZone(zone);
                    break;
                case End::KickThenLeaving:
                case End::KickThenZoneLost:
                    zones.kickPlayer(*session, 0, 0, 0);
                    waitSeconds(60);  // the zone takes its time; only the time up to the kick counts
                    if (c.end == End::KickThenLeaving)
                        send(zone, zoneclient::playerLeaving(1, 7, std::nullopt));
                    else
                        loseZone(zone);
                    break;
            }
            EXPECT_EQ(hostOf(zone) && hostOf(zone)->loggedIn(), c.end == End::Leaving || c.end == End::KickThenLeaving)
                << what;
            EXPECT_EQ(user->Usage, 1000 + (fromSessions ? c.usageOn : c.usageOff)) << what;
        }
    }
}

TEST_F(SessionUsageTest, LockedOutSessionsAndTheServerStop) {
    settings.usageFromSessions = true;
    SimZone& zone = loginZone(40);
    UserRecord* banned = database.createUser("Banned", "pw", {}, 50000, 0);
    database.createBan(*banned, nullptr, 10);
    ASSERT_EQ(loginPlayer(zone, "Banned", "pw", 1)->name, "^Banned");
    ASSERT_TRUE(loginPlayer(zone, "Stays", "pw", 2));
    ASSERT_TRUE(loginPlayer(zone, "Leaves", "pw", 3));
    waitSeconds(5);
    send(zone, zoneclient::playerLeaving(3, 0, std::nullopt));
    // The lock-out kick fires after 15 s; a locked-out player was never
    // accepted, so his time counts nowhere.
    advance(20000);
    EXPECT_EQ(take(zone, 8).size(), 1u);
    send(zone, zoneclient::playerLeaving(1, 0, std::nullopt));
    EXPECT_EQ(banned->Usage, 0);
    EXPECT_EQ(database.placeholderUser.Usage, 0);

    // The server stops: the sessions still open end there, once.
    EXPECT_EQ(database.findUser("Stays")->Usage, 0);
    zones.endPlayerSessionsAtStop();
    zones.endPlayerSessionsAtStop();
    EXPECT_EQ(database.findUser("Stays")->Usage, 25);
    EXPECT_EQ(database.findUser("Leaves")->Usage, 5);
    send(zone, zoneclient::playerLeaving(2, 0, std::nullopt));
    EXPECT_EQ(database.findUser("Stays")->Usage, 25);
}
