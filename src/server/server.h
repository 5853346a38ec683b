#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands/server_core.h"
#include "control/audit_log.h"
#include "control/control_server.h"
#include "core/clock.h"
#include "core/mutex.h"
#include "credentials/worker_pool.h"
#include "server/after_save_command.h"
#include "server/background_save.h"
#include "server/console.h"
#include "core/log.h"
#include "db/database.h"
#include "db/folder_lock.h"
#include "net/udp_server.h"
#include "status/status_history.h"
#include "status/status_server.h"
#include "public/public_site.h"

namespace tallysv {

constexpr const char* kBanner = "Voidrift Billing Server (Build 11)\n";
constexpr const char* kServerVersion = TALLYSV_VERSION;  // set where the project is declared

// The main thread: start-up, the 250 ms main loop with the periodic save
// and ban expiry, the console keys, and the orderly shutdown.
class Server {
public:
    using Sleeper = std::function<void(uint32_t ms)>;

    // `database` was made with `settings`, which the server reads and
    // re-reads (SIGHUP, ?read). `stopRequested`, when given, ends the loop
    // like a quit key (signals).
    Server(Settings& settings, Database& database, const Clock& clock, Log& log, KeySource& keys, Sleeper sleep,
           const std::atomic<bool>* stopRequested = nullptr);

    // How long start-up waits for another process to let go of the data
    // folder (a server still running there, or the save process of one
    // that was killed) before it gives up.
    static constexpr uint32_t kFolderLockWait = 30000;
    static constexpr uint32_t kFolderLockRetry = 100;
    void setFolderLockWait(uint32_t ms) { folderLockWait_ = ms; }

    // Whois lookups at once, and lookups one zone may have waiting: each
    // may wait WhoisTimeout on a silent server, holding only its own thread.
    static constexpr unsigned kLookupWorkers = 2;
    static constexpr size_t kLookupShare = 4;

    // Start-up, main loop and shutdown; the process's exit status.
    int run();

    // The steps of run(), for tests.
    bool startup();   // false when the server cannot run (exit status 1)
    bool runPass();   // one pass of the main loop; false once the loop ends
    void shutdown();

    // Saves the database now and returns once the files are on disk (or
    // the save has failed): a periodic save still being written is waited
    // for first, then the current state is saved in this process, with the
    // lock held. True when every file was written and put in place. Takes
    // the lock: call it without.
    bool saveNow() EXCLUDES(lock_);

    // Waits for the periodic save being written, if any, and reports its
    // outcome as the main loop would (tests).
    void waitForBackgroundSave() EXCLUDES(lock_);
    // The process writing the periodic save, or -1 (tests kill it).
    pid_t backgroundSaveProcess() EXCLUDES(lock_);
    // The command run after each committed save (tests wait for it).
    AfterSaveCommand& afterSaveCommand() { return afterSave_; }

    // The one lock of the process: every access to hosts, sessions and the
    // database happens with it held.
    Mutex& lock() RETURN_CAPABILITY(lock_) { return lock_; }

    // Lets go of audit.log and opens it again, so that a rotation that
    // moved it away takes effect (SIGHUP).
    void reopenAuditLog() {
        if (audit_) (void)audit_->reopen();  // a failure is on the console already
    }
    // The workers of the slow work, from start-up to shutdown.
    WorkerPool* workers() { return workers_.get(); }
    // The figures of the status pages, as they are now: copied with the
    // lock held, then completed without it.
    StatusSnapshot statusSnapshot() EXCLUDES(lock_);
    // The same, on the thread that calls it.
    StatusSnapshot takeSnapshot() EXCLUDES(lock_);
    // The UDP port bound, 0 before start-up (tests run on port 0).
    uint16_t udpPort() const { return socket_ ? socket_->boundPort() : 0; }
    // The port of the status pages, 0 when none are served.
    uint16_t statusPort() const { return status_ ? status_->port() : 0; }
    // The players' site, when one is served (PublicListen).
    PublicSite* publicSite() const { return public_.get(); }
    // The control socket's path, empty when there is none.
    std::string controlSocketPath() const { return control_ ? control_->path() : std::string(); }
    // A flag that, once set, makes the next pass re-read the settings as
    // ?read does (SIGHUP); the pass clears it.
    void setReloadRequest(std::atomic<bool>* flag) { reloadRequested_ = flag; }
    // The bounds of the control socket's clients (tests), before start-up.
    void setControlLimits(ControlLimits limits) { controlLimits_ = limits; }

private:
    // The work of one pass of the main loop, in its order. A task with a
    // period runs once that many milliseconds have passed since it last
    // ended; one without runs on every pass.
    struct LoopTask {
        void (Server::*run)();
        uint32_t (Server::*period)() = nullptr;
        uint32_t lastRun = 0;
    };
    void regatherHugePages() EXCLUDES(lock_);
    void collectSave() EXCLUDES(lock_);
    void periodicSave() EXCLUDES(lock_);
    uint32_t savePeriod() EXCLUDES(lock_);
    void recordHistory() EXCLUDES(lock_);
    void readKey() EXCLUDES(lock_);
    void reloadOnRequest() EXCLUDES(lock_);
    void stopOnRequest();

