// Ban matching, banfree lookup, address following and login flood control.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/ban_matching.h"
#include "db/database.h"

namespace tallysv {
namespace {

// ---- flood table ----

TEST(FloodTableTest, VerdictsRiseFromAcceptToLightToHeavyAndStayAtSix) {
    FloodTable table;
    IPv4Address address{10, 0, 0, 1};
    const FloodVerdict expected[] = {FloodVerdict::Accept,     FloodVerdict::Accept,     FloodVerdict::Accept,
                                     FloodVerdict::LightFlood, FloodVerdict::LightFlood, FloodVerdict::HeavyFlood,
                                     FloodVerdict::HeavyFlood, FloodVerdict::HeavyFlood};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(table.registerAttempt(address), expected[i]) << "attempt " << i + 1;
        EXPECT_EQ(table.counter(address), std::min<int32_t>(static_cast<int32_t>(i) + 1, 6));
    }
    // Other addresses are counted apart.
    EXPECT_EQ(table.registerAttempt({10, 0, 0, 2}), FloodVerdict::Accept);
}

TEST(FloodTableTest, DecayForgivesFiveAttempts) {
    FloodTable table;
    IPv4Address heavy{1, 1, 1, 1}, light{2, 2, 2, 2};
    for (int i = 0; i < 9; ++i) table.registerAttempt(heavy);
    for (int i = 0; i < 5; ++i) table.registerAttempt(light);
    table.decay();
    EXPECT_EQ(table.counter(heavy), 1);
    EXPECT_EQ(table.entries().size(), 1u);  // the address at 5 went
    EXPECT_EQ(table.registerAttempt(heavy), FloodVerdict::Accept);
    EXPECT_EQ(table.counter(heavy), 2);
    table.decay();
    EXPECT_TRUE(table.entries().empty());
}

TEST(FloodTableTest, NewAddressEvictsTheOldestWhenMoreThanHundredAreKept) {
    FloodTable table;
    for (int i = 0; i < 101; ++i) table.registerAttempt({10, 0, static_cast<uint8_t>(i / 256), static_cast<uint8_t>(i)});
    ASSERT_EQ(table.entries().size(), 101u);
    table.registerAttempt({10, 0, 0, 0});  // known: nothing goes
    ASSERT_EQ(table.entries().size(), 101u);
    table.registerAttempt({11, 0, 0, 0});
    EXPECT_EQ(table.entries().size(), 101u);
    EXPECT_EQ(table.counter({10, 0, 0, 0}), 0);
    EXPECT_EQ(table.counter({10, 0, 0, 1}), 1);
    EXPECT_EQ(table.entries().back().address, (IPv4Address{11, 0, 0, 0}));
}

// When the decay runs is the transport's business (every 45 s, tested there).
TEST(FloodTableTest, DatabaseDecayForgivesAFloodedAddressInTwoSteps) {
    FakeClock clock;
    RecordingLog log;
    Settings settings;
    Database database(settings, clock, log);
    IPv4Address address{5, 5, 5, 5};
    for (int i = 0; i < 6; ++i) database.registerAttempt(address);
    EXPECT_EQ(database.floodTable().counter(address), 6);
    database.decayFloodTable();
    EXPECT_EQ(database.floodTable().counter(address), 1);
    EXPECT_EQ(database.registerAttempt(address), FloodVerdict::Accept);
    database.decayFloodTable();
    EXPECT_EQ(database.floodTable().counter(address), 0);
}

// ---- ban matching ----

class BanTest : public ::testing::Test {
protected:
    FakeClock clock{1000, 1000000000};
    RecordingLog log;
    Settings settings;
    Database database{settings, clock, log};
    UserRecord* banned = database.createUser("Banned", "", {}, 0, 0);  // UserID 1

