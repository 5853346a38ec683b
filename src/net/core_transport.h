#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/datagram_sink.h"
#include "net/host.h"

namespace tallysv {

// What the transport has done since it was made, for the status pages:
// plain counts, kept with the lock held like everything else here.
struct TransportCounters {
    uint64_t datagramsIn = 0;
    uint64_t datagramsOut = 0;
    uint64_t resends = 0;
    // Datagrams from a new address dropped because the host slots were full.
    uint64_t peersRefused = 0;
};

// The reliable datagram transport without I/O: the host table, the
// handshake with key exchange, reliable delivery with acknowledgements,
// chunk reassembly, clusters and the per-host handler tables. It is driven
// by receive() for each datagram and maintain() for each maintenance pass;
// its caller holds the server's lock around every call.
class CoreTransport {
public:
    static constexpr int kMaxDatagram = 520;
    static constexpr int kReliableHeader = 6;
    static constexpr int kMaxReliableMessage = kMaxDatagram - kReliableHeader;  // 514
    static constexpr int kWindow = 3;
    // Early reliable datagrams are held only this far ahead of the next
    // expected number; one further ahead is neither held nor acknowledged.
    static constexpr int32_t kHoldWindow = 1024;
    // Reassembled messages have a signed 16-bit length.
    static constexpr int kMaxMessage = 32767;
    // Messages inside messages (reliable payloads, chunks, cluster
    // elements) nest at most this deep; deeper ones are dropped.
    static constexpr int kMaxNesting = 32;
    // Reliable messages queued behind a full window. Once this many wait,
    // a zone that cannot take them in time loses the messages marked as
    // sheddable, newest first; the others still queue, and the connection
    // stays until a datagram outlives the packet-loss limit.
    static constexpr size_t kMaxWaiting = 8192;
    // The overload is over, and its console line printed, once what waits
    // has fallen to this; an overload that hovers at the bound is one line.
    static constexpr size_t kOverloadEnd = kMaxWaiting / 2;
    // A cluster element has a one-byte length.
    static constexpr int kMaxClusterElement = 255;
    // What a zone reads of one datagram: zones read into a 512-byte buffer,
    // and of a longer datagram the rest is cut off without an error (the
    // reliable header survives, so the cut datagram is acknowledged and its
    // last bytes are lost). Clusters are therefore filled to this, header
    // included. A single message longer than kMaxZoneReliableMessage (the
    // longest chat lines, broadcasts and texts to a player, built in
    // 512-byte buffers) still goes whole and alone in its reliable datagram
    // of up to 518 bytes, as every message of the server does; it never
    // joins a cluster, so it costs no other message.
    static constexpr int kZoneReadLimit = 512;
    static constexpr int kMaxZoneReliableMessage = kZoneReadLimit - kReliableHeader;  // 506
    static constexpr uint32_t kFloodDecayInterval = 45000;

    CoreTransport(DatagramSink& sink, const Clock& clock, Log& log, const Settings& settings);
    ~CoreTransport();
    CoreTransport(const CoreTransport&) = delete;
    CoreTransport& operator=(const CoreTransport&) = delete;

    // One datagram from a peer (1 to 520 bytes; others are skipped).
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from);
    // One maintenance pass: flood decay, kick checks, idle time-outs,
    // resends and the packet-loss limit.
    void maintain();
    // Tells every host goodbye (unreliably) and drops them all, without
    // session ends.
    void stop();
    // Stops, then starts over as a transport made now (the flood decay
    // period begins again); only storage is kept: the storage of the hosts
    // it drops serves the next hosts. The fuzz targets reuse one transport
    // this way (within one run, removed hosts are never reused, so that
    // the address sanitizer sees any use of one after its removal).
    void restart();

    // What becomes of a reliable message when kMaxWaiting messages wait for
    // its host already: queued all the same, or shed. The sender decides;
    // the transport does not look into messages.
    enum class Overload { Keep, Shed };
    // Sends one message to a host. Reliable messages are at most 514 bytes,
    // unreliable datagrams at most 520; longer ones are refused (false), and
    // so is a sheddable one that is shed. Sending never removes a host, so a
    // sender may go on walking its lists of hosts and players.
    bool sendMessage(Host& host, const uint8_t* bytes, int length, bool reliable, Overload overload = Overload::Keep);
    bool sendMessage(Host& host, std::span<const uint8_t> bytes, bool reliable = true,
                     Overload overload = Overload::Keep) {
        return sendMessage(host, bytes.data(), static_cast<int>(bytes.size()), reliable, overload);
    }
    // Sends the disconnect notice, runs the zone session end for a logged-in
    // zone and removes the host. The notice goes reliably when the window
    // lets it out at once; behind a full window it would be lost with the
    // host, so it then goes at once unreliably, as at stop.
    void disconnectHost(Host& host);

