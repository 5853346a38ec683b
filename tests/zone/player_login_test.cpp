#include "zone_fixture.h"

#include "core/fields.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class PlayerLoginTest : public ZoneTest {
protected:
    PlayerLoginTest() : zone(loginZone(30, 3, "Arena")) {}
    SimZone& zone;

    zoneclient::PlayerLogin request(const std::string& name, const std::string& password = "pw") {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = ++lastPlayerID;
        login.address = nextPlayerAddress();
        return login;
    }
    uint32_t lastPlayerID = 100;
};

}  // namespace

TEST_F(PlayerLoginTest, NamesAreCleanedAndChecked) {
    const struct {
        const char* name;
        uint8_t result;
        const char* entered;
    } cases[] = {
        {"  Two   Words  ", 6, "Two Words"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXY", 6, "ABCDEFGHIJKLMNOPQRS"},
        {"_under", 5, nullptr},
        {"", 5, nullptr},
        {"Co:lon", 5, nullptr},
        {"Per%cent", 5, nullptr},
        {"   ", 5, nullptr},
    };
    for (const auto& c : cases) {
        auto reply = loginPlayer(zone, request(c.name));
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->result, c.result) << c.name;
        if (c.entered) {
            EXPECT_EQ(reply->name, c.entered);
            ASSERT_NE(database.findUser(c.entered), nullptr);
            EXPECT_EQ(database.findUser(c.entered)->name(), c.entered);
        } else {
            EXPECT_NE(log.lines().back().find("30 - Player connection refused(Bad name): "), std::string::npos);
        }
    }
    // Two names that agree in their first 19 characters are one account.
    auto again = loginPlayer(zone, request("abcdefghijklmnopqrsZZZ"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->result, 6);
    EXPECT_EQ(again->userId, database.findUser("ABCDEFGHIJKLMNOPQRS")->userID());
}

TEST_F(PlayerLoginTest, NewUsersAllowedAskedOrRefused) {
    settings.allowNewUsers = false;
    auto refused = loginPlayer(zone, request("Newbie"));
    EXPECT_EQ(refused->result, 4);
    EXPECT_TRUE(logged("30 - Player connection refused(New user): Newbie"));
    auto confirmedButRefused = request("Newbie");
    confirmedButRefused.confirmNew = true;
    EXPECT_EQ(loginPlayer(zone, confirmedButRefused)->result, 4);

    settings.allowNewUsers = true;
    settings.askNewUsers = true;
    auto asked = loginPlayer(zone, request("Newbie"));
    EXPECT_EQ(asked->result, 1);
    EXPECT_TRUE(logged("30 - New player connected: Newbie"));
    EXPECT_EQ(database.findUser("Newbie"), nullptr);

    auto confirmed = request("Newbie", "secret");
    confirmed.confirmNew = true;
    auto created = loginPlayer(zone, confirmed);
    EXPECT_EQ(created->result, 6);
    EXPECT_EQ(created->name, "Newbie");
    UserRecord* user = database.findUser("Newbie");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(created->userId, user->userID());
    EXPECT_EQ(created->year, 0) << "a new account's reply carries no date";
    EXPECT_EQ(user->password, scrambledPassword("secret"));
    EXPECT_EQ(user->Logins, 0);
    EXPECT_TRUE(logged("30 - New player entering: Newbie"));
    ASSERT_NE(player(zone, lastPlayerID), nullptr);
}

TEST_F(PlayerLoginTest, ExistingAccountReplyAndPassword) {
    UserRecord* user = database.createUser("Veteran", "right", {1, 2, 3, 4}, 50000, 0);
    user->created = 983934309;  // 2001-03-07 03:05:09 UTC
    user->Usage = 4321;
    user->banner[0] = 0xAB;
    SquadRecord* squad = database.createSquad("A Squad Named At Length Here", "sq", user);
    database.addSquadMember(*squad, *user);
    ScoreRecord* score = database.createScore(*user, 30);
    score->WordStat1 = -2;
    score->LongStat2 = 77777;
    // Scores are found through the zone's list, filled at zone login.
    SimZone& arena = loginZone(30, 3, "Arena");

    EXPECT_EQ(loginPlayer(arena, request("Veteran", "wrong"))->result, 2);
    EXPECT_TRUE(logged("30 - Invalid password: Veteran"));

    auto login = request("veteran", "right");
    login.timeZoneBias = 240;
    login.machineId = 99999;
    auto reply = loginPlayer(arena, login);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 6) << "no registration";
    EXPECT_EQ(reply->name, "veteran") << "the name as requested";
    EXPECT_EQ(reply->squad, "A Squad Named At Length ");
    EXPECT_EQ(reply->banner[0], 0xAB);
    EXPECT_EQ(reply->usage, 4321);
    EXPECT_EQ(reply->userId, user->userID());
    EXPECT_EQ(reply->year, 2001);
    EXPECT_EQ(reply->month, 3);
    EXPECT_EQ(reply->day, 6) << "four hours west of UTC";
    EXPECT_EQ(reply->hour, 23);
    EXPECT_EQ(reply->minute, 5);
    EXPECT_EQ(reply->second, 9);
    EXPECT_EQ(static_cast<int16_t>(reply->wordStat1), -2);
    EXPECT_EQ(reply->longStat2, 77777);
    EXPECT_TRUE(logged("30 - Player entering: Veteran"));
    EXPECT_EQ(user->Logins, 1);
    EXPECT_EQ(user->lastLogin, clock.now());
    EXPECT_EQ(user->timeZoneBias, 240);
    EXPECT_EQ(user->machineID(), 99999);
    EXPECT_EQ(user->address(), login.address);
    PlayerSession* session = player(arena, lastPlayerID);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->score, score);

    // With a registration the result is 0 and its notify flags go to the session.
    database.registerUser(*user, "Real", "mail", 5);
    user->registration()->NotifyBan = true;
    auto registered = loginPlayer(arena, request("Veteran", "right"));
    EXPECT_EQ(registered->result, 0);
    EXPECT_EQ(player(arena, lastPlayerID)->NotifyBan, 1);
    EXPECT_EQ(player(arena, lastPlayerID)->NotifyZone, 0);
}

