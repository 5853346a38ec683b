#include <gtest/gtest.h>

#include "commands/command_table.h"
#include "command_fixture.h"

namespace tallysv::testing {
namespace {

class DispatchTest : public CommandTest {
protected:
    void SetUp() override {
        settings.disableHelp = false;
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


TEST_F(DispatchTest, TiersByOperatorLevel) {
    Seat bob = seat(*zone, "Bob", 2);
    // No operator login: operator commands are unknown text.
    for (const char* text : {"?listop", "?addop Bob:pw", "?ban Bob", "?block Bob", "?notifyxyz", "?Help", "?COIN"})
        EXPECT_EQ(type(alice, text), Lines{}) << text;
    // Level 4 reaches tier 4 only: ?changeop is the own-password form, and
    // ?addop falls through every tier to nothing.
    alice.session->op = database.createOperator(alice.session->user, 0, 0, 4, "a");
    EXPECT_EQ(type(alice, "?changeop secret"), Lines{"Operator password changed"});
    EXPECT_EQ(type(alice, "?addop Bob:pw"), Lines{});
    EXPECT_EQ(type(alice, "?listop").size(), 1u);
    // Level 3 meets the full ?changeop of tier 3 first.
    alice.session->op->level = 3;
    EXPECT_EQ(type(alice, "?changeop secret"), Lines{"Your operator password is changed"});
    // A level above 4 reaches tier 4 only.
    alice.session->op->level = 200;
    EXPECT_EQ(type(alice, "?changeop secret"), Lines{"Operator password changed"});
    EXPECT_EQ(type(alice, "?addop Bob:pw"), Lines{});
    // The everyone tier comes first for operators too.
    alice.session->op->level = 0;
    EXPECT_EQ(type(alice, "?whois").size(), 1u);
    // Text that matches nothing gets no reply, only its console line.
    log.clear();
    EXPECT_EQ(type(bob, "?moo"), Lines{});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"7 - Bob>?moo"});
}

TEST_F(DispatchTest, HelpAndFindComeAfterAllTiers) {
    EXPECT_EQ(type(alice, "?find :Alice"), Lines{"Alice is in Arena"});
    EXPECT_EQ(type(alice, "?help ban")[0], "  The ban command filters access to your network.  Switches come");
    settings.disableHelp = true;
    EXPECT_EQ(type(alice, "?help"), Lines{});
    EXPECT_EQ(type(alice, "?find :Alice"), Lines{"Alice is in Arena"});
}

// Command messages as a zone may send them, well formed or not.
TEST_F(DispatchTest, MessagesOfEveryShape) {
    auto raw = [&](const std::string& bytes) {
        Bytes m = zoneclient::command(alice.playerID, "");
        m.pop_back();  // the builder's NUL
        for (char c : bytes) m.push_back(static_cast<uint8_t>(c));
        return m;
    };
    const std::string nul(1, '\0');
    // Without its NUL the text ends one byte early, as the length says.
    EXPECT_EQ(typeRaw(alice, raw("?find :Alice ")), Lines{"Alice is in Arena"});
    EXPECT_TRUE(logged("7 - Alice>?find :Alice"));
    EXPECT_EQ(typeRaw(alice, raw("?coin")), Lines{});
    // An empty text, and a message that ends after the identifier.
    EXPECT_EQ(typeRaw(alice, raw(nul)), Lines{});
    EXPECT_EQ(typeRaw(alice, raw("")), Lines{});
    EXPECT_TRUE(logged("7 - Alice>"));
    // Too short to name a player: dropped before the handler.
    EXPECT_EQ(typeRaw(alice, Bytes{19, 1, 0}), Lines{});
    // Bytes above 127, and a NUL inside the text.
    EXPECT_EQ(typeRaw(alice, raw("?\xff\xfe\x80 \xc3\xa9" + nul)), Lines{});
    EXPECT_EQ(typeRaw(alice, raw("?seen \xff\xfe" + nul)), Lines{"Specified player does not exist"});
    // Positions up to the length are read as they are, past a NUL too.
    EXPECT_EQ(typeRaw(alice, raw("?ghost" + nul + "on" + nul)), Lines{"Ghosting ENABLED"});
    // A NUL where an argument begins: the argument is empty, and so is the
    // line that echoes it.
    alice.session->op = database.createOperator(alice.session->user, 0, 0, 4, "a");
    EXPECT_EQ(typeRaw(alice, raw("?banfree " + nul + "abc" + nul)),
              (Lines{"Specified user was not found in the database", ""}));
    alice.session->op = nullptr;
    // The longest texts a message carries, in chunks.
    std::string longest = "?find " + std::string(32000, 'x');
    EXPECT_EQ(typeRaw(alice, raw(longest + nul)), Lines{"User offline"});
    std::string topic = "?help " + std::string(20000, '\xee');
    EXPECT_EQ(typeRaw(alice, raw(topic + nul)), Lines{"  Help in this catagory is unavailable"});
}

TEST(CommandTable, WordsAndCountsAsDispatched) {
    // Abbreviated words: text with these beginnings runs the command.
    const std::pair<const char*, const char*> shortened[] = {
        {"?notifychat", "?notifyc"}, {"?squadleave", "?squadlea"}, {"?squaddissolve", "?squaddiss"},
        {"?squadlist", "?squadli"},  {"?write", "?writ"},          {"?networkreset", "?networkr"},
        {"?version", "?ver"},        {"?notifyzone", "?notifyz"},  {"?listbanfree", "?listbanf"},
        {"?notifyban", "?notifyb"},
    };
    for (const auto& [word, prefix] : shortened) {
        bool found = false;
        for (const CommandEntry& entry : commandTable()) {
            if (std::string_view(entry.word) != word) continue;
            EXPECT_EQ(std::string_view(entry.word, static_cast<size_t>(entry.bytes)), prefix);
            found = true;
        }
        EXPECT_TRUE(found) << word;
    }
    // Every other word is compared whole, and the tiers come in order.
    CommandTier last = CommandTier::Everyone;
    for (const CommandEntry& entry : commandTable()) {
        EXPECT_LE(entry.bytes, static_cast<int>(std::string_view(entry.word).size())) << entry.word;
        EXPECT_GE(entry.tier, last) << entry.word;
        last = entry.tier;
    }
}

}  // namespace
}  // namespace tallysv::testing
