#include "zone_fixture.h"

#include <vector>

#include "core/block_hash.h"
#include "core/fields.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

class PlayerRecordsTest : public ZoneTest {
protected:
    PlayerRecordsTest() : zone(loginZone(40, 4, "Field")) {
        loginPlayer(zone, "Player", "pw", 1);
        session = player(zone, 1);
        user = database.findUser("Player");
    }
    SimZone& zone;
    PlayerSession* session = nullptr;
    UserRecord* user = nullptr;

    // A system-information block with this processor class and a non-zero hash.
    static std::vector<uint8_t> systemInfo(int16_t processor, uint8_t fill = 7) {
        std::vector<uint8_t> block(kHashedBlockSize, fill);
        writeInt16(block.data(), 0, processor);
        return block;
    }
};

}  // namespace

TEST_F(PlayerRecordsTest, ValidFormRegistersTheAccount) {
    auto info = systemInfo(586);
    Bytes form = zoneclient::registrationForm(1, "Real Name", "me@example.org", 586, info);
    send(zone, form);
    EXPECT_TRUE(logged("40 - Player sent registration data"));
    ASSERT_NE(user->registration(), nullptr);
    EXPECT_EQ(user->registration()->realName.view(), "Real Name");
    EXPECT_EQ(user->registration()->email.view(), "me@example.org");
    EXPECT_EQ(user->registration()->details.view(), "(No details)");
    EXPECT_EQ(user->registration()->hardwareID(), static_cast<int32_t>(blockHash(form.data() + 162)));
    EXPECT_EQ(dir.read("regform.bin"), std::string(form.begin(), form.end()));
}

TEST_F(PlayerRecordsTest, InvalidFormsAreKickedAfterFiveSeconds) {
    const struct {
        int16_t processor;
        uint8_t fill;
    } cases[] = {{1586, 7}, {86, 7}, {0, 0}};
    uint32_t id = 1;
    for (const auto& c : cases) {
        if (id > 1) loginPlayer(zone, "Player", "pw", id);
        auto info = systemInfo(c.processor, c.fill);  // fill 0 and class 0: a hash of 0
        log.clear();
        send(zone, zoneclient::registrationForm(id, "Real", "mail", c.processor, info));
        EXPECT_TRUE(logged("40 - Player sending invalid registration form: Player")) << c.processor;
        EXPECT_EQ(user->registration(), nullptr);
        advance(4950);
        EXPECT_TRUE(take(zone, 8).empty());
        advance(100);
        EXPECT_EQ(take(zone, 8).size(), 1u) << c.processor;
        ++id;
    }
}

TEST_F(PlayerRecordsTest, HardwareBannedFormIsKeptThenKicked) {
    ASSERT_TRUE(loginPlayer(zone, "Judge", "pw", 2));
    PlayerSession& judge = *player(zone, 2);
    makeOperator(judge, 4);
    judge.NotifyBan = 1;
    auto info = systemInfo(686);
    Bytes form = zoneclient::registrationForm(1, "Real", "mail", 686, info);
    int32_t hardwareID = static_cast<int32_t>(blockHash(form.data() + 162));
    UserRecord* other = database.createUser("Twin", "pw", {}, 50000, 0);
    BanRecord* ban = database.createBan(*other, nullptr, 10);
    ban->hardwareID = hardwareID;
    ban->rangeStart = ban->rangeEnd = {9, 9, 9, 9};
    database.setUserAddress(*user, {1, 2, 3, 4}, user->machineID());
    chatLines(zone);

    send(zone, form);
    EXPECT_TRUE(logged("40 - Banned user getting kicked: Player"));
    ASSERT_NE(user->registration(), nullptr) << "the form is kept";
    EXPECT_EQ(user->registration()->hardwareID(), hardwareID);
    EXPECT_EQ(ban->rangeStart, (IPv4Address{1, 2, 3, 4})) << "the ban follows the address";
    auto notices = chatLines(zone);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].text, "Field: Banned user #" + std::to_string(ban->banID()) +
                                   " attempting to enter as Player. (HardwareID match)");
    advance(5050);
    auto kicks = take(zone, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, ban->banID());
}

TEST_F(PlayerRecordsTest, FormFileKeepsTheTailOfALongerForm) {
    Bytes longer = zoneclient::registrationForm(1, "Real", "mail", 586, systemInfo(586));
    longer.resize(800, 'T');
    send(zone, longer);
    Bytes shorter = zoneclient::registrationForm(99, "Other", "x", 586, systemInfo(586, 9));
    send(zone, shorter);
    EXPECT_TRUE(logged("40 - (UNKNOWN) sent registration data"));
    std::string stored = dir.read("regform.bin");
    ASSERT_EQ(stored.size(), 800u);
    EXPECT_EQ(stored.substr(0, 770), std::string(shorter.begin(), shorter.end()));
    EXPECT_EQ(stored.substr(770), std::string(30, 'T'));
}

// A link left in place of the form file is not written through: the
// file it leads to stays as it was, and the form is still handled.
TEST_F(PlayerRecordsTest, FormFileIsNotWrittenThroughALink) {
    TempDir elsewhere;
    elsewhere.write("target", "untouched");
    std::filesystem::create_symlink(elsewhere.path() / "target", dir.path() / "regform.bin");
    send(zone, zoneclient::registrationForm(1, "Real Name", "me@example.org", 586, systemInfo(586)));
    EXPECT_TRUE(logged("40 - Player sent registration data"));
    EXPECT_EQ(elsewhere.read("target"), "untouched");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "regform.bin"));
}

