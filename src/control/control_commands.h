#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "commands/command_processor.h"
#include "control/control_protocol.h"
#include "core/log.h"
#include "core/mutex.h"
#include "status/status_snapshot.h"
#include "zone/zone_protocol.h"

namespace tallysv {

// Who sent a request, as the kernel tells it of the socket's peer.
using ControlPeer = ControlCaller;

// What the control socket asks of the rest of the server.
struct ControlServices {
    // The figures of /status.json (taken with the lock held for the copy).
    std::function<StatusSnapshot()> statusSnapshot;
};

// Runs the control socket's requests. In-game commands run as a player
// would type them, with the network's lock held, for a caller that is in no
// zone: its replies are gathered and answered instead of sent. The server
// calls it on the network's loop (an event of the loop like a datagram),
// without the lock; each request takes it for as long as it acts on the
// network, for the main thread's sake.
class ControlCommands {
public:
    ControlCommands(Mutex& lock, ZoneProtocol& zones, CommandProcessor& commands, Log& log,
                    ControlServices services);

    ControlAnswer run(const ControlRequest& request, const ControlPeer& peer);

private:
    ControlAnswer runCommand(const ControlRequest& request, const ControlPeer& peer, const std::string& text);
    ControlAnswer zoneList(bool json) REQUIRES(lock_);
    ControlAnswer playerList(bool json, const std::string* name) REQUIRES(lock_);
    ControlAnswer status();
    void logRequest(const ControlRequest& request, const ControlPeer& peer, const std::string& text);

    Mutex& lock_;
    ZoneProtocol& zones_ GUARDED_BY(lock_);
    CommandProcessor& commands_ GUARDED_BY(lock_);
    Log& log_;
    ControlServices services_;
};

}  // namespace tallysv
