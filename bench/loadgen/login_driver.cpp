#include "loadgen/login_driver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "db/flood_table.h"

namespace loadgen {

using zoneclient::Bytes;
using zoneclient::monotonicTick;

LoginDriver::LoginDriver(const Options& options, uint16_t port, int accounts) : options_(options), accounts_(accounts) {
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(port);
    std::string reason;
    for (int i = 0; i < options.zones; ++i) {
        auto zone = std::make_unique<Zone>();
        if (!zone->client.open("127.0.0.1", port, reason)) fail("cannot open a zone socket: " + reason);
        Zone* z = zone.get();
        zone->scoreId = i + 1;
        zone->name = "Loadgen Zone " + std::to_string(i + 1);
        zone->link = std::make_unique<zoneclient::ZoneLink>(
            [z](std::span<const uint8_t> d) {
                ++z->datagramsOut;
                if (z->gathering) {
                    z->outgoing.add(d);
                } else {
                    z->client.send(d);
                }
            },
            0x2000 + i, zoneclient::ZoneLink::Options{options.window, 500});
        zone->slots.resize(static_cast<size_t>(options.window));
        zone->outgoing.aim(zone->client.descriptor(), server_);
        fds_.push_back({zone->client.descriptor(), POLLIN, 0});
        zones_.push_back(std::move(zone));
    }
}

void LoginDriver::connect(ServerProcess& server) {
    uint32_t start = monotonicTick();
    uint32_t lastTry = start - 1000;
    for (;;) {
        bool all = true;
        for (auto& z : zones_) all = all && z->link->connected();
        if (all) return;
        uint32_t now = monotonicTick();
        if (!server.running()) fail("the server ended while starting:\n" + server.consoleTail());
        if (now - start >= kServerReadyLimit) fail("the server does not answer connection requests");
        if (now - lastTry >= 250) {
            for (auto& z : zones_) {
                if (!z->link->connected()) z->link->connect();
            }
            lastTry = now;
        }
        pump(50);
    }
}

void LoginDriver::dock(ServerProcess& server) {
    const int perGroup = tallysv::FloodTable::kLightFlood - 1;
    const uint64_t evicting = tallysv::FloodTable::kEvictAbove + 1;
    for (size_t first = 0; first < zones_.size(); first += static_cast<size_t>(perGroup)) {
        if (first > 0) {
            uint64_t target = completed_ + evicting;
            issuing_ = true;
            for (auto& z : zones_) topUp(*z);
            uint32_t start = monotonicTick();
            while (completed_ < target) {
                if (monotonicTick() - start >= kDockingLimit) fail("player logins between zone logins stalled");
                pump(10);
            }
            quiesce();
        }
        size_t last = std::min(zones_.size(), first + static_cast<size_t>(perGroup));
        for (size_t i = first; i < last; ++i) {
            Zone& z = *zones_[i];
            z.link->sendReliable(zoneclient::zoneLogin(kGroupId, z.scoreId, z.name, ""), monotonicTick());
        }
        uint32_t start = monotonicTick();
        for (size_t i = first; i < last; ++i) {
            Zone& z = *zones_[i];
            std::string granted = std::to_string(z.scoreId) + " - Docking granted: " + z.name;
            while (!server.consoleHas(granted)) {
                if (monotonicTick() - start >= kDockingLimit)
                    fail("zone " + z.name + " was not docked:\n" + server.consoleTail());
                pump(10);
            }
            z.docked = true;
        }
    }
}

void LoginDriver::measureSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server, bool saves) {
    watching_ = &tally;
    watchesSaves_ = saves;
    watchedServer_ = &server;
    saveRunning_ = false;
    issuing_ = true;
    for (auto& z : zones_) topUp(*z);
    auto warmUpEnd = SteadyClock::now() + std::chrono::milliseconds(warmUpMs);
    while (SteadyClock::now() < warmUpEnd) pump(10);

    uint64_t inBefore = 0, outBefore = 0, resendsBefore = 0;
    for (auto& z : zones_) {
        inBefore += z->datagramsIn;
        outBefore += z->datagramsOut;
        resendsBefore += z->link->resends();
    }
    size_t countBefore = tally.latenciesNs.size();
    measureWindow(measureMs, tally, server);

    for (auto& z : zones_) {
        datagramsIn_ += z->datagramsIn;
        datagramsOut_ += z->datagramsOut;
        resends_ += z->link->resends();
    }
    datagramsIn_ -= inBefore;
    datagramsOut_ -= outBefore;
    resends_ -= resendsBefore;
    measured_ += tally.latenciesNs.size() - countBefore;
    quiesce();
    watching_ = nullptr;
}

