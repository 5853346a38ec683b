#pragma once
// A data folder as a network leaves it after play: accounts made over a
// day (or longer), score sets in several score groups, squads with their
// members. Header only: its users link the server's library themselves.
#include <cstdint>
#include <string>

#include "db/database.h"

namespace tallysv::testing {

struct PlayedFolderShape {
    size_t accounts = 300;
    // Every account has a score set in the main group (ScoreID 1), and one
    // in one of the other groups (ScoreIDs 2 to scoreGroups).
    int32_t scoreGroups = 3;
    size_t squads = 12;
    int32_t now = 0;           // the end of the play; accounts were made before it
    int32_t spanSeconds = 86400;  // over how long
    uint64_t seed = 1;
    // Names only from syllables (small folders, for pages a person reads);
    // else a syllable name and the account's number.
    bool shortNames = true;
};

// A name made of syllables, different for each number below 20^3.
inline std::string playedName(uint64_t n) {
    static const char* const syllables[] = {"ka", "ro", "mi", "zu", "tel", "vor", "an", "si", "dra", "qu",
                                            "el", "ix", "bo", "nar", "yo", "fen", "ul", "gri", "as", "pe"};
    std::string name;
    for (int i = 0; i < 3; ++i) {
        name += syllables[n % 20];
        n /= 20;
    }
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

// Fills an empty database. Values come from a fixed generator, so a
// shape always gives the same folder. Passwords are the name in lower case.
inline void fillPlayedDatabase(Database& db, const PlayedFolderShape& shape) {
    uint64_t state = shape.seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<UserRecord*> users;
    users.reserve(shape.accounts);
    for (size_t i = 0; i < shape.accounts; ++i) {
        std::string name = playedName(i * 7919 % 8000);
        if (!shape.shortNames || i >= 8000) name += " " + std::to_string(i);
        UserRecord* user = db.createUser(name, "pw", {10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                                                     static_cast<uint8_t>(i)},
                                         static_cast<int32_t>(100000 + i), 0);
        if (!user) continue;
        // Made at some moment of the span, last seen between then and its end.
        const auto made = static_cast<int32_t>(shape.now - static_cast<int32_t>(next() % static_cast<uint64_t>(shape.spanSeconds)));
        user->created = made;
        user->lastLogin = made + static_cast<int32_t>(next() % static_cast<uint64_t>(shape.now - made + 1));
        user->Usage = static_cast<int32_t>(next() % 7200) + 60;
        user->Logins = static_cast<int32_t>(next() % 20) + 1;
        users.push_back(user);
    }
    for (size_t i = 0; i < users.size(); ++i) {
        // Kills and points that go together, as in play.
        auto fill = [&](ScoreRecord* score, uint64_t scale) {
            const auto kills = static_cast<int16_t>(next() % (30 * scale + 1));
            score->WordStat1 = kills;
            score->WordStat2 = static_cast<int16_t>(next() % (30 * scale + 1));
            score->WordStat3 = static_cast<int16_t>(next() % (3 * scale + 1));
            score->LongStat1 = kills * 10 + static_cast<int32_t>(next() % 100);
            score->LongStat2 = score->WordStat3 * 50 + static_cast<int32_t>(next() % 50);
        };
        fill(db.createScore(*users[i], 1), 10);
        if (shape.scoreGroups > 1)
            fill(db.createScore(*users[i], 2 + static_cast<int32_t>(i % static_cast<size_t>(shape.scoreGroups - 1))), 3);
    }
    static const char* const squadWords[] = {"Wolves", "Ravens", "Comets", "Vipers", "Titans", "Ghosts",
                                             "Knights", "Falcons", "Sharks", "Owls", "Rockets", "Badgers"};
    std::vector<SquadRecord*> squads;
    for (size_t s = 0; s < shape.squads && s < users.size(); ++s) {
        std::string name = std::string(squadWords[s % 12]) + (s >= 12 ? " " + std::to_string(s) : "");
        SquadRecord* squad = db.createSquad(name, "squadpw", users[s]);
        if (!squad) continue;
        db.addSquadMember(*squad, *users[s]);
        squads.push_back(squad);
    }
    // Members: about half the accounts, more in the first squads.
    if (!squads.empty())
        for (size_t i = 0; i < users.size(); ++i) {
            if (users[i]->squad || next() % 2) continue;
            const size_t a = static_cast<size_t>(next() % squads.size()), b = static_cast<size_t>(next() % squads.size());
            db.addSquadMember(*squads[a * b / squads.size()], *users[i]);
        }
}

}  // namespace tallysv::testing
