#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "commands/command_processor.h"
#include "control/audit_log.h"
#include "control/control_server.h"
#include "core/clock.h"
#include "credentials/worker_pool.h"
#include "server/background_save.h"
#include "server/console.h"
#include "core/log.h"
#include "db/database.h"
#include "db/folder_lock.h"
#include "net/core_transport.h"
#include "net/udp_server.h"
#include "status/status_history.h"
#include "status/status_server.h"
#include "zone/zone_protocol.h"

namespace tallysv {

constexpr const char* kBanner = "Voidrift Billing Server (Build 11)\n";
constexpr const char* kServerVersion = TALLYSV_VERSION;  // set where the project is declared

// The main thread: start-up, the 250 ms main loop with the periodic save
// and ban expiry, the console keys, and the orderly shutdown.
class Server {
public:
    using Sleeper = std::function<void(uint32_t ms)>;

    // `stopRequested`, when given, ends the loop like a quit key (signals).
    Server(Database& database, const Clock& clock, Log& log, KeySource& keys, Sleeper sleep,
           const std::atomic<bool>* stopRequested = nullptr);

    // How long start-up waits for another process to let go of the data
    // folder (a server still running there, or the save process of one
    // that was killed) before it gives up.
    static constexpr uint32_t kFolderLockWait = 30000;
    static constexpr uint32_t kFolderLockRetry = 100;
    void setFolderLockWait(uint32_t ms) { folderLockWait_ = ms; }

    // Start-up, main loop and shutdown; the process's exit status.
    int run();

    // The steps of run(), for tests.
    bool startup();   // false when the server cannot run (exit status 1)
    bool runPass();   // one pass of the main loop; false once the loop ends
    void shutdown();

    // Saves the database now and returns once the files are on disk (or
    // the save has failed): a periodic save still being written is waited
    // for first, then the current state is saved in this process, with the
    // transport lock held. True when every file was written and put in
    // place. For `?write`; callable from any thread, with or without the
    // lock.
    bool saveNow();

    // Waits for the periodic save being written, if any, and reports its
    // outcome as the main loop would (tests).
    void waitForBackgroundSave();
    // The process writing the periodic save, or -1 (tests kill it).
    pid_t backgroundSaveProcess() const { return backgroundSave_.process(); }

    // The one lock of the process: every access to hosts, sessions and the
    // database happens with it held.
    std::recursive_mutex& lock() { return lock_; }

    // The transport, from start-up to shutdown (null otherwise).
    CoreTransport* transport() { return transport_.get(); }
    // The zone protocol on that transport.
    ZoneProtocol* zones() { return zones_.get(); }
    // The command processor of the zones' ?commands.
    CommandProcessor* commands() { return commands_.get(); }
    // The audit log of operator actions, from start-up on (null before).
    AuditLog* auditLog() { return audit_.get(); }
    // Lets go of audit.log and opens it again, so that a rotation that
    // moved it away takes effect (SIGHUP).
    void reopenAuditLog() {
        if (audit_) audit_->reopen();
    }
    // The workers of the slow work, from start-up to shutdown.
    WorkerPool* workers() { return workers_.get(); }
    // The figures of the status pages, as they are now: copied with the
    // lock held, then completed without it.
    StatusSnapshot statusSnapshot();
    // The UDP port bound, 0 before start-up (tests run on port 0).
    uint16_t udpPort() const { return socket_ ? socket_->boundPort() : 0; }
    // The port of the status pages, 0 when none are served.
    uint16_t statusPort() const { return status_ ? status_->port() : 0; }
    // The control socket's path, empty when there is none.
    std::string controlSocketPath() const { return control_ ? control_->path() : std::string(); }
    // A flag that, once set, makes the next pass re-read the settings as
    // ?read does (SIGHUP); the pass clears it.
    void setReloadRequest(std::atomic<bool>* flag) { reloadRequested_ = flag; }
    // The bounds of the control socket's clients (tests), before start-up.
    void setControlLimits(ControlLimits limits) { controlLimits_ = limits; }

private:
    // False when another process holds the folder past the wait.
    bool takeFolderLock();
    void periodicSave();
    // With the lock held: passes on the running save's console lines and,
    // once it has ended, reports a failure.
    void collectBackgroundSave(bool wait);
    void reportBackgroundSave(const BackgroundSave::Outcome& outcome);
    void handleKey(int key);
    void printHostList();
    void startStatusPages();
    void startWorkers();
    // False when a running server answers on the control socket.
    bool claimControlSocket();
    void startControlSocket();
    // With the lock held: one save has ended.
    void noteSave(bool saved, int32_t began, uint32_t beganTick);
    // Reads the counters into the history (the lock only while reading).
    void recordHistory();

    Database& database_;
    const Clock& clock_;
    Log& log_;
    KeySource& keys_;
    Sleeper sleep_;
    const std::atomic<bool>* stopRequested_;
    std::recursive_mutex lock_;
    FolderLock folderLock_;
    uint32_t folderLockWait_ = kFolderLockWait;
    BackgroundSave backgroundSave_;
    // Before the command processor that writes to it, so it goes after it.
    std::unique_ptr<AuditLog> audit_;
    // Declared after the lock, so they go before it.
    std::unique_ptr<UdpSocket> socket_;
    std::unique_ptr<CoreTransport> transport_;
    std::unique_ptr<ZoneProtocol> zones_;
    std::unique_ptr<CommandProcessor> commands_;
    std::unique_ptr<UdpServer> udp_;
    // The workers of password hashes and whois lookups; after what their
    // completions use, so it goes first.
    std::unique_ptr<WorkerPool> workers_;
    bool running_ = false;
    uint32_t lastSaveTick_ = 0;
    bool regatherHugePages_ = true;
    int32_t startTime_ = 0;
    SaveFigures saves_;
    // The last 24 hours for the status pages, a reading every pass.
    StatusHistory history_{clock_};
    // When the periodic save being written began.
    int32_t backgroundSaveTime_ = 0;
    uint32_t backgroundSaveTick_ = 0;
    std::atomic<bool>* reloadRequested_ = nullptr;
    ControlLimits controlLimits_;
    std::unique_ptr<ControlCommands> controlCommands_;
    // Last, so they go first: their threads use everything above.
    std::unique_ptr<ControlServer> control_;
    std::unique_ptr<StatusServer> status_;
};

}  // namespace tallysv
