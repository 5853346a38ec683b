#include "server/after_save_command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tallysv {

AfterSaveCommand::AfterSaveCommand(Log& log, Runner runner) : log_(log), runner_(std::move(runner)) {}

AfterSaveCommand::~AfterSaveCommand() {
    finish();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void AfterSaveCommand::saved(const std::string& command) {
    if (command.empty()) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        due_ = command;
        // The thread is made at the first save that has something to run,
        // so a server without the setting has none.
        if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
    }
    changed_.notify_all();
}

void AfterSaveCommand::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !running_ && !due_; });
}

int AfterSaveCommand::runs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return runs_;
}

void AfterSaveCommand::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || due_; });
        if (!due_) return;
        std::string command = std::move(*due_);
        due_.reset();
        running_ = true;
        lock.unlock();
        std::string failure = runner_(command);
        if (!failure.empty()) log_.printf("AfterSaveCommand failed: %s\n", failure.c_str());
        lock.lock();
        running_ = false;
        ++runs_;
        changed_.notify_all();
    }
}

std::string AfterSaveCommand::runInShell(const std::string& command) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The server ignores SIGPIPE and its threads may block signals; the
    // command starts with the defaults a shell would give it.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text = command;
    char* argv[] = {shell, dashC, text.data(), nullptr};
    pid_t child = -1;
    const int error = posix_spawn(&child, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) return std::string("cannot start: ") + std::strerror(error);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return std::string("cannot wait for it: ") + std::strerror(errno);
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return {};
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with status " + std::to_string(status);
}

}  // namespace tallysv
