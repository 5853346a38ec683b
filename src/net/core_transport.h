#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/settings.h"
#include "net/datagram_sink.h"
#include "net/host.h"
#include "net/peer_reset.h"

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
// by receive() for each datagram and maintain() for each maintenance pass,
// each given the tick it runs at; its caller holds the server's lock around
// every call. A handler may send or disconnect freely: a host it closes is
// taken off the list at once and released after the datagram.
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
    // Resend back-off: the waits grow to this (or to the round trip when
    // that is longer), and double from at least one maintenance pass, since
    // on loopback the round trip is 0 ms.
    static constexpr uint32_t kResendWaitCap = 1000;
    static constexpr uint32_t kLeastBackoffWait = 50;
    // What the server sends a silent zone to see whether it is still there:
    // a cluster without elements in a reliable datagram. The zone's
    // transport acknowledges it and unpacks nothing, so no layer above
    // sees it.
    static constexpr uint8_t kIdleProbe[2] = {0x00, 0x0E};

    CoreTransport(DatagramSink& sink, const Clock& clock, Log& log, const Settings& settings);
    ~CoreTransport();
    CoreTransport(const CoreTransport&) = delete;
    CoreTransport& operator=(const CoreTransport&) = delete;

    // One datagram from a peer (1 to 520 bytes; others are skipped), handled
    // as of `now` (the clock's tick): every step of it sees the same time.
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now);
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from) { receive(datagram, from, clock_.tick()); }
    // One maintenance pass as of `now`: flood decay, kick checks, idle
    // time-outs, resends and the packet-loss limit.
    void maintain(uint32_t now);
    void maintain() { maintain(clock_.tick()); }
    // The tick at which the next maintenance pass has something to do (it
    // may be past), or none when nothing is timed. The shell runs its passes
    // every 50 ms (100 with LowPriority) and may skip those before this; when
    // something arises sooner, the transport says so (setDeadlineMoved).
    std::optional<uint32_t> nextDeadline();
    // Called, with the lock held, when something to do arises sooner than
    // the deadline last given by nextDeadline().
    void setDeadlineMoved(std::function<void()> moved) { deadlineMoved_ = std::move(moved); }
    // Timed work of an upper layer in the pass (a scheduled kick, which the
    // kick check carries out) wants a pass by `tick`.
    void requestPassBy(uint32_t tick);
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
    // Closes the host: sends the disconnect notice, runs the zone session
    // end for a logged-in zone and takes it off the host list, all at once
    // (so what it prints and sends keeps its place). The host itself is
    // released once the datagram, pass or work being handled has ended;
    // until then it stays Closed and nothing more is sent or handled for it.
    // The notice goes reliably when the window lets it out at once; behind
    // a full window it would be lost with the host, so it then goes at once
    // unreliably, as at stop.
    void disconnectHost(Host& host);
    // The zone login on `host` succeeded: it is LoggedIn from now on.
    void markLoggedIn(Host& host);
    // The zone login on `host` succeeded. If it is the new session of a
    // zone that restarted at the address of a logged-in one, the old
    // session ends now as a lost zone does (its session end runs), without
    // the disconnect notice, which would reach the new session; the new one
    // takes its place. Otherwise nothing happens.
    void takeOverSession(Host& host);

    // Replace one table entry. A handler that has no reaction of its own to
    // a message too short for its fields gives the least length it reads:
    // shorter messages of its type are then dropped without running it
    // (application messages with a console line, core datagrams silently).
    // The core table serves the core types the transport does not know.
    void setMessageHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength = 0);
    void setCoreHandler(Host& host, uint8_t type, MessageHandler handler, int16_t minLength = 0);
    // Runs the handler of byte 0 on a copy of the bytes and notes the
    // receive time. A host closed by the handler is released when the
    // outermost receive, pass or process ends.
    void dispatchMessage(Host& host, const uint8_t* bytes, int length);

    // The table's default handlers (an empty entry stands for them), for
    // upper layers that restore an entry (the zone login retires its own
    // handler with the unhandled one).
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
    // When a host whose logNumber is not -1 (a logged-in zone) is closed,
    // before it leaves the list.
    void setZoneSessionEnd(std::function<void(Host&)> end) { zoneSessionEnd_ = std::move(end); }

    // The hosts in order of creation. Closed hosts are no longer listed.
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
    // Runs `act` as the handling of a datagram runs: as of one tick, its
    // console lines written together at its end, and hosts it closes
    // released only once it has ended. For work that completes outside a
    // receive (a password check returning from a worker), with the lock held.
    template <typename Act>
    void process(Act&& act) {
        LogBatch batch(log_);
        Handling handling(*this);
        act();
    }

