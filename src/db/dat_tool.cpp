#include "db/dat_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

#include "credentials/password_store.h"
#include "db/backup.h"
#include "db/dat_io.h"
#include "db/fixed_text.h"
#include "db/folder_lock.h"

namespace tallysv {

namespace {

template <size_t N>
std::string_view fieldTextOf(const std::array<uint8_t, N>& field) {
    const void* nul = std::memchr(field.data(), 0, N);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field.data()) : N;
    return std::string_view(reinterpret_cast<const char*>(field.data()), n);
}

std::string jsonText(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <size_t N>
std::string jsonField(const std::array<uint8_t, N>& field) {
    return jsonText(fieldTextOf(field));
}

std::string hex(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out + "\"";
}

template <size_t N>
std::string passwordHex(const std::array<uint8_t, N>& field) {
    static_assert(N == sizeof(PasswordField));
    // A hash is shown whole (its last byte is its version), a scrambled
    // password up to its NUL.
    PasswordField stored = passwordFieldFromFile(field.data());
    if (isHashedPassword(stored)) return hex(stored.data(), stored.size());
    std::string_view text = fieldTextOf(field);
    return hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string address(const std::array<uint8_t, 4>& a) {
    char text[24];
    std::snprintf(text, sizeof text, "\"%u.%u.%u.%u\"", a[0], a[1], a[2], a[3]);
    return text;
}

// A field of bytes as its kind is shown.
template <size_t N>
std::string shownBytes(FieldKind kind, const std::array<uint8_t, N>& field) {
    if constexpr (N == sizeof(PasswordField))
        if (kind == FieldKind::Password) return passwordHex(field);
    if constexpr (N == 4)
        if (kind == FieldKind::Address) return address(field);
    if (kind == FieldKind::Text) return jsonField(field);
    return hex(field.data(), N);
}

struct Json {
    std::string text = "{";
    Json& add(const char* key, const std::string& value) {
        if (text.size() > 1) text += ",";
        text += "\"";
        text += key;
        text += "\":";
        text += value;
        return *this;
    }
    Json& add(const char* key, long long value) { return add(key, std::to_string(value)); }
    std::string done() { return text + "}"; }
};

// Reads every record of a file, from the path given.
template <class Record, class Visit>
bool readRecords(const std::string& path, DatFile file, int32_t* header, Visit visit, size_t* trailing = nullptr) {
    DatReader reader(datLayout(file));
    if (!reader.openFile(path)) return false;
    if (header) {
        uint8_t bytes[fdBan::kHeaderSize];
        reader.readHeader(bytes);
        *header = readInt32(bytes, 0);
    }
    int index = 0;
    while (const uint8_t* bytes = reader.next()) visit(++index, Record::decode(bytes));
    if (trailing) {
        size_t body = reader.sizeHint() - static_cast<size_t>(datLayout(file).headerSize);
        *trailing = reader.sizeHint() < static_cast<size_t>(datLayout(file).headerSize)
                        ? reader.sizeHint()
                        : body % static_cast<size_t>(datLayout(file).recordSize);
    }
    return true;
}

std::string folded(std::string_view text, size_t limit) {
    if (limit && text.size() > limit) text = text.substr(0, limit);
    std::string out(text);
    for (char& c : out) c = foldAscii(c);
    return out;
}

}  // namespace

std::string recordJson(DatFile file, int index, const uint8_t* b) {
    Json j;
    j.add("record", index);
    withRecordType(file, [&](auto blank) {
        using Record = decltype(blank);
        const Record r = Record::decode(b);
        forEachField(r, [&](const char* name, FieldKind kind, int, int, const auto& field) {
            using Field = std::remove_cvref_t<decltype(field)>;
            if constexpr (std::is_integral_v<Field>) {
                if constexpr (requires { Record::kFlagNames; }) {
                    if (kind == FieldKind::Flags) {
                        int bit = 0;
                        for (const char* flag : Record::kFlagNames) j.add(flag, (field >> bit++) & 1 ? "true" : "false");
                    }
                }
                j.add(name, static_cast<long long>(field));
            } else {
                j.add(name, shownBytes(kind, field));
            }
        });
    });
    return j.done();
}

Status dumpDatFile(const std::string& path, std::ostream& out) {
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    std::string suffix = kTemporarySuffix;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    DatFile file;
    if (!datFileFromName(name, file))
        return Status::failure("not a database file name (User.dat, User2.dat, Score.dat, Squad.dat, Ban.dat, "
                               "Banfree.dat, Op.dat, Zone.dat): " + path);
    DatReader reader(datLayout(file));
    if (!reader.openFile(path)) return Status::failure("cannot open " + path);
    if (file == DatFile::Ban) {
        uint8_t header[fdBan::kHeaderSize];
        reader.readHeader(header);
        int32_t last = static_cast<int32_t>(header[0] | header[1] << 8 | header[2] << 16 |
                                            static_cast<uint32_t>(header[3]) << 24);
        out << "{\"lastBanID\":" << last << "}\n";
    }
    int index = 0;
    while (const uint8_t* record = reader.next()) out << recordJson(file, ++index, record) << "\n";
    return Status::ok();
}

namespace {

// Counts one password field; one taken for a hash that this server cannot
// have written is a problem of `file` (its name, or "backup/NAME/File.dat").
void countPassword(PasswordCount& count, const std::array<uint8_t, 32>& raw, const std::string& file, int record,
                   std::vector<std::string>& problems) {
    ++count.records;
    PasswordField field = passwordFieldFromFile(raw.data());
    if (!isHashedPassword(field) && field != PasswordField{}) ++count.scrambled;
    const std::string where = file + " record " + std::to_string(record) + ": the password field ";
    const std::string version = std::to_string(raw[31]);
    switch (strayHashField(raw.data())) {
        case StrayHashField::None:
            break;
        case StrayHashField::UnknownVersion:
            problems.push_back(where + "ends in " + version +
                               ", a hash version this server never writes: it never verifies (an older writer's "
                               "scrambled password with a stray last byte?)");
            break;
        case StrayHashField::TextShaped:
            problems.push_back(where + "is a text followed by zeros with " + version +
                               " as its last byte, not a hash this server writes: it never verifies (an older "
                               "writer's scrambled password with a stray last byte?)");
            break;
    }
}

std::string generationFolder(const std::string& directory, const std::string& name) {
    return datPath(directory, std::string(kBackupFolder) + "/" + name);
}

// A generation that is a folder of its own; a link in its place is not read
// or written through.
bool isGenerationFolder(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The password fields of one generation's four files.
GenerationPasswords checkGeneration(const std::string& directory, const std::string& name,
                                    std::vector<std::string>& problems) {
    GenerationPasswords counts;
    counts.name = name;
    const std::string folder = generationFolder(directory, name);
    if (!isGenerationFolder(folder)) return counts;
    auto read = [&](auto record, DatFile file, PasswordCount& count) {
        using Record = decltype(record);
        const char* fileName = datLayout(file).fileName;
        const std::string label = std::string(kBackupFolder) + "/" + name + "/" + fileName;
        readRecords<Record>(datPath(folder, fileName), file, nullptr, [&](int i, const Record& r) {
            countPassword(count, r.password, label, i, problems);
        });
    };
    read(fdUser{}, DatFile::User, counts.users);
    read(fdSquad{}, DatFile::Squad, counts.squads);
    read(fdOp{}, DatFile::Op, counts.operators);
    read(fdZone{}, DatFile::Zone, counts.zones);
    return counts;
}

std::string passwordCountText(const char* kind, const PasswordCount& count) {
    return std::string(kind) + " " + std::to_string(count.scrambled) + " of " + std::to_string(count.records);
}

}  // namespace

SetCheck checkDatabaseSet(const std::string& directory) {
    SetCheck check;
    if (std::optional<pid_t> holder = folderHolder(directory))
        check.notes.push_back("A server holds this folder (process " + std::to_string(*holder) +
                              "): what is read may be a save in progress.");
    PendingSave pending = readPendingSave(directory);
    if (pending.present)
        check.notes.push_back("An interrupted save is pending; it completes at the next start. Its new files are checked.");
    auto path = [&](DatFile file) { return datPathToRead(directory, file, pending); };
    auto problem = [&](const char* format, auto... args) {
        char line[512];
        std::snprintf(line, sizeof line, format, args...);
        check.problems.emplace_back(line);
    };
    auto present = [&](DatFile file, bool opened, int count, size_t trailing) {
        const char* name = datLayout(file).fileName;
        if (!opened) {
            check.notes.push_back(std::string(name) + ": not present");
            return;
        }
        check.notes.push_back(std::string(name) + ": " + std::to_string(count) + " records");
        if (trailing) problem("%s: the last %d bytes are not a whole record", name, static_cast<int>(trailing));
    };

    // Accounts first: everything else refers to them.
    std::unordered_map<int32_t, int> userByID;
    std::unordered_map<std::string, int> userByName;
    std::vector<std::pair<int, int32_t>> userSquads;  // record, SquadID
    std::unordered_map<int32_t, int32_t> squadOfUser;  // UserID -> SquadID of its first record
    int users = 0;
    size_t trailing = 0;
    bool opened = readRecords<fdUser>(path(DatFile::User), DatFile::User, nullptr, [&](int i, const fdUser& r) {
        ++users;
        countPassword(check.userPasswords, r.password, "User.dat", i, check.problems);
        auto [at, fresh] = userByID.try_emplace(r.userID, i);
        if (!fresh) problem("User.dat record %d: UserID %d is also record %d", i, r.userID, at->second);
        else squadOfUser[r.userID] = r.squadID;
        std::string name(fieldTextOf(r.name));
        auto [named, freshName] = userByName.try_emplace(folded(name, kNameCompareLength), i);
        if (!freshName)
            problem("User.dat record %d: account \"%s\" is listed twice: record %d has the same name (first 19 "
                    "characters, any case)", i, name.c_str(), named->second);
        if (r.squadID != 0) userSquads.emplace_back(i, r.squadID);
    }, &trailing);
    present(DatFile::User, opened, users, trailing);
    auto userExists = [&](int32_t id) { return userByID.count(id) != 0; };

    std::unordered_map<int32_t, int> squadByID;
    std::unordered_map<std::string, int> squadByName;
    int squads = 0;
    opened = readRecords<fdSquad>(path(DatFile::Squad), DatFile::Squad, nullptr, [&](int i, const fdSquad& r) {
        ++squads;
        countPassword(check.squadPasswords, r.password, "Squad.dat", i, check.problems);
        std::string name(fieldTextOf(r.name));
        auto [at, fresh] = squadByID.try_emplace(r.squadID, i);
        if (!fresh) problem("Squad.dat record %d: SquadID %d is also record %d", i, r.squadID, at->second);
        auto [named, freshName] = squadByName.try_emplace(folded(name, 0), i);
        if (!freshName)
            problem("Squad.dat record %d: squad \"%s\" is listed twice: record %d has the same name", i, name.c_str(),
                    named->second);
        if (r.ownerID == 0 || !userExists(r.ownerID))
            problem("Squad.dat record %d: squad \"%s\" has no owner (owner UserID %d is no account)", i, name.c_str(),
                    r.ownerID);
        else if (squadOfUser[r.ownerID] == 0)
            problem("Squad.dat record %d: squad \"%s\" loads without owner: its owner (UserID %d) is in no squad", i,
                    name.c_str(), r.ownerID);
    }, &trailing);
    present(DatFile::Squad, opened, squads, trailing);
    for (auto& [record, squadID] : userSquads)
        if (!squadByID.count(squadID)) problem("User.dat record %d: SquadID %d is no squad", record, squadID);

    int count = 0;
    opened = readRecords<fdReg>(path(DatFile::User2), DatFile::User2, nullptr, [&](int i, const fdReg& r) {
        ++count;
        if (!userExists(r.userID)) problem("User2.dat record %d: UserID %d is no account", i, r.userID);
    }, &trailing);
    present(DatFile::User2, opened, count, trailing);

    count = 0;
    std::set<std::pair<int32_t, int32_t>> scoreSets;
    opened = readRecords<fdScore>(path(DatFile::Score), DatFile::Score, nullptr, [&](int i, const fdScore& r) {
        ++count;
        if (!userExists(r.userID)) problem("Score.dat record %d: UserID %d is no account", i, r.userID);
        else if (!scoreSets.emplace(r.userID, r.scoreID).second)
            problem("Score.dat record %d: UserID %d has a second score set for ScoreID %d", i, r.userID, r.scoreID);
    }, &trailing);
    present(DatFile::Score, opened, count, trailing);

    count = 0;
    int32_t lastBanID = 0;
    std::unordered_map<int32_t, int> banByID;
    opened = readRecords<fdBan>(path(DatFile::Ban), DatFile::Ban, &lastBanID, [&](int i, const fdBan& r) {
        ++count;
        auto [at, fresh] = banByID.try_emplace(r.banID, i);
        if (!fresh) problem("Ban.dat record %d: BanID %d is also record %d", i, r.banID, at->second);
        if (r.banID > lastBanID)
            problem("Ban.dat record %d: BanID %d is above the last BanID %d, so it will be given out again", i,
                    r.banID, lastBanID);
        if (r.bannedByID != 0 && !userExists(r.bannedByID))
            problem("Ban.dat record %d: BannedBy UserID %d is no account", i, r.bannedByID);
        if (!userExists(r.userID)) problem("Ban.dat record %d: banned UserID %d is no account", i, r.userID);
    }, &trailing);
    present(DatFile::Ban, opened, count, trailing);
    if (opened && lastBanID < 0) problem("Ban.dat: the last BanID %d is negative (read as 0)", lastBanID);

    count = 0;
    opened = readRecords<fdBanfree>(path(DatFile::Banfree), DatFile::Banfree, nullptr, [&](int i, const fdBanfree& r) {
        ++count;
        if (!userExists(r.userID)) problem("Banfree.dat record %d: UserID %d is no account", i, r.userID);
    }, &trailing);
    present(DatFile::Banfree, opened, count, trailing);

    count = 0;
    opened = readRecords<fdOp>(path(DatFile::Op), DatFile::Op, nullptr, [&](int i, const fdOp& r) {
        ++count;
        countPassword(check.operatorPasswords, r.password, "Op.dat", i, check.problems);
        if (!userExists(r.userID)) problem("Op.dat record %d: UserID %d is no account", i, r.userID);
    }, &trailing);
    present(DatFile::Op, opened, count, trailing);

    count = 0;
    std::unordered_map<int32_t, int> zoneByScoreID;
    opened = readRecords<fdZone>(path(DatFile::Zone), DatFile::Zone, nullptr, [&](int i, const fdZone& r) {
        ++count;
        countPassword(check.zonePasswords, r.password, "Zone.dat", i, check.problems);
        auto [at, fresh] = zoneByScoreID.try_emplace(r.scoreID, i);
        if (!fresh) problem("Zone.dat record %d: ScoreID %d is also record %d", i, r.scoreID, at->second);
    }, &trailing);
    present(DatFile::Zone, opened, count, trailing);
    check.notes.push_back("Passwords still scrambled: " + passwordCountText("users", check.userPasswords) + ", " +
                          passwordCountText("squads", check.squadPasswords) + ", " +
                          passwordCountText("operators", check.operatorPasswords) + ", " +
                          passwordCountText("zones", check.zonePasswords));
    return check;
}

GenerationsCheck checkBackupGenerations(const std::string& directory) {
    GenerationsCheck check;
    for (const std::string& name : listBackupGenerations(directory)) {
        GenerationPasswords generation = checkGeneration(directory, name, check.problems);
        if (generation.users.scrambled + generation.squads.scrambled + generation.operators.scrambled +
                generation.zones.scrambled > 0)
            check.notes.push_back(std::string(kBackupFolder) + "/" + name + ": passwords still scrambled: " +
                                  passwordCountText("users", generation.users) + ", " +
                                  passwordCountText("squads", generation.squads) + ", " +
                                  passwordCountText("operators", generation.operators) + ", " +
                                  passwordCountText("zones", generation.zones));
        check.generations.push_back(std::move(generation));
    }
    return check;
}

namespace {

// One password field to hash, and the records that take its result: the
// same account's same scrambled field in the files and in every generation.
struct WrapJob {
    PasswordField scrambled;
    PasswordField wrapped;
    std::vector<std::pair<uint8_t*, void (*)(uint8_t*, const PasswordField&)>> records;
};

template <typename Record>
PasswordField recordPassword(const uint8_t* bytes) {
    return passwordFieldFromFile(Record::decode(bytes).password.data());
}

template <typename Record>
void setRecordPassword(uint8_t* bytes, const PasswordField& field) {
    Record r = Record::decode(bytes);
    r.password = field;
    r.encode(bytes);
}

// What names a record's owner across the files and the generations.
std::string userIdentity(const uint8_t* bytes) { return "u" + std::to_string(fdUser::decode(bytes).userID); }
std::string squadIdentity(const uint8_t* bytes) { return "s" + std::to_string(fdSquad::decode(bytes).squadID); }
std::string operatorIdentity(const uint8_t* bytes) {
    fdOp r = fdOp::decode(bytes);
    return "o" + std::to_string(r.userID) + "/" + std::to_string(r.groupID) + "/" + std::to_string(r.scoreID);
}
std::string zoneIdentity(const uint8_t* bytes) { return "z" + std::to_string(fdZone::decode(bytes).scoreID); }

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, bool& present) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    present = fd >= 0;
    if (fd < 0) return errno == ENOENT;
    out.clear();
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

// The four files of one folder being wrapped: the data folder or one of its
// generations.
struct WrapFolder {
    struct File {
        DatFile kind;
        PasswordCount* count;
        PasswordField (*get)(const uint8_t*);
        void (*set)(uint8_t*, const PasswordField&);
        std::string (*identity)(const uint8_t*);
        std::vector<uint8_t> bytes;
        bool present = false;
    };
    std::string path;
    std::string label;  // how messages name it: "" or "backup/NAME/"
    File files[4];

    WrapFolder(std::string folder, std::string name, PasswordCount& users, PasswordCount& squads,
               PasswordCount& operators, PasswordCount& zones)
        : path(std::move(folder)),
          label(std::move(name)),
          files{{DatFile::User, &users, recordPassword<fdUser>, setRecordPassword<fdUser>, userIdentity, {}},
                {DatFile::Squad, &squads, recordPassword<fdSquad>, setRecordPassword<fdSquad>, squadIdentity, {}},
                {DatFile::Op, &operators, recordPassword<fdOp>, setRecordPassword<fdOp>, operatorIdentity, {}},
                {DatFile::Zone, &zones, recordPassword<fdZone>, setRecordPassword<fdZone>, zoneIdentity, {}}} {}
};

// Writes the files of `folder` that had something wrapped, each beside
// itself and renamed over it. An error text, or empty.
Status writeWrappedFolder(WrapFolder& folder) {
    for (WrapFolder::File& file : folder.files) {
        if (!file.present || file.count->scrambled == 0) continue;
        const char* name = datLayout(file.kind).fileName;
        const std::string shown = folder.label + name;
        DatWriter writer;
        if (Status opened = writer.open(folder.path, name); !opened)
            return Status::failure("cannot write " + shown + kTemporarySuffix + ": " + opened.reason());
        for (size_t at = 0; at < file.bytes.size(); at += 65536) {
            size_t n = std::min<size_t>(65536, file.bytes.size() - at);
            std::memcpy(writer.reserve(n), file.bytes.data() + at, n);
        }
        Status written = writer.finish();
        if (written && !writer.replace(name)) written = Status::fromErrno();
        if (!written) {
            writer.discard();
            return Status::failure("cannot write " + shown + ": " + written.reason());
        }
        writer.release();
        syncDirectory(folder.path);
    }
    return Status::ok();
}

}  // namespace

WrapResult wrapScrambledPasswords(const std::string& directory, unsigned threads,
                                  const std::function<void(size_t done, size_t total)>& progress) {
    WrapResult result;
    FolderLock lock(directory);
    if (Status taken = lock.tryTake(); !taken) {
        if (FolderLock::heldElsewhere(taken))
            result.status = Status::failure("a server (process " + std::to_string(lock.holder()) + ") holds " +
                                            directory + ": stop it first");
        else
            result.status = taken;
        return result;
    }
    settleInterruptedSave(directory);

    // The live files first: their hashes are the ones the generations share.
    std::vector<std::string> generations;
    for (const std::string& name : listBackupGenerations(directory))
        if (isGenerationFolder(generationFolder(directory, name))) generations.push_back(name);
    result.generations.resize(generations.size());
    std::vector<WrapFolder> folders;
    folders.reserve(generations.size() + 1);
    folders.emplace_back(directory, "", result.users, result.squads, result.operators, result.zones);
    for (size_t g = 0; g < generations.size(); ++g) {
        GenerationPasswords& counts = result.generations[g];
        counts.name = generations[g];
        folders.emplace_back(generationFolder(directory, generations[g]),
                             std::string(kBackupFolder) + "/" + generations[g] + "/", counts.users, counts.squads,
                             counts.operators, counts.zones);
    }

    std::vector<WrapJob> jobs;
    std::unordered_map<std::string, size_t> jobOf;  // owner and scrambled field -> job
    for (WrapFolder& folder : folders) {
        for (WrapFolder::File& file : folder.files) {
            const DatLayout& layout = datLayout(file.kind);
            std::string path = datPath(folder.path, layout.fileName);
            if (!readWholeFile(path, file.bytes, file.present)) {
                result.status = Status::failure("cannot read " + path + ": " + std::strerror(errno));
                return result;
            }
            size_t size = static_cast<size_t>(layout.recordSize);
            for (size_t at = static_cast<size_t>(layout.headerSize); at + size <= file.bytes.size(); at += size) {
                uint8_t* record = file.bytes.data() + at;
                ++file.count->records;
                PasswordField field = file.get(record);
                if (isHashedPassword(field) || field == PasswordField{}) continue;
                ++file.count->scrambled;
                std::string key = file.identity(record);
                key.append(reinterpret_cast<const char*>(field.data()), field.size());
                auto [at_job, fresh] = jobOf.try_emplace(std::move(key), jobs.size());
                if (fresh) jobs.push_back({field, {}, {}});
                jobs[at_job->second].records.emplace_back(record, file.set);
            }
        }
    }

    // Each hash is independent: the workers take the next field in turn.
    std::atomic<size_t> next{0}, done{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (size_t i = next.fetch_add(1); i < jobs.size(); i = next.fetch_add(1)) {
            try {
                jobs[i].wrapped = wrapScrambledPassword(jobs[i].scrambled);
            } catch (const std::bad_alloc&) {
                failed = true;  // the hash's memory could not be had
            }
            done.fetch_add(1);
        }
    };
    if (progress) progress(0, jobs.size());
    std::vector<std::thread> workers;
    size_t count = std::min<size_t>(std::max(1u, threads), jobs.size());
    for (size_t t = 0; t < count; ++t) workers.emplace_back(work);
    for (size_t shown = 0; shown < jobs.size();) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t finished = done.load();
        if (progress && finished != shown) progress(finished, jobs.size());
        shown = finished;
    }
    for (std::thread& worker : workers) worker.join();
    if (failed) {
        result.status = Status::failure("not enough memory for the hashes (try fewer threads); nothing was changed");
        return result;
    }
    for (const WrapJob& job : jobs)
        for (const auto& [record, set] : job.records) set(record, job.wrapped);

    for (WrapFolder& folder : folders) {
        if (Status written = writeWrappedFolder(folder); !written) {
            result.status = written;
            return result;
        }
    }
    return result;
}

}  // namespace tallysv
