// Logins (or chat) against the servers of every kind named, one of each
// per database size, and the bare exchanges, measured in turns: one-second
// slices in a rotating order, so that a busy machine skews none of them;
// the comparisons are also printed round by round, so that their spread
// shows how much the machine's other load moved them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loadgen/bare_exchange.h"
#include "loadgen/figures.h"
#include "loadgen/loadgen.h"
#include "loadgen/login_driver.h"
#include "loadgen/runs.h"
#include "loadgen/server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace loadgen {

namespace {

// A server with its own folder and database, and the zones docked at it.
struct Target {
    int accounts = 0;
    int periodicSave = 0;  // 0: no save while measured
    std::string binary;
    bool compared = false;  // the --compare-bin server
    bool scraped = false;   // its /metrics asked for every 100 ms
    std::unique_ptr<tallysv::testing::TempDir> folder;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<LoginDriver> driver;
    std::unique_ptr<MetricsScraper> scraper;
    Tally logins;
    // Served as the reference of the comparisons: no saves, no scrapes.
    bool plain() const { return periodicSave == 0 && !scraped; }
};


std::string targetName(const Target& target) {
    std::string name = withCommas(target.accounts) + " accounts";
    if (target.periodicSave > 0) name += ", saving every " + withCommas(target.periodicSave) + " ms";
    if (target.compared) name += " (compared binary)";
    if (target.scraped) name += ", /metrics every 100 ms";
    return name;
}

std::unique_ptr<Target> prepare(const Options& options, int accounts, int periodicSave, bool compared = false,
                                bool scraped = false) {
    auto target = std::make_unique<Target>();
    target->accounts = accounts;
    target->periodicSave = periodicSave;
    target->compared = compared;
    target->scraped = scraped;
    target->binary = compared ? options.compareBin : options.serverBin;
    target->folder = std::make_unique<tallysv::testing::TempDir>();
    const std::filesystem::path& folder = target->folder->path();
    double built = buildDatabase(folder, accounts);
    const auto port = static_cast<uint16_t>(tallysv::testing::freeUdpPort());
    const auto statusPort = static_cast<uint16_t>(scraped ? tallysv::testing::freeTcpPort() : 0);
    {
        std::ofstream ini(folder / "TALLYSV.INI");
        ini << "[Misc]\nPort=" << port << "\nAllowNewUsers=0\n";
        if (scraped) ini << "StatusListen=127.0.0.1:" << statusPort << "\n";
        ini << "[Comms]\nPeriodicSave="
            << (periodicSave > 0 ? periodicSave : kNoSave) << "\n";
    }
    auto started = SteadyClock::now();
    target->server = std::make_unique<ServerProcess>(target->binary, folder);
    target->driver = std::make_unique<LoginDriver>(options, port, accounts);
    target->driver->connect(*target->server);
    double ready = secondsSince(started);
    target->driver->dock(*target->server);
    if (scraped) target->scraper = std::make_unique<MetricsScraper>(statusPort);
    std::printf("%s: database built and saved in %.2f s; server answering after %.2f s; %d zones docked\n",
                targetName(*target).c_str(), built, ready, options.zones);
    std::fflush(stdout);
    return target;
}

// Zones leave, the server is stopped with its quit key and must end with
// status 0.
void finish(Target& target) {
    if (target.scraper) {
        std::printf("%s: %llu scrapes of /metrics answered, %llu failed\n", targetName(target).c_str(),
                    static_cast<unsigned long long>(target.scraper->answered()),
                    static_cast<unsigned long long>(target.scraper->failed()));
        target.scraper.reset();
    }
    target.driver->disconnect();
    auto stopping = SteadyClock::now();
    target.server->sendKeys("q");
    std::optional<int> status = target.server->waitForExit(kServerExitLimit);
    if (!status) fail("the server did not stop after q:\n" + target.server->consoleTail());
    if (*status != 0)
        fail("the server stopped with status " + std::to_string(*status) + ":\n" + target.server->consoleTail());
    std::printf("%s: server stopped with status 0 in %.2f s\n", targetName(target).c_str(),
                secondsSince(stopping));
    if (target.driver->failed() > 0)
        fail(std::to_string(target.driver->failed()) + " logins refused; first: " + target.driver->firstFailure());
    std::string console = target.server->console();
    for (const char* trouble : {"Punt!", "Connection broken", "flood", "Flood", "INVALID", "Save failed"}) {
        if (console.find(trouble) != std::string::npos)
            std::printf("  warning: the server's console mentions \"%s\"\n", trouble);
    }
}

// The server measured without saves or scrapes of the same size as
// targets[i], or none.
std::optional<size_t> plainOfSize(const std::vector<std::unique_ptr<Target>>& targets, size_t i) {
    for (size_t k = 0; k < targets.size(); ++k)
        if (targets[k]->plain() && targets[k]->accounts == targets[i]->accounts) return k;
    return std::nullopt;
}

// One kind of slice taken in turns: a server or a bare exchange.
struct Kind {
    Target* target = nullptr;
    BareExchange* bare = nullptr;
    Tally* tally = nullptr;
};

}  // namespace

