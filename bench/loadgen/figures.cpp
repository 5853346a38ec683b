#include "loadgen/figures.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "loadgen/loadgen.h"

namespace loadgen {

Figures summarize(std::vector<int64_t>& latenciesNs, double seconds) {
    Figures f;
    f.count = latenciesNs.size();
    f.seconds = seconds;
    f.rate = seconds > 0 ? static_cast<double>(f.count) / seconds : 0;
    if (latenciesNs.empty()) return f;
    std::sort(latenciesNs.begin(), latenciesNs.end());
    auto at = [&](double q) {
        size_t i = std::min(latenciesNs.size() - 1, static_cast<size_t>(q * static_cast<double>(latenciesNs.size())));
        return static_cast<double>(latenciesNs[i]) / 1e6;
    };
    f.p50 = at(0.50);
    f.p90 = at(0.90);
    f.p99 = at(0.99);
    f.p999 = at(0.999);
    f.max = static_cast<double>(latenciesNs.back()) / 1e6;
    return f;
}

void printFigures(const char* what, const Figures& f) {
    std::printf("  %-32s %9s in %.2f s = %8.0f/s   latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                what, withCommas(static_cast<long long>(f.count)).c_str(), f.seconds, f.rate, f.p50, f.p90, f.p99,
                f.p999, f.max);
}

void printCpu(const Tally& tally, const Figures& f, const char* server, const char* clients) {
    if (f.count == 0) return;
    double n = static_cast<double>(f.count);
    std::printf("  %-32s processor time per exchange: %s %.1f us, %s %.1f us\n", "", server,
                tally.serverCpu / n * 1e6, clients, tally.clientCpu / n * 1e6);
}

Spread spreadOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

// Slice by slice, a / b of the slices taken in the same round.
Spread roundRatios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (size_t r = 0; r < std::min(a.size(), b.size()); ++r) {
        if (b[r] > 0) ratios.push_back(a[r] / b[r]);
    }
    return spreadOf(ratios);
}

// The server's processor time per login against the bare server thread's
// per exchange, and the login rate against the bare exchange rate: over
// the whole run, then round by round to show how much the machine's other
// load moved them.
void compareWithBare(const std::string& what, const char* unit, const Tally& logins, const Figures& loginFigures,
                     const Tally& bare, const Figures& bareFigures, const Tally& batched,
                     const Figures& batchedFigures) {
    // The goals are those of logins.
    const bool goals = std::strcmp(unit, "login") == 0;
    auto perExchangeUs = [](const Tally& t, const Figures& f) {
        return f.count > 0 ? t.serverCpu / static_cast<double>(f.count) * 1e6 : 0;
    };
    double loginUs = perExchangeUs(logins, loginFigures);
    double bareUs = perExchangeUs(bare, bareFigures);
    double batchedUs = perExchangeUs(batched, batchedFigures);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::printf("at %s: server processor time per %s %.2f us; bare server thread per exchange %.2f us, batched "
                "%.2f us: %.2f of the bare%s, %.2f of the batched\n",
                what.c_str(), unit, loginUs, bareUs, batchedUs, ratio(loginUs, bareUs),
                goals ? " (goal at most 1.00)" : "", ratio(loginUs, batchedUs));
    std::printf("  %s rate / bare exchange rate: %.2f%s; / batched bare exchange rate: %.2f\n", unit,
                ratio(loginFigures.rate, bareFigures.rate), goals ? " (goal at least 0.90)" : "",
                ratio(loginFigures.rate, batchedFigures.rate));
    const struct {
        const char* name;
        const Tally& tally;
    } yardsticks[] = {{"bare", bare}, {"batched", batched}};
    for (const auto& y : yardsticks) {
        Spread time = roundRatios(logins.sliceServerUs, y.tally.sliceServerUs);
        Spread rate = roundRatios(logins.sliceRates, y.tally.sliceRates);
        std::printf("  round by round against the %s: time ratio median %.2f (%.2f to %.2f), rate ratio median %.2f "
                    "(%.2f to %.2f) over %zu rounds\n",
                    y.name, time.median, time.least, time.greatest, rate.median, rate.least, rate.greatest,
                    std::min(logins.sliceRates.size(), y.tally.sliceRates.size()));
    }
}

}  // namespace loadgen
