// The data folder against the other users of the machine: what the server
// makes there is private whatever the umask, a link left in place of one of
// its files is never written through, a folder others may write is refused,
// and tallysv-ctl talks to no socket but the server's.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

using namespace tallysv::testing;

namespace {

const std::string kPrivateServer = std::string(TALLYSV_BIN_DIR) + "/tallysv";
const std::string kPrivateCtl = std::string(TALLYSV_BIN_DIR) + "/tallysv-ctl";
constexpr const char* kPrivateReady = "Reading TALLYSV.INI... Done.\n";

// The umask of the test process for one scope (the server inherits it).
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

mode_t privateModeOf(const std::filesystem::path& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return static_cast<mode_t>(-1);
    return info.st_mode;
}

// A settings file for a server that saves and makes a generation at its stop.
std::string privateFilesIni(const std::string& extra = "") {
    return "[Misc]\nPort=" + std::to_string(freeUdpPort()) + "\nBackupInterval=1000\nBackupKeep=1\n" + extra;
}

// Runs the server in `dir` until it has stopped on the quit key; its output.
std::string runPrivateServerOnce(const TempDir& dir) {
    ChildProcess server(kPrivateServer, {}, dir.str());
    EXPECT_TRUE(server.waitForOutput(kPrivateReady)) << server.output();
    server.send("q");
    EXPECT_EQ(server.wait(), 0) << server.output();
    return server.output();
}

// Every file and folder below `root` the server made, with its mode, TALLYSV.INI
// (the operator's) left out.
std::vector<std::pair<std::string, mode_t>> madeByServer(const std::filesystem::path& root) {
    std::vector<std::pair<std::string, mode_t>> made;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string name = std::filesystem::relative(entry.path(), root).string();
        if (name != "TALLYSV.INI") made.emplace_back(name, privateModeOf(entry.path()));
    }
    return made;
}

}  // namespace

TEST(PrivateFiles, WhatTheServerMakesIsPrivateWhateverTheUmask) {
    struct Case {
        const char* extra;
        mode_t file;
        mode_t folder;
    };
    for (const Case& c : {Case{"", 0600, 0700}, Case{"GroupReadable=1\n", 0640, 0750}}) {
        SCOPED_TRACE(c.extra);
        ScopedUmask loose(022);
        TempDir dir;
        dir.write("TALLYSV.INI", privateFilesIni(c.extra));
        {
            ChildProcess server(kPrivateServer, {}, dir.str());
            ASSERT_TRUE(server.waitForOutput(kPrivateReady)) << server.output();
            // The control socket is there while the server runs, its own
            // alone, with no folder left from its making.
            ASSERT_TRUE(server.waitForOutput("Password workers:")) << server.output();
            mode_t socketMode = privateModeOf(dir.path() / "tallysv.sock");
            EXPECT_TRUE(S_ISSOCK(socketMode)) << std::oct << socketMode;
            EXPECT_EQ(socketMode & 07777, 0600u) << std::oct << socketMode;
            server.send("q");
            ASSERT_EQ(server.wait(), 0) << server.output();
        }
        auto made = madeByServer(dir.path());
        std::vector<std::string> names;
        for (const auto& [name, mode] : made) {
            names.push_back(name);
            if (S_ISDIR(mode))
                EXPECT_EQ(mode & 07777, c.folder) << name << " " << std::oct << mode;
            else
                EXPECT_EQ(mode & 07777, c.file) << name << " " << std::oct << mode;
        }
        // The save, the lock, the audit log and a generation were all made.
        for (const char* expected : {"User.dat", "Zone.dat", "tallysv.lock", "audit.log", "backup"})
            EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
        EXPECT_TRUE(std::any_of(names.begin(), names.end(),
                                [](const std::string& n) { return n.rfind("backup/", 0) == 0 && n.size() > 22; }))
            << "no file in a generation";
    }
}

