#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "commands/command_processor.h"
#include "core/clock.h"
#include "server/background_save.h"
#include "server/console.h"
#include "core/log.h"
#include "db/database.h"
#include "db/folder_lock.h"
#include "net/core_transport.h"
#include "net/udp_server.h"
#include "zone/zone_protocol.h"

namespace tallysv {

constexpr const char* kBanner = "Voidrift Billing Server (Build 11)\n";

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
    // Declared after the lock, so they go before it.
    std::unique_ptr<UdpSocket> socket_;
    std::unique_ptr<CoreTransport> transport_;
    std::unique_ptr<ZoneProtocol> zones_;
    std::unique_ptr<CommandProcessor> commands_;
    std::unique_ptr<UdpServer> udp_;
    bool running_ = false;
    uint32_t lastSaveTick_ = 0;
    bool regatherHugePages_ = true;
};

}  // namespace tallysv
