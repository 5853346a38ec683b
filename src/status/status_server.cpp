#include "status/status_server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "status/status_pages.h"

namespace tallysv {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// Waits for the descriptor to become ready for `events`, in short slices
// so that a stop is noticed; false once the deadline passes or on a stop.
bool waitReady(int fd, short events, Deadline deadline, const std::atomic<bool>& stopping) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || stopping.load()) return false;
        pollfd p{fd, events, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 50)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// A whole answer the server gives without the library, to a connection it
// will not serve. With `drain`, what the client is still sending is read
// and dropped for a moment, so that closing with unread bytes does not
// reset the connection before the client has read the answer.
void refuse(int fd, const char* statusLine, bool drain) {
    std::string answer = std::string("HTTP/1.1 ") + statusLine + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    if (!drain) return;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    char buffer[4096];
    for (int reads = 0; reads < 16 && std::chrono::steady_clock::now() < end; ++reads) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) return;
    }
}

// One accepted connection as the library reads and writes it: the bytes of
// the request already read first, then the socket, every wait bounded by
// the connection's deadline.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(int fd, std::string head, Deadline readDeadline, std::chrono::milliseconds writeLimit,
                     const std::atomic<bool>& stopping)
        : fd_(fd), head_(std::move(head)), readDeadline_(readDeadline), writeLimit_(writeLimit), stopping_(stopping) {}

    bool is_readable() const override { return offset_ < head_.size() || waitReady(fd_, POLLIN, readDeadline_, stopping_); }
    bool is_writable() const override {
        return waitReady(fd_, POLLOUT, std::chrono::steady_clock::now() + writeLimit_, stopping_);
    }
    ssize_t read(char* ptr, size_t size) override {
        if (offset_ < head_.size()) {
            size_t n = std::min(size, head_.size() - offset_);
            std::memcpy(ptr, head_.data() + offset_, n);
            offset_ += n;
            return static_cast<ssize_t>(n);
        }
        if (!waitReady(fd_, POLLIN, readDeadline_, stopping_)) return -1;
        return ::recv(fd_, ptr, size, 0);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        return ::send(fd_, ptr, size, MSG_NOSIGNAL);
    }
    // The pages never use a visitor's address.
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return fd_; }

private:
    int fd_;
    std::string head_;
    size_t offset_ = 0;
    Deadline readDeadline_;
    std::chrono::milliseconds writeLimit_;
    const std::atomic<bool>& stopping_;
};

}  // namespace

// The library parses requests, routes them and writes the answers; the
// accepting, the limits on connections, request size and time, and the
// workers are this class's own, so that no visitor can hold more than its
// share.
class StatusServer::Http final : public httplib::Server {
public:
    explicit Http(const StatusLimits& limits) : limits_(limits), pool_(static_cast<size_t>(std::max(limits.workers, 1))) {}
    ~Http() override { stop(); }

    bool bind(const std::string& host, uint16_t port, uint16_t& bound) {
        // Only the one address given; no sharing of the port with another
        // process (the library's default would allow that).
        set_socket_options([](socket_t fd) {
            int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        if (port == 0) {
            int any = bind_to_any_port(host);
            if (any <= 0) return false;
            bound = static_cast<uint16_t>(any);
            return true;
        }
        bound = port;
        return bind_to_port(host, port);
    }

    void serve() { acceptor_ = std::thread([this] { acceptLoop(); }); }

    void stop() {
        if (stopping_.exchange(true)) return;
        if (acceptor_.joinable()) acceptor_.join();
        pool_.shutdown();
        int fd = svr_sock_.exchange(INVALID_SOCKET);
        if (fd != INVALID_SOCKET) ::close(fd);
    }

private:
    void acceptLoop() {
        const int listener = svr_sock_.load();
        const int most = std::max(limits_.workers, 1) + std::max(limits_.queued, 0);
        while (!stopping_.load()) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                // Out of descriptors or memory: the connection stays
                // pending; wait rather than spin on it.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            if (open_.load() >= most) {
                refuse(fd, "503 Service Unavailable", false);
                ::close(fd);
                continue;
            }
            ++open_;
            pool_.enqueue([this, fd] {
                serveConnection(fd);
                ::close(fd);
                --open_;
            });
        }
    }

