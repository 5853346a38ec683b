#include "server/server.h"

namespace tallysv {

Server::Server(Database& database, const Clock& clock, Log& log, KeySource& keys, Sleeper sleep,
               const std::atomic<bool>* stopRequested)
    : database_(database), clock_(clock), log_(log), keys_(keys), sleep_(std::move(sleep)),
      stopRequested_(stopRequested) {}

int Server::run() {
    if (!startup()) return 1;
    while (runPass()) {
    }
    shutdown();
    return 0;
}

bool Server::startup() {
    log_.write(kBanner);
    database_.readConfiguration();
    database_.load();
    socket_ = std::make_unique<UdpSocket>();
    transport_ = std::make_unique<CoreTransport>(*socket_, clock_, log_, database_.settings);
    zones_ = std::make_unique<ZoneProtocol>(*transport_, database_, clock_, log_);
    commands_ = std::make_unique<CommandProcessor>(*zones_, clock_, log_);
    udp_ = std::make_unique<UdpServer>(*transport_, *socket_, lock_, database_.settings);
    std::string reason;
    if (!udp_->start(database_.settings.port, reason)) {
        // Without its socket the server can hear no zone: say why and end.
        log_.printf("Cannot listen on UDP port %i: %s\n", static_cast<int>(database_.settings.port), reason.c_str());
        udp_.reset();
        commands_.reset();
        zones_.reset();
        transport_.reset();
        socket_.reset();
        return false;
    }
    running_ = true;
    lastSaveTick_ = clock_.tick();
    return true;
}

bool Server::runPass() {
    sleep_(250);
    int32_t interval;
    {
        // A re-read of the configuration may change the interval at any time.
        std::lock_guard<std::recursive_mutex> guard(lock_);
        interval = database_.settings.periodicSave;
    }
    if (clock_.tick() - lastSaveTick_ >= static_cast<uint32_t>(interval)) periodicSave();
    int key = keys_.pollKey();
    if (key >= 0) handleKey(key);
    if (stopRequested_ && stopRequested_->load()) running_ = false;
    return running_;
}

void Server::periodicSave() {
    int32_t now = clock_.now();
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        database_.save();
        database_.removeExpiredBans(now);
    }
    sleep_(500);
    lastSaveTick_ = clock_.tick();
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
    if (udp_) udp_->stop();
    database_.save();
    udp_.reset();
    transport_.reset();
    commands_.reset();
    zones_.reset();
    socket_.reset();
}

}  // namespace tallysv
