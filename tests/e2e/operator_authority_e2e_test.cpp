#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "db/dat_tool.h"
#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

// A player of the zone types a command; success once the zone has shown
// him one more line with the reply (replies may repeat).
::testing::AssertionResult replied(ChildProcess& zone, const std::string& name, const std::string& text,
                                   const std::string& reply) {
    const std::string line = ": " + reply + " [" + name + "]";
    const size_t before = occurrences(zone.output(), line);
    zone.send("cmd " + name + " " + text + "\n");
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (occurrences(zone.output(), line) > before) return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionFailure() << "no \"" << reply << "\" to " << text << "\n" << zone.output();
}

// Each player from his own address: the server lets only a few logins
// come from one.
void enter(ChildProcess& zone, const std::string& name, int number) {
    zone.send("player " + name + " pw --ip 10.7.7." + std::to_string(number) + "\n");
    ASSERT_TRUE(zone.waitForOutput(", name " + name + ", ")) << zone.output();
}

// The saved operators, bans, banfrees and zone registrations.
std::string savedState(const ZoneNetwork& network) {
    std::ostringstream out;
    for (const char* file : {"Op.dat", "Ban.dat", "Banfree.dat", "Zone.dat"}) {
        out << file << "\n";
        tallysv::Status dumped = tallysv::dumpDatFile(network.dir().str() + "/" + file, out);
        EXPECT_TRUE(dumped) << dumped.reason();
    }
    return out.str();
}

// North is zone 1 of group 1, South zone 2 of group 2. Chief, Admin and
// Clerk (North), Boss and Keeper (South) log in as the Network
// Administrator and set the network up, none typing fast enough to be
// taken for a flooder. Each hole is then tried by an operator of group 1 or
// of South and refused, and the saved records and South's settings stay as
// they were.
TEST(OperatorAuthorityEndToEnd, EachHoleIsRefusedAndChangesNothing) {
    ZoneNetwork network("SysopPassword=chief\n");
    network.startServer();
    auto northZone = network.zone(1, "North", 1);
    auto southZone = network.zone(2, "South", 2);
    ChildProcess& north = *northZone;
    ChildProcess& south = *southZone;
    int number = 0;
    for (const char* name : {"Chief", "Admin", "Clerk", "Gm", "Mod", "FreeAll", "FreeNorth"})
        enter(north, name, ++number);
    for (const char* name : {"Boss", "Keeper", "Victim", "ZoneMod", "Sys"}) enter(south, name, ++number);
    for (const char* name : {"Chief", "Admin", "Clerk"})
        ASSERT_TRUE(replied(north, name, "?login chief", "Successfully logged on as Network-wide level 0"));
    for (const char* name : {"Boss", "Keeper"})
        ASSERT_TRUE(replied(south, name, "?login chief", "Successfully logged on as Network-wide level 0"));

    ASSERT_TRUE(replied(north, "Chief", "?addzone 1:", "Zone registered under group 1"));
    ASSERT_TRUE(replied(south, "Boss", "?addzone 2:", "Zone registered under group 2"));
    ASSERT_TRUE(replied(north, "Chief", "?addop -1g Gm:gmpw", "Gm: Operator level 1 added group-wide"));
    ASSERT_TRUE(replied(north, "Admin", "?addop -4g Mod:modpw", "Mod: Operator level 4 added group-wide"));
    ASSERT_TRUE(replied(north, "Admin", "?addop -2g Sys:syspw", "Sys: Operator level 2 added group-wide"));
    ASSERT_TRUE(replied(south, "Boss", "?addop -4 ZoneMod:zmpw", "ZoneMod: Operator level 4 added zone-wide"));
    ASSERT_TRUE(replied(north, "Clerk", "?banfree -* FreeAll", "Banfree added: UserId #6. Banfree level 0"));
    ASSERT_TRUE(replied(north, "Clerk", "?banfree FreeNorth", "Banfree added: UserId #7. Banfree level 0"));
    ASSERT_TRUE(replied(south, "Keeper", "?bantext Appeal at the forum", "Ban text changed"));
    ASSERT_TRUE(replied(south, "Keeper", "?write", "Database stored to disk"));
    const std::string before = savedState(network);

    ASSERT_TRUE(replied(north, "Gm", "?login gmpw", "Successfully logged on as Group-wide Operator level 1"));
    ASSERT_TRUE(replied(north, "Mod", "?login modpw", "Successfully logged on as Group-wide Operator level 4"));
    ASSERT_TRUE(replied(south, "ZoneMod", "?login zmpw", "Successfully logged on as Zone-wide Operator level 4"));
    ASSERT_TRUE(replied(south, "Sys", "?login syspw", "You only have limited powers in this zone"));

    // A group-wide manager makes no network-wide record.
    EXPECT_TRUE(replied(north, "Gm", "?addop -*1g Mod:pw",
                        "You do not have authority to register administrators outside your sector"));
    // Group 1's manager bans nobody in group 2's zone.
    EXPECT_TRUE(replied(north, "Gm", "?ban -r=2 Victim", "You only have limited powers in the target zone"));
    // A moderator neither bans nor kicks the Network Administrator.
    EXPECT_TRUE(replied(north, "Mod", "?ban Chief", "You cannot ban operators at or below your level."));
    // South's moderator lifts neither the network-wide banfree nor North's.
    EXPECT_TRUE(replied(south, "ZoneMod", "?liftbanfree 1", "Specified banfree slot is empty"));
    EXPECT_TRUE(replied(south, "ZoneMod", "?liftbanfree 2", "Specified banfree slot is empty"));
    // Group 1's SysOp leaves South's chat and ban text alone.
    EXPECT_TRUE(replied(south, "Sys", "?extchat off", "You do not have access here"));
    EXPECT_TRUE(replied(south, "Sys", "?bantext Come in", "You do not have access here"));

    EXPECT_TRUE(replied(south, "Boss", "?extchat", "External chat ENABLED"));
    EXPECT_TRUE(replied(south, "Keeper", "?bantext", "Ban text: Appeal at the forum"));
    EXPECT_TRUE(replied(north, "Clerk", "?listbanfree -*", "2) <North> FreeNorth"));
    EXPECT_EQ(occurrences(north.output(), "kick player"), 0u) << north.output();
    EXPECT_EQ(occurrences(south.output(), "kick player"), 0u) << south.output();

    for (ChildProcess* zone : {&north, &south}) {
        zone->send("quit\n");
        zone->wait();
    }
    network.stopServer();
    EXPECT_EQ(savedState(network), before);
}

}  // namespace
