#include "db/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tallysv {

namespace {

std::string lockPath(const std::string& directory) {
    return directory.empty() ? FolderLock::kFileName : directory + "/" + FolderLock::kFileName;
}

pid_t readHolder(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return static_cast<pid_t>(std::atol(text));
}

}  // namespace

std::string FolderLock::path() const { return lockPath(directory_); }

Status FolderLock::tryTake() {
    if (taken_) return Status::ok();
    if (fd_ < 0) {
        fd_ = ::open(path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return Status::fromErrno();
    }
    int result;
    do {
        result = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    // EWOULDBLOCK, another holder, is what heldElsewhere tells apart.
    if (result != 0) return Status::fromErrno();
    taken_ = true;
    recordHolder(::getpid());
    return Status::ok();
}

pid_t FolderLock::holder() const { return fd_ < 0 ? 0 : readHolder(fd_); }

void FolderLock::recordHolder(pid_t pid) {
    if (fd_ < 0) return;
    char text[32];
    int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(pid));
    // Only a holder writes, so the file never holds two numbers.
    if (::pwrite(fd_, text, static_cast<size_t>(length), 0) == length) (void)!::ftruncate(fd_, length);
}

void FolderLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    taken_ = false;
}

std::optional<pid_t> folderHolder(const std::string& directory) {
    int fd = ::open(lockPath(directory).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;  // no server has ever run here
    std::optional<pid_t> holder;
    int result;
    do {
        result = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) holder = readHolder(fd);
    ::close(fd);  // a shared lock taken here goes with the descriptor
    return holder;
}

}  // namespace tallysv
