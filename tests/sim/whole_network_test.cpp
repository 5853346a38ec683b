// The whole network under faults, one seed per run. The CI runs a range of
// seeds; TALLYSV_SIM_SEED=<n> replays one seed (with TALLYSV_SIM_TRACE=1
// printing the server's console as it goes); TALLYSV_SIM_SECONDS=<s>
// runs fresh seeds for that many seconds of real time and reports how many
// ran and how many hours of the network's time they covered.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "sim/invariants.h"
#include "sim/whole_network.h"

namespace tallysv::sim {
namespace {

constexpr uint32_t kCiSeeds = 300;

std::string failure(const RunOptions& options, const RunReport& report) {
    return "seed " + std::to_string(options.seed) + " (replay: TALLYSV_SIM_SEED=" + std::to_string(options.seed) +
           "): " + report.violation + "\nlast console lines:\n" + report.context;
}

std::optional<long> environmentNumber(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::strtol(value, nullptr, 10);
}

TEST(WholeNetwork, EveryInvariantHoldsAfterEveryStep) {
    if (auto seed = environmentNumber("TALLYSV_SIM_SEED")) {
        RunOptions options;
        options.seed = static_cast<uint32_t>(*seed);
        options.trace = environmentNumber("TALLYSV_SIM_TRACE").value_or(0) != 0;
        RunReport report = runWholeNetwork(options);
        ASSERT_TRUE(report.violation.empty()) << failure(options, report);
        std::printf("seed %u: %.1f simulated minutes; %d restarts, %d saves cut short, %d committed, %d zone crashes, "
                    "%d partitions, %d logins, %d commands\n",
                    options.seed, static_cast<double>(report.simulatedMs) / 60000, report.restarts,
                    report.interruptedSaves, report.committedSaves, report.zoneCrashes, report.partitions,
                    report.logins, report.commands);
        return;
    }
    if (auto seconds = environmentNumber("TALLYSV_SIM_SECONDS")) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
        uint64_t simulatedMs = 0;
        uint32_t seeds = 0;
        RunReport totals;
        for (uint32_t seed = 1000000; std::chrono::steady_clock::now() < end; ++seed, ++seeds) {
            RunOptions options;
            options.seed = seed;
            RunReport report = runWholeNetwork(options);
            ASSERT_TRUE(report.violation.empty()) << failure(options, report);
            simulatedMs += report.simulatedMs;
            totals.restarts += report.restarts;
            totals.interruptedSaves += report.interruptedSaves;
            totals.zoneCrashes += report.zoneCrashes;
            totals.partitions += report.partitions;
            totals.logins += report.logins;
            totals.commands += report.commands;
        }
        std::printf("%u seeds, %.2f simulated hours, no violation; %d server restarts, %d saves cut short, "
                    "%d zone crashes, %d partitions, %d logins, %d commands\n",
                    seeds, static_cast<double>(simulatedMs) / 3.6e6, totals.restarts, totals.interruptedSaves,
                    totals.zoneCrashes, totals.partitions, totals.logins, totals.commands);
        return;
    }
    RunReport totals;
    for (uint32_t seed = 1; seed <= kCiSeeds; ++seed) {
        RunOptions options;
        options.seed = seed;
        RunReport report = runWholeNetwork(options);
        ASSERT_TRUE(report.violation.empty()) << failure(options, report);
        totals.restarts += report.restarts;
        totals.interruptedSaves += report.interruptedSaves;
        totals.zoneCrashes += report.zoneCrashes;
        totals.partitions += report.partitions;
        totals.logins += report.logins;
        totals.commands += report.commands;
    }
    // The faults and the traffic the invariants are meant to face happened.
    EXPECT_GT(totals.restarts, 0);
    EXPECT_GT(totals.interruptedSaves, 0);
    EXPECT_GT(totals.zoneCrashes, 0);
    EXPECT_GT(totals.partitions, 0);
    EXPECT_GT(totals.logins, 0);
    EXPECT_GT(totals.commands, 0);
}

}  // namespace
}  // namespace tallysv::sim
