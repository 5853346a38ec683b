#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "status/status_history.h"
#include "status/status_snapshot.h"

namespace tallysv {

// Bounds on what a visitor of the status pages may take. A request is
// its request line and headers; bodies are refused.
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

// The read-only HTTP server of the status pages ("/", "/status.json",
// "/metrics", "/history.json"), on a thread of its own with a few workers.
// Each request asks for a snapshot through `snapshot` (which takes the
// network's lock only to copy) and renders it without the lock; the charts
// of "/" and "/history.json" ask `history` for the last `minutes` minutes
// ("?range=24h" for a day, an hour otherwise). GET and HEAD only. The
// HTTP library renders the answers behind the server's own front, on a
// local socket in a folder of its own under the temporary folder (removed
// when it stops).
class StatusServer {
public:
    using SnapshotSource = std::function<StatusSnapshot()>;
    using HistorySource = std::function<HistoryView(int minutes)>;

    explicit StatusServer(SnapshotSource snapshot, StatusLimits limits = {}, HistorySource history = nullptr);
    ~StatusServer();  // stops
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds where `listen` says ("host:port"; port 0 takes a free one) and
    // starts serving; a failure says why it cannot. Requests whose Host
    // header names neither the listener nor one of `extraHosts` (see
    // statusHostNames) get 421 Misdirected Request; a request without one
    // (HTTP/1.0) is answered.
    Status start(const std::string& listen, const std::string& extraHosts = "");
    // Stops accepting, lets the requests being served end (each within the
    // time limit) and returns.
    void stop();
    uint16_t port() const { return port_; }
    // "host:port" as bound, the port a free one was given included.
    const std::string& address() const { return address_; }

private:
    class Http;
    SnapshotSource snapshot_;
    StatusLimits limits_;
    HistorySource history_;
    std::unique_ptr<Http> http_;
    uint16_t port_ = 0;
    std::string address_;
};

}  // namespace tallysv
