#include "net/core_transport.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/fields.h"
#include "core/wiped_string.h"

namespace tallysv {

namespace {

// The four octets and the port of a peer, as console lines print them.
struct PeerNumbers {
    int a, b, c, d, port;
};

PeerNumbers numbers(const Host& host) {
    const auto& ip = host.peer.address;
    return {ip[0], ip[1], ip[2], ip[3], host.peer.port};
}

// One number for an address and port, compared in a single step.
uint64_t peerKey(const PeerAddress& peer) {
    const auto& ip = peer.address;
    uint32_t address = static_cast<uint32_t>(ip[0]) | static_cast<uint32_t>(ip[1]) << 8 |
                       static_cast<uint32_t>(ip[2]) << 16 | static_cast<uint32_t>(ip[3]) << 24;
    return static_cast<uint64_t>(address) << 16 | peer.port;
}

// Whether tick `a` comes before tick `b` (ticks wrap).
bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Storage kept for reuse: reliable datagrams for a few windows, and message
// storage no larger than a couple of datagrams.
constexpr size_t kSpareStorage = 64;
constexpr size_t kLargestSpare = 2 * CoreTransport::kMaxDatagram;

// Core message types (byte 1 of a message of type 0).
enum CoreType : uint8_t {
    kConnectionRequest = 0x01,
    kReliable = 0x03,
    kAcknowledgement = 0x04,
    kSyncRequest = 0x05,
    kSyncResponse = 0x06,
    kDisconnect = 0x07,
    kSmallChunkBody = 0x08,
    kSmallChunkTail = 0x09,
    kBigChunk = 0x0A,
    kCluster = 0x0E,
};

}  // namespace

CoreTransport::CoreTransport(DatagramSink& sink, const Clock& clock, Log& log, const Settings& settings)
    : sink_(sink), clock_(clock), log_(log), settings_(settings), lastFloodDecay_(clock.tick()) {}

CoreTransport::~CoreTransport() {
    hosts_.clear();
    slots_.clear();
}

// ---------------------------------------------------------------- hosts

Host* CoreTransport::findHost(const PeerAddress& peer) const {
    const uint64_t key = peerKey(peer);
    for (Host* host : hosts_) {
        if (peerKey(host->peer) == key) return host;
    }
    return nullptr;
}

Host* CoreTransport::find(HostId id) const {
    if (!id || id.index >= slots_.size()) return nullptr;
    Host* host = slots_[id.index].get();
    return host->id == id && !host->closed() ? host : nullptr;
}

Host* CoreTransport::findOrCreateHost(const PeerAddress& peer) {
    if (Host* host = findHost(peer)) return host;
    return createHost(peer);
}

Host* CoreTransport::createHost(const PeerAddress& peer) {
    if (static_cast<int64_t>(hosts_.size()) > static_cast<int64_t>(settings_.maxQueueForLogin)) return nullptr;
    Host* host;
    if (freeSlots_.empty()) {
        const auto index = static_cast<uint32_t>(slots_.size());
        slots_.push_back(std::make_unique<Host>(*this, peer));
        host = slots_.back().get();
        host->id = HostId{index, 0};
    } else {
        // A blank host whose last use has ended: as a new one but for its
        // peer and its slot's next use.
        host = slots_[freeSlots_.back()].get();
        freeSlots_.pop_back();
        host->peer = peer;
        host->state = HostState::Handshake;
    }
    if (++host->id.generation == 0) host->id.generation = 1;
    host->sessionTimeout = static_cast<uint32_t>(settings_.kickOutDelay);
    host->lastReceiveTick = tick();
    noteDeadline(host->lastReceiveTick + host->sessionTimeout);
    hosts_.push_back(host);
    return host;
}

// The layer above has acted on every event of the handlings that closed
// these hosts: nothing of theirs is held any more.
void CoreTransport::reclaimClosed() {
    for (uint32_t index : closedSlots_) {
        Host* host = slots_[index].get();
        const HostId id = host->id;
        // Destroying the host destroys the zone layer's data on it.
        std::destroy_at(host);
        std::construct_at(host, *this, PeerAddress{});
        host->id = id;
        host->state = HostState::Closed;
        freeSlots_.push_back(index);
    }
    closedSlots_.clear();
}

std::vector<uint8_t> CoreTransport::takeDatagramStorage() {
    if (spareDatagrams_.empty()) return {};
    std::vector<uint8_t> bytes = std::move(spareDatagrams_.back());
    spareDatagrams_.pop_back();
    return bytes;
}

void CoreTransport::recycleDatagramStorage(std::vector<uint8_t>&& bytes) {
    if (bytes.capacity() == 0 || bytes.capacity() > kLargestSpare || spareDatagrams_.size() >= kSpareStorage) return;
    bytes.clear();
    spareDatagrams_.push_back(std::move(bytes));
}

void CoreTransport::markLoggedIn(Host& host) {
    if (host.closed()) return;
    host.state = HostState::LoggedIn;
    noteProbeDeadline(host);
}

bool CoreTransport::disconnectHost(Host& host) {
    if (host.closed()) return false;
    endSession(host, std::nullopt);
    return true;
}

void CoreTransport::endSession(Host& host, std::optional<CloseReason> reason) {
    if (const Host* old = host.supersedes) {
        // The address is the logged-in zone's, whose session runs on: a
        // disconnect notice would reach that zone and end it.
        PeerNumbers n = numbers(host);
        log_.printf("%i - Session kept: new connection from %i.%i.%i.%i:%i did not log in\n", old->logNumber, n.a, n.b,
                    n.c, n.d, n.port);
        closeHost(host, false, reason);
        return;
    }
    closeHost(host, true, reason);
}

Host* CoreTransport::takeOverSession(Host& host) {
    Host* old = host.supersedes;
    if (!old || old->closed()) return nullptr;
    PeerNumbers n = numbers(host);
    log_.printf("%i - Connection broken: Zone restarted at %i.%i.%i.%i:%i\n", old->logNumber, n.a, n.b, n.c, n.d,
                n.port);
    closeHost(*old, false, std::nullopt);
    return old;
}

void CoreTransport::punt(Host& host, const char* what) {
    PeerNumbers n = numbers(host);
    log_.printf("Malformed %s from %i.%i.%i.%i  Punt!\n", what, n.a, n.b, n.c, n.d);
    if (!host.closed()) endSession(host, CloseReason::Malformed);
}

void CoreTransport::sendGoodbye(Host& host, Goodbye how) {
    static constexpr uint8_t kGoodbye[2] = {0x00, kDisconnect};
    if (how == Goodbye::ReliableIfRoom && host.waiting.empty() && host.inFlight.size() < static_cast<size_t>(kWindow)) {
        queueReliable(host, kGoodbye, 2);
    } else {
        sendUnreliable(host, kGoodbye, 2);
    }
}

void CoreTransport::closeHost(Host& host, bool notice, std::optional<CloseReason> reason) {
    host.state = HostState::Closed;
    if (notice) sendGoodbye(host, Goodbye::ReliableIfRoom);
    if (host.supersedes) host.supersedes->supersededBy = nullptr;
    if (host.supersededBy) host.supersededBy->supersedes = nullptr;
    host.supersedes = host.supersededBy = nullptr;
    if (host.shedMessages > 0) reportShed(host);
    std::erase(hosts_, &host);
    closedSlots_.push_back(host.id.index);
    if (reason) ready_.push_back(TransportEvent{TransportEvent::Kind::Closed, &host, nullptr, *reason});
}

void CoreTransport::closeAllWithGoodbye() {
    for (Host* host : hosts_) {
        host->state = HostState::Closed;
        sendGoodbye(*host, Goodbye::Unnumbered);
        closedSlots_.push_back(host->id.index);
    }
    hosts_.clear();
}

void CoreTransport::stop() {
    TransportEvent unheard;
    while (nextEvent(unheard)) {
    }
    LogBatch batch(log_);
    closeAllWithGoodbye();
    reclaimClosed();
}

void CoreTransport::restart() {
    stop();
    // Every slot is free for the hosts to come, in the order a new
    // transport would make them.
    freeSlots_.clear();
    for (size_t i = slots_.size(); i > 0; --i) freeSlots_.push_back(static_cast<uint32_t>(i - 1));
    lastFloodDecay_ = clock_.tick();
    requestedPasses_.clear();
    shellDeadline_.reset();
    counters_ = {};
}

void CoreTransport::printHostList(Log& out) const {
    for (const Host* host : hosts_) {
        PeerNumbers n = numbers(*host);
        out.printf("%i.%i.%i.%i:%i\n", n.a, n.b, n.c, n.d, n.port);
        if (host->attachment) {
            for (const std::string& name : host->attachment->playerNames()) out.printf("%s, ", name.c_str());
        }
        out.write("\n");
    }
}

// ---------------------------------------------------------------- receiving

void CoreTransport::receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now) {
    TransportEvent unheard;
    while (nextEvent(unheard)) {
    }
    if (datagram.empty() || datagram.size() > static_cast<size_t>(kMaxDatagram)) return;
    ++counters_.datagramsIn;
    beginHandling(now);
    Host* host = findOrCreateHost(from);
    if (host) host = sessionFor(*host, datagram, from);
    if (!host) {
        ++counters_.peersRefused;
        log_.write("Connection request ignored: Host slots full.\n");
        return;
    }
    if (settings_.resetUnknownPeers && host->state == HostState::Handshake) {
        std::span<const uint8_t> notice = peerReset_.answer(datagram, from.address, now);
        if (!notice.empty()) {
            // Told its session is over, the peer holds no host slot either.
            sink_.send(from, notice);
            ++counters_.datagramsOut;
            closeHost(*host, false, std::nullopt);
            return;
        }
    }
    current_ = host;
    pushMessage(0, datagram.data(), static_cast<int>(datagram.size()));
    std::vector<uint8_t>& bytes = steps_.back().message.bytes;
    decryptDatagram(host->cipher, bytes.data(), static_cast<int>(bytes.size()));
}

