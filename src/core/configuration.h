#pragma once
#include <string>

#include "core/log.h"
#include "core/settings.h"

namespace tallysv {

constexpr const char* kConfigurationFileName = "TALLYSV.INI";

// Reads TALLYSV.INI from `directory` (the working directory when empty)
// into the settings, printing "Reading TALLYSV.INI... Done.". Every setting
// is replaced, both passwords included. Returns true on the first reading,
// when the caller makes the built-in operator from the SysopPassword.
bool readConfiguration(Settings& settings, Log& log, const std::string& directory = "");

// What a server started as root needs before it gives root up: the port
// it binds while it may, and the user it then becomes (empty: the data
// folder's owner). The same readings as readConfiguration's.
struct StartingSettings {
    uint16_t port = 900;
    std::string runAsUser;
};
StartingSettings readStartingSettings(const std::string& directory = "");

// The path of the configuration file in `directory`. The name is matched
// without regard to case when no file has the exact name.
std::string configurationPath(const std::string& directory);

}  // namespace tallysv
