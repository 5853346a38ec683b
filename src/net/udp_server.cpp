#include "net/udp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace tallysv {

UdpSocket::~UdpSocket() { close(); }

bool UdpSocket::open(uint16_t port, std::string& reason) {
    close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void UdpSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t UdpSocket::boundPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

void UdpSocket::send(const PeerAddress& to, std::span<const uint8_t> bytes) {
    if (fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, to.address.data(), 4);
    address.sin_port = htons(to.port);
    // Send errors are ignored: the reliable layer resends what matters.
    (void)::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

UdpServer::UdpServer(CoreTransport& transport, UdpSocket& socket, std::recursive_mutex& lock,
                     const Settings& settings)
    : transport_(transport), socket_(socket), lock_(lock), settings_(settings) {}

UdpServer::~UdpServer() { stop(); }

bool UdpServer::start(uint16_t port, std::string& reason) {
    // The threads take the lock for each pass, so it is not held here while
    // a running server is stopped.
    if (receiveThread_.joinable() || maintenanceThread_.joinable()) stop();
    if (!socket_.open(port, reason)) return false;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = std::strerror(errno);
        socket_.close();
        return false;
    }
    wakeRead_ = pipeEnds[0];
    wakeWrite_ = pipeEnds[1];
    running_.store(true);
    maintenanceThread_ = std::thread([this] { maintenanceLoop(); });
    receiveThread_ = std::thread([this] { receiveLoop(); });
    return true;
}

void UdpServer::stop() {
    if (receiveThread_.joinable() || maintenanceThread_.joinable()) {
        running_.store(false);
        // The wake-up byte stays unread, so every later wait returns at once.
        const char byte = 1;
        (void)::write(wakeWrite_, &byte, 1);
        // The threads take the lock for each pass; it must not be held while
        // waiting for them.
        if (maintenanceThread_.joinable()) maintenanceThread_.join();
        if (receiveThread_.joinable()) receiveThread_.join();
    }
    std::lock_guard<std::recursive_mutex> guard(lock_);
    transport_.stop();
    socket_.close();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
}

bool UdpServer::waitForDatagram(int ms) {
    pollfd fds[2] = {{socket_.descriptor(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int ready = ::poll(fds, 2, ms);
    if (ready <= 0) return false;
    if (fds[1].revents != 0) return false;
    // An error condition is read (and so cleared) like a datagram.
    return fds[0].revents != 0;
}

void UdpServer::receiveLoop() {
    bool lowPriority;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        lowPriority = settings_.lowPriority;
    }
    // One byte more than a datagram may have, so that a longer one is seen
    // and skipped.
    uint8_t buffer[CoreTransport::kMaxDatagram + 1];
    while (running_.load()) {
        if (lowPriority) {
            // A 10 ms pause that a stop cuts short.
            pollfd wake{wakeRead_, POLLIN, 0};
            if (::poll(&wake, 1, 10) > 0) break;
        }
        // A datagram already queued is read at once; only an empty queue
        // waits (for a datagram or the wake-up of a stop). Under load this
        // spares a wait for every datagram.
        sockaddr_in source{};
        // The length of the datagram read (below 1 for an error or an empty
        // datagram), or none when nothing is queued.
        auto readQueued = [&]() -> std::optional<ssize_t> {
            socklen_t size = sizeof source;
            ssize_t n = ::recvfrom(socket_.descriptor(), buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&source), &size);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
            return n;
        };
        std::optional<ssize_t> read = readQueued();
        if (!read) {
            if (!waitForDatagram(-1)) continue;
            read = readQueued();
            if (!read) continue;
        }
        const ssize_t received = *read;
        if (received < 1 || received > CoreTransport::kMaxDatagram) continue;
        PeerAddress from;
        std::memcpy(from.address.data(), &source.sin_addr.s_addr, 4);
        from.port = ntohs(source.sin_port);
        std::lock_guard<std::recursive_mutex> guard(lock_);
        transport_.receive(std::span<const uint8_t>(buffer, static_cast<size_t>(received)), from);
        lowPriority = settings_.lowPriority;
    }
}

void UdpServer::maintenanceLoop() {
    bool lowPriority;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        lowPriority = settings_.lowPriority;
    }
    while (running_.load()) {
        pollfd wake{wakeRead_, POLLIN, 0};
        if (::poll(&wake, 1, lowPriority ? 100 : 50) > 0) break;
        if (!running_.load()) break;
        std::lock_guard<std::recursive_mutex> guard(lock_);
        transport_.maintain();
        lowPriority = settings_.lowPriority;
    }
}

}  // namespace tallysv
