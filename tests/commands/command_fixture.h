#pragma once
#include <string>
#include <vector>

#include "commands/command_processor.h"
#include "zone/zone_fixture.h"

namespace tallysv::testing {

// The zone test network with the command processor installed: players
// type commands and the tests read the lines sent back to them.
class CommandTest : public ZoneTest {
protected:

    // A zone with one logged-in player; the player's session.
    struct Seat {
        SimZone* zone;
        uint32_t playerID;
        PlayerSession* session;
    };
    Seat seat(SimZone& zone, const std::string& name, uint32_t playerID, const std::string& password = "pw") {
        EXPECT_TRUE(loginPlayer(zone, name, password, playerID).has_value());
        PlayerSession* session = player(zone, playerID);
        EXPECT_NE(session, nullptr);
        return {&zone, playerID, session};
    }

    // Types a command and returns the text lines the player received.
    // Commands are spaced 2 s apart on the clock so that flood control
    // stays quiet unless a test wants it.
    std::vector<std::string> type(Seat& who, const std::string& text, uint32_t spacing = 2000) {
        clock.advance(spacing);
        texts(*who.zone);
        send(*who.zone, zoneclient::command(who.playerID, text));
        return texts(*who.zone);
    }

    // The same for a raw command message.
    std::vector<std::string> typeRaw(Seat& who, const Bytes& message, uint32_t spacing = 2000) {
        clock.advance(spacing);
        texts(*who.zone);
        send(*who.zone, message);
        return texts(*who.zone);
    }
};

// The network most command tests play on: Arena (5) and Bay (6) in group
// 3, Coast (9) in group 4, logged in by loginThreeZones() at tick 100000.
class ThreeZoneTest : public CommandTest {
protected:
    void loginThreeZones() {
        clock.setTick(100000);
        arena = &loginZone(5, 3, "Arena");
        bay = &loginZone(6, 3, "Bay");
        coast = &loginZone(9, 4, "Coast");
    }

    SimZone* arena = nullptr;
    SimZone* bay = nullptr;
    SimZone* coast = nullptr;
};

using Lines = std::vector<std::string>;

}  // namespace tallysv::testing