void LoginDriver::disconnect() {
    for (auto& z : zones_) z->link->disconnect();
}

uint64_t LoginDriver::failed() const { return failed_; }

const std::string& LoginDriver::firstFailure() const { return firstFailure_; }

double LoginDriver::datagramsInPerLogin() const { return measured_ ? static_cast<double>(datagramsIn_) / measured_ : 0; }

double LoginDriver::datagramsOutPerLogin() const { return measured_ ? static_cast<double>(datagramsOut_) / measured_ : 0; }

uint64_t LoginDriver::resends() const { return resends_; }

void LoginDriver::seatChatMembers(int perZone) {
    seating_ = true;
    for (auto& z : zones_) {
        z->slots.assign(static_cast<size_t>(perZone), Slot{});
        for (Slot& slot : z->slots) startLogin(*z, slot);
    }
    const uint64_t seated = completed_ + static_cast<uint64_t>(perZone) * zones_.size();
    uint32_t start = monotonicTick();
    while (completed_ < seated) {
        if (failed_ > 0) fail("chat members refused: " + firstFailure_);
        if (monotonicTick() - start >= kDockingLimit) fail("chat members were not let in");
        pump(10);
    }
    for (auto& z : zones_) {
        for (Slot& slot : z->slots) {
            z->link->sendReliable(zoneclient::command(slot.playerId, "?chat=loadgen"), monotonicTick());
        }
    }
    // Once every join is acknowledged the server has handled it: it
    // handles a zone's datagrams in order, before any chat sent later.
    start = monotonicTick();
    for (;;) {
        bool busy = false;
        for (auto& z : zones_) busy = busy || z->link->inFlight() > 0 || z->link->waiting() > 0;
        if (!busy) break;
        if (monotonicTick() - start >= kDockingLimit) fail("chat joins went unanswered");
        pump(10);
    }
    chatMembers_ = perZone * static_cast<int>(zones_.size());
}

void LoginDriver::measureChatSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server) {
    issuing_ = true;
    for (auto& z : zones_) {
        for (int i = 0; i < options_.window; ++i) sendChatLine(*z);
    }
    auto warmUpEnd = SteadyClock::now() + std::chrono::milliseconds(warmUpMs);
    while (SteadyClock::now() < warmUpEnd) pump(10);
    measureWindow(measureMs, tally, server);
    issuing_ = false;
    uint32_t start = monotonicTick();
    while (!chatLines_.empty()) {
        if (monotonicTick() - start >= kQuiesceLimit) fail("chat lines were not delivered to every member");
        pump(10);
    }
}

uint64_t LoginDriver::chatLinesSent() const { return chatLineCount_; }

int LoginDriver::chatMembers() const { return chatMembers_; }

int LoginDriver::pickAccount() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return 1 + static_cast<int>(rng_ % static_cast<uint64_t>(accounts_));
}

