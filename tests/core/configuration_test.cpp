#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/configuration.h"
#include "core/ini_file.h"
#include "core/log.h"
#include "support/temp_dir.h"

using namespace tallysv;
using tallysv::testing::TempDir;

namespace {

Settings readFrom(const std::string& ini, RecordingLog* logOut = nullptr) {
    TempDir dir;
    dir.write("TALLYSV.INI", ini);
    RecordingLog log;
    Settings settings;
    readConfiguration(settings, log, dir.str());
    if (logOut) logOut->write(log.text());
    return settings;
}

}  // namespace

TEST(Configuration, MissingFileGivesEveryDefault) {
    TempDir dir;
    RecordingLog log;
    Settings settings;
    EXPECT_TRUE(readConfiguration(settings, log, dir.str()));
    EXPECT_EQ(log.text(), "Reading TALLYSV.INI... Done.\n");
    EXPECT_EQ(settings.port, 900);
    EXPECT_EQ(settings.periodicSave, 1800000);
    EXPECT_EQ(settings.kickOutDelay, 60000);
    EXPECT_EQ(settings.packetLossLimit, 30000);
    EXPECT_FALSE(settings.lowPriority);
    EXPECT_FALSE(settings.allowNewUsers);
    EXPECT_TRUE(settings.askNewUsers);
    EXPECT_TRUE(settings.disableHelp);
    EXPECT_TRUE(settings.encryptMode);
    EXPECT_FALSE(settings.clusterToZones);
    EXPECT_EQ(settings.maxQueueForLogin, 50);
    EXPECT_EQ(settings.accountReclaimDelay, 90 * 86400);
    EXPECT_EQ(settings.whoisServer, "whois.iana.org");
    EXPECT_EQ(settings.whoisTimeout, 5000);
    EXPECT_EQ(settings.backupInterval, 86400000);
    EXPECT_EQ(settings.backupKeep, 7);
    EXPECT_EQ(settings.statusListen, "");
    EXPECT_EQ(settings.publicListen, "");
    EXPECT_EQ(settings.scoreLabels, "Kills, Deaths, Flags, Kill points, Flag points");
    EXPECT_EQ(settings.scoreLabelsByZone, "");
    EXPECT_EQ(settings.sysopPassword, PasswordField{});
    EXPECT_EQ(settings.billingPassword, PasswordField{});
    // Only the first reading asks for the built-in operator.
    EXPECT_FALSE(readConfiguration(settings, log, dir.str()));
}

