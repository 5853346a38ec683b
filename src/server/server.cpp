#include "server/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/configuration.h"
#include "core/ini_file.h"
#include "credentials/password_store.h"
#include "db/backup.h"
#include "db/huge_page_allocator.h"
#include "server/console_lists.h"
#include "server/privileges.h"

namespace tallysv {

namespace {

// Whoever may change the data folder or the settings may make the server
// read and write what they like, with the server's rights: a folder or a
// settings file that a user other than the server's may write is refused
// before anything in it is read or written. The reason, or empty when the
// path is safe (or, for a settings file, absent).
std::string unsafeToUse(const std::string& path, bool mayBeAbsent) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        if (mayBeAbsent && errno == ENOENT) return {};
        return std::string("cannot be examined: ") + std::strerror(errno);
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return "is owned by user " + std::to_string(info.st_uid) + ", neither the server's user nor root";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by users other than its owner";
    return {};
}

}  // namespace

Server::Server(Settings& settings, Database& database, const Clock& clock, Log& log, KeySource& keys, Sleeper sleep,
               const std::atomic<bool>* stopRequested)
    : settings_(settings),
      database_(database), folder_(database.directory()), clock_(clock), log_(log), keys_(keys),
      sleep_(std::move(sleep)), stopRequested_(stopRequested), folderLock_(folder_),
      backgroundSave_(database, log) {
    // One pass of the main loop, in this order.
    loop_ = {
        {&Server::regatherHugePages},
        {&Server::collectSave},
        {&Server::periodicSave, &Server::savePeriod},
        {&Server::recordHistory},
        {&Server::readKey},
        {&Server::reloadOnRequest},
        {&Server::stopOnRequest},
    };
}

int Server::run() {
    if (!startup()) return 1;
    while (runPass()) {
    }
    shutdown();
    return 0;
}

// No other thread runs until the network is started, so the lock is
// uncontended here; it is taken all the same, as the rule is that what it
// guards is touched only with it held.
bool Server::startup() {
    log_.write(kBanner);
    if (::geteuid() == 0 && !leaveRoot()) return false;
    for (auto [path, mayBeAbsent] : {std::pair{folder_.empty() ? std::string(".") : folder_, false},
                                     std::pair{configurationPath(folder_), true}}) {
        if (std::string reason = unsafeToUse(path, mayBeAbsent); !reason.empty()) {
            log_.printf("Refusing to start: %s %s\n", path.c_str(), reason.c_str());
            return false;
        }
    }
    // Every file and folder the server makes is its own alone, or readable
    // by its group when asked, whatever umask it was started with. The one
    // setting is read ahead of the rest, as the lock file is the first made.
    const bool groupReadable =
        profileNumber(IniFile::load(configurationPath(folder_)).get("Misc", "GroupReadable", "0", 2)) != 0;
    ::umask(groupReadable ? 027 : 077);
    if (!takeFolderLock()) return false;
    {
        MutexLock guard(lock_);
        readConfiguration(settings_, database_, log_);
    }
    if (!claimControlSocket()) {
        folderLock_.release();
        return false;
    }
    uint16_t port;
    {
        MutexLock guard(lock_);
        database_.load();
        assemble();
        port = settings_.port;
    }
    if (Status listening = udp_->start(port); !listening) {
        // Without its socket the server can hear no zone: say why and end.
        log_.printf("Cannot listen on UDP port %i: %s\n", static_cast<int>(port), listening.reason().c_str());
        control_.reset();
        disassemble();
        folderLock_.release();
        return false;
    }
    running_ = true;
    for (LoopTask& task : loop_) task.lastRun = clock_.tick();
    startTime_ = clock_.now();
    startStatusPages();
    startPublicSite();
    {
        MutexLock guard(lock_);
        startControlSocket();
    }
    return true;
}

