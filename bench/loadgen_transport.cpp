// Load generator for the transport: 32 zones on loopback, each keeping
// three reliable datagrams in flight against an in-process server with its
// real UDP shell; then, on the same machine, a bare UDP echo server and
// client with the same number of sockets and datagrams in flight, as the
// limit the machine sets. Prints both rates and their ratio.
//
// usage: loadgen_transport [seconds per run, default 5] [connections, default 32]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/core_transport.h"
#include "net/udp_server.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace {

using zoneclient::Bytes;
using zoneclient::monotonicTick;

constexpr int kInFlight = 3;
// An application message of a core type nobody handles: the server
// acknowledges and ignores it, so only the transport is measured.
const Bytes kPayload = [] {
    Bytes b(32, 0x5A);
    b[0] = 0x00;
    b[1] = 0x0B;
    return b;
}();

// The next waiting datagram on a socket without waiting (no poll first).
std::optional<Bytes> receiveNow(int fd) {
    uint8_t buffer[600];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    return Bytes(buffer, buffer + n);
}

double transportRate(int connections, int seconds) {
    tallysv::SystemClock clock;
    tallysv::DiscardLog log;
    tallysv::Settings settings;
    settings.maxQueueForLogin = connections + 8;
    tallysv::UdpSocket socket;
    tallysv::Mutex lock;
    tallysv::CoreTransport transport(socket, clock, log, settings);
    tallysv::UdpServer server(transport, socket, lock, settings);
    std::string reason;
    if (tallysv::Status started = server.start(0); !started) {
        std::fprintf(stderr, "cannot start the server: %s\n", started.reason().c_str());
        std::exit(1);
    }
    uint16_t port = socket.boundPort();

    struct Zone {
        zoneclient::UdpClient client;
        std::unique_ptr<zoneclient::ZoneLink> link;
    };
    std::vector<std::unique_ptr<Zone>> zones;
    for (int i = 0; i < connections; ++i) {
        auto zone = std::make_unique<Zone>();
        if (!zone->client.open("127.0.0.1", port, reason)) {
            std::fprintf(stderr, "cannot open a zone socket: %s\n", reason.c_str());
            std::exit(1);
        }
        Zone* z = zone.get();
        zone->link = std::make_unique<zoneclient::ZoneLink>(
            [z](std::span<const uint8_t> d) { z->client.send(d); }, 1000 + i,
            zoneclient::ZoneLink::Options{kInFlight, 200});
        zones.push_back(std::move(zone));
    }
    std::vector<pollfd> fds;
    for (auto& z : zones) fds.push_back({z->client.descriptor(), POLLIN, 0});

    // Handshakes.
    uint32_t start = monotonicTick();
    for (auto& z : zones) z->link->connect();
    for (;;) {
        bool all = true;
        for (auto& z : zones) all = all && z->link->connected();
        if (all) break;
        if (monotonicTick() - start > 5000) {
            std::fprintf(stderr, "handshakes did not complete\n");
            std::exit(1);
        }
        ::poll(fds.data(), fds.size(), 50);
        for (size_t i = 0; i < zones.size(); ++i) {
            while (auto d = zones[i]->client.receive(0)) zones[i]->link->receive(*d, monotonicTick());
        }
    }

    auto topUp = [&](Zone& z, uint32_t tick) {
        while (z.link->inFlight() + z.link->waiting() < static_cast<size_t>(kInFlight)) {
            z.link->sendReliable(kPayload, tick);
        }
    };
    uint32_t begin = monotonicTick();
    for (auto& z : zones) topUp(*z, begin);
    uint64_t acknowledgedBefore = 0;
    for (auto& z : zones) acknowledgedBefore += z->link->acknowledged();
    uint32_t end = begin + static_cast<uint32_t>(seconds) * 1000u;
    uint32_t now = begin;
    while (static_cast<int32_t>(end - now) > 0) {
        ::poll(fds.data(), fds.size(), 10);
        now = monotonicTick();
        for (size_t i = 0; i < zones.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            while (auto d = receiveNow(fds[i].fd)) zones[i]->link->receive(*d, now);
            topUp(*zones[i], now);
        }
        for (auto& z : zones) z->link->maintain(now);
    }
    uint64_t acknowledged = 0, resends = 0;
    for (auto& z : zones) {
        acknowledged += z->link->acknowledged();
        resends += z->link->resends();
    }
    acknowledged -= acknowledgedBefore;
    server.stop();
    double elapsed = (now - begin) / 1000.0;
    std::printf("transport: %d connections x %d in flight: %llu reliable datagrams acknowledged in %.2f s "
                "(%llu resends)\n",
                connections, kInFlight, static_cast<unsigned long long>(acknowledged), elapsed,
                static_cast<unsigned long long>(resends));
    return acknowledged / elapsed;
}

double echoRate(int connections, int seconds) {
    int serverFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(serverFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("echo bind");
        std::exit(1);
    }
    socklen_t size = sizeof address;
    getsockname(serverFd, reinterpret_cast<sockaddr*>(&address), &size);
    std::atomic<bool> running{true};
    // Blocking reads with a short time-out, so the loop sees the end flag.
    timeval timeout{0, 50000};
    setsockopt(serverFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::thread echo([&] {
        uint8_t buffer[600];
        while (running.load()) {
            sockaddr_in from{};
            socklen_t fromSize = sizeof from;
            ssize_t n = ::recvfrom(serverFd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                   &fromSize);
            if (n > 0) ::sendto(serverFd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
        }
    });

    std::string reason;
    std::vector<std::unique_ptr<zoneclient::UdpClient>> clients;
    std::vector<pollfd> fds;
    for (int i = 0; i < connections; ++i) {
        auto c = std::make_unique<zoneclient::UdpClient>();
        if (!c->open("127.0.0.1", ntohs(address.sin_port), reason)) std::exit(1);
        fds.push_back({c->descriptor(), POLLIN, 0});
        clients.push_back(std::move(c));
    }
    // Same size as a reliable datagram with the payload above.
    Bytes datagram(kPayload.size() + 6, 0x5A);
    uint32_t begin = monotonicTick();
    for (auto& c : clients) {
        for (int k = 0; k < kInFlight; ++k) c->send(datagram);
    }
    uint64_t roundTrips = 0;
    uint32_t end = begin + static_cast<uint32_t>(seconds) * 1000u;
    uint32_t now = begin;
    while (static_cast<int32_t>(end - now) > 0) {
        ::poll(fds.data(), fds.size(), 10);
        now = monotonicTick();
        for (size_t i = 0; i < clients.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            while (receiveNow(fds[i].fd)) {
                ++roundTrips;
                clients[i]->send(datagram);
            }
        }
    }
    running.store(false);
    echo.join();
    ::close(serverFd);
    double elapsed = (now - begin) / 1000.0;
    std::printf("bare UDP echo: %d sockets x %d in flight: %llu round trips in %.2f s\n", connections, kInFlight,
                static_cast<unsigned long long>(roundTrips), elapsed);
    return roundTrips / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    int connections = argc > 2 ? std::atoi(argv[2]) : 32;
    if (seconds < 1) seconds = 1;
    if (connections < 1) connections = 1;
    double transport = transportRate(connections, seconds);
    double echo = echoRate(connections, seconds);
    std::printf("reliable datagrams acknowledged per second: %.0f\n", transport);
    std::printf("bare UDP echo round trips per second:       %.0f\n", echo);
    std::printf("ratio transport / echo:                     %.2f\n", echo > 0 ? transport / echo : 0.0);
    return 0;
}
