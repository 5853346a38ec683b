// Arbitrary bytes as the eight database files, fed to the loader. Every
// record read and written back gives its bytes again. After
// each load the links between records must hold together and every lookup
// must find what a walk of its table finds. The password fields' decoder
// gets the input's first 32 bytes as a field of its own, and every loaded
// password is checked (at the smallest Argon2id cost, so hashed ones cost
// microseconds).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "credentials/password_store.h"
#include "db/database.h"
#include "db/file_records.h"
#include "fuzz_support.h"

namespace {

using namespace tallysv;
using namespace tallysv::fuzzing;

void require(bool condition) {
    if (!condition) std::abort();
}

// What lives from one input to the next: the database, cleared before each
// input.
struct World {
    World(const char* folder, bool fresh) : database(settings, clock, log, scratchFolder(folder)), fresh(fresh) {}
    FakeClock clock;
    FingerprintLog log;
    Settings settings;
    Database database;
    const bool fresh;  // built for this one input: nothing to reset
};

uint64_t run(World& world, const uint8_t* data, size_t size);

// A decoded field is a hash whole or a scrambled text with nothing after
// its first NUL, and decoding it again changes nothing.
void checkDecodedField(const PasswordField& field) {
    if (isHashedPassword(field)) {
        require(field[31] >= 1 && field[31] <= kPasswordLastVersion);
    } else {
        size_t n = 0;
        while (n < 31 && field[n] != 0) ++n;
        for (size_t i = n; i < field.size(); ++i) require(field[i] == 0);
    }
    require(passwordFieldFromFile(field.data()) == field);
}

// Every whole record of a file image, read through its file's field list
// and written back, gives its bytes again: the fields cover the record,
// and no field's reading loses a bit.
void checkRecords(DatFile file, const std::vector<uint8_t>& image) {
    withRecordType(file, [&](auto blank) {
        using Record = decltype(blank);
        const size_t header = static_cast<size_t>(datLayout(file).headerSize);
        const size_t size = static_cast<size_t>(Record::kSize);
        uint8_t written[kLargestRecord];
        for (size_t at = header; at + size <= image.size(); at += size) {
            const uint8_t* bytes = image.data() + at;
            const Record record = Record::decode(bytes);
            std::memset(written, 0xA5, sizeof written);
            record.encode(written);
            require(std::memcmp(written, bytes, size) == 0);
        }
    });
}

// Argon2id, even at its smallest cost, is kept to a few fields an input.
int hashBudget = 0;

void checkPasswordField(const PasswordField& field) {
    checkDecodedField(field);
    if (hashBudget <= 0) return;
    --hashBudget;
    PasswordCheck check = checkPassword(field, "fuzz", true);
    if (check.upgrade) require(check.matches && isHashedPassword(*check.upgrade));
    if (!isHashedPassword(field) && field != PasswordField{}) {
        PasswordField wrapped = wrapScrambledPassword(field);
        require(wrapped[31] == kPasswordWrappedVersion);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    usePasswordTestCost(true);
    if (size >= sizeof(PasswordField)) {
        PasswordField raw;
        std::memcpy(raw.data(), data, raw.size());
        PasswordField field = passwordFieldFromFile(data);
        checkDecodedField(field);
        if (raw[31] >= 1 && raw[31] <= kPasswordLastVersion) require(field == raw);
    }
    // The one world of the process, reset for every input.
    static World world("tallysv-fuzz-database", false);
    const uint64_t said = run(world, data, size);
    if (checkingReset()) {
        World fresh("tallysv-fuzz-database-fresh", true);
        if (run(fresh, data, size) != said) __builtin_trap();
    }
    return 0;
}

namespace {

uint64_t run(World& world, const uint8_t* data, size_t size) {
    Database& database = world.database;
    if (!world.fresh) database.clear();
    Fingerprint fingerprint;
    if (checkingReset()) world.log.fingerprint = &fingerprint;
    // Each file: one presence byte, a 16-bit length, then that many bytes
    // (cut to what is left).
    DatImages images;
    size_t at = 0;
    for (size_t file = 0; file < kDatFileCount && at < size; ++file) {
        bool present = data[at++] & 1;
        size_t length = 0;
        if (at + 2 <= size) {
            length = static_cast<size_t>(data[at] | data[at + 1] << 8);
            at += 2;
        }
        if (length > size - at) length = size - at;
        if (present) images[file] = std::vector<uint8_t>(data + at, data + at + length);
        at += length;
    }

    for (size_t file = 0; file < kDatFileCount; ++file)
        if (images[file]) checkRecords(static_cast<DatFile>(file), *images[file]);
    database.loadImages(images);
    hashBudget = 4;

    for (UserRecord* user : database.users()) {
        checkPasswordField(user->password);
        if (user->squad) {
            const auto& members = user->squad->members();
            size_t times = 0;
            for (UserRecord* member : members) times += member == user;
            require(times == 1);
        }
        if (user->registration()) require(user->registration()->user == user);
        UserRecord* walked = nullptr;
        for (UserRecord* other : database.users())
            if (equalFolded(user->name(), other->name(), kNameCompareLength)) {
                walked = other;
                break;
            }
        require(database.findUser(user->name()) == walked);
        require(database.findUserByID(user->userID()) != nullptr);
    }
    for (SquadRecord* squad : database.squads()) {
        checkPasswordField(squad->password);
        for (UserRecord* member : squad->members()) require(member->squad == squad);
        require(database.findSquad(squad->name()) != nullptr);
    }
    for (ScoreRecord* score : database.scores()) require(score->user != nullptr);
    for (OperatorRecord* op : database.operators()) {
        require(op->user != nullptr);
        checkPasswordField(op->password);
    }
    for (ZoneRecord* zone : database.zones()) checkPasswordField(zone->password);
    require(database.lastBanID() >= 0);
    database.findBan(1, {1, 2, 3, 4}, 1, 1, 1, 1);
    database.findBanfree(1, 1);
    database.findZone(1);
    if (checkingReset()) addSavedFiles(fingerprint, world.settings, database);
    world.log.fingerprint = nullptr;
    // What the input made goes now rather than before the next one, so
    // that the memory an input takes is given back by the same input (and
    // the leak check has nothing to look into).
    database.clear();
    return fingerprint.value();
}

}  // namespace
