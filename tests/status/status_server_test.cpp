#include "status/status_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "status/http_probe.h"

namespace tallysv {
namespace {

using namespace std::chrono_literals;
using testing::HttpProbe;

// A status server on a free loopback port with tight limits, serving a
// fixed snapshot.
class StatusServerTest : public ::testing::Test {
protected:
    StatusServerTest() {
        snapshot.version = "11";
        snapshot.zones.push_back({"North", 1, 1, "127.0.0.1:4000", 1000000000, 2, 0});
    }
    void start(StatusLimits limits, const std::string& extraHosts = "") {
        server = std::make_unique<StatusServer>([this] {
            ++snapshots;
            return snapshot;
        }, limits);
        Status started = server->start("127.0.0.1:0", extraHosts);
        ASSERT_TRUE(started) << started.reason();
        ASSERT_NE(server->port(), 0);
    }
    std::string exchange(const std::string& request, bool& closed, std::chrono::milliseconds limit = 3s) {
        HttpProbe probe(server->port());
        EXPECT_TRUE(probe.connected());
        probe.send(request);
        return probe.readToEnd(limit, closed);
    }

    StatusSnapshot snapshot;
    std::atomic<int> snapshots{0};
    std::unique_ptr<StatusServer> server;
};

TEST_F(StatusServerTest, ServesThePagesToGetAndHeadOnly) {
    start({});
    httplib::Client client("127.0.0.1", server->port());
    struct Case {
        const char* path;
        const char* type;
        const char* holds;
    } cases[] = {
        {"/", "text/html; charset=utf-8", "<td>North</td>"},
        {"/status.json", "application/json", "\"name\":\"North\""},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", "tallysv_zone_players{score_id=\"1\",zone=\"North\"} 2"},
    };
    for (const Case& c : cases) {
        auto got = client.Get(c.path);
        ASSERT_TRUE(got) << c.path;
        EXPECT_EQ(got->status, 200) << c.path;
        EXPECT_EQ(got->get_header_value("Content-Type"), c.type) << c.path;
        EXPECT_NE(got->body.find(c.holds), std::string::npos) << c.path << "\n" << got->body;
        auto head = client.Head(c.path);
        ASSERT_TRUE(head) << c.path;
        EXPECT_EQ(head->status, 200) << c.path;
        EXPECT_TRUE(head->body.empty()) << c.path;
    }
    auto missing = client.Get("/secret");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);

    for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE"}) {
        bool closed = false;
        int before = snapshots.load();
        std::string answer = exchange(std::string(method) + " / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc",
                                      closed);
        EXPECT_EQ(answer.rfind("HTTP/1.1 405 ", 0), 0u) << method << "\n" << answer;
        EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos) << method;
        EXPECT_TRUE(closed) << method;
        EXPECT_EQ(snapshots.load(), before) << method << ": nothing is rendered for a refused method";
    }
}

// The answers are the library's, passed through the server's front whole:
// compressed when asked, a range when asked, the body as long as said.
TEST_F(StatusServerTest, AnswersComeThroughWhole) {
    start({});
    struct Case {
        const char* headers;
        const char* status;
        const char* holds;
    } cases[] = {
        {"", "200", "Connection: close\r\n"},
        {"Accept-Encoding: gzip\r\n", "200", "Content-Encoding: gzip\r\n"},
        {"Range: bytes=0-9\r\n", "206", "Content-Range: bytes 0-9/"},
    };
    for (const Case& c : cases) {
        bool closed = false;
        std::string answer = exchange(std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n") + c.headers + "\r\n", closed);
        EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + c.status + " ", 0), 0u) << c.headers << answer.substr(0, 200);
        EXPECT_NE(answer.find(c.holds), std::string::npos) << c.headers << answer.substr(0, 300);
        EXPECT_TRUE(closed) << c.headers;
        size_t length = answer.find("Content-Length: ");
        size_t body = answer.find("\r\n\r\n");
        ASSERT_NE(length, std::string::npos) << c.headers;
        ASSERT_NE(body, std::string::npos) << c.headers;
        EXPECT_EQ(std::stoul(answer.substr(length + 16)), answer.size() - body - 4) << c.headers;
    }
}

TEST_F(StatusServerTest, RequestsBeyondTheSizeLimitAreRefused) {
    StatusLimits limits;
    limits.requestBytes = 4096;
    start(limits);
    struct Case {
        std::string request;
        const char* status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + std::string(6000, 'a') + "\r\n\r\n", "431"},
        {"GET /" + std::string(6000, 'a') + " HTTP/1.1\r\n\r\n", "431"},
        // Just within the limit: served.
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + std::string(3000, 'a') + "\r\n\r\n", "200"},
    };
    for (const Case& c : cases) {
        bool closed = false;
        std::string answer = exchange(c.request, closed);
        EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + c.status + " ", 0), 0u) << answer.substr(0, 200);
        EXPECT_TRUE(closed);
    }
}

