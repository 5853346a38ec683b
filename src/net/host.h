#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/cipher.h"
#include "net/peer_address.h"

namespace tallysv {

class CoreTransport;
class Host;

// A host as the layers above name it between two events: the slot of the
// transport's host table and the use of that slot. Ids outlive hosts
// safely: once the host is closed, or its slot serves a later host, the
// transport refuses whatever names the old id.
struct HostId {
    uint32_t index = 0;
    uint32_t generation = 0;  // 0 names no host

    explicit operator bool() const { return generation != 0; }
    bool operator==(const HostId&) const = default;
};

// One message for the layer above: a whole datagram, a reliable payload,
// a reassembled chunk series or a cluster element. Byte 0 is its type. The
// layer above may take the bytes over (a login kept while its password is
// checked); what it leaves is wiped once it has acted.
struct InboundMessage {
    Host* host = nullptr;
    int16_t length = 0;
    std::vector<uint8_t> bytes;

    const uint8_t* data() const { return bytes.data(); }
};

// How an upper layer reacts to a message of one type.
using MessageHandler = std::function<bool(InboundMessage& message)>;

// A reliable datagram in the form it is sent (header, payload, enciphered).
// Its first-send tick is when its oldest message was queued.
struct ReliableEntry {
    std::vector<uint8_t> datagram;
    int32_t sequence = 0;
    uint32_t firstSendTick = 0;
    uint32_t lastSendTick = 0;
    // With ResendBackoff: the wait before the next resend once it has been
    // resent; 0 until then (the first wait is twice the round trip).
    uint32_t resendWait = 0;
};

// A reliable message waiting for room in the window, as it was given. It
// takes its sequence number when it leaves, alone or packed into a cluster
// with the messages behind it; its age counts from when it was queued.
struct WaitingMessage {
    std::vector<uint8_t> bytes;
    uint32_t queuedTick = 0;
};

// The zone layer's own data on a host (the zone's name and numbers, its
// players and score entries).
// The host owns it and destroys it with itself.
class HostAttachment {
public:
    virtual ~HostAttachment() = default;
    // User names of the players in this zone, in list order, for the
    // console host list.
    virtual std::vector<std::string> playerNames() const { return {}; }
};

// Where a host stands in its session. The transport switches on it for
// every core message: what a datagram of a type means depends on it.
enum class HostState : uint8_t {
    // Made by a datagram from a new address: only a connection request or
    // a disconnect means anything yet.
    Handshake,
    // The handshake is done: reliable delivery, chunks, clusters, syncs and
    // the zone login.
    Connected,
    // The zone has logged in (CoreTransport::markLoggedIn): a repeated
    // handshake has no effect, the session never times out for silence,
    // and a silent zone is probed.
    LoggedIn,
    // Disconnected: nothing more is sent to it or handled from it, and its
    // id names nothing any more. Its slot serves a later host once the
    // datagram or pass that closed it has been acted on.
    Closed,
};

// One peer of the transport, found by its source address.
class Host {
public:
    Host(CoreTransport& transport, const PeerAddress& peer) : transport(&transport), peer(peer) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Transport state.
    uint32_t lastReceiveTick = 0;
    uint32_t roundTrip = 0;
    SessionCipher cipher;
    int32_t nextInboundSeq = 0;
    // Early reliable datagrams (whole, header included) by sequence number.
    std::map<int32_t, std::vector<uint8_t>> pendingInbound;
    int32_t releasedSeq = 0;
    std::deque<ReliableEntry> inFlight;
    uint64_t resends = 0;  // reliable datagrams sent again (status pages)
    int32_t nextOutboundSeq = 0;
    std::deque<WaitingMessage> waiting;
    // Messages shed since what waits last reached its bound; reported on
    // the console when the overload ends.
    uint32_t shedMessages = 0;
    std::vector<uint8_t> smallChunkBuffer;
    std::vector<uint8_t> bigChunkBuffer;
    uint32_t sessionTimeout = 60000;
    HostState state = HostState::Handshake;
    // A connection request from the address of a logged-in zone starts a
    // new session beside the old one (the zone restarted on a fixed port,
    // or someone forged its address). Both run until the new one's zone
    // login succeeds; only then does the old one end. `supersedes` is the
    // logged-in host the new one would replace, `supersededBy` the reverse.
    Host* supersedes = nullptr;
    Host* supersededBy = nullptr;
    CoreTransport* transport;
    // Set by the transport for each use of the host's slot.
    HostId id;
    PeerAddress peer;

    // The number the transport's console lines about this host begin with
    // ("7 - Connection broken: ..."), -1 until the upper layer names the
    // session (the zone login sets its ScoreID). The zone layer ends a
    // named session when the host goes (a Closed event, or its own close).
    int32_t logNumber = -1;
    // The zone layer's data on the session (name, ScoreID, GroupID, flags,
    // players, score entries), owned by the host; it goes when the host's
    // slot is taken back after its close.
    std::unique_ptr<HostAttachment> attachment;

    bool loggedIn() const { return state == HostState::LoggedIn; }
    bool closed() const { return state == HostState::Closed; }
    int32_t sessionKey() const { return cipher.sessionKey; }
};

}  // namespace tallysv
