#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "public/public_site.h"
#include "status/http_probe.h"
#include "support/temp_dir.h"

namespace tallysv {
namespace {

using namespace std::chrono_literals;
using testing::HttpProbe;

// A folder with one account and its score set, and a site over it.
class PublicSiteTest : public ::testing::Test {
protected:
    PublicSiteTest() {
        UserRecord* ann = db.createUser("Ann", "pw", {10, 0, 0, 1}, 200000, 0);
        score = db.createScore(*ann, 1);
        score->WordStat1 = 12;
        EXPECT_TRUE(db.save());
    }
    void start(StatusLimits limits = publicSiteLimits()) {
        site = std::make_unique<PublicSite>(dir.str(), ScoreLabels{}, [] { return PublicOnline{}; }, nullptr, limits);
        Status started = site->start("127.0.0.1:0");
        ASSERT_TRUE(started) << started.reason();
        site->waitLoaded();
    }
    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
        httplib::Client client("127.0.0.1", site->port());
        return client.Get(path, headers);
    }
    std::string exchange(const std::string& request, bool& closed) {
        HttpProbe probe(site->port());
        EXPECT_TRUE(probe.send(request));
        return probe.readToEnd(3s, closed);
    }

    testing::TempDir dir;
    Settings settings;
    FakeClock clock;
    DiscardLog log;
    Database db{settings, clock, log, dir.str()};
    ScoreRecord* score = nullptr;
    std::unique_ptr<PublicSite> site;
};

// Answers carry a tag of their body and a short lifetime; a client that
// names the tag gets 304 without the body. JSON comes by the suffix or the
// Accept header alike, and any host name is answered.
TEST_F(PublicSiteTest, TaggedCacheableAnswersInBothFormats) {
    start();
    auto json = get("/scores/1.json", {{"Host", "players.example.net"}});
    ASSERT_TRUE(json);
    EXPECT_EQ(json->status, 200);
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(json->get_header_value("Cache-Control"), "public, max-age=10");
    EXPECT_NE(json->body.find("{\"rank\":1,\"name\":\"Ann\",\"squad\":null,\"values\":[12,0,0,0,0]}"), std::string::npos)
        << json->body;
    const std::string tag = json->get_header_value("ETag");
    ASSERT_EQ(tag.size(), 18u) << tag;
    auto accepted = get("/scores/1", {{"Accept", "application/json"}});
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->body, json->body);
    auto again = get("/scores/1.json", {{"If-None-Match", "\"0000000000000000\", " + tag}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    EXPECT_TRUE(again->body.empty());
    auto html = get("/scores/1", {{"If-None-Match", tag}});
    ASSERT_TRUE(html);
    EXPECT_EQ(html->status, 200);
    EXPECT_EQ(html->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(html->body.find("<script"), std::string::npos);
    EXPECT_NE(html->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
}

// The site reads the folder again when asked (after a save), and serves
// the new values from then on.
TEST_F(PublicSiteTest, ReadsTheFolderAgainAfterASave) {
    start();
    score->WordStat1 = 99;
    ASSERT_TRUE(db.save());
    EXPECT_NE(get("/player.json?name=ann")->body.find("\"Kills\":{\"value\":12,"), std::string::npos);
    site->reload();
    site->waitLoaded();
    EXPECT_NE(get("/player.json?name=ann")->body.find("\"Kills\":{\"value\":99,"), std::string::npos);
}

// Misbehaving clients get what they get at the status pages: an oversized
// request 431, a slow one 408, a body-carrying method 405.
TEST_F(PublicSiteTest, OversizedSlowAndWrongRequestsAreRefused) {
    StatusLimits limits = publicSiteLimits();
    limits.timeout = 300ms;
    start(limits);
    bool closed = false;
    std::string answer = exchange("GET / HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a') + "\r\n\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 431 ", 0), 0u) << answer.substr(0, 100);
    answer = exchange("GET / HTTP/1.1\r\nHost: x\r\n", closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 408 ", 0), 0u) << answer.substr(0, 100);
    EXPECT_EQ(exchange("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", closed).rfind("HTTP/1.1 405 ", 0), 0u);
}

// Of a thousand connections at once whose requests never end, those beyond
// the four workers and the 96 waiting get 503 at once; once they go, the
// site answers again.
TEST_F(PublicSiteTest, AThousandConnectionsAtOnce) {
    start();
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 2500 && files.rlim_max >= 2500) {
        files.rlim_cur = 2500;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<std::unique_ptr<HttpProbe>> crowd;
    for (int i = 0; i < 1000; ++i) {
        crowd.push_back(std::make_unique<HttpProbe>(site->port()));
        ASSERT_TRUE(crowd.back()->connected()) << i;
        crowd.back()->send("GET / HTTP/1.1\r\n");
    }
    // Each connection is refused (503, closed) or held; a refusal may take
    // a moment to arrive.
    std::vector<bool> refusedOne(crowd.size(), false);
    bool closed = false;
    auto refusals = [&] { return static_cast<size_t>(std::count(refusedOne.begin(), refusedOne.end(), true)); };
    for (int pass = 0; pass < 20 && (pass < 3 || refusals() < 900); ++pass) {
        std::this_thread::sleep_for(200ms);
        for (size_t i = 0; i < crowd.size(); ++i)
            if (!refusedOne[i])
                refusedOne[i] = crowd[i]->readToEnd(5ms, closed).rfind("HTTP/1.1 503 ", 0) == 0 && closed;
    }
    const size_t refused = refusals();
    const size_t held = crowd.size() - refused;
    EXPECT_EQ(held, 100u);
    EXPECT_EQ(refused, 900u);
    crowd.clear();
    auto after = get("/");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
}

}  // namespace
}  // namespace tallysv
