#pragma once
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
    Database database{clock, log, dir.str()};
    Server server{database, clock, log, keys,
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

}  // namespace tallysv::testing