    // Replace one table entry. A handler that has no reaction of its own to
    // a message too short for its fields gives the least length it reads:
    // shorter messages of its type are then dropped without running it
    // (application messages with a console line, core datagrams silently).
    void setMessageHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength = 0);
    void setCoreHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength = 0);
    // Runs the handler of byte 0 on a copy of the bytes and notes the
    // receive time. A host removed by the handler is destroyed when the
    // outermost dispatch or receive ends.
    void dispatchMessage(Host& host, const uint8_t* bytes, int length);

    // The handlers every host starts with, for upper layers that restore an
    // entry (the zone login retires its own handler with the unhandled one).
    MessageHandler unhandledHandler();
    MessageHandler ignoreHandler();

    // Upcalls into the upper layers. Each may be left unset.
    // Installed as message handler 2 when a connection request is accepted.
    void setZoneLoginHandler(MessageHandler handler);
    // Every 45000 ms from the maintenance pass.
    void setFloodDecay(std::function<void()> decay) { floodDecay_ = std::move(decay); }
    // On every maintenance pass for each host, before its idle test: the
    // scheduled-kick check of its players.
    void setKickCheck(std::function<void(Host&)> check) { kickCheck_ = std::move(check); }
    // When a host whose ScoreID is not -1 is disconnected, before removal.
    void setZoneSessionEnd(std::function<void(Host&)> end) { zoneSessionEnd_ = std::move(end); }

    // The hosts in order of creation. Removed hosts are no longer listed.
    const std::vector<std::unique_ptr<Host>>& hosts() const { return hosts_; }
    Host* findHost(const PeerAddress& peer) const;
    // "Host list:" and one address line per host with its players' names.
    void printHostList(Log& out) const;

    const Settings& settings() const { return settings_; }
    const TransportCounters& counters() const { return counters_; }
    const Clock& clock() const { return clock_; }
    Log& log() { return log_; }
    // What was sent so far leaves now, before a wait (see DatagramSink).
    void flushSends() { sink_.flush(); }

private:
    // Held around the handling of a datagram, a maintenance pass and every
    // dispatch: hosts removed meanwhile and table entries replaced
    // meanwhile are kept until the outermost one ends.
    class Processing {
    public:
        explicit Processing(CoreTransport& transport) : transport_(transport) { ++transport_.processing_; }
        ~Processing() {
            if (--transport_.processing_ == 0) transport_.releaseRemoved();
        }
        Processing(const Processing&) = delete;
        Processing& operator=(const Processing&) = delete;

    private:
        CoreTransport& transport_;
    };

    Host* findOrCreateHost(const PeerAddress& peer);
    void installInitialHandlers(Host& host);
    // Sends the message in a reliable datagram of its own if the window has
    // room and nothing waits, else queues it.
    void queueReliable(Host& host, const uint8_t* bytes, int length);
    // Sends what waits while the window has room: a message per datagram,
    // or with ClusterToZones as many as fit packed into a cluster.
    void releaseWaiting(Host& host);
    size_t clusterableCount(const Host& host) const;
    // Starts a reliable datagram with the next sequence number; send it
    // with sendReliableDatagram once its payload has been appended.
    ReliableEntry startReliableDatagram(Host& host, uint32_t firstSendTick);
    void sendReliableDatagram(Host& host, ReliableEntry&& entry);
    void sendUnreliable(Host& host, const uint8_t* bytes, int length);
    void reportShed(Host& host);
    void releaseRemoved();
    void replaceEntry(HandlerEntry& slot, HandlerEntry entry);
    HandlerEntry entryOf(bool (CoreTransport::*method)(InboundMessage&));
    // Reliable datagrams reuse the storage of acknowledged ones rather than
    // each taking fresh memory.
    std::vector<uint8_t> takeDatagramStorage();
    void recycleDatagramStorage(std::vector<uint8_t>&& bytes);
    void dispatchInner(Host& host, const uint8_t* bytes, int length);
    void retransmit(Host& host);
    void disconnectWithLine(Host& host, const char* format);

    // Core handlers.
    bool onCoreDispatch(InboundMessage& message);
    bool onConnectionRequest(InboundMessage& message);
    bool onDisconnect(InboundMessage& message);
    bool onReliable(InboundMessage& message);
    bool onAcknowledgement(InboundMessage& message);
    bool onSyncRequest(InboundMessage& message);
    bool onSyncResponse(InboundMessage& message);
    bool onSmallChunkBody(InboundMessage& message);
    bool onSmallChunkTail(InboundMessage& message);
    bool onBigChunk(InboundMessage& message);
    bool onCluster(InboundMessage& message);
    bool onUnhandled(InboundMessage& message);
    void deliverPayload(Host& host, const std::vector<uint8_t>& datagram);
    bool appendChunk(Host& host, std::vector<uint8_t>& buffer, const uint8_t* bytes, int count,
                     const char* malformedFormat);

    DatagramSink& sink_;
    const Clock& clock_;
    Log& log_;
    const Settings& settings_;
    std::vector<std::unique_ptr<Host>> hosts_;
    // Hosts removed during the current receive or maintenance pass.
    std::vector<std::unique_ptr<Host>> removedHosts_;
    // Table entries replaced during the current processing.
    std::vector<HandlerEntry> retiredEntries_;
    // The bytes of the message being handled at each depth of nesting.
    std::array<std::vector<uint8_t>, kMaxNesting + 1> messageStorage_;
    std::vector<std::vector<uint8_t>> spareDatagrams_;
    // Blank hosts left by restart().
    static constexpr size_t kSpareHosts = 8;
    std::vector<std::unique_ptr<Host>> spareHosts_;
    int processing_ = 0;
    TransportCounters counters_;
    int nesting_ = 0;
    uint32_t lastFloodDecay_;

    // The transport's own handlers, shared by every host.
    HandlerEntry unhandled_;
    HandlerEntry ignore_;
    HandlerEntry coreDispatch_;
    HandlerEntry connectionRequest_;
    HandlerEntry disconnect_;
    HandlerEntry reliable_;
    HandlerEntry acknowledgement_;
    HandlerEntry syncRequest_;
    HandlerEntry syncResponse_;
    HandlerEntry smallChunkBody_;
    HandlerEntry smallChunkTail_;
    HandlerEntry bigChunk_;
    HandlerEntry cluster_;
    HandlerEntry zoneLogin_;
    std::function<void()> floodDecay_;
    std::function<void(Host&)> kickCheck_;
    std::function<void(Host&)> zoneSessionEnd_;
};

}  // namespace tallysv