TEST_F(StatusServerTest, SlowClientsAreDroppedAndExtraConnectionsTurnedAway) {
    StatusLimits limits;
    limits.workers = 1;
    limits.queued = 1;
    limits.timeout = 300ms;
    start(limits);

    // A request that never ends holds the one worker until its time is
    // up; a second connection waits for it, a third is turned away at once.
    HttpProbe slow(server->port());
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    std::this_thread::sleep_for(50ms);  // let it be accepted first
    HttpProbe waiting(server->port());
    ASSERT_TRUE(waiting.send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::this_thread::sleep_for(50ms);
    HttpProbe extra(server->port());
    ASSERT_TRUE(extra.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    bool closed = false;
    EXPECT_EQ(extra.readToEnd(2s, closed).rfind("HTTP/1.1 503 ", 0), 0u);
    EXPECT_TRUE(closed);

    auto before = std::chrono::steady_clock::now();
    std::string answer = slow.readToEnd(3s, closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 408 ", 0), 0u) << answer;
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    answer = waiting.readToEnd(3s, closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer.substr(0, 200);
}

TEST_F(StatusServerTest, StopEndsARequestStillArriving) {
    start({});
    HttpProbe slow(server->port());
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\n"));
    std::this_thread::sleep_for(50ms);
    auto before = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(server->port(), 0);
}

// A browser that a page has pointed at the port under a name of its own
// (DNS rebinding) sends that name: it is not answered.
TEST_F(StatusServerTest, AnswersOnlyTheHostNamesItServes) {
    start({}, "status.example, Ops.Example:8443");
    const std::string port = std::to_string(server->port());
    struct Case {
        std::string host;  // the Host header; empty: none
        bool answered;
    } cases[] = {
        {"127.0.0.1:" + port, true},
        {"127.0.0.1", true},
        {"localhost:" + port, true},
        {"LocalHost", true},
        {"[::1]:" + port, true},
        {"[::1]", true},
        {"status.example", true},
        {"STATUS.example:" + port, true},
        {"ops.example:8443", true},
        {"ops.example", false},  // named with a port of its own
        {"rebind.attacker.example:" + port, false},
        {"rebind.attacker.example", false},
        {"127.0.0.1:1", false},
        {"127.0.0.2:" + port, false},
        {"localhost.:" + port, false},
        {"status.example.attacker.example", false},
        {"", true},  // empty: it names no other host, as none does
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        bool closed = false;
        std::string answer = exchange("GET /status.json HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n", closed);
        if (c.answered) {
            EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
            EXPECT_NE(answer.find("\"name\":\"North\""), std::string::npos) << answer;
        } else {
            EXPECT_EQ(answer.rfind("HTTP/1.1 421 ", 0), 0u) << answer;
            EXPECT_NE(answer.find("This server does not serve that host name\n"), std::string::npos) << answer;
            EXPECT_EQ(answer.find("North"), std::string::npos) << answer;
        }
    }
    const int before = snapshots.load();
    bool closed = false;
    // Two names: neither is believed.
    std::string answer = exchange("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 421 ", 0), 0u) << answer;
    answer = exchange("HEAD / HTTP/1.1\r\nHost: evil.example\r\n\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 421 ", 0), 0u) << answer;
    // Refused requests took no snapshot.
    EXPECT_EQ(snapshots.load(), before);
    // HTTP/1.0 without a Host header is answered as ever.
    answer = exchange("GET /status.json HTTP/1.0\r\n\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    EXPECT_NE(answer.find("\"name\":\"North\""), std::string::npos) << answer;
}

TEST(StatusHosts, NamesOfTheListenerAndTheSetting) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(statusHostNames("127.0.0.1", true, ""), (Names{"127.0.0.1", "localhost", "127.0.0.1", "[::1]"}));
    EXPECT_EQ(statusHostNames("::1", true, " A.example ,,b.example:81 "),
              (Names{"[::1]", "localhost", "127.0.0.1", "[::1]", "a.example", "b.example:81"}));
    // Not on loopback: only what it listens on and what the setting names.
    EXPECT_EQ(statusHostNames("10.0.0.5", false, "ops.example"), (Names{"10.0.0.5", "ops.example"}));
    EXPECT_EQ(statusHostNames("0.0.0.0", false, ""), Names{"0.0.0.0"});

    const Names names = statusHostNames("10.0.0.5", false, "ops.example");
    EXPECT_TRUE(statusHostAllowed("10.0.0.5:8900", names, 8900));
    EXPECT_TRUE(statusHostAllowed(" Ops.Example ", names, 8900));
    EXPECT_FALSE(statusHostAllowed("localhost:8900", names, 8900));
    EXPECT_FALSE(statusHostAllowed("10.0.0.5:8901", names, 8900));
    EXPECT_FALSE(statusHostAllowed("10.0.0.5:", names, 8900));
    EXPECT_FALSE(statusHostAllowed("ops.example:8900:8900", names, 8900));
}

TEST(StatusListen, ReadsHostAndPort) {
    struct Case {
        const char* text;
        bool valid;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:9100", true, "127.0.0.1", 9100},
        {"localhost:0", true, "localhost", 0},
        {"[::1]:9100", true, "::1", 9100},
        {"0.0.0.0:65535", true, "0.0.0.0", 65535},
        {":9100", false, "", 0},
        {"127.0.0.1", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:91x", false, "", 0},
        {"::1:9100", false, "", 0},
        {"[]:9100", false, "", 0},
    };
    for (const Case& c : cases) {
        StatusOr<ListenAddress> address = parseListenAddress(c.text);
        EXPECT_EQ(address.isOk(), c.valid) << c.text;
        if (!c.valid) {
            EXPECT_EQ(address.reason(), "not host:port") << c.text;
            continue;
        }
        EXPECT_EQ(address->host, c.host) << c.text;
        EXPECT_EQ(address->port, c.port) << c.text;
    }
}

TEST(StatusListen, AnAddressInUseIsReported) {
    StatusServer first([] { return StatusSnapshot{}; });
    Status started = first.start("127.0.0.1:0");
    ASSERT_TRUE(started) << started.reason();
    StatusServer second([] { return StatusSnapshot{}; });
    Status refused = second.start(first.address());
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error(), EADDRINUSE);
    EXPECT_NE(refused.reason().find("in use"), std::string::npos) << refused.reason();
}

}  // namespace
}  // namespace tallysv
