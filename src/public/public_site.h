#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/settings.h"
#include "core/status.h"
#include "public/public_data.h"
#include "public/public_pages.h"
#include "status/http_front.h"
#include "status/status_history.h"

namespace tallysv {

// The players' site: the pages of public_pages.h over HTTP, behind the
// same front as the status pages (its bounds on connections, request size
// and time). Its data is its own: a thread of the site reads the data
// folder's files when asked (at start and after every save; after a
// reading that took T, not again before 4T) and builds a PublicData from
// them, so no request and no build touches the network's tables. Who is online comes from `online`, asked at most once a second
// however many requests come (it copies the players online under the
// network's lock); the chart from `history`. Every answer carries an ETag
// of its body (a request that names it gets 304) and may be kept for a few
// seconds. Any Host header is answered: nothing on the site is private.
// The site's bounds: the status pages' (one request per connection, its
// size and time limits, four workers), with more connections let wait, as
// players come in numbers; beyond them a visitor gets 503 at once.
inline StatusLimits publicSiteLimits() {
    StatusLimits limits;
    limits.queued = 96;
    return limits;
}

class PublicSite {
public:
    using OnlineSource = std::function<PublicOnline()>;
    using HistorySource = std::function<HistoryView(int minutes)>;
    // How long a client may keep an answer, in seconds.
    static constexpr int kCacheSeconds = 10;

    PublicSite(std::string folder, ScoreLabels labels, OnlineSource online, HistorySource history,
               StatusLimits limits = publicSiteLimits());
    ~PublicSite();  // stops
    PublicSite(const PublicSite&) = delete;
    PublicSite& operator=(const PublicSite&) = delete;

    // Starts the loading thread (which reads the folder at once) and serves
    // where `listen` says ("host:port", port 0 a free one).
    Status start(const std::string& listen);
    void stop();
    // Asks the loading thread to read the folder again (a save has ended);
    // returns at once. Requests are served from the data before until the
    // new data is built.
    void reload();
    // Waits until a reading asked for has been built (tests, benchmarks).
    void waitLoaded();
    // The data pages are made from now (none before the first reading).
    std::shared_ptr<const PublicData> data() const;
    uint16_t port() const { return http_ ? http_->port() : 0; }
    const std::string& address() const;

    // What one request gets, as the HTTP side serves it (tests call it
    // directly).
    PublicAnswer answer(const PublicRequest& request);

private:
    void loadLoop();

    std::string folder_;
    ScoreLabels labels_;
    OnlineSource online_;
    HistorySource history_;
    StatusLimits limits_;
    std::unique_ptr<HttpFront> http_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const PublicData> data_;
    uint64_t asked_ = 0;   // readings asked for
    uint64_t built_ = 0;   // readings built
    bool stopping_ = false;
    std::thread loader_;

    // Who is online and the chart's history, taken at most once a second.
    struct Live {
        PublicOnline online;
        HistoryView history;
    };
    std::shared_ptr<const Live> currentLive();
    std::mutex liveMutex_;
    std::shared_ptr<const Live> live_;
    std::chrono::steady_clock::time_point liveTaken_{};
};

}  // namespace tallysv
