#pragma once
#include "core/log.h"
#include "db/database.h"

namespace tallysv {

// The console's squad list ('S' key): "Squad list:", then one line per
// squad in table order with its members in joining order. The chat list
// ('C') comes from the zone layer (printChatList in zone/chat_channels.h).
// Run with the transport lock held.
void printSquadList(const Database& database, Log& log);

}  // namespace tallysv
