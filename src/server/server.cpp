#include "server/server.h"

#include <poll.h>
#include <unistd.h>

#include "credentials/password_store.h"
#include "db/backup.h"
#include "db/huge_page_allocator.h"

namespace tallysv {

Server::Server(Database& database, const Clock& clock, Log& log, KeySource& keys, Sleeper sleep,
               const std::atomic<bool>* stopRequested)
    : database_(database), clock_(clock), log_(log), keys_(keys), sleep_(std::move(sleep)),
      stopRequested_(stopRequested), folderLock_(database.directory()), backgroundSave_(database, log) {}

int Server::run() {
    if (!startup()) return 1;
    while (runPass()) {
    }
    shutdown();
    return 0;
}

bool Server::startup() {
    log_.write(kBanner);
    if (!takeFolderLock()) return false;
    database_.readConfiguration();
    if (!claimControlSocket()) {
        folderLock_.release();
        return false;
    }
    database_.load();
    socket_ = std::make_unique<UdpSocket>();
    transport_ = std::make_unique<CoreTransport>(*socket_, clock_, log_, database_.settings);
    zones_ = std::make_unique<ZoneProtocol>(*transport_, database_, clock_, log_);
    commands_ = std::make_unique<CommandProcessor>(*zones_, clock_, log_);
    // ?write waits for a periodic save being written, then saves.
    commands_->services.saveDatabase = [this] { return saveNow(); };
    // Operator actions go to audit.log in the working folder, each line
    // written before the command's reply leaves.
    const std::string& folder = database_.directory();
    audit_ = std::make_unique<AuditLog>(folder.empty() ? AuditLog::kFileName : folder + "/" + AuditLog::kFileName,
                                        log_);
    commands_->services.audit = [this](const AuditRecord& record) { audit_->append(record); };
    startWorkers();
    udp_ = std::make_unique<UdpServer>(*transport_, *socket_, lock_, database_.settings);
    if (Status listening = udp_->start(database_.settings.port); !listening) {
        // Without its socket the server can hear no zone: say why and end.
        log_.printf("Cannot listen on UDP port %i: %s\n", static_cast<int>(database_.settings.port),
                    listening.reason().c_str());
        workers_.reset();
        control_.reset();
        udp_.reset();
        commands_.reset();
        zones_.reset();
        transport_.reset();
        socket_.reset();
        folderLock_.release();
        return false;
    }
    running_ = true;
    lastSaveTick_ = clock_.tick();
    startTime_ = clock_.now();
    startStatusPages();
    startControlSocket();
    return true;
}

// Password hashes and whois lookups run on these, never on the receive
// thread. Each worker holds one hash's memory at most, so what they can
// take together is known from the start and said.
void Server::startWorkers() {
    workers_ = std::make_unique<WorkerPool>(lock_);
    zones_->setExecutor(*workers_);
    const size_t mebibytes = workers_->workers() * kPasswordHashMemory / (1024 * 1024);
    log_.printf("Password workers: %u, queue of %zu, hashing memory at most %zu MiB\n", workers_->workers(),
                workers_->queueBound(), mebibytes);
}

// The socket is claimed before anything is loaded: a second server pointed
// at the socket of a running one stops at once, having changed nothing.
bool Server::claimControlSocket() {
    std::string path = database_.settings.controlSocket;
    if (path.empty()) return true;
    if (path[0] != '/' && !database_.directory().empty()) path = database_.directory() + "/" + path;
    control_ = std::make_unique<ControlServer>(clock_, controlLimits_);
    std::string reason;
    switch (control_->claim(path, reason)) {
        case ControlServer::Claim::Ready:
            return true;
        case ControlServer::Claim::InUse:
            log_.printf("Control socket %s: %s; stopping\n", path.c_str(), reason.c_str());
            control_.reset();
            return false;
        case ControlServer::Claim::Failed:
            // Like the status pages: the network is served all the same.
            log_.printf("Cannot open the control socket %s: %s\n", path.c_str(), reason.c_str());
            control_.reset();
            return true;
    }
    return true;
}

void Server::startControlSocket() {
    if (!control_) return;
    controlCommands_ = std::make_unique<ControlCommands>(lock_, *zones_, *commands_, log_,
                                                         ControlServices{[this] { return statusSnapshot(); }});
    // Started without a console line: the socket is there by default, and
    // the lines of a start stay as they were.
    control_->start([this](const ControlRequest& request, const ControlPeer& peer) {
        return controlCommands_->run(request, peer);
    });
}

// A status port that cannot be had is said on the console; the network is
// served all the same.
void Server::startStatusPages() {
    const std::string& listen = database_.settings.statusListen;
    if (listen.empty()) return;
    status_ = std::make_unique<StatusServer>([this] { return statusSnapshot(); }, StatusLimits{},
                                             [this](int minutes) { return history_.view(minutes); });
    std::string reason;
    if (!status_->start(listen, reason)) {
        log_.printf("Cannot serve the status pages on %s: %s\n", listen.c_str(), reason.c_str());
        status_.reset();
        return;
    }
    log_.printf("Status pages on http://%s/\n", status_->address().c_str());
}

StatusSnapshot Server::statusSnapshot() {
    StatusSnapshot snapshot;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (transport_ && zones_ && commands_)
            snapshot = takeStatusSnapshot(*transport_, *zones_, *commands_, database_);
        snapshot.saves = saves_;
    }
    snapshot.version = kServerVersion;
    snapshot.startTime = startTime_;
    std::vector<std::string> generations = listBackupGenerations(database_.directory());
    if (!generations.empty()) snapshot.lastBackup = generations.back();
    return snapshot;
}

