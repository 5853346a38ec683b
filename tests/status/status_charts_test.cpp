#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
// line's last value beside its name; a minute read with nothing in it is
// drawn at 0.
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

// The lines of a chart in an SVG: each polyline's points, and the lone
// points drawn as dots.
struct ChartLinesOfStatus {
    std::vector<size_t> polylinePoints;
    size_t dots = 0;
};
ChartLinesOfStatus chartLinesOfStatus(const std::string& charts, const std::string& id) {
    ChartLinesOfStatus lines;
    const size_t begin = charts.find("<figure id=\"" + id + "\">");
    const size_t end = charts.find("</figure>", begin);
    for (size_t at = charts.find("class=\"series\"", begin); at < end; at = charts.find("class=\"series\"", at + 1)) {
        if (charts.compare(at - 7, 6, "circle") == 0) {
            ++lines.dots;
            continue;
        }
        const size_t from = charts.find("points=\"", at) + 8;
        const std::string points = charts.substr(from, charts.find('"', from) - from);
        lines.polylinePoints.push_back(static_cast<size_t>(std::count(points.begin(), points.end(), ' ')) + 1);
    }
    return lines;
}

// Minutes without a reading (before the server started, or while it was
// stopped) are a gap in every line, not a stretch of zeros: a page of a
// server started seconds ago draws its one minute alone, and one stopped
// for a while draws two stretches.
TEST(StatusCharts, MinutesWithoutAReadingAreGaps) {
    FakeClock clock(1000, 1000000800 + 59 * 60 + 6);  // 02:59:06 UTC
    StatusHistory history(clock);
    HistorySample sample;
    sample.players = 7;
    history.record(sample);
    std::string charts = renderHistoryCharts(history.view(60));
    for (const char* id : {"chart-players", "chart-zones", "chart-logins", "chart-messages", "chart-datagrams"}) {
        ChartLinesOfStatus lines = chartLinesOfStatus(charts, id);
        EXPECT_TRUE(lines.polylinePoints.empty()) << id;
        EXPECT_GE(lines.dots, 1u) << id;
    }
    EXPECT_NE(charts.find("highest 7 players at 02:59 UTC"), std::string::npos) << charts;
    EXPECT_NE(charts.find(">players 7</text>"), std::string::npos);

    // Read on to 03:09, stopped until 03:29, read again up to 03:58.
    for (int minute = 1; minute < 60; ++minute) {
        clock.advance(60000);
        if (minute > 10 && minute < 30) continue;
        sample.players = static_cast<uint64_t>(minute);
        history.record(sample);
    }
    charts = renderHistoryCharts(history.view(60));
    ChartLinesOfStatus players = chartLinesOfStatus(charts, "chart-players");
    EXPECT_EQ(players.polylinePoints, (std::vector<size_t>{11, 30}));
    EXPECT_EQ(players.dots, 0u);
    EXPECT_NE(charts.find("highest 59 players at 03:58 UTC"), std::string::npos) << charts;
    EXPECT_EQ(renderPlayersChart(history.view(60)), charts.substr(0, charts.find("</figure>") + 10));
}

}  // namespace
}  // namespace tallysv