void CoreTransport::beginHandling(uint32_t now) {
    reclaimClosed();
    handling_ = true;
    now_ = now;
    // The console lines of one datagram or pass, and of everything done
    // while acting on its events, are written out together at its end.
    log_.beginBatch();
}

void CoreTransport::endHandling() {
    if (Host* host = std::exchange(current_, nullptr); host && !host->closed()) {
        host->lastReceiveTick = now_;
        // Hearing from a zone shortens the wait before a resend to it.
        if (deadlineMoved_ && !host->inFlight.empty()) noteDeadline(resendDeadline(*host));
    }
    handling_ = false;
    reclaimClosed();
    log_.endBatch();
}

bool CoreTransport::nextEvent(TransportEvent& event) {
    if (!handling_) return false;
    for (;;) {
        if (!ready_.empty()) {
            event = ready_.front();
            ready_.pop_front();
            return true;
        }
        if (!steps_.empty()) {
            if (advanceDatagram(event)) return true;
            continue;
        }
        if (passing_) {
            if (advancePass(event)) return true;
            continue;
        }
        endHandling();
        return false;
    }
}

void CoreTransport::pushMessage(int depth, const uint8_t* bytes, int length) {
    Step& step = steps_.emplace_back();
    step.depth = depth;
    step.message.bytes = takeDatagramStorage();
    step.message.bytes.assign(bytes, bytes + length);
}

