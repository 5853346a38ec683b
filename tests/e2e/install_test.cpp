// What `cmake --install` puts where, the service unit as the service manager
// sees it, and the example TALLYSV.INI against the server's own defaults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/configuration.h"
#include "core/log.h"
#include "core/settings.h"
#include "support/process.h"
#include "support/temp_dir.h"

using namespace tallysv;
using namespace tallysv::testing;

namespace {

const std::string kBuild = TALLYSV_BIN_DIR;

// The build installed into a fresh prefix.
struct Installed {
    Installed() {
        ChildProcess install(TALLYSV_CMAKE, {"--install", kBuild, "--prefix", prefix.str()}, prefix.str());
        status = install.wait(std::chrono::seconds(60));
        output = install.output();
    }
    TempDir prefix;
    std::optional<int> status;
    std::string output;
};

std::set<std::string> filesUnder(const std::filesystem::path& root) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (!entry.is_directory()) files.insert(std::filesystem::relative(entry.path(), root).string());
    return files;
}

// Every setting, as text, to compare two readings.
std::string describe(const Settings& s) {
    std::ostringstream out;
    out << std::string(reinterpret_cast<const char*>(s.sysopPassword.data()), s.sysopPassword.size()) << "|"
        << std::string(reinterpret_cast<const char*>(s.billingPassword.data()), s.billingPassword.size()) << "|"
        << s.kickOutDelay << "|" << s.packetLossLimit << "|" << s.periodicSave << "|" << s.lowPriority << "|"
        << s.allowNewUsers << "|" << s.askNewUsers << "|" << s.disableHelp << "|" << s.encryptMode << "|"
        << s.maxQueueForLogin << "|" << s.accountReclaimDelay << "|" << s.port << "|" << s.backupInterval << "|"
        << s.backupKeep << "|" << s.whoisServer << "|" << s.whoisTimeout << "|" << s.clusterToZones << "|"
        << s.statusListen << "|" << s.controlSocket;
    out << "|" << s.allowNoMachineID << "|" << s.usageFromSessions << "|" << s.passwordHashing;
    out << "|" << s.zoneIdleProbe << "|" << s.resendBackoff;
    out << "|" << s.passwordWorkers << "|" << s.guessLimit << "|" << s.guessWindow << "|" << s.passwordVerifierCache
        << "|" << s.floodPerZone << "|" << s.whoisAllowedServers << "|" << s.groupReadable << "|" << s.statusHosts
        << "|" << s.runAsUser;
    out << "|" << s.resetUnknownPeers << "|" << s.afterSaveCommand;
    out << "|" << s.publicListen << "|" << s.scoreLabels << "|" << s.scoreLabelsByZone;
    return out.str();
}

std::string readingOf(const std::string& ini) {
    TempDir dir;
    if (!ini.empty()) dir.write("TALLYSV.INI", ini);
    Settings settings;
    DiscardLog log;
    readConfiguration(settings, log, dir.str());
    return describe(settings);
}

}  // namespace

