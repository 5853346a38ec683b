// The flood table against a plain model of its rule: a list, oldest first,
// walked from the head for every attempt. Long random runs of attempts and
// decays must give the same verdicts and leave the same entries, in the
// same order, as the model.
#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "db/flood_table.h"

namespace tallysv {
namespace {

class FloodModel {
public:
    FloodVerdict registerAttempt(const IPv4Address& address) {
        for (FloodTable::Entry& entry : entries_) {
            if (entry.address != address) continue;
            ++entry.counter;
            if (entry.counter >= 6) {
                entry.counter = 6;
                return FloodVerdict::HeavyFlood;
            }
            return entry.counter >= 4 ? FloodVerdict::LightFlood : FloodVerdict::Accept;
        }
        if (entries_.size() > 100) entries_.pop_front();
        entries_.push_back({address, 1});
        return FloodVerdict::Accept;
    }
    void decay() {
        std::deque<FloodTable::Entry> kept;
        for (FloodTable::Entry entry : entries_) {
            entry.counter -= 5;
            if (entry.counter > 0) kept.push_back(entry);
        }
        entries_ = kept;
    }
    int32_t counter(const IPv4Address& address) const {
        for (const FloodTable::Entry& entry : entries_)
            if (entry.address == address) return entry.counter;
        return 0;
    }
    const std::deque<FloodTable::Entry>& entries() const { return entries_; }

private:
    std::deque<FloodTable::Entry> entries_;
};

// How the addresses of a run are made.
enum class Pool {
    Random,       // any four octets
    LastOctet,    // 10.0.0.x
    FirstOctet,   // x.7.7.7
    TwoOctets,    // 172.16.x.y with x, y below 16
};

struct FloodRun {
    const char* name;
    Pool pool;
    int addresses;       // distinct addresses in the run
    int hotAddresses;    // the first ones, drawn half the time
    int decayOneIn;      // a decay in place of an attempt, one step in this many
    int steps;
};

void PrintTo(const FloodRun& run, std::ostream* out) { *out << run.name; }

IPv4Address makeAddress(Pool pool, uint32_t n, std::mt19937& random) {
    switch (pool) {
        case Pool::Random: {
            uint32_t v = random();
            return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
        }
        case Pool::LastOctet:
            return {10, 0, 0, static_cast<uint8_t>(n)};
        case Pool::FirstOctet:
            return {static_cast<uint8_t>(n), 7, 7, 7};
        case Pool::TwoOctets:
            return {172, 16, static_cast<uint8_t>(n / 16), static_cast<uint8_t>(n % 16)};
    }
    return {};
}

std::string text(const IPv4Address& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

class FloodTableModelTest : public ::testing::TestWithParam<FloodRun> {};

TEST_P(FloodTableModelTest, SameVerdictsAndEntriesAsAWalkOfTheList) {
    const FloodRun& run = GetParam();
    std::mt19937 random(20261210u + static_cast<uint32_t>(run.addresses));
    std::vector<IPv4Address> addresses;
    for (int i = 0; i < run.addresses; ++i) addresses.push_back(makeAddress(run.pool, static_cast<uint32_t>(i), random));

    FloodTable table;
    FloodModel model;
    for (int step = 0; step < run.steps; ++step) {
        bool decayNow = static_cast<int>(random() % static_cast<uint32_t>(run.decayOneIn)) == 0;
        if (decayNow) {
            table.decay();
            model.decay();
        } else {
            bool hot = run.hotAddresses > 0 && random() % 2 == 0;
            uint32_t range = static_cast<uint32_t>(hot ? run.hotAddresses : run.addresses);
            const IPv4Address& address = addresses[random() % range];
            FloodVerdict expected = model.registerAttempt(address);
            ASSERT_EQ(table.registerAttempt(address), expected) << "step " << step << ", " << text(address);
            ASSERT_EQ(table.counter(address), model.counter(address)) << "step " << step << ", " << text(address);
        }
        ASSERT_EQ(table.size(), model.entries().size()) << "step " << step;
        // The whole table, in order, after every decay and every so often.
        if (decayNow || step % 64 == 0 || step + 1 == run.steps) {
            std::vector<FloodTable::Entry> entries = table.entries();
            ASSERT_EQ(entries.size(), model.entries().size()) << "step " << step;
            for (size_t i = 0; i < entries.size(); ++i) {
                ASSERT_EQ(entries[i].address, model.entries()[i].address) << "step " << step << ", entry " << i;
                ASSERT_EQ(entries[i].counter, model.entries()[i].counter) << "step " << step << ", entry " << i;
            }
            // Addresses that have no entry have no counter.
            const IPv4Address& probe = addresses[random() % addresses.size()];
            ASSERT_EQ(table.counter(probe), model.counter(probe)) << "step " << step << ", " << text(probe);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FloodTableModelTest,
    ::testing::Values(
        // Few addresses: counters climb to 6 and decays forgive them.
        FloodRun{"FewAddressesFrequentDecays", Pool::Random, 40, 5, 40, 60000},
        // About as many addresses as the table holds: hits and evictions mixed.
        FloodRun{"AroundCapacity", Pool::Random, 130, 20, 400, 120000},
        // Far more addresses than entries: nearly every attempt evicts.
        FloodRun{"ManyAddressesRareDecays", Pool::Random, 5000, 60, 3000, 120000},
        // Addresses that differ in one octet only, at either end.
        FloodRun{"LastOctetOnly", Pool::LastOctet, 256, 30, 300, 100000},
        FloodRun{"FirstOctetOnly", Pool::FirstOctet, 256, 30, 300, 100000},
        FloodRun{"TwoLowOctets", Pool::TwoOctets, 256, 0, 1000, 100000}),
    [](const ::testing::TestParamInfo<FloodRun>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tallysv