void Server::noteSave(bool saved, int32_t began, uint32_t beganTick) {
    ++saves_.saves;
    if (!saved) ++saves_.failedSaves;
    saves_.any = true;
    saves_.lastTime = began;
    saves_.lastDurationMs = clock_.tick() - beganTick;
    saves_.lastSucceeded = saved;
    if (saved) {
        saves_.anySucceeded = true;
        saves_.lastSuccessTime = began;
    }
}

void Server::recordHistory() {
    HistorySample sample;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!transport_ || !zones_ || !commands_) return;
        sample = takeHistorySample(*transport_, *zones_, *commands_);
        sample.saves = saves_.saves;
        sample.lastSaveDurationMs = saves_.lastDurationMs;
    }
    history_.record(sample);
}

// Nothing in the folder is read or written before the lock is held: a
// second server, or one restarted while the save process of the last is
// still renaming its files, would otherwise finish or mix up that save.
bool Server::takeFolderLock() {
    std::string reason;
    FolderLock::Attempt attempt = folderLock_.tryTake(reason);
    if (attempt == FolderLock::Attempt::Held) {
        log_.printf("The data folder is in use by process %d; waiting up to %u seconds for it to end\n",
                    static_cast<int>(folderLock_.holder()), static_cast<unsigned>(folderLockWait_ / 1000));
        for (uint32_t waited = 0; attempt == FolderLock::Attempt::Held && waited < folderLockWait_;
             waited += kFolderLockRetry) {
            sleep_(kFolderLockRetry);
            attempt = folderLock_.tryTake(reason);
        }
        if (attempt == FolderLock::Attempt::Held) {
            log_.printf("The data folder is still in use by process %d; stopping without reading or writing it\n",
                        static_cast<int>(folderLock_.holder()));
            folderLock_.release();
            return false;
        }
    }
    if (attempt == FolderLock::Attempt::Failed) {
        // A folder where no file can be made cannot be saved to either; the
        // saves will say so. The server still serves.
        log_.printf("Cannot lock the data folder (%s): %s; going on without the lock\n", FolderLock::kFileName,
                    reason.c_str());
        return true;
    }
    backgroundSave_.setFolderLock(&folderLock_);
    return true;
}

bool Server::runPass() {
    sleep_(250);
    if (regatherHugePages_) {
        // The records on huge pages again, after the copy-on-write of the
        // last save split them (and once after start-up).
        std::vector<std::pair<void*, size_t>> ranges;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            ranges = database_.hugePageRanges();
            regatherHugePages_ = false;
        }
        gatherIntoHugePages(ranges);
    }
    int32_t interval;
    {
        // A re-read of the configuration may change the interval at any time.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        interval = database_.settings.periodicSave;
        collectBackgroundSave(false);
    }
    if (clock_.tick() - lastSaveTick_ >= static_cast<uint32_t>(interval)) periodicSave();
    recordHistory();
    int key = keys_.pollKey();
    if (key >= 0) handleKey(key);
    if (reloadRequested_ && reloadRequested_->exchange(false)) {
        // SIGHUP: the settings as ?read re-reads them, and audit.log opened
        // again, so that a rotation that moved it away takes effect.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        database_.readConfiguration();
        reopenAuditLog();
    }
    if (stopRequested_ && stopRequested_->load()) running_ = false;
    return running_;
}

