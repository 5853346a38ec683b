#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"
#include "zoneclient/datagrams.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

using namespace tallysv::testing;
using zoneclient::Bytes;

namespace {

const std::string kTransportServerBinary = std::string(TALLYSV_BIN_DIR) + "/tallysv";
const std::string kZone = std::string(TALLYSV_BIN_DIR) + "/tallysv-zone";

// The server binary in a folder of its own, on a free port.
struct RunningServer {
    RunningServer() : port(freeUdpPort()) {
        dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port) + "\n");
        process = std::make_unique<ChildProcess>(kTransportServerBinary, std::vector<std::string>{}, dir.str());
    }
    bool ready() { return process->waitForOutput("Reading TALLYSV.INI... Done.\n"); }
    TempDir dir;
    int port;
    std::unique_ptr<ChildProcess> process;
};

// A zone on loopback: the library's link over a UDP socket.
struct LoopbackZone {
    explicit LoopbackZone(int port, int32_t key) : link([this](std::span<const uint8_t> d) { client.send(d); }, key) {
        std::string reason;
        opened = client.open("127.0.0.1", static_cast<uint16_t>(port), reason);
    }
    // Runs the link until `done` holds or the limit passes.
    template <typename Done>
    bool until(Done done, uint32_t limitMs = 5000) {
        uint32_t start = zoneclient::monotonicTick();
        while (!done()) {
            if (zoneclient::monotonicTick() - start > limitMs) return false;
            if (auto d = client.receive(20)) link.receive(*d, zoneclient::monotonicTick());
            link.maintain(zoneclient::monotonicTick());
        }
        return true;
    }
    bool handshake() {
        uint32_t lastTry = zoneclient::monotonicTick() - 1000;
        return until([&] {
            if (zoneclient::monotonicTick() - lastTry >= 500) {
                link.connect();
                lastTry = zoneclient::monotonicTick();
            }
            return link.connected();
        });
    }
    std::string peer() const { return "127.0.0.1:" + std::to_string(client.localPort()); }

    zoneclient::UdpClient client;
    zoneclient::ZoneLink link;
    bool opened = false;
};

}  // namespace

TEST(TransportProcess, HandshakeEncryptedReliableExchangeAndDisconnectNotice) {
    RunningServer server;
    ASSERT_TRUE(server.ready()) << server.process->output();
    LoopbackZone zone(server.port, 0x2468);
    ASSERT_TRUE(zone.opened);
    ASSERT_TRUE(zone.handshake()) << server.process->output();
    EXPECT_EQ(zone.link.sessionKey(), -0x2468);
    ASSERT_TRUE(server.process->waitForOutput("Connection request from " + zone.peer() + "\n"));

    // Zone to server: an enciphered reliable message, acknowledged and
    // deciphered (its type and length are reported).
    zone.link.sendReliable(Bytes{0x21, 1, 2, 3}, zoneclient::monotonicTick());
    ASSERT_TRUE(zone.until([&] { return zone.link.acknowledged() == 1; }));
    ASSERT_TRUE(server.process->waitForOutput("-1 - Unhandled packet(33)(4)\n")) << server.process->output();

    // Server to zone: a faulty core datagram inside a reliable one makes the
    // server drop the zone with an enciphered reliable disconnect notice.
    zone.link.sendReliable(Bytes{0x00, 0x05, 1, 2}, zoneclient::monotonicTick());
    ASSERT_TRUE(zone.until([&] { return zone.link.disconnectedByServer(); })) << server.process->output();
    EXPECT_TRUE(server.process->waitForOutput("Malformed sync request from 127.0.0.1  Punt!\n"));

    // A zone's own disconnect notice.
    LoopbackZone second(server.port, 77);
    ASSERT_TRUE(second.handshake());
    second.link.disconnect();
    EXPECT_TRUE(server.process->waitForOutput("Connection termination from " + second.peer() + "  Bye!\n"))
        << server.process->output();

    server.process->send("q");
    EXPECT_EQ(server.process->wait(), 0) << server.process->output();
}

