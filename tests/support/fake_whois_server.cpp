#include "support/fake_whois_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tallysv::testing {

FakeWhoisServer::FakeWhoisServer(std::vector<std::string> writes, bool silent)
    : writes_(std::move(writes)), silent_(silent) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { serve(); });
}

FakeWhoisServer::~FakeWhoisServer() {
    char stop = 0;
    if (wake_[1] >= 0) (void)!::write(wake_[1], &stop, 1);
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listener_);
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
}

void FakeWhoisServer::setReply(std::vector<std::string> writes) {
    std::lock_guard lock(mutex_);
    writes_ = std::move(writes);
}

void FakeWhoisServer::setEndless(std::string piece) {
    std::lock_guard lock(mutex_);
    endless_ = std::move(piece);
}

std::vector<std::string> FakeWhoisServer::queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
}

void FakeWhoisServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        answer(fd);
    }
}

void FakeWhoisServer::answer(int fd) {
    // The query: everything up to the first line feed.
    std::string query;
    char c;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0 || ::recv(fd, &c, 1, 0) != 1 || c == '\n') break;
        query.push_back(c);
    }
    std::vector<std::string> writes;
    std::string endless;
    {
        std::lock_guard lock(mutex_);
        queries_.push_back(query);
        writes = writes_;
        endless = endless_;
    }
    if (silent_) {
        held_.push_back(fd);
        return;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (size_t i = 0; i < writes.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        (void)!::send(fd, writes[i].data(), writes[i].size(), MSG_NOSIGNAL);
    }
    if (!endless.empty()) stream(fd, endless);
    ::close(fd);
}

void FakeWhoisServer::stream(int fd, const std::string& piece) {
    size_t offset = 0;
    for (;;) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;  // the server goes
        if (fds[0].revents & (POLLERR | POLLHUP)) return;
        ssize_t n = ::send(fd, piece.data() + offset, piece.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return;  // the client hung up
        }
        offset = (offset + static_cast<size_t>(n)) % piece.size();
    }
}

}  // namespace tallysv::testing