// The snapshot is taken with the lock held, so it is one consistent state;
// the files are written by another process while the network goes on.
// Expired bans go after the snapshot, so the save still holds them once.
void Server::periodicSave() {
    // One save at a time: one that falls due while the last is still being
    // written waits for it, without holding up the network.
    for (;;) {
        int pipe;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            collectBackgroundSave(false);
            if (!backgroundSave_.running()) break;
            pipe = backgroundSave_.descriptor();
        }
        pollfd waiting{pipe, POLLIN, 0};
        if (::poll(&waiting, 1, 100) > 0 && (waiting.revents & POLLIN) == 0) ::usleep(1000);
    }
    int32_t now = clock_.now();
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        std::string reason;
        backgroundSaveTime_ = now;
        backgroundSaveTick_ = clock_.tick();
        if (!backgroundSave_.start(reason)) {
            // Without a second process the save is made here, holding up
            // the network for its length, rather than not at all.
            log_.printf("Cannot start the background save (%s); saving in the server process\n", reason.c_str());
            bool saved = database_.save();
            noteSave(saved, backgroundSaveTime_, backgroundSaveTick_);
            if (!saved) log_.write("Save failed; it is tried again at the next periodic save\n");
        }
        database_.removeExpiredBans(now);
    }
    sleep_(500);
    lastSaveTick_ = clock_.tick();
}

void Server::collectBackgroundSave(bool wait) {
    if (!backgroundSave_.running()) return;
    if (wait) {
        reportBackgroundSave(backgroundSave_.wait());
    } else if (auto outcome = backgroundSave_.poll()) {
        reportBackgroundSave(*outcome);
    }
    if (!backgroundSave_.running()) regatherHugePages_ = true;
}

void Server::reportBackgroundSave(const BackgroundSave::Outcome& outcome) {
    // Its length is known to the main loop's pass that sees it end.
    noteSave(outcome.saved, backgroundSaveTime_, backgroundSaveTick_);
    if (outcome.saved) return;
    log_.printf("Save failed: %s; it is tried again at the next periodic save\n", outcome.failure.c_str());
}

void Server::waitForBackgroundSave() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    collectBackgroundSave(true);
}

bool Server::saveNow() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    collectBackgroundSave(true);
    int32_t began = clock_.now();
    uint32_t beganTick = clock_.tick();
    bool saved = database_.save();
    noteSave(saved, began, beganTick);
    return saved;
}

void Server::handleKey(int key) {
    switch (key) {
        case 'C':
        case 'c': {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            database_.printChatList();
            break;
        }
        case 'S':
        case 's': {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            database_.printSquadList();
            break;
        }
        case 'L':
        case 'l': {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            printHostList();
            break;
        }
        case 'E':
        case 'e':
        case 'Q':
        case 'q':
        case 'X':
        case 'x':
            running_ = false;
            break;
        default:
            break;
    }
}

void Server::printHostList() {
    log_.write("Host list:\n");
    if (transport_) transport_->printHostList(log_);
}

void Server::shutdown() {
    // Work still queued is dropped, work under way completes; from here on
    // a login or ?ban -! that needs a worker is answered busy.
    if (workers_) workers_->stop();
    if (zones_) {
        // Players still in a zone end their sessions with the stop, so the
        // final save holds their play time. A login accepted in the moment
        // before the network threads end counts nothing.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        zones_->endPlayerSessionsAtStop();
    }
    // No request runs once the stop has begun; the socket file goes.
    control_.reset();
    controlCommands_.reset();
    status_.reset();
    if (udp_) udp_->stop();
    // A save still being written ends first; then the final one, with
    // everything that changed since its snapshot.
    waitForBackgroundSave();
    database_.save();
    folderLock_.release();
    udp_.reset();
    workers_.reset();
    transport_.reset();
    commands_.reset();
    zones_.reset();
    socket_.reset();
}

}  // namespace tallysv
