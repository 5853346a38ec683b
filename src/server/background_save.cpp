#include "server/background_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "db/dat_io.h"

namespace tallysv {

namespace {

// The writing process's console: every text goes into the pipe in one
// write, so a line never arrives in pieces.
class PipeLog final : public Log {
public:
    explicit PipeLog(int fd) : fd_(fd) {}
    void write(std::string_view text) override {
        const char* data = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // the server is gone; the files still matter
            data += n;
            left -= static_cast<size_t>(n);
        }
    }

private:
    int fd_;
};

// Exit status of a writing process whose save was not whole.
constexpr int kNotWhole = 1;

// The writing process has a copy of every descriptor of the server, close-
// on-exec or not (it never calls exec). A socket kept open there would go
// on holding the server's port after the server is gone, so that a server
// restarted at once could not bind it; every socket is closed before the
// save starts. Files and pipes stay: the folder's lock is one of them.
void closeSockets() {
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds) return;
    int own = ::dirfd(fds);
    std::vector<int> sockets;
    while (dirent* entry = ::readdir(fds)) {
        int fd = std::atoi(entry->d_name);
        struct stat info;
        if (entry->d_name[0] == '.' || fd == own || ::fstat(fd, &info) != 0) continue;
        if (S_ISSOCK(info.st_mode)) sockets.push_back(fd);
    }
    ::closedir(fds);
    for (int fd : sockets) ::close(fd);
}

}  // namespace

BackgroundSave::~BackgroundSave() {
    if (running()) wait();
}

Status BackgroundSave::start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Status::fromErrno();
    pid_t pid = ::fork();
    if (pid < 0) {
        Status failed = Status::fromErrno();
        ::close(fds[0]);
        ::close(fds[1]);
        return failed;
    }
    if (pid == 0) {
        // Only this thread exists here, with a copy of everything as it was
        // at the fork. The child writes its files and ends without running
        // any destructor or exit handler of the server's.
        ::close(fds[0]);
        closeSockets();
        if (folderLock_) folderLock_->recordHolder(::getpid());
        ::signal(SIGPIPE, SIG_IGN);
        PipeLog log(fds[1]);
        bool saved = database_.save(log).isOk();
        ::_exit(saved ? 0 : kNotWhole);
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    child_ = pid;
    pipe_ = fds[0];
    pending_.clear();
    return Status::ok();
}

bool BackgroundSave::readLines(bool block) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(pipe_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!block) return true;
        // Forward what has come so far while waiting for more.
        forwardCompleteLines();
        pollfd waiting{pipe_, POLLIN, 0};
        ::poll(&waiting, 1, -1);
    }
}

void BackgroundSave::forwardCompleteLines() {
    size_t end = pending_.rfind('\n');
    if (end == std::string::npos) return;
    log_.write(std::string_view(pending_).substr(0, end + 1));
    pending_.erase(0, end + 1);
}

std::optional<BackgroundSave::Outcome> BackgroundSave::poll() {
    if (!running()) return std::nullopt;
    readLines(false);
    forwardCompleteLines();
    int status = 0;
    pid_t ended = ::waitpid(child_, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) return std::nullopt;
    return reap(ended == child_ ? status : -1);
}

BackgroundSave::Outcome BackgroundSave::wait() {
    if (!running()) return Outcome{true, ""};
    readLines(true);
    int status = 0;
    pid_t ended;
    do {
        ended = ::waitpid(child_, &status, 0);
    } while (ended < 0 && errno == EINTR);
    return reap(ended == child_ ? status : -1);
}

BackgroundSave::Outcome BackgroundSave::reap(int status) {
    // The process has ended, so its end of the pipe is closed: read the rest.
    readLines(true);
    if (!pending_.empty()) log_.write(pending_);
    pending_.clear();
    ::close(pipe_);
    pipe_ = -1;
    child_ = -1;
    if (folderLock_) folderLock_->recordHolder(::getpid());

    Outcome outcome;
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        outcome.saved = true;
        return outcome;
    }
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == kNotWhole) {
        outcome.failure = "a file could not be written or put in place";
        return outcome;
    }
    if (status >= 0 && WIFSIGNALED(status))
        outcome.failure = "the writing process was ended by signal " + std::to_string(WTERMSIG(status));
    else if (status >= 0 && WIFEXITED(status))
        outcome.failure = "the writing process ended with status " + std::to_string(WEXITSTATUS(status));
    else
        outcome.failure = "the writing process was lost";
    // It died somewhere in its save: finish the renames of a committed set
    // or remove the new files of an uncommitted one, so the folder holds
    // one whole set before anything else touches it.
    settleInterruptedSave(database_.directory());
    return outcome;
}

}  // namespace tallysv
