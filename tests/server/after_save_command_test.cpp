#include "server/after_save_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "server/server_fixture.h"
#include "support/temp_dir.h"

namespace tallysv::testing {
namespace {

// A runner that records each command and holds it until released, so a
// test decides when a run ends.
class HeldCommandRunner {
public:
    AfterSaveCommand::Runner runner() {
        return [this](const std::string& command) {
            std::unique_lock<std::mutex> lock(mutex_);
            started_.push_back(command);
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_ >= started_.size(); });
            return failure_;
        };
    }
    void waitForStarts(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return started_.size() >= count; });
    }
    void releaseOne(std::string failure = {}) {
        std::lock_guard<std::mutex> guard(mutex_);
        failure_ = std::move(failure);
        ++released_;
        changed_.notify_all();
    }
    std::vector<std::string> started() {
        std::lock_guard<std::mutex> guard(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> started_;
    size_t released_ = 0;
    std::string failure_;
};

// Saves never wait for the command: those that complete while it runs
// make it run once more afterwards, with the latest setting.
TEST(AfterSaveCommand, RunsOneAtATimeAndOnceMoreForSavesMeanwhile) {
    RecordingLog log;
    HeldCommandRunner held;
    AfterSaveCommand command(log, held.runner());
    command.saved("copy 1");
    held.waitForStarts(1);
    command.saved("copy 2");
    command.saved("copy 3");
    command.saved("");
    EXPECT_EQ(held.started(), std::vector<std::string>{"copy 1"});
    held.releaseOne("exit status 23");
    held.waitForStarts(2);
    held.releaseOne();
    command.finish();
    EXPECT_EQ(held.started(), (std::vector<std::string>{"copy 1", "copy 3"}));
    EXPECT_EQ(command.runs(), 2);
    EXPECT_EQ(log.text(), "AfterSaveCommand failed: exit status 23\n");
}

// An empty setting runs nothing, and no thread is waited for.
TEST(AfterSaveCommand, AnEmptySettingRunsNothing) {
    RecordingLog log;
    HeldCommandRunner held;
    AfterSaveCommand command(log, held.runner());
    command.saved("");
    command.finish();
    EXPECT_EQ(command.runs(), 0);
    EXPECT_TRUE(held.started().empty());
}

struct ShellOutcomeCase {
    const char* command;
    const char* failure;
};

TEST(AfterSaveCommand, TheShellReportsHowTheCommandEnded) {
    const std::vector<ShellOutcomeCase> cases = {
        {"true", ""},
        {"exit 3", "exit status 3"},
        {"kill -9 $$", "killed by signal 9"},
        {"no-such-command-here 2>/dev/null", "exit status 127"},
    };
    for (const ShellOutcomeCase& c : cases) EXPECT_EQ(AfterSaveCommand::runInShell(c.command), c.failure) << c.command;
}

// The command sees none of the server's descriptors but the standard
// streams: a copy that outlives the server must not hold its folder lock.
TEST(AfterSaveCommand, TheShellInheritsNoDescriptorOfTheServer) {
    TempDir dir;
    const int kept = ::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(kept, 3);
    EXPECT_EQ(AfterSaveCommand::runInShell("test -e /proc/$$/fd/0 && test ! -e /proc/$$/fd/" + std::to_string(kept)),
              "");
    ::close(kept);
}

// The server runs it after a save whose set is in place, and not after
// one that failed.
TEST(AfterSaveCommand, TheServerRunsItAfterEachCommittedSave) {
    ServerFixture f;
    const std::string marks = (f.dir.path() / "handed").string();
    f.settings.afterSaveCommand = "echo handed >> '" + marks + "'";
    ASSERT_TRUE(f.server.saveNow());
    f.server.afterSaveCommand().finish();
    EXPECT_EQ(f.dir.read("handed"), "handed\n");

    f.database.setSaveInterruption([](Database::SaveStep, DatFile) { return false; });
    EXPECT_FALSE(f.server.saveNow());
    f.server.afterSaveCommand().finish();
    EXPECT_EQ(f.dir.read("handed"), "handed\n");
    EXPECT_EQ(f.server.afterSaveCommand().runs(), 1);
}

}  // namespace
}  // namespace tallysv::testing