void CoreTransport::pushMessage(int depth, std::vector<uint8_t>&& bytes) {
    Step& step = steps_.emplace_back();
    step.depth = depth;
    step.message.bytes = std::move(bytes);
}

// A login carries its password in the clear once deciphered: no copy of a
// message outlives its handling (nor do those below). Bytes the layer above
// took over have moved out of the message.
void CoreTransport::popStep() {
    std::vector<uint8_t> bytes = std::move(steps_.back().message.bytes);
    steps_.pop_back();
    wipeBytes(bytes.data(), bytes.size());
    recycleDatagramStorage(std::move(bytes));
}

bool CoreTransport::advanceDatagram(TransportEvent& event) {
    Host& host = *current_;
    Step& step = steps_.back();
    switch (step.kind) {
        case Step::Kind::Message: {
            const int length = static_cast<int>(step.message.bytes.size());
            // Messages can carry messages (reliable payloads, chunk series,
            // cluster elements); past a fixed depth they are dropped so that
            // one datagram cannot drive the handling arbitrarily deep.
            if (step.handedOut || host.closed() || length < 1 || length > kMaxMessage || step.depth >= kMaxNesting) {
                popStep();
                return false;
            }
            step.message.host = &host;
            step.message.length = static_cast<int16_t>(length);
            if (step.message.bytes[0] != 0x00) {
                step.handedOut = true;
                event = TransportEvent{TransportEvent::Kind::Message, &host, &step.message};
                return true;
            }
            InboundMessage message = std::move(step.message);
            const int depth = step.depth;
            steps_.pop_back();
            onCore(message, depth);
            wipeBytes(message.bytes.data(), message.bytes.size());
            recycleDatagramStorage(std::move(message.bytes));
            return false;
        }
        case Step::Kind::Cluster: {
            const int length = static_cast<int>(step.message.bytes.size());
            const int offset = step.offset;
            if (host.closed() || offset >= length) {
                popStep();
                return false;
            }
            const int n = step.message.bytes[static_cast<size_t>(offset)];
            if (n == 0 || offset + n >= length) {
                popStep();
                punt(host, "cluster");
                return false;
            }
            step.offset += n + 1;
            uint8_t element[kMaxClusterElement];
            std::memcpy(element, step.message.bytes.data() + offset + 1, static_cast<size_t>(n));
            pushMessage(step.depth + 1, element, n);
            wipeBytes(element, sizeof element);
            return false;
        }
        case Step::Kind::HeldReliable: {
            if (host.closed()) {
                popStep();
                return false;
            }
            ++host.nextInboundSeq;
            auto held = host.pendingInbound.find(host.nextInboundSeq);
            if (held == host.pendingInbound.end()) {
                popStep();
                return false;
            }
            std::vector<uint8_t> datagram = std::move(held->second);
            host.pendingInbound.erase(held);
            pushMessage(step.depth + 1, datagram.data() + kReliableHeader,
                        static_cast<int>(datagram.size()) - kReliableHeader);
            wipeBytes(datagram);
            return false;
        }
    }
    return false;
}

