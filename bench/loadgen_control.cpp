// Load generator for the control socket: how long zone traffic may stall
// while many clients hammer the socket. It starts the real server binary
// in a folder of its own on a free loopback port, docks one zone with a few
// players, and has the zone send time-sync requests one after another (the
// receive thread answers each under the network's lock, as it handles all
// zone traffic), measuring each one's round trip. Meanwhile, in alternate
// one-second slices, 100 clients (tallysv-ctl's exchange, each a thread
// that connects, asks and reads the answer again and again) run in-game
// commands, status, players, zones and find through the socket. The round
// trips of the slices with and without the clients are reported side by
// side (p50, p99, p99.9 and the longest, the longest stall), with the
// requests the socket answered per second.
//
// usage: loadgen_control [--seconds S] [--clients N] [--server-bin PATH]
//
// S is the measured time of each of the two kinds of slice (default 5); the
// server binary defaults to ../tallysv next to this program.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// The server binary in its folder, its console in a file there; stopped with its
// quit key, it must end with status 0.
class ServerProcess {
public:
    ServerProcess(const std::string& binary, const std::filesystem::path& folder)
        : process_(binary, {}, folder.string(), (folder / "console.log").string()) {}
    bool consoleHas(const std::string& text) const { return process_.output().find(text) != std::string::npos; }
    void stop() {
        process_.send("q");
        if (process_.wait(std::chrono::minutes(3)) != 0) fail("the server did not stop in order");
    }

private:
    tallysv::testing::ChildProcess process_;
};

// One control client's exchange: connect, one request, the whole answer.
bool ask(const std::string& path, const std::string& request) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    bool whole = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    char buffer[8192];
    for (ssize_t n; whole && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return whole && answer.find("\n= 0\n") != std::string::npos;
}

struct Figures {
    std::vector<double> roundTrips;  // microseconds
    uint64_t answered = 0;
    uint64_t refused = 0;
    double seconds = 0;
};

double percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 5;
    int clients = 100;
    std::string serverBin = (std::filesystem::path(argv[0]).parent_path() / ".." / "tallysv").string();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--clients" && i + 1 < argc) {
            clients = std::atoi(argv[++i]);
        } else if (arg == "--server-bin" && i + 1 < argc) {
            serverBin = argv[++i];
        } else {
            std::fprintf(stderr, "usage: loadgen_control [--seconds S] [--clients N] [--server-bin PATH]\n");
            return 2;
        }
    }
    // The server starts in its own folder: its path must not depend on ours.
    serverBin = std::filesystem::absolute(serverBin).lexically_normal().string();
    try {
        // Under /tmp: the control socket's path must stay short.
        tallysv::testing::TempDir temp("/tmp");
        const std::filesystem::path& folder = temp.path();
        const auto port = static_cast<uint16_t>(tallysv::testing::freeUdpPort());
        std::ofstream(folder / "TALLYSV.INI") << "[Misc]\nPort=" << port
                                              << "\nAllowNewUsers=1\nSysopPassword=chief\nKickOutDelay=600000\n"
                                                 "[Comms]\nAskNewUsers=0\nPeriodicSave=3600000\n";
        const std::string socketPath = (folder / "tallysv.sock").string();
        ServerProcess server(serverBin, folder);
        for (uint32_t start = monotonicTick(); !std::filesystem::exists(socketPath);) {
            if (monotonicTick() - start > 30000) fail("the server made no control socket");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }

        // One zone with a few players (found by players and find).
        zoneclient::UdpClient udp;
        std::string reason;
        if (!udp.open("127.0.0.1", port, reason)) fail(reason);
        zoneclient::ZoneLink link([&udp](std::span<const uint8_t> d) { udp.send(d); }, 0x4242);
        auto pump = [&](int ms) {
            if (auto datagram = udp.receive(ms)) link.receive(*datagram, monotonicTick());
            link.maintain(monotonicTick());
        };
        for (uint32_t start = monotonicTick(); !link.connected();) {
            if (monotonicTick() - start > 10000) fail("no handshake");
            link.connect();
            pump(100);
        }
        link.sendReliable(zoneclient::zoneLogin(1, 1, "Probe zone", ""), monotonicTick());
        for (uint32_t start = monotonicTick(); !server.consoleHas("1 - Docking granted: Probe zone");) {
            if (monotonicTick() - start > 10000) fail("the zone was not docked");
            pump(10);
        }
        for (uint32_t id = 1; id <= 20; ++id) {
            zoneclient::PlayerLogin login;
            login.name = "Player" + std::to_string(id);
            login.password = "pw";
            login.playerId = id;
            login.address = {10, 9, static_cast<uint8_t>(id / 250), static_cast<uint8_t>(id % 250 + 1)};
            login.machineId = static_cast<int32_t>(500000 + id);
            link.sendReliable(zoneclient::playerLogin(login), monotonicTick());
        }
        for (uint32_t start = monotonicTick(); monotonicTick() - start < 1000;) pump(10);

        std::atomic<bool> hammering{false};
        std::atomic<bool> done{false};
        std::atomic<uint64_t> answered{0};
        std::atomic<uint64_t> refused{0};
        const std::vector<std::string> requests = {"run - ?listban\n", "status\n", "players\n", "zones\n",
                                                   "find Player7\n", "run - ?listop\n"};
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                for (size_t n = static_cast<size_t>(c); !done.load(); ++n) {
                    if (!hammering.load()) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                        continue;
                    }
                    ++(ask(socketPath, requests[n % requests.size()]) ? answered : refused);
                }
            });

        // Alternate slices, quiet first; the first of each kind warms up.
        Figures quiet, busy;
        uint32_t probe = 0;
        for (int slice = 0; slice < 2 * (seconds + 1); ++slice) {
            const bool busySlice = slice % 2 == 1;
            const bool counted = slice >= 2;
            Figures& figures = busySlice ? busy : quiet;
            hammering.store(busySlice);
            // The clients' requests of the last slice end, or the new ones begin.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const uint64_t answeredBefore = answered.load();
            const uint64_t refusedBefore = refused.load();
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
        link.disconnect();
        server.stop();

        std::printf("Zone time-sync round trips, %d s of each kind of slice (alternating), %d control clients:\n",
                    seconds, clients);
        std::printf("%-22s %8s %9s %9s %9s %10s %12s %9s\n", "", "probes", "p50 us", "p99 us", "p99.9 us",
                    "longest us", "requests/s", "refused");
        for (auto* row : {&quiet, &busy}) {
            std::vector<double>& trips = row->roundTrips;
            std::sort(trips.begin(), trips.end());
            std::printf("%-22s %8zu %9.0f %9.0f %9.0f %10.0f %12.0f %9llu\n",
                        row == &quiet ? "without clients" : "with the clients", trips.size(), percentile(trips, 0.5),
                        percentile(trips, 0.99), percentile(trips, 0.999), trips.empty() ? 0.0 : trips.back(),
                        static_cast<double>(row->answered) / std::max(row->seconds, 1.0),
                        static_cast<unsigned long long>(row->refused));
        }
        return 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "loadgen_control: %s\n", failure.why.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "loadgen_control: %s\n", error.what());
        return 1;
    }
}