tallysv::IPv4Address LoginDriver::nextAddress() {
    uint32_t n = ++addressCounter_;
    return {10, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

void LoginDriver::startLogin(Zone& z, Slot& slot) {
    zoneclient::PlayerLogin login;
    login.address = nextAddress();
    login.name = accountName(seating_ ? ++seatedAccounts_ : pickAccount());
    login.password = kPassword;
    login.playerId = z.nextPlayerId++;
    Bytes message = zoneclient::playerLogin(login);
    uint32_t tick = monotonicTick();
    slot.sent = SteadyClock::now();
    if (slot.inZone) {
        Bytes leaving = zoneclient::playerLeaving(slot.playerId, 1, std::nullopt);
        if (options_.separateLeaving) {
            z.link->sendReliable(leaving, tick);
            z.link->sendReliable(message, tick);
        } else {
            z.link->sendCluster({leaving, message}, true, tick);
        }
    } else {
        z.link->sendReliable(message, tick);
    }
    slot.playerId = login.playerId;
    slot.duringSave = saveRunning_;
    slot.awaitingReply = true;
    slot.inZone = false;
}

void LoginDriver::leave(Zone& z, Slot& slot) {
    if (!slot.inZone) return;
    z.link->sendReliable(zoneclient::playerLeaving(slot.playerId, 1, std::nullopt), monotonicTick());
    slot.inZone = false;
}

void LoginDriver::topUp(Zone& z) {
    if (!z.docked) return;
    for (Slot& slot : z.slots) {
        if (!slot.awaitingReply) startLogin(z, slot);
    }
}

void LoginDriver::onReply(Zone& z, const zoneclient::PlayerLoginReply& reply) {
    auto now = SteadyClock::now();
    auto it = std::find_if(z.slots.begin(), z.slots.end(),
                           [&](const Slot& s) { return s.awaitingReply && s.playerId == reply.playerId; });
    if (it == z.slots.end()) return;
    Slot& slot = *it;
    slot.awaitingReply = false;
    if (reply.result == kAccepted || reply.result == kAcceptedUnregistered) {
        slot.inZone = true;
        ++completed_;
        int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - slot.sent).count();
        if (latencies_) latencies_->push_back(ns);
        if (latencies_ && watchesSaves_ && (slot.duringSave || saveRunning_)) watching_->duringSaveNs.push_back(ns);
    } else {
        ++failed_;
        if (firstFailure_.empty()) {
            firstFailure_ = z.name + ": player " + std::to_string(reply.playerId) + " refused with result " +
                            std::to_string(reply.result) + " (" + zoneclient::loginResultText(reply.result) + ")";
        }
    }
    if (seating_) return;
    if (issuing_) {
        startLogin(z, slot);
    } else {
        leave(z, slot);
    }
}

void LoginDriver::onChatLine(const zoneclient::ChatLine& line) {
    size_t at = line.text.rfind("> line ");
    if (at == std::string::npos) return;
    uint64_t id = std::strtoull(line.text.c_str() + at + 7, nullptr, 10);
    auto it = chatLines_.find(id);
    if (it == chatLines_.end()) fail("a chat line delivered more often than it has members: " + line.text);
    if (latencies_)
        latencies_->push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - it->second.sent).count());
    if (--it->second.remaining > 0) return;
    Zone& sender = *zones_[it->second.zone];
    chatLines_.erase(it);
    if (issuing_) sendChatLine(sender);
}

void LoginDriver::sendChatLine(Zone& z) {
    uint64_t id = ++chatLineCount_;
    size_t zoneIndex = 0;
    while (zones_[zoneIndex].get() != &z) ++zoneIndex;
    const Slot& member = z.slots[z.nextSpeaker++ % z.slots.size()];
    chatLines_[id] = ChatPending{zoneIndex, chatMembers_ - 1, SteadyClock::now()};
    z.link->sendReliable(zoneclient::chat(member.playerId, '1', "line " + std::to_string(id)), monotonicTick());
}

void LoginDriver::measureWindow(int measureMs, Tally& tally, const ServerProcess& server) {
    size_t countBefore = tally.latenciesNs.size();
    latencies_ = &tally.latenciesNs;
    double serverCpu = server.cpuSeconds();
    double clientCpu = threadCpuSeconds();
    auto begin = SteadyClock::now();
    auto end = begin + std::chrono::milliseconds(measureMs);
    while (SteadyClock::now() < end) pump(10);
    latencies_ = nullptr;
    double sliceSeconds = secondsSince(begin);
    double sliceServer = server.cpuSeconds() - serverCpu;
    tally.seconds += sliceSeconds;
    tally.serverCpu += sliceServer;
    tally.clientCpu += threadCpuSeconds() - clientCpu;
    tally.addSlice(tally.latenciesNs.size() - countBefore, sliceSeconds, sliceServer);
}

