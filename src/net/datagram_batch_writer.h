#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <sys/uio.h>

#include <cstdint>
#include <memory>
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
    // As many as one sendmmsg takes; a batch that fills up is sent before
    // the next datagram is added.
    static constexpr unsigned kCapacity = UIO_MAXIOV;
    static constexpr size_t kSpace = kCapacity * CoreTransport::kMaxDatagram;

    explicit DatagramBatchWriter(BatchSendCalls& calls);
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
    // Taken once, so that a send never allocates.
    std::unique_ptr<mmsghdr[]> headers_;
    std::unique_ptr<iovec[]> vectors_;
    std::unique_ptr<sockaddr_in[]> addresses_;
    std::unique_ptr<uint8_t[]> bytes_;
};

}  // namespace tallysv
