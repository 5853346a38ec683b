#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <span>

#include "net/core_transport.h"
#include "net/peer_address.h"

namespace tallysv {

// The two system calls a DatagramBatchWriter needs from its socket; the
// UDP socket makes the real ones, tests fake them.
class BatchSendCalls {
public:
    virtual ~BatchSendCalls() = default;
    // Like sendmmsg: how many of the first `count` datagrams went out (at
    // least one), or -1 with the reason in errno.
    virtual int sendBatch(mmsghdr* datagrams, unsigned count) = 0;
    // Returns once the socket can take more datagrams, or after a while.
    virtual void waitWritable() = 0;
};

// Datagrams gathered while the server handles one batch of received ones
// (or one maintenance pass), then sent with as few system calls as the
// kernel allows, in the order they were added and with the same bytes.
// Each datagram is copied when added, so the caller's buffer may change
// at once.
class DatagramBatchWriter {
public:
    // A batch that fills up is sent before the next datagram is added.
    static constexpr unsigned kCapacity = 64;
    static constexpr size_t kSpace = kCapacity * CoreTransport::kMaxDatagram;

    explicit DatagramBatchWriter(BatchSendCalls& calls) : calls_(calls) {}
    DatagramBatchWriter(const DatagramBatchWriter&) = delete;
    DatagramBatchWriter& operator=(const DatagramBatchWriter&) = delete;

    void add(const PeerAddress& to, std::span<const uint8_t> bytes);
    // Sends everything gathered. A datagram the kernel refuses for a reason
    // of its own (its destination unreachable, say) is dropped as a single
    // send of it would be; one the socket cannot take yet, or a call cut
    // short by a signal, is sent again, so nothing else is lost, sent twice
    // or overtaken.
    void flush();
    bool empty() const { return count_ == 0; }

private:
    void sendAll(mmsghdr* datagrams, unsigned count);

    BatchSendCalls& calls_;
    unsigned count_ = 0;
    size_t used_ = 0;
    mmsghdr headers_[kCapacity];
    iovec vectors_[kCapacity];
    sockaddr_in addresses_[kCapacity];
    uint8_t bytes_[kSpace];
};

}  // namespace tallysv
