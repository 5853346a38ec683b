#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/log.h"

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

enum class BackupOutcome { Off, NotDue, Made, Failed };

// The generation name for a calendar time: "YYYYMMDD-HHMMSS" in UTC.
std::string backupGenerationName(int32_t now);
// The generations in `directory`'s backup folder, oldest first.
std::vector<std::string> listBackupGenerations(const std::string& directory);

// Makes a generation of the eight files in `directory` when one is due, then
// removes the generations beyond the policy's number. A failure is one
// console line; it never touches the live files.
BackupOutcome makeBackupGeneration(const std::string& directory, int32_t now, const BackupPolicy& policy, Log& log);

}  // namespace tallysv
