// The Debian package as an administrator gets it: made by CPack from the
// install rules, clean for lintian, and the server inside it runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

using namespace tallysv::testing;

namespace {

const std::string kBuild = TALLYSV_BIN_DIR;

std::string run(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                std::optional<int>& status, std::chrono::seconds limit = std::chrono::seconds(120)) {
    ChildProcess child(program, args, folder);
    status = child.wait(limit);
    return child.output();
}

}  // namespace

TEST(Package, DebianPackageIsCleanForLintianAndItsServerRuns) {
#ifdef TALLYSV_SANITIZED
    GTEST_SKIP() << "the package is made from the plain build";
#endif
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "lintian"})
        if (onPath(tool).empty()) GTEST_SKIP() << tool << " is not installed";
    TempDir out;
    std::optional<int> status;
    // Made as from a tree unpacked from an archive, or checked out under
    // umask 002: its files group-writable, and that umask in force. The
    // package's modes must not follow either.
    const std::string debianDir = out.str() + "/debian";
    std::filesystem::copy(std::string(TALLYSV_SOURCE_DIR) + "/packaging/debian", debianDir);
    for (const auto& entry : std::filesystem::directory_iterator(debianDir))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::group_write, std::filesystem::perm_options::add);
    const mode_t umaskBefore = ::umask(002);
    std::string output = run(TALLYSV_CPACK,
                             {"-G", "DEB", "--config", kBuild + "/CPackConfig.cmake", "-B", out.str(), "-D",
                              "CPACK_TALLYSV_DEBIAN_DIR=" + debianDir},
                             out.str(), status);
    ::umask(umaskBefore);
    ASSERT_EQ(status, 0) << output;
    const std::string deb = out.str() + "/tallysv_" TALLYSV_VERSION "_amd64.deb";
    ASSERT_TRUE(std::filesystem::exists(deb)) << output;

    // Dependencies come from the binaries: at least the C and C++ runtimes.
    std::string control = run(onPath("dpkg-deb"), {"-f", deb, "Depends"}, out.str(), status);
    ASSERT_EQ(status, 0) << control;
    EXPECT_NE(control.find("libc6"), std::string::npos) << control;
    EXPECT_NE(control.find("libstdc++6"), std::string::npos) << control;

    std::string lintian = run(onPath("lintian"), {"--tag-display-limit", "0", deb}, out.str(), status);
    EXPECT_EQ(status, 0) << lintian;
    std::istringstream lines(lintian);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.rfind("E:", 0), 0u) << line;
        EXPECT_EQ(line.find("-perm"), std::string::npos) << line;
        EXPECT_EQ(line.find("permissions"), std::string::npos) << line;
    }

    // Folders and programs 0755, the maintainer script too; every other
    // file, the conffiles list among them, 0644.
    std::string listing = run(onPath("dpkg-deb"), {"--contents", deb}, out.str(), status);
    ASSERT_EQ(status, 0) << listing;
    std::istringstream entries(listing);
    int listed = 0;
    for (std::string line; std::getline(entries, line);) {
        const std::string mode = line.substr(0, line.find(' '));
        const std::string path = line.substr(line.rfind(' ') + 1);
        const bool executable = mode[0] == 'd' || path.rfind("./usr/bin/", 0) == 0;
        EXPECT_EQ(mode.substr(1), executable ? "rwxr-xr-x" : "rw-r--r--") << line;
        ++listed;
    }
    EXPECT_GT(listed, 20);
    const std::string controlDir = out.str() + "/control";
    output = run(onPath("dpkg-deb"), {"--control", deb, controlDir}, out.str(), status);
    ASSERT_EQ(status, 0) << output;
    namespace fs = std::filesystem;
    const fs::perms kPlain = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read;
    const fs::perms kScript = kPlain | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    for (const auto& [name, mode] : {std::pair{"conffiles", kPlain}, std::pair{"postinst", kScript}})
        EXPECT_EQ(fs::status(controlDir + "/" + name).permissions(), mode) << name;

    std::string root = out.str() + "/root";
    output = run(onPath("dpkg-deb"), {"-x", deb, root}, out.str(), status);
    ASSERT_EQ(status, 0) << output;
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (!entry.is_directory()) files.insert(std::filesystem::relative(entry.path(), root).string());
    for (const char* expected :
         {"usr/bin/tallysv", "usr/bin/tallysv-zone", "usr/bin/tallysv-db", "usr/bin/tallysv-ctl",
          "usr/share/man/man8/tallysv.8.gz", "usr/share/man/man1/tallysv-zone.1.gz",
          "usr/share/man/man1/tallysv-db.1.gz", "usr/share/man/man1/tallysv-ctl.1.gz",
          "usr/share/doc/tallysv/TALLYSV.INI", "usr/share/doc/tallysv/copyright",
          "usr/share/doc/tallysv/changelog.gz", "lib/systemd/system/tallysv.service",
          "usr/share/tallysv/monitoring/tallysv-alerts.yml", "usr/share/tallysv/monitoring/tallysv-recording.yml",
          "usr/share/tallysv/monitoring/tallysv-dashboard.json", "usr/share/tallysv/monitoring/grafana-dashboards.yml", "etc/logrotate.d/tallysv",
          "usr/lib/sysusers.d/tallysv.conf"})
        EXPECT_TRUE(files.count(expected)) << expected << " is not in the package";

    output = run(root + "/usr/bin/tallysv", {"--version"}, out.str(), status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "tallysv " TALLYSV_VERSION "\n");
}
