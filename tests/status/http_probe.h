#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace tallysv::testing {

// A raw TCP connection to a local HTTP server, for requests no
// well-behaved client would make (too large, too slow, refused methods).
class HttpProbe {
public:
    explicit HttpProbe(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~HttpProbe() {
        if (fd_ >= 0) ::close(fd_);
    }
    HttpProbe(const HttpProbe&) = delete;
    HttpProbe& operator=(const HttpProbe&) = delete;

    bool connected() const { return connected_; }
    // False once the server has closed or reset the connection.
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Everything the server sends until it closes the connection, waiting
    // at most `limit`; `closed` tells whether it did close.
    std::string readToEnd(std::chrono::milliseconds limit, bool& closed) {
        std::string got;
        closed = false;
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace tallysv::testing
