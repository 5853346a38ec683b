#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/address.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/random.h"
#include "core/settings.h"
#include "core/status.h"
#include "credentials/password_store.h"
#include "credentials/password_work.h"
#include "db/bucket_index.h"
#include "db/chain_index.h"
#include "db/file_records.h"
#include "db/flood_table.h"
#include "db/guess_table.h"
#include "db/id_index.h"
#include "db/records.h"
#include "db/table.h"

namespace tallysv {

class DatReader;
class DatWriter;

// Keys of the lookups. Account names compare on their first 19 characters,
// squad names whole; case folding is ASCII only.
struct UserNameKey {
    using Key = std::string_view;
    static Key key(const UserRecord& r) { return r.name(); }
    static uint64_t hash(Key k) { return hashFolded(k, kNameCompareLength); }
    static bool equal(Key k, const UserRecord& r) { return equalFolded(k, r.name(), kNameCompareLength); }
    static UserRecord*& next(UserRecord& r) { return r.nextSameName_; }
};
struct UserIDKey {
    using Key = int32_t;
    static Key key(const UserRecord& r) { return r.userID_; }
    static uint64_t hash(Key k) { return hashInt32(k); }
    static bool equal(Key k, const UserRecord& r) { return r.userID_ == k; }
    static UserRecord*& next(UserRecord& r) { return r.nextSameID_; }
};
// Keys of the alias indexes: the first three octets of the address, the
// MachineID, and the HardwareID of the registration.
struct UserSubnetKey {
    using Key = uint32_t;
    static Key of(const IPv4Address& a) {
        return static_cast<uint32_t>(a[0]) | static_cast<uint32_t>(a[1]) << 8 | static_cast<uint32_t>(a[2]) << 16;
    }
    static uint64_t hash(Key k) { return hashInt32(static_cast<int32_t>(k)); }
    static BucketLinks<UserRecord>& links(UserRecord& r) { return r.sameSubnet_; }
};
struct UserMachineKey {
    using Key = int32_t;
    static uint64_t hash(Key k) { return hashInt32(k); }
    static BucketLinks<UserRecord>& links(UserRecord& r) { return r.sameMachine_; }
};
struct UserHardwareKey {
    using Key = int32_t;
    static uint64_t hash(Key k) { return hashInt32(k); }
    static BucketLinks<UserRecord>& links(UserRecord& r) { return r.sameHardware_; }
};
struct SquadNameKey {
    using Key = std::string_view;
    static Key key(const SquadRecord& r) { return r.name(); }
    static uint64_t hash(Key k) { return hashFolded(k); }
    static bool equal(Key k, const SquadRecord& r) { return equalFolded(k, r.name()); }
    static SquadRecord*& next(SquadRecord& r) { return r.nextSameName_; }
};
struct BanIDKey {
    using Key = int32_t;
    static Key key(const BanRecord& r) { return r.banID_; }
    static uint64_t hash(Key k) { return hashInt32(k); }
    static bool equal(Key k, const BanRecord& r) { return r.banID_ == k; }
    static BanRecord*& next(BanRecord& r) { return r.nextSameID_; }
};
struct BanfreeUserKey {
    using Key = int32_t;
    static Key key(const BanfreeRecord& r) { return r.userID_; }
    static uint64_t hash(Key k) { return hashInt32(k); }
    static bool equal(Key k, const BanfreeRecord& r) { return r.userID_ == k; }
    static BanfreeRecord*& next(BanfreeRecord& r) { return r.nextSameUser_; }
};
struct ZoneScoreIDKey {
    using Key = int32_t;
    static Key key(const ZoneRecord& r) { return r.scoreID_; }
    static uint64_t hash(Key k) { return hashInt32(k); }
    static bool equal(Key k, const ZoneRecord& r) { return r.scoreID_ == k; }
    static ZoneRecord*& next(ZoneRecord& r) { return r.nextSameScoreID_; }
};

// Bytes to load instead of the files (tests, fuzzing): one entry per file,
// in DatFile order; a missing entry is a file that cannot be opened.
using DatImages = std::array<std::optional<std::vector<uint8_t>>, kDatFileCount>;

// The one object that holds every record the server knows. It owns every
// record; links between records are plain pointers. It reads the settings
// it was made with, which its owner keeps and re-reads. Tables keep their
// order (append at the tail, first match wins) and lookups that the order
// defines are served by indexes that give the same answers.
// Every call is made with the transport lock held.
class Database {
public:
    Database(const Settings& settings, const Clock& clock, Log& log, std::string directory = "");
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    RandomGenerator random;
    // The account that locked-out players are given: "^Banned", empty
    // password; in no table and never saved.
    UserRecord placeholderUser;

    // Forgets every record and the login attempts counted, and reseeds the
    // generator: the database is then as one made now with the same folder
    // and settings. The tables keep some memory for the records to come
    // (the fuzz targets start each input from a cleared database).
    void clear();

