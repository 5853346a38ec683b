#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "control/control_commands.h"
#include "control/control_protocol.h"
#include "core/clock.h"

namespace tallysv {

// Bounds on what the clients of the control socket may take.
struct ControlLimits {
    // Connections served at once; one more is told that the server is busy
    // and closed.
    size_t connections = 128;
    // The request must have arrived whole within this time of the
    // connection, and the answer must have been taken within it once made;
    // a slower client is dropped.
    uint32_t timeoutMs = 5000;
};

// The control socket: a Unix stream socket in the file system whose
// permissions are the authentication (mode 0600, owned by the owner of its
// folder). One thread of its own serves every client with poll(), so no
// client's pace holds anything else; a request, once whole, is handed to
// the handler, which the server runs on the network's loop.
class ControlServer {
public:
    using Handler = std::function<ControlAnswer(const ControlRequest&, const ControlPeer&)>;

    explicit ControlServer(const Clock& clock, ControlLimits limits = {});
    ~ControlServer();  // stops
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    enum class Claim { Ready, InUse, Failed };
    // Makes the socket at `path` and listens on it. InUse when a server
    // answers there already (its file is left alone); a file left by a
    // server that is gone is replaced. Failed, with the reason, when the
    // socket cannot be made.
    Claim claim(const std::string& path, std::string& reason);
    // Starts serving the claimed socket.
    void start(Handler handler);
    // Stops serving, closes every connection and removes the socket file
    // (when it is still the one made here).
    void stop();

    const std::string& path() const { return path_; }
    // Connections open now (tests).
    size_t connections() const { return connections_.load(); }
    // Requests answered since start (tests).
    uint64_t answered() const { return answered_.load(); }

private:
    struct Client;
    void serve();

    const Clock& clock_;
    ControlLimits limits_;
    Handler handler_;
    std::string path_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    std::atomic<uint64_t> answered_{0};
};

}  // namespace tallysv
