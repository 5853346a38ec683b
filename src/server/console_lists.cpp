#include "server/console_lists.h"

#include <string>

#include "core/text.h"

namespace tallysv {

void printSquadList(const Database& database, Log& log) {
    log.write("Squad list:\n");
    for (const SquadRecord* squad : database.squads()) {
        // Squad and player names come from zones: escaped, as in every
        // console line.
        std::string line = escapeControlBytes(squad->name()) + ":";
        for (size_t i = 0; i < squad->members().size(); ++i) {
            if (i) line += ",";
            appendControlBytesEscaped(line, squad->members()[i]->name());
        }
        line += "\n";
        log.write(line);
    }
}

}  // namespace tallysv
