#pragma once
#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/log.h"
#include "core/random.h"
#include "core/settings.h"

namespace tallysv {

// The one object that holds everything the server knows, with the settings.
class Database {
public:
    Database(const Clock& clock, Log& log, std::string directory = "");

    Settings settings;
    RandomGenerator random;

    // Reads TALLYSV.INI; the first reading adds the built-in operator.
    void readConfiguration();
    // The .dat files of the working folder.
    void load();
    void save();
    // Removes every ban whose expiry time is earlier than `now`.
    void removeExpiredBans(int32_t now);

    // Console lists.
    void printChatList();
    void printSquadList();

    const std::string& directory() const { return directory_; }

private:
    const Clock& clock_;
    Log& log_;
    std::string directory_;
};

}  // namespace tallysv
