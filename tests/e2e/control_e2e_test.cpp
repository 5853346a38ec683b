#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/control_protocol.h"
#include "control/control_server.h"
#include "core/clock.h"
#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

// Runs tallysv-ctl in the server's folder; its exit status and output.
struct CtlResult {
    std::optional<int> status;
    std::string output;
};
// Waits until the socket file is there (the server makes it at start).
bool socketAppears(const std::filesystem::path& path) {
    for (int i = 0; i < 500; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

CtlResult ctl(const TempDir& dir, const std::vector<std::string>& args) {
    ChildProcess child(kBinDir + "/tallysv-ctl", args, dir.str());
    child.closeInput();
    CtlResult result;
    result.status = child.wait(std::chrono::seconds(20));
    result.output = child.output();
    return result;
}

// tallysv-ctl run - with `input` on its standard input.
CtlResult ctlWithInput(const TempDir& dir, const std::vector<std::string>& args, const std::string& input) {
    ChildProcess child(kBinDir + "/tallysv-ctl", args, dir.str());
    child.send(input);
    child.closeInput();
    CtlResult result;
    result.status = child.wait(std::chrono::seconds(20));
    result.output = child.output();
    return result;
}

TEST(ControlSocketEndToEnd, ACommandWithAPasswordComesOnStandardInput) {
    ZoneNetwork network;
    network.startServer();
    ASSERT_TRUE(socketAppears(network.dir().path() / "tallysv.sock")) << network.server().output();

    // One line, its line feed dropped; what follows it is not read.
    CtlResult result = ctlWithInput(network.dir(), {"run", "-"}, "?adduser Carol:Secret9\n?adduser Dave:pw\n");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "User added\n");
    // A last line without a line feed is a line too.
    result = ctlWithInput(network.dir(), {"run", "-"}, "?info Carol");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output.find("not found"), std::string::npos) << result.output;
    result = ctlWithInput(network.dir(), {"run", "-"}, "?info Dave\n");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Specified user was not found in the database\n");

    // The password is nowhere but in the account.
    EXPECT_TRUE(network.server().waitForOutput(">?adduser Carol:********\n")) << network.server().output();
    EXPECT_EQ(network.server().output().find("Secret9"), std::string::npos);
    const std::string audit = network.dir().read("audit.log");
    EXPECT_NE(audit.find("\"command\":\"?adduser Carol:********\""), std::string::npos) << audit;
    EXPECT_EQ(audit.find("Secret9"), std::string::npos) << audit;

    // Nothing to read, or no command: usage errors, and nothing is sent.
    result = ctlWithInput(network.dir(), {"run", "-"}, "");
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_EQ(result.output, "tallysv-ctl: no command on standard input\n");
    result = ctlWithInput(network.dir(), {"run", "-"}, "adduser Eve:pw\n");
    EXPECT_EQ(result.status, 2) << result.output;
    result = ctlWithInput(network.dir(), {"run", "-"}, std::string(5000, '?') + "\n");
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_EQ(result.output, "tallysv-ctl: the command is too long\n");
    network.stopServer();
}

// A server that has no room for another client answers "busy" and closes,
// maybe before the client could send its request: the client says busy
// and exits 4 all the same, never "no server" (3).
TEST(ControlSocketEndToEnd, AClientBeyondTheBoundIsToldBusyNotNoServer) {
    TempDir dir;
    const std::string path = (dir.path() / "full.sock").string();
    using namespace tallysv;
    SystemClock clock;
    // The held clients send nothing: they must outlast the test.
    ControlServer server(clock, ControlLimits{ControlLimits{}.connections, 600000});
    std::string reason;
    ASSERT_EQ(server.claim(path, reason), ControlServer::Claim::Ready) << reason;
    server.start([](const ControlRequest&, const ControlPeer&) { return ControlAnswer{}; });
    std::vector<int> held;
    for (size_t i = 0; i < ControlLimits{}.connections; ++i) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << i;
        held.push_back(fd);
    }
    for (int i = 0; i < 500 && server.connections() < held.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.connections(), held.size());
    // Each try races the server's close against the client's send.
    for (int attempt = 0; attempt < 10; ++attempt) {
        CtlResult result = ctl(dir, {"--socket", path, "status"});
        EXPECT_EQ(result.status, 4) << result.output;
        EXPECT_EQ(result.output, "tallysv-ctl: busy: too many connections, try again\n");
    }
    for (int fd : held) ::close(fd);
    server.stop();
}