// A link in place of each file the server writes: the file it points at
// (outside the folder) keeps its bytes, and the server says what it could
// not do through its usual lines.
TEST(PrivateFiles, LinksInPlaceOfItsFilesAreNotFollowed) {
    struct Case {
        const char* name;
        const char* line;  // what the server says, or empty
    };
    const std::vector<Case> cases = {
        {"tallysv.lock", "Cannot lock the data folder (tallysv.lock): "},
        {"audit.log", "Cannot open the audit log "},
        {"User.dat.new", "User.dat: "},
    };
    const std::string victimBytes = "not the server's\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        TempDir elsewhere;
        elsewhere.write("victim", victimBytes);
        dir.write("TALLYSV.INI", privateFilesIni());
        std::filesystem::create_symlink(elsewhere.path() / "victim", dir.path() / c.name);
        std::string output = runPrivateServerOnce(dir);
        EXPECT_EQ(elsewhere.read("victim"), victimBytes) << output;
        EXPECT_NE(output.find(c.line), std::string::npos) << output;
        EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / c.name) ||
                    !std::filesystem::exists(std::filesystem::symlink_status(dir.path() / c.name)))
            << "replaced by a file";
        // The live files are files, never links.
        EXPECT_FALSE(std::filesystem::is_symlink(dir.path() / "User.dat"));
    }
}

// A link among the generations is removed when it is the oldest, and the
// folder it points at keeps its files.
TEST(PrivateFiles, ALinkAmongTheBackupsIsRemovedNotFollowed) {
    TempDir dir;
    TempDir elsewhere;
    elsewhere.write("User.dat", "someone else's\n");
    dir.write("TALLYSV.INI", privateFilesIni());
    std::filesystem::create_directory(dir.path() / "backup");
    std::filesystem::create_directory_symlink(elsewhere.path(), dir.path() / "backup" / "20000101-000000");
    std::string output = runPrivateServerOnce(dir);
    EXPECT_EQ(elsewhere.read("User.dat"), "someone else's\n") << output;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() / "backup" / "20000101-000000")))
        << output;
    EXPECT_EQ(output.find("Backup failed"), std::string::npos) << output;
}

// A folder or settings file that another user may write is refused before
// anything there is read or written.
TEST(PrivateFiles, AFolderOthersMayWriteIsRefusedAtStart) {
    struct Case {
        const char* what;
        mode_t folder;
        mode_t ini;
        bool refusedFolder;  // the folder named, else the settings file
    };
    for (const Case& c : {Case{"group-writable folder", 0770, 0600, true}, Case{"world-writable folder", 0707, 0600, true},
                          Case{"group-writable settings", 0700, 0660, false}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.write("TALLYSV.INI", privateFilesIni());
        ASSERT_EQ(::chmod((dir.path() / "TALLYSV.INI").c_str(), c.ini), 0);
        ASSERT_EQ(::chmod(dir.str().c_str(), c.folder), 0);
        ChildProcess server(kPrivateServer, {}, dir.str());
        EXPECT_EQ(server.wait(), 1) << server.output();
        const std::string named = c.refusedFolder ? "." : (dir.path() / "TALLYSV.INI").string();
        EXPECT_NE(server.output().find("Refusing to start: " + named + " is writable by users other than its owner\n"),
                  std::string::npos)
            << server.output();
        EXPECT_EQ(server.output().find("Reading"), std::string::npos) << server.output();
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "tallysv.lock"));
        ::chmod(dir.str().c_str(), 0700);
    }
}

// Needs root: a socket listened on by another user in the server's folder.
TEST(PrivateFiles, CtlSendsNothingToASocketOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to listen as another user";
    TempDir dir;
    const std::string path = (dir.path() / "tallysv.sock").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t impostor = ::fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        // The credentials a client sees are those of whoever called listen().
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(1);
        if (::listen(listener, 8) != 0) ::_exit(1);
        (void)!::write(ready[1], "x", 1);
        for (;;) {
            int client = ::accept(listener, nullptr, nullptr);
            char buffer[512];
            if (client >= 0) {
                // Whatever arrives is the proof that something was sent.
                ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n > 0) ::_exit(42);
                ::close(client);
            }
        }
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ChildProcess ctl(kPrivateCtl, {"--socket", path, "--timeout", "5", "status"}, dir.str());
    std::optional<int> status = ctl.wait();
    ::kill(impostor, SIGKILL);
    int impostorStatus = 0;
    ::waitpid(impostor, &impostorStatus, 0);
    ::close(listener);
    EXPECT_EQ(status, 3) << ctl.output();
    EXPECT_NE(ctl.output().find("runs as user 65534, neither root nor the owner of "), std::string::npos)
        << ctl.output();
    EXPECT_TRUE(WIFSIGNALED(impostorStatus)) << "the impostor was sent a request";
}