TEST_F(PlayerLoginTest, AccountWithoutScoresEntersWithNoScore) {
    database.createUser("Fresh", "pw", {}, 50000, 0);
    auto reply = loginPlayer(zone, request("Fresh"));
    EXPECT_EQ(reply->result, 6);
    EXPECT_EQ(reply->longStat1, 0);
    EXPECT_TRUE(logged("30 - Player entering(No Score): Fresh"));
    EXPECT_EQ(player(zone, lastPlayerID)->score, nullptr);
}

TEST_F(PlayerLoginTest, ReplyWithoutSquadHasZerosThere) {
    database.createUser("Loner", "pw", {}, 50000, 0);
    send(zone, zoneclient::playerLogin(request("Loner")));
    auto replies = take(zone, 1);
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_EQ(replies[0].size(), 192u);
    for (int i = 30; i < 54; ++i) EXPECT_EQ(replies[0][i], 0) << i;
}

TEST_F(PlayerLoginTest, AccountReclaimTakesThePresentedPassword) {
    UserRecord* user = database.createUser("Dormant", "old", {}, 50000, 0);
    database.registerUser(*user, "Real", "mail", 5);
    user->lastLogin = clock.now() - settings.accountReclaimDelay - 1;
    auto reply = loginPlayer(zone, request("Dormant", "new"));
    EXPECT_EQ(reply->result, 6) << "the registration goes with the old owner";
    EXPECT_EQ(user->password, scrambledPassword("new"));
    EXPECT_EQ(user->registration(), nullptr);
}

TEST_F(PlayerLoginTest, LockOutsAndTheirOrder) {
    database.createUser("Known", "pw", {}, 50000, 0);
    const struct {
        const char* name;
        int32_t machineID;
        int16_t bias;
        const char* console;
        const char* notice;
    } cases[] = {
        {"Known", 50000, 17, "30 - User randomizing TimeZoneBias locked out: Known",
         "Arena: Known connecting with a hacked client. (TZB Randomized)(17)"},
        {"Known", 31337, 0, "30 - User randomizing machine ID locked out: Known",
         "Arena: Known connecting with a hacked client. (MachineID Randomized)(31337)"},
        // An existing account is tested for its bias first...
        {"Known", -4, 750, "30 - User randomizing TimeZoneBias locked out: Known",
         "Arena: Known connecting with a hacked client. (TZB Randomized)(750)"},
        // ...a new name for its MachineID first.
        {"Stranger", -4, 750, "30 - User randomizing MachineID locked out: Stranger",
         "Arena: Stranger connecting with a hacked client. (MachineID Randomized)(-4)"},
        {"Stranger", 50000, -750, "30 - User randomizing TimeZoneBias locked out: Stranger",
         "Arena: Stranger connecting with a hacked client. (TZB Randomized)(-750)"},
    };
    ASSERT_TRUE(loginPlayer(zone, request("Watcher")));
    PlayerSession& watcher = *player(zone, lastPlayerID);
    makeOperator(watcher, 4);
    watcher.NotifyBan = 1;
    for (const auto& c : cases) {
        auto login = request(c.name);
        login.machineId = c.machineID;
        login.timeZoneBias = c.bias;
        chatLines(zone);
        auto reply = loginPlayer(zone, login);
        ASSERT_TRUE(reply) << c.console;
        EXPECT_EQ(reply->result, 0) << c.console;
        EXPECT_EQ(reply->name, "^Banned") << c.console;
        EXPECT_EQ(reply->userId, 0) << c.console;
        EXPECT_TRUE(logged(c.console)) << c.console;
        auto notices = chatLines(zone);
        ASSERT_EQ(notices.size(), 1u) << c.console;
        EXPECT_EQ(notices[0].text, c.notice);
        PlayerSession* locked = player(zone, lastPlayerID);
        ASSERT_NE(locked, nullptr);
        EXPECT_NE(locked->kickTime, 0u);
    }
    EXPECT_EQ(database.findUser("Stranger"), nullptr);
    EXPECT_EQ(database.findUser("Known")->Logins, 0);
}