    // The built-in operator: no account, network-wide, level 0, with the
    // SysopPassword of the first reading of the settings.
    void addBuiltInOperator(const PasswordField& password);
    // Reads the eight .dat files of the folder, printing the headings,
    // count lines and messages. A save whose renames were cut short is
    // finished first.
    void load();
    // The same from bytes in memory, with the same output.
    void loadImages(const DatImages& images);
    // Writes the eight files. Each file is written beside the old one and
    // renamed over it once every file is complete, so the folder holds the
    // old set or the new one, also after a crash in the middle. Ok when
    // every file was written and put in place; each failure is a console
    // line (the first is the reason of the failure returned), and a file
    // that failed keeps its old contents (Squad.dat and User.dat, whose
    // SquadIDs match, are replaced together or not at all).
    // A save changes no record. After a whole save, the set becomes a dated
    // generation under backup/ when the newest one is older than
    // BackupInterval (see db/backup.h); a failure there is one console line
    // and does not change the answer.
    Status save();
    // The same, with the save's console lines going to `log` (a save
    // written by another process sends them back through it).
    Status save(Log& log);
    // The memory of the large record tables, in whole 2 MiB pages (see
    // gatherIntoHugePages in db/huge_page_allocator.h).
    std::vector<std::pair<void*, size_t>> hugePageRanges() const;
    // Removes every ban whose expiry time is earlier than `now`.
    void removeExpiredBans(int32_t now);

    const std::string& directory() const { return directory_; }
    const Clock& clock() const { return clock_; }
    const Settings& settings() const { return settings_; }

    // Tables, in their order, for walks and listings.
    const Table<UserRecord>& users() const { return users_; }
    const Table<User2Record>& registrations() const { return registrations_; }
    const Table<ScoreRecord>& scores() const { return scores_; }
    const Table<SquadRecord>& squads() const { return squads_; }
    const Table<BanRecord>& bans() const { return bans_; }
    const Table<BanfreeRecord>& banfrees() const { return banfrees_; }
    const Table<OperatorRecord>& operators() const { return operators_; }
    const Table<ZoneRecord>& zones() const { return zones_; }

    // Accounts.
    UserRecord* findUser(std::string_view name) const;  // first 19 characters, any case
    UserRecord* findUserByID(int32_t userID) const;
    // A new account: UserID = accounts + 1, created = last login = now.
    UserRecord* createUser(std::string_view name, std::string_view plainPassword, const IPv4Address& address,
                           int32_t machineID, int16_t timeZoneBias);
    void renameUser(UserRecord& user, std::string_view name);
    // The address and MachineID of an accepted entry.
    void setUserAddress(UserRecord& user, const IPv4Address& address, int32_t machineID);
    // The accounts that have been accessed (address not zero) and share the
    // first three octets of `address`, or the MachineID when one is given,
    // or have a registration with the HardwareID; each once, in table order.
    // Served by indexes: the cost follows the number of accounts found.
    std::vector<const UserRecord*> findAliases(const IPv4Address& address, std::optional<int32_t> machineID,
                                               int32_t hardwareID) const;
    // The memory the alias indexes take: their slots and the links in the
    // account records.
    size_t aliasIndexBytes() const;
    // The password check of a login to an existing account. An account not
    // used for longer than AccountReclaimDelay goes to whoever logs in: it
    // takes the presented password and loses its registration.
    enum class LoginPassword { Correct, Wrong, Reclaimed };
    LoginPassword checkLoginPassword(UserRecord& user, std::string_view plainPassword);
    // Whether `plainPassword` is the one in `stored` (scrambled or hashed),
    // changing nothing: for the passwords of TALLYSV.INI and for tests.
    static bool passwordMatches(const PasswordField& stored, std::string_view plainPassword);
    // The field that keeps a password being set: hashed when PasswordHashing
    // is on, else scrambled.
    PasswordField passwordField(std::string_view plainPassword) const;
    // Whether `plainPassword` is the one in a record's `stored` field; with
    // PasswordHashing on, a scrambled (or wrapped) field that matches is
    // replaced by its hash at once. A wrong password changes nothing.
    bool verifyPassword(PasswordField& stored, std::string_view plainPassword) const;
    // Password computations made ahead on a worker: while set, the password
    // functions here take what it holds for their very inputs instead of
    // computing it (a hash takes tens of milliseconds, which the receive
    // thread must not spend). Set around one login or command, lock held.
    void setPasswordResults(PasswordResults* results) { passwordResults_ = results; }
    PasswordResults* passwordResults() const { return passwordResults_; }
    // What checkLoginPassword will compute for this account and password.
    PasswordNeeds loginPasswordNeeds(const UserRecord& user, std::string_view plainPassword) const;
    // Whether `needs` would run a hash here and now: less what the results
    // made ahead hold and what the verifiers of returning players settle.
    bool passwordWorkNeeded(const PasswordNeeds& needs) const;
    // The verifiers of passwords seen to verify or set since start
    // (PasswordVerifierCache): none are kept while the setting is off.
    const PasswordVerifiers& passwordVerifiers() const { return verifiers_; }