// Started as root: the port is bound while root may (it is below 1024 by
// default), then the server becomes the data folder's owner, or the user
// RunAsUser names, before it opens any file of the folder. A folder of
// root's with no RunAsUser keeps root, and its files are still opened
// without following links.
bool Server::leaveRoot() {
    const std::string folder = folder_.empty() ? "." : folder_;
    struct stat info;
    // A folder others may write is refused by the folder check that follows.
    if (::stat(folder.c_str(), &info) != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
    // The settings are read with the owner's rights: a link among his
    // files makes root read nothing he could not read himself.
    StartingSettings starting;
    const std::string settingsPath = configurationPath(folder_);
    bool unreadable = false;
    auto read = [&] {
        unreadable = ::access(settingsPath.c_str(), F_OK) == 0 &&
                     ::faccessat(AT_FDCWD, settingsPath.c_str(), R_OK, AT_EACCESS) != 0;
        starting = readStartingSettings(folder_);
    };
    if (info.st_uid == 0) {
        read();
    } else if (Status asOwner = runWithIdsOf(info.st_uid, info.st_gid, read); !asOwner) {
        log_.printf("Refusing to start: cannot read the settings as the owner of %s: %s\n", folder.c_str(),
                    asOwner.reason().c_str());
        return false;
    }
    if (unreadable) {
        log_.printf("Refusing to start: %s is not readable by the owner of %s\n", settingsPath.c_str(), folder.c_str());
        return false;
    }
    if (starting.runAsUser.empty() && info.st_uid == 0) return true;
    RunAsUser user;
    if (Status found = findRunAsUser(starting.runAsUser, info.st_uid, info.st_gid, user); !found) {
        log_.printf("Refusing to start: %s\n", found.reason().c_str());
        return false;
    }
    if (user.uid == 0) return true;
    socket_ = std::make_unique<UdpSocket>();
    if (Status listening = socket_->open(starting.port); !listening) {
        log_.printf("Cannot listen on UDP port %i: %s\n", static_cast<int>(starting.port),
                    listening.reason().c_str());
        return false;
    }
    if (Status became = becomeUser(user); !became) {
        log_.printf("Refusing to start: cannot run as user %s: %s\n", user.name.c_str(), became.reason().c_str());
        return false;
    }
    log_.printf("Running as user %s (uid %u), UDP port %i bound as root\n", user.name.c_str(),
                static_cast<unsigned>(user.uid), static_cast<int>(starting.port));
    // Root could write and read where that user cannot: say so now rather
    // than fail at the lock or read no settings.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        log_.printf("Refusing to start: %s is not writable by user %s\n", folder.c_str(), user.name.c_str());
        return false;
    }
    if (::access(settingsPath.c_str(), F_OK) == 0 && ::access(settingsPath.c_str(), R_OK) != 0) {
        log_.printf("Refusing to start: %s is not readable by user %s\n", settingsPath.c_str(), user.name.c_str());
        return false;
    }
    return true;
}

void Server::assemble() {
    // Bound already when the server started as root.
    if (!socket_) socket_ = std::make_unique<UdpSocket>();
    core_ = std::make_unique<ServerCore>(*socket_, settings_, database_, clock_, log_);
    // ?write, from a zone or the control socket: both run it with the lock
    // held, and it waits for a periodic save being written, then saves.
    core_->commands.services.saveDatabase = [this] {
        lock_.assertHeld();
        return saveHolding();
    };
    // Operator actions go to audit.log in the working folder, each line
    // written before the command's reply leaves.
    audit_ = std::make_unique<AuditLog>(folder_.empty() ? AuditLog::kFileName : folder_ + "/" + AuditLog::kFileName,
                                        log_);
    core_->commands.services.audit = [this](const AuditRecord& record) { audit_->append(record); };
    startWorkers();
    udp_ = std::make_unique<UdpServer>(core_->transport, *socket_, lock_, settings_,
                                       [this](const TransportEvent& event) {
                                           lock_.assertHeld();
                                           core_->zones.handle(event);
                                       },
                                       &completions_);
}