TEST_F(PlayerLoginTest, BoundaryBiasesAndMachineIDsPass) {
    for (int16_t bias : {-720, 0, 330, 720}) {
        auto login = request("Bias" + std::to_string(bias + 1000));
        login.timeZoneBias = bias;
        EXPECT_EQ(loginPlayer(zone, login)->result, 6) << bias;
    }
    auto login = request("Machine");
    login.machineId = 31338;
    EXPECT_EQ(loginPlayer(zone, login)->result, 6);
}

TEST_F(PlayerLoginTest, LockedOutPlayerIsKickedAfterFifteenSeconds) {
    auto login = request("Cheater");
    login.machineId = 5;
    ASSERT_EQ(loginPlayer(zone, login)->name, "^Banned");
    advance(14950);
    EXPECT_TRUE(take(zone, 8).empty());
    advance(100);
    auto kicks = take(zone, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->playerId, lastPlayerID);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, 0);
    EXPECT_EQ(texts(zone), (std::vector<std::string>{"You have been blocked from my network"}));
    // The session stays until the zone says the player left.
    EXPECT_NE(player(zone, lastPlayerID), nullptr);
    advance(1000);
    EXPECT_TRUE(take(zone, 8).empty()) << "a kick fires once";
}

TEST_F(PlayerLoginTest, BannedPlayerSeesTheBanNotice) {
    UserRecord* op = database.createUser("Judge", "pw", {}, 50000, 0);
    UserRecord* user = database.createUser("Villain", "pw", {}, 50000, -60);
    BanRecord* ban = database.createBan(*user, op, 30);
    ban->expires = 1015459200;  // 2002-03-07 00:00:00 UTC
    ban->groupID = 3;
    ban->scoreID = 30;
    database.createZone(30, 3, "zonepw")->BanText.set("Appeal at the forum.");

    auto login = request("Villain");
    login.timeZoneBias = -60;
    auto reply = loginPlayer(zone, login);
    EXPECT_EQ(reply->name, "^Banned");
    EXPECT_TRUE(logged("30 - Banned user locked out: Villain"));
    EXPECT_EQ(ban->lastMatch, BanMatch::Name);
    advance(15050);
    auto kicks = take(zone, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, ban->banID());
    EXPECT_EQ(texts(zone), (std::vector<std::string>{
                               "You have been banned from Arena until 3-07-2002.  Ban # " +
                                   std::to_string(ban->banID()) + " by Judge",
                               "Appeal at the forum.",
                           }));
}

TEST_F(PlayerLoginTest, PassBlockAndBanfreeSkipEveryBanCheck) {
    UserRecord* blocked = database.createUser("Exempt", "pw", {}, 50000, 0);
    blocked->passBlock = 1;
    database.createBan(*blocked, nullptr, 10);
    auto login = request("Exempt");
    login.machineId = 3;
    login.timeZoneBias = 17;
    EXPECT_EQ(loginPlayer(zone, login)->result, 6);
    auto wrong = request("Exempt", "bad");
    EXPECT_EQ(loginPlayer(zone, wrong)->result, 2) << "the password still counts";

    UserRecord* freed = database.createUser("Freed", "pw", {}, 50000, 0);
    database.createBan(*freed, nullptr, 10);
    database.createBanfree(freed->userID(), 0, 0);
    EXPECT_EQ(loginPlayer(zone, request("Freed"))->result, 6);
}

TEST_F(PlayerLoginTest, FloodFromOneAddress) {
    zoneclient::PlayerLogin login = request("Flooder");
    for (int attempt = 1; attempt <= 6; ++attempt) {
        login.playerId = ++lastPlayerID;
        auto reply = loginPlayer(zone, login);
        if (attempt <= 3) {
            EXPECT_EQ(reply->result, 6) << attempt;
        } else if (attempt <= 5) {
            EXPECT_EQ(reply->result, 7) << attempt;
            EXPECT_TRUE(logged("30 - Player connection refused(Light flood): Flooder"));
        } else {
            EXPECT_FALSE(reply) << "no reply at all";
            EXPECT_TRUE(logged("30 - Player connection ignored(Flood): Flooder"));
        }
    }
}

TEST_F(PlayerLoginTest, ShortLoginIsDroppedUnread) {
    Bytes login = zoneclient::playerLogin(request("Shorty"));
    login.resize(79);
    log.clear();
    send(zone, login);
    EXPECT_TRUE(take(zone, 1).empty());
    EXPECT_EQ(log.lines().at(0), "30 - Short packet(4)(79) dropped");
    EXPECT_EQ(database.findUser("Shorty"), nullptr);
}
