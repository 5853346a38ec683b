// The console's squad list: names in table order, members in joining order.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "server/console_lists.h"

namespace tallysv {
namespace {

TEST(ConsoleListsTest, SquadListPrintsNamesInTableOrder) {
    FakeClock clock{1000, 1000000000};
    RecordingLog log;
    Settings settings;
    Database database{settings, clock, log};
    UserRecord* a = database.createUser("Ann", "", {}, 0, 0);
    UserRecord* b = database.createUser("Ben", "", {}, 0, 0);
    database.addSquadMember(*database.createSquad("Zeta", "", a), *b);
    database.addSquadMember(*database.findSquad("Zeta"), *a);
    database.createSquad("Alpha", "", nullptr);
    printSquadList(database, log);
    EXPECT_EQ(log.text(), "Squad list:\nZeta:Ben,Ann\nAlpha:\n");
}

}  // namespace
}  // namespace tallysv
