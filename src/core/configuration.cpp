#include "core/configuration.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/ini_file.h"

namespace tallysv {

std::string configurationPath(const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path folder = directory.empty() ? fs::current_path(error) : fs::path(directory);
    fs::path exact = folder / kConfigurationFileName;
    if (fs::exists(exact, error)) return exact.string();
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (strcasecmp(name.c_str(), kConfigurationFileName) == 0) return it->path().string();
    }
    return exact.string();
}

namespace {

uint16_t portSetting(const IniFile& file) {
    return static_cast<uint16_t>(profileNumber(file.get("Misc", "Port", "900", 15)));
}

std::string runAsUserSetting(const IniFile& file) { return file.get("Misc", "RunAsUser", "", 31); }

}  // namespace

StartingSettings readStartingSettings(const std::string& directory) {
    IniFile file = IniFile::load(configurationPath(directory));
    return {portSetting(file), runAsUserSetting(file)};
}

bool readConfiguration(Settings& settings, Log& log, const std::string& directory) {
    log.write("Reading TALLYSV.INI...");
    IniFile file = IniFile::load(configurationPath(directory));
    auto number = [&](const char* section, const char* key, const char* fallback, size_t limit) {
        return profileNumber(file.get(section, key, fallback, limit));
    };

    bool firstReading = !settings.passwordsRead;
    // Only their scrambled forms are kept; the plain texts are wiped here.
    auto secret = [&](const char* key) {
        const WipedString plain = file.get("Misc", key, "", 31);
        return scrambledPassword(plain);
    };
    settings.sysopPassword = secret("SysopPassword");
    settings.billingPassword = secret("BillingPassword");
    settings.passwordsRead = true;

    settings.kickOutDelay = number("Misc", "KickOutDelay", "60000", 15);
    settings.packetLossLimit = number("Comms", "PacketLossLimit", "30000", 15);
    settings.zoneIdleProbe = number("Comms", "ZoneIdleProbe", "30000", 15);
    settings.resendBackoff = number("Comms", "ResendBackoff", "1", 2) != 0;
    settings.periodicSave = number("Comms", "PeriodicSave", "1800000", 15);
    settings.lowPriority = number("Misc", "LowPriority", "0", 2) != 0;
    settings.allowNewUsers = number("Misc", "AllowNewUsers", "0", 2) != 0;
    settings.askNewUsers = number("Comms", "AskNewUsers", "1", 2) != 0;
    settings.disableHelp = number("Comms", "DisableHelp", "1", 2) != 0;
    settings.encryptMode = number("Comms", "EncryptMode", "1", 2) != 0;
    settings.clusterToZones = number("Comms", "ClusterToZones", "0", 2) != 0;
    settings.resetUnknownPeers = number("Comms", "ResetUnknownPeers", "0", 2) != 0;
    settings.afterSaveCommand = file.get("Misc", "AfterSaveCommand", "", 255);
    settings.maxQueueForLogin = number("Misc", "MaxQueueForLogin", "50", 15);
    // Days, kept in seconds. More days than 32 bits of seconds hold mean
    // "as long as can be", not a wrapped (negative or short) delay.
    int64_t reclaimSeconds = int64_t{number("Misc", "AccountReclaimDelay", "90", 15)} * 86400;
    settings.accountReclaimDelay = static_cast<int32_t>(std::clamp<int64_t>(reclaimSeconds, INT32_MIN, INT32_MAX));
    settings.port = portSetting(file);
    settings.runAsUser = runAsUserSetting(file);
    settings.whoisServer = file.get("Misc", "WhoisServer", "whois.iana.org", 127);
    // A NetBlock lookup always gets some time: no limit at all would let a
    // silent whois server hold the whole server.
    settings.whoisTimeout = number("Misc", "WhoisTimeout", "5000", 15);
    if (settings.whoisTimeout < 1) settings.whoisTimeout = 5000;
    settings.backupInterval = number("Misc", "BackupInterval", "86400000", 15);
    settings.backupKeep = number("Misc", "BackupKeep", "7", 15);
    settings.allowNoMachineID = number("Misc", "AllowNoMachineID", "0", 2) != 0;
    settings.usageFromSessions = number("Misc", "UsageFromSessions", "0", 2) != 0;
    settings.passwordHashing = number("Misc", "PasswordHashing", "0", 2) != 0;
    settings.passwordWorkers = std::max(0, number("Misc", "PasswordWorkers", "0", 15));
    settings.guessLimit = std::max(0, number("Misc", "GuessLimit", "5", 15));
    // Seconds, at most a day: a lockout doubles from it up to a day.
    settings.guessWindow = number("Misc", "GuessWindow", "60", 15);
    if (settings.guessWindow < 1) settings.guessWindow = 60;
    settings.guessWindow = std::min(settings.guessWindow, 86400);
    settings.passwordVerifierCache = number("Misc", "PasswordVerifierCache", "1", 2) != 0;
    settings.floodPerZone = number("Misc", "FloodPerZone", "0", 2) != 0;
    settings.whoisAllowedServers = file.get("Misc", "WhoisAllowedServers", "", 255);
    settings.statusListen = file.get("Misc", "StatusListen", "", 127);
    settings.statusHosts = file.get("Misc", "StatusHosts", "", 255);
    settings.publicListen = file.get("Misc", "PublicListen", "", 127);
    settings.scoreLabels = file.get("Misc", "ScoreLabels", "Kills, Deaths, Flags, Kill points, Flag points", 255);
    settings.scoreLabelsByZone = file.get("Misc", "ScoreLabelsByZone", "", 1023);
    settings.controlSocket = file.get("Misc", "ControlSocket", "tallysv.sock", 127);
    settings.groupReadable = number("Misc", "GroupReadable", "0", 2) != 0;

    log.write(" Done.\n");
    return firstReading;
}

}  // namespace tallysv
