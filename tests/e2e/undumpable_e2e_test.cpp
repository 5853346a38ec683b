// The running server against other processes of its own user: it cannot be
// dumped, so its memory and environment stay its own. Run as root, the test
// starts the server as user 65534 (in a folder that user owns), so that the
// reader is an ordinary process of the server's user, not one that may read
// anything.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

using namespace tallysv::testing;

namespace {

const std::string kUndumpableServer = std::string(TALLYSV_BIN_DIR) + "/tallysv";
constexpr uid_t kUndumpableOtherUser = 65534;

// The user the server runs as: the test's own, or 65534 when the test is root.
uid_t undumpableServerUser() { return ::geteuid() == 0 ? kUndumpableOtherUser : ::geteuid(); }

// `program` with `args`, run as undumpableServerUser().
std::unique_ptr<ChildProcess> startAsServerUser(const std::string& program, std::vector<std::string> args,
                                                const std::string& directory) {
    if (::geteuid() != 0) return std::make_unique<ChildProcess>(program, args, directory);
    const std::string id = std::to_string(kUndumpableOtherUser);
    std::vector<std::string> wrapped = {"--reuid=" + id, "--regid=" + id, "--clear-groups", program};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(onPath("setpriv"), wrapped, directory);
}

// Whether a process running as `user` (and nothing more) can open
// /proc/`pid`/`entry`: for environ and mem the right to trace is checked
// when the file is opened.
bool procEntryReadableBy(uid_t user, pid_t pid, const char* entry) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + entry;
    pid_t reader = ::fork();
    if (reader < 0) return false;
    if (reader == 0) {
        if (::geteuid() != user &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 || ::setresuid(user, user, user) != 0))
            ::_exit(2);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(reader, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

uid_t procOwner(pid_t pid) {
    struct stat info;
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    return ::stat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

}  // namespace

TEST(Undumpable, OtherProcessesOfTheServersUserCannotReadItsMemoryOrEnvironment) {
    if (::geteuid() == 0 && onPath("setpriv").empty()) GTEST_SKIP() << "as root, needs setpriv to run as 65534";
    const uid_t user = undumpableServerUser();
    TempDir dir;
    dir.write("TALLYSV.INI", "[Misc]\nPort=" + std::to_string(freeUdpPort()) + "\n");
    if (::geteuid() == 0) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
            ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0);
        ASSERT_EQ(::chown(dir.str().c_str(), user, user), 0);
    }

    // The same reader sees an ordinary process of the user: the test would
    // notice if /proc kept everything from it anyway.
    std::unique_ptr<ChildProcess> ordinary = startAsServerUser("/bin/sh", {"-c", "echo up; read line"}, dir.str());
    ASSERT_TRUE(ordinary->waitForOutput("up\n"));
    EXPECT_TRUE(procEntryReadableBy(user, ordinary->pid(), "environ"));
    EXPECT_EQ(procOwner(ordinary->pid()), user);

    std::unique_ptr<ChildProcess> server = startAsServerUser(kUndumpableServer, {}, dir.str());
    ASSERT_TRUE(server->waitForOutput("Reading TALLYSV.INI... Done.\n")) << server->output();
    // An undumpable process's /proc entries belong to root, and those that
    // expose its memory need the right to trace it, which its user lacks.
    EXPECT_EQ(procOwner(server->pid()), 0u);
    EXPECT_FALSE(procEntryReadableBy(user, server->pid(), "environ"));
    EXPECT_FALSE(procEntryReadableBy(user, server->pid(), "mem"));
    server->send("q");
    EXPECT_EQ(server->wait(), 0) << server->output();
    ordinary->closeInput();
    ordinary->wait();
}
