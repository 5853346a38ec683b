#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

const std::filesystem::path kMonitoring = std::filesystem::path(TALLYSV_SOURCE_DIR) / "packaging" / "monitoring";
const std::filesystem::path kRulesTest =
    std::filesystem::path(TALLYSV_SOURCE_DIR) / "tests" / "monitoring" / "tallysv_rules_test.yml";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The metric names a PromQL expression reads: what is left once strings,
// label matchers, ranges, grouping clauses, functions and operators are
// taken out.
std::set<std::string> metricNames(std::string expr) {
    for (const char* drop : {R"("(\\.|[^"\\])*")", R"(\{[^}]*\})", R"(\[[^\]]*\])",
                             R"(\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\))"})
        expr = std::regex_replace(expr, std::regex(drop), " ");
    static const std::set<std::string> keywords = {"and", "or", "unless", "bool", "offset", "by", "without"};
    std::set<std::string> names;
    std::regex identifier(R"([A-Za-z_:][A-Za-z0-9_:]*)");
    for (auto it = std::sregex_iterator(expr.begin(), expr.end(), identifier); it != std::sregex_iterator(); ++it) {
        size_t after = static_cast<size_t>(it->position() + it->length());
        while (after < expr.size() && expr[after] == ' ') ++after;
        if (after < expr.size() && expr[after] == '(') continue;  // a function or an aggregation
        if (it->position() > 0 && std::isdigit(static_cast<unsigned char>(expr[static_cast<size_t>(it->position()) - 1])))
            continue;  // the unit of a number, as in 1e3
        if (!keywords.count(it->str())) names.insert(it->str());
    }
    return names;
}

// The values of every "key": "..." member of a JSON text, unescaped.
std::vector<std::string> jsonStrings(const std::string& json, const std::string& key) {
    std::vector<std::string> values;
    const std::string start = "\"" + key + "\": \"";
    for (size_t at = json.find(start); at != std::string::npos; at = json.find(start, at)) {
        at += start.size();
        std::string value;
        for (; at < json.size() && json[at] != '"'; ++at) {
            if (json[at] == '\\' && at + 1 < json.size()) {
                ++at;
                value += json[at] == 'n' ? '\n' : json[at];
            } else {
                value += json[at];
            }
        }
        values.push_back(value);
    }
    return values;
}

// The expressions of a rules file (one line, or a folded block under
// "expr: >"), and the names it records.
void readRules(const std::string& yaml, std::vector<std::string>& exprs, std::set<std::string>& recorded) {
    std::istringstream lines(yaml);
    std::string line;
    std::string* block = nullptr;
    size_t blockIndent = 0;
    while (std::getline(lines, line)) {
        size_t indent = line.find_first_not_of(' ');
        if (block && indent != std::string::npos && indent > blockIndent) {
            *block += " " + line.substr(indent);
            continue;
        }
        block = nullptr;
        if (indent == std::string::npos) continue;
        std::string body = line.substr(indent);
        if (body.rfind("- ", 0) == 0) body = body.substr(2), indent += 2;
        if (body.rfind("record: ", 0) == 0) recorded.insert(body.substr(8));
        if (body.rfind("expr: ", 0) == 0) {
            std::string value = body.substr(6);
            exprs.push_back(value == ">" || value == "|" ? "" : value);
            if (value == ">" || value == "|") {
                block = &exprs.back();
                blockIndent = indent;
            }
        }
    }
}

// The metric names in an exposition.
std::set<std::string> exported(const std::string& metrics) {
    std::set<std::string> names;
    std::istringstream lines(metrics);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        names.insert(line.substr(0, line.find_first_of("{ ")));
    }
    return names;
}

// /metrics of the real server with a zone connected and a save written,
// so that every family it can export is there.
std::string metricsOfARunningServer() {
    TempDir dir;
    int port = freeUdpPort();
    dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port) +
                                 "\nStatusListen=127.0.0.1:0\n[Comms]\nPeriodicSave=500\n");
    ChildProcess server(kBinDir + "/tallysv", {}, dir.str());
    EXPECT_TRUE(server.waitForOutput("Status pages on http://127.0.0.1:")) << server.output();
    std::string console = server.output();
    size_t at = console.find("http://127.0.0.1:") + std::string("http://127.0.0.1:").size();
    int statusPort = std::atoi(console.c_str() + at);
    ChildProcess zone(kBinDir + "/tallysv-zone",
                      {"--server", "127.0.0.1:" + std::to_string(port), "--score-id", "1", "--group-id", "1", "--name",
                       "North", "--password", ""},
                      dir.str());
    EXPECT_TRUE(server.waitForOutput("1 - Docking granted: North")) << server.output();
    httplib::Client client("127.0.0.1", statusPort);
    std::string metrics;
    for (int tries = 0; tries < 100 && metrics.find("\ntallysv_last_successful_save_time_seconds ") == std::string::npos;
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (auto got = client.Get("/metrics")) metrics = got->body;
    }
    zone.send("quit\n");
    zone.wait();
    server.send("q");
    EXPECT_EQ(server.wait(), 0) << server.output();
    return metrics;
}

}  // namespace

