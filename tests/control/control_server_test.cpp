#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/control_server.h"
#include "support/temp_dir.h"

namespace tallysv::testing {
namespace {

// A clock the test moves while the server's thread reads it.
class SharedClock final : public Clock {
public:
    uint32_t tick() const override { return tick_.load(); }
    int32_t now() const override { return 1000000000; }
    void advance(uint32_t ms) { tick_ += ms; }

private:
    std::atomic<uint32_t> tick_{5000};
};

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Waits (in real time, as a safety net only) until `done` holds.
template <typename Condition>
bool eventually(Condition done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendText(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Everything the server sends until it closes the connection.
std::string readToEnd(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        pollfd polled{fd, POLLIN, 0};
        if (::poll(&polled, 1, 10000) <= 0) return out + "<no end>";
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return out;
        out.append(buffer, static_cast<size_t>(n));
    }
}

class ControlServerTest : public ::testing::Test {
protected:
    void startServer(ControlLimits limits = {}) {
        server = std::make_unique<ControlServer>(clock, limits);
        std::string reason;
        ASSERT_EQ(server->claim(path, reason), ControlServer::Claim::Ready) << reason;
        server->start([this](const ControlRequest& request, const ControlPeer& peer) {
            lastPeer = peer;
            if (request.argument == "hold") {
                std::unique_lock<std::mutex> guard(mutex);
                held = true;
                released.wait(guard, [this] { return release; });
            }
            ControlAnswer answer;
            answer.lines.push_back("answer to " + request.argument);
            return answer;
        });
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            release = true;
        }
        released.notify_all();
        if (server) server->stop();
    }

    TempDir dir;
    std::string path = (dir.path() / "control.sock").string();
    SharedClock clock;
    std::unique_ptr<ControlServer> server;
    ControlPeer lastPeer{};
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
    bool release = false;
};

TEST_F(ControlServerTest, SocketIsTheOwnersAloneAndGoesAtStop) {
    startServer();
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());

    int fd = connectTo(path);
    ASSERT_GE(fd, 0);
    sendText(fd, "find Bob\n");
    EXPECT_EQ(readToEnd(fd), "L answer to Bob\n= 0\n");
    ::close(fd);
    EXPECT_EQ(lastPeer.uid, ::getuid());
    EXPECT_EQ(lastPeer.pid, ::getpid());

    server->stop();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ControlServerTest, ALiveServerKeepsItsSocketAStaleOneIsReplaced) {
    startServer();
    ControlServer second(clock);
    std::string reason;
    EXPECT_EQ(second.claim(path, reason), ControlServer::Claim::InUse);
    EXPECT_EQ(reason, "a running server answers there");
    second.stop();
    int fd = connectTo(path);
    ASSERT_GE(fd, 0) << "the first server's socket must survive";
    ::close(fd);

    // A socket file nobody listens on any more, as a killed server leaves.
    const std::string stale = (dir.path() / "stale.sock").string();
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, stale.data(), stale.size());
        int left = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(left, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(left);
    }
    ControlServer third(clock);
    EXPECT_EQ(third.claim(stale, reason), ControlServer::Claim::Ready) << reason;
    third.stop();

    // A file that is no socket is never removed.
    dir.write("plain", "data");
    ControlServer fourth(clock);
    EXPECT_EQ(fourth.claim((dir.path() / "plain").string(), reason), ControlServer::Claim::Failed);
    EXPECT_EQ(dir.read("plain"), "data");
}

TEST_F(ControlServerTest, BadRequestsGetAClearErrorAndTheConnectionEnds) {
    startServer();
    struct Case {
        std::string bytes;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {std::string(5000, 'x'), "E request too long (at most 4096 bytes)\n= 4\n"},
        {"find " + std::string(4092, 'y') + "\n", "E request too long (at most 4096 bytes)\n= 4\n"},
        {"hello\n", "E malformed request: unknown request \"hello\"\n= 4\n"},
        {"run - ban Bob\n", "E malformed request: the command must begin with \"?\"\n= 4\n"},
        {std::string("find B\0b\n", 9), "E malformed request: control byte in the request\n= 4\n"},
    };
    const size_t baseline = openDescriptors();
    for (const Case& c : cases) {
        int fd = connectTo(path);
        ASSERT_GE(fd, 0);
        // The server may close while a long request is still being sent.
        (void)::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        EXPECT_EQ(readToEnd(fd), c.answer);
        ::close(fd);
    }
    EXPECT_TRUE(eventually([&] { return server->connections() == 0; }));
    EXPECT_EQ(openDescriptors(), baseline);
    EXPECT_EQ(server->answered(), 0u);
}