    // Registrations.
    User2Record* registerUser(UserRecord& user, std::string_view realName, std::string_view email, int32_t hardwareID);
    void removeRegistration(User2Record* registration);

    // Score sets.
    ScoreRecord* createScore(UserRecord& user, int32_t scoreID);
    // The caller first takes the record out of the zone sessions' score
    // lists and the player sessions that hold it.
    void removeScore(ScoreRecord* score);

    // Squads.
    SquadRecord* findSquad(std::string_view name) const;  // whole name, any case
    SquadRecord* createSquad(std::string_view name, std::string_view plainPassword, UserRecord* owner);
    void renameSquad(SquadRecord& squad, std::string_view name);
    // Members leave the squad with it.
    void removeSquad(SquadRecord* squad);
    // Moves the user into the squad (out of any other one).
    void addSquadMember(SquadRecord& squad, UserRecord& user);
    void removeSquadMember(UserRecord& user);
    static UserRecord* findSquadMember(const SquadRecord& squad, std::string_view name);

    // Bans. BanID = last BanID + 1; Created = LastHit = now, Expires = now
    // + days; the caller fills range, MachineID, HardwareID, scope, level
    // and comment.
    BanRecord* createBan(const UserRecord& banned, UserRecord* bannedBy, int32_t days);
    void removeBan(BanRecord* ban);
    BanRecord* findBanByID(int32_t banID) const;
    int32_t lastBanID() const { return lastBanID_; }
    // The first ban in force in the zone that the login matches; records
    // the match (LastHit now, LastMatch the kind). With AllowNoMachineID a
    // MachineID of 0 matches no ban by machine.
    BanRecord* findBan(int32_t userID, const IPv4Address& address, int32_t machineID,
                       std::optional<int32_t> hardwareID, int32_t zoneGroupID, int32_t zoneScoreID);
    // The first ban with this HardwareID, whatever its scope; records it.
    BanRecord* findBanByHardwareID(int32_t hardwareID);

    // Banfrees.
    BanfreeRecord* findBanfree(int32_t userID, int32_t zoneScoreID) const;
    BanfreeRecord* createBanfree(int32_t userID, int32_t groupID, int32_t scoreID);
    void removeBanfree(BanfreeRecord* banfree);
    // The banfree's account, looked up by UserID on first use.
    UserRecord* banfreeUser(BanfreeRecord& banfree);

    // Operators.
    OperatorRecord* createOperator(UserRecord* user, int32_t groupID, int32_t scoreID, uint8_t level,
                                   std::string_view plainPassword);
    void removeOperator(OperatorRecord* op);
    OperatorRecord* findOperatorByUserName(std::string_view name) const;
    // The first record without a user or with the player's own, whose
    // password is the presented one. Records with an empty password match
    // nothing. The record found is rehashed as verifyPassword does (the
    // built-in operator, whose password comes from TALLYSV.INI, is not).
    OperatorRecord* findOperatorForPassword(const UserRecord* player, std::string_view plainPassword);

    // Zone records.
    ZoneRecord* findZone(int32_t scoreID) const;
    ZoneRecord* createZone(int32_t scoreID, int32_t groupID, std::string_view plainPassword);
    void removeZone(ZoneRecord* zone);

    // Login flood control. A player login names its zone's ScoreID: with
    // FloodPerZone its address is counted for that zone alone, so that a
    // zone that claims an address cannot have it refused everywhere.
    FloodVerdict registerAttempt(const IPv4Address& address, std::optional<int32_t> playerZone = std::nullopt);
    // Run by the transport's maintenance pass every 45 s.
    void decayFloodTable();
    const FloodTable& floodTable() const { return floodTable_; }
    // Password guesses: whether the zone may check a password of the
    // account now (GuessLimit, GuessWindow), counting the attempt; and the
    // right password given, which forgives the zone's earlier attempts.
    GuessTable::Verdict registerGuess(int32_t scoreID, const UserRecord& user);
    void forgetGuesses(int32_t scoreID, const UserRecord& user) { guessTable_.forget(scoreID, user.userID()); }