Host* CoreTransport::sessionFor(Host& host, std::span<const uint8_t> datagram, const PeerAddress& from) {
    // A connection request comes in the clear and is 8 bytes long; nothing
    // else a zone sends in its session looks like one.
    const bool request = datagram.size() == 8 && datagram[0] == 0x00 && datagram[1] == kConnectionRequest;
    if (request && host.loggedIn()) {
        // The zone may have restarted on the same address and port, or the
        // request may be forged: a new session starts beside the old one,
        // which runs on until the new one has logged in (a newer request
        // replaces a new session that has not).
        if (Host* pending = host.supersededBy) endSession(*pending, CloseReason::Replaced);
        Host* fresh = createHost(from);
        if (!fresh) return nullptr;
        fresh->supersedes = &host;
        host.supersededBy = fresh;
        return fresh;
    }
    // While both run, the new session's reliable datagrams (its zone login)
    // are told from the old one's by their sequence numbers, read under
    // each session's key; everything else belongs to the old session.
    Host* pending = host.supersededBy;
    if (pending && datagram.size() > static_cast<size_t>(kReliableHeader) && datagram[0] == 0x00 &&
        datagram[1] == kReliable && fitsSession(*pending, datagram) && !fitsSession(host, datagram)) {
        return pending;
    }
    return &host;
}

// Whether a reliable datagram, deciphered with the host's key, carries a
// sequence number the host would hold or acknowledge as a duplicate.
bool CoreTransport::fitsSession(const Host& host, std::span<const uint8_t> datagram) {
    uint8_t header[kReliableHeader];
    std::memcpy(header, datagram.data(), sizeof header);
    decryptDatagram(host.cipher, header, kReliableHeader);
    const int64_t ahead = static_cast<int64_t>(readInt32(header, 2)) - host.nextInboundSeq;
    return ahead >= -kHoldWindow && ahead <= kHoldWindow;
}

void CoreTransport::reportUnhandled(const InboundMessage& message) {
    log_.printf("%i - Unhandled packet(%i)(%i)\n", message.host->logNumber, message.bytes[0],
                static_cast<int>(message.length));
}

// ---------------------------------------------------------------- core messages

void CoreTransport::onCore(InboundMessage& message, int depth) {
    Host& host = *message.host;
    if (message.length < 2) {
        punt(host, "special header");
        return;
    }
    const uint8_t type = message.bytes[1];
    switch (host.state) {
        case HostState::Handshake:
            if (type == kConnectionRequest) return onConnectionRequest(message);
            break;
        case HostState::Connected:
        case HostState::LoggedIn:
            switch (type) {
                case kConnectionRequest:
                    // A repeated handshake on a logged-in session has no effect.
                    if (host.state == HostState::Connected) onConnectionRequest(message);
                    return;
                case kReliable: return onReliable(message, depth);
                case kAcknowledgement: return onAcknowledgement(message);
                case kSyncRequest: return onSyncRequest(message);
                case kSyncResponse: return onSyncResponse(message);
                case kSmallChunkBody: return onSmallChunk(message, false, depth);
                case kSmallChunkTail: return onSmallChunk(message, true, depth);
                case kBigChunk: return onBigChunk(message, depth);
                case kCluster: {
                    Step& cluster = steps_.emplace_back();
                    cluster.kind = Step::Kind::Cluster;
                    cluster.depth = depth;
                    cluster.offset = 2;
                    cluster.message.bytes = std::move(message.bytes);
                    return;
                }
                default: break;
            }
            break;
        case HostState::Closed:
            return;
    }
    if (type == kDisconnect) {
        PeerNumbers n = numbers(host);
        log_.printf("Connection termination from %i.%i.%i.%i:%i  Bye!\n", n.a, n.b, n.c, n.d, n.port);
        endSession(host, CloseReason::Goodbye);
    }
    // Core types the transport does not know are ignored.
}