TEST(Configuration, ValuesAreCutThenConvertedLikeAtoi) {
    const struct {
        const char* line;  // in [Misc] or [Comms] as the key needs
        const char* section;
        std::function<bool(const Settings&)> check;
        const char* what;
    } cases[] = {
        {"AllowNewUsers=10", "Misc", [](const Settings& s) { return s.allowNewUsers; }, "flag 10 is true"},
        {"EncryptMode=0x1", "Comms", [](const Settings& s) { return !s.encryptMode; }, "0x1 cuts to 0x, false"},
        {"DisableHelp=0", "Comms", [](const Settings& s) { return !s.disableHelp; }, "flag 0 is false"},
        {"Port=65536", "Misc", [](const Settings& s) { return s.port == 0; }, "port wraps to 0"},
        {"Port=  1234xyz", "Misc", [](const Settings& s) { return s.port == 1234; }, "atoi skips blanks, stops"},
        {"Port=junk", "Misc", [](const Settings& s) { return s.port == 0; }, "no digits is 0"},
        {"PeriodicSave=-5", "Comms", [](const Settings& s) { return s.periodicSave == -5; }, "negative"},
        {"PeriodicSave=1234567890123456", "Comms",
         [](const Settings& s) { return s.periodicSave == static_cast<int32_t>(123456789012345LL & 0xFFFFFFFF); },
         "cut to 15 characters, wraps to 32 bits"},
        {"AccountReclaimDelay=2", "Misc", [](const Settings& s) { return s.accountReclaimDelay == 172800; },
         "days to seconds"},
        {"AccountReclaimDelay=30000", "Misc", [](const Settings& s) { return s.accountReclaimDelay == INT32_MAX; },
         "more days than 32 bits of seconds hold: as long as can be"},
        {"MaxQueueForLogin=\"7\"", "Misc", [](const Settings& s) { return s.maxQueueForLogin == 7; },
         "quotes are dropped"},
        {"kickoutdelay = 5000 ", "MISC", [](const Settings& s) { return s.kickOutDelay == 5000; },
         "names without regard to case, blanks trimmed"},
        {"Port=1234", "Comms", [](const Settings& s) { return s.port == 900; }, "key in the wrong section"},
        {"LowPriority=1", "Misc", [](const Settings& s) { return s.lowPriority; }, "low priority"},
        {"AskNewUsers=0", "Comms", [](const Settings& s) { return !s.askNewUsers; }, "ask new users off"},
        {"ClusterToZones=1", "Comms", [](const Settings& s) { return s.clusterToZones; }, "clusters to zones"},
        {"PacketLossLimit=100", "Comms", [](const Settings& s) { return s.packetLossLimit == 100; }, "loss limit"},
        {"WhoisServer=127.0.0.1:4343", "Misc", [](const Settings& s) { return s.whoisServer == "127.0.0.1:4343"; },
         "whois server with a port"},
        {"WhoisTimeout=250", "Misc", [](const Settings& s) { return s.whoisTimeout == 250; }, "whois time limit"},
        {"WhoisTimeout=0", "Misc", [](const Settings& s) { return s.whoisTimeout == 5000; },
         "no whois time limit is the default one"},
        {"WhoisTimeout=-3", "Misc", [](const Settings& s) { return s.whoisTimeout == 5000; },
         "a negative whois time limit is the default one"},
        {"BackupInterval=0", "Misc", [](const Settings& s) { return s.backupInterval == 0; }, "generations off"},
        {"BackupKeep=30", "Misc", [](const Settings& s) { return s.backupKeep == 30; }, "generations kept"},
        {"BackupKeep=3", "Comms", [](const Settings& s) { return s.backupKeep == 7; }, "BackupKeep is in [Misc]"},
        {"StatusListen=127.0.0.1:9100", "Misc",
         [](const Settings& s) { return s.statusListen == "127.0.0.1:9100"; }, "status pages served"},
        {"StatusListen=127.0.0.1:9100", "Comms", [](const Settings& s) { return s.statusListen.empty(); },
         "StatusListen is in [Misc]"},
        {"StatusHosts=status.example, 10.0.0.5:8900", "Misc",
         [](const Settings& s) { return s.statusHosts == "status.example, 10.0.0.5:8900"; }, "more host names"},
        {"StatusHosts=status.example", "Comms", [](const Settings& s) { return s.statusHosts.empty(); },
         "StatusHosts is in [Misc]"},
        {"PublicListen=127.0.0.1:8901", "Misc", [](const Settings& s) { return s.publicListen == "127.0.0.1:8901"; },
         "players' site served"},
        {"PublicListen=127.0.0.1:8901", "Comms", [](const Settings& s) { return s.publicListen.empty(); },
         "PublicListen is in [Misc]"},
        {"ScoreLabels=W, L, F, KP, FP", "Misc", [](const Settings& s) { return s.scoreLabels == "W, L, F, KP, FP"; },
         "the network's score labels"},
        {"ScoreLabelsByZone=5:a,b,c,d,e; 6:f,g,h,i,j", "Misc",
         [](const Settings& s) { return s.scoreLabelsByZone == "5:a,b,c,d,e; 6:f,g,h,i,j"; }, "labels by ScoreID"},
    };
    for (const auto& c : cases) {
        Settings s = readFrom(std::string("[") + c.section + "]\n" + c.line + "\n");
        EXPECT_TRUE(c.check(s)) << c.what;
    }
}