TEST(ControlSocketEndToEnd, BanFromTheShellKicksThePlayerAndIsListedInHisZone) {
    ZoneNetwork network("SysopPassword=chief\n");
    network.startServer();
    auto zone = network.zone(1, "North");
    zone->send("player Op secret --ip 10.1.1.1 --machine-id 500001\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
    zone->send("player Bob pw --ip 10.2.2.2 --machine-id 500002\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 2: result 6")) << zone->output();

    CtlResult result = ctl(network.dir(), {"run", "?ban -d=7 Bob"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Ban # 1 added network-wide. Duration: 7 day(s).\n");
    EXPECT_TRUE(zone->waitForOutput("server: kick player 2")) << zone->output();
    EXPECT_TRUE(network.server().waitForOutput(">?ban -d=7 Bob\n")) << network.server().output();
    // The audit log has it, with the caller's user, before the reply left.
    const std::string audit = network.dir().read("audit.log");
    EXPECT_NE(audit.find("\"command\":\"?ban -d=7 Bob\""), std::string::npos) << audit;
    EXPECT_NE(audit.find("\"uid\":" + std::to_string(::getuid())), std::string::npos) << audit;
    EXPECT_NE(audit.find("\"outcome\":\"Ban # 1 added network-wide. Duration: 7 day(s).\""), std::string::npos)
        << audit;

    zone->send("cmd Op ?login chief\n");
    ASSERT_TRUE(zone->waitForOutput("Successfully logged on as Network-wide level 0")) << zone->output();
    zone->send("cmd Op ?listban\n");
    EXPECT_TRUE(zone->waitForOutput("Bob")) << zone->output();

    // JSON lines, and text that matches no command.
    result = ctl(network.dir(), {"--json", "run", "?version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.rfind("{\"reply\":\"Tallysv pre-release. Build 11\"}\n", 0), 0u) << result.output;
    result = ctl(network.dir(), {"run", "?nosuchcommand"});
    EXPECT_EQ(result.status, 1) << result.output;

    zone->send("quit\n");
    zone->wait();
    network.stopServer();
    EXPECT_FALSE(std::filesystem::exists(network.dir().path() / "tallysv.sock"));
}

TEST(ControlSocketEndToEnd, AServerWithNoZoneAnswersSavesAndReloads) {
    ZoneNetwork network;
    network.startServer();
    ASSERT_TRUE(socketAppears(network.dir().path() / "tallysv.sock")) << network.server().output();

    CtlResult result = ctl(network.dir(), {"zones"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");
    result = ctl(network.dir(), {"status"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("\"zones\":[]"), std::string::npos) << result.output;

    std::filesystem::remove(network.dir().path() / "User.dat");
    result = ctl(network.dir(), {"save"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Please wait...\nDatabase stored to disk\n");
    EXPECT_TRUE(std::filesystem::exists(network.dir().path() / "User.dat"));

    // reload and SIGHUP re-read the settings as ?read does.
    result = ctl(network.dir(), {"reload"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Please wait...\nSettings loaded from disk\n");
    network.server().signal(SIGHUP);
    auto readings = [&] {
        std::string out = network.server().output();
        size_t n = 0;
        for (size_t at = out.find("Reading TALLYSV.INI"); at != std::string::npos; at = out.find("Reading TALLYSV.INI", at + 1))
            ++n;
        return n;
    };
    for (int i = 0; i < 200 && readings() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(readings(), 3u) << network.server().output();

    result = ctl(network.dir(), {"--socket", "nothing-here.sock", "status"});
    EXPECT_EQ(result.status, 3) << result.output;
    result = ctl(network.dir(), {"frobnicate"});
    EXPECT_EQ(result.status, 2) << result.output;
    network.stopServer();
}

TEST(ControlSocketEndToEnd, ASecondServerOnALiveSocketStopsAStaleOneIsReplaced) {
    TempDir shared;
    const std::string socket = (shared.path() / "ctl.sock").string();
    ZoneNetwork first("ControlSocket=" + socket + "\n");
    first.startServer();
    ASSERT_TRUE(socketAppears(socket)) << first.server().output();

    ZoneNetwork second("ControlSocket=" + socket + "\n");
    ChildProcess refused(kBinDir + "/tallysv", {}, second.dir().str());
    EXPECT_EQ(refused.wait(), 1) << refused.output();
    EXPECT_NE(refused.output().find("Control socket " + socket + ": a running server answers there; stopping"),
              std::string::npos)
        << refused.output();
    EXPECT_FALSE(std::filesystem::exists(second.dir().path() / "User.dat"));
    EXPECT_EQ(ctl(first.dir(), {"--socket", socket, "zones"}).status, 0);

    // Killed, the first server leaves its socket file behind; the next one
    // takes its place.
    first.server().signal(SIGKILL);
    first.server().wait();
    ASSERT_TRUE(std::filesystem::exists(socket));
    ChildProcess next(kBinDir + "/tallysv", {}, second.dir().str());
    ASSERT_TRUE(next.waitForOutput("Reading TALLYSV.INI... Done.\n")) << next.output();
    // Until the new server has made its socket, the stale file refuses.
    std::optional<int> status;
    for (int i = 0; i < 100 && status != 0; ++i) {
        status = ctl(second.dir(), {"--socket", socket, "zones"}).status;
        if (status != 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, 0) << next.output();
    next.send("q");
    EXPECT_EQ(next.wait(), 0) << next.output();
}

bool holdsControlByteOtherThanLineEnds(const std::string& text, bool tabsAllowed) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || (tabsAllowed && c == '\t')) continue;
        if (byte < 32 || byte == 127) return true;
    }
    return false;
}

// A server's end of the control socket that answers one request with
// `answer`, whatever the request is.
class OneAnswerSocket {
public:
    OneAnswerSocket(const std::string& path, const tallysv::ControlAnswer& answer) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_, 1) == 0;
        if (!bound_) return;
        server_ = std::thread([this, bytes = tallysv::encodeControlAnswer(answer)] {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 20000) <= 0) return;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            // The request line first, as a server reads it.
            char c = 0;
            while (::recv(client, &c, 1, 0) == 1 && c != '\n') request_.push_back(c);
            ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ::close(client);
        });
    }
    ~OneAnswerSocket() {
        if (server_.joinable()) server_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }
    // The request the client sent (read once the client is done).
    std::string request() {
        if (server_.joinable()) server_.join();
        return request_;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    std::thread server_;
    std::string request_;
};

TEST(ControlSocketEndToEnd, CtlRepliesAndErrorsAreShownWithControlBytesEscaped) {
    struct Case {
        std::vector<std::string> args;
        const char* request;
        const char* line;
    };
    // A tab is kept only where it parts the columns of a list of zones or
    // players; JSON lines hold no control byte anyway.
    const Case cases[] = {
        {{"run", "?find Bob"}, "run - ?find Bob", "Evil\\x1b[2J\\x0a\\x09Zone\\x7f\n"},
        {{"zones"}, "zones", "Evil\\x1b[2J\\x0a\tZone\\x7f\n"},
        {{"players"}, "players", "Evil\\x1b[2J\\x0a\tZone\\x7f\n"},
        {{"find", "Bob"}, "find Bob", "Evil\\x1b[2J\\x0a\tZone\\x7f\n"},
        {{"--json", "players"}, "json players", "Evil\\x1b[2J\\x0a\\x09Zone\\x7f\n"},
    };
    const std::string error = "tallysv-ctl: bad \\x07bell\\x0d\n";
    for (const Case& c : cases) {
        TempDir dir;
        const std::string socket = (dir.path() / "fake.sock").string();
        tallysv::ControlAnswer answer;
        answer.lines = {"Evil\x1b[2J\n\tZone\x7f"};
        answer.errors = {"bad \abell\r"};
        answer.status = tallysv::kControlNothing;
        OneAnswerSocket server(socket, answer);
        ASSERT_TRUE(server.bound()) << socket;
        std::vector<std::string> args = {"--socket", socket, "--timeout", "20"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CtlResult result = ctl(dir, args);
        EXPECT_EQ(server.request(), c.request);
        EXPECT_EQ(result.status, tallysv::kControlNothing) << result.output;
        // Standard output and standard error, in whatever order they met.
        EXPECT_TRUE(result.output == c.line + error || result.output == error + c.line)
            << c.request << ": " << result.output;
    }
}

TEST(ControlSocketEndToEnd, CtlAZoneNamedWithEscapeBytesReachesNoTerminalRaw) {
    ZoneNetwork network;
    network.startServer();
    auto zone = network.startZone(3, "Evil\x1b[31mZone\x07");
    ASSERT_TRUE(network.server().waitForOutput("3 - Docking granted: Evil\\x1b[31mZone\\x07\n"))
        << network.server().output() << zone->output();
    zone->send("player Bob pw --ip 10.2.2.2 --machine-id 500002\n");
    ASSERT_TRUE(zone->waitForOutput("login reply for player 1: result 6")) << zone->output();
    zone->send("cmd Bob ?say\x1b[2J\x7f\n");
    ASSERT_TRUE(network.server().waitForOutput("3 - Bob>?say\\x1b[2J\\x7f\n")) << network.server().output();

    CtlResult result = ctl(network.dir(), {"run", "?find Bob"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Bob is in Evil\\x1b[31mZone\\x07\n");
    result = ctl(network.dir(), {"players"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Bob\t3\tEvil\\x1b[31mZone\\x07\t-\n");
    result = ctl(network.dir(), {"zones"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("\tEvil\\x1b[31mZone\\x07\n"), std::string::npos) << result.output;
    EXPECT_FALSE(holdsControlByteOtherThanLineEnds(result.output, true)) << result.output;

    zone->send("quit\n");
    zone->wait();
    network.stopServer();
    EXPECT_FALSE(holdsControlByteOtherThanLineEnds(network.server().output(), false)) << network.server().output();
}

}  // namespace
