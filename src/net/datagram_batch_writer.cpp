#include "net/datagram_batch_writer.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

namespace tallysv {

namespace {

sockaddr_in socketAddress(const PeerAddress& to) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, to.address.data(), 4);
    address.sin_port = htons(to.port);
    return address;
}

void point(mmsghdr& header, iovec& vector, sockaddr_in& address, const void* bytes, size_t size) {
    vector.iov_base = const_cast<void*>(bytes);
    vector.iov_len = size;
    header = {};
    header.msg_hdr.msg_name = &address;
    header.msg_hdr.msg_namelen = sizeof address;
    header.msg_hdr.msg_iov = &vector;
    header.msg_hdr.msg_iovlen = 1;
}

}  // namespace

DatagramBatchWriter::DatagramBatchWriter(BatchSendCalls& calls)
    : calls_(calls),
      headers_(new mmsghdr[kCapacity]),
      vectors_(new iovec[kCapacity]),
      addresses_(new sockaddr_in[kCapacity]),
      bytes_(new uint8_t[kSpace]) {}

void DatagramBatchWriter::add(const PeerAddress& to, std::span<const uint8_t> bytes) {
    if (count_ == kCapacity || kSpace - used_ < bytes.size()) flush();
    if (bytes.size() > kSpace) {
        // Larger than the whole batch: it goes out on its own, straight
        // from the caller's buffer.
        mmsghdr header;
        iovec vector;
        sockaddr_in address = socketAddress(to);
        point(header, vector, address, bytes.data(), bytes.size());
        sendAll(&header, 1);
        return;
    }
    unsigned i = count_++;
    std::memcpy(bytes_.get() + used_, bytes.data(), bytes.size());
    addresses_[i] = socketAddress(to);
    point(headers_[i], vectors_[i], addresses_[i], bytes_.get() + used_, bytes.size());
    used_ += bytes.size();
}

void DatagramBatchWriter::flush() {
    if (count_ == 0) return;
    sendAll(headers_.get(), count_);
    count_ = 0;
    used_ = 0;
}

void DatagramBatchWriter::sendAll(mmsghdr* datagrams, unsigned count) {
    unsigned next = 0;
    while (next < count) {
        int sent = calls_.sendBatch(datagrams + next, count - next);
        if (sent > 0) {
            next += static_cast<unsigned>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            calls_.waitWritable();
        } else {
            // The first one's own failure: the rest go on without it.
            ++next;
        }
    }
}

}  // namespace tallysv
