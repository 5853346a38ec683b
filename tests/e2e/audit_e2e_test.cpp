// The audit log of the real server: an operator's ban typed in a zone is in
// audit.log by the time its reply reaches the zone, with no password of
// the run anywhere in it or on the console, and tallysv-db shows it.
#include <gtest/gtest.h>

#include <string>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

TEST(AuditLogE2E, BanTypedInAZoneIsInTheAuditLog) {
    ZoneNetwork network("SysopPassword=Chief4Secret\n");
    network.startServer();
    auto north = network.zone(1, "North");
    north->send("player Op secret --ip 10.1.1.1 --machine-id 500001\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 1: result 6")) << north->output();
    north->send("cmd Op ?login Chief4Secret\n");
    ASSERT_TRUE(north->waitForOutput("Successfully logged on as Network-wide level 0")) << north->output();
    north->send("player Alice pw --ip 10.2.2.2 --machine-id 500002\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 2: result 6")) << north->output();

    north->send("cmd Op ?ban -d=2 Alice\n");
    ASSERT_TRUE(north->waitForOutput("Ban # 1 added zone-wide. Duration: 2 day(s). [Op]")) << north->output();
    north->send("cmd Op ?changeop Op4Secret\n");
    ASSERT_TRUE(north->waitForOutput("Your operator password is changed")) << north->output();

    const std::string audit = network.dir().read("audit.log");
    EXPECT_NE(audit.find(",\"operator\":1,\"level\":0,\"account\":\"Op\",\"zone\":1,\"zoneName\":\"North\","
                         "\"command\":\"?ban -d=2 Alice\",\"outcome\":\"Ban # 1 added zone-wide. Duration: 2 "
                         "day(s).\"}\n"),
              std::string::npos)
        << audit;
    EXPECT_NE(audit.find("\"command\":\"?changeop ********\",\"outcome\":\"Your operator password is changed\"}\n"),
              std::string::npos)
        << audit;
    EXPECT_TRUE(network.server().waitForOutput("1 - Op>?login ********")) << network.server().output();
    for (const char* secret : {"Chief4Secret", "Op4Secret"}) {
        EXPECT_EQ(audit.find(secret), std::string::npos) << secret;
        EXPECT_EQ(network.server().output().find(secret), std::string::npos) << secret;
    }

    ChildProcess table(kBinDir + "/tallysv-db", {"audit", "--who", "op", "--since", "1h"}, network.dir().str());
    EXPECT_EQ(table.wait(), 0) << table.output();
    EXPECT_NE(table.output().find("  Op   #1 level 0  1 North  ?ban -d=2 Alice     Ban # 1 added zone-wide. Duration: 2 day(s).\n"),
              std::string::npos)
        << table.output();

    north->send("quit\n");
    north->wait();
    network.stopServer();
}