TEST_F(PlayerRecordsTest, LeavingStoresScoresAndUsage) {
    zoneclient::Scores scores{1, 2, 3, 40000, -5};
    send(zone, zoneclient::playerLeaving(1, 90, scores));
    EXPECT_TRUE(logged("40 - Player leaving(New Score): Player"));
    EXPECT_EQ(player(zone, 1), nullptr);
    EXPECT_EQ(user->Usage, 90);
    ScoreRecord* score = sessionOf(zone).findScore(user);
    ASSERT_NE(score, nullptr);
    EXPECT_EQ(score->scoreID, 40);
    EXPECT_EQ(score->LongStat1, 40000);
    EXPECT_EQ(score->LongStat2, -5);

    // The next entry finds the record; the next leaving replaces the values.
    auto reply = loginPlayer(zone, "Player", "pw", 3);
    EXPECT_EQ(reply->longStat1, 40000);
    send(zone, zoneclient::playerLeaving(3, -10, zoneclient::Scores{7, 7, 7, 7, 7}));
    EXPECT_TRUE(logged("40 - Player leaving: Player"));
    EXPECT_EQ(score->WordStat2, 7);
    EXPECT_EQ(user->Usage, 80);
    EXPECT_EQ(database.scores().count(), 1u);
}

TEST_F(PlayerRecordsTest, LeavingWithoutScoresOrWithScoresOff) {
    send(zone, zoneclient::playerLeaving(1, 5, std::nullopt));  // 15 bytes
    EXPECT_TRUE(logged("40 - Player leaving(No Score): Player"));
    EXPECT_EQ(user->Usage, 5);
    EXPECT_EQ(database.scores().count(), 0u);

    loginPlayer(zone, "Player", "pw", 2);
    zoneSession(*hostOf(zone)).scoresEnabled = false;
    log.clear();
    send(zone, zoneclient::playerLeaving(2, 5, zoneclient::Scores{1, 1, 1, 1, 1}));
    EXPECT_TRUE(logged("40 - Player leaving(No Score): Player"));
    EXPECT_EQ(database.scores().count(), 0u);

    log.clear();
    send(zone, zoneclient::playerLeaving(77, 5, std::nullopt));
    EXPECT_TRUE(logged("40 - Player leaving(INVALID)"));
}

TEST_F(PlayerRecordsTest, LeavingEndsOperatorLoginAndChannels) {
    ASSERT_TRUE(loginPlayer(zone, "Friend", "pw", 2));
    PlayerSession& friendSession = *player(zone, 2);
    friendSession.NotifyChat = 1;
    OperatorRecord* op = makeOperator(*session, 3);
    zones.joinChannel(friendSession, "Club", 5, false);
    zones.joinChannel(*session, "Club", 3, false);
    chatLines(zone);
    send(zone, zoneclient::playerLeaving(1, 0, std::nullopt));
    EXPECT_EQ(op->sessionCount, 0);
    auto lines = chatLines(zone);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].playerId, 2u);
    EXPECT_EQ(lines[0].slot, 5);
    EXPECT_EQ(lines[0].text, "Player left Club");
}

TEST_F(PlayerRecordsTest, ScoreReportIsOnlyPrinted) {
    send(zone, zoneclient::scoreReport(1, 1, -2, 3, 4));
    EXPECT_TRUE(logged("40 - Player(1)(-2)(3)(4)(1)(-2)(3)(4)"));
    send(zone, zoneclient::scoreReport(55, 9, 8, 7, 6));
    EXPECT_TRUE(logged("40 - (INVALID)(9)(8)(7)(6)(9)(8)(7)(6)"));
    EXPECT_EQ(database.scores().count(), 0u);
}

TEST_F(PlayerRecordsTest, ShortMessagesAreDroppedUnread) {
    const struct {
        Bytes message;
        const char* line;
    } cases[] = {
        {Bytes{5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, "40 - Short packet(5)(14) dropped"},
        {Bytes{17, 1, 0, 0, 0, 1, 0, 0, 0, 2}, "40 - Short packet(17)(10) dropped"},
        {Bytes{13, 1, 0, 0, 0}, "40 - Short packet(13)(5) dropped"},
    };
    for (const auto& c : cases) {
        log.clear();
        send(zone, c.message);
        EXPECT_EQ(log.lines().at(0), c.line);
    }
    EXPECT_NE(player(zone, 1), nullptr);
}

// A new name locked out (here: a client with a faked machine ID) plays
// under the placeholder account, which is never saved: its scores are not
// kept, so no score record is left without an account. (Found by the
// whole-network simulation.)
TEST_F(PlayerRecordsTest, LockedOutPlayerUnderThePlaceholderKeepsNoScores) {
    zoneclient::PlayerLogin login;
    login.name = "Newcomer";
    login.password = "pw";
    login.playerId = 5;
    login.machineId = 1;
    login.address = nextPlayerAddress();
    auto reply = loginPlayer(zone, login);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->name, "^Banned");
    log.clear();
    send(zone, zoneclient::playerLeaving(5, 30, zoneclient::Scores{1, 2, 3, 4, 5}));
    EXPECT_TRUE(logged("40 - Player leaving(No Score): ^Banned")) << log.text();
    EXPECT_EQ(database.scores().count(), 0u);
    EXPECT_TRUE(sessionOf(zone).scores().empty());
}
