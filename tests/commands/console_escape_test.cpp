// What a zone sends reaches the console as data: its control bytes are
// shown escaped, so that it can neither forge console lines nor steer the
// operator's terminal.
#include <gtest/gtest.h>

#include "command_fixture.h"
#include "zone/chat_channels.h"

namespace tallysv::testing {
namespace {

class ConsoleEscapeTest : public CommandTest {
protected:
    void SetUp() override {
        arena = &loginZone(5, 1, "Arena");
        bob = seat(*arena, "Bob", 1);
        ann = seat(*arena, "Ann", 2);
        log.clear();
    }
    SimZone* arena = nullptr;
    Seat bob{}, ann{};
};

TEST_F(ConsoleEscapeTest, ACommandWithLineFeedsIsOneConsoleLine) {
    type(bob, "?coin\n7 - Docking granted: Forged zone\nControl(uid 0 pid 1)>?ban -d=7 Alice");
    EXPECT_EQ(log.lines(), (Lines{"5 - Bob>?coin\\x0a7 - Docking granted: Forged zone\\x0aControl(uid 0 pid 1)>?ban "
                                  "-d=7 Alice"}));
    EXPECT_EQ(log.text().back(), '\n');

    // Without a player it is the same line, under (INVALID).
    log.clear();
    send(*arena, zoneclient::command(99, "?x\r\n5 - Bob>?password=x"));
    EXPECT_EQ(log.lines(), (Lines{"5 - (INVALID)>?x\\x0d\\x0a5 - Bob>?password=x"}));
}

TEST_F(ConsoleEscapeTest, ChatPrivateMessagesAndZoneLogLinesAreEscaped) {
    const int32_t bobID = bob.session->user->userID();
    const int32_t annID = ann.session->user->userID();
    struct Case {
        Bytes message;
        const char* line;
    };
    const Case cases[] = {
        {zoneclient::privateMessage(bobID, annID, "psst\n5 - Docking granted: X"),
         "5 - (Bob -> Ann)> psst\\x0a5 - Docking granted: X"},
        {zoneclient::privateMessage(bobID, -1, "\x1b[2J\x1b]0;owned\x07"), "5 - (Bob)> \\x1b[2J\\x1b]0;owned\\x07"},
        {zoneclient::logLine("zone says\r\nhi\x7f"), "5 - zone says\\x0d\\x0ahi\\x7f"},
        {zoneclient::chat(1, '1', "in no channel\n"), "5 - Chat(IGNORED)Bob>in no channel\\x0a"},
    };
    for (const Case& c : cases) {
        log.clear();
        send(*arena, c.message);
        EXPECT_EQ(log.lines(), Lines{c.line}) << c.line;
    }

    // A channel's name comes from the player's command as it is.
    type(bob, "?chat=Tr\x1b[5mde");
    type(ann, "?chat=Tr\x1b[5mde");
    log.clear();
    send(*arena, zoneclient::chat(1, '1', "sell\n5 - Forged"));
    EXPECT_EQ(log.lines(), Lines{"5 - Chat: (Tr\\x1b[5mde)Bob>sell\\x0a5 - Forged"});

    log.clear();
    printChatList(zones.chatChannels(), log);
    EXPECT_EQ(log.text(), "Chat list:\nTr\\x1b[5mde:Bob,Ann\n");
}

TEST_F(ConsoleEscapeTest, NamesFromZonesAreEscaped) {
    loginZone(7, 1, "Evil\x1b[2J\nZone");
    EXPECT_TRUE(logged("7 - Docking granted: Evil\\x1b[2J\\x0aZone")) << log.text();

    log.clear();
    loginPlayer(*arena, "Ev\x1bil", "pw", 3);
    EXPECT_TRUE(logged("5 - Player connection refused(Bad name): Ev\\x1bil")) << log.text();

    // Names read from the files are not checked as a login checks them.
    database.renameUser(*ann.session->user, "An\tn\x7f");
    log.clear();
    printChatList(zones.chatChannels(), log);
    transport.printHostList(log);
    send(*arena, zoneclient::logLine("after"));
    EXPECT_EQ(log.lines(), (Lines{"Chat list:", "10.0.0.1:5000", "Bob, An\\x09n\\x7f, ", "10.0.0.2:5001", "",
                                  "5 - after"}));
}

}  // namespace
}  // namespace tallysv::testing
