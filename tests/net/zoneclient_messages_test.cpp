#include <gtest/gtest.h>

#include <cstring>

#include "core/fields.h"
#include "zoneclient/messages.h"

namespace zoneclient {
namespace {

using tallysv::fieldText;
using tallysv::readInt16;
using tallysv::readInt32;
using tallysv::readUInt16;
using tallysv::writeInt16;
using tallysv::writeInt32;

TEST(ZoneClientMessages, ZoneToServerLayouts) {
    Bytes login = zoneLogin(7, 1234, "A zone name", "secret");
    ASSERT_EQ(login.size(), 173u);
    EXPECT_EQ(login[0], 2);
    EXPECT_EQ(readInt32(login.data(), 1), 1);
    EXPECT_EQ(readInt32(login.data(), 5), 7);
    EXPECT_EQ(readInt32(login.data(), 9), 1234);
    EXPECT_EQ(fieldText(login.data(), 13, 128), "A zone name");
    EXPECT_EQ(fieldText(login.data(), 141, 32), "secret");

    PlayerLogin p;
    p.confirmNew = true;
    p.address = {192, 168, 0, 9};
    p.name = "Pilot";
    p.password = "pw";
    p.playerId = 0x01020304;
    p.machineId = -5;
    p.timeZoneBias = -300;
    Bytes player = playerLogin(p);
    ASSERT_EQ(player.size(), 80u);
    EXPECT_EQ(player[0], 4);
    EXPECT_EQ(player[1], 1);
    EXPECT_EQ(Bytes(player.begin() + 2, player.begin() + 6), (Bytes{192, 168, 0, 9}));
    EXPECT_EQ(fieldText(player.data(), 6, 32), "Pilot");
    EXPECT_EQ(fieldText(player.data(), 38, 32), "pw");
    EXPECT_EQ(readInt32(player.data(), 70), 0x01020304);
    EXPECT_EQ(readInt32(player.data(), 74), -5);
    EXPECT_EQ(readInt16(player.data(), 78), -300);

    Bytes leaving = playerLeaving(9, -2, Scores{1, 2, 3, 70000, -1});
    ASSERT_EQ(leaving.size(), 29u);
    EXPECT_EQ(readInt16(leaving.data(), 13), -2);
    EXPECT_EQ(readUInt16(leaving.data(), 15), 1);
    EXPECT_EQ(readUInt16(leaving.data(), 19), 3);
    EXPECT_EQ(readInt32(leaving.data(), 21), 70000);
    EXPECT_EQ(readInt32(leaving.data(), 25), -1);
    EXPECT_EQ(playerLeaving(9, 0, std::nullopt).size(), 15u);

    struct TextCase {
        Bytes message;
        uint8_t type;
        size_t textOffset;
    };
    for (const TextCase& c : {TextCase{broadcast(-1, "hello"), 7, 11}, TextCase{privateMessage(3, -1, "hello"), 14, 9},
                              TextCase{logLine("hello"), 15, 5}, TextCase{command(4, "hello"), 19, 5},
                              TextCase{chat(4, '3', "hello"), 20, 37}}) {
        EXPECT_EQ(c.message[0], c.type);
        ASSERT_EQ(c.message.size(), c.textOffset + 6) << int(c.type);
        EXPECT_EQ(fieldText(c.message.data(), static_cast<int>(c.textOffset), 6), "hello");
    }
    EXPECT_EQ(readInt32(broadcast(-1, "x").data(), 1), -1);
    EXPECT_EQ(chat(4, '3', "x")[5], '3');

    Bytes form = registrationForm(5, "Real Name", "a@b.c", 586);
    ASSERT_EQ(form.size(), 770u);
    EXPECT_EQ(fieldText(form.data(), 5, 32), "Real Name");
    EXPECT_EQ(fieldText(form.data(), 37, 32), "a@b.c");
    EXPECT_EQ(readInt16(form.data(), 162), 586);

    Bytes scores = scoreReport(5, 1, -2, 3, -4);
    EXPECT_EQ(readInt16(scores.data(), 5), 1);
    EXPECT_EQ(readInt16(scores.data(), 9), -2);
    EXPECT_EQ(readInt16(scores.data(), 13), 3);
    EXPECT_EQ(readInt16(scores.data(), 17), -4);
    EXPECT_EQ(playerBanner(5, Bytes(96, 0xAB)).size(), 101u);
}

TEST(ZoneClientMessages, ParsesTheServersMessages) {
    Bytes reply(192, 0);
    reply[0] = 1;
    reply[1] = 6;
    writeInt32(reply.data(), 2, 77);
    std::memcpy(reply.data() + 6, "Pilot", 5);
    std::memcpy(reply.data() + 30, "Squad", 5);
    writeInt32(reply.data(), 150, 3600);
    writeInt16(reply.data(), 154, 2001);
    writeInt16(reply.data(), 156, 3);
    writeInt32(reply.data(), 170, 42);
    writeInt32(reply.data(), 188, -9);
    auto parsed = parsePlayerLoginReply(reply);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->result, 6);
    EXPECT_EQ(parsed->playerId, 77u);
    EXPECT_EQ(parsed->name, "Pilot");
    EXPECT_EQ(parsed->squad, "Squad");
    EXPECT_EQ(parsed->usage, 3600);
    EXPECT_EQ(parsed->year, 2001);
    EXPECT_EQ(parsed->month, 3);
    EXPECT_EQ(parsed->userId, 42);
    EXPECT_EQ(parsed->longStat2, -9);
    EXPECT_FALSE(parsePlayerLoginReply(Bytes(reply.begin(), reply.end() - 1)));