TEST(Install, PutsExactlyTheListedFilesIntoThePrefix) {
    Installed installed;
    ASSERT_EQ(installed.status, 0) << installed.output;
    std::set<std::string> expected = {"bin/tallysv",
                                      "bin/tallysv-zone",
                                      "bin/tallysv-db",
                                      "bin/tallysv-ctl",
                                      "share/man/man8/tallysv.8",
                                      "share/man/man1/tallysv-zone.1",
                                      "share/man/man1/tallysv-db.1",
                                      "share/man/man1/tallysv-ctl.1",
                                      "share/doc/tallysv/TALLYSV.INI",
                                      "etc/logrotate.d/tallysv",
                                      "share/tallysv/monitoring/tallysv-alerts.yml",
                                      "share/tallysv/monitoring/tallysv-recording.yml",
                                      "share/tallysv/monitoring/tallysv-dashboard.json",
                                      "share/tallysv/monitoring/grafana-dashboards.yml",
                                      "share/tallysv/standby/keepalived.conf",
                                      "share/tallysv/standby/tallysv-standby.conf",
                                      "lib/tallysv/tallysv-vrrp-notify",
                                      "lib/tallysv/tallysv-vrrp-check",
                                      "lib/tallysv/tallysv-standby-sync",
                                      "lib/systemd/system/tallysv.service",
                                      "lib/sysusers.d/tallysv.conf"};
    EXPECT_EQ(filesUnder(installed.prefix.path()), expected);
    std::ifstream unit(installed.prefix.path() / "lib/systemd/system/tallysv.service");
    std::string text((std::istreambuf_iterator<char>(unit)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\nExecStart=" + (installed.prefix.path() / "bin/tallysv").string() + "\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nExecReload=" + (installed.prefix.path() / "bin/tallysv-ctl").string() + " reload\n"),
              std::string::npos)
        << text;
}

// The lines of a packaging file, as they stand.
std::vector<std::string> packagingLines(const std::string& name) {
    std::ifstream file(std::string(TALLYSV_SOURCE_DIR) + "/packaging/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

bool holdsLine(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines)
        if (line == wanted) return true;
    return false;
}

// The service runs as a fixed unprivileged user, which logrotate acts as
// in its folder, and is confined as far as binding port 900 allows.
TEST(Install, ServiceIsConfinedAndRotationRunsAsItsUser) {
    const std::vector<std::string> unit = packagingLines("tallysv.service");
    ASSERT_FALSE(unit.empty());
    for (const char* line : {"User=tallysv", "Group=tallysv", "LimitCORE=0", "ProcSubset=pid",
                             "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX", "SystemCallFilter=~@privileged",
                             "NoNewPrivileges=yes", "AmbientCapabilities=CAP_NET_BIND_SERVICE"})
        EXPECT_TRUE(holdsLine(unit, line)) << line;
    // A dynamic user cannot be named by logrotate (it exists only while
    // the service runs, its folder lies below a root-only one), and a user
    // namespace of its own would take away the binding of port 900.
    for (const char* line : {"DynamicUser=yes", "PrivateUsers=yes"}) EXPECT_FALSE(holdsLine(unit, line)) << line;

    const std::vector<std::string> rotation = packagingLines("tallysv.logrotate");
    EXPECT_TRUE(holdsLine(rotation, "\tsu tallysv tallysv")) << "logrotate must not act as root in the folder";
    EXPECT_TRUE(holdsLine(packagingLines("tallysv.sysusers"), "u tallysv - \"Tallysv billing server\" /var/lib/tallysv"));
}

// Overall exposure as systemd rates the unit: at most 1.5.
TEST(Install, ServiceUnitRatesLowExposure) {
    std::string analyze = onPath("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir dir;
    ChildProcess security(analyze, {"security", "--offline=yes", "--threshold=15",
                                    std::string(TALLYSV_SOURCE_DIR) + "/packaging/tallysv.service"},
                          dir.str());
    // Exit status 1 when the exposure is above 1.5.
    EXPECT_EQ(security.wait(std::chrono::seconds(60)), 0) << security.output();
    EXPECT_NE(security.output().find("Overall exposure level for tallysv.service"), std::string::npos)
        << security.output();
}

// The user the unit and logrotate name is the one systemd-sysusers makes:
// a system user that cannot log in, with a group of the same name.
TEST(Install, SysusersMakesTheServicesUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "systemd-sysusers writes the accounts of a root only as root";
    std::string sysusers = onPath("systemd-sysusers");
    if (sysusers.empty()) GTEST_SKIP() << "systemd-sysusers is not installed";
    TempDir root;
    std::filesystem::create_directories(root.path() / "etc");
    ChildProcess make(sysusers, {"--root=" + root.str(), std::string(TALLYSV_SOURCE_DIR) + "/packaging/tallysv.sysusers"},
                      root.str());
    ASSERT_EQ(make.wait(std::chrono::seconds(60)), 0) << make.output();
    const std::string passwd = root.read("etc/passwd");
    const size_t at = passwd.find("tallysv:x:");
    ASSERT_NE(at, std::string::npos) << passwd;
    const std::string entry = passwd.substr(at, passwd.find('\n', at) - at);
    EXPECT_NE(entry.find(":Tallysv billing server:/var/lib/tallysv:"), std::string::npos) << entry;
    EXPECT_EQ(entry.find(":0:"), std::string::npos) << entry;
    EXPECT_NE(entry.find("nologin"), std::string::npos) << entry;
    EXPECT_NE(root.read("etc/group").find("tallysv:x:"), std::string::npos);
}

TEST(Install, ServiceUnitPassesSystemdAnalyzeVerify) {
    std::string analyze = onPath("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
    Installed installed;
    ASSERT_EQ(installed.status, 0) << installed.output;
    // The unit's documentation is the installed man page; without a man
    // program there is no looking it up.
    std::string manPath = (installed.prefix.path() / "share/man").string();
    std::vector<std::string> args = {"MANPATH=" + manPath, analyze, "verify"};
    if (onPath("man").empty()) args.push_back("--man=no");
    args.push_back((installed.prefix.path() / "lib/systemd/system/tallysv.service").string());
    ChildProcess verify("/usr/bin/env", args, installed.prefix.str());
    EXPECT_EQ(verify.wait(std::chrono::seconds(60)), 0) << verify.output();
    EXPECT_EQ(verify.output(), "");
}

// The example holds every key at the server's default, and every key it
// holds is one the server reads, in the section where it stands.
TEST(Install, ExampleSettingsAreTheDefaultsAndEachKeyIsRead) {
    std::ifstream file(kBuild + "/packaging/TALLYSV.INI");
    ASSERT_TRUE(file) << "the example TALLYSV.INI was not generated";
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    std::string example;
    for (const std::string& line : lines) example += line + "\n";
    std::string defaults = readingOf("");
    EXPECT_EQ(readingOf(example), defaults);

    int keys = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t equals = lines[i].find('=');
        if (lines[i].empty() || lines[i][0] == ';' || lines[i][0] == '[' || equals == std::string::npos) continue;
        ++keys;
        ASSERT_GT(i, 0u);
        EXPECT_EQ(lines[i - 1].rfind("; ", 0), 0u) << "no comment above " << lines[i];
        std::string value = lines[i].substr(equals + 1);
        std::string other = value.empty() ? "x" : value == "0" ? "1" : value == "1" ? "0" : value + "1";
        std::vector<std::string> changed = lines;
        changed[i] = lines[i].substr(0, equals + 1) + other;
        std::string text;
        for (const std::string& line : changed) text += line + "\n";
        EXPECT_NE(readingOf(text), defaults) << lines[i] << " is not read where it stands";
    }
    EXPECT_GT(keys, 0);
}