private:
    // Held around a receive, a maintenance pass, a process and a dispatch:
    // the time they run at, and the hosts they close, released when the
    // outermost one ends.
    class Handling {
    public:
        Handling(CoreTransport& transport, uint32_t now) : transport_(transport) {
            if (transport_.handling_++ == 0) transport_.now_ = now;
        }
        // Within a handling, as of its tick; else as of the clock's now.
        explicit Handling(CoreTransport& transport) : transport_(transport) {
            if (transport_.handling_++ == 0) transport_.now_ = transport_.clock_.tick();
        }
        ~Handling() {
            if (--transport_.handling_ == 0) transport_.releaseClosed();
        }
        Handling(const Handling&) = delete;
        Handling& operator=(const Handling&) = delete;

    private:
        CoreTransport& transport_;
    };

    // The tick of the handling under way, else the clock's.
    uint32_t tick() const { return handling_ > 0 ? now_ : clock_.tick(); }
    Host* findOrCreateHost(const PeerAddress& peer);
    Host* createHost(const PeerAddress& peer);
    // The session at this address a datagram belongs to, when a new session
    // runs beside a logged-in one; a connection request there makes it.
    Host* sessionFor(Host& host, std::span<const uint8_t> datagram, const PeerAddress& from);
    static bool fitsSession(const Host& host, std::span<const uint8_t> datagram);
    void closeHost(Host& host, bool notice);
    void releaseClosed();
    // The disconnect notice, written here only.
    enum class Goodbye { ReliableIfRoom, Unnumbered };
    void sendGoodbye(Host& host, Goodbye how);
    // Every host closed with the goodbye notice, still on the list.
    void closeAllWithGoodbye();
    void sendIdleProbe(Host& host, uint32_t now);
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
    // Reliable datagrams reuse the storage of acknowledged ones rather than
    // each taking fresh memory.
    std::vector<uint8_t> takeDatagramStorage();
    void recycleDatagramStorage(std::vector<uint8_t>&& bytes);
    void dispatchInner(Host& host, const uint8_t* bytes, int length);
    void retransmit(Host& host, uint32_t now);
    // When the host's next resend or packet loss is due.
    uint32_t resendDeadline(const Host& host) const;
    uint32_t resendWait(const Host& host, const ReliableEntry& entry) const;
    // The idle probe's deadline, for a logged-in host with nothing in flight.
    void noteProbeDeadline(const Host& host);
    // A new deadline: the shell hears of it when it is sooner than the one
    // it was last given.
    void noteDeadline(uint32_t due);
    // "Malformed <what> from <address>  Punt!", and the host disconnected.
    void punt(Host& host, const char* what);

    // Core messages (type 0), by the host's state and then their type.
    void onCore(InboundMessage& message);
    void onCoreExtension(InboundMessage& message);
    void onConnectionRequest(InboundMessage& message);
    void onReliable(InboundMessage& message);
    void onAcknowledgement(InboundMessage& message);
    void onSyncRequest(InboundMessage& message);
    void onSyncResponse(InboundMessage& message);
    void onSmallChunk(InboundMessage& message, bool tail);
    void onBigChunk(InboundMessage& message);
    void onCluster(InboundMessage& message);
    bool onUnhandled(InboundMessage& message);
    void deliverPayload(Host& host, const std::vector<uint8_t>& datagram);
    void dispatchWhole(Host& host, std::vector<uint8_t>& buffer);

    DatagramSink& sink_;
    const Clock& clock_;
    Log& log_;
    const Settings& settings_;
    std::vector<std::unique_ptr<Host>> hosts_;
    // Hosts closed during the handling under way, released when it ends.
    std::vector<std::unique_ptr<Host>> closedHosts_;
    // The bytes of the message being handled at each depth of nesting,
    // kept for the next message at that depth.
    std::array<std::vector<uint8_t>, kMaxNesting + 1> messageStorage_;
    std::vector<std::vector<uint8_t>> spareDatagrams_;
    // Blank hosts left by restart().
    static constexpr size_t kSpareHosts = 8;
    std::vector<std::unique_ptr<Host>> spareHosts_;
    int handling_ = 0;
    uint32_t now_ = 0;
    TransportCounters counters_;
    // The disconnect notice for datagrams from addresses without a session.
    PeerReset peerReset_;
    int nesting_ = 0;
    uint32_t lastFloodDecay_;
    // A pass an upper layer asked for, and the deadline the shell was last
    // given.
    std::vector<uint32_t> requestedPasses_;
    std::optional<uint32_t> shellDeadline_;
    std::function<void()> deadlineMoved_;

    // The transport's own handlers, shared by every host.
    HandlerEntry unhandled_;
    HandlerEntry ignore_;
    HandlerEntry zoneLogin_;
    std::function<void()> floodDecay_;
    std::function<void(Host&)> kickCheck_;
    std::function<void(Host&)> zoneSessionEnd_;
};

}  // namespace tallysv
