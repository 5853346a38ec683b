#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "server/console.h"
#include "server/server.h"
#include "support/temp_dir.h"

namespace tallysv::testing {

// A server whose sleeps move a fake clock, so passes run instantly.
struct ServerFixture {
    // Port 0: the system picks a free port, so tests may run side by side.
    explicit ServerFixture(const std::string& ini = "") { dir.write("TALLYSV.INI", "[Misc]\nPort=0\n" + ini); }
    TempDir dir;
    FakeClock clock;
    RecordingLog log;
    ScriptedKeys keys;
    std::atomic<bool> stop{false};
    std::vector<uint32_t> sleeps;
    Settings settings;
    Database database{settings, clock, log, dir.str()};
    Server server{settings, database, clock, log, keys,
                  [this](uint32_t ms) {
                      sleeps.push_back(ms);
                      clock.advance(ms);
                  },
                  &stop};
    int saveSleeps() const {
        int n = 0;
        for (uint32_t ms : sleeps) n += ms == 500;
        return n;
    }
};

// Holds the writing process at one step of its save until opened. The
// server process itself passes freely, so its own saves are not held.
// Opened at the latest when it goes, so that no test leaves a process
// waiting behind it.
class Gate {
public:
    Gate() {
        if (::pipe2(release_, O_CLOEXEC) != 0 || ::pipe2(reached_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    }
    ~Gate() {
        open();
        for (int fd : {release_[0], reached_[0], reached_[1]}) ::close(fd);
    }
    void install(Database& database, Database::SaveStep step, DatFile file) {
        pid_t server = ::getpid();
        int releaseEnd = release_[0];
        int reachedEnd = reached_[1];
        database.setSaveInterruption([=](Database::SaveStep s, DatFile d) {
            if (::getpid() != server && s == step && d == file) {
                char byte = 1;
                (void)!::write(reachedEnd, &byte, 1);
                while (::read(releaseEnd, &byte, 1) < 0 && errno == EINTR) {
                }
            }
            return true;
        });
    }
    // Returns once the writing process waits at the gate.
    void waitUntilReached() {
        char byte;
        while (::read(reached_[0], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    // The writing process holds a copy of the write end too, so it is
    // released by a byte, not by the end of the pipe.
    void open() {
        if (release_[1] < 0) return;
        (void)!::write(release_[1], "go", 2);
        ::close(release_[1]);
        release_[1] = -1;
    }

private:
    int release_[2] = {-1, -1};
    int reached_[2] = {-1, -1};
};

}  // namespace tallysv::testing
