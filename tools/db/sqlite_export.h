#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace tallysv {

// What an export wrote.
struct SqliteExport {
    bool ok = false;
    std::string error;
    size_t accounts = 0, scores = 0, squads = 0, members = 0, zones = 0, bans = 0, banfrees = 0, operators = 0;
};

// Writes the records of a data folder, as a start would load them and
// without changing the folder, into a new SQLite database at `file`:
// accounts, score values, squads and their members, zones, bans, banfrees
// and operators, times as UTC date texts ("YYYY-MM-DD HH:MM:SS", NULL for
// none), and no password field and no registration field. The file is
// written beside itself and renamed into place when complete, so a reader
// sees the old file or the new one, and is private to its owner (it holds
// addresses). `progress` is called now and then with records done and to do.
SqliteExport exportSqlite(const std::string& directory, const std::string& file,
                          const std::function<void(size_t done, size_t total)>& progress);

}  // namespace tallysv
