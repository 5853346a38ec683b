#pragma once
// What the measurements gather and how they are printed: the replies of
// one kind of slice over a run, summed up as a rate and latencies, and the
// comparisons of the server against the bare exchanges.
#include <cstdint>
#include <string>
#include <vector>

namespace loadgen {

struct Figures {
    uint64_t count = 0;
    double seconds = 0;
    double rate = 0;
    double p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;  // milliseconds
};

// Replies received in measured time, over all slices of one kind.
struct Tally {
    std::vector<int64_t> latenciesNs;
    // Of a server that saves while measured: the logins in flight while a
    // save was being written, and memory of the server and its writing
    // process together against the server's own when no save runs.
    std::vector<int64_t> duringSaveNs;
    uint64_t saveSightings = 0;
    uint64_t savesSeen = 0;
    double servingMiB = 0;  // the server alone, at most
    double savingMiB = 0;   // the server and its writing process together, at most
    double seconds = 0;
    double serverCpu = 0;  // seconds of processor time in measured time
    double clientCpu = 0;
    // Of each slice, in the order taken: its rate and the server's
    // processor time per exchange (microseconds).
    std::vector<double> sliceRates;
    std::vector<double> sliceServerUs;

    void addSlice(size_t count, double seconds, double serverSeconds) {
        sliceRates.push_back(seconds > 0 ? static_cast<double>(count) / seconds : 0);
        sliceServerUs.push_back(count > 0 ? serverSeconds / static_cast<double>(count) * 1e6 : 0);
    }
};


// Sorts `latenciesNs` and sums them up over `seconds` of measured time.
Figures summarize(std::vector<int64_t>& latenciesNs, double seconds);
void printFigures(const char* what, const Figures& f);
// The processor time per exchange of the server and of its clients.
void printCpu(const Tally& tally, const Figures& f, const char* server, const char* clients);

// The middle, least and greatest of some figures.
struct Spread {
    double median = 0, least = 0, greatest = 0;
};

Spread spreadOf(std::vector<double> values);
// Slice by slice, a / b of the slices taken in the same round.
Spread roundRatios(const std::vector<double>& a, const std::vector<double>& b);

// The server's processor time per `unit` against the bare server thread's
// per exchange, and its rate against the bare exchange rate: over the
// whole run, then round by round to show how much the machine's other load
// moved them.
void compareWithBare(const std::string& what, const char* unit, const Tally& logins, const Figures& loginFigures,
                     const Tally& bare, const Figures& bareFigures, const Tally& batched,
                     const Figures& batchedFigures);

}  // namespace loadgen
