#pragma once
#include <sys/types.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/status.h"

namespace tallysv {

// One writer per data folder. The server takes an exclusive flock on a
// file in its folder before it reads or writes anything there, and keeps
// it for as long as it lives. A forked save process shares the lock (a
// flock belongs to the open file, which fork shares), so a folder whose
// server was killed stays held until its last save has ended. The file
// holds the process id of the holder as text, for the lines that name it;
// the lock itself, not the file, is what counts, and a lock dies with its
// last holder, so nothing is ever left to clean up by hand.
class FolderLock {
public:
    static constexpr const char* kFileName = "tallysv.lock";

    explicit FolderLock(std::string directory) : directory_(std::move(directory)) {}
    ~FolderLock() { release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock without waiting. A failure is either heldElsewhere
    // (another process has it, its id in holder()) or the system error that
    // kept the file from being opened or locked.
    Status tryTake();
    static bool heldElsewhere(const Status& status) { return status.error() == EWOULDBLOCK; }
    bool taken() const { return taken_; }
    // The process id written in the file by the holder; 0 when unknown.
    pid_t holder() const;
    // Writes `pid` as the holder (a save process names itself while it
    // writes; the server names itself again when it is over).
    void recordHolder(pid_t pid);
    // Lets go of the lock (processes that share it still hold it).
    void release();

private:
    std::string directory_;
    int fd_ = -1;
    bool taken_ = false;
};

// For tools that read a folder: the process that holds it, or nothing when
// no server or save process does. Creates nothing and takes no lock that
// outlives the call.
std::optional<pid_t> folderHolder(const std::string& directory);

}  // namespace tallysv
