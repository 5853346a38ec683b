#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "core/clock.h"
#include "e2e/zone_network.h"
#include "status/status_pages.h"
#include "status/status_server.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

// 02:00:00 UTC on 2001-09-09.
constexpr int32_t kHourStart = 1000000800;

// An hour of a small network, read by the history every 250 ms as the main
// loop reads it: North all along, South from 02:03 until it drops at
// 02:37:20, a burst of wrong passwords in the minute 02:22, a save every
// half hour.
void playScriptedHour(FakeClock& clock, StatusHistory& history) {
    HistorySample s;
    s.zones.push_back({1, kHourStart - 300, "North"});
    for (int quarter = 0; quarter < 60 * 240; ++quarter) {
        if (quarter > 0) clock.advance(250);
        const int second = quarter / 4;
        const int minute = second / 60;
        const bool southUp = second >= 3 * 60 && second < 37 * 60 + 20;
        if (southUp && s.zones.size() == 1) s.zones.push_back({2, kHourStart + 180, "South"});
        if (!southUp && s.zones.size() == 2) s.zones.pop_back();
        const auto north = static_cast<uint64_t>(20 + std::lround(6 * std::sin(second / 600.0)));
        s.players = north + (southUp ? 14 : 0);
        if (quarter % 4 == 0) {
            if (second % 30 == 0) ++s.zoneCounters.playerLogins[static_cast<size_t>(PlayerLoginOutcome::Entered)];
            if (minute == 22 && second % 2 == 0)
                s.zoneCounters.playerLogins[static_cast<size_t>(PlayerLoginOutcome::WrongPassword)] += 5;
            if (second % 2 == 0) ++s.zoneCounters.chatMessages;
            if (second % 12 == 0) ++s.commands;
            if (second % 600 == 0) ++s.zoneCounters.broadcasts;
            s.transport.datagramsIn += 10 + (minute == 22 ? 6 : 0);
            s.transport.datagramsOut += 12;
            if (second % 20 == 0 || (second >= 37 * 60 && second < 37 * 60 + 20)) ++s.transport.resends;
            if (second % 1800 == 1799) {
                ++s.saves;
                s.lastSaveDurationMs = minute < 30 ? 380 : 460;
            }
        }
        history.record(s);
    }
}

// The x coordinates of a chart's first line.
std::vector<double> lineXs(const std::string& dom, const std::string& chartID) {
    std::vector<double> xs;
    size_t chart = dom.find("id=\"" + chartID + "\"");
    size_t line = dom.find("class=\"series\" points=\"", chart);
    if (chart == std::string::npos || line == std::string::npos) return xs;
    size_t at = line + std::string("class=\"series\" points=\"").size();
    size_t end = dom.find('"', at);
    while (at < end) {
        xs.push_back(std::stod(dom.substr(at)));
        at = dom.find(' ', at);
        if (at == std::string::npos || at > end) break;
        ++at;
    }
    return xs;
}

}  // namespace

