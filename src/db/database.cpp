#include "db/database.h"

#include "core/configuration.h"

namespace tallysv {

Database::Database(const Clock& clock, Log& log, std::string directory)
    : clock_(clock), log_(log), directory_(std::move(directory)) {
    randomSeed(random, 55555);
    randomSeed(random, clock_.tick());
}

void Database::readConfiguration() { tallysv::readConfiguration(settings, log_, directory_); }

void Database::load() {}

void Database::save() {}

void Database::removeExpiredBans(int32_t) {}

void Database::printChatList() { log_.write("Chat list:\n"); }

void Database::printSquadList() { log_.write("Squad list:\n"); }

}  // namespace tallysv
