#include "zoneclient/udp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace zoneclient {

UdpClient::~UdpClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpClient::open(const std::string& server, std::string& reason, uint16_t localPort) {
    size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= server.size()) {
        reason = "expected HOST:PORT";
        return false;
    }
    char* end = nullptr;
    unsigned long port = std::strtoul(server.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535) {
        reason = "bad port";
        return false;
    }
    return open(server.substr(0, colon), static_cast<uint16_t>(port), reason, localPort);
}

bool UdpClient::open(const std::string& host, uint16_t port, std::string& reason, uint16_t localPort) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error != 0 || !found) {
        reason = std::string("cannot resolve ") + host + ": " + gai_strerror(error);
        return false;
    }
    serverAddress_ = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    serverPort_ = htons(port);
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        reason = std::strerror(errno);
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

void UdpClient::send(std::span<const uint8_t> datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = serverAddress_;
    to.sin_port = serverPort_;
    (void)::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<Bytes> UdpClient::receive(int timeoutMs) {
    pollfd fd{fd_, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0) return std::nullopt;
    uint8_t buffer[2048];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    return Bytes(buffer, buffer + n);
}

uint16_t UdpClient::localPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

uint32_t monotonicTick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace zoneclient
