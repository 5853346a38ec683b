#include "status/status_server.h"

#include <httplib.h>

#include "status/status_pages.h"

namespace tallysv {

StatusServer::StatusServer(SnapshotSource snapshot, StatusLimits limits, HistorySource history)
    : snapshot_(std::move(snapshot)), limits_(limits), history_(std::move(history)) {}

StatusServer::~StatusServer() { stop(); }

Status StatusServer::start(const std::string& listen, const std::string& extraHosts) {
    stop();
    auto http = std::make_unique<HttpFront>(limits_);
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
    http->pages().Get("/", [this, range, badRange](const httplib::Request& request, httplib::Response& response) {
        int minutes = range(request);
        if (minutes == 0) return badRange(response);
        HistoryView history = history_ ? history_(minutes) : HistoryView{};
        response.set_content(renderStatusPage(snapshot_(), history), "text/html; charset=utf-8");
    });
    http->pages().Get("/history.json", [this, range, badRange](const httplib::Request& request, httplib::Response& response) {
        int minutes = range(request);
        if (minutes == 0) return badRange(response);
        if (!history_) {
            response.status = 404;
            return;
        }
        response.set_content(renderHistoryJson(history_(minutes)), "application/json");
    });
    http->pages().Get("/status.json", page("application/json", renderStatusJson));
    http->pages().Get("/metrics", page("text/plain; version=0.0.4; charset=utf-8", renderMetrics));
    if (Status status = http->start(listen, extraHosts,
                                    {{"Cache-Control", "no-store"},
                                     {"X-Content-Type-Options", "nosniff"},
                                     {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"}});
        !status)
        return status;
    http_ = std::move(http);
    return Status::ok();
}

void StatusServer::stop() {
    if (http_) http_->stop();
    http_.reset();
}

uint16_t StatusServer::port() const { return http_ ? http_->port() : 0; }

const std::string& StatusServer::address() const {
    static const std::string none;
    return http_ ? http_->address() : none;
}

}  // namespace tallysv
