#pragma once
#include <array>
#include <deque>
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

// Why the transport closed a host on its own.
enum class CloseReason : uint8_t {
    Goodbye,       // the zone's disconnect notice
    Malformed,     // a malformed core message ("Punt!")
    SessionTimeout,  // silent before its zone login
    ReliableLost,  // a reliable datagram outlived the packet-loss limit
    Replaced,      // a newer session at the same address took its place
};

// What the layer above acts on, handed out one at a time by nextEvent().
struct TransportEvent {
    enum class Kind : uint8_t {
        // The handshake of `host` is done: a zone login may follow.
        Connected,
        // `message` arrived from `host` (any type but the core type 0).
        Message,
        // The transport closed `host` (`reason`). Its data is still there
        // to end the session with; its id names nothing any more.
        Closed,
        // The maintenance pass reached `host`, before its idle test and its
        // resends: the time for the layer's own timed work on it (kicks).
        HostPass,
        // Every 45000 ms, from a maintenance pass.
        FloodDecay,
    };
    Kind kind = Kind::Message;
    Host* host = nullptr;
    InboundMessage* message = nullptr;
    CloseReason reason = CloseReason::Goodbye;
};

// The reliable datagram transport without I/O: the host table, the
// handshake with key exchange, reliable delivery with acknowledgements,
// chunk reassembly and clusters. It is driven by receive() for each
// datagram and maintain() for each maintenance pass, each given the tick
// it runs at; both only begin the handling, and what the layer above must
// act on comes from nextEvent(), one event at a time, in the order the
// datagram or pass produces it. The layer above acts on an event after the
// transport's call has returned, and may then send to and close hosts;
// the next call to nextEvent() carries the handling on from where it
// stopped, so what everything sends and prints keeps the order in which
// a single walk through the datagram would produce it.
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

    // Begins the handling of one datagram from a peer (1 to 520 bytes;
    // others are skipped) as of `now` (the clock's tick): every step of it,
    // and everything done while acting on its events, sees the same time.
    // Its console lines are written out together when it has ended.
    void receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now);
    // Begins one maintenance pass as of `now`: flood decay, the hosts' own
    // passes, idle time-outs, resends and the packet-loss limit.
    void maintain(uint32_t now);
    // The next event of the datagram or pass being handled; false once it
    // has been handled to its end. A receive or maintain made before the
    // last one has ended first ends that one, its events unheard.
    bool nextEvent(TransportEvent& event);
    // The host an id names, or none once it has been closed.
    Host* find(HostId id) const;
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
    // period begins again); only storage is kept: the hosts it drops are
    // made blank and serve the next hosts. The fuzz targets reuse one
    // transport this way.
    void restart();

    // What becomes of a reliable message when kMaxWaiting messages wait for
    // its host already: queued all the same, or shed. The sender decides;
    // the transport does not look into messages.
    enum class Overload { Keep, Shed };
    // Sends one message to a host. One named by an id that names nothing
    // any more is refused (false). Reliable messages are at most 514 bytes,
    // unreliable datagrams at most 520; longer ones are refused (false), and
    // so is a sheddable one that is shed. Sending never removes a host, so a
    // sender may go on walking its lists of hosts and players.
    bool sendMessage(Host& host, const uint8_t* bytes, int length, bool reliable, Overload overload = Overload::Keep);
    bool sendMessage(Host& host, std::span<const uint8_t> bytes, bool reliable = true,
                     Overload overload = Overload::Keep) {
        return sendMessage(host, bytes.data(), static_cast<int>(bytes.size()), reliable, overload);
    }
    bool sendMessage(HostId id, std::span<const uint8_t> bytes, bool reliable = true,
                     Overload overload = Overload::Keep) {
        Host* host = find(id);
        return host && sendMessage(*host, bytes, reliable, overload);
    }
    // Closes the host: sends the disconnect notice and takes it off the
    // host list at once. The caller ends what it kept on the session itself
    // (the transport hands out no Closed event for a close it was asked
    // for). The host stays Closed, and its data there to look at, until the
    // datagram or pass being handled has ended. The notice goes reliably
    // when the window lets it out at once; behind a full window it would be
    // lost with the host, so it then goes at once unreliably, as at stop.
    // False when the host was closed already (an id: or names nothing).
    bool disconnectHost(Host& host);
    bool disconnectHost(HostId id) {
        Host* host = find(id);
        return host && disconnectHost(*host);
    }
    // The zone login on `host` succeeded: it is LoggedIn from now on.
    void markLoggedIn(Host& host);
    // The zone login on `host` succeeded. If it is the new session of a
    // zone that restarted at the address of a logged-in one, the old
    // session ends now as a lost zone does, without the disconnect notice,
    // which would reach the new session; the new one takes its place. The
    // old session's host is returned, for the caller to end the session
    // it kept there; none when there was no old session.
    Host* takeOverSession(Host& host);

    // "<n> - Unhandled packet(<type>)(<length>)": what the layer above
    // prints for a message it has no use for.
    void reportUnhandled(const InboundMessage& message);

    // The hosts in order of creation. Closed hosts are no longer listed.
    const std::vector<Host*>& hosts() const { return hosts_; }
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
    // A step of the datagram being handled, kept on a stack so that the
    // handling can stop at an event and go on from there: a message to
    // dispatch, a cluster being unpacked, or the held reliable datagrams
    // that follow one delivered in order.
    struct Step {
        enum class Kind : uint8_t { Message, Cluster, HeldReliable };
        Kind kind = Kind::Message;
        // Messages inside messages: 0 for the datagram itself.
        int depth = 0;
        // Message: handed to the layer above, done once it has acted.
        bool handedOut = false;
        // Cluster: where its next element begins.
        int offset = 0;
        InboundMessage message;
    };

    // The tick of the handling under way, else the clock's.
    uint32_t tick() const { return handling_ ? now_ : clock_.tick(); }
    void beginHandling(uint32_t now);
    void endHandling();
    // Carries the datagram's handling on by one step; true with an event.
    bool advanceDatagram(TransportEvent& event);
    // Carries the maintenance pass on by one host; true with an event.
    bool advancePass(TransportEvent& event);
    void pushMessage(int depth, const uint8_t* bytes, int length);
    void pushMessage(int depth, std::vector<uint8_t>&& bytes);
    void popStep();
    // Hosts closed before the handling under way become free slots, their
    // upper layer's data destroyed.
    void reclaimClosed();
    Host* findOrCreateHost(const PeerAddress& peer);
    Host* createHost(const PeerAddress& peer);
    // The session at this address a datagram belongs to, when a new session
    // runs beside a logged-in one; a connection request there makes it.
    Host* sessionFor(Host& host, std::span<const uint8_t> datagram, const PeerAddress& from);
    static bool fitsSession(const Host& host, std::span<const uint8_t> datagram);
    // Closes a host; `reason` when the transport closes it on its own, and
    // the layer above hears of it.
    void closeHost(Host& host, bool notice, std::optional<CloseReason> reason);
    // As disconnectHost does, with the notice left out for a new session
    // beside a logged-in one.
    void endSession(Host& host, std::optional<CloseReason> reason);
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

    // Core messages (type 0), by the host's state and then their type. A
    // message they carry is pushed as a step at `depth` + 1.
    void onCore(InboundMessage& message, int depth);
    void onConnectionRequest(InboundMessage& message);
    void onReliable(InboundMessage& message, int depth);
    void onAcknowledgement(InboundMessage& message);
    void onSyncRequest(InboundMessage& message);
    void onSyncResponse(InboundMessage& message);
    void onSmallChunk(InboundMessage& message, bool tail, int depth);
    void onBigChunk(InboundMessage& message, int depth);
    void dispatchWhole(std::vector<uint8_t>& buffer, int depth);

    DatagramSink& sink_;
    const Clock& clock_;
    Log& log_;
    const Settings& settings_;
    // Every host the transport has made, by slot; a slot is used again once
    // its host has been closed and the handling that closed it has ended.
    // Hosts are never destroyed before the transport (restart makes them
    // blank), so whatever the layer above still holds of a closed host
    // stays readable until it has acted on the event at hand.
    std::vector<std::unique_ptr<Host>> slots_;
    // The hosts listed, in order of creation.
    std::vector<Host*> hosts_;
    std::vector<uint32_t> freeSlots_;
    // Closed since the handling under way began.
    std::vector<uint32_t> closedSlots_;
    std::vector<std::vector<uint8_t>> spareDatagrams_;
    bool handling_ = false;
    uint32_t now_ = 0;
    TransportCounters counters_;
    // The disconnect notice for datagrams from addresses without a session.
    PeerReset peerReset_;
    // The datagram being handled: its host and its steps.
    Host* current_ = nullptr;
    std::vector<Step> steps_;
    // Events ready before the next step (hosts the transport closed).
    std::deque<TransportEvent> ready_;
    // The maintenance pass being handled: its hosts, the next one, and
    // whether that one has had its HostPass event.
    bool passing_ = false;
    std::vector<Host*> passHosts_;
    size_t passNext_ = 0;
    bool passHeard_ = false;
    uint32_t lastFloodDecay_;
    // A pass an upper layer asked for, and the deadline the shell was last
    // given.
    std::vector<uint32_t> requestedPasses_;
    std::optional<uint32_t> shellDeadline_;
    std::function<void()> deadlineMoved_;
};

}  // namespace tallysv
