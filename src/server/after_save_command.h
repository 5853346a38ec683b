#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/log.h"

namespace tallysv {

// The operator's command run after each save whose set of files is all in
// place (AfterSaveCommand), typically one that copies the set to a standby
// machine. A copy takes seconds and may hang on a dead network, so it runs
// on a thread of its own and the server never waits for it while serving.
// One runs at a time: saves that complete meanwhile make it run once more,
// with the command as it was set at the latest of them, once the running
// one has ended; a later run copies a newer set, so nothing is lost by
// skipping the ones in between.
class AfterSaveCommand {
public:
    // How one run ended: empty when it succeeded, else what went wrong
    // ("exit status 3", "killed by signal 9", "cannot start: ...").
    using Runner = std::function<std::string(const std::string& command)>;

    // The runner is the shell by default; tests give their own.
    explicit AfterSaveCommand(Log& log, Runner runner = runInShell);
    // Waits for the running command and for the one due after it: the set
    // saved at stop is handed on before the server exits.
    ~AfterSaveCommand();
    AfterSaveCommand(const AfterSaveCommand&) = delete;
    AfterSaveCommand& operator=(const AfterSaveCommand&) = delete;

    // A save set was committed; `command` is the setting now (empty: none).
    void saved(const std::string& command);
    // Returns once no command runs and none is due.
    void finish();
    // Completed runs so far, for tests and the console.
    int runs() const;

    // `/bin/sh -c command` in the working folder, with the standard streams
    // of the server and none of its other descriptors (a command that
    // outlives the server must not keep its folder locked or its sockets
    // open).
    static std::string runInShell(const std::string& command);

private:
    void work();

    Log& log_;
    Runner runner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> due_;
    bool running_ = false;
    bool stopping_ = false;
    int runs_ = 0;
    std::thread thread_;
};

}  // namespace tallysv