TEST(Configuration, PasswordsAreScrambledAndCut) {
    Settings s = readFrom("[Misc]\nSysopPassword=" + std::string(40, 'p') + "\nBillingPassword=zone pw\n");
    EXPECT_EQ(s.sysopPassword, scrambledPassword(std::string(31, 'p')));
    EXPECT_EQ(s.billingPassword, scrambledPassword("zone pw"));
}

TEST(Configuration, ReReadReplacesEverySetting) {
    TempDir dir;
    RecordingLog log;
    Settings settings;
    dir.write("TALLYSV.INI", "[Misc]\nBillingPassword=one\nPort=1000\n");
    readConfiguration(settings, log, dir.str());
    dir.write("TALLYSV.INI", "[Comms]\nPeriodicSave=5\n");
    readConfiguration(settings, log, dir.str());
    EXPECT_EQ(settings.billingPassword, PasswordField{});
    EXPECT_EQ(settings.port, 900);
    EXPECT_EQ(settings.periodicSave, 5);
}

TEST(Configuration, FileNameMatchesWithoutRegardToCase) {
    TempDir dir;
    dir.write("tallysv.ini", "[Misc]\nPort=4321\n");
    RecordingLog log;
    Settings settings;
    readConfiguration(settings, log, dir.str());
    EXPECT_EQ(settings.port, 4321);
}

TEST(IniFile, HostileFilesNeverBreakTheRules) {
    std::string binary("[Misc]\nPort=12\0" "34\n", 18);
    binary += std::string("\xff\xfe\x00\x01\n[Comms\n", 12);
    binary += "PeriodicSave=77";  // no final line feed, section without ']'
    IniFile file = IniFile::parse(binary);
    EXPECT_EQ(file.get("Misc", "Port", "900", 15), "12");
    EXPECT_EQ(file.get("Comms", "PeriodicSave", "1", 15), "77");

    std::string huge = "Port=1\n[Misc]\nJunk=" + std::string(100000, 'x') + "\r\n" + std::string(100000, '[') +
                       "\n[misc]\nPort=2\nPort=3\n[Comms]\n[MISC]\nPort=4\nKickOutDelay=9\n\r";
    IniFile other = IniFile::parse(huge);
    EXPECT_EQ(other.get("Misc", "Port", "900", 15), "2") << "keys outside a section are ignored; first wins";
    EXPECT_EQ(other.get("Misc", "KickOutDelay", "1", 15), "9") << "a repeated section adds its keys";
    EXPECT_EQ(other.get("Misc", "Junk", "", 31), std::string(31, 'x'));
    EXPECT_EQ(other.get("Misc", "Missing", "default value", 7), "default");
    EXPECT_EQ(IniFile::parse("").get("A", "B", "", 5), "");
}

TEST(ProfileNumber, ConvertsLikeAtoi) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {{"42", 42},     {"  -17x", -17}, {"+8", 8},       {"", 0},
                 {"- 5", 0},     {"0x10", 0},     {"4294967297", 1}, {"-2147483648", INT32_MIN}};
    for (const auto& c : cases) EXPECT_EQ(profileNumber(c.text), c.value) << c.text;
}

TEST(Configuration, ClientsWithoutAMachineAndUsageFromSessionsAreMiscFlagsOffByDefault) {
    Settings defaults = readFrom("");
    EXPECT_FALSE(defaults.allowNoMachineID);
    EXPECT_FALSE(defaults.usageFromSessions);
    Settings on = readFrom("[Misc]\nAllowNoMachineID=1\nUsageFromSessions=10\n");
    EXPECT_TRUE(on.allowNoMachineID);
    EXPECT_TRUE(on.usageFromSessions);
    Settings elsewhere = readFrom("[Comms]\nAllowNoMachineID=1\nUsageFromSessions=1\n");
    EXPECT_FALSE(elsewhere.allowNoMachineID);
    EXPECT_FALSE(elsewhere.usageFromSessions);
}