// The rules are files that promtool reads: the sanitizer build has nothing
// of its own to find in them.
#ifdef TALLYSV_SANITIZED
#define SKIP_IN_THE_SANITIZER_BUILD() GTEST_SKIP() << "checked in the plain build"
#else
#define SKIP_IN_THE_SANITIZER_BUILD() (void)0
#endif

TEST(MonitoringRules, PassPromtoolCheck) {
    SKIP_IN_THE_SANITIZER_BUILD();
    const std::string promtool = onPath("promtool");
    if (promtool.empty()) GTEST_SKIP() << "promtool is missing (Debian package prometheus)";
    ChildProcess check(promtool,
                       {"check", "rules", (kMonitoring / "tallysv-recording.yml").string(),
                        (kMonitoring / "tallysv-alerts.yml").string()},
                       kMonitoring.string());
    EXPECT_EQ(check.wait(std::chrono::seconds(60)), 0) << check.output();
}

// Each alert fires on series made for it and stays silent on a normal day
// (the series and the expected alerts are in the rules test file).
TEST(MonitoringRules, FireWhenTheyShouldAndNotOnANormalDay) {
    SKIP_IN_THE_SANITIZER_BUILD();
    const std::string promtool = onPath("promtool");
    if (promtool.empty()) GTEST_SKIP() << "promtool is missing (Debian package prometheus)";
    ChildProcess test(promtool, {"test", "rules", kRulesTest.string()}, kRulesTest.parent_path().string());
    EXPECT_EQ(test.wait(std::chrono::seconds(120)), 0) << test.output();
    // Every alert of the rules is in the test.
    std::string rules = readFile(kMonitoring / "tallysv-alerts.yml");
    std::string tests = readFile(kRulesTest);
    std::regex alert(R"(- alert: (\w+))");
    int alerts = 0;
    for (auto it = std::sregex_iterator(rules.begin(), rules.end(), alert); it != std::sregex_iterator(); ++it, ++alerts)
        EXPECT_NE(tests.find("alertname: " + (*it)[1].str() + "\n        exp_alerts:\n"), std::string::npos)
            << (*it)[1] << " is never expected to fire";
    EXPECT_GT(alerts, 5);
}

TEST(MonitoringExpressions, ReadOnlyMetricsTheServerExports) {
    // The reading of expressions itself, on the forms the files use.
    EXPECT_EQ(metricNames(R"(sum by (result) (rate(a_total{instance=~"$i",x="}"}[5m])) * 60 > 1e3)"),
              (std::set<std::string>{"a_total"}));
    EXPECT_EQ(metricNames("time() - (b or c) > 2 * d + 60 unless on (job, instance) (up == 0)"),
              (std::set<std::string>{"b", "c", "d", "up"}));

    const std::string metrics = metricsOfARunningServer();
    ASSERT_NE(metrics.find("\ntallysv_zone_players{"), std::string::npos) << metrics;
    const std::set<std::string> served = exported(metrics);

    const std::string dashboard = readFile(kMonitoring / "tallysv-dashboard.json");
    std::vector<std::string> panelExprs = jsonStrings(dashboard, "expr");
    ASSERT_GT(panelExprs.size(), 10u);
    // A variable's values come from the series of its first argument.
    std::regex labelValues(R"(label_values\((\w+),)");
    for (const std::string& definition : jsonStrings(dashboard, "definition")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(definition, m, labelValues)) << definition;
        panelExprs.push_back(m[1]);
    }
    for (const std::string& expr : panelExprs) {
        std::set<std::string> names = metricNames(expr);
        EXPECT_FALSE(names.empty()) << expr;
        for (const std::string& name : names) EXPECT_TRUE(served.count(name)) << name << " in " << expr;
    }

    // The rules read what the server exports, what the recording rules
    // record, and Prometheus's own `up`.
    std::vector<std::string> ruleExprs;
    std::set<std::string> recorded;
    for (const char* file : {"tallysv-recording.yml", "tallysv-alerts.yml"})
        readRules(readFile(kMonitoring / file), ruleExprs, recorded);
    ASSERT_GT(ruleExprs.size(), 10u);
    for (const std::string& expr : ruleExprs)
        for (const std::string& name : metricNames(expr))
            EXPECT_TRUE(served.count(name) || recorded.count(name) || name == "up") << name << " in " << expr;
}
