#include "net/core_transport.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/fields.h"

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

// Storage kept for reuse: reliable datagrams for a few windows, and message
// storage no larger than a couple of datagrams.
constexpr size_t kSpareStorage = 64;
constexpr size_t kLargestSpare = 2 * CoreTransport::kMaxDatagram;

}  // namespace

CoreTransport::CoreTransport(DatagramSink& sink, const Clock& clock, Log& log, const Settings& settings)
    : sink_(sink), clock_(clock), log_(log), settings_(settings), lastFloodDecay_(clock.tick()) {
    unhandled_ = entryOf(&CoreTransport::onUnhandled);
    ignore_ = std::make_shared<const MessageHandler>([](InboundMessage&) { return true; });
    coreDispatch_ = entryOf(&CoreTransport::onCoreDispatch);
    connectionRequest_ = entryOf(&CoreTransport::onConnectionRequest);
    disconnect_ = entryOf(&CoreTransport::onDisconnect);
    reliable_ = entryOf(&CoreTransport::onReliable);
    acknowledgement_ = entryOf(&CoreTransport::onAcknowledgement);
    syncRequest_ = entryOf(&CoreTransport::onSyncRequest);
    syncResponse_ = entryOf(&CoreTransport::onSyncResponse);
    smallChunkBody_ = entryOf(&CoreTransport::onSmallChunkBody);
    smallChunkTail_ = entryOf(&CoreTransport::onSmallChunkTail);
    bigChunk_ = entryOf(&CoreTransport::onBigChunk);
    cluster_ = entryOf(&CoreTransport::onCluster);
    zoneLogin_ = unhandled_;
}

HandlerEntry CoreTransport::entryOf(bool (CoreTransport::*method)(InboundMessage&)) {
    return std::make_shared<const MessageHandler>([this, method](InboundMessage& m) { return (this->*method)(m); });
}

CoreTransport::~CoreTransport() {
    removedHosts_.clear();
    hosts_.clear();
}

// ---------------------------------------------------------------- hosts

Host* CoreTransport::findHost(const PeerAddress& peer) const {
    const uint64_t key = peerKey(peer);
    for (const auto& host : hosts_) {
        if (peerKey(host->peer) == key) return host.get();
    }
    return nullptr;
}

Host* CoreTransport::findOrCreateHost(const PeerAddress& peer) {
    if (Host* host = findHost(peer)) return host;
    if (static_cast<int64_t>(hosts_.size()) > static_cast<int64_t>(settings_.maxQueueForLogin)) return nullptr;
    std::unique_ptr<Host> host;
    if (spareHosts_.empty()) {
        host = std::make_unique<Host>(*this, peer);
    } else {
        // A blank host from the last restart: as a new one but for its peer.
        host = std::move(spareHosts_.back());
        spareHosts_.pop_back();
        host->peer = peer;
    }
    installInitialHandlers(*host);
    host->sessionTimeout = static_cast<uint32_t>(settings_.kickOutDelay);
    host->lastReceiveTick = clock_.tick();
    hosts_.push_back(std::move(host));
    return hosts_.back().get();
}

MessageHandler CoreTransport::unhandledHandler() { return *unhandled_; }

MessageHandler CoreTransport::ignoreHandler() { return *ignore_; }

void CoreTransport::setZoneLoginHandler(MessageHandler handler) {
    zoneLogin_ = handler ? std::make_shared<const MessageHandler>(std::move(handler)) : unhandled_;
}

// An empty entry stands for the default of its table (unhandled, ignore):
// a new host then costs no reference count on each of its 512 entries.
void CoreTransport::installInitialHandlers(Host& host) {
    host.messageHandlers[0] = coreDispatch_;
    host.coreHandlers[1] = connectionRequest_;
    host.coreHandlers[7] = disconnect_;
}

// A handler may replace its own entry while it runs (the zone login does);
// the entry it runs from is kept until the processing ends.
void CoreTransport::replaceEntry(HandlerEntry& slot, HandlerEntry entry) {
    if (processing_ > 0 || nesting_ > 0) retiredEntries_.push_back(std::move(slot));
    slot = std::move(entry);
}

void CoreTransport::setMessageHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength) {
    replaceEntry(host.messageHandlers[type],
                 handler ? std::make_shared<const MessageHandler>(std::move(handler)) : unhandled_);
    host.messageMinLength[type] = minLength;
}

