#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tallysv::testing {

inline const std::string kBinDir = TALLYSV_BIN_DIR;

// How often `what` stands in `text` (a zone's or the server's output).
inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// Waits until the child's output holds `part` at least `count` times.
inline bool waitForCount(ChildProcess& child, const std::string& part, size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (occurrences(child.output(), part) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A server in its own folder, with new accounts made without asking, and
// zones played by the zone simulator. `misc` and `comms` add settings.
class ZoneNetwork {
public:
    explicit ZoneNetwork(const std::string& misc = "", const std::string& comms = "") : port_(freeUdpPort()) {
        dir_.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port_) + "\nAllowNewUsers=1\n" + misc +
                                      "[Comms]\nAskNewUsers=0\nPeriodicSave=3600000\n" + comms);
    }
    void startServer() {
        server_ = std::make_unique<ChildProcess>(kBinDir + "/tallysv", std::vector<std::string>{}, dir_.str());
        ASSERT_TRUE(server_->waitForOutput("Reading TALLYSV.INI... Done.\n")) << server_->output();
    }
    void stopServer() {
        server_->send("q");
        EXPECT_EQ(server_->wait(), 0) << server_->output();
    }
    std::unique_ptr<ChildProcess> zone(int scoreID, const std::string& name, int groupID = 1) {
        auto zone = startZone(scoreID, name, groupID);
        EXPECT_TRUE(server_->waitForOutput(std::to_string(scoreID) + " - Docking granted: " + name))
            << server_->output() << zone->output();
        return zone;
    }
    // A zone simulator, not waited for; with a local port, bound to it.
    std::unique_ptr<ChildProcess> startZone(int scoreID, const std::string& name, int groupID = 1, int localPort = 0) {
        return std::make_unique<ChildProcess>(
            kBinDir + "/tallysv-zone",
            std::vector<std::string>{"--server", "127.0.0.1:" + std::to_string(port_), "--score-id",
                                     std::to_string(scoreID), "--group-id", std::to_string(groupID), "--name", name,
                                     "--password", "", "--local-port", std::to_string(localPort)},
            dir_.str());
    }
    ChildProcess& server() { return *server_; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    int port_;
    std::unique_ptr<ChildProcess> server_;
};


}  // namespace tallysv::testing