int runLogins(const Options& options) {
    const bool chat = options.measures("chat");
    const bool anyBare = options.measures("bare") || options.measures("batched");
    if (chat) {
        std::printf("%d zones x %d chat lines in flight, %d s measured for chat%s (1 s "
                    "slices, taken in turns)\nserver %s\n",
                    options.zones, options.window, options.seconds, anyBare ? " and for the bare exchange" : "",
                    options.serverBin.c_str());
    } else {
        std::printf("%d zones x %d logins in flight, %d s measured per database size%s "
                    "(1 s slices, taken in turns), leaving %s\nserver %s\n",
                    options.zones, options.window, options.seconds, anyBare ? " and for the bare exchange" : "",
                    options.separateLeaving ? "in a datagram of its own" : "in the datagram of the next login",
                    options.serverBin.c_str());
    }
    std::printf("zones read and send %s\n",
                options.plainZones ? "one datagram per system call" : "several datagrams per system call");
    std::fflush(stdout);
    // The servers of one size together, in the order named.
    std::vector<std::unique_ptr<Target>> targets;
    for (int accounts : options.accounts) {
        if (chat) {
            targets.push_back(prepare(options, accounts, 0));
            targets.back()->driver->seatChatMembers(options.chatMembers);
            continue;
        }
        for (const std::string& name : options.benchmarks) {
            if (name == "logins") targets.push_back(prepare(options, accounts, 0));
            if (name == "saving") targets.push_back(prepare(options, accounts, options.periodicSave));
            if (name == "compared") targets.push_back(prepare(options, accounts, options.periodicSave, true));
            if (name == "scraped") targets.push_back(prepare(options, accounts, 0, false, true));
        }
    }
    std::unique_ptr<BareExchange> bare, batchedBare;
    Tally bareTally;
    Tally batchedTally;
    std::vector<Kind> kinds;
    for (auto& target : targets) kinds.push_back({target.get(), nullptr, &target->logins});
    for (const std::string& name : options.benchmarks) {
        if (name == "bare") {
            bare = std::make_unique<BareExchange>(options, false);
            kinds.push_back({nullptr, bare.get(), &bareTally});
        }
        if (name == "batched") {
            batchedBare = std::make_unique<BareExchange>(options, true);
            kinds.push_back({nullptr, batchedBare.get(), &batchedTally});
        }
    }

    // The measurements take turns in short slices, in a rotating order, so
    // that whatever else the machine does meanwhile weighs on all of them
    // alike.
    for (int round = 0; round < options.seconds; ++round) {
        int warmUp = round == 0 ? kFirstWarmUpMs : kWarmUpMs;
        for (size_t k = 0; k < kinds.size(); ++k) {
            Kind& kind = kinds[(k + static_cast<size_t>(round)) % kinds.size()];
            if (kind.bare) {
                kind.bare->measureSlice(warmUp, kSliceMs, *kind.tally);
            } else if (chat) {
                kind.target->driver->measureChatSlice(warmUp, kSliceMs, *kind.tally, *kind.target->server);
            } else {
                Target& t = *kind.target;
                t.driver->measureSlice(warmUp, kSliceMs, t.logins, *t.server, t.periodicSave > 0);
            }
        }
    }
    for (auto& target : targets) finish(*target);

    Figures bareFigures = summarize(bareTally.latenciesNs, bareTally.seconds);
    Figures batchedFigures = summarize(batchedTally.latenciesNs, batchedTally.seconds);
    std::printf("\n");
    // The bare exchanges measured, and whether both are, to compare with.
    auto printBare = [&] {
        if (bare) {
            printFigures("bare UDP exchanges:", bareFigures);
            printCpu(bareTally, bareFigures, "server thread", "clients");
        }
        if (batchedBare) {
            printFigures("bare UDP exchanges, batched:", batchedFigures);
            printCpu(batchedTally, batchedFigures, "server thread", "clients");
        }
    };
    const bool yardsticks = bare && batchedBare;
    if (chat) {
        Target& t = *targets.front();
        Figures f = summarize(t.logins.latenciesNs, t.logins.seconds);
        std::printf("chat on one channel of %d members, %d in each of %d zones; %s lines said, each delivered to "
                    "the %d other members:\n",
                    t.driver->chatMembers(), options.chatMembers, options.zones,
                    withCommas(static_cast<long long>(t.driver->chatLinesSent())).c_str(), t.driver->chatMembers() - 1);
        printFigures("lines delivered:", f);
        if (f.count > 0)
            std::printf("  %-32s processor time per delivered line: server process %.2f us, zones %.2f us\n", "",
                        t.logins.serverCpu / static_cast<double>(f.count) * 1e6,
                        t.logins.clientCpu / static_cast<double>(f.count) * 1e6);
        printBare();
        if (yardsticks)
            compareWithBare("chat on one channel", "delivered line", t.logins, f, bareTally, bareFigures, batchedTally,
                            batchedFigures);
        return 0;
    }
    std::vector<double> rates;
    for (auto& target : targets) {
        Figures f = summarize(target->logins.latenciesNs, target->logins.seconds);
        rates.push_back(f.rate);
        std::string what = "logins, " + targetName(*target) + ":";
        printFigures(what.c_str(), f);
        std::printf("  %-32s %.2f datagrams received and %.2f sent per login, %llu resends by the zones\n", "",
                    target->driver->datagramsInPerLogin(), target->driver->datagramsOutPerLogin(),
                    static_cast<unsigned long long>(target->driver->resends()));
        printCpu(target->logins, f, "server process", "zones");
        if (target->periodicSave > 0) {
            Tally& t = target->logins;
            Figures during = summarize(t.duringSaveNs, 0);
            printFigures("  of them in flight during a save:", during);
            std::printf("  %-32s %llu saves seen running; the server and its writing process together at most "
                        "%.0f MiB\n",
                        "", static_cast<unsigned long long>(t.savesSeen), t.savingMiB);
        } else {
            std::printf("  %-32s the server's memory at most %.0f MiB\n", "", target->logins.servingMiB);
        }
    }
    printBare();
    for (size_t i = 0; i < targets.size() && yardsticks; ++i) {
        if (!targets[i]->plain()) continue;
        Figures logins = summarize(targets[i]->logins.latenciesNs, targets[i]->logins.seconds);
        compareWithBare(withCommas(targets[i]->accounts) + " accounts", "login", targets[i]->logins, logins,
                        bareTally, bareFigures, batchedTally, batchedFigures);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (targets[i]->periodicSave == 0) continue;
        std::optional<size_t> reference = plainOfSize(targets, i);
        if (!reference) continue;
        size_t plain = *reference;
        Figures with = summarize(targets[i]->logins.duringSaveNs, 0);
        double ratio = rates[plain] > 0 ? rates[i] / rates[plain] : 0;
        double serving = targets[plain]->logins.servingMiB;
        double memory = serving > 0 ? targets[i]->logins.savingMiB / serving : 0;
        std::printf("at %s accounts%s: login rate with saves / without: %.2f (goal at least 0.90); longest login during "
                    "a save %.3f ms (goal under 20 ms); memory during a save / of the server alone: %.2f (goal under "
                    "1.5)\n",
                    withCommas(targets[i]->accounts).c_str(), targets[i]->compared ? " (compared binary)" : "", ratio,
                    with.max, memory);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!targets[i]->scraped) continue;
        std::optional<size_t> reference = plainOfSize(targets, i);
        if (!reference) continue;
        size_t plain = *reference;
        double ratio = rates[plain] > 0 ? rates[i] / rates[plain] : 0;
        // The spread of the reference's own slices: what a difference
        // must exceed to be more than noise.
        const std::vector<double>& slices = targets[plain]->logins.sliceRates;
        double mean = 0, squares = 0;
        for (double r : slices) mean += r / static_cast<double>(slices.size());
        for (double r : slices) squares += (r - mean) * (r - mean);
        double deviation = slices.size() > 1 ? std::sqrt(squares / static_cast<double>(slices.size() - 1)) : 0;
        double error = slices.empty() ? 0 : deviation / std::sqrt(static_cast<double>(slices.size()));
        std::printf("at %s accounts: login rate with /metrics scraped every 100 ms / without: %.3f (%.0f/s against "
                    "%.0f/s); the rate without varies by %.1f%% from slice to slice, %.1f%% standard error of its "
                    "mean (goal: no difference beyond that noise)\n",
                    withCommas(targets[i]->accounts).c_str(), ratio, rates[i], rates[plain],
                    mean > 0 ? 100 * deviation / mean : 0, mean > 0 ? 100 * error / mean : 0);
    }
    std::vector<size_t> plainTargets;
    for (size_t i = 0; i < targets.size(); ++i)
        if (targets[i]->plain()) plainTargets.push_back(i);
    if (plainTargets.size() >= 2) {
        auto byAccounts = [&](size_t a, size_t b) { return targets[a]->accounts < targets[b]->accounts; };
        size_t smallest = *std::min_element(plainTargets.begin(), plainTargets.end(), byAccounts);
        size_t largest = *std::max_element(plainTargets.begin(), plainTargets.end(), byAccounts);
        double ratio = rates[largest] > 0 ? rates[smallest] / rates[largest] : 0;
        std::printf("login rate at %s accounts / at %s accounts: %.2f (goal at most 1.20)\n",
                    withCommas(targets[smallest]->accounts).c_str(), withCommas(targets[largest]->accounts).c_str(),
                    ratio);
    }
    return 0;
}

}  // namespace loadgen
