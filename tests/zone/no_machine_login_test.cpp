#include <string>

#include "zone_fixture.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

// Zones that take players in through a text protocol (chat clients, bots)
// send MachineID 0 for them.
class NoMachineLoginTest : public ZoneTest {
protected:
    NoMachineLoginTest() : zone(loginZone(30, 3, "Arena")) {}
    SimZone& zone;

    zoneclient::PlayerLogin request(const std::string& name, int32_t machineID) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = "pw";
        login.playerId = ++lastPlayerID;
        login.address = nextPlayerAddress();
        login.machineId = machineID;
        return login;
    }
    uint32_t lastPlayerID = 100;
};

}  // namespace

TEST_F(NoMachineLoginTest, OnlyMachineIDZeroPassesAndOnlyWithAllowNoMachineID) {
    const struct {
        int32_t machineID;
        bool lockedOut;      // AllowNoMachineID off
        bool lockedOutWith;  // AllowNoMachineID on
    } cases[] = {{0, true, false}, {1, true, true}, {31337, true, true}, {31338, false, false}, {-1, true, true}};
    int n = 0;
    for (bool allow : {false, true}) {
        settings.allowNoMachineID = allow;
        for (const auto& c : cases) {
            for (bool known : {true, false}) {
                const std::string name = (known ? "Known" : "New") + std::to_string(++n);
                if (known) database.createUser(name, "pw", {}, 50000, 0);
                const bool locked = allow ? c.lockedOutWith : c.lockedOut;
                const std::string what = name + " MachineID " + std::to_string(c.machineID) +
                                         (allow ? " allowed" : " not allowed");
                auto reply = loginPlayer(zone, request(name, c.machineID));
                ASSERT_TRUE(reply) << what;
                EXPECT_EQ(reply->result, locked ? 0 : 6) << what;
                EXPECT_EQ(reply->name, locked ? "^Banned" : name) << what;
                const char* console = known ? "30 - User randomizing machine ID locked out: "
                                            : "30 - User randomizing MachineID locked out: ";
                EXPECT_EQ(logged(console + name), locked) << what;
                UserRecord* account = database.findUser(name);
                ASSERT_EQ(account != nullptr, known || !locked) << what;
                if (!locked) {
                    EXPECT_EQ(account->machineID(), c.machineID) << what;
                }
            }
        }
    }
}

TEST_F(NoMachineLoginTest, MachineBansAndMachineIDZero) {
    // A chat client banned by machine: the ban holds its MachineID 0 and an
    // address no one else uses.
    UserRecord* bot = database.createUser("Bot", "pw", {10, 9, 9, 9}, 0, 0);
    BanRecord* botBan = database.createBan(*bot, nullptr, 10);
    botBan->rangeStart = botBan->rangeEnd = bot->address();
    botBan->machineID = 0;
    UserRecord* cheat = database.createUser("Cheat", "pw", {10, 8, 8, 8}, 40000, 0);
    BanRecord* cheatBan = database.createBan(*cheat, nullptr, 10);
    cheatBan->rangeStart = cheatBan->rangeEnd = cheat->address();
    cheatBan->machineID = 40000;
    database.createUser("OtherBot", "pw", {}, 0, 0);

    const struct {
        const char* name;
        int32_t machineID;
        bool allow;
        const char* entered;  // the reply's name
        BanRecord* ban;       // the ban that locks the login out, by machine
    } cases[] = {
        // Without the setting a ban's MachineID 0 matches every login of 0.
        {"OtherBot", 0, false, "^Banned", botBan},
        {"NewBot", 0, false, "^Banned", botBan},
        // With it, 0 names no machine: no ban matches it by machine...
        {"OtherBot", 0, true, "OtherBot", nullptr},
        {"NewBot", 0, true, "NewBot", nullptr},
        // ...and bans on real machines still do.
        {"Twin", 40000, true, "^Banned", cheatBan},
    };
    for (const auto& c : cases) {
        settings.allowNoMachineID = c.allow;
        for (BanRecord* ban : {botBan, cheatBan}) ban->lastMatch = BanMatch::Name;
        log.clear();
        auto reply = loginPlayer(zone, request(c.name, c.machineID));
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->name, c.entered) << c.name << (c.allow ? " allowed" : "");
        EXPECT_EQ(logged(std::string("30 - Banned user locked out: ") + c.name), c.ban != nullptr) << c.name;
        if (c.ban) {
            EXPECT_EQ(c.ban->lastMatch, BanMatch::MachineID) << c.name;
        }
    }
}