void CoreTransport::onConnectionRequest(InboundMessage& message) {
    Host& host = *message.host;
    PeerNumbers n = numbers(host);
    int32_t clientKey = message.length >= 6 ? readInt32(message.data(), 2) : 0;
    if (message.length != 8 || clientKey == 0) {
        punt(host, "connection request");
        return;
    }
    log_.printf("Connection request from %i.%i.%i.%i:%i\n", n.a, n.b, n.c, n.d, n.port);
    int32_t serverKey = settings_.encryptMode ? static_cast<int32_t>(0u - static_cast<uint32_t>(clientKey)) : 0;
    uint8_t reply[6] = {0x00, 0x02};
    writeInt32(reply, 2, serverKey);
    // The reply travels under the host's previous key (none for a new host).
    sendMessage(host, reply, 6, false);
    if (serverKey != 0) installSessionKey(host.cipher, serverKey);
    host.state = HostState::Connected;
    ready_.push_back(TransportEvent{TransportEvent::Kind::Connected, &host});
}

// ---------------------------------------------------------------- reliable delivery

void CoreTransport::onReliable(InboundMessage& message, int depth) {
    Host& host = *message.host;
    if (message.length <= kReliableHeader) {
        punt(host, "reliable header");
        return;
    }
    int32_t sequence = readInt32(message.data(), 2);
    int64_t ahead = static_cast<int64_t>(sequence) - static_cast<int64_t>(host.nextInboundSeq);
    // Too far ahead to hold: not acknowledged, so the zone sends it again.
    if (ahead > kHoldWindow) return;

    uint8_t ack[6] = {0x00, kAcknowledgement};
    writeInt32(ack, 2, sequence);
    sendMessage(host, ack, 6, false);

    if (ahead == 0) {
        // The payload, then the held datagrams that follow it in order.
        steps_.emplace_back().kind = Step::Kind::HeldReliable;
        steps_.back().depth = depth;
        pushMessage(depth + 1, message.data() + kReliableHeader, message.length - kReliableHeader);
    } else if (ahead > 0) {
        if (!host.pendingInbound.contains(sequence)) host.pendingInbound.emplace(sequence, std::move(message.bytes));
    }
}

void CoreTransport::onAcknowledgement(InboundMessage& message) {
    Host& host = *message.host;
    if (message.length != 6) {
        punt(host, "ACK");
        return;
    }
    int32_t sequence = readInt32(message.data(), 2);
    if (sequence > host.releasedSeq) {
        PeerNumbers n = numbers(host);
        log_.printf("Malformed ACK from %i.%i.%i.%i:%i  Punt!\n", n.a, n.b, n.c, n.d, n.port);
        endSession(host, CloseReason::Malformed);
        return;
    }
    auto entry = std::find_if(host.inFlight.begin(), host.inFlight.end(),
                              [&](const ReliableEntry& e) { return e.sequence == sequence; });
    if (entry == host.inFlight.end()) return;
    uint32_t sample = tick() - entry->lastSendTick;
    host.roundTrip = host.roundTrip == 0
                         ? sample
                         : static_cast<uint32_t>((static_cast<uint64_t>(host.roundTrip) + sample) / 2);
    recycleDatagramStorage(std::move(entry->datagram));
    if (entry == host.inFlight.begin()) {
        host.inFlight.pop_front();
    } else {
        host.inFlight.erase(entry);
    }

    ++host.releasedSeq;
    releaseWaiting(host);
    // Nothing awaits the zone's acknowledgement now: its silence counts
    // toward a probe.
    noteProbeDeadline(host);
}

void CoreTransport::onSyncRequest(InboundMessage& message) {
    Host& host = *message.host;
    if (message.length < 6) {
        punt(host, "sync request");
        return;
    }
    // The reply repeats the zone's stamp and gives the server's time in
    // hundredths of a second, three bytes of it.
    uint8_t reply[9] = {0x00, 0x05};
    std::memcpy(reply + 2, message.data() + 2, 4);
    uint32_t hundredths = tick() / 10u;
    reply[6] = static_cast<uint8_t>(hundredths);
    reply[7] = static_cast<uint8_t>(hundredths >> 8);
    reply[8] = static_cast<uint8_t>(hundredths >> 16);
    sendMessage(host, reply, 9, false);
}

