// The squad list shows names from the files and from zones: their control
// bytes are escaped, as in every console line.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "server/console_lists.h"

namespace tallysv {
namespace {

TEST(ConsoleListEscapeTest, SquadListEscapesSquadAndMemberNames) {
    FakeClock clock{1000, 1000000000};
    RecordingLog log;
    Settings settings;
    Database database{settings, clock, log};
    UserRecord* ann = database.createUser("Ann\nZeta:Forged", "", {}, 0, 0);
    UserRecord* ben = database.createUser("Ben", "", {}, 0, 0);
    database.addSquadMember(*database.createSquad("Ze\x1b[8mta", "", ann), *ben);
    database.addSquadMember(*database.findSquad("Ze\x1b[8mta"), *ann);
    database.createSquad("Plain\x7f", "", nullptr);
    printSquadList(database, log);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Squad list:", "Ze\\x1b[8mta:Ben,Ann\\x0aZeta:Forged",
                                                     "Plain\\x7f:"}));
}

}  // namespace
}  // namespace tallysv
