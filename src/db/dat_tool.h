#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "db/file_records.h"

namespace tallysv {

// One record of a database file as a JSON object on one line. Texts are
// shown up to their NUL (bytes above 127 as \u00XX), scrambled passwords
// and banners as hex.
std::string recordJson(DatFile file, int index, const uint8_t* record);

// Prints every record of one .dat file (its kind taken from its name, a
// ".new" temporary file included), Ban.dat's counter first. False with a
// reason when the file cannot be read or its kind is unknown.
bool dumpDatFile(const std::string& path, std::ostream& out, std::string& error);

// What checking a folder's set of files found.
struct SetCheck {
    std::vector<std::string> notes;     // record counts and the like
    std::vector<std::string> problems;  // dangling references, duplicates, ...
};

// Reads the set as the server would load it (a pending save's new files
// included) without changing anything, and reports dangling references,
// duplicate identifiers, squads that would load without an owner and
// accounts or squads listed twice under one name.
SetCheck checkDatabaseSet(const std::string& directory);

}  // namespace tallysv
