#include "loadgen/server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <httplib.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "loadgen/loadgen.h"

namespace loadgen {

double buildDatabase(const std::filesystem::path& folder, int accounts) {
    auto start = SteadyClock::now();
    tallysv::SystemClock clock;
    tallysv::DiscardLog log;
    tallysv::Settings settings;
    tallysv::Database database(settings, clock, log, folder.string());
    for (int i = 1; i <= accounts; ++i) {
        tallysv::IPv4Address address{10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                                     static_cast<uint8_t>(i)};
        database.createUser(accountName(i), kPassword, address, 100000 + i, 0);
    }
    if (!database.save()) fail("the database was not saved");
    if (database.users().count() != static_cast<size_t>(accounts)) fail("the database did not take every account");
    return secondsSince(start);
}

double ServerProcess::cpuSeconds() const {
    std::ifstream file("/proc/" + std::to_string(pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(text.substr(paren + 1));
    std::string field;
    double ticks = 0;
    // Fields 14 and 15 (user and system time); the text after the
    // parenthesis starts with field 3.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n >= 14) ticks += std::strtod(field.c_str(), nullptr);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::vector<pid_t> ServerProcess::children() const {
    std::ifstream file("/proc/" + std::to_string(pid()) + "/task/" + std::to_string(pid()) + "/children");
    std::vector<pid_t> out;
    long pid;
    while (file >> pid) out.push_back(static_cast<pid_t>(pid));
    return out;
}

ServerProcess::Memory ServerProcess::memoryOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    Memory m;
    std::string line;
    while (std::getline(file, line)) {
        double value = 0;
        if (std::sscanf(line.c_str(), "Rss: %lf", &value) == 1) m.rss = value;
        if (std::sscanf(line.c_str(), "Pss: %lf", &value) == 1) m.pss = value;
    }
    return m;
}

std::string ServerProcess::consoleTail(size_t bytes) const {
    std::string all = console();
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

MetricsScraper::MetricsScraper(uint16_t port)
    : thread_([this, port] {
          httplib::Client client("127.0.0.1", port);
          client.set_connection_timeout(std::chrono::seconds(1));
          client.set_read_timeout(std::chrono::seconds(1));
          auto next = SteadyClock::now();
          while (!stop_.load()) {
              auto got = client.Get("/metrics");
              bool good = got && got->status == 200 && got->body.find("tallysv_player_logins_total") != std::string::npos;
              ++(good ? answered_ : failed_);
              next += std::chrono::milliseconds(100);
              while (!stop_.load() && SteadyClock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
      }) {}

MetricsScraper::~MetricsScraper() {
    stop_.store(true);
    thread_.join();
}

}  // namespace loadgen