void CoreTransport::onSyncResponse(InboundMessage& message) {
    if (message.length < 10) punt(*message.host, "sync response");
}

// ---------------------------------------------------------------- sending

bool CoreTransport::sendMessage(Host& host, const uint8_t* bytes, int length, bool reliable, Overload overload) {
    if (length < 1) return false;
    // A host that has been disconnected gets nothing more.
    if (host.closed()) return false;
    if (!reliable) {
        if (length > kMaxDatagram) return false;
        sendUnreliable(host, bytes, length);
        return true;
    }
    if (length > kMaxReliableMessage) return false;
    if (overload == Overload::Shed && host.waiting.size() >= kMaxWaiting) {
        ++host.shedMessages;
        return false;
    }
    queueReliable(host, bytes, length);
    return true;
}

void CoreTransport::sendUnreliable(Host& host, const uint8_t* bytes, int length) {
    uint8_t datagram[kMaxDatagram];
    std::memcpy(datagram, bytes, static_cast<size_t>(length));
    encryptDatagram(host.cipher, datagram, length);
    sink_.send(host.peer, std::span<const uint8_t>(datagram, static_cast<size_t>(length)));
    ++counters_.datagramsOut;
}

void CoreTransport::queueReliable(Host& host, const uint8_t* bytes, int length) {
    const uint32_t now = tick();
    if (host.waiting.empty() && host.inFlight.size() < static_cast<size_t>(kWindow)) {
        ReliableEntry entry = startReliableDatagram(host, now);
        entry.datagram.insert(entry.datagram.end(), bytes, bytes + length);
        sendReliableDatagram(host, std::move(entry));
        return;
    }
    WaitingMessage message{takeDatagramStorage(), now};
    message.bytes.assign(bytes, bytes + length);
    host.waiting.push_back(std::move(message));
}

ReliableEntry CoreTransport::startReliableDatagram(Host& host, uint32_t firstSendTick) {
    ReliableEntry entry;
    entry.datagram = takeDatagramStorage();
    uint8_t header[kReliableHeader] = {0x00, 0x03};
    writeInt32(header, 2, host.nextOutboundSeq);
    entry.datagram.insert(entry.datagram.end(), header, header + kReliableHeader);
    entry.sequence = host.nextOutboundSeq;
    entry.firstSendTick = firstSendTick;
    return entry;
}

void CoreTransport::sendReliableDatagram(Host& host, ReliableEntry&& entry) {
    encryptDatagram(host.cipher, entry.datagram.data(), static_cast<int>(entry.datagram.size()));
    entry.lastSendTick = tick();
    sink_.send(host.peer, entry.datagram);
    ++counters_.datagramsOut;
    if (!host.closed()) noteDeadline(entry.lastSendTick + 2u * host.roundTrip);
    host.releasedSeq = entry.sequence;
    host.inFlight.push_back(std::move(entry));
    ++host.nextOutboundSeq;
}

// How many messages from the head of what waits go out together: those
// that fit one after another into a cluster within one reliable datagram
// of at most the zone's read limit, when there are at least two of them.
size_t CoreTransport::clusterableCount(const Host& host) const {
    if (!settings_.clusterToZones) return 1;
    int room = kMaxZoneReliableMessage - 2;  // the cluster's own two bytes
    size_t count = 0;
    for (const WaitingMessage& message : host.waiting) {
        const int n = static_cast<int>(message.bytes.size());
        if (n > kMaxClusterElement || n + 1 > room) break;
        room -= n + 1;
        ++count;
    }
    return std::max<size_t>(count, 1);
}

void CoreTransport::releaseWaiting(Host& host) {
    while (!host.waiting.empty() && host.inFlight.size() < static_cast<size_t>(kWindow)) {
        const size_t count = clusterableCount(host);
        ReliableEntry entry = startReliableDatagram(host, host.waiting.front().queuedTick);
        if (count > 1) entry.datagram.insert(entry.datagram.end(), {0x00, 0x0E});
        for (size_t i = 0; i < count; ++i) {
            std::vector<uint8_t>& bytes = host.waiting.front().bytes;
            if (count > 1) entry.datagram.push_back(static_cast<uint8_t>(bytes.size()));
            entry.datagram.insert(entry.datagram.end(), bytes.begin(), bytes.end());
            recycleDatagramStorage(std::move(bytes));
            host.waiting.pop_front();
        }
        sendReliableDatagram(host, std::move(entry));
    }
    if (host.shedMessages > 0 && host.waiting.size() <= kOverloadEnd) reportShed(host);
}