    BanRecord* ban(int32_t userID, IPv4Address start, IPv4Address end, int32_t machineID, int32_t hardwareID,
                   int32_t groupID, int32_t scoreID) {
        BanRecord* b = database.createBan(*banned, nullptr, 1);
        b->userID = userID;
        b->rangeStart = start;
        b->rangeEnd = end;
        b->machineID = machineID;
        b->hardwareID = hardwareID;
        b->groupID = groupID;
        b->scoreID = scoreID;
        b->lastHit = 0;
        return b;
    }
};

struct ScopeCase {
    int32_t banGroup, banScore, zoneGroup, zoneScore;
    bool applies;
};

class BanScopeTest : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(BanScopeTest, ScoreIDBindsFirstThenGroupID) {
    const ScopeCase& c = GetParam();
    BanRecord ban;
    ban.groupID = c.banGroup;
    ban.scoreID = c.banScore;
    EXPECT_EQ(banApplies(ban, c.zoneGroup, c.zoneScore), c.applies);
}

INSTANTIATE_TEST_SUITE_P(Scopes, BanScopeTest,
                         ::testing::Values(ScopeCase{0, 0, 5, 50, true},    // network-wide
                                           ScopeCase{3, 0, 3, 30, true},    // every zone of group 3
                                           ScopeCase{3, 0, 3, 31, true},
                                           ScopeCase{3, 0, 4, 30, false},   // another group
                                           ScopeCase{3, 30, 3, 30, true},   // its own zone
                                           ScopeCase{3, 30, 3, 31, false},  // same group, other zone
                                           ScopeCase{0, 30, 9, 30, true},   // zone-bound, group ignored
                                           ScopeCase{7, 30, 3, 30, true}));

struct MatchCase {
    const char* what;
    int32_t userID;
    IPv4Address address;
    int32_t machineID;
    std::optional<int32_t> hardwareID;
    std::optional<BanMatch> expected;
};

class BanMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(BanMatchTest, TestsAccountMachineAddressThenHardware) {
    BanRecord ban;
    ban.userID = 7;
    ban.machineID = 40000;
    ban.rangeStart = {10, 1, 2, 0};
    ban.rangeEnd = {10, 1, 2, 255};
    ban.hardwareID = 555;
    const MatchCase& c = GetParam();
    EXPECT_EQ(matchBan(ban, c.userID, c.address, c.machineID, c.hardwareID), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BanMatchTest,
    ::testing::Values(MatchCase{"all match: account first", 7, {10, 1, 2, 3}, 40000, 555, BanMatch::Name},
                      MatchCase{"machine before address", 8, {10, 1, 2, 3}, 40000, 555, BanMatch::MachineID},
                      MatchCase{"address before hardware", 8, {10, 1, 2, 3}, 1, 555, BanMatch::Address},
                      MatchCase{"hardware", 8, {10, 1, 3, 3}, 1, 555, BanMatch::HardwareID},
                      MatchCase{"no hardware given", 8, {10, 1, 3, 3}, 1, std::nullopt, std::nullopt},
                      MatchCase{"per-octet range: low end", 8, {10, 1, 2, 0}, 1, 0, BanMatch::Address},
                      MatchCase{"per-octet range: high end", 8, {10, 1, 2, 255}, 1, 0, BanMatch::Address},
                      MatchCase{"outside in the third octet", 8, {10, 1, 1, 255}, 1, 0, std::nullopt},
                      MatchCase{"nothing", 8, {11, 1, 2, 3}, 1, 0, std::nullopt}));

TEST(BanMatchZeroTest, ZeroMachineAndHardwareIDsMatchLoginsReportingZero) {
    BanRecord ban;
    ban.userID = 7;
    ban.rangeStart = ban.rangeEnd = {1, 1, 1, 1};
    EXPECT_EQ(matchBan(ban, 8, {2, 2, 2, 2}, 0, std::nullopt), BanMatch::MachineID);
    EXPECT_EQ(matchBan(ban, 8, {2, 2, 2, 2}, 5, 0), BanMatch::HardwareID);
}

TEST_F(BanTest, OlderBanWinsEvenWhenTheNewerMatchesByAccount) {
    BanRecord* byAddress = ban(99, {10, 0, 0, 1}, {10, 0, 0, 1}, 1, 1, 0, 0);
    BanRecord* byAccount = ban(5, {9, 9, 9, 9}, {9, 9, 9, 9}, 2, 2, 0, 0);
    clock.setNow(1000000500);
    EXPECT_EQ(database.findBan(5, {10, 0, 0, 1}, 3, std::nullopt, 1, 1), byAddress);
    EXPECT_EQ(byAddress->lastHit, 1000000500);
    EXPECT_EQ(byAddress->lastMatch, BanMatch::Address);
    EXPECT_EQ(byAccount->lastHit, 0);
}

TEST_F(BanTest, BansOutOfScopeAreSkippedAndTheNextInScopeIsFound) {
    ban(5, {}, {}, 1, 1, 0, 30);                         // zone 30 only
    BanRecord* group = ban(5, {}, {}, 1, 1, 3, 0);       // group 3
    BanRecord* everywhere = ban(5, {}, {}, 1, 1, 0, 0);  // network
    EXPECT_EQ(database.findBan(5, {1, 1, 1, 1}, 2, std::nullopt, 3, 31), group);
    EXPECT_EQ(database.findBan(5, {1, 1, 1, 1}, 2, std::nullopt, 4, 31), everywhere);
    EXPECT_EQ(everywhere->lastMatch, BanMatch::Name);
}

TEST_F(BanTest, WithoutHardwareIDNoKindThreeMatch) {
    ban(5, {1, 1, 1, 1}, {1, 1, 1, 1}, 1, 777, 0, 0);
    EXPECT_EQ(database.findBan(6, {2, 2, 2, 2}, 2, std::nullopt, 0, 0), nullptr);
    BanRecord* found = database.findBan(6, {2, 2, 2, 2}, 2, 777, 0, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->lastMatch, BanMatch::HardwareID);
}

TEST_F(BanTest, ExpiryIsNotTestedWhenMatching) {
    BanRecord* old = ban(5, {}, {}, 1, 1, 0, 0);
    old->expires = 1;
    EXPECT_EQ(database.findBan(5, {1, 1, 1, 1}, 2, std::nullopt, 0, 0), old);
}

TEST_F(BanTest, HardwareLookupIgnoresScopeAndRecordsTheMatch) {
    ban(5, {}, {}, 1, 100, 0, 0);
    BanRecord* zoneBound = ban(6, {}, {}, 1, 200, 3, 30);
    ban(7, {}, {}, 1, 200, 0, 0);
    clock.setNow(1000000123);
    EXPECT_EQ(database.findBanByHardwareID(200), zoneBound);
    EXPECT_EQ(zoneBound->lastMatch, BanMatch::HardwareID);
    EXPECT_EQ(zoneBound->lastHit, 1000000123);
    EXPECT_EQ(database.findBanByHardwareID(300), nullptr);
}

TEST_F(BanTest, NewBanAfterLiftingTheNewestStillGetsAHigherBanID) {
    database.createBan(*banned, nullptr, 1);
    BanRecord* newest = database.createBan(*banned, nullptr, 1);
    EXPECT_EQ(newest->banID(), 2);
    database.removeBan(newest);
    EXPECT_EQ(database.createBan(*banned, nullptr, 1)->banID(), 3);
}

TEST_F(BanTest, HugeBanLengthEndsAtTheLastSecondInsteadOfWrapping) {
    BanRecord* b = database.createBan(*banned, nullptr, 100000);
    EXPECT_EQ(b->expires, 2147483647);
    EXPECT_EQ(database.createBan(*banned, nullptr, 30)->expires, 1000000000 + 30 * 86400);
}

// ---- banfree ----

TEST_F(BanTest, BanfreeIsFoundByUserAndZoneScoreIDOnly) {
    BanfreeRecord* zoneOnly = database.createBanfree(5, 3, 30);
    BanfreeRecord* everywhere = database.createBanfree(5, 0, 99);
    database.createBanfree(6, 0, 0);
    EXPECT_EQ(database.findBanfree(5, 30), zoneOnly);
    EXPECT_EQ(database.findBanfree(5, 31), everywhere);
    EXPECT_EQ(database.findBanfree(7, 30), nullptr);
    database.removeBanfree(everywhere);
    EXPECT_EQ(database.findBanfree(5, 31), nullptr);
    EXPECT_EQ(database.banfreeUser(*zoneOnly), nullptr);
    EXPECT_EQ(database.banfreeUser(*database.createBanfree(1, 0, 0)), banned);
}

// ---- followAddress ----

struct FollowCase {
    IPv4Address start, end, address, newStart, newEnd;
};

class FollowAddressTest : public ::testing::TestWithParam<FollowCase> {};

TEST_P(FollowAddressTest, MovesBlocksOfOneAndTwoOctetsAndSingleAddresses) {
    const FollowCase& c = GetParam();
    BanRecord ban;
    ban.rangeStart = c.start;
    ban.rangeEnd = c.end;
    followAddress(ban, c.address);
    EXPECT_EQ(ban.rangeStart, c.newStart);
    EXPECT_EQ(ban.rangeEnd, c.newEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, FollowAddressTest,
    ::testing::Values(
        FollowCase{{10, 1, 2, 0}, {10, 1, 2, 255}, {10, 9, 9, 9}, {10, 9, 9, 0}, {10, 9, 9, 255}},
        FollowCase{{10, 1, 0, 0}, {10, 1, 255, 255}, {172, 16, 5, 6}, {172, 16, 0, 0}, {172, 16, 255, 255}},
        FollowCase{{1, 2, 3, 4}, {1, 2, 3, 4}, {5, 6, 7, 8}, {5, 6, 7, 8}, {5, 6, 7, 8}},
        FollowCase{{10, 0, 0, 0}, {10, 255, 255, 255}, {11, 1, 1, 1}, {10, 0, 0, 0}, {10, 255, 255, 255}},
        FollowCase{{10, 1, 2, 0}, {10, 1, 2, 127}, {11, 1, 1, 1}, {10, 1, 2, 0}, {10, 1, 2, 127}},
        // Only the XOR of the two ends counts: 5 ^ 250 is 255 as well.
        FollowCase{{10, 1, 2, 5}, {10, 1, 2, 250}, {11, 1, 1, 1}, {11, 1, 1, 0}, {11, 1, 1, 255}},
        FollowCase{{10, 1, 2, 5}, {10, 1, 2, 251}, {11, 1, 1, 1}, {10, 1, 2, 5}, {10, 1, 2, 251}},
        FollowCase{{10, 1, 2, 255}, {10, 1, 2, 0}, {11, 1, 1, 1}, {11, 1, 1, 0}, {11, 1, 1, 255}}));

}  // namespace
}  // namespace tallysv
