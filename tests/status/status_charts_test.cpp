#include <gtest/gtest.h>

#include "core/clock.h"
#include "status/status_pages.h"

namespace tallysv {
namespace {

// A zone's name comes from the zone: in the charts and the JSON it is text,
// never markup or a broken string.
TEST(StatusCharts, AZoneNameIsTextInTheChartsAndTheJson) {
    FakeClock clock(1000, 1000000020);
    StatusHistory history(clock);
    HistorySample sample;
    sample.zones.push_back({3, 1000000020, "<script>\"x\"&\xE9\n"});
    history.record(sample);
    HistoryView view = history.view(60);
    std::string page = renderStatusPage(StatusSnapshot{}, view);
    EXPECT_EQ(page.find("<script"), std::string::npos) << page;
    EXPECT_NE(page.find("&lt;script&gt;&quot;x&quot;&amp;\xC3\xA9"), std::string::npos) << page;
    std::string json = renderHistoryJson(view);
    EXPECT_NE(json.find("\"zone\":\"<script>\\\"x\\\"&\xC3\xA9\\u000a\""), std::string::npos) << json;
}

// Without a history (a test's server, or one not yet read) the page has no
// charts and no empty figures.
TEST(StatusCharts, NoHistoryNoCharts) {
    std::string page = renderStatusPage(StatusSnapshot{});
    EXPECT_EQ(page.find("<svg"), std::string::npos);
    EXPECT_EQ(page.find("id=history"), std::string::npos);
}

// Every chart has its time axis in UTC, its value axis from 0, and each
// line's last value beside its name; a minute with nothing is drawn at 0.
TEST(StatusCharts, AxesAndValuesAtTheEnds) {
    FakeClock clock(1000, 1000000800);  // 02:00:00 UTC
    StatusHistory history(clock);
    HistorySample sample;
    sample.players = 12;
    sample.zoneCounters.chatMessages = 40;
    sample.transport.datagramsIn = 7;
    history.record(sample);
    clock.advance(59 * 60000);
    sample.players = 9;
    history.record(sample);
    std::string charts = renderHistoryCharts(history.view(60));
    for (const char* id : {"chart-players", "chart-zones", "chart-logins", "chart-messages", "chart-datagrams",
                           "chart-saves"}) {
        size_t at = charts.find(std::string("<figure id=\"") + id + "\">");
        ASSERT_NE(at, std::string::npos) << id;
        std::string chart = charts.substr(at, charts.find("</figure>", at) - at);
        EXPECT_NE(chart.find("time (UTC), one point a minute, up to 02:59"), std::string::npos) << id;
        EXPECT_NE(chart.find(">02:00</text>"), std::string::npos) << id;
        EXPECT_NE(chart.find(">0</text>"), std::string::npos) << id;
    }
    EXPECT_NE(charts.find(">players 9</text>"), std::string::npos);
    EXPECT_NE(charts.find("highest 12 players at 02:00 UTC"), std::string::npos);
    EXPECT_NE(charts.find(">chat 0</text>"), std::string::npos);  // 40 lines in the first minute, none in the last
    EXPECT_NE(charts.find("highest 40 per minute (chat) at 02:00 UTC"), std::string::npos);
    EXPECT_NE(charts.find(">save: none</text>"), std::string::npos);
}

}  // namespace
}  // namespace tallysv