// In the reverse order of assemble(), with the network threads and the
// workers ended first, since they take the lock.
void Server::disassemble() {
    lookupWorkers_.reset();
    workers_.reset();
    udp_.reset();
    MutexLock guard(lock_);
    core_.reset();
    socket_.reset();
}

// Password hashes and whois lookups run on these, never on the network's
// loop; what they find comes back to the loop as a completion. Each worker holds one hash's memory at most, so what they can
// take together is known from the start and said. Lookups, which mostly
// wait on the network, have a small pool of their own.
void Server::startWorkers() {
    workers_ = std::make_unique<WorkerPool>(completions_, static_cast<unsigned>(settings_.passwordWorkers));
    lookupWorkers_ = std::make_unique<WorkerPool>(completions_, kLookupWorkers, kLookupShare);
    core_->zones.setExecutor(*workers_);
    core_->zones.setLookupExecutor(*lookupWorkers_);
    const size_t mebibytes = workers_->workers() * kPasswordHashMemory / (1024 * 1024);
    log_.printf("Password workers: %u, queue of %zu per zone, hashing memory at most %zu MiB\n",
                workers_->workers(), workers_->share(), mebibytes);
}

// The socket is claimed before anything is loaded: a second server pointed
// at the socket of a running one stops at once, having changed nothing.
bool Server::claimControlSocket() {
    std::string path;
    {
        MutexLock guard(lock_);
        path = settings_.controlSocket;
    }
    if (path.empty()) return true;
    if (path[0] != '/' && !folder_.empty()) path = folder_ + "/" + path;
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
    controlCommands_ = std::make_unique<ControlCommands>(lock_, core_->zones, core_->commands, log_,
                                                         ControlServices{[this] { return takeSnapshot(); }});
    // Started without a console line: the socket is there by default, and
    // the lines of a start stay as they were. Each request is an event of
    // the network's loop, which runs it between two datagrams.
    control_->start([this](const ControlRequest& request, const ControlPeer& peer) {
        ControlAnswer answer;
        udp_->runOnLoop([&] { answer = controlCommands_->run(request, peer); });
        return answer;
    });
}

// A status port that cannot be had is said on the console; the network is
// served all the same.
void Server::startStatusPages() {
    std::string listen;
    std::string hosts;
    {
        MutexLock guard(lock_);
        listen = settings_.statusListen;
        hosts = settings_.statusHosts;
    }
    if (listen.empty()) return;
    status_ = std::make_unique<StatusServer>([this] { return statusSnapshot(); }, StatusLimits{},
                                             [this](int minutes) { return history_.view(minutes); });
    if (Status started = status_->start(listen, hosts); !started) {
        log_.printf("Cannot serve the status pages on %s: %s\n", listen.c_str(), started.reason().c_str());
        status_.reset();
        return;
    }
    log_.printf("Status pages on http://%s/\n", status_->address().c_str());
}

// The players' site reads the saved files itself, at start and after each
// save; from the network it takes only who is online, under the lock.
void Server::startPublicSite() {
    std::string listen;
    ScoreLabels labels;
    {
        MutexLock guard(lock_);
        listen = settings_.publicListen;
        labels = parseScoreLabels(settings_.scoreLabels, settings_.scoreLabelsByZone);
    }
    if (listen.empty()) return;
    public_ = std::make_unique<PublicSite>(
        folder_, std::move(labels),
        [this] {
            MutexLock guard(lock_);
            return core_ ? takePublicOnline(core_->transport, database_) : PublicOnline{};
        },
        [this](int minutes) { return history_.view(minutes); });
    if (Status started = public_->start(listen); !started) {
        log_.printf("Cannot serve the players' site on %s: %s\n", listen.c_str(), started.reason().c_str());
        public_.reset();
        return;
    }
    log_.printf("Players' site on http://%s/\n", public_->address().c_str());
}

