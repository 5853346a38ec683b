#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"

namespace tallysv {

// Dated generations of the database files: after a save has put a whole
// new set in place, that set may become "backup/YYYYMMDD-HHMMSS/" (the
// time of the save, UTC) beside the live files. Saves replace files by
// rename, never in place, so a generation is made of hard links to the
// committed files and costs no copy; where links cannot be made, the files
// are copied.

constexpr const char* kBackupFolder = "backup";

struct BackupPolicy {
    int32_t intervalMs = 86400000;  // a new generation once the newest is this old; 0 = none
    int32_t keep = 7;               // generations kept; older ones are removed, oldest first
    bool links = true;              // false: always copy (tests)
};

// The generation name for a calendar time: "YYYYMMDD-HHMMSS" in UTC.
std::string backupGenerationName(int32_t now);
// The generations in `directory`'s backup folder, oldest first.
std::vector<std::string> listBackupGenerations(const std::string& directory);

// Makes a generation of the eight files in `directory` when one is due, then
// removes the generations beyond the policy's number. Ok also when none is
// due or generations are off; a failure ("<path>: <system error>") never
// touches the live files, and leaves no part of a generation behind.
Status makeBackupGeneration(const std::string& directory, int32_t now, const BackupPolicy& policy);

}  // namespace tallysv
