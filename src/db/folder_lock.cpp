#include "db/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tallysv {

namespace {

// The lock file, opened within its folder; a link left in its place is
// refused (ELOOP), never followed to a file elsewhere.
int openLockFile(const std::string& directory, int flags, mode_t mode) {
    int folder = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    int fd = ::openat(folder, FolderLock::kFileName, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    int error = errno;
    ::close(folder);
    if (fd >= 0) {
        // Only a regular file is a lock file: a pipe or device put there is
        // neither written nor locked.
        struct stat info;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
    }
    errno = error;
    return fd;
}

pid_t readHolder(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return static_cast<pid_t>(std::atol(text));
}

}  // namespace

Status FolderLock::tryTake() {
    if (taken_) return Status::ok();
    if (fd_ < 0) {
        fd_ = openLockFile(directory_, O_RDWR | O_CREAT, 0644);
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
    int fd = openLockFile(directory, O_RDONLY, 0);
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