    struct Case {
        Bytes message;
        std::string line;
    };
    Bytes text = {9, 77, 0, 0, 0, 'h', 'i', 0};
    Bytes chatLine = {10, 77, 0, 0, 0, 2, 'y', 'o', 0};
    Bytes kick = {8, 77, 0, 0, 0, 1, 0, 0, 0};
    Bytes bcast = {3, 0xB8, 0x0B, 0, 0, 2, 0, 'n', 'e', 'w', 's', 0};
    for (const Case& c : {Case{text, "text to player 77: hi"}, Case{chatLine, "chat to player 77 slot 2: yo"},
                          Case{kick, "kick player 77 (reason 1)"}, Case{bcast, "broadcast: news"},
                          Case{Bytes{2, 0, 1, 0, 0, 0, 2, 0, 0}, "shutdown order"},
                          Case{Bytes{4, 0, 1, 0, 0, 0, 2, 0, 0}, "recycle order"},
                          Case{Bytes{9, 1}, "message type 9, 2 bytes"},
                          Case{reply, "login reply for player 77: result 6 (accepted, registration form wanted), name "
                                      "Pilot, user id 42, squad Squad, usage 3600, scores 0/0/0/0/-9"}}) {
        EXPECT_EQ(describeServerMessage(c.message), c.line);
    }
}

TEST(ZoneClientMessages, ServerMessagesBuildAndParseBack) {
    PlayerLoginReply r;
    r.result = 0;
    r.playerId = 12;
    r.name = "A name of 24 characters.";
    r.squad = "Sq";
    r.banner[95] = 7;
    r.usage = -3;
    r.year = 2002;
    r.second = 59;
    r.userId = 8;
    r.wordStat3 = 65535;
    r.longStat1 = 123456;
    Bytes built = playerLoginReply(r);
    ASSERT_EQ(built.size(), 192u);
    auto back = parsePlayerLoginReply(built);
    ASSERT_TRUE(back);
    EXPECT_EQ(playerLoginReply(*back), built);
    EXPECT_EQ(back->banner[95], 7);

    Bytes text = playerText(3, "hello");
    EXPECT_EQ(text.size(), 6u + 5u);
    EXPECT_EQ(parsePlayerText(text)->text, "hello");
    Bytes line = chatLine(3, 4, "hi");
    EXPECT_EQ(line.size(), 7u + 2u);
    EXPECT_EQ(parseChatLine(line)->slot, 4);
    EXPECT_EQ(parseKick(kick(3, -1))->reason, -1);
    EXPECT_EQ(*parseBroadcast(zoneBroadcast("news")), "news");
    EXPECT_TRUE(isShutdownOrder(shutdownOrder()));
    EXPECT_TRUE(isRecycleOrder(recycleOrder()));
    EXPECT_FALSE(isShutdownOrder(recycleOrder()));
}

}  // namespace
}  // namespace zoneclient
