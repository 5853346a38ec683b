#include <gtest/gtest.h>

#include "command_fixture.h"

namespace tallysv::testing {
namespace {

// Accounts of chat clients and bots, which zones log in with MachineID 0,
// as the operators' commands see them with AllowNoMachineID off and on.
class NoMachineCommandsTest : public CommandTest {
protected:
    void SetUp() override {
        zone = &loginZone(3, 1, "Desk");
        admin = seat(*zone, "Admin", 1);
        makeOperator(*admin.session, 0);
        bot = database.createUser("Bot", "pw", {10, 0, 0, 1}, 0, 0);
        database.createUser("ChatterA", "pw", {20, 0, 0, 1}, 0, 0);
        database.createUser("ChatterB", "pw", {30, 0, 0, 1}, 0, 0);
        database.createUser("Machine", "pw", {40, 0, 0, 1}, 77777, 0);
    }
    SimZone* zone = nullptr;
    Seat admin{};
    UserRecord* bot = nullptr;
};

TEST_F(NoMachineCommandsTest, AliasesShareNoMachineZero) {
    EXPECT_EQ(type(admin, "?alias=Bot"), (Lines{"Bot[IP], ChatterA[MAC], ChatterB[MAC]"}));
    settings.allowNoMachineID = true;
    EXPECT_EQ(type(admin, "?alias=Bot"), (Lines{"Bot[IP]"}));
    EXPECT_EQ(type(admin, "?alias=ChatterA"), (Lines{"ChatterA[IP]"}));
    // Real machines are still matched.
    database.createUser("SameBox", "pw", {50, 0, 0, 1}, 77777, 0);
    EXPECT_EQ(type(admin, "?alias=Machine"), (Lines{"Machine[IP], SameBox[MAC]"}));
}

TEST_F(NoMachineCommandsTest, BanfreeTestSharesNoMachineZero) {
    database.createBanfree(database.findUser("ChatterB")->userID(), 0, 0);
    const Lines refused{"This player or one of the players aliases has at least one banfree. Cannot ban with -b switch "
                        "unless there are no banfrees for the player",
                        "First match: Banfree #1"};
    EXPECT_EQ(type(admin, "?ban -b Bot"), refused);
    EXPECT_EQ(database.bans().count(), 0u);
    settings.allowNoMachineID = true;
    EXPECT_EQ(type(admin, "?ban -b Bot"), Lines{"Ban # 1 added zone-wide. Duration: 1 day(s)."});
    ASSERT_EQ(database.bans().count(), 1u);
    // The ban keeps the account's MachineID 0, which matches no login by
    // machine while the setting is on.
    EXPECT_EQ(database.bans().head()->machineID, 0);

    // A banfree on a real machine still holds off its twin's -b ban.
    database.createUser("Twin", "pw", {60, 0, 0, 1}, 77777, 0);
    database.createBanfree(database.findUser("Machine")->userID(), 0, 0);
    EXPECT_EQ(type(admin, "?ban -b Twin"), (Lines{refused[0], "First match: Banfree #2"}));
}

}  // namespace
}  // namespace tallysv::testing