void CoreTransport::reportShed(Host& host) {
    log_.printf("%i - Send queue full: %u messages shed\n", host.logNumber, host.shedMessages);
    host.shedMessages = 0;
}

// ---------------------------------------------------------------- chunks and clusters

// Hands on a reassembled message; the buffer starts empty for the next
// series.
void CoreTransport::dispatchWhole(std::vector<uint8_t>& buffer, int depth) {
    pushMessage(depth + 1, std::move(buffer));
    buffer.clear();
}

void CoreTransport::onSmallChunk(InboundMessage& message, bool tail, int depth) {
    Host& host = *message.host;
    const char* what = tail ? "small chunk tail" : "small chunk body";
    // A message past 32767 bytes cannot be represented; its chunk counts as
    // malformed.
    const int count = message.length - 2;
    if (message.length < 3 || host.smallChunkBuffer.size() + static_cast<size_t>(count) > static_cast<size_t>(kMaxMessage)) {
        punt(host, what);
        return;
    }
    host.smallChunkBuffer.insert(host.smallChunkBuffer.end(), message.data() + 2, message.data() + message.length);
    if (tail) dispatchWhole(host.smallChunkBuffer, depth);
}

void CoreTransport::onBigChunk(InboundMessage& message, int depth) {
    Host& host = *message.host;
    const int count = message.length - 6;
    if (message.length < 7 || host.bigChunkBuffer.size() + static_cast<size_t>(count) > static_cast<size_t>(kMaxMessage)) {
        punt(host, "big chunk");
        return;
    }
    host.bigChunkBuffer.insert(host.bigChunkBuffer.end(), message.data() + 6, message.data() + message.length);
    int32_t total = readInt32(message.data(), 2);
    if (static_cast<int32_t>(host.bigChunkBuffer.size()) != total) return;
    dispatchWhole(host.bigChunkBuffer, depth);
}

// ---------------------------------------------------------------- maintenance

void CoreTransport::maintain(uint32_t now) {
    TransportEvent unheard;
    while (nextEvent(unheard)) {
    }
    beginHandling(now);
    std::erase_if(requestedPasses_, [&](uint32_t due) { return !before(now, due); });
    if (now - lastFloodDecay_ > kFloodDecayInterval) {
        ready_.push_back(TransportEvent{TransportEvent::Kind::FloodDecay});
        lastFloodDecay_ = now;
    }
    passHosts_.assign(hosts_.begin(), hosts_.end());
    passNext_ = 0;
    passHeard_ = false;
    passing_ = true;
}

// Each host in turn: its own pass for the layer above, then its idle test,
// its resends and its probe.
bool CoreTransport::advancePass(TransportEvent& event) {
    if (passNext_ >= passHosts_.size()) {
        passing_ = false;
        passHosts_.clear();
        return false;
    }
    Host& host = *passHosts_[passNext_];
    if (!host.closed() && !passHeard_) {
        passHeard_ = true;
        event = TransportEvent{TransportEvent::Kind::HostPass, &host};
        return true;
    }
    ++passNext_;
    passHeard_ = false;
    if (host.closed()) return false;
    if (!host.loggedIn() && now_ - host.lastReceiveTick >= host.sessionTimeout) {
        PeerNumbers n = numbers(host);
        log_.printf("Session timeout: %i.%i.%i.%i:%i  Punt!\n", n.a, n.b, n.c, n.d, n.port);
        endSession(host, CloseReason::SessionTimeout);
        return false;
    }
    retransmit(host, now_);
    if (!host.closed()) sendIdleProbe(host, now_);
    return false;
}

void CoreTransport::requestPassBy(uint32_t due) {
    requestedPasses_.push_back(due);
    noteDeadline(due);
}

