#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/status.h"

namespace httplib {
class Server;
}

namespace tallysv {

// Bounds on what a visitor of a set of pages may take. A request is its
// request line and headers; bodies are refused.
struct StatusLimits {
    int workers = 4;             // connections served at once
    int queued = 4;              // connections waiting beyond those; more get 503
    size_t requestBytes = 8192;  // request line and headers together; more get 431
    // A request must have arrived whole within this time, and every write
    // of the answer must go through within it; a slower client is dropped.
    std::chrono::milliseconds timeout{5000};
};

// Where the pages are served.
struct ListenAddress {
    std::string host;  // an IPv6 address without its brackets
    uint16_t port = 0;
};

// "host:port", or "[v6 address]:port". A failure ("not host:port") when the
// text is not of that form (an empty host included: the pages are served
// only where said).
StatusOr<ListenAddress> parseListenAddress(const std::string& text);

// The Host header values the pages answer to, without their ports: the
// host they listen on as written (an IPv6 address in brackets), for a
// loopback listener also "localhost", "127.0.0.1" and "[::1]", and the
// names of `extraHosts` (comma-separated, blanks around each ignored), all
// in lower case.
std::vector<std::string> statusHostNames(const std::string& listenHost, bool loopback, const std::string& extraHosts);

// Whether a request's Host header names one of `names`, alone or with
// `port` (a name given with a port of its own matches only as given).
// Case does not matter. A page that a browser loaded from some other name
// that resolves to the listener (DNS rebinding) sends that name, and is
// not answered.
bool statusHostAllowed(std::string_view host, const std::vector<std::string>& names, uint16_t port);

// The front of a read-only HTTP server, shared by the operators' status
// pages and the players' site. Two halves: the front is this class's own
// (the listening socket, the accepting, the bounds on connections, request
// size and time, and the workers), so that no visitor can hold more than
// its share; behind it the HTTP library parses each request, routes it
// and writes the answer, on a local socket in a folder of this process's
// own under the temporary folder (removed when it stops), that no visitor
// can reach. GET and HEAD only; requests whose Host header names neither
// the listener nor one of the extra hosts get 421 Misdirected Request (a
// request without one, HTTP/1.0, is answered).
class HttpFront {
public:
    explicit HttpFront(const StatusLimits& limits);
    ~HttpFront();  // stops
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Where the routes are registered, before start.
    httplib::Server& pages();

    // Binds where `listen` says ("host:port"; port 0 takes a free one) and
    // starts serving, every answer carrying `headers`; a failure says why
    // it cannot. `extraHosts` "*" answers every Host header (pages with
    // nothing private on them).
    Status start(const std::string& listen, const std::string& extraHosts,
                 const std::vector<std::pair<std::string, std::string>>& headers);
    // Stops accepting, lets the requests being served end (each within the
    // time limit) and returns.
    void stop();
    uint16_t port() const { return port_; }
    // "host:port" as bound, the port a free one was given included.
    const std::string& address() const { return address_; }

private:
    class Http;
    std::unique_ptr<Http> http_;
    uint16_t port_ = 0;
    std::string address_;
};

}  // namespace tallysv
