// Load generator for player logins. For each database size it builds a
// folder with that many accounts, starts the real server binary there on a
// free loopback port, and logs players in and out through several zones,
// each keeping a few logins in flight: a player login (an existing account
// picked at random, the right password, an address of its own), the
// server's acknowledgement, the login reply, the zone's acknowledgement; the
// player's leaving travels in the same datagram as the next login. It
// reports logins per second and the latency from sending a login to
// receiving its reply.
//
// The zones read and send several datagrams per system call, as a busy
// zone may (with --plain-zones one, like the plain bare exchange's clients).
//
// In the same run a bare UDP server and clients do the same exchange
// (request, acknowledgement, reply, acknowledgement) with datagrams of the
// same sizes and no work at all: the rate the machine allows. There are two
// of them: one makes a system call per datagram on both sides, the other
// reads and sends several per call on both sides, like the server and the
// zones. The servers of every size and the bare exchanges are measured in
// turns, one-second slices in a rotating order, so that a busy machine
// skews none of them; the comparisons are also printed round by round, so
// that their spread shows how much the machine's other load moved them.
//
// usage: loadgen_login [--benchmarks=NAME,...] [--accounts N]... [--seconds S] [--zones Z]
//                      [--window W] [--separate-leaving] [--periodic-save MS] [--compare-bin PATH]
//                      [--server-bin PATH] [--chat MEMBERS_PER_ZONE] [--plain-zones]
//
// The measurements are named in --benchmarks (see kBenchmarks below); the
// servers of one size are prepared and taken in turns in the order named,
// the bare exchanges after them. Without it: logins,bare,batched; the older
// switches still choose as they did: --periodic-save adds saving (and
// compared with --compare-bin), --scrape-metrics adds scraped, --chat MEMBERS
// measures chat instead of logins, --hashing measures hashing alone.
//
// Without --accounts it runs 1,000 and 1,000,000 accounts and prints the
// ratio of the two login rates. --seconds is the measured time of each
// (default 10). --separate-leaving sends each leaving in a reliable datagram
// of its own (and the bare request is then the size of a lone login). The
// server binary defaults to ../tallysv next to this program (the build
// folder).
//
// "saving" measures, beside each server, one that saves every
// --periodic-save milliseconds (default 1,000) while measured: the login
// latency of both (p50, p99, p99.9, longest), of the logins in flight while
// a save was being written, and the memory of the server and its writing
// process together against the server's own. "compared" is the same saving
// server run from --compare-bin (an earlier build, say). "scraped" is, for
// every size, a server with its status pages on whose /metrics a scraper
// asks every 100 ms for the whole run, beside the one without: both login
// rates, their ratio and the slice-to-slice spread of the rate without,
// from the one run.
//
// "chat" measures chat instead of logins, at one database size: --chat
// players (default 4) of every zone log in and join one channel, and every
// zone keeps --window lines on their way, each said by its next member in
// turn; a line is done when every other member has it. It reports lines
// delivered per second (one line to one member is one delivery) and the
// server's processor time per delivered line, beside the bare exchanges.
//
// "hashing" measures PasswordHashing instead, on its own: the time of one
// Argon2id hash and check here, then two servers, hashing off and on, each
// with 200 accounts (their passwords scrambled, or hashed): logins per
// second of new accounts and of returning ones, and the longest stall of
// chat relayed between two other zones while a third zone floods wrong
// passwords from 1,000 addresses, side by side. --seconds is the time of
// each figure.
//
// "hostile" measures, on its own, what a zone that holds the zone password
// can do to the others (see hostile.cpp): honest logins and a hashed zone
// login during wrong-password floods, the guesses checked per account per
// minute, logins while operators' whois lookups hang, memory around a
// whois reply that never ends, and returning players' login rates with and
// without the verifier cache; on the server binary and, side by side, on
// --compare-bin. From the top of the source tree every figure comes from
//
//   build/bench/loadgen_login --benchmarks=hostile --server-bin build/tallysv
//                             --compare-bin OLD/build/tallysv
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <sstream>
#include <string>

#include "loadgen/loadgen.h"
#include "loadgen/runs.h"

namespace loadgen {
namespace {

struct Benchmark {
    const char* name;
    const char* what;
};

constexpr Benchmark kBenchmarks[] = {
    {"logins", "player logins, a server per --accounts size"},
    {"saving", "the same beside it, saving every --periodic-save ms"},
    {"compared", "the saving server run from --compare-bin"},
    {"scraped", "the same beside it, its /metrics asked every 100 ms"},
    {"chat", "chat on one channel instead of logins, --chat members per zone"},
    {"bare", "the bare UDP exchange, a system call per datagram"},
    {"batched", "the bare UDP exchange, several datagrams per call"},
    {"hashing", "PasswordHashing off and on side by side (on its own)"},
    {"hostile", "a hostile zone against the others, beside --compare-bin (on its own)"},
};

constexpr int kDefaultPeriodicSave = 1000;
constexpr int kDefaultChatMembers = 4;

std::string defaultServerBin() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "tallysv";
    return (self.parent_path().parent_path() / "tallysv").string();
}

int parsePositive(const char* text, const char* what) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 100000000) fail(std::string("bad value for ") + what + ": " + text);
    return static_cast<int>(v);
}