void LoginDriver::pump(int timeoutMs) {
    ::poll(fds_.data(), fds_.size(), timeoutMs);
    if (watching_ && latencies_) watchSave();
    uint32_t tick = monotonicTick();
    for (size_t i = 0; i < zones_.size(); ++i) {
        Zone& z = *zones_[i];
        // Several datagrams per call, as a busy zone would read and
        // send; with --plain-zones one.
        const unsigned most = options_.plainZones ? 1 : DatagramBatch::kSize;
        z.gathering = !options_.plainZones;
        if (fds_[i].revents & (POLLIN | POLLERR)) {
            for (;;) {
                int n = incoming_.receive(z.client.descriptor(), most);
                if (n < 0 && errno == EINTR) continue;
                // A refused datagram (the server not yet listening)
                // reports an error once; the next read goes on.
                if (n < 0 && errno == ECONNREFUSED) continue;
                if (n <= 0) break;
                for (int k = 0; k < n; ++k) {
                    ++z.datagramsIn;
                    z.link->receive(incoming_.datagram(k), tick);
                }
                if (n < static_cast<int>(most)) break;
            }
        }
        while (!z.link->inbox.empty()) {
            Bytes message = std::move(z.link->inbox.front());
            z.link->inbox.pop_front();
            if (!message.empty() && message[0] == 10) {
                if (auto line = zoneclient::parseChatLine(message)) onChatLine(*line);
                continue;
            }
            if (message.empty() || message[0] != 1) continue;
            if (auto reply = zoneclient::parsePlayerLoginReply(message)) onReply(z, *reply);
        }
        if (z.link->disconnectedByServer()) fail("the server dropped " + z.name);
        // A fresh tick: logins sent above carry a later one than `tick`.
        z.link->maintain(monotonicTick());
        z.outgoing.send();
        z.gathering = false;
    }
}

void LoginDriver::watchSave() {
    // Looked at every 2 ms: reading the process table at every datagram
    // would cost the zones more than the logins.
    auto now = SteadyClock::now();
    if (now - lastSaveCheck_ < std::chrono::milliseconds(2)) return;
    lastSaveCheck_ = now;
    std::vector<pid_t> children;
    if (watchesSaves_) children = watchedServer_->children();
    bool running = !children.empty();
    if (running && !saveRunning_) ++watching_->savesSeen;
    saveRunning_ = running;
    if (running) {
        ++watching_->saveSightings;
        for (auto& z : zones_)
            for (Slot& slot : z->slots)
                if (slot.awaitingReply) slot.duringSave = true;
    }
    if (now - lastMemorySample_ < std::chrono::milliseconds(100)) return;
    lastMemorySample_ = now;
    ServerProcess::Memory server = ServerProcess::memoryOf(watchedServer_->pid());
    if (!running) {
        watching_->servingMiB = std::max(watching_->servingMiB, server.rss / 1024);
        return;
    }
    double together = server.pss;
    for (pid_t child : children) together += ServerProcess::memoryOf(child).pss;
    watching_->savingMiB = std::max(watching_->savingMiB, together / 1024);
}

void LoginDriver::quiesce() {
    issuing_ = false;
    uint32_t start = monotonicTick();
    for (;;) {
        bool busy = false;
        for (auto& z : zones_) {
            for (Slot& slot : z->slots) {
                if (!slot.awaitingReply) leave(*z, slot);
                busy = busy || slot.awaitingReply;
            }
            busy = busy || z->link->inFlight() > 0 || z->link->waiting() > 0;
        }
        if (!busy) return;
        if (monotonicTick() - start >= kQuiesceLimit) fail("logins or leavings went unanswered");
        pump(10);
    }
}
}  // namespace loadgen
