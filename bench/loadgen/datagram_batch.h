#pragma once
// Datagrams of one socket read in one call (recvmmsg), or gathered and
// sent in one (sendmmsg): how the zones and the batched bare exchange read
// and send, as a busy zone may.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

namespace loadgen {

class DatagramBatch {
public:
    static constexpr unsigned kSize = 32;

    DatagramBatch() {
        for (unsigned i = 0; i < kSize; ++i) {
            headers_[i] = {};
            headers_[i].msg_hdr.msg_iov = &vectors_[i];
            headers_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // At most `most` datagrams read without waiting, or -1 with errno.
    int receive(int fd, unsigned most = kSize) {
        for (unsigned i = 0; i < most; ++i) {
            vectors_[i] = {buffers_[i], sizeof buffers_[i]};
            headers_[i].msg_hdr.msg_name = nullptr;
            headers_[i].msg_hdr.msg_namelen = 0;
        }
        return ::recvmmsg(fd, headers_, most, MSG_DONTWAIT, nullptr);
    }
    std::span<const uint8_t> datagram(int i) const { return {buffers_[i], headers_[i].msg_len}; }

    // Where gathered datagrams go.
    void aim(int fd, const sockaddr_in& to) {
        fd_ = fd;
        to_ = to;
    }
    // A full batch is sent first.
    void add(std::span<const uint8_t> datagram) {
        if (count_ == kSize) send();
        std::memcpy(buffers_[count_], datagram.data(), std::min(datagram.size(), sizeof buffers_[count_]));
        vectors_[count_] = {buffers_[count_], std::min(datagram.size(), sizeof buffers_[count_])};
        ++count_;
    }
    void send() {
        for (unsigned i = 0; i < count_; ++i) {
            headers_[i].msg_hdr.msg_name = &to_;
            headers_[i].msg_hdr.msg_namelen = sizeof to_;
        }
        for (unsigned sent = 0; sent < count_;) {
            int n = ::sendmmsg(fd_, headers_ + sent, count_ - sent, 0);
            if (n < 0 && errno == EINTR) continue;
            sent += n > 0 ? static_cast<unsigned>(n) : 1;
        }
        count_ = 0;
    }

private:
    uint8_t buffers_[kSize][2048];
    iovec vectors_[kSize];
    mmsghdr headers_[kSize];
    unsigned count_ = 0;
    int fd_ = -1;
    sockaddr_in to_{};
};

}  // namespace loadgen