std::vector<std::string> parseNames(const std::string& list) {
    std::vector<std::string> names;
    std::stringstream items(list);
    std::string name;
    while (std::getline(items, name, ',')) {
        bool known = std::any_of(std::begin(kBenchmarks), std::end(kBenchmarks),
                                 [&](const Benchmark& b) { return name == b.name; });
        if (!known) fail("no measurement named \"" + name + "\"");
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    if (names.empty()) fail("--benchmarks names no measurement");
    return names;
}

int usage() {
    std::fprintf(stderr,
                 "usage: loadgen_login [--benchmarks=NAME,...] [--accounts N]... [--seconds S] [--zones Z]\n"
                 "                     [--window W] [--separate-leaving] [--periodic-save MS] [--compare-bin PATH]\n"
                 "                     [--server-bin PATH] [--chat MEMBERS_PER_ZONE] [--plain-zones]\n"
                 "measurements (default logins,bare,batched):\n");
    for (const Benchmark& b : kBenchmarks) std::fprintf(stderr, "  %-9s %s\n", b.name, b.what);
    return 2;
}

// A binary the server is started from in its own folder: its path must not
// depend on ours.
std::string checkedBinary(const std::string& path) {
    std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
    if (::access(absolute.c_str(), X_OK) != 0) fail("no server binary at " + path);
    return absolute;
}

int run(int argc, char** argv) {
    Options options;
    bool named = false;
    bool scrapeMetrics = false, hashing = false;  // the older switches
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg.rfind("--benchmarks=", 0) == 0) {
            options.benchmarks = parseNames(arg.substr(13));
            named = true;
        } else if (arg == "--benchmarks" && hasValue) {
            options.benchmarks = parseNames(argv[++i]);
            named = true;
        } else if (arg == "--accounts" && hasValue) {
            options.accounts.push_back(parsePositive(argv[++i], "--accounts"));
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::min(parsePositive(argv[++i], "--seconds"), 120);
        } else if (arg == "--zones" && hasValue) {
            options.zones = std::min(parsePositive(argv[++i], "--zones"), 40);
        } else if (arg == "--window" && hasValue) {
            options.window = std::min(parsePositive(argv[++i], "--window"), 64);
        } else if (arg == "--chat" && hasValue) {
            options.chatMembers = std::min(parsePositive(argv[++i], "--chat"), 64);
        } else if (arg == "--plain-zones") {
            options.plainZones = true;
        } else if (arg == "--separate-leaving") {
            options.separateLeaving = true;
        } else if (arg == "--periodic-save" && hasValue) {
            options.periodicSave = parsePositive(argv[++i], "--periodic-save");
        } else if (arg == "--compare-bin" && hasValue) {
            options.compareBin = argv[++i];
        } else if (arg == "--server-bin" && hasValue) {
            options.serverBin = argv[++i];
        } else if (arg == "--scrape-metrics") {
            scrapeMetrics = true;
        } else if (arg == "--hashing") {
            hashing = true;
        } else {
            return usage();
        }
    }
    if (!named) {
        // What the switches chose before measurements had names.
        if (hashing) {
            options.benchmarks = {"hashing"};
        } else if (options.chatMembers > 0) {
            options.benchmarks = {"chat", "bare", "batched"};
        } else {
            options.benchmarks = {"logins"};
            if (options.periodicSave > 0) options.benchmarks.push_back("saving");
            if (options.periodicSave > 0 && !options.compareBin.empty()) options.benchmarks.push_back("compared");
            if (scrapeMetrics) options.benchmarks.push_back("scraped");
            options.benchmarks.push_back("bare");
            options.benchmarks.push_back("batched");
        }
    } else if (hashing || scrapeMetrics) {
        fail("--hashing and --scrape-metrics are names in --benchmarks: hashing, scraped");
    }
    const bool servers = options.measures("logins") || options.measures("saving") || options.measures("compared") ||
                         options.measures("scraped");
    if (options.measures("hashing") && options.benchmarks.size() > 1) fail("hashing is measured on its own");
    if (options.measures("hostile") && options.benchmarks.size() > 1) fail("hostile is measured on its own");
    if (options.measures("chat") && servers) fail("chat is measured instead of logins, not beside them");
    if (options.measures("compared") && options.compareBin.empty()) fail("compared needs --compare-bin");
    if (options.periodicSave == 0) options.periodicSave = kDefaultPeriodicSave;

    if (options.accounts.empty()) options.accounts = {1000, 1000000};
    if (options.measures("chat")) {
        // Chat is measured on one database size, without saves.
        if (options.chatMembers == 0) options.chatMembers = kDefaultChatMembers;
        options.accounts.resize(1);
        options.accounts[0] = std::max(options.accounts[0], options.chatMembers * options.zones);
    }
    options.serverBin = checkedBinary(options.serverBin.empty() ? defaultServerBin() : options.serverBin);
    if (!options.compareBin.empty()) options.compareBin = checkedBinary(options.compareBin);
    ::signal(SIGPIPE, SIG_IGN);
    if (options.measures("hashing")) return runHashing(options);
    if (options.measures("hostile")) return runHostile(options);
    return runLogins(options);
}

}  // namespace
}  // namespace loadgen

int main(int argc, char** argv) {
    try {
        return loadgen::run(argc, argv);
    } catch (const loadgen::Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "loadgen_login: %s\n", failure.why.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "loadgen_login: %s\n", error.what());
        return 1;
    }
}
