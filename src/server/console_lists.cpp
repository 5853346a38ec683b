#include "server/console_lists.h"

#include <string>

namespace tallysv {

void printSquadList(const Database& database, Log& log) {
    log.write("Squad list:\n");
    for (const SquadRecord* squad : database.squads()) {
        std::string line = std::string(squad->name()) + ":";
        for (size_t i = 0; i < squad->members().size(); ++i) {
            if (i) line += ",";
            line += squad->members()[i]->name();
        }
        line += "\n";
        log.write(line);
    }
}

}  // namespace tallysv
