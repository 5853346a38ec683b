// tallysv-db: looks into the database files without a running server.
//   tallysv-db dump FILE   every record of one .dat file, one JSON object a line
//   tallysv-db check DIR   loads a folder's set and reports what does not fit
//   tallysv-db wrap DIR    replaces every scrambled password by its wrapped hash
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>

#include "db/dat_tool.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tallysv-db dump FILE    print every record of a .dat file as JSON, one a line\n"
                 "       tallysv-db check DIR    check the .dat files of a folder; exit status 1 on problems\n"
                 "       tallysv-db wrap DIR     hash every scrambled password of a stopped server's folder\n");
    return 2;
}

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
    std::fprintf(stderr, "%sWrapping passwords [%s] %zu/%zu%s", terminal ? "\r" : "", bar.c_str(), done, total,
                 terminal && done != total ? "" : "\n");
    std::fflush(stderr);
}

int wrap(const char* directory) {
    unsigned threads = std::thread::hardware_concurrency();
    tallysv::WrapResult result = tallysv::wrapScrambledPasswords(directory, threads ? threads : 1, showProgress);
    if (!result.ok) {
        std::cerr << "tallysv-db: " << result.error << "\n";
        return 1;
    }
    std::cout << "Wrapped: users " << result.users.scrambled << ", squads " << result.squads.scrambled
              << ", operators " << result.operators.scrambled << ", zones " << result.zones.scrambled << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    if (std::strcmp(argv[1], "dump") == 0) {
        std::string error;
        if (!tallysv::dumpDatFile(argv[2], std::cout, error)) {
            std::cerr << "tallysv-db: " << error << "\n";
            return 2;
        }
        return 0;
    }
    if (std::strcmp(argv[1], "check") == 0) {
        tallysv::SetCheck check = tallysv::checkDatabaseSet(argv[2]);
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
