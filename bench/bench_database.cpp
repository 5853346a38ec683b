// Database load, save and lookup at the scale of a large network:
// 1,000,000 accounts (half registered), 1,000,000 score sets, 50,000
// squads, 20,000 bans, 5,000 banfrees, 2,000 operators, 500 zones.
//
// Load and save are set against plain buffered reading and writing of the
// same bytes (the physical limit); the lookup by name at 1,000,000 accounts
// against the same lookup at 1,000. Peak memory is that of a fresh process
// that loads the files and saves them again; the part of it that the alias
// indexes (accounts by address, MachineID and HardwareID) take is shown.
//
//   bench_database [DIR] [USERS]   (DIR defaults to a new folder under /tmp)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"

using namespace tallysv;

namespace {

using Seconds = std::chrono::duration<double>;

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

std::string pilotName(size_t i) {
    char name[32];
    std::snprintf(name, sizeof name, "Pilot%07zu", i);
    return name;
}

void build(Database& db, size_t users) {
    std::mt19937 random(7);
    for (size_t i = 1; i <= users; ++i) {
        UserRecord* user = db.createUser(pilotName(i), "password", {10, static_cast<uint8_t>(i >> 16),
                                                                    static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                                         40000 + static_cast<int32_t>(i), 0);
        user->Usage = static_cast<int32_t>(random() % 100000);
        if (i % 2 == 0) db.registerUser(*user, "Real Name", "pilot@example.org", static_cast<int32_t>(random()));
    }
    for (size_t i = 1; i <= users; ++i) {
        ScoreRecord* score = db.createScore(*db.findUserByID(static_cast<int32_t>(i)), static_cast<int32_t>(i % 500 + 1));
        score->LongStat1 = static_cast<int32_t>(random());
    }
    size_t squads = users / 20;
    std::vector<SquadRecord*> squadList;
    for (size_t s = 1; s <= squads; ++s)
        squadList.push_back(db.createSquad("Squad" + std::to_string(s), "sq", db.findUserByID(static_cast<int32_t>(s))));
    // Every other account is in a squad; owners are members of their own.
    for (size_t i = 1; i <= users; i += 2) {
        size_t s = (i - 1) % squads;
        db.addSquadMember(*squadList[s], *db.findUserByID(static_cast<int32_t>(i)));
    }
    for (size_t s = 1; s <= squads; ++s)
        db.addSquadMember(*squadList[s - 1], *db.findUserByID(static_cast<int32_t>(s)));
    for (size_t b = 0; b < users / 50; ++b) {
        UserRecord* banned = db.findUserByID(static_cast<int32_t>(random() % users + 1));
        BanRecord* ban = db.createBan(*banned, db.findUserByID(1), 30);
        ban->rangeStart = ban->rangeEnd = banned->address();
        ban->machineID = banned->machineID();
        ban->groupID = static_cast<int32_t>(b % 4);
    }
    for (size_t b = 0; b < users / 200; ++b) db.createBanfree(static_cast<int32_t>(random() % users + 1), 0, 0);
    for (size_t o = 0; o < users / 500; ++o)
        db.createOperator(db.findUserByID(static_cast<int32_t>(o + 1)), 0, 0, static_cast<uint8_t>(o % 5), "op");
    for (size_t z = 1; z <= users / 2000; ++z) db.createZone(static_cast<int32_t>(z), static_cast<int32_t>(z % 10), "zone");
}

const char* const kFiles[] = {"User.dat", "User2.dat", "Score.dat", "Squad.dat",
                              "Ban.dat",  "Banfree.dat", "Op.dat",  "Zone.dat"};

size_t totalBytes(const std::string& dir) {
    size_t total = 0;
    for (const char* f : kFiles) total += std::filesystem::file_size(dir + "/" + f);
    return total;
}

// Plain buffered reading of every file: the least a load can cost.
double plainRead(const std::string& dir) {
    std::vector<char> buffer(1 << 20);
    auto start = std::chrono::steady_clock::now();
    size_t sum = 0;
    for (const char* f : kFiles) {
        std::FILE* file = std::fopen((dir + "/" + f).c_str(), "rb");
        size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) sum += static_cast<unsigned char>(buffer[n - 1]);
        std::fclose(file);
    }
    double t = since(start);
    if (sum == 1) std::printf(" ");
    return t;
}

// Plain buffered writing of the same number of bytes per file, with and
// without flushing each file to the disk.
double plainWrite(const std::string& dir, bool sync) {
    std::string out = dir + "/plain";
    std::filesystem::create_directories(out);
    std::vector<char> buffer(1 << 20, 'x');
    auto start = std::chrono::steady_clock::now();
    for (const char* f : kFiles) {
        size_t size = std::filesystem::file_size(dir + "/" + f);
        std::FILE* file = std::fopen((out + "/" + f).c_str(), "wb");
        for (size_t done = 0; done < size;) {
            size_t n = std::min(buffer.size(), size - done);
            std::fwrite(buffer.data(), 1, n, file);
            done += n;
        }
        std::fflush(file);
        if (sync) fsync(fileno(file));
        std::fclose(file);
    }
    return since(start);
}

// Empties the kernel's page cache (needs root), so that reading starts
// from the disk as at a server's first start after boot.
bool dropCaches() {
    sync();
    std::FILE* file = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (!file) return false;
    bool ok = std::fputs("1\n", file) >= 0;
    return std::fclose(file) == 0 && ok;
}

struct LookupTimes {
    double sameNameNs;
    double spreadNs;
};

LookupTimes timeLookups(const Database& db, size_t users) {
    const int rounds = 2000000;
    std::vector<std::string> names;
    std::mt19937 random(3);
    for (int i = 0; i < 4096; ++i) names.push_back(pilotName(random() % users + 1));
    size_t found = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) found += db.findUser(names[0]) != nullptr;
    double same = since(start) / rounds * 1e9;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) found += db.findUser(names[static_cast<size_t>(i) & 4095]) != nullptr;
    double spread = since(start) / rounds * 1e9;
    if (found != 2u * rounds) std::printf("lookup failed\n");
    return {same, spread};
}

}  // namespace