    void serveConnection(int fd) {
        Deadline deadline = std::chrono::steady_clock::now() + limits_.timeout;
        std::string head;
        if (!readHead(fd, deadline, head)) return;
        ConnectionStream stream(fd, std::move(head), deadline, limits_.timeout, stopping_);
        bool closed = true;
        process_request(stream, true, closed, nullptr);
    }

    // Reads up to the blank line that ends the request's headers. False,
    // after the answer if one is due, when the request is too large, too
    // slow or not there.
    bool readHead(int fd, Deadline deadline, std::string& head) {
        char buffer[2048];
        for (;;) {
            size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) end = head.find("\n\n");
            size_t length = end == std::string::npos ? head.size() : end;
            if (length > limits_.requestBytes) {
                refuse(fd, "431 Request Header Fields Too Large", true);
                return false;
            }
            if (end != std::string::npos) return true;
            if (!waitReady(fd, POLLIN, deadline, stopping_)) {
                if (!head.empty() && !stopping_.load()) refuse(fd, "408 Request Timeout", true);
                return false;
            }
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            head.append(buffer, static_cast<size_t>(n));
        }
    }

    StatusLimits limits_;
    httplib::ThreadPool pool_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> open_{0};
};

bool parseListenAddress(const std::string& text, std::string& host, uint16_t& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long number = std::stoul(digits);
    if (number > 65535) return false;
    port = static_cast<uint16_t>(number);
    return true;
}

StatusServer::StatusServer(SnapshotSource snapshot, StatusLimits limits, HistorySource history)
    : snapshot_(std::move(snapshot)), limits_(limits), history_(std::move(history)) {}

StatusServer::~StatusServer() { stop(); }

bool StatusServer::start(const std::string& listen, std::string& reason) {
    stop();
    std::string host;
    uint16_t port = 0;
    if (!parseListenAddress(listen, host, port)) {
        reason = "not host:port";
        return false;
    }
    auto http = std::make_unique<Http>(limits_);
    auto page = [this](const char* type, std::string (*render)(const StatusSnapshot&)) {
        return [this, type, render](const httplib::Request&, httplib::Response& response) {
            response.set_content(render(snapshot_()), type);
        };
    };
    // The stretch of history a request asks for, in minutes; 0 when the
    // range is not one the pages draw.
    auto range = [](const httplib::Request& request) {
        if (!request.has_param("range")) return 60;
        std::string value = request.get_param_value("range");
        return value == "24h" ? StatusHistory::kMinutes : value == "1h" ? 60 : 0;
    };
    auto badRange = [](httplib::Response& response) {
        response.status = 400;
        response.set_content("range is 1h or 24h\n", "text/plain; charset=utf-8");
    };
    http->Get("/", [this, range, badRange](const httplib::Request& request, httplib::Response& response) {
        int minutes = range(request);
        if (minutes == 0) return badRange(response);
        HistoryView history = history_ ? history_(minutes) : HistoryView{};
        response.set_content(renderStatusPage(snapshot_(), history), "text/html; charset=utf-8");
    });
    http->Get("/history.json", [this, range, badRange](const httplib::Request& request, httplib::Response& response) {
        int minutes = range(request);
        if (minutes == 0) return badRange(response);
        if (!history_) {
            response.status = 404;
            return;
        }
        response.set_content(renderHistoryJson(history_(minutes)), "application/json");
    });
    http->Get("/status.json", page("application/json", renderStatusJson));
    http->Get("/metrics", page("text/plain; version=0.0.4; charset=utf-8", renderMetrics));
    http->set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "GET" || request.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    http->set_payload_max_length(0);
    http->set_default_headers({{"Cache-Control", "no-store"},
                               {"X-Content-Type-Options", "nosniff"},
                               {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}});
    errno = 0;
    if (!http->bind(host, port, port_)) {
        reason = errno != 0 ? std::strerror(errno) : "cannot bind";
        return false;
    }
    http->serve();
    http_ = std::move(http);
    address_ = (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port_);
    return true;
}

void StatusServer::stop() {
    if (http_) http_->stop();
    http_.reset();
    port_ = 0;
    address_.clear();
}

}  // namespace tallysv