    // Fault injection for tests: asked before each step of a save with the
    // file concerned (the writing of each file, the commit record, each
    // rename); answering false stops the save on the spot, as if the
    // process had died there.
    enum class SaveStep { Write, Commit, Rename };
    void setSaveInterruption(std::function<bool(SaveStep, DatFile)> proceed) { saveInterruption_ = std::move(proceed); }
    // For tests: dated generations are copied, as where links cannot be made.
    void setBackupLinks(bool links) { backupLinks_ = links; }

private:
    // passwordMatches, or what the results made ahead say of it.
    bool storedPasswordMatches(const PasswordField& stored, std::string_view plainPassword) const;
    // Whether a login to the account takes it over (AccountReclaimDelay).
    bool reclaimable(const UserRecord& user) const;
    // Keeps a verifier of a password just checked against, or made into,
    // a hashed field.
    void rememberPassword(const PasswordField& stored, std::string_view plainPassword) const;
    PasswordResults* passwordResults_ = nullptr;
    // In memory only; changed by checks that change no record.
    mutable PasswordVerifiers verifiers_;
    struct LoadState;
    void loadFrom(LoadState& state);
    void loadZones(DatReader& reader);
    void loadBanfrees(DatReader& reader);
    void loadSquads(DatReader& reader, LoadState& state);
    void loadBans(DatReader& reader, LoadState& state);
    void loadUsers(DatReader& reader, LoadState& state);
    void loadRegistrations(DatReader& reader);
    void loadOperators(DatReader& reader);
    void loadScores(DatReader& reader);

    // A save in three steps: write every file beside the old one, commit
    // (the record that makes the renames finish after a crash), and rename
    // into place. Each answers false when the save ends there.
    class SquadNumbering;
    struct SaveRun;
    bool writeFiles(SaveRun& run);
    bool commitSave(SaveRun& run);
    bool renameFiles(SaveRun& run);
    // Whether the fault injection stops the save before this step.
    bool stopsHere(SaveRun& run, SaveStep step, DatFile file) const;
    Status writeFile(DatFile file, DatWriter& writer, SaveRun& run);
    void writeSquads(DatWriter& writer, const SquadNumbering& squadIDs, Log& log);
    void writeUsers(DatWriter& writer, const SquadNumbering& squadIDs);
    void writeScores(DatWriter& writer);
    void writeBans(DatWriter& writer);
    void writeRegistrations(DatWriter& writer, Log& log);
    void writeOperators(DatWriter& writer);
    void writeZones(DatWriter& writer);
    void writeBanfrees(DatWriter& writer);

    UserRecord* appendUser(int32_t userID, std::string_view name);
    // An account is in the alias indexes once it has been accessed; in the
    // HardwareID index only while it also has a registration.
    void indexAliases(UserRecord& user);
    void unindexAliases(UserRecord& user);
    void setRegistration(UserRecord& user, User2Record* registration);
    int32_t now() const { return clock_.now(); }

    const Settings& settings_;
    const Clock& clock_;
    Log& log_;
    std::string directory_;

    FloodTable floodTable_;
    std::unordered_map<int32_t, FloodTable> zoneFloodTables_;
    GuessTable guessTable_;
    Table<UserRecord> users_;
    Table<SquadRecord> squads_;
    Table<ScoreRecord> scores_;
    Table<User2Record> registrations_;
    Table<BanRecord> bans_;
    Table<OperatorRecord> operators_;
    Table<ZoneRecord> zones_;
    Table<BanfreeRecord> banfrees_;
    int32_t lastBanID_ = 0;

    ChainIndex<UserRecord, UserNameKey> usersByName_;
    IDIndex<UserRecord, UserIDKey> usersByID_;
    ChainIndex<SquadRecord, SquadNameKey> squadsByName_;
    IDIndex<BanRecord, BanIDKey> bansByID_;
    ChainIndex<BanfreeRecord, BanfreeUserKey> banfreesByUser_;
    ChainIndex<ZoneRecord, ZoneScoreIDKey> zonesByScoreID_;
    BucketIndex<UserRecord, UserSubnetKey> usersBySubnet_;
    BucketIndex<UserRecord, UserMachineKey> usersByMachine_;
    BucketIndex<UserRecord, UserHardwareKey> usersByHardware_;

    std::function<bool(SaveStep, DatFile)> saveInterruption_;
    bool backupLinks_ = true;
};

// Password results made ahead, used by the database for one login or
// command; what was in use before comes back at the end.
class UsingPasswordResults {
public:
    UsingPasswordResults(Database& database, PasswordResults* results)
        : database_(database), previous_(database.passwordResults()) {
        database_.setPasswordResults(results);
    }
    ~UsingPasswordResults() { database_.setPasswordResults(previous_); }
    UsingPasswordResults(const UsingPasswordResults&) = delete;
    UsingPasswordResults& operator=(const UsingPasswordResults&) = delete;

private:
    Database& database_;
    PasswordResults* previous_;
};

// Reads TALLYSV.INI of the database's folder into `settings`, the ones the
// database was made with; the first reading adds the built-in operator.
void readConfiguration(Settings& settings, Database& database, Log& log);

}  // namespace tallysv
