#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "status/http_front.h"
#include "status/status_history.h"
#include "status/status_snapshot.h"

namespace tallysv {

// The read-only HTTP server of the status pages ("/", "/status.json",
// "/metrics", "/history.json"), on a thread of its own with a few workers.
// Each request asks for a snapshot through `snapshot` (which the server
// takes on the network's loop) and renders it on its own thread; the charts
// of "/" and "/history.json" ask `history` for the last `minutes` minutes
// ("?range=24h" for a day, an hour otherwise). Served behind an HttpFront.
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
    uint16_t port() const;
    // "host:port" as bound, the port a free one was given included.
    const std::string& address() const;

private:
    SnapshotSource snapshot_;
    StatusLimits limits_;
    HistorySource history_;
    std::unique_ptr<HttpFront> http_;
};

}  // namespace tallysv