void CoreTransport::setCoreHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength) {
    replaceEntry(host.coreHandlers[type], handler ? std::make_shared<const MessageHandler>(std::move(handler)) : ignore_);
    host.coreMinLength[type] = minLength;
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

void CoreTransport::disconnectHost(Host& host) {
    if (host.removed) return;
    host.removed = true;
    static const uint8_t notice[2] = {0x00, 0x07};
    if (host.waiting.empty() && host.inFlight.size() < static_cast<size_t>(kWindow)) {
        queueReliable(host, notice, 2);
    } else {
        sendUnreliable(host, notice, 2);
    }
    if (host.shedMessages > 0) reportShed(host);
    if (host.scoreId != -1 && zoneSessionEnd_) zoneSessionEnd_(host);
    auto it = std::find_if(hosts_.begin(), hosts_.end(), [&](const auto& h) { return h.get() == &host; });
    if (it != hosts_.end()) {
        removedHosts_.push_back(std::move(*it));
        hosts_.erase(it);
    }
    if (processing_ == 0) releaseRemoved();
}

void CoreTransport::releaseRemoved() {
    // Destroying a host may run the zone layer's attachment destructor; take
    // the list out first so that nothing it does can disturb the walk.
    if (!removedHosts_.empty()) {
        std::vector<std::unique_ptr<Host>> doomed;
        doomed.swap(removedHosts_);
        doomed.clear();
    }
    retiredEntries_.clear();
}

void CoreTransport::stop() {
    LogBatch batch(log_);
    Processing processing(*this);
    static const uint8_t notice[2] = {0x00, 0x07};
    for (auto& host : hosts_) sendMessage(*host, notice, 2, false);
    for (auto& host : hosts_) {
        host->removed = true;
        removedHosts_.push_back(std::move(host));
    }
    hosts_.clear();
}

void CoreTransport::restart() {
    std::vector<std::unique_ptr<Host>> dropped;
    {
        LogBatch batch(log_);
        Processing processing(*this);
        static const uint8_t notice[2] = {0x00, 0x07};
        for (auto& host : hosts_) sendMessage(*host, notice, 2, false);
        for (auto& host : hosts_) host->removed = true;
        dropped.swap(hosts_);
    }
    // Each host is destroyed (with its zone layer's data) and its storage
    // made a blank host for the hosts to come, up to a few.
    for (auto& host : dropped) {
        if (spareHosts_.size() >= kSpareHosts) continue;
        std::destroy_at(host.get());
        std::construct_at(host.get(), *this, PeerAddress{});
        spareHosts_.push_back(std::move(host));
    }
    dropped.clear();
    lastFloodDecay_ = clock_.tick();
    counters_ = {};
}

// Prints a line about the peer (its four octets, then its port for the
// formats that show one) and disconnects it.
void CoreTransport::disconnectWithLine(Host& host, const char* format) {
    PeerNumbers n = numbers(host);
    log_.printf(format, n.a, n.b, n.c, n.d, n.port);
    disconnectHost(host);
}

void CoreTransport::printHostList(Log& out) const {
    for (const auto& host : hosts_) {
        PeerNumbers n = numbers(*host);
        out.printf("%i.%i.%i.%i:%i\n", n.a, n.b, n.c, n.d, n.port);
        if (host->attachment) {
            for (const std::string& name : host->attachment->playerNames()) out.printf("%s, ", name.c_str());
        }
        out.write("\n");
    }
}

// ---------------------------------------------------------------- receiving

void CoreTransport::receive(std::span<const uint8_t> datagram, const PeerAddress& from) {
    if (datagram.empty() || datagram.size() > static_cast<size_t>(kMaxDatagram)) return;
    ++counters_.datagramsIn;
    // The console lines of one datagram are written out together once it
    // has been handled.
    LogBatch batch(log_);
    Processing processing(*this);
    Host* host = findOrCreateHost(from);
    if (!host) {
        ++counters_.peersRefused;
        log_.write("Connection request ignored: Host slots full.\n");
        return;
    }
    uint8_t buffer[kMaxDatagram];
    int length = static_cast<int>(datagram.size());
    std::memcpy(buffer, datagram.data(), datagram.size());
    decryptDatagram(host->cipher, buffer, length);
    dispatchMessage(*host, buffer, length);
}

void CoreTransport::dispatchInner(Host& host, const uint8_t* bytes, int length) {
    if (host.removed || length < 1 || length > kMaxMessage) return;
    // Messages can carry messages (reliable payloads, chunk series, cluster
    // elements); past a fixed depth they are dropped so that one datagram
    // cannot drive the handlers arbitrarily deep.
    if (nesting_ >= kMaxNesting) return;
    if (length < host.messageMinLength[bytes[0]]) {
        log_.printf("%i - Short packet(%i)(%i) dropped\n", host.scoreId, bytes[0], length);
        return;
    }
    // Should the handler replace its own entry, the entry is retired, not
    // destroyed, so the handler stays valid until the processing ends.
    const HandlerEntry& entry = host.messageHandlers[bytes[0]];
    const MessageHandler& handler = entry ? *entry : *unhandled_;
    std::vector<uint8_t>& storage = messageStorage_[static_cast<size_t>(nesting_)];
    InboundMessage message{&host, static_cast<int16_t>(length), std::move(storage)};
    message.bytes.assign(bytes, bytes + length);
    ++nesting_;
    handler(message);
    --nesting_;
    // Bytes the handler took over have moved out of the message; the
    // storage of a large message is not kept.
    if (message.bytes.capacity() <= kLargestSpare) storage = std::move(message.bytes);
}

void CoreTransport::dispatchMessage(Host& host, const uint8_t* bytes, int length) {
    Processing processing(*this);
    dispatchInner(host, bytes, length);
    if (!host.removed) host.lastReceiveTick = clock_.tick();
}

bool CoreTransport::onUnhandled(InboundMessage& message) {
    log_.printf("%i - Unhandled packet(%i)(%i)\n", message.host->scoreId, message.bytes[0],
                static_cast<int>(message.length));
    return true;
}

bool CoreTransport::onCoreDispatch(InboundMessage& message) {
    Host& host = *message.host;
    if (message.length > 1) {
        if (message.length < host.coreMinLength[message.bytes[1]]) return false;
        const HandlerEntry& entry = host.coreHandlers[message.bytes[1]];
        const MessageHandler& handler = entry ? *entry : *ignore_;
        handler(message);
        return false;
    }
    disconnectWithLine(host, "Malformed special header from %i.%i.%i.%i  Punt!\n");
    return true;
}

bool CoreTransport::onConnectionRequest(InboundMessage& message) {
    Host& host = *message.host;
    PeerNumbers n = numbers(host);
    int32_t clientKey = message.length >= 6 ? readInt32(message.data(), 2) : 0;
    if (message.length != 8 || clientKey == 0) {
        log_.printf("Malformed connection request from %i.%i.%i.%i  Punt!\n", n.a, n.b, n.c, n.d);
        disconnectHost(host);
        return true;
    }
    log_.printf("Connection request from %i.%i.%i.%i:%i\n", n.a, n.b, n.c, n.d, n.port);
    int32_t serverKey = settings_.encryptMode ? static_cast<int32_t>(0u - static_cast<uint32_t>(clientKey)) : 0;
    uint8_t reply[6] = {0x00, 0x02};
    writeInt32(reply, 2, serverKey);
    // The reply travels under the host's previous key (none for a new host).
    sendMessage(host, reply, 6, false);
    if (serverKey != 0) installSessionKey(host.cipher, serverKey);

    replaceEntry(host.coreHandlers[3], reliable_);
    replaceEntry(host.coreHandlers[4], acknowledgement_);
    replaceEntry(host.coreHandlers[5], syncRequest_);
    replaceEntry(host.coreHandlers[6], syncResponse_);
    replaceEntry(host.coreHandlers[8], smallChunkBody_);
    replaceEntry(host.coreHandlers[9], smallChunkTail_);
    replaceEntry(host.coreHandlers[10], bigChunk_);
    replaceEntry(host.coreHandlers[14], cluster_);
    replaceEntry(host.messageHandlers[2], zoneLogin_);
    return true;
}

bool CoreTransport::onDisconnect(InboundMessage& message) {
    disconnectWithLine(*message.host, "Connection termination from %i.%i.%i.%i:%i  Bye!\n");
    return true;
}

// ---------------------------------------------------------------- reliable delivery

bool CoreTransport::onReliable(InboundMessage& message) {
    Host& host = *message.host;
    if (message.length <= kReliableHeader) {
        disconnectWithLine(host, "Malformed reliable header from %i.%i.%i.%i  Punt!\n");
        return true;
    }
    int32_t sequence = readInt32(message.data(), 2);
    int64_t ahead = static_cast<int64_t>(sequence) - static_cast<int64_t>(host.nextInboundSeq);
    // Too far ahead to hold: not acknowledged, so the zone sends it again.
    if (ahead > kHoldWindow) return true;

    uint8_t ack[6] = {0x00, 0x04};
    writeInt32(ack, 2, sequence);
    sendMessage(host, ack, 6, false);

    if (ahead == 0) {
        deliverPayload(host, message.bytes);
        while (!host.removed) {
            ++host.nextInboundSeq;
            auto held = host.pendingInbound.find(host.nextInboundSeq);
            if (held == host.pendingInbound.end()) break;
            std::vector<uint8_t> datagram = std::move(held->second);
            host.pendingInbound.erase(held);
            deliverPayload(host, datagram);
        }
    } else if (ahead > 0) {
        if (!host.pendingInbound.contains(sequence)) {
            host.pendingInbound.emplace(sequence, std::move(message.bytes));
            return false;
        }
    }
    return true;
}

void CoreTransport::deliverPayload(Host& host, const std::vector<uint8_t>& datagram) {
    dispatchInner(host, datagram.data() + kReliableHeader, static_cast<int>(datagram.size()) - kReliableHeader);
}

bool CoreTransport::onAcknowledgement(InboundMessage& message) {
    Host& host = *message.host;
    PeerNumbers n = numbers(host);
    if (message.length != 6) {
        log_.printf("Malformed ACK from %i.%i.%i.%i  Punt!\n", n.a, n.b, n.c, n.d);
        disconnectHost(host);
        return true;
    }
    int32_t sequence = readInt32(message.data(), 2);
    if (sequence > host.releasedSeq) {
        log_.printf("Malformed ACK from %i.%i.%i.%i:%i  Punt!\n", n.a, n.b, n.c, n.d, n.port);
        disconnectHost(host);
        return true;
    }
    auto entry = std::find_if(host.inFlight.begin(), host.inFlight.end(),
                              [&](const ReliableEntry& e) { return e.sequence == sequence; });
    if (entry == host.inFlight.end()) return true;
    uint32_t now = clock_.tick();
    uint32_t sample = now - entry->lastSendTick;
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
    return true;
}

bool CoreTransport::onSyncRequest(InboundMessage& message) {
    Host& host = *message.host;
    if (message.length < 6) {
        disconnectWithLine(host, "Malformed sync request from %i.%i.%i.%i  Punt!\n");
        return true;
    }
    // The reply repeats the zone's stamp and gives the server's time in
    // hundredths of a second, three bytes of it.
    uint8_t reply[9] = {0x00, 0x05};
    std::memcpy(reply + 2, message.data() + 2, 4);
    uint32_t hundredths = clock_.tick() / 10u;
    reply[6] = static_cast<uint8_t>(hundredths);
    reply[7] = static_cast<uint8_t>(hundredths >> 8);
    reply[8] = static_cast<uint8_t>(hundredths >> 16);
    sendMessage(host, reply, 9, false);
    return true;
}

bool CoreTransport::onSyncResponse(InboundMessage& message) {
    if (message.length < 10) {
        disconnectWithLine(*message.host, "Malformed sync response from %i.%i.%i.%i  Punt!\n");
    }
    return true;
}

// ---------------------------------------------------------------- sending

bool CoreTransport::sendMessage(Host& host, const uint8_t* bytes, int length, bool reliable, Overload overload) {
    if (length < 1) return false;
    // A host that has been disconnected gets nothing more.
    if (host.removed) return false;
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
    const uint32_t now = clock_.tick();
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
    entry.lastSendTick = clock_.tick();
    sink_.send(host.peer, entry.datagram);
    ++counters_.datagramsOut;
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
    log_.printf("%i - Send queue full: %u messages shed\n", host.scoreId, host.shedMessages);
    host.shedMessages = 0;
}

// ---------------------------------------------------------------- chunks and clusters

bool CoreTransport::appendChunk(Host& host, std::vector<uint8_t>& buffer, const uint8_t* bytes, int count,
                                const char* malformedFormat) {
    // A message past 32767 bytes cannot be represented; its chunk counts as
    // malformed.
    if (buffer.size() + static_cast<size_t>(count) > static_cast<size_t>(kMaxMessage)) {
        disconnectWithLine(host, malformedFormat);
        return false;
    }
    buffer.insert(buffer.end(), bytes, bytes + count);
    return true;
}

bool CoreTransport::onSmallChunkBody(InboundMessage& message) {
    Host& host = *message.host;
    static const char* kMalformed = "Malformed small chunk body from %i.%i.%i.%i  Punt!\n";
    if (message.length < 3) {
        disconnectWithLine(host, kMalformed);
        return true;
    }
    appendChunk(host, host.smallChunkBuffer, message.data() + 2, message.length - 2, kMalformed);
    return true;
}

bool CoreTransport::onSmallChunkTail(InboundMessage& message) {
    Host& host = *message.host;
    static const char* kMalformed = "Malformed small chunk tail from %i.%i.%i.%i  Punt!\n";
    if (message.length < 3) {
        disconnectWithLine(host, kMalformed);
        return true;
    }
    if (!appendChunk(host, host.smallChunkBuffer, message.data() + 2, message.length - 2, kMalformed)) return true;
    std::vector<uint8_t> whole = std::move(host.smallChunkBuffer);
    host.smallChunkBuffer.clear();
    dispatchMessage(host, whole.data(), static_cast<int>(whole.size()));
    if (!host.removed) host.smallChunkBuffer.clear();
    return true;
}

bool CoreTransport::onBigChunk(InboundMessage& message) {
    Host& host = *message.host;
    static const char* kMalformed = "Malformed big chunk from %i.%i.%i.%i  Punt!\n";
    if (message.length < 7) {
        disconnectWithLine(host, kMalformed);
        return true;
    }
    if (!appendChunk(host, host.bigChunkBuffer, message.data() + 6, message.length - 6, kMalformed)) return true;
    int32_t total = readInt32(message.data(), 2);
    if (static_cast<int32_t>(host.bigChunkBuffer.size()) != total) return true;
    std::vector<uint8_t> whole = std::move(host.bigChunkBuffer);
    host.bigChunkBuffer.clear();
    dispatchMessage(host, whole.data(), static_cast<int>(whole.size()));
    if (!host.removed) host.bigChunkBuffer.clear();
    return true;
}

bool CoreTransport::onCluster(InboundMessage& message) {
    Host& host = *message.host;
    int length = message.length;
    int offset = 2;
    while (offset < length) {
        int n = message.bytes[static_cast<size_t>(offset)];
        if (n == 0 || offset + n >= length) {
            PeerNumbers p = numbers(host);
            log_.printf("Malformed cluster from %i.%i.%i.%i  Punt!\n", p.a, p.b, p.c, p.d);
            disconnectHost(host);
            return true;
        }
        dispatchMessage(host, message.data() + offset + 1, n);
        if (host.removed) return true;
        offset += n + 1;
    }
    return true;
}

// ---------------------------------------------------------------- maintenance

void CoreTransport::maintain() {
    LogBatch batch(log_);
    Processing processing(*this);
    uint32_t now = clock_.tick();
    if (now - lastFloodDecay_ > kFloodDecayInterval) {
        if (floodDecay_) floodDecay_();
        lastFloodDecay_ = now;
    }
    std::vector<Host*> pass;
    pass.reserve(hosts_.size());
    for (auto& host : hosts_) pass.push_back(host.get());
    for (Host* host : pass) {
        if (host->removed) continue;
        if (kickCheck_) kickCheck_(*host);
        if (host->removed) continue;
        now = clock_.tick();
        if (!host->zoneLoggedIn && now - host->lastReceiveTick >= host->sessionTimeout) {
            disconnectWithLine(*host, "Session timeout: %i.%i.%i.%i:%i  Punt!\n");
            continue;
        }
        retransmit(*host);
    }
}

void CoreTransport::retransmit(Host& host) {
    uint32_t now = clock_.tick();
    uint32_t lossLimit = static_cast<uint32_t>(settings_.packetLossLimit);
    uint32_t resendAfter = 2u * host.roundTrip;
    for (size_t i = 0; i < host.inFlight.size(); ++i) {
        ReliableEntry& entry = host.inFlight[i];
        if (now - entry.firstSendTick >= lossLimit) {
            log_.printf("%i - Connection broken: Reliable packet lost\n", host.scoreId);
            disconnectHost(host);
            return;
        }
        if (now - entry.lastSendTick >= resendAfter) {
            sink_.send(host.peer, entry.datagram);
            ++counters_.datagramsOut, ++counters_.resends, ++host.resends;
            entry.lastSendTick = now;
        }
    }
}

}  // namespace tallysv