TEST(TransportProcess, HostListAndGoodbyeAtQuit) {
    RunningServer server;
    ASSERT_TRUE(server.ready()) << server.process->output();
    LoopbackZone zone(server.port, 99);
    ASSERT_TRUE(zone.handshake());
    server.process->send("l");
    EXPECT_TRUE(server.process->waitForOutput("Host list:\n" + zone.peer() + "\n\n")) << server.process->output();
    server.process->send("q");
    EXPECT_TRUE(zone.until([&] { return zone.link.disconnectedByServer(); }));
    EXPECT_EQ(server.process->wait(), 0) << server.process->output();
}

TEST(TransportProcess, PortInUseEndsTheServerWithStatusOne) {
    int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &size), 0);
    int port = ntohs(address.sin_port);

    TempDir dir;
    dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port) + "\n");
    ChildProcess server(kTransportServerBinary, {}, dir.str());
    EXPECT_EQ(server.wait(), 1) << server.output();
    EXPECT_NE(server.output().find("Cannot listen on UDP port " + std::to_string(port) + ": Address already in use\n"),
              std::string::npos)
        << server.output();
    ::close(blocker);
}

TEST(TransportProcess, ZoneSimulatorConnectsLogsInAndQuits) {
    if (!std::filesystem::exists(kZone)) GTEST_SKIP() << "tallysv-zone is not built";
    RunningServer server;
    ASSERT_TRUE(server.ready()) << server.process->output();
    TempDir dir;
    ChildProcess zone(kZone,
                      {"--server", "127.0.0.1:" + std::to_string(server.port), "--score-id", "5", "--group-id", "1",
                       "--name", "Test Zone", "--password", ""},
                      dir.str());
    ASSERT_TRUE(zone.waitForOutput("zone login sent as Test Zone (ScoreID 5, GroupID 1)\n")) << zone.output();
    EXPECT_NE(zone.output().find("(encrypted)"), std::string::npos) << zone.output();
    zone.send("quit\n");
    EXPECT_EQ(zone.wait(), 0) << zone.output();
    EXPECT_TRUE(server.process->waitForOutput("  Bye!\n")) << server.process->output();
    server.process->send("q");
    EXPECT_EQ(server.process->wait(), 0) << server.process->output();
}

TEST(TransportProcess, ZoneSimulatorSaysWhenNoServerAnswers) {
    if (!std::filesystem::exists(kZone)) GTEST_SKIP() << "tallysv-zone is not built";
    TempDir dir;
    ChildProcess zone(kZone, {"--server", "127.0.0.1:" + std::to_string(freeUdpPort()), "--score-id", "5",
                              "--group-id", "1", "--name", "Z", "--password", "p"},
                      dir.str());
    EXPECT_EQ(zone.wait(std::chrono::seconds(20)), 1) << zone.output();
    EXPECT_NE(zone.output().find("server is not answering"), std::string::npos) << zone.output();
}

TEST(TransportProcess, ZoneSimulatorSaysWhenTheServerRefusesTheZone) {
    if (!std::filesystem::exists(kZone)) GTEST_SKIP() << "tallysv-zone is not built";
    TempDir dir;
    int port = freeUdpPort();
    dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port) + "\nBillingPassword=network\n");
    ChildProcess server(kTransportServerBinary, {}, dir.str());
    ASSERT_TRUE(server.waitForOutput("Reading TALLYSV.INI... Done.\n")) << server.output();
    TempDir zoneDir;
    ChildProcess zone(kZone,
                      {"--server", "127.0.0.1:" + std::to_string(port), "--score-id", "5", "--group-id", "1", "--name",
                       "Wrong", "--password", "guess"},
                      zoneDir.str());
    EXPECT_EQ(zone.wait(), 1) << zone.output();
    EXPECT_NE(zone.output().find("server closed the connection: the zone was refused or dropped\n"), std::string::npos)
        << zone.output();
    server.send("q");
    EXPECT_EQ(server.wait(), 0) << server.output();
}
