// tallysv-db: looks into the database files without a running server.
//   tallysv-db dump FILE   every record of one .dat file, one JSON object a line
//   tallysv-db check DIR   loads a folder's set and reports what does not fit
//   tallysv-db audit [--since TIME] [--who NAME] [FILE]
//                          the audit log of operator actions as a table
//   tallysv-db wrap DIR    replaces every scrambled password by its wrapped hash,
//                          in the files and in every generation of backup/
//   tallysv-db export --sqlite FILE DIR
//                          the folder's records as an SQLite database
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>

#include "control/audit_log.h"
#include "db/dat_tool.h"
#include "sqlite_export.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tallysv-db dump FILE    print every record of a .dat file as JSON, one a line\n"
                 "       tallysv-db check DIR    check the .dat files of a folder; exit status 1 on problems\n"
                 "       tallysv-db wrap DIR     hash every scrambled password of a stopped server's folder\n"
                 "       tallysv-db export --sqlite FILE DIR\n"
                 "                               write the folder's records (no passwords) as an SQLite database\n"
                 "       tallysv-db audit [--since TIME] [--who NAME] [FILE]\n"
                 "                               the audit log (FILE, else audit.log here) as a table\n");
    return 2;
}

// What the progress bar is of.
const char* progressLabel = "Wrapping passwords";

// "[#####     ] 512/1024" on standard error, redrawn in place on a terminal.
void showProgress(size_t done, size_t total) {
    static size_t shown = SIZE_MAX;
    static const bool terminal = ::isatty(STDERR_FILENO) != 0;
    if (done == shown || (!terminal && done != total && done != 0)) return;
    shown = done;
    constexpr size_t kWidth = 40;
    size_t filled = total ? done * kWidth / total : kWidth;
    std::string bar(filled, '#');
    bar.resize(kWidth, ' ');
    std::fprintf(stderr, "%s%s [%s] %zu/%zu%s", terminal ? "\r" : "", progressLabel, bar.c_str(), done, total,
                 terminal && done != total ? "" : "\n");
    std::fflush(stderr);
}

int wrap(const char* directory) {
    unsigned threads = std::thread::hardware_concurrency();
    tallysv::WrapResult result = tallysv::wrapScrambledPasswords(directory, threads ? threads : 1, showProgress);
    if (!result.status) {
        std::cerr << "tallysv-db: " << result.status.reason() << "\n";
        return 1;
    }
    std::cout << "Wrapped: users " << result.users.scrambled << ", squads " << result.squads.scrambled
              << ", operators " << result.operators.scrambled << ", zones " << result.zones.scrambled << "\n";
    for (const tallysv::GenerationPasswords& generation : result.generations)
        std::cout << "Wrapped in backup/" << generation.name << ": users " << generation.users.scrambled
                  << ", squads " << generation.squads.scrambled << ", operators " << generation.operators.scrambled
                  << ", zones " << generation.zones.scrambled << "\n";
    return 0;
}

int audit(int argc, char** argv) {
    tallysv::AuditFilter filter;
    std::string path = tallysv::AuditLog::kFileName;
    bool pathGiven = false;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--since" || argument == "--who") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (argument == "--who") {
                filter.who = value;
                continue;
            }
            filter.since = tallysv::parseAuditSince(value, static_cast<int64_t>(std::time(nullptr)));
            if (!filter.since) {
                std::cerr << "tallysv-db: --since takes a UTC date and time (2026-12-11, 2026-12-11 01:30, "
                             "2026-12-11T01:30:00Z) or a span back from now (90s, 30m, 12h, 7d)\n";
                return 2;
            }
        } else if (!pathGiven && argument.rfind("--", 0) != 0) {
            path = argument;
            pathGiven = true;
        } else {
            return usage();
        }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "tallysv-db: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    const int unreadable = tallysv::printAuditTable(in, filter, std::cout);
    if (unreadable > 0) std::cerr << "tallysv-db: " << unreadable << " line(s) of " << path << " are no audit lines\n";
    return 0;
}

}  // namespace

int exportDatabase(const char* file, const char* directory) {
    progressLabel = "Exporting records";
    const auto began = std::chrono::steady_clock::now();
    tallysv::SqliteExport result = tallysv::exportSqlite(directory, file, showProgress);
    if (!result.ok) {
        std::cerr << "tallysv-db: " << result.error << "\n";
        return 1;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    std::cout << "Exported to " << file << ": accounts " << result.accounts << ", scores " << result.scores
              << ", squads " << result.squads << " (members " << result.members << "), zones " << result.zones
              << ", bans " << result.bans << ", banfrees " << result.banfrees << ", operators " << result.operators
              << " in " << ms.count() << " ms\n";
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "audit") == 0) return audit(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "export") == 0 && std::strcmp(argv[2], "--sqlite") == 0)
        return exportDatabase(argv[3], argv[4]);
    if (argc != 3) return usage();
    if (std::strcmp(argv[1], "dump") == 0) {
        if (tallysv::Status dumped = tallysv::dumpDatFile(argv[2], std::cout); !dumped) {
            std::cerr << "tallysv-db: " << dumped.reason() << "\n";
            return 2;
        }
        return 0;
    }
    if (std::strcmp(argv[1], "check") == 0) {
        tallysv::SetCheck check = tallysv::checkDatabaseSet(argv[2]);
        tallysv::GenerationsCheck generations = tallysv::checkBackupGenerations(argv[2]);
        check.notes.insert(check.notes.end(), generations.notes.begin(), generations.notes.end());
        check.problems.insert(check.problems.end(), generations.problems.begin(), generations.problems.end());
        for (const std::string& note : check.notes) std::cout << note << "\n";
        for (const std::string& problem : check.problems) std::cout << "PROBLEM: " << problem << "\n";
        if (check.problems.empty()) {
            std::cout << "No problems found\n";
            return 0;
        }
        std::cout << check.problems.size() << " problem(s) found\n";
        return 1;
    }
    if (std::strcmp(argv[1], "wrap") == 0) return wrap(argv[2]);
    return usage();
}
