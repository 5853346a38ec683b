#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "status/status_pages.h"

namespace tallysv {

namespace {

// The charts are drawn in black and grey only: lines differ by their dash
// pattern and carry their name at their end, so they read on any screen,
// printed, and by anyone who does not tell colours apart.
constexpr int kWidth = 760;
constexpr int kLeft = 60;
constexpr int kRight = 600;  // end labels to the right of this
constexpr const char* kDashes[] = {"", "7 3", "2 2", "9 3 2 3"};

struct Series {
    Series(std::string n, std::vector<double> v) : name(std::move(n)), values(std::move(v)) {}
    std::string name;
    std::vector<double> values;
    bool points = false;          // drawn as marks where `present`, not as a line
    // The minutes that have a value; empty: all of them. A line breaks
    // where a minute has none (the server was not running), rather than
    // drawing it as zero.
    std::vector<bool> present;
    bool has(size_t i) const { return present.empty() || (i < present.size() && present[i]); }
};

struct Marker {
    double minute;  // fractional, from the chart's first minute
    std::string label;
    std::string title;
    bool dashed;
};

std::string fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string compact(double v) {
    char text[32];
    if (v >= 1e6)
        std::snprintf(text, sizeof text, "%.3gM", v / 1e6);
    else if (v >= 1e4)
        std::snprintf(text, sizeof text, "%.3gk", v / 1e3);
    else if (v == std::floor(v))
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string escape(std::string_view text) {
    std::string out;
    for (char c : latin1ToUtf8(text)) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// The smallest of 1, 2, 2.5, 5 times a power of ten not below `v`.
double niceCeiling(double v) {
    if (v <= 1) return 1;
    double power = std::pow(10.0, std::floor(std::log10(v)));
    for (double step : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (step * power >= v) return step * power;
    return 10 * power;
}

std::string hourMinute(int64_t minute) {
    int64_t ofDay = ((minute % 1440) + 1440) % 1440;
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(ofDay / 60), static_cast<int>(ofDay % 60));
    return text;
}

// Where labels meant for the heights `wanted` go so that no two are closer
// than a line of text, each as near its own height as that allows, all
// within [top, bottom].
std::vector<double> spreadLabels(const std::vector<double>& wanted, double top, double bottom) {
    constexpr double kLine = 12;
    std::vector<size_t> order(wanted.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return wanted[a] < wanted[b]; });
    std::vector<double> placed(wanted.size());
    double previous = top - kLine;
    for (size_t i : order) previous = placed[i] = std::max(wanted[i], previous + kLine);
    double next = bottom + kLine;
    for (auto i = order.rbegin(); i != order.rend(); ++i) next = placed[*i] = std::min(placed[*i], next - kLine);
    return placed;
}

// One chart: a title with the highest value and when it was, the plot with
// its axes, and each series' first and last value at its ends.
std::string chart(const std::string& id, const std::string& title, const std::string& unit, int64_t firstMinute,
                  const std::vector<Series>& series, const std::vector<Marker>& markers = {}) {
    const size_t n = series.empty() ? 0 : series.front().values.size();
    if (n == 0) return "";
    const int top = markers.empty() ? 26 : 52;
    const int bottom = top + 150;
    const int height = bottom + 40;
    double highest = 0;
    std::string peak;
    for (const Series& s : series) {
        for (size_t i = 0; i < n; ++i) {
            if (s.has(i) && s.values[i] > highest) {
                highest = s.values[i];
                peak = "highest " + compact(highest) + (unit.empty() ? "" : " " + unit) +
                       (series.size() > 1 ? " (" + s.name + ")" : "") + " at " +
                       hourMinute(firstMinute + static_cast<int64_t>(i)) + " UTC";
            }
        }
    }
    const double top_value = niceCeiling(highest);
    auto x = [&](double minute) { return kLeft + (kRight - kLeft) * (n > 1 ? minute / static_cast<double>(n - 1) : 0); };
    auto y = [&](double v) { return bottom - (bottom - top) * v / top_value; };

    std::string svg = "<figure id=\"" + id + "\"><figcaption><strong>" + escape(title) + "</strong>" +
                      (peak.empty() ? " (nothing in this time)" : "; " + escape(peak)) + "</figcaption>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"" + escape(title) + "\" width=\"" +
           std::to_string(kWidth) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
           std::to_string(kWidth) + " " + std::to_string(height) +
           "\" font-family=\"sans-serif\" font-size=\"11\">\n";

    // The value axis: 0, half and the top, with faint lines across.
    for (double v : {0.0, top_value / 2, top_value}) {
        std::string yy = fixed(y(v));
        if (v > 0)
            svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + yy + "\" x2=\"" + std::to_string(kRight) +
                   "\" y2=\"" + yy + "\" stroke=\"#ccc\" stroke-width=\"1\"/>\n";
        svg += "<text x=\"" + std::to_string(kLeft - 5) + "\" y=\"" + fixed(y(v) + 4) + "\" text-anchor=\"end\">" +
               compact(v) + "</text>\n";
    }
    if (!unit.empty())
        svg += "<text x=\"4\" y=\"" + std::to_string(top - 12) + "\">" + escape(unit) + "</text>\n";

    // The time axis: a tick every 10 minutes for an hour, every 3 hours for
    // a day, each labelled with its time of day in UTC.
    const int64_t every = n > 120 ? 180 : 10;
    for (size_t i = 0; i < n; ++i) {
        int64_t minute = firstMinute + static_cast<int64_t>(i);
        if (((minute % every) + every) % every != 0) continue;
        std::string xx = fixed(x(static_cast<double>(i)));
        svg += "<line x1=\"" + xx + "\" y1=\"" + std::to_string(top) + "\" x2=\"" + xx + "\" y2=\"" +
               std::to_string(bottom + 4) + "\" stroke=\"#ddd\" stroke-width=\"1\"/>\n";
        svg += "<text x=\"" + xx + "\" y=\"" + std::to_string(bottom + 17) + "\" text-anchor=\"middle\">" +
               hourMinute(minute) + "</text>\n";
    }
    svg += "<text x=\"" + std::to_string(kRight) + "\" y=\"" + std::to_string(bottom + 32) +
           "\" text-anchor=\"end\">time (UTC), one point a minute, up to " + hourMinute(firstMinute + static_cast<int64_t>(n) - 1) +
           "</text>\n";
    svg += "<polyline points=\"" + std::to_string(kLeft) + "," + std::to_string(top) + " " + std::to_string(kLeft) +
           "," + std::to_string(bottom) + " " + std::to_string(kRight) + "," + std::to_string(bottom) +
           "\" fill=\"none\" stroke=\"#000\" stroke-width=\"1\"/>\n";

    // Zone events: a line from top to bottom at the moment, its label in
    // one of three rows above the plot so that neighbours do not overlap.
    for (size_t i = 0; i < markers.size(); ++i) {
        const Marker& m = markers[i];
        std::string xx = fixed(x(m.minute));
        svg += "<g class=\"zone-event\"><title>" + escape(m.title) + "</title><line x1=\"" + xx + "\" y1=\"" +
               std::to_string(top - 38 + static_cast<int>(i % 3) * 12) + "\" x2=\"" + xx + "\" y2=\"" +
               std::to_string(bottom) + "\" stroke=\"#000\" stroke-width=\"1\"" +
               (m.dashed ? " stroke-dasharray=\"3 2\"" : "") + "/><text x=\"" + fixed(x(m.minute) + 3) + "\" y=\"" +
               std::to_string(top - 30 + static_cast<int>(i % 3) * 12) + "\">" + escape(m.label) + "</text></g>\n";
    }

    // The series, each with its first and last value at its ends.
    std::vector<double> startX, startY, endY;
    std::vector<std::string> startText, endText;
    for (size_t k = 0; k < series.size(); ++k) {
        const Series& s = series[k];
        const char* dash = kDashes[k % std::size(kDashes)];
        if (s.points) {
            bool anyPoint = false;
            double lastValue = 0;
            for (size_t i = 0; i < n; ++i) {
                if (i >= s.present.size() || !s.present[i]) continue;
                anyPoint = true;
                lastValue = s.values[i];
                std::string xx = fixed(x(static_cast<double>(i)));
                svg += "<line x1=\"" + xx + "\" y1=\"" + std::to_string(bottom) + "\" x2=\"" + xx + "\" y2=\"" +
                       fixed(y(s.values[i])) + "\" stroke=\"#000\" stroke-width=\"1\"/><rect x=\"" +
                       fixed(x(static_cast<double>(i)) - 2.5) + "\" y=\"" + fixed(y(s.values[i]) - 2.5) +
                       "\" width=\"5\" height=\"5\" fill=\"#000\"/>\n";
            }
            endY.push_back(anyPoint ? y(lastValue) : y(0));
            endText.push_back(s.name + (anyPoint ? ": last " + compact(lastValue) : ": none"));
            continue;
        }
        // One polyline for each run of minutes with values; a lone minute
        // is a dot.
        std::optional<size_t> firstShown, lastShown;
        for (size_t i = 0; i < n;) {
            if (!s.has(i)) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < n && s.has(end)) ++end;
            if (!firstShown) firstShown = i;
            lastShown = end - 1;
            if (end - i == 1) {
                svg += "<circle class=\"series\" cx=\"" + fixed(x(static_cast<double>(i))) + "\" cy=\"" +
                       fixed(y(s.values[i])) + "\" r=\"2.5\" fill=\"#000\"/>\n";
            } else {
                std::string points;
                for (size_t j = i; j < end; ++j)
                    points += (j > i ? " " : "") + fixed(x(static_cast<double>(j))) + "," + fixed(y(s.values[j]));
                svg += "<polyline class=\"series\" points=\"" + points +
                       "\" fill=\"none\" stroke=\"#000\" stroke-width=\"1.5\"" +
                       (*dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") + "/>\n";
            }
            i = end;
        }
        const size_t from = firstShown.value_or(0), to = lastShown.value_or(n - 1);
        // The first value stands where the line begins.
        startX.push_back(x(static_cast<double>(from)));
        startY.push_back(y(firstShown ? s.values[from] : 0));
        startText.push_back(firstShown ? compact(s.values[from]) : "");
        endY.push_back(y(lastShown ? s.values[to] : 0));
        endText.push_back(s.name + (lastShown ? " " + compact(s.values[to]) : ": none"));
    }
    std::vector<double> starts = spreadLabels(startY, top, bottom);
    for (size_t k = 0; k < starts.size(); ++k)
        svg += "<text class=\"start\" x=\"" + fixed(std::min(startX[k], static_cast<double>(kRight) - 20) + 3) +
               "\" y=\"" + fixed(starts[k] - 3) + "\">" + startText[k] + "</text>\n";
    // Each name beside a piece of its line's own pattern, for the reader to
    // match.
    std::vector<double> ends = spreadLabels(endY, top, bottom);
    for (size_t k = 0; k < ends.size(); ++k) {
        const char* dash = kDashes[k % std::size(kDashes)];
        std::string yy = fixed(ends[k]);
        if (!series[k].points)
            svg += "<line x1=\"" + std::to_string(kRight + 6) + "\" y1=\"" + yy + "\" x2=\"" + std::to_string(kRight + 26) +
                   "\" y2=\"" + yy + "\" stroke=\"#000\" stroke-width=\"1.5\"" +
                   (*dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") + "/>\n";
        svg += "<text class=\"end\" x=\"" + std::to_string(kRight + 30) + "\" y=\"" + fixed(ends[k] + 4) + "\">" +
               escape(endText[k]) + "</text>\n";
    }
    svg += "</svg></figure>\n";
    return svg;
}

std::string utcMinuteSecond(int32_t time) {
    std::string text = utcTimeText(time);  // "YYYY-MM-DD HH:MM:SS UTC"
    return text.size() > 11 ? text.substr(11) : text;
}

// A line of the history: minutes without a reading have no value.
Series line(std::string name, const HistoryView& history, std::vector<double> values) {
    Series s(std::move(name), std::move(values));
    for (const HistoryBucket& b : history.buckets) s.present.push_back(b.sampled);
    return s;
}

template <typename Pick>
std::vector<double> column(const HistoryView& history, Pick pick) {
    std::vector<double> values;
    values.reserve(history.buckets.size());
    for (const HistoryBucket& b : history.buckets) values.push_back(static_cast<double>(pick(b)));
    return values;
}

uint64_t logins(const HistoryBucket& b, std::initializer_list<PlayerLoginOutcome> outcomes) {
    uint64_t sum = 0;
    for (PlayerLoginOutcome o : outcomes) sum += b.playerLogins[static_cast<size_t>(o)];
    return sum;
}

std::string renderPlayersChart(const HistoryView& h, const std::vector<Marker>& markers) {
    return chart("chart-players", "Players online", "players", h.firstMinute,
                 {line("players", h, column(h, [](const HistoryBucket& b) { return b.players; }))}, markers);
}

}  // namespace

std::string renderPlayersChart(const HistoryView& history) {
    if (history.empty()) return "";
    return renderPlayersChart(history, {});
}

std::string renderHistoryCharts(const HistoryView& h) {
    if (h.empty()) return "";
    using O = PlayerLoginOutcome;
    const int64_t first = h.firstMinute;
    std::vector<Marker> markers;
    for (const ZoneEvent& e : h.zoneEvents) {
        std::string name(e.name.data());
        std::string when = utcMinuteSecond(e.time);
        markers.push_back({static_cast<double>(e.time) / 60.0 - static_cast<double>(first),
                           std::string(e.connected ? "+ " : "- ") + name,
                           name + " (ScoreID " + std::to_string(e.scoreID) + ") " +
                               (e.connected ? "connected" : "dropped") + " at " + when,
                           !e.connected});
    }
    std::string out = renderPlayersChart(h, markers);
    if (!h.zoneEvents.empty()) {
        out += "<table id=zone-events><caption>Zones that came (+) and went (-) in this time</caption>\n"
               "<tr><th>Time (UTC)</th><th>Zone</th><th>ScoreID</th><th>Event</th></tr>\n";
        // The newest first, the last 20.
        size_t shown = 0;
        for (auto e = h.zoneEvents.rbegin(); e != h.zoneEvents.rend() && shown < 20; ++e, ++shown)
            out += "<tr><td>" + utcTimeText(e->time) + "</td><td>" + escape(std::string(e->name.data())) +
                   "</td><td class=\"n\">" + std::to_string(e->scoreID) + "</td><td>" +
                   (e->connected ? "+ connected" : "- dropped") + "</td></tr>\n";
        out += "</table>\n";
    }
    out += chart("chart-zones", "Zones connected", "zones", first,
                 {line("zones", h, column(h, [](const HistoryBucket& b) { return b.zones; }))});
    out += chart("chart-logins", "Player logins per minute", "logins", first,
                 {line("entered", h, column(h, [](const HistoryBucket& b) { return logins(b, {O::Entered, O::Created, O::LockedOut}); })),
                  line("wrong password", h, column(h, [](const HistoryBucket& b) { return logins(b, {O::WrongPassword}); })),
                  line("flood", h, column(h, [](const HistoryBucket& b) { return logins(b, {O::Flood}); })),
                  line("other", h, column(h, [](const HistoryBucket& b) {
                       return logins(b, {O::AskedNewUser, O::NewUserRefused, O::BadName});
                   }))});
    out += chart("chart-messages", "Chat lines, broadcasts and commands per minute", "per minute", first,
                 {line("chat", h, column(h, [](const HistoryBucket& b) { return b.chatMessages; })),
                  line("broadcasts", h, column(h, [](const HistoryBucket& b) { return b.broadcasts; })),
                  line("commands", h, column(h, [](const HistoryBucket& b) { return b.commands; }))});
    out += chart("chart-datagrams", "Datagrams per minute", "datagrams", first,
                 {line("in", h, column(h, [](const HistoryBucket& b) { return b.datagramsIn; })),
                  line("out", h, column(h, [](const HistoryBucket& b) { return b.datagramsOut; })),
                  line("resent", h, column(h, [](const HistoryBucket& b) { return b.resends; }))});
    Series saves("save", column(h, [](const HistoryBucket& b) { return b.longestSaveMs; }));
    saves.points = true;
    for (const HistoryBucket& b : h.buckets) saves.present.push_back(b.saves > 0);
    out += chart("chart-saves", "Save duration (longest save ending in each minute)", "ms", first, {saves});
    return out;
}

std::string renderHistoryJson(const HistoryView& h) {
    auto list = [&](auto pick) {
        std::string out = "[";
        for (size_t i = 0; i < h.buckets.size(); ++i) out += (i ? "," : "") + std::to_string(pick(h.buckets[i]));
        return out + "]";
    };
    std::string json = "{\"time\":" + std::to_string(h.now) + ",\"minutes\":" + std::to_string(h.buckets.size()) +
                       ",\"first_minute_start\":" + std::to_string(h.firstMinute * 60) + ",\"series\":{";
    json += "\"sampled\":" + list([](const HistoryBucket& b) { return b.sampled ? 1 : 0; });
    json += ",\"players\":" + list([](const HistoryBucket& b) { return b.players; });
    json += ",\"zones\":" + list([](const HistoryBucket& b) { return b.zones; });
    json += ",\"player_logins\":{";
    for (size_t o = 0; o < static_cast<size_t>(PlayerLoginOutcome::Count); ++o)
        json += std::string(o ? "," : "") + "\"" + outcomeName(static_cast<PlayerLoginOutcome>(o)) +
                "\":" + list([o](const HistoryBucket& b) { return b.playerLogins[o]; });
    json += "}";
    json += ",\"chat_messages\":" + list([](const HistoryBucket& b) { return b.chatMessages; });
    json += ",\"broadcasts\":" + list([](const HistoryBucket& b) { return b.broadcasts; });
    json += ",\"commands\":" + list([](const HistoryBucket& b) { return b.commands; });
    json += ",\"datagrams_in\":" + list([](const HistoryBucket& b) { return b.datagramsIn; });
    json += ",\"datagrams_out\":" + list([](const HistoryBucket& b) { return b.datagramsOut; });
    json += ",\"resends\":" + list([](const HistoryBucket& b) { return b.resends; });
    json += ",\"saves\":" + list([](const HistoryBucket& b) { return b.saves; });
    json += ",\"longest_save_ms\":" + list([](const HistoryBucket& b) { return b.longestSaveMs; });
    json += "},\"zone_events\":[";
    for (size_t i = 0; i < h.zoneEvents.size(); ++i) {
        const ZoneEvent& e = h.zoneEvents[i];
        std::string name;
        for (char c : latin1ToUtf8(std::string(e.name.data()))) {
            auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                name += '\\';
                name += c;
            } else if (byte < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", byte);
                name += esc;
            } else {
                name += c;
            }
        }
        json += std::string(i ? "," : "") + "{\"time\":" + std::to_string(e.time) + ",\"score_id\":" +
                std::to_string(e.scoreID) + ",\"zone\":\"" + name + "\",\"event\":\"" +
                (e.connected ? "connected" : "dropped") + "\"}";
    }
    json += "]}\n";
    return json;
}

}  // namespace tallysv