// A browser draws the page after the scripted hour; the screenshot is kept
// for a person to look at, and the page as the browser built it is checked:
// the drop of South is marked at 02:37:20, between the points of the
// minutes 37 and 38, and the wrong passwords peak in the minute 02:22.
TEST(StatusChartsInBrowser, ShowTheZoneDropAndTheLoginBurstWhereTheyHappened) {
    const char* chromium = "/usr/bin/chromium";
    if (::access(chromium, X_OK) != 0) GTEST_SKIP() << "chromium is missing (Debian package chromium)";

    FakeClock clock(1000, kHourStart);
    StatusHistory history(clock);
    playScriptedHour(clock, history);  // ends at 02:59:59.75

    StatusSnapshot snapshot;
    snapshot.version = "11";
    snapshot.now = clock.now();
    snapshot.startTime = kHourStart - 600;
    snapshot.zones.push_back({"North", 1, 1, "127.0.0.1:5000", kHourStart - 300, 22, 3});
    snapshot.playersOnline = 22;
    StatusServer server([&] { return snapshot; }, StatusLimits{}, [&](int minutes) { return history.view(minutes); });
    Status started = server.start("127.0.0.1:0");
    ASSERT_TRUE(started) << started.reason();

    TempDir dir;
    std::filesystem::path out = std::filesystem::path(kBinDir) / "test-output" / "status_charts";
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    std::filesystem::path screenshot = out / "status_page.png";
    ChildProcess browser(chromium,
                         {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
                          "--user-data-dir=" + (dir.path() / "browser").string(), "--window-size=1000,2500",
                          "--hide-scrollbars", "--screenshot=" + screenshot.string(), "--dump-dom",
                          "http://" + server.address() + "/"},
                         dir.str());
    ASSERT_EQ(browser.wait(std::chrono::seconds(30)), 0) << browser.output();
    std::string dom = browser.output();
    dom.erase(0, std::min(dom.find("<html"), dom.size()));
    std::ofstream(out / "status_page.html") << dom;
    EXPECT_GT(std::filesystem::file_size(screenshot), 1000u) << "no screenshot at " << screenshot;

    // Nothing runs and nothing is fetched: the charts are in the page.
    EXPECT_EQ(dom.find("<script"), std::string::npos);
    EXPECT_EQ(dom.find("src="), std::string::npos);
    EXPECT_EQ(dom.find("@import"), std::string::npos);

    EXPECT_NE(dom.find("highest 150 logins (wrong password) at 02:22 UTC"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<td>2001-09-09 02:37:20 UTC</td><td>South</td><td class=\"n\">2</td><td>- dropped</td>"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("<td>2001-09-09 02:03:00 UTC</td><td>South</td><td class=\"n\">2</td><td>+ connected</td>"),
              std::string::npos)
        << dom;
    // The axis is in UTC, from 02:00 to 02:59.
    for (const char* label : {">02:00<", ">02:10<", ">02:50<", "time (UTC)", "up to 02:59"})
        EXPECT_NE(dom.find(label), std::string::npos) << label;

    std::vector<double> xs = lineXs(dom, "chart-players");
    ASSERT_EQ(xs.size(), 60u);
    size_t marker = dom.find("<title>South (ScoreID 2) dropped at 02:37:20 UTC</title>");
    ASSERT_NE(marker, std::string::npos) << dom;
    size_t x1 = dom.find("x1=\"", marker);
    ASSERT_NE(x1, std::string::npos);
    double markerX = std::stod(dom.substr(x1 + 4));
    EXPECT_GT(markerX, xs[37]);
    EXPECT_LT(markerX, xs[38]);
}

// "?range=24h" draws the day, its axis labelled every three hours; the
// hour just played is at its right end.
TEST(StatusChartsInBrowser, TheDayRangeEndsWithTheHourPlayed) {
    FakeClock clock(1000, kHourStart);
    StatusHistory history(clock);
    playScriptedHour(clock, history);
    HistoryView day = history.view(StatusHistory::kMinutes);
    ASSERT_EQ(day.buckets.size(), static_cast<size_t>(StatusHistory::kMinutes));
    std::string page = renderStatusPage(StatusSnapshot{}, day);
    std::filesystem::path out = std::filesystem::path(kBinDir) / "test-output" / "status_charts";
    std::filesystem::create_directories(out);
    std::ofstream(out / "status_page_24h.html") << page;
    EXPECT_NE(page.find("The last 24 hours"), std::string::npos);
    EXPECT_NE(page.find("highest 150 logins (wrong password) at 02:22 UTC"), std::string::npos);
    for (const char* label : {">06:00<", ">09:00<", ">00:00<", ">03:00<"})
        EXPECT_NE(page.find(label), std::string::npos) << label;
    EXPECT_EQ(page.find(">02:10<"), std::string::npos);
}