    // Started as root: binds the port, then becomes the folder's owner or
    // the user RunAsUser names; false (and a line) when it cannot.
    bool leaveRoot();
    // False when another process holds the folder past the wait.
    bool takeFolderLock();
    // Passes on the running save's console lines and, once it has ended,
    // reports a failure.
    void collectBackgroundSave(bool wait) REQUIRES(lock_);
    void reportBackgroundSave(const BackgroundSave::Outcome& outcome) REQUIRES(lock_);
    // ?write: the save of saveNow, for a caller that holds the lock.
    bool saveHolding() REQUIRES(lock_);
    void handleKey(int key) EXCLUDES(lock_);
    void printHostList() REQUIRES(lock_);
    // The parts made at start-up, and torn down in reverse on a failed
    // start and at shutdown.
    void assemble() REQUIRES(lock_);
    void disassemble() EXCLUDES(lock_);
    void startStatusPages();
    void startPublicSite();
    void startWorkers() REQUIRES(lock_);
    // False when a running server answers on the control socket.
    bool claimControlSocket();
    void startControlSocket() REQUIRES(lock_);
    void noteSave(bool saved, int32_t began, uint32_t beganTick) REQUIRES(lock_);

    Settings& settings_ GUARDED_BY(lock_);
    Database& database_ GUARDED_BY(lock_);
    // The data folder, fixed for the server's life (read without the lock).
    const std::string folder_;
    const Clock& clock_;
    Log& log_;
    KeySource& keys_;
    Sleeper sleep_;
    const std::atomic<bool>* stopRequested_;
    Mutex lock_;
    FolderLock folderLock_;
    uint32_t folderLockWait_ = kFolderLockWait;
    BackgroundSave backgroundSave_ GUARDED_BY(lock_);
    // Run after each committed save (AfterSaveCommand), off the loop.
    AfterSaveCommand afterSave_{log_};
    // Before the command processor that writes to it, so it goes after it.
    std::unique_ptr<AuditLog> audit_;
    // Where the workers' completions wait for the network's loop; before
    // the workers and the loop, so it goes after them.
    CompletionQueue completions_;
    // Declared after the lock, so they go before it.
    std::unique_ptr<UdpSocket> socket_;
    std::unique_ptr<ServerCore> core_ PT_GUARDED_BY(lock_);
    std::unique_ptr<UdpServer> udp_;
    // The workers of password hashes, and apart from them those of whois
    // lookups; after what their completions use, so they go first.
    std::unique_ptr<WorkerPool> workers_;
    std::unique_ptr<WorkerPool> lookupWorkers_;
    std::vector<LoopTask> loop_;
    bool running_ = false;
    bool regatherHugePages_ GUARDED_BY(lock_) = true;
    int32_t startTime_ = 0;
    SaveFigures saves_ GUARDED_BY(lock_);
    // The last 24 hours for the status pages, a reading every pass.
    StatusHistory history_{clock_};
    // When the periodic save being written began.
    int32_t backgroundSaveTime_ GUARDED_BY(lock_) = 0;
    uint32_t backgroundSaveTick_ GUARDED_BY(lock_) = 0;
    std::atomic<bool>* reloadRequested_ = nullptr;
    ControlLimits controlLimits_;
    std::unique_ptr<ControlCommands> controlCommands_;
    // Last, so they go first: their threads use everything above.
    std::unique_ptr<ControlServer> control_;
    std::unique_ptr<StatusServer> status_;
    std::unique_ptr<PublicSite> public_;
};

}  // namespace tallysv
