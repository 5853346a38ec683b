#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "net/cipher.h"
#include "zoneclient/datagrams.h"

namespace zoneclient {

// The zone side of the core protocol, without I/O: the handshake, the
// session cipher, reliable sending with a window and resends, and
// acknowledged in-order receiving. Outgoing datagrams go to `send`; time
// is given by the caller in wrapping milliseconds.
class ZoneLink {
public:
    using Send = std::function<void(std::span<const uint8_t> datagram)>;

    struct Options {
        int window = 3;              // reliable datagrams in flight
        uint32_t resendAfter = 300;  // ms before an unacknowledged one is sent again
        // Bytes read of each datagram from the server (0: all). A zone that
        // reads into a buffer of N bytes loses the rest of a longer datagram
        // without an error, and goes on with what it read.
        size_t readLimit = 0;
    };

    ZoneLink(Send send, int32_t clientKey);
    ZoneLink(Send send, int32_t clientKey, Options options);

    // Sends the connection request (in the clear).
    void connect();
    bool connected() const { return connected_; }
    int32_t sessionKey() const { return cipher_.sessionKey; }
    // The server sent its disconnect notice (it refused or dropped us).
    bool disconnectedByServer() const { return disconnected_; }

    // One datagram from the server.
    void receive(std::span<const uint8_t> datagram, uint32_t tick);

    // One message (at most 514 bytes) in a reliable datagram, sent at once
    // when the window has room, else queued. False when too long.
    bool sendReliable(std::span<const uint8_t> message, uint32_t tick);
    // A whole datagram (message or core datagram), enciphered.
    bool sendUnreliable(std::span<const uint8_t> datagram);
    // A long message as chunks, each reliable or not.
    bool sendSmallChunks(std::span<const uint8_t> message, size_t chunkSize, bool reliable, uint32_t tick);
    bool sendBigChunks(std::span<const uint8_t> message, size_t chunkSize, bool reliable, uint32_t tick);
    // Several short messages in one cluster datagram.
    bool sendCluster(const std::vector<Bytes>& messages, bool reliable, uint32_t tick);
    void sendSyncRequest(uint32_t stamp);
    void disconnect();

    // Resends what has waited `resendAfter` without acknowledgement.
    void maintain(uint32_t tick);

    // Messages from the server in delivery order (reliable ones in their
    // sequence order, clusters unpacked), core control datagrams excepted.
    std::deque<Bytes> inbox;
    // Datagrams from the server longer than the read limit, cut to it.
    uint64_t cutDatagrams() const { return cutDatagrams_; }

    size_t inFlight() const { return inFlight_.size(); }
    size_t waiting() const { return waiting_.size(); }
    uint64_t acknowledged() const { return acknowledged_; }
    uint64_t resends() const { return resends_; }
    int32_t nextOutboundSeq() const { return nextOutboundSeq_; }
    int32_t nextInboundSeq() const { return nextInboundSeq_; }
    // The last sync reply: the stamp it echoed and the server's time.
    std::optional<std::pair<uint32_t, uint32_t>> lastSyncReply() const { return syncReply_; }
    // Tick of the last datagram received from the server.
    std::optional<uint32_t> lastReceiveTick() const { return lastReceive_; }

private:
    struct Outgoing {
        Bytes datagram;  // enciphered
        int32_t sequence;
        uint32_t lastSend;
    };
    void transmit(Bytes datagram);
    void handle(std::span<const uint8_t> message);

    Send send_;
    int32_t clientKey_;
    Options options_;
    tallysv::SessionCipher cipher_;
    bool connected_ = false;
    bool disconnected_ = false;
    int32_t nextOutboundSeq_ = 0;
    int32_t nextInboundSeq_ = 0;
    std::deque<Outgoing> inFlight_;
    std::deque<Outgoing> waiting_;
    std::map<int32_t, Bytes> held_;
    uint64_t cutDatagrams_ = 0;
    uint64_t acknowledged_ = 0;
    uint64_t resends_ = 0;
    std::optional<std::pair<uint32_t, uint32_t>> syncReply_;
    std::optional<uint32_t> lastReceive_;
};

}  // namespace zoneclient
