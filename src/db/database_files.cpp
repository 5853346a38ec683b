// Reading and writing the eight .dat files.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "core/fields.h"
#include "db/backup.h"
#include "db/dat_io.h"
#include "db/database.h"

namespace tallysv {

namespace {

template <size_t N>
void cutPassword(PasswordField& out, const std::array<uint8_t, N>& field) {
    out = passwordFromField(field.data());
}

template <size_t N, size_t M>
void cutText(FixedText<N>& out, const std::array<uint8_t, M>& field) {
    out.setFromField(field.data(), M);
}

template <size_t N>
std::array<uint8_t, N> fieldOf(const FixedText<N>& text) {
    std::array<uint8_t, N> out;
    std::memcpy(out.data(), text.bytes.data(), N);
    return out;
}

}  // namespace

// What the reading of one file leaves for the files after it: the squads
// by their stored SquadID and owner, and the bans by their BannedBy, with
// the account that each of those UserIDs finally resolves to.
struct Database::LoadState {
    std::array<std::unique_ptr<DatReader>, kDatFileCount> readers;
    // SquadID -> the first squad with it.
    std::unordered_map<int32_t, SquadRecord*> squadsByID;
    struct Chain {
        SquadRecord* squads = nullptr;  // linked through nextLoadedOwner_
        BanRecord* bans = nullptr;      // linked through nextLoadedBannedBy_
        UserRecord* owner = nullptr;    // the last account with the UserID and a squad
        UserRecord* bannedBy = nullptr; // the last account with the UserID
    };
    std::unordered_map<int32_t, Chain> byUserID;
};

void Database::load() {
    if (settleInterruptedSave(directory_)) log_.write("Completed the interrupted save of the database files\n");
    LoadState state;
    // Every file is opened first; one that cannot be opened is skipped.
    for (size_t i = 0; i < kDatFileCount; ++i) {
        const DatLayout& layout = datLayout(static_cast<DatFile>(i));
        auto reader = std::make_unique<DatReader>(layout);
        if (reader->openFile(datPath(directory_, layout.fileName))) state.readers[i] = std::move(reader);
    }
    loadFrom(state);
}

std::vector<std::pair<void*, size_t>> Database::hugePageRanges() const {
    std::vector<std::pair<void*, size_t>> ranges;
    users_.hugePageRanges(ranges);
    scores_.hugePageRanges(ranges);
    registrations_.hugePageRanges(ranges);
    return ranges;
}

void Database::loadImages(const DatImages& images) {
    LoadState state;
    for (size_t i = 0; i < kDatFileCount; ++i) {
        if (!images[i]) continue;
        state.readers[i] = std::make_unique<DatReader>(datLayout(static_cast<DatFile>(i)));
        state.readers[i]->openBytes(images[i]->data(), images[i]->size());
    }
    loadFrom(state);
}

void Database::loadFrom(LoadState& state) {
    for (DatFile file : kLoadOrder) {
        DatReader* reader = state.readers[static_cast<size_t>(file)].get();
        if (!reader) continue;
        log_.printf("Reading %s: ", datLayout(file).fileName);
        switch (file) {
            case DatFile::Zone: loadZones(*reader); break;
            case DatFile::Banfree: loadBanfrees(*reader); break;
            case DatFile::Squad: loadSquads(*reader, state); break;
            case DatFile::Ban: loadBans(*reader, state); break;
            case DatFile::User: loadUsers(*reader, state); break;
            case DatFile::User2: loadRegistrations(*reader); break;
            case DatFile::Op: loadOperators(*reader); break;
            case DatFile::Score: loadScores(*reader); break;
        }
        state.readers[static_cast<size_t>(file)].reset();
    }
}

void Database::loadZones(DatReader& reader) {
    while (const uint8_t* bytes = reader.next()) {
        fdZone r = fdZone::decode(bytes);
        ZoneRecord* zone = zones_.append();
        zone->scoreID_ = r.scoreID;
        zone->groupID = r.groupID;
        cutPassword(zone->password, r.password);
        cutText(zone->BanText, r.banText);
        zonesByScoreID_.insert(zone);
    }
    log_.printf("%i zone entries found\n", static_cast<int>(zones_.count()));
}

void Database::loadBanfrees(DatReader& reader) {
    while (const uint8_t* bytes = reader.next()) {
        fdBanfree r = fdBanfree::decode(bytes);
        createBanfree(r.userID, r.groupID, r.scoreID);
    }
    log_.printf("%i banfree entries found\n", static_cast<int>(banfrees_.count()));
}

void Database::loadSquads(DatReader& reader, LoadState& state) {
    squads_.reserve(reader.sizeHint() / fdSquad::kSize + 1);
    while (const uint8_t* bytes = reader.next()) {
        fdSquad r = fdSquad::decode(bytes);
        SquadRecord* squad = squads_.append();
        squad->squadID = r.squadID;
        cutText(squad->name_, r.name);
        cutPassword(squad->password, r.password);
        squad->loadedOwnerID_ = r.ownerID;
        squadsByName_.insert(squad);
        state.squadsByID.try_emplace(r.squadID, squad);
        if (r.ownerID == 0) continue;  // 0 is no account
        LoadState::Chain& chain = state.byUserID[r.ownerID];
        squad->nextLoadedOwner_ = chain.squads;
        chain.squads = squad;
    }
    log_.printf("%i squad entries found\n", static_cast<int>(squads_.count()));
}

void Database::loadBans(DatReader& reader, LoadState& state) {
    uint8_t header[fdBan::kHeaderSize];
    reader.readHeader(header);
    lastBanID_ = readInt32(header, 0);
    if (lastBanID_ < 0) lastBanID_ = 0;
    while (const uint8_t* bytes = reader.next()) {
        fdBan r = fdBan::decode(bytes);
        BanRecord* ban = bans_.append();
        ban->banID_ = r.banID;
        ban->userID = r.userID;
        ban->lastHit = r.lastHit;
        ban->created = r.created;
        ban->expires = r.expires;
        ban->rangeStart = r.rangeStart;
        ban->rangeEnd = r.rangeEnd;
        ban->machineID = r.machineID;
        ban->hardwareID = r.hardwareID;
        ban->scoreID = r.scoreID;
        ban->groupID = r.groupID;
        ban->level = r.level;
        cutText(ban->name, r.name);
        cutText(ban->comment, r.comment);
        ban->loadedBannedByID_ = r.bannedByID;
        bansByID_.insert(ban);
        if (r.bannedByID == 0) continue;  // 0 is no account
        LoadState::Chain& chain = state.byUserID[r.bannedByID];
        ban->nextLoadedBannedBy_ = chain.bans;
        chain.bans = ban;
    }
    log_.printf("%i ban entries found\n", static_cast<int>(bans_.count()));
}

void Database::loadUsers(DatReader& reader, LoadState& state) {
    size_t expected = reader.sizeHint() / fdUser::kSize + 1;
    users_.reserve(expected);
    usersByName_.reserve(users_.count() + expected);
    usersByID_.reserve(users_.count() + expected);
    // Most accounts have a machine of their own.
    usersByMachine_.reserve(usersByMachine_.keyCount() + expected);
    // Name index inserts go in small batches whose slots are fetched into
    // the cache ahead: with a million accounts each insert would otherwise
    // wait for memory on its own.
    constexpr size_t kBatch = 16;
    std::array<std::pair<UserRecord*, uint64_t>, kBatch> batch;
    size_t batched = 0;
    auto insertBatch = [&] {
        for (size_t i = 0; i < batched; ++i) usersByName_.insert(batch[i].first, batch[i].second);
        batched = 0;
    };
    while (const uint8_t* bytes = reader.next()) {
        fdUser r = fdUser::decode(bytes);
        UserRecord* user = users_.append();
        user->userID_ = r.userID;
        cutText(user->name_, r.name);
        usersByID_.insert(user);
        uint64_t hash = UserNameKey::hash(user->name());
        usersByName_.prefetch(hash);
        batch[batched++] = {user, hash};
        if (batched == kBatch) insertBatch();
        cutPassword(user->password, r.password);
        user->banner = r.banner;
        user->Usage = r.usage;
        user->Logins = r.logins;
        user->address_ = r.address;
        user->machineID_ = r.machineID;
        user->lastLogin = r.lastLogin;
        user->created = r.created;
        user->timeZoneBias = r.timeZoneBias;
        user->passBlock = r.passBlock;
        indexAliases(*user);

        // The fix-ups touch only squads and bans, so the account may be in
        // the table already. Bans made by this UserID, and squads owned by
        // it, end up with the last account of the file that carries it;
        // they are resolved once all are read. An owner who is in no squad
        // (he left it, or handed it on) still owns it: a squad without
        // owner would be left out of the next save.
        auto chain = state.byUserID.find(r.userID);
        if (chain != state.byUserID.end()) {
            chain->second.bannedBy = user;
            chain->second.owner = user;
        }
        if (r.squadID != 0) {
            // With two squads of the same SquadID (a file not written by
            // this server) the account joins only the first, so that it is
            // the member of exactly the squad it belongs to.
            auto squad = state.squadsByID.find(r.squadID);
            if (squad != state.squadsByID.end()) addSquadMember(*squad->second, *user);
            if (!user->squad) log_.printf("\nSquad not found(%i:%s): ", r.userID, user->nameText());
        }
    }
    insertBatch();
    for (auto& [userID, chain] : state.byUserID) {
        if (chain.bannedBy)
            for (BanRecord* ban = chain.bans; ban; ban = ban->nextLoadedBannedBy_) ban->bannedBy = chain.bannedBy;
        if (chain.owner)
            for (SquadRecord* squad = chain.squads; squad; squad = squad->nextLoadedOwner_) squad->owner = chain.owner;
    }
    log_.printf("%i user entries found\n", static_cast<int>(users_.count()));
}

void Database::loadRegistrations(DatReader& reader) {
    registrations_.reserve(reader.sizeHint() / fdReg::kSize + 1);
    usersByHardware_.reserve(usersByHardware_.keyCount() + reader.sizeHint() / fdReg::kSize + 1);
    while (const uint8_t* bytes = reader.next()) {
        fdReg r = fdReg::decode(bytes);
        UserRecord* user = findUserByID(r.userID);
        if (!user) continue;
        User2Record* registration = registrations_.append();
        registration->user = user;
        registration->hardwareID_ = r.hardwareID;
        registration->NotifyChat = (r.flags & fdReg::kNotifyChat) != 0;
        registration->NotifyBan = (r.flags & fdReg::kNotifyBan) != 0;
        registration->NotifyZone = (r.flags & fdReg::kNotifyZone) != 0;
        // Cut like every text field, so a field without its NUL stays within bounds.
        cutText(registration->realName, r.realName);
        cutText(registration->email, r.email);
        cutText(registration->details, r.details);
        setRegistration(*user, registration);
    }
    log_.printf("%i user2 entries found\n", static_cast<int>(registrations_.count()));
}

void Database::loadOperators(DatReader& reader) {
    while (const uint8_t* bytes = reader.next()) {
        fdOp r = fdOp::decode(bytes);
        UserRecord* user = findUserByID(r.userID);
        if (!user) {
            log_.printf("\nOperator not found(%i): ", r.userID);
            continue;
        }
        OperatorRecord* op = operators_.append();
        op->user = user;
        op->groupID = r.groupID;
        op->scoreID = r.scoreID;
        op->level = r.level;
        cutPassword(op->password, r.password);
    }
    // The built-in operator has no account and is not counted.
    int loaded = 0;
    for (const OperatorRecord* op : operators_)
        if (op->user) ++loaded;
    log_.printf("%i operator entries found\n", loaded);
}

void Database::loadScores(DatReader& reader) {
    scores_.reserve(reader.sizeHint() / fdScore::kSize + 1);
    while (const uint8_t* bytes = reader.next()) {
        fdScore r = fdScore::decode(bytes);
        UserRecord* user = findUserByID(r.userID);
        if (!user) {
            log_.printf("\nUser not found(%i:%i): ", r.sequence, r.userID);
            continue;
        }
        ScoreRecord* score = scores_.append();
        score->user = user;
        score->scoreID = r.scoreID;
        score->WordStat1 = r.wordStat1;
        score->WordStat2 = r.wordStat2;
        score->WordStat3 = r.wordStat3;
        score->LongStat1 = r.longStat1;
        score->LongStat2 = r.longStat2;
    }
    log_.printf("%i score entries found\n", static_cast<int>(scores_.count()));
}

// ---- saving ----

// The SquadIDs a save gives: 1, 2, 3... in table order; a squad without an
// owner is left out of Squad.dat, and its number goes to the next squad.
// Worked out before anything is written, so that the squads themselves are
// never touched by a save. Kept in an array by the squads' table order
// numbers (one per squad made since the table began), so that the lookup
// for each member written to User.dat costs one read beside the squad's
// own record. Only when far more squads were made than are left, and the
// array would be mostly empty, does a hash map stand in.
class Database::SquadNumbering {
public:
    explicit SquadNumbering(const Table<SquadRecord>& squads) {
        uint64_t last = squads.empty() ? 0 : squads.tail()->tableOrder();
        dense_ = last <= 8 * squads.count() + 65536;
        if (dense_) byOrder_.assign(last + 1, 0);
        int32_t next = 0;
        for (const SquadRecord* squad : squads) {
            if (!squad->owner) continue;
            if (dense_)
                byOrder_[squad->tableOrder()] = ++next;
            else
                sparse_.emplace(squad->tableOrder(), ++next);
        }
    }
    // The SquadID given to the squad; 0 when it is left out.
    int32_t of(const SquadRecord* squad) const {
        if (dense_) return byOrder_[squad->tableOrder()];
        auto found = sparse_.find(squad->tableOrder());
        return found == sparse_.end() ? 0 : found->second;
    }

private:
    bool dense_ = true;
    std::vector<int32_t> byOrder_;
    std::unordered_map<uint64_t, int32_t> sparse_;
};

// One save as it goes from step to step: the files written beside the old
// ones, which of them are complete, and whether the whole set is in place.
struct Database::SaveRun {
    SaveRun(const Table<SquadRecord>& squads, Log& out) : squadIDs(squads), log(out) { complete.present = true; }
    SquadNumbering squadIDs;
    Log& log;
    std::array<DatWriter, kDatFileCount> writers;
    PendingSave complete;  // the files written whole
    bool whole = true;     // every file written and in place
    Status failure;        // the first file that failed, as its console line said
    // Says on the console that a file failed; the first one is the save's reason.
    void fail(const char* fileName, const char* reason) {
        log.printf("%s: %s\n", fileName, reason);
        if (failure) failure = Status::failure(std::string(fileName) + ": " + reason);
        whole = false;
    }
    bool anyComplete() const {
        for (bool c : complete.files)
            if (c) return true;
        return false;
    }
};

Status Database::save() { return save(log_); }

Status Database::save(Log& log) {
    SaveRun run(squads_, log);
    const bool ended = writeFiles(run) && commitSave(run) && renameFiles(run);
    // Only the fault injection stops a save without a file that failed.
    if (!ended && run.failure) return Status::failure("the save was stopped before its end");
    if (!run.whole) return run.failure;
    // A whole new set is in place: it may become a dated generation. That
    // never changes the outcome of the save.
    BackupPolicy policy{settings_.backupInterval, settings_.backupKeep, backupLinks_};
    if (Status backup = makeBackupGeneration(directory_, clock_.now(), policy); !backup)
        log.printf("Backup failed: %s\n", backup.reason().c_str());
    return Status::ok();
}

bool Database::stopsHere(SaveRun& run, SaveStep step, DatFile file) const {
    if (!saveInterruption_ || saveInterruption_(step, file)) return false;
    // The files stay as they are, as after the death of the process.
    for (DatWriter& writer : run.writers) writer.release();
    return true;
}

bool Database::writeFiles(SaveRun& run) {
    for (DatFile file : kSaveOrder) {
        size_t i = static_cast<size_t>(file);
        const char* name = datLayout(file).fileName;
        DatWriter& writer = run.writers[i];
        if (stopsHere(run, SaveStep::Write, file)) return false;
        if (Status opened = writer.open(directory_, name); !opened) {
            run.fail(name, openFailureReason(opened.error()));
            writer.discard();
            continue;
        }
        run.log.printf("Writing: %s\n", name);
        if (Status written = writeFile(file, writer, run); !written) {
            run.fail(name, writeFailureReason(written.error()));
            writer.discard();
            continue;
        }
        run.complete.files[i] = true;
    }
    // Squad.dat and User.dat go together: the SquadIDs of the one are the
    // numbers stored in the other, and the numbers this save gives are not
    // those of the old files.
    auto keepOld = [&](DatFile kept, const char* reason) {
        run.complete.files[static_cast<size_t>(kept)] = false;
        run.writers[static_cast<size_t>(kept)].discard();
        run.fail(datLayout(kept).fileName, reason);
    };
    bool squads = run.complete.files[static_cast<size_t>(DatFile::Squad)];
    bool users = run.complete.files[static_cast<size_t>(DatFile::User)];
    if (squads && !users) keepOld(DatFile::Squad, "Kept, since User.dat could not be written");
    if (users && !squads) keepOld(DatFile::User, "Kept, since Squad.dat could not be written");
    return true;
}

bool Database::commitSave(SaveRun& run) {
    // Every new file is complete on the disk. The commit record makes the
    // renames finish at the next start if the process dies among them.
    if (!run.anyComplete()) return false;
    if (stopsHere(run, SaveStep::Commit, DatFile::Squad)) return false;
    if (!writePendingSave(directory_, run.complete)) {
        // Without the record, a death among the renames would leave part
        // of the new set beside part of the old one: keep the old set.
        run.fail(kCommitFileName, "Could not be written; the old files are kept");
        for (DatWriter& writer : run.writers) writer.discard();
        return false;
    }
    return true;
}

bool Database::renameFiles(SaveRun& run) {
    bool squadReplaced = true;
    for (DatFile file : kSaveOrder) {
        size_t i = static_cast<size_t>(file);
        if (!run.complete.files[i]) continue;
        if (stopsHere(run, SaveStep::Rename, file)) return false;
        const char* name = datLayout(file).fileName;
        DatWriter& writer = run.writers[i];
        if (file == DatFile::User && !squadReplaced) {
            writer.discard();
            run.fail(name, "Kept, since Squad.dat could not be replaced");
            continue;
        }
        if (!writer.replace(name)) {
            run.fail(name, openFailureReason(errno));
            writer.discard();
            if (file == DatFile::Squad) squadReplaced = false;
        }
        writer.release();
    }
    syncDirectory(directory_);
    removePendingSave(directory_);
    return true;
}

Status Database::writeFile(DatFile file, DatWriter& writer, SaveRun& run) {
    switch (file) {
        case DatFile::Squad: writeSquads(writer, run.squadIDs, run.log); break;
        case DatFile::User: writeUsers(writer, run.squadIDs); break;
        case DatFile::Score: writeScores(writer); break;
        case DatFile::Ban: writeBans(writer); break;
        case DatFile::User2: writeRegistrations(writer, run.log); break;
        case DatFile::Op: writeOperators(writer); break;
        case DatFile::Zone: writeZones(writer); break;
        case DatFile::Banfree: writeBanfrees(writer); break;
    }
    return writer.finish();
}

void Database::writeSquads(DatWriter& writer, const SquadNumbering& squadIDs, Log& log) {
    // A squad without an owner is reported (with the number it would have
    // had) and left out; its members are stored without a squad.
    int32_t next = 1;
    for (const SquadRecord* squad : squads_) {
        int32_t squadID = squadIDs.of(squad);
        if (squadID == 0) {
            log.printf("ERROR(%i)", next);
            continue;
        }
        next = squadID + 1;
        fdSquad r;
        r.squadID = squadID;
        r.name = fieldOf(squad->name_);
        r.password = squad->password;
        r.ownerID = squad->owner->userID();
        r.encode(writer.reserve(fdSquad::kSize));
    }
}

void Database::writeUsers(DatWriter& writer, const SquadNumbering& squadIDs) {
    // A member's SquadID is found through the squad's record: the records
    // of the squads a few accounts ahead are fetched into the cache while
    // these accounts are written, rather than waited for one by one.
    constexpr int kAhead = 8;
    const UserRecord* ahead = users_.head();
    for (int i = 0; i < kAhead && ahead; ++i) ahead = ahead->tableNext();
    for (const UserRecord* user : users_) {
        if (ahead) {
            if (ahead->squad) __builtin_prefetch(ahead->squad);
            ahead = ahead->tableNext();
        }
        fdUser r;
        r.userID = user->userID();
        r.name = fieldOf(user->name_);
        r.password = user->password;
        r.banner = user->banner;
        r.squadID = user->squad ? squadIDs.of(user->squad) : 0;
        r.usage = user->Usage;
        r.logins = user->Logins;
        r.address = user->address();
        r.machineID = user->machineID();
        r.lastLogin = user->lastLogin;
        r.created = user->created;
        r.timeZoneBias = user->timeZoneBias;
        r.passBlock = user->passBlock;
        r.encode(writer.reserve(fdUser::kSize));
    }
}

void Database::writeScores(DatWriter& writer) {
    int16_t countLessOne = static_cast<int16_t>(static_cast<uint16_t>(scores_.count() - 1));
    int32_t sequence = 0;
    for (const ScoreRecord* score : scores_) {
        fdScore r;
        r.sequence = ++sequence;
        r.scoreID = score->scoreID;
        r.userID = score->user ? score->user->userID() : 0;
        r.countLessOne = countLessOne;
        r.wordStat1 = score->WordStat1;
        r.wordStat2 = score->WordStat2;
        r.wordStat3 = score->WordStat3;
        r.longStat1 = score->LongStat1;
        r.longStat2 = score->LongStat2;
        r.encode(writer.reserve(fdScore::kSize));
    }
}

void Database::writeBans(DatWriter& writer) {
    writeInt32(writer.reserve(fdBan::kHeaderSize), 0, lastBanID_);
    for (const BanRecord* ban : bans_) {
        fdBan r;
        r.banID = ban->banID();
        r.userID = ban->userID;
        r.lastHit = ban->lastHit;
        r.created = ban->created;
        r.expires = ban->expires;
        r.rangeStart = ban->rangeStart;
        r.rangeEnd = ban->rangeEnd;
        r.machineID = ban->machineID;
        r.hardwareID = ban->hardwareID;
        r.bannedByID = ban->bannedBy ? ban->bannedBy->userID() : 0;
        r.scoreID = ban->scoreID;
        r.groupID = ban->groupID;
        r.level = ban->level;
        r.name = fieldOf(ban->name);
        r.comment = fieldOf(ban->comment);
        r.encode(writer.reserve(fdBan::kSize));
    }
}

void Database::writeRegistrations(DatWriter& writer, Log& log) {
    for (const User2Record* registration : registrations_) {
        if (!registration->user) {
            log.printf("Ignored: %s\n", registration->realName.c_str());
            continue;
        }
        fdReg r;
        r.userID = registration->user->userID();
        r.hardwareID = registration->hardwareID();
        r.flags = static_cast<uint8_t>((registration->NotifyChat ? fdReg::kNotifyChat : 0) |
                                       (registration->NotifyBan ? fdReg::kNotifyBan : 0) |
                                       (registration->NotifyZone ? fdReg::kNotifyZone : 0));
        r.realName = fieldOf(registration->realName);
        r.email = fieldOf(registration->email);
        r.details = fieldOf(registration->details);
        r.encode(writer.reserve(fdReg::kSize));
    }
}

void Database::writeOperators(DatWriter& writer) {
    for (const OperatorRecord* op : operators_) {
        if (!op->user) continue;  // the built-in operator
        fdOp r;
        r.userID = op->user->userID();
        r.groupID = op->groupID;
        r.scoreID = op->scoreID;
        r.level = op->level;
        r.password = op->password;
        r.encode(writer.reserve(fdOp::kSize));
    }
}

void Database::writeZones(DatWriter& writer) {
    for (const ZoneRecord* zone : zones_) {
        fdZone r;
        r.scoreID = zone->scoreID();
        r.groupID = zone->groupID;
        r.password = zone->password;
        r.banText = fieldOf(zone->BanText);
        r.encode(writer.reserve(fdZone::kSize));
    }
}

void Database::writeBanfrees(DatWriter& writer) {
    for (const BanfreeRecord* banfree : banfrees_) {
        fdBanfree r;
        r.userID = banfree->userID();
        r.groupID = banfree->groupID;
        r.scoreID = banfree->scoreID;
        r.encode(writer.reserve(fdBanfree::kSize));
    }
}

}  // namespace tallysv
