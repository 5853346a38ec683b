#include <gtest/gtest.h>

#include "commands/command_table.h"
#include "command_fixture.h"

namespace tallysv::testing {
namespace {

class DispatchTest : public CommandTest {
protected:
    void SetUp() override {
        database.settings.disableHelp = false;
        clock.setTick(100000);
        zone = &loginZone(7, 3, "Arena");
        alice = seat(*zone, "Alice", 1);
    }
    SimZone* zone = nullptr;
    Seat alice{};
};

TEST_F(DispatchTest, CommandLineOnTheConsoleAndUnknownPlayer) {
    type(alice, "?coin");
    EXPECT_TRUE(logged("7 - Alice>?coin"));
    auto replies = typeRaw(alice, zoneclient::command(99, "?coin"));
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(logged("7 - (INVALID)>?coin"));
}

TEST_F(DispatchTest, FloodWarnsThenKicks) {
    // Six commands 0.5 s apart from the session's creation time on: the
    // 4th and 5th are warned and still run, the 6th is kicked unrun.
    uint32_t created = alice.session->commandFlood.lastDecayTick;
    clock.setTick(created);
    std::vector<Lines> replies;
    for (int i = 0; i < 6; ++i) replies.push_back(type(alice, "?coin", i == 0 ? 0 : 500));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(replies[i].size(), 1u) << i;
    for (int i = 3; i < 5; ++i) {
        ASSERT_EQ(replies[i].size(), 2u) << i;
        EXPECT_EQ(replies[i][0], "No command flooding");
    }
    EXPECT_EQ(replies[5], Lines{"NOTE: You are being disconnected for command flooding"});
    EXPECT_TRUE(logged("7 - Command flooder kicked: Alice"));
    auto kicks = take(*zone, 8);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(zoneclient::parseKick(kicks[0])->reason, 1);
}

TEST_F(DispatchTest, FloodDecay) {
    CommandFloodState state;
    state.lastDecayTick = 0;
    state.floodCount = 4;
    state.lastCommandTick = 100;
    // 9 s since the last decay take three away; never below zero.
    EXPECT_EQ(checkCommandFlood(state, 9000), CommandFlood::Ok);
    EXPECT_EQ(state.floodCount, 1);
    EXPECT_EQ(state.lastDecayTick, 9000u);
    state.floodCount = 1;
    EXPECT_EQ(checkCommandFlood(state, 9000 + 30000), CommandFlood::Ok);
    EXPECT_EQ(state.floodCount, 0);
    // 2.9 s takes nothing and leaves the decay time.
    state = CommandFloodState{};
    state.lastDecayTick = 1000;
    state.lastCommandTick = 3000;
    state.floodCount = 3;
    EXPECT_EQ(checkCommandFlood(state, 3900), CommandFlood::Warn);
    EXPECT_EQ(state.floodCount, 4);
    EXPECT_EQ(state.lastDecayTick, 1000u);
}

}  // namespace
}  // namespace tallysv::testing