std::optional<uint32_t> CoreTransport::nextDeadline() {
    std::optional<uint32_t> soonest;
    auto consider = [&](uint32_t due) {
        if (!soonest || before(due, *soonest)) soonest = due;
    };
    consider(lastFloodDecay_ + kFloodDecayInterval + 1);
    for (uint32_t due : requestedPasses_) consider(due);
    const uint32_t probe = static_cast<uint32_t>(std::max(settings_.zoneIdleProbe, 0));
    for (const Host* host : hosts_) {
        if (!host->loggedIn()) consider(host->lastReceiveTick + host->sessionTimeout);
        if (!host->inFlight.empty()) {
            consider(resendDeadline(*host));
        } else if (host->loggedIn() && probe > 0 && host->waiting.empty()) {
            consider(host->lastReceiveTick + probe);
        }
    }
    shellDeadline_ = soonest;
    return soonest;
}

// As retransmit() decides: the earliest resend or packet loss among the
// datagrams in flight.
uint32_t CoreTransport::resendDeadline(const Host& host) const {
    const uint32_t lossLimit = static_cast<uint32_t>(settings_.packetLossLimit);
    std::optional<uint32_t> soonest;
    for (const ReliableEntry& entry : host.inFlight) {
        for (uint32_t due : {entry.firstSendTick + lossLimit, entry.lastSendTick + resendWait(host, entry)}) {
            if (!soonest || before(due, *soonest)) soonest = due;
        }
    }
    return soonest.value_or(tick());
}

// How long a datagram in flight waits since its last send before it is sent
// again. A zone heard from since then is reading: the loss was the
// network's, and the resends keep to twice the round trip.
uint32_t CoreTransport::resendWait(const Host& host, const ReliableEntry& entry) const {
    const bool heard = static_cast<int32_t>(host.lastReceiveTick - entry.lastSendTick) > 0;
    return entry.resendWait != 0 && !heard ? entry.resendWait : 2u * host.roundTrip;
}

void CoreTransport::noteProbeDeadline(const Host& host) {
    if (host.loggedIn() && settings_.zoneIdleProbe > 0 && host.inFlight.empty())
        noteDeadline(tick() + static_cast<uint32_t>(settings_.zoneIdleProbe));
}

void CoreTransport::noteDeadline(uint32_t due) {
    if (!deadlineMoved_) return;
    if (shellDeadline_ && !before(due, *shellDeadline_)) return;
    shellDeadline_ = due;
    deadlineMoved_();
}

// A zone whose machine lost power or network sends nothing more, and only
// a datagram that stays unacknowledged breaks a connection: a logged-in zone
// silent for ZoneIdleProbe ms, with nothing of ours awaiting its
// acknowledgement (that would tell as much), gets a probe. Acknowledged, it
// restarts the silence; unanswered, it outlives the packet-loss limit.
void CoreTransport::sendIdleProbe(Host& host, uint32_t now) {
    if (!host.loggedIn() || settings_.zoneIdleProbe <= 0) return;
    if (!host.inFlight.empty() || !host.waiting.empty()) return;
    if (now - host.lastReceiveTick < static_cast<uint32_t>(settings_.zoneIdleProbe)) return;
    sendMessage(host, kIdleProbe, sizeof kIdleProbe, true);
}

void CoreTransport::retransmit(Host& host, uint32_t now) {
    uint32_t lossLimit = static_cast<uint32_t>(settings_.packetLossLimit);
    // With back-off each resend of a datagram waits twice as long as the
    // last, so a zone that stalls or cannot read gets a few datagrams a
    // second rather than a stream that fills its receive buffer (and drops
    // the disconnect notice it would need on waking). The first resend is
    // as early as without, so a single loss costs no more.
    const uint32_t longestWait = std::max(kResendWaitCap, host.roundTrip);
    for (size_t i = 0; i < host.inFlight.size(); ++i) {
        ReliableEntry& entry = host.inFlight[i];
        if (now - entry.firstSendTick >= lossLimit) {
            log_.printf("%i - Connection broken: Reliable packet lost\n", host.logNumber);
            endSession(host, CloseReason::ReliableLost);
            return;
        }
        const uint32_t wait = resendWait(host, entry);
        if (now - entry.lastSendTick >= wait) {
            sink_.send(host.peer, entry.datagram);
            ++counters_.datagramsOut, ++counters_.resends, ++host.resends;
            entry.lastSendTick = now;
            if (settings_.resendBackoff) {
                const uint64_t doubled = std::max<uint64_t>(2ull * wait, kLeastBackoffWait);
                // Never shorter than the wait before: the first one (twice
                // the round trip) may exceed the cap.
                entry.resendWait = std::max(wait, static_cast<uint32_t>(std::min<uint64_t>(doubled, longestWait)));
            }
        }
    }
}

}  // namespace tallysv
