#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "e2e/zone_network.h"
#include "support/played_folder.h"

using namespace tallysv::testing;

namespace {

// One value of a dump line ("Key":value), as text: a string without its
// quotes.
std::string dumpValue(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return "?" + key;
    at += key.size() + 3;
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// The records of a file as `tallysv-db dump` shows them, each cut to the
// keys given, joined by "|".
std::vector<std::string> dumpedRows(const TempDir& dir, const char* file, const std::vector<std::string>& keys) {
    ChildProcess dump(kBinDir + "/tallysv-db", {"dump", (dir.path() / file).string()}, dir.str());
    EXPECT_EQ(dump.wait(std::chrono::seconds(30)), 0) << dump.output();
    std::vector<std::string> rows;
    std::istringstream lines(dump.output());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"record\":") == std::string::npos) continue;
        std::string row;
        for (size_t i = 0; i < keys.size(); ++i) row += (i ? "|" : "") + dumpValue(line, keys[i]);
        rows.push_back(row);
    }
    return rows;
}

// What the sqlite3 shell answers, a row a line, values joined by "|".
std::vector<std::string> sqliteRows(const TempDir& dir, const std::string& file, const std::string& query) {
    ChildProcess shell("/usr/bin/sqlite3", {"-batch", "-noheader", "-separator", "|", file, query}, dir.str());
    EXPECT_EQ(shell.wait(std::chrono::seconds(30)), 0) << shell.output();
    std::vector<std::string> rows;
    std::istringstream lines(shell.output());
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    return rows;
}

}  // namespace

// The export of a folder holds what the dump of each of its files shows,
// table for table, with times as dates, and no password or registration.
TEST(SqliteExport, HoldsWhatTheDumpShowsWithoutPasswords) {
    if (::access("/usr/bin/sqlite3", X_OK) != 0) GTEST_SKIP() << "sqlite3 is missing (Debian package sqlite3)";
    TempDir dir;
    {
        tallysv::Settings settings;
        tallysv::FakeClock clock;
        tallysv::DiscardLog log;
        tallysv::Database db(settings, clock, log, dir.str());
        PlayedFolderShape shape;
        shape.accounts = 60;
        shape.squads = 5;
        shape.now = clock.now();
        fillPlayedDatabase(db, shape);
        std::vector<tallysv::UserRecord*> users(db.users().begin(), db.users().end());
        db.setUserAddress(*users[2], {192, 0, 2, 14}, 31337123);
        users[2]->timeZoneBias = -60;
        db.registerUser(*users[2], "RegisteredRealName", "registered@example.invalid", 4242);
        tallysv::BanRecord* ban = db.createBan(*users[4], users[0], 7);
        ban->rangeStart = {192, 0, 2, 1};
        ban->rangeEnd = {192, 0, 2, 200};
        ban->comment.set("cheating \xe9");
        ban->groupID = 3;
        db.createBanfree(users[5]->userID(), 0, 0);
        db.createOperator(users[6], 1, 2, 3, "OperatorSecret");
        db.createZone(7, 2, "ZoneSecret")->BanText.set("Come back tomorrow");
        ASSERT_TRUE(db.save());
    }
    const std::string file = (dir.path() / "network.sqlite").string();
    ChildProcess exporter(kBinDir + "/tallysv-db", {"export", "--sqlite", file, dir.str()}, dir.str());
    ASSERT_EQ(exporter.wait(std::chrono::seconds(60)), 0) << exporter.output();
    EXPECT_NE(exporter.output().find("Exported to " + file + ": accounts 60, scores 120, squads 5"), std::string::npos)
        << exporter.output();

    struct Table {
        const char* file;
        std::vector<std::string> keys;
        std::string query;
    } tables[] = {
        {"User.dat", {"UserID", "name", "SquadID", "Usage", "Logins", "address", "MachineID", "lastLogin", "created",
                      "TimeZoneBias", "PassBlock"},
         "SELECT user_id, name, ifnull(squad_id, 0), usage_seconds, logins, address, machine_id, "
         "strftime('%s', last_login), strftime('%s', created), time_zone_bias, pass_block FROM accounts ORDER BY rowid"},
        {"Score.dat", {"UserID", "ScoreID", "WordStat1", "WordStat2", "WordStat3", "LongStat1", "LongStat2"},
         "SELECT user_id, score_id, word_stat1, word_stat2, word_stat3, long_stat1, long_stat2 FROM scores ORDER BY rowid"},
        {"Squad.dat", {"SquadID", "name", "ownerUserID"}, "SELECT squad_id, name, owner_id FROM squads ORDER BY rowid"},
        {"Ban.dat", {"BanID", "UserID", "Name", "RangeStart", "RangeEnd", "MachineID", "HardwareID", "GroupID",
                     "ScoreID", "Created", "Expires", "LastHit", "BannedByUserID", "Comment", "level"},
         "SELECT ban_id, user_id, name, range_start, range_end, machine_id, hardware_id, group_id, score_id, "
         "strftime('%s', created), strftime('%s', expires), strftime('%s', last_hit), banned_by_id, "
         "replace(comment, char(233), '\\u00e9'), level FROM bans ORDER BY rowid"},
        {"Banfree.dat", {"UserID", "GroupID", "ScoreID"}, "SELECT user_id, group_id, score_id FROM banfrees ORDER BY rowid"},
        {"Op.dat", {"UserID", "GroupID", "ScoreID", "level"},
         "SELECT user_id, group_id, score_id, level FROM operators ORDER BY rowid"},
        {"Zone.dat", {"ScoreID", "GroupID", "BanText"}, "SELECT score_id, group_id, ban_text FROM zones ORDER BY rowid"},
    };
    for (const Table& table : tables) {
        std::vector<std::string> dumped = dumpedRows(dir, table.file, table.keys);
        EXPECT_FALSE(dumped.empty()) << table.file;
        EXPECT_EQ(sqliteRows(dir, file, table.query), dumped) << table.file;
    }
    // Each squad's members, in joining order, as the accounts name them.
    EXPECT_EQ(sqliteRows(dir, file, "SELECT count(*) FROM accounts WHERE squad_id IS NOT NULL"),
              sqliteRows(dir, file, "SELECT count(*) FROM squad_members"));
    EXPECT_EQ(sqliteRows(dir, file,
                         "SELECT count(*) FROM squad_members m JOIN accounts a USING (user_id) WHERE a.squad_id = m.squad_id"),
              sqliteRows(dir, file, "SELECT count(*) FROM squad_members"));
    // Dates are dates: SQLite's own date functions read them.
    EXPECT_EQ(sqliteRows(dir, file, "SELECT count(*) FROM accounts WHERE date(created) IS NULL"),
              std::vector<std::string>{"0"});
    // No password field, no registration.
    std::vector<std::string> schema = sqliteRows(dir, file, ".schema");
    std::string all;
    for (const std::string& line : schema) all += line + "\n";
    EXPECT_EQ(all.find("password"), std::string::npos) << all;
    std::ifstream bytes(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(bytes)), std::istreambuf_iterator<char>());
    for (const char* secret : {"RegisteredRealName", "registered@example.invalid", "OperatorSecret", "ZoneSecret"})
        EXPECT_EQ(content.find(secret), std::string::npos) << secret;
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