StatusSnapshot Server::statusSnapshot() {
    // Read by the network's loop, between two datagrams, for whoever asks.
    if (!udp_) return takeSnapshot();
    StatusSnapshot snapshot;
    udp_->runOnLoop([&] { snapshot = takeSnapshot(); });
    return snapshot;
}

StatusSnapshot Server::takeSnapshot() {
    StatusSnapshot snapshot;
    {
        MutexLock guard(lock_);
        if (core_) snapshot = takeStatusSnapshot(core_->transport, core_->zones, core_->commands, database_);
        snapshot.saves = saves_;
    }
    snapshot.version = kServerVersion;
    snapshot.startTime = startTime_;
    std::vector<std::string> generations = listBackupGenerations(folder_);
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
        afterSave_.saved(settings_.afterSaveCommand);
        if (public_) public_->reload();
    }
}

void Server::recordHistory() {
    HistorySample sample;
    {
        MutexLock guard(lock_);
        if (!core_) return;
        sample = takeHistorySample(core_->transport, core_->zones, core_->commands);
        sample.saves = saves_.saves;
        sample.lastSaveDurationMs = saves_.lastDurationMs;
    }
    history_.record(sample);
}

// Nothing in the folder is read or written before the lock is held: a
// second server, or one restarted while the save process of the last is
// still renaming its files, would otherwise finish or mix up that save.
bool Server::takeFolderLock() {
    Status attempt = folderLock_.tryTake();
    if (FolderLock::heldElsewhere(attempt)) {
        log_.printf("The data folder is in use by process %d; waiting up to %u seconds for it to end\n",
                    static_cast<int>(folderLock_.holder()), static_cast<unsigned>(folderLockWait_ / 1000));
        for (uint32_t waited = 0; FolderLock::heldElsewhere(attempt) && waited < folderLockWait_;
             waited += kFolderLockRetry) {
            sleep_(kFolderLockRetry);
            attempt = folderLock_.tryTake();
        }
        if (FolderLock::heldElsewhere(attempt)) {
            log_.printf("The data folder is still in use by process %d; stopping without reading or writing it\n",
                        static_cast<int>(folderLock_.holder()));
            folderLock_.release();
            return false;
        }
    }
    if (!attempt) {
        // A folder where no file can be made cannot be saved to either; the
        // saves will say so. The server still serves.
        log_.printf("Cannot lock the data folder (%s): %s; going on without the lock\n", FolderLock::kFileName,
                    attempt.reason().c_str());
        return true;
    }
    MutexLock guard(lock_);
    backgroundSave_.setFolderLock(&folderLock_);
    return true;
}

bool Server::runPass() {
    sleep_(250);
    for (LoopTask& task : loop_) {
        if (task.period && clock_.tick() - task.lastRun < (this->*task.period)()) continue;
        (this->*task.run)();
        task.lastRun = clock_.tick();
    }
    return running_;
}

// The records on huge pages again, after the copy-on-write of the last
// save split them (and once after start-up).
void Server::regatherHugePages() {
    std::vector<std::pair<void*, size_t>> ranges;
    {
        MutexLock guard(lock_);
        if (!regatherHugePages_) return;
        ranges = database_.hugePageRanges();
        regatherHugePages_ = false;
    }
    gatherIntoHugePages(ranges);
}

void Server::collectSave() {
    MutexLock guard(lock_);
    collectBackgroundSave(false);
}

// A re-read of the configuration may change the period at any time.
uint32_t Server::savePeriod() {
    MutexLock guard(lock_);
    return static_cast<uint32_t>(settings_.periodicSave);
}

void Server::readKey() {
    int key = keys_.pollKey();
    if (key >= 0) handleKey(key);
}

// SIGHUP: the settings as ?read re-reads them, and audit.log opened again,
// so that a rotation that moved it away takes effect.
void Server::reloadOnRequest() {
    if (!reloadRequested_ || !reloadRequested_->exchange(false)) return;
    MutexLock guard(lock_);
    readConfiguration(settings_, database_, log_);
    reopenAuditLog();
}

