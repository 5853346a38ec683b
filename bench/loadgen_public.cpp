// Load generator for the players' site at the scale of a large network.
// It builds a data folder of ACCOUNTS accounts (default 1,000,000), each
// with a score set in the main score group (ScoreID 1) and in one of the
// GROUPS - 1 others (default 10 groups in all), squads among them; starts
// the real server binary on it with the site on a free loopback port, and
// measures:
//   - how long the site takes to read the folder after the start;
//   - the time of the first page of the main score table and of page 5,000
//     (ranks 499,901 to 500,000), and of a player page, one request at a
//     time;
//   - player pages answered per second, by CLIENTS clients at once;
//   - the longest stall of zone traffic while CLIENTS clients (default 100)
//     fetch pages (score tables, player pages, squads, the network page),
//     against the same run without them: a docked zone sends time-sync
//     requests one after another and each round trip is timed, in
//     alternating one-second slices with and without the clients, as
//     loadgen_control does for the control socket;
// then stops the server and exports the folder with `tallysv-db export
// --sqlite` (its progress bar on the terminal), giving its time and size.
//
// usage: loadgen_public [--accounts N] [--groups G] [--clients N] [--seconds S]
//                       [--server-bin PATH] [--db-bin PATH]
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "support/played_folder.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using zoneclient::monotonicTick;

struct Failure {
    std::string why;
};
[[noreturn]] void fail(const std::string& why) { throw Failure{why}; }

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// One GET over a connection of its own; the status code, 0 when there was
// no answer.
int httpGet(uint16_t port, const std::string& path, size_t* bytes = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return 0;
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return 0;
    }
    std::string answer;
    char buffer[16384];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    if (bytes) *bytes = answer.size();
    if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0) return 0;
    return std::atoi(answer.c_str() + 9);
}

std::string playerPath(size_t i) {
    std::string name = tallysv::testing::playedName(i * 7919 % 8000) + "%20" + std::to_string(i);
    return "/player?name=" + name;
}

struct Timing {
    double median = 0, longest = 0;
};

