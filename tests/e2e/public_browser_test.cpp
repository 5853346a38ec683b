#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "e2e/zone_network.h"
#include "support/played_folder.h"

using namespace tallysv::testing;

namespace {

// Where a person finds the browser's screenshots of the players' site.
std::filesystem::path publicShotsFolder() { return std::filesystem::path(kBinDir) / "test-output" / "public_browser"; }

// The address a server printed for its pages on a console line that
// begins with `heading`, without the "/" at its end.
std::string printedUrl(const std::string& console, const std::string& heading) {
    size_t at = console.find(heading);
    if (at == std::string::npos) return "";
    at += heading.size();
    std::string url = console.substr(at, console.find('\n', at) - at);
    if (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

// Chromium draws the page at `url` into NAME.png (and its DOM into
// NAME.html) at the window size given; the DOM as it rendered it.
std::string publicScreenshot(const ZoneNetwork& network, const std::string& url, const std::string& name,
                             const std::string& size) {
    const std::filesystem::path out = publicShotsFolder();
    const std::filesystem::path shot = out / (name + ".png");
    ChildProcess browser("/usr/bin/chromium",
                         {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
                          "--hide-scrollbars", "--user-data-dir=" + (network.dir().path() / "browser").string(),
                          "--window-size=" + size, "--screenshot=" + shot.string(), "--dump-dom", url},
                         network.dir().str());
    EXPECT_EQ(browser.wait(std::chrono::seconds(60)), 0) << browser.output();
    std::string dom = browser.output();
    dom.erase(0, std::min(dom.find("<html"), dom.size()));
    std::ofstream(out / (name + ".html")) << dom;
    EXPECT_GT(std::filesystem::exists(shot) ? std::filesystem::file_size(shot) : 0, 1000u) << "no screenshot at " << shot;
    return dom;
}

}  // namespace

// A real browser shows every page of the players' site over a folder that
// a day of play left, with three zones online and players in them, on a
// desktop and a phone; the status page of the same server beside them.
TEST(PublicSiteInBrowser, EveryPageAfterADayOfPlay) {
    if (::access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is missing (Debian package chromium)";
    ZoneNetwork network("PublicListen=127.0.0.1:0\nStatusListen=127.0.0.1:0\n");
    {
        tallysv::Settings settings;
        tallysv::SystemClock clock;
        tallysv::DiscardLog log;
        tallysv::Database db(settings, clock, log, network.dir().str());
        PlayedFolderShape shape;
        shape.accounts = 600;
        shape.scoreGroups = 3;
        shape.squads = 12;
        shape.now = clock.now();
        fillPlayedDatabase(db, shape);
        ASSERT_TRUE(db.save());
    }
    network.startServer();
    ASSERT_TRUE(network.server().waitForOutput("Players' site on http://127.0.0.1:")) << network.server().output();
    ASSERT_TRUE(network.server().waitForOutput("Status pages on http://127.0.0.1:")) << network.server().output();
    const std::string site = printedUrl(network.server().output(), "Players' site on ");
    const std::string status = printedUrl(network.server().output(), "Status pages on ");

    auto north = network.zone(1, "North Arena");
    auto south = network.zone(2, "South Base");
    auto duel = network.zone(3, "Duel Pit");
    const std::string first = playedName(0), second = playedName(7919 % 8000), third = playedName(2 * 7919 % 8000);
    north->send("player " + first + " pw --ip 10.1.1.1\nplayer " + second + " pw --ip 10.1.1.2\n");
    duel->send("player " + third + " pw --ip 10.1.1.3\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 2: result 6")) << north->output();
    ASSERT_TRUE(duel->waitForOutput("login reply for player 1: result 6")) << duel->output();

    std::filesystem::remove_all(publicShotsFolder());
    std::filesystem::create_directories(publicShotsFolder());
    const std::string desktop = "1100,1400", phone = "412,1400";
    std::string dom = publicScreenshot(network, site + "/", "network", desktop);
    EXPECT_NE(dom.find("3 players online in 3 zones; 600 accounts, 12 squads."), std::string::npos) << dom;
    EXPECT_NE(dom.find("id=\"chart-players\""), std::string::npos);
    dom = publicScreenshot(network, site + "/", "network_phone", phone);
    dom = publicScreenshot(network, site + "/scores", "score_groups", desktop);
    EXPECT_NE(dom.find(">North Arena</a></td><td class=\"n\">1</td><td class=\"n\">600</td>"), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/scores/1?by=4", "scores_by_kill_points", desktop);
    EXPECT_NE(dom.find("Page 1 of 6"), std::string::npos) << dom;
    EXPECT_EQ(occurrences(dom, "<tr>"), 101u);
    dom = publicScreenshot(network, site + "/scores/2?page=2", "scores_page_2_phone", phone);
    EXPECT_NE(dom.find("Page 2 of 3"), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/player?name=" + first, "player", desktop);
    EXPECT_NE(dom.find("<td>in North Arena</td>"), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/player?name=" + third, "player_phone", phone);
    EXPECT_NE(dom.find("<td>in Duel Pit</td>"), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/squads", "squads", desktop);
    EXPECT_NE(dom.find("12 squads, the largest first."), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/squad?name=Wolves", "squad", desktop);
    EXPECT_NE(dom.find("<strong>(owner)</strong>"), std::string::npos) << dom;
    dom = publicScreenshot(network, site + "/search?q=ka", "search", phone);
    EXPECT_NE(dom.find("<ul id=\"found\">"), std::string::npos) << dom;
    // The status page of a server started moments ago: the hour before
    // its start is a gap, not a line at zero.
    dom = publicScreenshot(network, status + "/", "status_page_after_start", desktop);
    EXPECT_NE(dom.find("id=\"chart-players\""), std::string::npos) << dom;

    for (auto* zone : {north.get(), south.get(), duel.get()}) {
        zone->send("quit\n");
        zone->wait();
    }
    network.stopServer();
}