// The measurements in a fresh process, so that its peak memory is what a
// server that loads the files holds.
int measureLoaded(const std::string& dir, size_t users) {
    FakeClock clock;
    DiscardLog log;
    Settings settings;
    if (dropCaches()) {
        double coldRead = plainRead(dir);
        dropCaches();
        Database cold(settings, clock, log, dir);
        auto start = std::chrono::steady_clock::now();
        cold.load();
        double coldLoad = since(start);
        std::printf("load from disk             %8.3f s   plain read %8.3f s   ratio %5.2f\n", coldLoad, coldRead,
                    coldLoad / coldRead);
    }
    Database db(settings, clock, log, dir);
    plainRead(dir);  // the files in the page cache for both readings alike
    double read = plainRead(dir);
    auto start = std::chrono::steady_clock::now();
    db.load();
    double load = since(start);
    start = std::chrono::steady_clock::now();
    if (!db.save()) std::fprintf(stderr, "the save failed\n");
    double save = since(start);
    double write = plainWrite(dir, false);
    double writeSync = plainWrite(dir, true);
    std::printf("load from page cache       %8.3f s   plain read %8.3f s   ratio %5.2f\n", load, read, load / read);
    std::printf("save (flushed to disk)     %8.3f s   plain write %7.3f s   ratio %5.2f\n", save, write, save / write);
    std::printf("                                       plain write + fsync %7.3f s   ratio %5.2f\n", writeSync,
                save / writeSync);
    LookupTimes big = timeLookups(db, users);

    IPv4Address nowhere{203, 0, 113, 9};
    const int banRounds = 2000;
    start = std::chrono::steady_clock::now();
    size_t hits = 0;
    for (int i = 0; i < banRounds; ++i) hits += db.findBan(-5, nowhere, 7, 7, 1, 1) != nullptr;
    double banUs = since(start) / banRounds * 1e6;

    Database small(settings, clock, log);
    build(small, 1000);
    LookupTimes little = timeLookups(small, 1000);
    std::printf("findUser, same name        %8.1f ns at %zu users, %8.1f ns at 1000, ratio %5.2f\n",
                big.sameNameNs, users, little.sameNameNs, big.sameNameNs / little.sameNameNs);
    std::printf("findUser, 4096 names       %8.1f ns at %zu users, %8.1f ns at 1000, ratio %5.2f\n",
                big.spreadNs, users, little.spreadNs, big.spreadNs / little.spreadNs);
    std::printf("findBan without a match    %8.1f us over %zu bans (%zu hits)\n", banUs, db.bans().count(), hits);
    std::printf("alias indexes              %8.1f MB   (slots, and links in the account records)\n",
                static_cast<double>(db.aliasIndexBytes()) / 1e6);

    // What an entry from a new address and machine adds to a login: the
    // account moves to other buckets of the alias indexes.
    std::mt19937 random(5);
    // Machines of other accounts, so that the index keeps its size.
    struct Move {
        UserRecord* user;
        IPv4Address address;
        int32_t machineID;
    };
    std::vector<Move> moves;
    for (int i = 0; i < 200000; ++i) {
        uint32_t r = static_cast<uint32_t>(random());
        moves.push_back({db.findUserByID(static_cast<int32_t>(r % users + 1)),
                         {11, static_cast<uint8_t>(r >> 16), static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r)},
                         40001 + static_cast<int32_t>(random() % users)});
    }
    start = std::chrono::steady_clock::now();
    for (const Move& m : moves) db.setUserAddress(*m.user, m.address, m.machineID);
    std::printf("setUserAddress, new subnet and machine %6.1f ns at %zu users\n",
                since(start) / static_cast<double>(moves.size()) * 1e9, users);

    std::fflush(stdout);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--measure-loaded")
        return measureLoaded(argv[2], std::strtoul(argv[3], nullptr, 10));
    static const char* const kUsage =
        "usage: bench_database [FOLDER [USERS]]\n"
        "  Builds USERS accounts (default 1000000) in memory, saves them into FOLDER\n"
        "  (default: a new temporary folder, removed at the end), then measures load,\n"
        "  save, lookups and peak memory.\n";
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 3 || (argc > 1 && argv[1][0] == '-')) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string dir = argc > 1 ? argv[1] : "";
    size_t users = 1000000;
    if (argc > 2) {
        char* end = nullptr;
        users = std::strtoul(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || users == 0) {
            std::fprintf(stderr, "bench_database: USERS must be a positive whole number, not \"%s\"\n", argv[2]);
            return 2;
        }
    }
    std::error_code folderError;
    if (!dir.empty() && !std::filesystem::create_directories(dir, folderError) && folderError) {
        std::fprintf(stderr, "bench_database: cannot use the folder %s: %s\n", dir.c_str(),
                     folderError.message().c_str());
        return 1;
    }
    if (dir.empty()) {
        char pattern[] = "/tmp/tallysv-bench-XXXXXX";
        dir = mkdtemp(pattern);
    }
    FakeClock clock;
    DiscardLog log;

    std::printf("Database benchmark: %zu users in %s\n", users, dir.c_str());
    {
        auto start = std::chrono::steady_clock::now();
        Settings settings;
        Database db(settings, clock, log, dir);
        build(db, users);
        std::printf("build in memory            %8.3f s\n", since(start));
        start = std::chrono::steady_clock::now();
        if (!db.save()) std::fprintf(stderr, "the first save failed\n");
        std::printf("first save (files created) %8.3f s\n", since(start));
    }
    size_t bytes = totalBytes(dir);
    std::printf("files                      %8.1f MB\n", static_cast<double>(bytes) / 1e6);

    {
        // What fresh memory costs by itself: the loaded tables take about this
        // much, and the kernel clears every page before it is first written.
        size_t floorBytes = size_t{450} << 20;
        auto start = std::chrono::steady_clock::now();
        std::vector<char> fresh(floorBytes);
        double touch = since(start);
        std::printf("450 MB of fresh memory     %8.3f s   (allocated and zeroed once)\n", touch);
        if (fresh[floorBytes / 2] != 0) std::printf("?\n");
    }
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        std::string count = std::to_string(users);
        execl("/proc/self/exe", argv[0], "--measure-loaded", dir.c_str(), count.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("peak memory (load + save)  %8.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    if (argc <= 1) std::filesystem::remove_all(dir);
    return 0;
}
