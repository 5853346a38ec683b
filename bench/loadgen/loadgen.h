#pragma once
// What every part of the login load generator shares: its options, the
// bounds on its waits, how a failed run ends, and the accounts' names.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace loadgen {

using SteadyClock = std::chrono::steady_clock;

struct Options {
    // The measurements, by name (see main.cpp), in the order asked for.
    std::vector<std::string> benchmarks;
    std::vector<int> accounts;
    int seconds = 10;
    int zones = 8;
    int window = 3;
    bool separateLeaving = false;
    int chatMembers = 0;  // per zone, for "chat"
    bool plainZones = false;  // zones read and send one datagram per call
    std::string serverBin;
    int periodicSave = 0;  // ms, for "saving" and "compared"
    std::string compareBin;  // another server binary, for "compared"

    bool measures(const std::string& name) const {
        for (const std::string& b : benchmarks)
            if (b == name) return true;
        return false;
    }
};

constexpr const char* kPassword = "letmein";
constexpr int32_t kGroupId = 1;
constexpr uint8_t kAccepted = 0;
constexpr uint8_t kAcceptedUnregistered = 6;
constexpr int kFirstWarmUpMs = 1000;
constexpr int kWarmUpMs = 250;
constexpr int kSliceMs = 1000;
// A server measured without saves still has a save period: an hour.
constexpr int kNoSave = 3600000;
// Bounds on every wait, so that a stuck server ends the run instead of
// hanging it.
constexpr uint32_t kServerReadyLimit = 120000;
constexpr uint32_t kDockingLimit = 10000;
constexpr uint32_t kQuiesceLimit = 10000;
constexpr uint32_t kServerExitLimit = 180000;

// A failed run unwinds to main, so that the servers it started are killed
// and their folders removed on the way.
struct Failure {
    std::string why;
};

[[noreturn]] inline void fail(const std::string& why) { throw Failure{why}; }

inline double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Processor time of the calling thread, in seconds.
inline double threadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline std::string accountName(int index) {
    char name[24];
    std::snprintf(name, sizeof name, "Player%07d", index);
    return name;
}

inline std::string withCommas(long long n) {
    std::string digits = std::to_string(n);
    std::string out;
    int count = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (count > 0 && count % 3 == 0 && *it != '-') out.insert(out.begin(), ',');
        out.insert(out.begin(), *it);
        ++count;
    }
    return out;
}

}  // namespace loadgen
