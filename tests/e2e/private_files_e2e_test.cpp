// The data folder against the other users of the machine: what the server
// makes there is private whatever the umask, a link left in place of one of
// its files is never written through, a folder others may write is refused,
// and tallysv-ctl talks to no socket but the server's.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
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

namespace {

// A free UDP port below 1024, which only root may bind; 0 when none is.
int freePrivilegedUdpPort() {
    for (int port = 990; port > 600; --port) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

// The real, effective, saved and file-system user ids of a process.
std::string userIdsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0) return line;
    return {};
}

void giveToNobody(const TempDir& dir) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(dir.str().c_str(), 65534, 65534), 0);
}

}  // namespace

// Needs root: started as root in a folder of another user's, the server
// binds its port as root, then runs as that user, who owns all it makes.
TEST(PrivateFiles, StartedAsRootItBecomesTheFolderOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be started as root";
    const int port = freePrivilegedUdpPort();
    ASSERT_NE(port, 0);
    TempDir dir;
    dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(port) + "\n");
    giveToNobody(dir);
    ChildProcess server(kPrivateServer, {}, dir.str());
    ASSERT_TRUE(server.waitForOutput(kPrivateReady)) << server.output();
    EXPECT_NE(server.output().find("Running as user nobody (uid 65534), UDP port " + std::to_string(port) +
                                   " bound as root\n"),
              std::string::npos)
        << server.output();
    EXPECT_EQ(userIdsOf(server.pid()), "Uid:\t65534\t65534\t65534\t65534");
    EXPECT_EQ(freePrivilegedUdpPort() == port, false) << "the port is not bound";
    // tallysv-ctl, as root, accepts a server that runs as the folder's owner.
    ChildProcess ctl(kPrivateCtl, {"--timeout", "5", "status"}, dir.str());
    EXPECT_EQ(ctl.wait(), 0) << ctl.output();
    server.send("q");
    EXPECT_EQ(server.wait(), 0) << server.output();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        struct stat info;
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 65534u) << entry.path();
    }
}

// Needs root: a user it cannot become, or one that could not use the folder,
// is refused before anything in the folder is made.
TEST(PrivateFiles, StartedAsRootItRefusesAUserThatCannotUseTheFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be started as root";
    struct Case {
        const char* what;
        std::string ini;
        bool folderToNobody;
        bool settingsToRoot;  // the settings file root's alone, in nobody's folder
        std::string refusal;
    };
    const std::string portLine = "[Misc]\nPort=" + std::to_string(freeUdpPort()) + "\n";
    for (const Case& c : {
             Case{"an unknown user", portLine + "RunAsUser=nosuchuser-tallysv\n", false, false,
                  "Refusing to start: RunAsUser names no user of this system: nosuchuser-tallysv\n"},
             Case{"root's folder", portLine + "RunAsUser=nobody\n", false, false,
                  "Refusing to start: . is not writable by user nobody\n"},
             Case{"root's settings", portLine, true, true, "TALLYSV.INI is not readable by the owner of .\n"},
         }) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.write("TALLYSV.INI", c.ini);
        if (c.folderToNobody) giveToNobody(dir);
        if (c.settingsToRoot) {
            ASSERT_EQ(::chown((dir.path() / "TALLYSV.INI").c_str(), 0, 0), 0);
            ASSERT_EQ(::chmod((dir.path() / "TALLYSV.INI").c_str(), 0600), 0);
        }
        ChildProcess server(kPrivateServer, {}, dir.str());
        EXPECT_EQ(server.wait(), 1) << server.output();
        EXPECT_NE(server.output().find(c.refusal), std::string::npos) << server.output();
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "tallysv.lock"));
    }
}