TEST_F(ControlServerTest, AStalledClientIsDroppedAndHoldsNoOneUp) {
    startServer(ControlLimits{128, 5000});
    const size_t baseline = openDescriptors();
    int stalled = connectTo(path);
    ASSERT_GE(stalled, 0);
    sendText(stalled, "run - ?lis");

    // Others are served meanwhile.
    int other = connectTo(path);
    sendText(other, "find Ann\n");
    EXPECT_EQ(readToEnd(other), "L answer to Ann\n= 0\n");
    ::close(other);

    clock.advance(4999);
    pollfd polled{stalled, POLLIN, 0};
    EXPECT_EQ(::poll(&polled, 1, 200), 0) << "dropped before its time";
    clock.advance(1);
    EXPECT_EQ(readToEnd(stalled), "E timed out waiting for the whole request\n= 4\n");
    ::close(stalled);
    EXPECT_TRUE(eventually([&] { return server->connections() == 0; }));
    EXPECT_EQ(openDescriptors(), baseline);
}

TEST_F(ControlServerTest, AHundredClientsAtOnceAreAllAnswered) {
    startServer();
    const size_t baseline = openDescriptors();
    std::vector<int> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(connectTo(path));
        ASSERT_GE(clients.back(), 0) << i;
    }
    for (size_t i = 0; i < clients.size(); ++i) sendText(clients[i], "find p" + std::to_string(i) + "\n");
    for (size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(readToEnd(clients[i]), "L answer to p" + std::to_string(i) + "\n= 0\n");
        ::close(clients[i]);
    }
    EXPECT_EQ(server->answered(), 100u);
    EXPECT_TRUE(eventually([&] { return server->connections() == 0; }));
    EXPECT_EQ(openDescriptors(), baseline);
}

TEST_F(ControlServerTest, BeyondTheBoundClientsAreToldTheServerIsBusy) {
    startServer(ControlLimits{2, 5000});
    int first = connectTo(path);
    int second = connectTo(path);
    ASSERT_TRUE(eventually([&] { return server->connections() == 2; }));
    int third = connectTo(path);
    ASSERT_GE(third, 0);
    EXPECT_EQ(readToEnd(third), "E busy: too many connections, try again\n= 4\n");
    for (int fd : {first, second, third}) ::close(fd);
    EXPECT_TRUE(eventually([&] { return server->connections() == 0; }));
    int fourth = connectTo(path);
    sendText(fourth, "find again\n");
    EXPECT_EQ(readToEnd(fourth), "L answer to again\n= 0\n");
    ::close(fourth);
}

TEST_F(ControlServerTest, AClientGoneBeforeItsAnswerLeavesNothingOpen) {
    startServer();
    const size_t baseline = openDescriptors();
    int fd = connectTo(path);
    sendText(fd, "find hold\n");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return held;
    }));
    ::close(fd);
    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
    }
    released.notify_all();
    EXPECT_TRUE(eventually([&] { return server->answered() == 1 && server->connections() == 0; }));
    EXPECT_EQ(openDescriptors(), baseline);

    int next = connectTo(path);
    sendText(next, "find next\n");
    EXPECT_EQ(readToEnd(next), "L answer to next\n= 0\n");
    ::close(next);
}

TEST_F(ControlServerTest, AnotherUserCannotConnect) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing the user needs root";
    startServer();
    // The folder lets everyone through: only the socket's own mode stops them.
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        int fd = connectTo(path);
        ::_exit(fd < 0 && errno == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "status 1: the other user got in; 2: could not change user";
}

}  // namespace
}  // namespace tallysv::testing
