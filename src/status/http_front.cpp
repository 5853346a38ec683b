#include "status/http_front.h"

#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

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

// Everything on `fd` within the time limit of each write; false when the
// peer is too slow or gone, or on a stop.
bool sendAll(int fd, const char* data, size_t size, std::chrono::milliseconds limit, const std::atomic<bool>& stopping) {
    while (size > 0) {
        if (!waitReady(fd, POLLOUT, std::chrono::steady_clock::now() + limit, stopping)) return false;
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    if (address.ss_family != AF_INET6) return false;
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The listening socket of the pages where `host` and `port` say (port 0:
// a free one, reported in `bound`). Only the one address given, and no
// sharing of the port with another process.
Status listenOn(const std::string& host, uint16_t port, int& listener, uint16_t& bound, bool& loopback) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    errno = 0;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return errno != 0 ? Status::fromErrno() : Status::failure("cannot bind");
    int error = 0;
    for (addrinfo* at = found; at; at = at->ai_next) {
        int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        int yes = 1, no = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (at->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        // A crowd's connections wait in the kernel for the acceptor, which
        // turns away those beyond the limits at once; with a short backlog
        // they would instead be retried by their senders for seconds.
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
            bound = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                        : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
            loopback = isLoopback(address);
            ::freeaddrinfo(found);
            listener = fd;
            return Status::ok();
        }
        error = errno;
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return error != 0 ? Status::systemError(error) : Status::failure("cannot bind");
}

}  // namespace

// Two halves. The front is this class's own: the listening socket, the
// accepting, the bounds on connections, request size and time, and the
// workers, so that no visitor can hold more than its share. Behind it the
// library parses each request, routes it and writes the answer, on a
// socket in a folder of this process's own that no visitor can reach: a
// connection let in hands its request over there once its headers have
// arrived, and the answer is copied back to the visitor.
class HttpFront::Http {
public:
    explicit Http(const StatusLimits& limits)
        : limits_(limits), workers_(static_cast<size_t>(std::max(limits.workers, 1))), pool_(workers_) {
        pages_.new_task_queue = [this] { return new httplib::ThreadPool(workers_); };
        // One request per connection, as the front serves them.
        pages_.set_keep_alive_max_count(1);
    }
    ~Http() { stop(); }

    httplib::Server& pages() { return pages_; }

    // `onBound` learns the port and whether the address is a loopback one
    // before the first visitor is let in.
    Status start(const std::string& host, uint16_t port, uint16_t& bound,
                 const std::function<void(uint16_t bound, bool loopback)>& onBound) {
        if (Status status = startPages(); !status) return status;
        bool loopback = false;
        if (Status status = listenOn(host, port, listener_, bound, loopback); !status) return status;
        onBound(bound, loopback);
        acceptor_ = std::thread([this] { acceptLoop(); });
        return Status::ok();
    }

    void stop() {
        if (stopping_.exchange(true)) return;
        if (acceptor_.joinable()) acceptor_.join();
        pool_.shutdown();
        pages_.stop();
        if (pagesThread_.joinable()) pagesThread_.join();
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }

private:
    // The library's side, on a local socket in a fresh folder only this
    // user may enter.
    Status startPages() {
        std::error_code error;
        std::filesystem::path temp = std::filesystem::temp_directory_path(error);
        if (error) temp = "/tmp";
        std::string pattern = (temp / "tallysv-status-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return Status::fromErrno("cannot make the pages' folder");
        folder_ = pattern;
        socketPath_ = (folder_ / "pages").string();
        if (socketPath_.size() >= sizeof(sockaddr_un::sun_path))
            return Status::failure("the temporary folder's name is too long for a local socket");
        pages_.set_address_family(AF_UNIX);
        // The port means nothing to a local socket; 0 would make the
        // library look for the free port it was given.
        if (!pages_.bind_to_port(socketPath_, 1)) return Status::fromErrno("cannot open the pages' local socket");
        pagesThread_ = std::thread([this] {
            pages_.listen_after_bind();
            pagesEnded_.store(true);
        });
        // Running before this returns, so that a stop right after is not
        // missed by a library that stops only a running server.
        while (!pages_.is_running() && !pagesEnded_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (pagesEnded_.load()) return Status::failure("the pages' local socket closed at once");
        return Status::ok();
    }

    void acceptLoop() {
        const int most = static_cast<int>(workers_) + std::max(limits_.queued, 0);
        while (!stopping_.load()) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
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
        relay(fd, head, deadline);
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

    // Hands the request to the library's side and copies its answer back
    // until it closes. What the visitor sends after the headers (a body
    // the library may read, to refuse it) goes along until the request's
    // deadline; every write to the visitor must go through within the
    // time limit.
    void relay(int visitor, const std::string& head, Deadline deadline) {
        int pages = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (pages < 0) return;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
        if (::connect(pages, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            !sendAll(pages, head.data(), head.size(), limits_.timeout, stopping_)) {
            ::close(pages);
            return;
        }
        bool forwarding = true;
        char buffer[16384];
        while (!stopping_.load()) {
            if (forwarding && std::chrono::steady_clock::now() >= deadline) {
                ::shutdown(pages, SHUT_WR);
                forwarding = false;
            }
            // A negative descriptor is left out: a visitor who hung up
            // would otherwise wake the wait at once, again and again.
            pollfd p[2] = {{pages, POLLIN, 0}, {forwarding ? visitor : -1, POLLIN, 0}};
            int ready = ::poll(p, 2, 50);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = ::recv(visitor, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    if (!sendAll(pages, buffer, static_cast<size_t>(n), limits_.timeout, stopping_)) break;
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ::shutdown(pages, SHUT_WR);
                    forwarding = false;
                }
            }
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = ::recv(pages, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) break;
                if (!sendAll(visitor, buffer, static_cast<size_t>(n), limits_.timeout, stopping_)) break;
            }
        }
        ::close(pages);
    }

    StatusLimits limits_;
    size_t workers_;
    httplib::Server pages_;
    std::thread pagesThread_;
    std::atomic<bool> pagesEnded_{false};
    std::filesystem::path folder_;
    std::string socketPath_;
    int listener_ = -1;
    httplib::ThreadPool pool_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> open_{0};
};

std::vector<std::string> statusHostNames(const std::string& listenHost, bool loopback, const std::string& extraHosts) {
    std::vector<std::string> names;
    names.push_back(lowerCase(listenHost.find(':') == std::string::npos ? listenHost : "[" + listenHost + "]"));
    if (loopback)
        for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) names.emplace_back(name);
    std::string_view rest = extraHosts;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view name = trimmed(rest.substr(0, comma));
        if (!name.empty()) names.push_back(lowerCase(name));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return names;
}

bool statusHostAllowed(std::string_view host, const std::vector<std::string>& names, uint16_t port) {
    const std::string given = lowerCase(trimmed(host));
    const std::string withPort = ":" + std::to_string(port);
    for (const std::string& name : names)
        if (given == name || given == name + withPort) return true;
    return false;
}

StatusOr<ListenAddress> parseListenAddress(const std::string& text) {
    const Status malformed = Status::failure("not host:port");
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return malformed;
    ListenAddress address;
    address.host = text.substr(0, colon);
    if (address.host.front() == '[') {
        if (address.host.size() < 3 || address.host.back() != ']') return malformed;
        address.host = address.host.substr(1, address.host.size() - 2);
    } else if (address.host.find(':') != std::string::npos) {
        return malformed;  // an IPv6 address goes in brackets
    }
    std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return malformed;
    unsigned long number = std::stoul(digits);
    if (number > 65535) return malformed;
    address.port = static_cast<uint16_t>(number);
    return address;
}


HttpFront::HttpFront(const StatusLimits& limits) : http_(std::make_unique<Http>(limits)) {}

HttpFront::~HttpFront() { stop(); }

httplib::Server& HttpFront::pages() { return http_->pages(); }

Status HttpFront::start(const std::string& listen, const std::string& extraHosts,
                        const std::vector<std::pair<std::string, std::string>>& headers) {
    StatusOr<ListenAddress> parsed = parseListenAddress(listen);
    if (!parsed) return parsed.status();
    const std::string host = parsed->host;
    const uint16_t port = parsed->port;
    // The names the pages answer to, known once the listener is bound (its
    // port, and whether it is on loopback); read by the library's threads.
    struct HostNames {
        std::mutex mutex;
        std::vector<std::string> names;
        uint16_t port = 0;
        bool allows(std::string_view host) {
            std::lock_guard<std::mutex> guard(mutex);
            return statusHostAllowed(host, names, port);
        }
    };
    auto hosts = std::make_shared<HostNames>();
    const bool anyHost = extraHosts == "*";
    pages().set_pre_routing_handler([hosts, anyHost](const httplib::Request& request, httplib::Response& response) {
        const size_t named = request.get_header_value_count("Host");
        if (!anyHost && (named > 1 || (named == 1 && !hosts->allows(request.get_header_value("Host"))))) {
            response.status = 421;
            response.set_content("This server does not serve that host name\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.method == "GET" || request.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    pages().set_payload_max_length(0);
    httplib::Headers defaults;
    for (const auto& [name, value] : headers) defaults.emplace(name, value);
    pages().set_default_headers(defaults);
    auto bound = [&](uint16_t boundPort, bool loopback) {
        std::lock_guard<std::mutex> guard(hosts->mutex);
        hosts->names = statusHostNames(host, loopback, extraHosts);
        hosts->port = boundPort;
    };
    if (Status status = http_->start(host, port, port_, bound); !status) return status;
    address_ = (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port_);
    return Status::ok();
}

void HttpFront::stop() {
    if (http_) http_->stop();
    port_ = 0;
    address_.clear();
}

}  // namespace tallysv
