#include "sqlite_export.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <unordered_map>

#include "core/clock.h"
#include "core/log.h"
#include "db/dat_images.h"
#include "db/database.h"
#include "status/status_pages.h"

namespace tallysv {

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE export (exported_at TEXT NOT NULL, folder TEXT NOT NULL);
CREATE TABLE accounts (
  user_id INTEGER PRIMARY KEY, name TEXT NOT NULL, squad_id INTEGER REFERENCES squads(squad_id),
  usage_seconds INTEGER NOT NULL, logins INTEGER NOT NULL, address TEXT NOT NULL, machine_id INTEGER NOT NULL,
  last_login TEXT, created TEXT, time_zone_bias INTEGER NOT NULL, pass_block INTEGER NOT NULL);
CREATE TABLE squads (
  squad_id INTEGER PRIMARY KEY, name TEXT NOT NULL, owner_id INTEGER REFERENCES accounts(user_id));
CREATE TABLE squad_members (
  squad_id INTEGER NOT NULL REFERENCES squads(squad_id), user_id INTEGER NOT NULL REFERENCES accounts(user_id),
  position INTEGER NOT NULL, PRIMARY KEY (squad_id, position));
CREATE TABLE scores (
  user_id INTEGER NOT NULL REFERENCES accounts(user_id), score_id INTEGER NOT NULL,
  word_stat1 INTEGER NOT NULL, word_stat2 INTEGER NOT NULL, word_stat3 INTEGER NOT NULL,
  long_stat1 INTEGER NOT NULL, long_stat2 INTEGER NOT NULL);
CREATE TABLE zones (score_id INTEGER NOT NULL, group_id INTEGER NOT NULL, ban_text TEXT NOT NULL);
CREATE TABLE bans (
  ban_id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, name TEXT NOT NULL, range_start TEXT NOT NULL,
  range_end TEXT NOT NULL, machine_id INTEGER NOT NULL, hardware_id INTEGER NOT NULL, group_id INTEGER NOT NULL,
  score_id INTEGER NOT NULL, created TEXT, expires TEXT, last_hit TEXT, banned_by_id INTEGER, comment TEXT NOT NULL,
  level INTEGER NOT NULL);
CREATE TABLE banfrees (user_id INTEGER NOT NULL, group_id INTEGER NOT NULL, score_id INTEGER NOT NULL);
CREATE TABLE operators (
  user_id INTEGER, group_id INTEGER NOT NULL, score_id INTEGER NOT NULL, level INTEGER NOT NULL);
)";

// Indexes made once the rows are in: quicker than keeping them up to date
// row by row.
constexpr const char* kIndexes = R"(
CREATE INDEX scores_by_group ON scores (score_id, user_id);
CREATE INDEX scores_by_account ON scores (user_id);
CREATE INDEX accounts_by_name ON accounts (name COLLATE NOCASE);
CREATE INDEX members_by_account ON squad_members (user_id);
)";

