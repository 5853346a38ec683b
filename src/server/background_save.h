#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

#include "core/log.h"
#include "core/status.h"
#include "db/database.h"
#include "db/folder_lock.h"

namespace tallysv {

// A save of the whole database written by a child process from the
// copy-on-write image that fork() gives it. Taking that image costs the
// serving process a few milliseconds, however large the database; the
// child then writes the eight files with the usual commit protocol while
// the network goes on, and the kernel copies only the pages that the
// serving side changes meanwhile. The files are those that a save in the
// serving process would have written at the moment of the fork.
//
// The child's console lines ("Writing: ..." and the failure lines) come
// back through a pipe and are written to the server's log whole and in
// their order. Every call is made with the transport lock held (the log
// is written under it).
class BackgroundSave {
public:
    struct Outcome {
        bool saved = false;  // every file written and in place
        std::string failure; // why not, for the console
    };

    BackgroundSave(Database& database, Log& log) : database_(database), log_(log) {}
    // Waits for a running save: a server never leaves one behind.
    ~BackgroundSave();
    BackgroundSave(const BackgroundSave&) = delete;
    BackgroundSave& operator=(const BackgroundSave&) = delete;

    // The lock of the data folder, which the writing process shares and
    // names itself in while it writes (set by the server once it holds it).
    void setFolderLock(FolderLock* lock) { folderLock_ = lock; }

    // Takes the snapshot and starts the writing process. A failure when no
    // process could be made (nothing was written then). Only one save runs
    // at a time: call it when none is running.
    Status start();
    bool running() const { return child_ > 0; }
    // The writing process, while it runs (tests kill it).
    pid_t process() const { return child_; }
    // The pipe the console lines come through, readable when there is news
    // (for waiting without the lock).
    int descriptor() const { return pipe_; }

    // Passes on the console lines written so far; once the writing
    // process has ended, its outcome. Never blocks.
    std::optional<Outcome> poll();
    // Waits until the running save has ended and gives its outcome (a save
    // that saved, when none was running).
    Outcome wait();

private:
    // Reads what the pipe holds; false at its end.
    bool readLines(bool block);
    void forwardCompleteLines();
    Outcome reap(int status);

    Database& database_;
    Log& log_;
    FolderLock* folderLock_ = nullptr;
    pid_t child_ = -1;
    int pipe_ = -1;
    std::string pending_;  // text of the child after its last complete line
};

}  // namespace tallysv