void Server::stopOnRequest() {
    if (stopRequested_ && stopRequested_->load()) running_ = false;
}

// The snapshot is taken with the lock held, so it is one consistent state;
// the files are written by another process while the network goes on.
// Expired bans go after the snapshot, so the save still holds them once.
void Server::periodicSave() {
    // One save at a time: one that falls due while the last is still being
    // written waits for it, without holding up the network. The wait is on
    // the writing process's pipe: it brings its console lines, and its end
    // once the process has ended (the process holds its end of the pipe
    // until then). The moment between the pipe's end and the process
    // becoming reapable is waited out under the lock.
    for (;;) {
        int pipe;
        {
            MutexLock guard(lock_);
            collectBackgroundSave(false);
            if (!backgroundSave_.running()) break;
            pipe = backgroundSave_.descriptor();
        }
        pollfd waiting{pipe, POLLIN, 0};
        if (::poll(&waiting, 1, -1) > 0 && (waiting.revents & POLLIN) == 0) {
            MutexLock guard(lock_);
            collectBackgroundSave(true);
        }
    }
    int32_t now = clock_.now();
    {
        MutexLock guard(lock_);
        backgroundSaveTime_ = now;
        backgroundSaveTick_ = clock_.tick();
        if (Status started = backgroundSave_.start(); !started) {
            // Without a second process the save is made here, holding up
            // the network for its length, rather than not at all.
            log_.printf("Cannot start the background save (%s); saving in the server process\n",
                        started.reason().c_str());
            bool saved = database_.save().isOk();
            noteSave(saved, backgroundSaveTime_, backgroundSaveTick_);
            if (!saved) log_.write("Save failed; it is tried again at the next periodic save\n");
        }
        database_.removeExpiredBans(now);
    }
    // The main loop's pause after a save: a PeriodicSave of 0 saves about
    // every 750 ms, not on every 250 ms pass.
    sleep_(500);
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
    MutexLock guard(lock_);
    collectBackgroundSave(true);
}

pid_t Server::backgroundSaveProcess() {
    MutexLock guard(lock_);
    return backgroundSave_.process();
}

bool Server::saveNow() {
    MutexLock guard(lock_);
    return saveHolding();
}

bool Server::saveHolding() {
    collectBackgroundSave(true);
    int32_t began = clock_.now();
    uint32_t beganTick = clock_.tick();
    bool saved = database_.save().isOk();
    noteSave(saved, began, beganTick);
    return saved;
}

void Server::handleKey(int key) {
    switch (key) {
        case 'C':
        case 'c': {
            MutexLock guard(lock_);
            if (core_) printChatList(core_->zones.chatChannels(), log_);
            else log_.write("Chat list:\n");
            break;
        }
        case 'S':
        case 's': {
            MutexLock guard(lock_);
            printSquadList(database_, log_);
            break;
        }
        case 'L':
        case 'l': {
            MutexLock guard(lock_);
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
    if (core_) core_->transport.printHostList(log_);
}

void Server::shutdown() {
    // Work still queued is dropped, work under way completes; from here on
    // a login or ?ban -! that needs a worker is answered busy.
    if (workers_) workers_->stop();
    if (lookupWorkers_) lookupWorkers_->stop();
    {
        // Players still in a zone end their sessions with the stop, so the
        // final save holds their play time. A login accepted in the moment
        // before the network threads end counts nothing.
        MutexLock guard(lock_);
        if (core_) core_->zones.endPlayerSessionsAtStop();
    }
    // No request runs once the stop has begun; the socket file goes.
    control_.reset();
    controlCommands_.reset();
    status_.reset();
    public_.reset();
    if (udp_) udp_->stop();
    {
        // A save still being written ends first; then the final one, with
        // everything that changed since its snapshot.
        MutexLock guard(lock_);
        collectBackgroundSave(true);
        (void)database_.save();  // its failures are on the console
    }
    folderLock_.release();
    disassemble();
}

}  // namespace tallysv
