#pragma once
// The server under load: its folder with a database of accounts, its
// process, and a scraper of its status pages.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace loadgen {

// Accounts Player0000001.. with one password, written as the server's
// files into `folder`. Returns the seconds it took.
double buildDatabase(const std::filesystem::path& folder, int accounts);

// The server binary running in its folder, console keys through a pipe,
// its console into a file there (a server under load prints two lines per
// login: a pipe would make it wait for this process to read them), with
// what the measurements read of it: its console, its processor time,
// its memory and its writing process while a save runs.
class ServerProcess {
public:
    ServerProcess(const std::string& binary, const std::filesystem::path& folder)
        : process_(binary, {}, folder.string(), (folder / "console.log").string()) {}

    void sendKeys(const std::string& keys) { process_.send(keys); }
    bool running() { return process_.running(); }
    // The exit status, or none when the server ran past the limit.
    std::optional<int> waitForExit(uint32_t limitMs) { return process_.wait(std::chrono::milliseconds(limitMs)); }
    // Processor time of the whole process (every thread), in seconds.
    double cpuSeconds() const;
    // The server's child processes: while a periodic save is being
    // written, its writing process.
    std::vector<pid_t> children() const;
    // Resident and proportional memory of a process, in KiB (0 when gone).
    struct Memory {
        double rss = 0, pss = 0;
    };
    static Memory memoryOf(pid_t pid);
    pid_t pid() const { return process_.pid(); }
    std::string console() const { return process_.output(); }
    bool consoleHas(const std::string& text) const { return console().find(text) != std::string::npos; }
    std::string consoleTail(size_t bytes = 2000) const;

private:
    tallysv::testing::ChildProcess process_;
};

// Asks a server's status pages for /metrics every 100 ms, as a monitoring
// system would, until it is destroyed (at the latest when its server
// stops).
class MetricsScraper {
public:
    explicit MetricsScraper(uint16_t port);
    ~MetricsScraper();
    MetricsScraper(const MetricsScraper&) = delete;
    MetricsScraper& operator=(const MetricsScraper&) = delete;
    uint64_t answered() const { return answered_.load(); }
    uint64_t failed() const { return failed_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> failed_{0};
    std::thread thread_;
};

}  // namespace loadgen
