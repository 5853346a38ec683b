// tallysv-db: looks into the database files without a running server.
//   tallysv-db dump FILE   every record of one .dat file, one JSON object a line
//   tallysv-db check DIR   loads a folder's set and reports what does not fit
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "db/dat_tool.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tallysv-db dump FILE    print every record of a .dat file as JSON, one a line\n"
                 "       tallysv-db check DIR    check the .dat files of a folder; exit status 1 on problems\n");
    return 2;
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
    return usage();
}
