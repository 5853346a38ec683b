#pragma once
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/status.h"
#include "db/file_records.h"

namespace tallysv {

// One record of a database file as a JSON object on one line. Texts are
// shown up to their NUL (bytes above 127 as \u00XX), scrambled passwords
// and banners as hex.
std::string recordJson(DatFile file, int index, const uint8_t* record);

// Prints every record of one .dat file (its kind taken from its name, a
// ".new" temporary file included), Ban.dat's counter first. A failure says
// why when the file cannot be read or its kind is unknown.
Status dumpDatFile(const std::string& path, std::ostream& out);

// The password fields of one file: how many records it has and how many of
// them still hold a scrambled password (an empty one, which closes its
// entry and hides nothing, is not counted).
struct PasswordCount {
    int records = 0;
    int scrambled = 0;
};

// The password fields of one dated generation (backup/NAME) of a folder.
struct GenerationPasswords {
    std::string name;
    PasswordCount users, squads, operators, zones;
};

// What checking a folder's set of files found.
struct SetCheck {
    std::vector<std::string> notes;     // record counts and the like
    std::vector<std::string> problems;  // dangling references, duplicates, ...
    PasswordCount userPasswords, squadPasswords, operatorPasswords, zonePasswords;
};

// Reads the set as the server would load it (a pending save's new files
// included) without changing anything, and reports dangling references,
// duplicate identifiers, squads that would load without an owner and
// accounts or squads listed twice under one name, and password fields taken
// for hashes that this server never writes (see strayHashField).
SetCheck checkDatabaseSet(const std::string& directory);

// What the password fields of a folder's generations (backup/NAME) hold.
struct GenerationsCheck {
    std::vector<GenerationPasswords> generations;  // oldest first
    std::vector<std::string> notes;     // one for each generation still holding a scrambled password
    std::vector<std::string> problems;  // fields taken for hashes that this server never writes
};

// Counts the password fields of every generation of `directory`, changing
// nothing: an older generation keeps the passwords of its day, scrambled
// ones included, after the live files were hashed.
GenerationsCheck checkBackupGenerations(const std::string& directory);

// What wrapping a folder's scrambled passwords did.
struct WrapResult {
    Status status;  // a failure says why nothing (or not everything) was written
    PasswordCount users, squads, operators, zones;  // `scrambled`: how many were wrapped
    std::vector<GenerationPasswords> generations;   // the same for each generation, oldest first
};

// Replaces every scrambled password in the User.dat, Squad.dat, Op.dat and
// Zone.dat of a folder and of each of its generations (backup/NAME) by its
// wrapped hash (see wrapScrambledPassword), on `threads` threads, so that no
// password can be read back from the files. The same account's same
// scrambled field in several of them is hashed once and stored alike (a
// generation mostly shares its records with the files and the other
// generations), so the cost grows with the distinct passwords, not with the
// generations kept. A generation's file is written anew, not in place: it
// may be a link to the same file in another generation.
// Takes the folder's lock first (refusing a folder a server holds) and
// settles an interrupted save as a start would; each file is written beside
// itself and renamed over it. `progress` is called now and then on the
// calling thread with the fields done and the fields to do. A short record
// at a file's end is left as it is.
WrapResult wrapScrambledPasswords(const std::string& directory, unsigned threads,
                                  const std::function<void(size_t done, size_t total)>& progress);

}  // namespace tallysv
