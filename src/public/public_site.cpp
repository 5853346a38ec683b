#include "public/public_site.h"

#include <httplib.h>

#include <cstdio>

#include "core/clock.h"
#include "core/log.h"
#include "db/dat_images.h"
#include "db/database.h"

namespace tallysv {

namespace {

std::string etagOf(const std::string& body) {
    uint64_t hash = 1469598103934665603ull;
    for (char c : body) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

// Whether an If-None-Match header names the answer's tag (or "*").
bool tagMatches(std::string_view header, std::string_view tag) {
    while (!header.empty()) {
        const size_t comma = header.find(',');
        std::string_view one = header.substr(0, comma);
        while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) one.remove_prefix(1);
        while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) one.remove_suffix(1);
        if (one.rfind("W/", 0) == 0) one.remove_prefix(2);
        if (one == tag || one == "*") return true;
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    }
    return false;
}

}  // namespace

PublicSite::PublicSite(std::string folder, ScoreLabels labels, OnlineSource online, HistorySource history,
                       StatusLimits limits)
    : folder_(std::move(folder)), labels_(std::move(labels)), online_(std::move(online)),
      history_(std::move(history)), limits_(limits) {}

PublicSite::~PublicSite() { stop(); }

Status PublicSite::start(const std::string& listen) {
    stop();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = false;
        ++asked_;
    }
    loader_ = std::thread([this] { loadLoop(); });
    auto http = std::make_unique<HttpFront>(limits_);
    auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        PublicRequest asked;
        asked.path = request.path;
        if (asked.path.size() > 5 && asked.path.compare(asked.path.size() - 5, 5, ".json") == 0) {
            asked.path.resize(asked.path.size() - 5);
            asked.json = true;
        }
        if (request.get_header_value("Accept").find("application/json") != std::string::npos) asked.json = true;
        for (const auto& [name, value] : request.params) asked.params.emplace(name, value);
        PublicAnswer answered = answer(asked);
        const std::string tag = etagOf(answered.body);
        response.set_header("ETag", tag);
        response.set_header("Vary", "Accept");
        if (answered.status == 200 && tagMatches(request.get_header_value("If-None-Match"), tag)) {
            response.status = 304;
            return;
        }
        response.status = answered.status;
        response.set_content(answered.body, answered.type);
    };
    http->pages().Get(R"(/.*)", serve);
    if (Status status = http->start(listen, "*",
                                    {{"Cache-Control", "public, max-age=" + std::to_string(kCacheSeconds)},
                                     {"X-Content-Type-Options", "nosniff"},
                                     {"Content-Security-Policy",
                                      "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'"}});
        !status) {
        stop();
        return status;
    }
    http_ = std::move(http);
    return Status::ok();
}

void PublicSite::stop() {
    if (http_) http_->stop();
    http_.reset();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (loader_.joinable()) loader_.join();
}

const std::string& PublicSite::address() const {
    static const std::string none;
    return http_ ? http_->address() : none;
}

void PublicSite::reload() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++asked_;
    }
    changed_.notify_all();
}

void PublicSite::waitLoaded() {
    std::unique_lock<std::mutex> guard(mutex_);
    const uint64_t wanted = asked_;
    changed_.wait(guard, [&] { return built_ >= wanted || stopping_; });
}

std::shared_ptr<const PublicData> PublicSite::data() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return data_;
}

// Readings asked for while one is being built are served by one more. A
// reading rests four times as long as it took before the next begins, so
// that frequent saves of a large folder keep the site's thread to a fifth
// of a core.
void PublicSite::loadLoop() {
    std::unique_lock<std::mutex> guard(mutex_);
    std::chrono::steady_clock::duration rest{};
    for (;;) {
        changed_.wait_for(guard, rest, [&] { return stopping_; });
        changed_.wait(guard, [&] { return stopping_ || asked_ > built_; });
        if (stopping_) return;
        const uint64_t reading = asked_;
        const auto began = std::chrono::steady_clock::now();
        guard.unlock();
        std::shared_ptr<const PublicData> built;
        {
            Settings settings;
            SystemClock clock;
            DiscardLog quiet;
            Database database(settings, clock, quiet, folder_);
            database.loadImages(readDatImages(folder_));
            built = PublicData::build(database, clock.now());
        }
        guard.lock();
        data_ = std::move(built);
        built_ = reading;
        rest = 4 * (std::chrono::steady_clock::now() - began);
        changed_.notify_all();
    }
}

std::shared_ptr<const PublicSite::Live> PublicSite::currentLive() {
    std::lock_guard<std::mutex> guard(liveMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!live_ || now - liveTaken_ >= std::chrono::seconds(1)) {
        auto live = std::make_shared<Live>();
        if (online_) live->online = online_();
        if (history_) live->history = history_(StatusHistory::kMinutes);
        live_ = std::move(live);
        liveTaken_ = now;
    }
    return live_;
}

PublicAnswer PublicSite::answer(const PublicRequest& request) {
    std::shared_ptr<const PublicData> current = data();
    if (!current) {
        const std::string text = "The site is reading the network's data; try again in a moment.";
        return request.json ? PublicAnswer{503, "{\"error\":\"" + text + "\"}\n", "application/json"}
                            : PublicAnswer{503, text + "\n", "text/plain; charset=utf-8"};
    }
    std::shared_ptr<const Live> live = currentLive();
    return renderPublicPage(request, {*current, live->online, live->history, labels_});
}

}  // namespace tallysv