// `count` requests one after another, each timed.
Timing timeRequests(uint16_t port, const std::function<std::string(int)>& path, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto start = SteadyClock::now();
        if (httpGet(port, path(i)) != 200) fail("no page at " + path(i));
        ms.push_back(secondsSince(start) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

double percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    size_t accounts = 1000000;
    int groups = 10;
    int clients = 100;
    int seconds = 5;
    const std::filesystem::path here = std::filesystem::path(argv[0]).parent_path();
    std::string serverBin = (here / ".." / "tallysv").string();
    std::string dbBin = (here / ".." / "tallysv-db").string();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--accounts" && i + 1 < argc) accounts = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--groups" && i + 1 < argc) groups = std::atoi(argv[++i]);
        else if (arg == "--clients" && i + 1 < argc) clients = std::atoi(argv[++i]);
        else if (arg == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
        else if (arg == "--server-bin" && i + 1 < argc) serverBin = argv[++i];
        else if (arg == "--db-bin" && i + 1 < argc) dbBin = argv[++i];
        else {
            std::fprintf(stderr, "usage: loadgen_public [--accounts N] [--groups G] [--clients N] [--seconds S] "
                                 "[--server-bin PATH] [--db-bin PATH]\n");
            return 2;
        }
    }
    serverBin = std::filesystem::absolute(serverBin).lexically_normal().string();
    dbBin = std::filesystem::absolute(dbBin).lexically_normal().string();
    try {
        tallysv::testing::TempDir temp("/tmp");
        const std::filesystem::path& folder = temp.path();
        auto start = SteadyClock::now();
        {
            tallysv::Settings settings;
            tallysv::SystemClock clock;
            tallysv::DiscardLog log;
            tallysv::Database db(settings, clock, log, folder.string());
            tallysv::testing::PlayedFolderShape shape;
            shape.accounts = accounts;
            shape.scoreGroups = groups;
            shape.squads = accounts / 100;
            shape.now = clock.now();
            shape.spanSeconds = 365 * 86400;
            shape.shortNames = false;
            tallysv::testing::fillPlayedDatabase(db, shape);
            if (!db.save()) fail("the folder could not be saved");
            std::printf("folder: %zu accounts, %zu score sets in %d groups, %zu squads; made and saved in %.1f s\n",
                        db.users().count(), db.scores().count(), groups, db.squads().count(), secondsSince(start));
        }
        const auto port = static_cast<uint16_t>(tallysv::testing::freeUdpPort());
        std::ofstream(folder / "TALLYSV.INI") << "[Misc]\nPort=" << port
                                              << "\nPublicListen=127.0.0.1:0\nKickOutDelay=600000\n"
                                                 "[Comms]\nAskNewUsers=0\nPeriodicSave=3600000\n";
        start = SteadyClock::now();
        tallysv::testing::ChildProcess server(serverBin, {}, folder.string(), (folder / "console.log").string());
        uint16_t sitePort = 0;
        while (sitePort == 0) {
            if (secondsSince(start) > 300) fail("the server did not start its site");
            std::ifstream console(folder / "console.log");
            std::string text((std::istreambuf_iterator<char>(console)), std::istreambuf_iterator<char>());
            const size_t at = text.find("Players' site on http://127.0.0.1:");
            if (at != std::string::npos && text.find('/', at + 34) != std::string::npos)
                sitePort = static_cast<uint16_t>(std::atoi(text.c_str() + at + 34));
            else std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const double serverStart = secondsSince(start);
        while (httpGet(sitePort, "/index.json") != 200) {
            if (secondsSince(start) > 600) fail("the site did not read the folder");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::printf("server started (folder loaded) in %.1f s; the site had read the folder %.1f s after the start\n",
                    serverStart, secondsSince(start));

        // The zone whose traffic is timed.
        zoneclient::UdpClient udp;
        std::string reason;
        if (!udp.open("127.0.0.1", port, reason)) fail(reason);
        zoneclient::ZoneLink link([&udp](std::span<const uint8_t> d) { udp.send(d); }, 0x4243);
        auto pump = [&](int ms) {
            if (auto datagram = udp.receive(ms)) link.receive(*datagram, monotonicTick());
            link.maintain(monotonicTick());
        };
        for (uint32_t begun = monotonicTick(); !link.connected();) {
            if (monotonicTick() - begun > 10000) fail("no handshake");
            link.connect();
            pump(100);
        }
        link.sendReliable(zoneclient::zoneLogin(1, 1, "Probe zone", ""), monotonicTick());
        for (uint32_t id = 1; id <= 20; ++id) {
            zoneclient::PlayerLogin login;
            login.name = tallysv::testing::playedName(id * 7919 % 8000) + " " + std::to_string(id);
            login.password = "pw";
            login.playerId = id;
            login.address = {10, 9, 0, static_cast<uint8_t>(id)};
            login.machineId = static_cast<int32_t>(500000 + id);
            link.sendReliable(zoneclient::playerLogin(login), monotonicTick());
        }
        for (uint32_t begun = monotonicTick(); monotonicTick() - begun < 2000;) pump(10);

        const int rows = 100;
        const size_t lastPage = accounts / rows;
        const size_t deepPage = std::min<size_t>(5000, lastPage);
        Timing firstPage = timeRequests(sitePort, [](int i) { return "/scores/1?by=" + std::to_string(i % 5 + 1); }, 50);
        Timing page5000 = timeRequests(
            sitePort, [&](int i) { return "/scores/1?by=" + std::to_string(i % 5 + 1) + "&page=" + std::to_string(deepPage); }, 50);
        Timing player = timeRequests(sitePort, [&](int i) { return playerPath(static_cast<size_t>(i) * 19997 % accounts); }, 200);
        size_t pageBytes = 0;
        httpGet(sitePort, "/scores/1?page=" + std::to_string(deepPage), &pageBytes);
        std::printf("score table ScoreID 1 (%zu players), one request at a time (ms):\n", accounts);
        std::printf("  first page              median %7.2f  longest %7.2f\n", firstPage.median, firstPage.longest);
        std::printf("  page %-5zu              median %7.2f  longest %7.2f  (%zu bytes)\n", deepPage, page5000.median,
                    page5000.longest, pageBytes);
        std::printf("  player page             median %7.2f  longest %7.2f\n", player.median, player.longest);

        // Player pages per second from many clients at once.
        {
            std::atomic<bool> done{false};
            std::atomic<uint64_t> answered{0}, refused{0};
            std::vector<std::thread> threads;
            for (int c = 0; c < clients; ++c)
                threads.emplace_back([&, c] {
                    for (size_t n = static_cast<size_t>(c) * 7777; !done.load(); n += 104729)
                        ++(httpGet(sitePort, playerPath(n % accounts)) == 200 ? answered : refused);
                });
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const uint64_t before = answered.load(), refusedBefore = refused.load();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            const uint64_t got = answered.load() - before, lost = refused.load() - refusedBefore;
            done.store(true);
            for (std::thread& t : threads) t.join();
            std::printf("player pages, %d clients at once: %.0f answered/s (%.0f/s refused with 503)\n", clients,
                        static_cast<double>(got) / seconds, static_cast<double>(lost) / seconds);
        }

        // Zone traffic with and without the clients.
        std::atomic<bool> fetching{false};
        std::atomic<bool> done{false};
        std::atomic<uint64_t> answered{0}, refused{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                for (size_t n = static_cast<size_t>(c); !done.load(); ++n) {
                    if (!fetching.load()) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                        continue;
                    }
                    std::string path;
                    switch (n % 5) {
                        case 0: path = "/scores/" + std::to_string(n % groups + 1) + "?page=" + std::to_string(n % 900 + 1); break;
                        case 1: path = playerPath(n * 7919 % accounts); break;
                        case 2: path = "/squads?page=" + std::to_string(n % 50 + 1); break;
                        case 3: path = "/"; break;
                        default: path = "/search?q=Ka"; break;
                    }
                    ++(httpGet(sitePort, path) == 200 ? answered : refused);
                }
            });
        struct Figures {
            std::vector<double> roundTrips;  // microseconds
            uint64_t answered = 0, refused = 0;
            double seconds = 0;
        } quiet, busy;
        uint32_t probe = 0;
        for (int slice = 0; slice < 2 * (seconds + 1); ++slice) {
            const bool busySlice = slice % 2 == 1;
            const bool counted = slice >= 2;
            Figures& figures = busySlice ? busy : quiet;
            fetching.store(busySlice);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const uint64_t answeredBefore = answered.load(), refusedBefore = refused.load();
            const auto sliceStart = SteadyClock::now();
            while (SteadyClock::now() - sliceStart < std::chrono::seconds(1)) {
                ++probe;
                const auto sent = SteadyClock::now();
                link.sendSyncRequest(probe);
                for (;;) {
                    if (SteadyClock::now() - sent > std::chrono::seconds(5)) fail("a sync request went unanswered");
                    pump(5);
                    auto reply = link.lastSyncReply();
                    if (reply && reply->first == probe) break;
                }
                const double us = std::chrono::duration<double, std::micro>(SteadyClock::now() - sent).count();
                if (counted) figures.roundTrips.push_back(us);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            if (counted) {
                figures.seconds += 1;
                figures.answered += answered.load() - answeredBefore;
                figures.refused += refused.load() - refusedBefore;
            }
        }
        done.store(true);
        for (std::thread& t : threads) t.join();
        std::printf("zone time-sync round trips, %d s of each kind of slice (alternating), %d web clients:\n", seconds,
                    clients);
        std::printf("%-22s %8s %9s %9s %9s %10s %10s %10s\n", "", "probes", "p50 us", "p99 us", "p99.9 us",
                    "longest us", "pages/s", "503/s");
        for (auto* row : {&quiet, &busy}) {
            std::vector<double>& trips = row->roundTrips;
            std::sort(trips.begin(), trips.end());
            std::printf("%-22s %8zu %9.0f %9.0f %9.0f %10.0f %10.0f %10.0f\n",
                        row == &quiet ? "without clients" : "with the clients", trips.size(), percentile(trips, 0.5),
                        percentile(trips, 0.99), percentile(trips, 0.999), trips.empty() ? 0.0 : trips.back(),
                        static_cast<double>(row->answered) / std::max(row->seconds, 1.0),
                        static_cast<double>(row->refused) / std::max(row->seconds, 1.0));
        }
        link.disconnect();
        server.send("q");
        if (server.wait(std::chrono::minutes(5)) != 0) fail("the server did not stop in order");

        // The export, its progress bar on this terminal.
        const std::string file = (folder / "network.sqlite").string();
        start = SteadyClock::now();
        const std::string command = "'" + dbBin + "' export --sqlite '" + file + "' '" + folder.string() + "'";
        if (std::system(command.c_str()) != 0) fail("the export failed");
        const double exportSeconds = secondsSince(start);
        std::printf("export --sqlite: %.1f s, %.1f MB\n", exportSeconds,
                    static_cast<double>(std::filesystem::file_size(file)) / 1e6);
        return 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "loadgen_public: %s\n", failure.why.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "loadgen_public: %s\n", error.what());
        return 1;
    }
}