std::string dateText(int32_t time) {
    std::time_t t = time;
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// One prepared insert, its values bound in order.
class Insert {
public:
    Insert(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
    ~Insert() { sqlite3_finalize(statement_); }
    Insert& value(int64_t v) {
        sqlite3_bind_int64(statement_, ++column_, v);
        return *this;
    }
    Insert& text(std::string_view v) {
        const std::string utf8 = latin1ToUtf8(v);
        sqlite3_bind_text(statement_, ++column_, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Insert& date(int32_t time) {
        if (time == 0) {
            sqlite3_bind_null(statement_, ++column_);
            return *this;
        }
        const std::string text = dateText(time);
        sqlite3_bind_text(statement_, ++column_, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Insert& null() {
        sqlite3_bind_null(statement_, ++column_);
        return *this;
    }
    bool run() {
        column_ = 0;
        const int result = sqlite3_step(statement_);
        sqlite3_reset(statement_);
        return result == SQLITE_DONE;
    }

private:
    sqlite3_stmt* statement_ = nullptr;
    int column_ = 0;
};

}  // namespace

SqliteExport exportSqlite(const std::string& directory, const std::string& file,
                          const std::function<void(size_t done, size_t total)>& progress) {
    SqliteExport result;
    Settings settings;
    SystemClock clock;
    DiscardLog quiet;
    Database database(settings, clock, quiet, directory);
    database.loadImages(readDatImages(directory));

    size_t total = database.users().count() * 2 + database.scores().count() + database.squads().count() +
                   database.bans().count() + database.banfrees().count() + database.operators().count() +
                   database.zones().count();
    size_t done = 0;
    auto step = [&] {
        if ((++done & 0x3FFF) == 0 && progress) progress(done, total);
    };
    if (progress) progress(0, total);

    const std::string temporary = file + ".new";
    ::unlink(temporary.c_str());
    // Made private before SQLite opens it.
    const int created = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (created < 0) {
        result.error = "cannot create " + temporary;
        return result;
    }
    ::close(created);
    sqlite3* db = nullptr;
    auto fail = [&](const std::string& what) {
        result.error = what + (db ? std::string(": ") + sqlite3_errmsg(db) : std::string());
        sqlite3_close(db);
        ::unlink(temporary.c_str());
        return result;
    };
    if (sqlite3_open(temporary.c_str(), &db) != SQLITE_OK) return fail("cannot open " + temporary);
    // The file is complete only once renamed into place, so nothing is
    // journalled while it is written.
    if (sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("cannot make the tables");
    {
        Insert info(db, "INSERT INTO export VALUES (?, ?)");
        info.date(clock.now()).text(directory).run();

        std::unordered_map<const SquadRecord*, int32_t> squadIDs;
        int32_t nextSquadID = 1;
        for (const SquadRecord* squad : database.squads())
            if (squad->squadID >= nextSquadID) nextSquadID = squad->squadID + 1;
        for (const SquadRecord* squad : database.squads())
            squadIDs[squad] = squad->squadID != 0 ? squad->squadID : nextSquadID++;

        Insert account(db, "INSERT INTO accounts VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const UserRecord* user : database.users()) {
            account.value(user->userID()).text(user->name());
            if (user->squad) account.value(squadIDs[user->squad]);
            else account.null();
            account.value(static_cast<uint32_t>(user->Usage)).value(static_cast<uint32_t>(user->Logins))
                .text(addressText(user->address())).value(user->machineID()).date(user->lastLogin)
                .date(user->created).value(user->timeZoneBias).value(user->passBlock);
            if (!account.run()) return fail("cannot write account " + std::to_string(user->userID()));
            ++result.accounts;
            step();
        }
        Insert squadRow(db, "INSERT INTO squads VALUES (?, ?, ?)");
        Insert member(db, "INSERT INTO squad_members VALUES (?, ?, ?)");
        for (const SquadRecord* squad : database.squads()) {
            squadRow.value(squadIDs[squad]).text(squad->name());
            if (squad->owner) squadRow.value(squad->owner->userID());
            else squadRow.null();
            if (!squadRow.run()) return fail("cannot write squad " + std::string(squad->name()));
            int position = 0;
            for (const UserRecord* user : squad->members()) {
                if (!member.value(squadIDs[squad]).value(user->userID()).value(++position).run())
                    return fail("cannot write a squad member");
                ++result.members;
                step();
            }
            ++result.squads;
            step();
        }
        Insert score(db, "INSERT INTO scores VALUES (?, ?, ?, ?, ?, ?, ?)");
        for (const ScoreRecord* record : database.scores()) {
            if (!record->user) continue;
            score.value(record->user->userID()).value(record->scoreID).value(record->WordStat1)
                .value(record->WordStat2).value(record->WordStat3).value(record->LongStat1).value(record->LongStat2);
            if (!score.run()) return fail("cannot write a score");
            ++result.scores;
            step();
        }
        Insert zone(db, "INSERT INTO zones VALUES (?, ?, ?)");
        for (const ZoneRecord* record : database.zones()) {
            if (!zone.value(record->scoreID()).value(record->groupID).text(record->BanText.view()).run())
                return fail("cannot write a zone");
            ++result.zones;
            step();
        }
        Insert ban(db, "INSERT INTO bans VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const BanRecord* record : database.bans()) {
            ban.value(record->banID()).value(record->userID).text(record->name.view())
                .text(addressText(record->rangeStart)).text(addressText(record->rangeEnd)).value(record->machineID)
                .value(record->hardwareID).value(record->groupID).value(record->scoreID).date(record->created)
                .date(record->expires).date(record->lastHit);
            if (record->bannedBy) ban.value(record->bannedBy->userID());
            else ban.null();
            if (!ban.text(record->comment.view()).value(record->level).run()) return fail("cannot write a ban");
            ++result.bans;
            step();
        }
        Insert banfree(db, "INSERT INTO banfrees VALUES (?, ?, ?)");
        for (const BanfreeRecord* record : database.banfrees()) {
            if (!banfree.value(record->userID()).value(record->groupID).value(record->scoreID).run())
                return fail("cannot write a banfree");
            ++result.banfrees;
            step();
        }
        Insert op(db, "INSERT INTO operators VALUES (?, ?, ?, ?)");
        for (const OperatorRecord* record : database.operators()) {
            if (record->user) op.value(record->user->userID());
            else op.null();
            if (!op.value(record->groupID).value(record->scoreID).value(record->level).run())
                return fail("cannot write an operator");
            ++result.operators;
            step();
        }
    }
    if (sqlite3_exec(db, kIndexes, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("cannot finish the database");
    if (sqlite3_close(db) != SQLITE_OK) {
        db = nullptr;
        return fail("cannot close " + temporary);
    }
    db = nullptr;
    // On the disk before it takes the old file's place.
    if (int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) return fail("cannot rename " + temporary + " to " + file);
    if (progress) progress(total, total);
    result.ok = true;
    return result;
}

}  // namespace tallysv
