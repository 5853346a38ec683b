// Load generator for player logins. For each database size it builds a
// folder with that many accounts, starts the real server binary there on a
// free loopback port, and logs players in and out through several zones,
// each keeping a few logins in flight: a player login (an existing account
// picked at random, the right password, an address of its own), the
// server's acknowledgement, the login reply, the zone's acknowledgement; the
// player's leaving travels in the same datagram as the next login. It
// reports logins per second and the latency from sending a login to
// receiving its reply.
//
// The zones read and send several datagrams per system call, as a busy
// zone may (with --plain-zones one, like the plain bare exchange's clients).
//
// In the same run a bare UDP server and clients do the same exchange
// (request, acknowledgement, reply, acknowledgement) with datagrams of the
// same sizes and no work at all: the rate the machine allows. There are two
// of them: one makes a system call per datagram on both sides, the other
// reads and sends several per call on both sides, like the server and the
// zones. The servers of every size and the bare exchanges are measured in
// turns, one-second slices in a rotating order, so that a busy machine
// skews none of them; the comparisons are also printed round by round, so
// that their spread shows how much the machine's other load moved them.
//
// usage: loadgen_login [--accounts N]... [--seconds S] [--zones Z] [--window W]
//                      [--separate-leaving] [--periodic-save MS] [--compare-bin PATH]
//                      [--server-bin PATH] [--scrape-metrics] [--chat MEMBERS_PER_ZONE] [--plain-zones]
//
// --chat measures chat instead of logins, at one database size: that many
// players of every zone log in and join one channel, and every zone keeps
// --window lines on their way, each said by its next member in turn; a line
// is done when every other member has it. It reports lines delivered per
// second (one line to one member is one delivery) and the server's
// processor time per delivered line, beside both bare exchanges.
//
// Without --accounts it runs 1,000 and 1,000,000 accounts and prints the
// ratio of the two login rates. --seconds is the measured time of each
// (default 10). --separate-leaving sends each leaving in a reliable datagram
// of its own (and the bare request is then the size of a lone login).
// --periodic-save adds, for every size, a second server that saves every MS
// milliseconds while measured, beside the one that does not: the login
// latency of both (p50, p99, p99.9, longest), of the logins in flight while
// a save was being written, and the memory of the server and its writing
// process together against the server's own. --compare-bin adds the same
// saving server run from another binary (an earlier build, say). The
// server binary defaults to ../tallysv next to this program (the build
// folder). --scrape-metrics adds, for every size, a server with its status
// pages on whose /metrics a scraper asks every 100 ms for the whole run,
// beside the one without: both login rates, their ratio and the
// slice-to-slice spread of the rate without, from the one run.
//
// --hashing measures PasswordHashing instead: the time of one Argon2id hash
// and check here, then two servers, hashing off and on, each with 200
// accounts (their passwords scrambled, or hashed): logins per second of new
// accounts and of returning ones, and the longest stall of chat relayed
// between two other zones while a third zone floods wrong passwords from
// 1,000 addresses, side by side. --seconds is the time of each figure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <httplib.h>

#include "core/clock.h"
#include "core/log.h"
#include "db/database.h"
#include "credentials/password_store.h"
#include "db/flood_table.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace {

using zoneclient::Bytes;
using zoneclient::monotonicTick;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kPassword = "letmein";
constexpr int32_t kGroupId = 1;
constexpr uint8_t kAccepted = 0;
constexpr uint8_t kAcceptedUnregistered = 6;
constexpr int kFirstWarmUpMs = 1000;
constexpr int kWarmUpMs = 250;
constexpr int kSliceMs = 1000;
// Bounds on every wait, so that a stuck server ends the run instead of
// hanging it.
constexpr uint32_t kServerReadyLimit = 120000;
constexpr uint32_t kDockingLimit = 10000;
constexpr uint32_t kQuiesceLimit = 10000;
constexpr uint32_t kServerExitLimit = 180000;

struct Options {
    std::vector<int> accounts;
    int seconds = 10;
    int zones = 8;
    int window = 3;
    bool separateLeaving = false;
    int chatMembers = 0;  // per zone; 0 = logins are measured, not chat
    bool plainZones = false;  // zones read and send one datagram per call
    std::string serverBin;
    int periodicSave = 0;  // ms; 0 = only servers that do not save while measured
    std::string compareBin;  // another server binary, measured saving too
    bool scrapeMetrics = false;  // also a server whose /metrics is scraped every 100 ms
    bool hashing = false;  // hashed passwords against scrambled ones (--hashing)
};

// A failed run unwinds to main, so that the servers it started are killed
// and their folders removed on the way.
struct Failure {
    std::string why;
};

[[noreturn]] void fail(const std::string& why) { throw Failure{why}; }

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string accountName(int index) {
    char name[24];
    std::snprintf(name, sizeof name, "Player%07d", index);
    return name;
}

std::string withCommas(long long n) {
    std::string digits = std::to_string(n);
    std::string out;
    int count = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (count > 0 && count % 3 == 0 && *it != '-') out.insert(out.begin(), ',');
        out.insert(out.begin(), *it);
        ++count;
    }
    return out;
}

// ---------------------------------------------------------------- figures

struct Figures {
    uint64_t count = 0;
    double seconds = 0;
    double rate = 0;
    double p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;  // milliseconds
};

// Replies received in measured time, over all slices of one kind.
struct Tally {
    std::vector<int64_t> latenciesNs;
    // Of a server that saves while measured: the logins in flight while a
    // save was being written, and memory of the server and its writing
    // process together against the server's own when no save runs.
    std::vector<int64_t> duringSaveNs;
    uint64_t saveSightings = 0;
    uint64_t savesSeen = 0;
    double servingMiB = 0;  // the server alone, at most
    double savingMiB = 0;   // the server and its writing process together, at most
    double seconds = 0;
    double serverCpu = 0;  // seconds of processor time in measured time
    double clientCpu = 0;
    // Of each slice, in the order taken: its rate and the server's
    // processor time per exchange (microseconds).
    std::vector<double> sliceRates;
    std::vector<double> sliceServerUs;

    void addSlice(size_t count, double seconds, double serverSeconds) {
        sliceRates.push_back(seconds > 0 ? static_cast<double>(count) / seconds : 0);
        sliceServerUs.push_back(count > 0 ? serverSeconds / static_cast<double>(count) * 1e6 : 0);
    }
};

double threadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Figures summarize(std::vector<int64_t>& latenciesNs, double seconds) {
    Figures f;
    f.count = latenciesNs.size();
    f.seconds = seconds;
    f.rate = seconds > 0 ? static_cast<double>(f.count) / seconds : 0;
    if (latenciesNs.empty()) return f;
    std::sort(latenciesNs.begin(), latenciesNs.end());
    auto at = [&](double q) {
        size_t i = std::min(latenciesNs.size() - 1, static_cast<size_t>(q * static_cast<double>(latenciesNs.size())));
        return static_cast<double>(latenciesNs[i]) / 1e6;
    };
    f.p50 = at(0.50);
    f.p90 = at(0.90);
    f.p99 = at(0.99);
    f.p999 = at(0.999);
    f.max = static_cast<double>(latenciesNs.back()) / 1e6;
    return f;
}

void printFigures(const char* what, const Figures& f) {
    std::printf("  %-32s %9s in %.2f s = %8.0f/s   latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                what, withCommas(static_cast<long long>(f.count)).c_str(), f.seconds, f.rate, f.p50, f.p90, f.p99,
                f.p999, f.max);
}

void printCpu(const Tally& tally, const Figures& f, const char* server, const char* clients) {
    if (f.count == 0) return;
    double n = static_cast<double>(f.count);
    std::printf("  %-32s processor time per exchange: %s %.1f us, %s %.1f us\n", "", server,
                tally.serverCpu / n * 1e6, clients, tally.clientCpu / n * 1e6);
}

// ---------------------------------------------------------------- the server's folder and process

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "loadgen_login.XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fail("cannot make a temporary folder");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Accounts Player0000001.. with one password, written as the server's
// files into `folder`. Returns the seconds it took.
double buildDatabase(const std::filesystem::path& folder, int accounts) {
    auto start = SteadyClock::now();
    tallysv::SystemClock clock;
    tallysv::DiscardLog log;
    tallysv::Database database(clock, log, folder.string());
    for (int i = 1; i <= accounts; ++i) {
        tallysv::IPv4Address address{10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                                     static_cast<uint8_t>(i)};
        database.createUser(accountName(i), kPassword, address, 100000 + i, 0);
    }
    database.save();
    if (database.users().count() != static_cast<size_t>(accounts)) fail("the database did not take every account");
    return secondsSince(start);
}

uint16_t freeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("no free UDP port");
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

uint16_t freeTcpPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("no free TCP port");
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Asks a server's status pages for /metrics every 100 ms, as a monitoring
// system would, until it is destroyed (at the latest when its server
// stops).
class MetricsScraper {
public:
    explicit MetricsScraper(uint16_t port)
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
    ~MetricsScraper() {
        stop_.store(true);
        thread_.join();
    }
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

// The server binary running in its folder: console keys through a pipe,
// its console output into a file in the folder.
class ServerProcess {
public:
    ServerProcess(const std::string& binary, const std::filesystem::path& folder)
        : logPath_((folder / "console.log").string()) {
        // Close-on-exec, so that a server started later does not hold the
        // key pipe of an earlier one.
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe failed");
        std::string directory = folder.string();
        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(in[0]);
            ::close(in[1]);
            fail("fork failed");
        }
        if (pid_ == 0) {
            int out = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0 || ::chdir(directory.c_str()) != 0) ::_exit(126);
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out);
            char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
            ::execv(binary.c_str(), argv);
            ::_exit(127);
        }
        ::close(in[0]);
        input_ = in[1];
    }
    ~ServerProcess() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
        }
        if (input_ >= 0) ::close(input_);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    void sendKeys(const std::string& keys) {
        if (input_ >= 0) (void)!::write(input_, keys.data(), keys.size());
    }
    bool running() {
        if (status_) return false;
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return false;
        }
        return true;
    }
    // The exit status, or none when the server ran past the limit.
    std::optional<int> waitForExit(uint32_t limitMs) {
        uint32_t start = monotonicTick();
        while (running()) {
            if (monotonicTick() - start >= limitMs) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }
    // Processor time of the whole process (every thread), in seconds.
    double cpuSeconds() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
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
    // The server's child processes: while a periodic save is being
    // written, its writing process.
    std::vector<pid_t> children() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
        std::vector<pid_t> out;
        long pid;
        while (file >> pid) out.push_back(static_cast<pid_t>(pid));
        return out;
    }
    // Resident and proportional memory of a process, in KiB (0 when gone).
    struct Memory {
        double rss = 0, pss = 0;
    };
    static Memory memoryOf(pid_t pid) {
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
    pid_t pid() const { return pid_; }
    std::string console() const {
        std::ifstream file(logPath_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool consoleHas(const std::string& text) const { return console().find(text) != std::string::npos; }
    std::string consoleTail(size_t bytes = 2000) const {
        std::string all = console();
        return all.size() > bytes ? all.substr(all.size() - bytes) : all;
    }

private:
    std::string logPath_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

// ---------------------------------------------------------------- zones logging players in

// Datagrams of one socket read in one call (recvmmsg), or gathered and sent
// in one (sendmmsg).
class DatagramBatch {
public:
    static constexpr unsigned kSize = 32;

    DatagramBatch() {
        for (unsigned i = 0; i < kSize; ++i) {
            headers_[i] = {};
            headers_[i].msg_hdr.msg_iov = &vectors_[i];
            headers_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // At most `most` datagrams read without waiting, or -1 with errno.
    int receive(int fd, unsigned most = kSize) {
        for (unsigned i = 0; i < most; ++i) {
            vectors_[i] = {buffers_[i], sizeof buffers_[i]};
            headers_[i].msg_hdr.msg_name = nullptr;
            headers_[i].msg_hdr.msg_namelen = 0;
        }
        return ::recvmmsg(fd, headers_, most, MSG_DONTWAIT, nullptr);
    }
    std::span<const uint8_t> datagram(int i) const { return {buffers_[i], headers_[i].msg_len}; }

    // Where gathered datagrams go.
    void aim(int fd, const sockaddr_in& to) {
        fd_ = fd;
        to_ = to;
    }
    // A full batch is sent first.
    void add(std::span<const uint8_t> datagram) {
        if (count_ == kSize) send();
        std::memcpy(buffers_[count_], datagram.data(), std::min(datagram.size(), sizeof buffers_[count_]));
        vectors_[count_] = {buffers_[count_], std::min(datagram.size(), sizeof buffers_[count_])};
        ++count_;
    }
    void send() {
        for (unsigned i = 0; i < count_; ++i) {
            headers_[i].msg_hdr.msg_name = &to_;
            headers_[i].msg_hdr.msg_namelen = sizeof to_;
        }
        for (unsigned sent = 0; sent < count_;) {
            int n = ::sendmmsg(fd_, headers_ + sent, count_ - sent, 0);
            if (n < 0 && errno == EINTR) continue;
            sent += n > 0 ? static_cast<unsigned>(n) : 1;
        }
        count_ = 0;
    }

private:
    uint8_t buffers_[kSize][2048];
    iovec vectors_[kSize];
    mmsghdr headers_[kSize];
    unsigned count_ = 0;
    int fd_ = -1;
    sockaddr_in to_{};
};

class LoginDriver {
public:
    LoginDriver(const Options& options, uint16_t port, int accounts) : options_(options), accounts_(accounts) {
        server_.sin_family = AF_INET;
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server_.sin_port = htons(port);
        std::string reason;
        for (int i = 0; i < options.zones; ++i) {
            auto zone = std::make_unique<Zone>();
            if (!zone->client.open("127.0.0.1", port, reason)) fail("cannot open a zone socket: " + reason);
            Zone* z = zone.get();
            zone->scoreId = i + 1;
            zone->name = "Loadgen Zone " + std::to_string(i + 1);
            zone->link = std::make_unique<zoneclient::ZoneLink>(
                [z](std::span<const uint8_t> d) {
                    ++z->datagramsOut;
                    if (z->gathering) {
                        z->outgoing.add(d);
                    } else {
                        z->client.send(d);
                    }
                },
                0x2000 + i, zoneclient::ZoneLink::Options{options.window, 500});
            zone->slots.resize(static_cast<size_t>(options.window));
            zone->outgoing.aim(zone->client.descriptor(), server_);
            fds_.push_back({zone->client.descriptor(), POLLIN, 0});
            zones_.push_back(std::move(zone));
        }
    }

    // Handshakes, retried while the server is still loading its files.
    void connect(ServerProcess& server) {
        uint32_t start = monotonicTick();
        uint32_t lastTry = start - 1000;
        for (;;) {
            bool all = true;
            for (auto& z : zones_) all = all && z->link->connected();
            if (all) return;
            uint32_t now = monotonicTick();
            if (!server.running()) fail("the server ended while starting:\n" + server.consoleTail());
            if (now - start >= kServerReadyLimit) fail("the server does not answer connection requests");
            if (now - lastTry >= 250) {
                for (auto& z : zones_) {
                    if (!z->link->connected()) z->link->connect();
                }
                lastTry = now;
            }
            pump(50);
        }
    }

    // Zone logins. They count as login attempts of 127.0.0.1 in the
    // server's flood table, like player logins do for their addresses; so
    // the zones dock a few at a time, and in between the zones already
    // docked log in enough players from fresh addresses to push the entry of
    // 127.0.0.1 out of the bounded table.
    void dock(ServerProcess& server) {
        const int perGroup = tallysv::FloodTable::kLightFlood - 1;
        const uint64_t evicting = tallysv::FloodTable::kEvictAbove + 1;
        for (size_t first = 0; first < zones_.size(); first += static_cast<size_t>(perGroup)) {
            if (first > 0) {
                uint64_t target = completed_ + evicting;
                issuing_ = true;
                for (auto& z : zones_) topUp(*z);
                uint32_t start = monotonicTick();
                while (completed_ < target) {
                    if (monotonicTick() - start >= kDockingLimit) fail("player logins between zone logins stalled");
                    pump(10);
                }
                quiesce();
            }
            size_t last = std::min(zones_.size(), first + static_cast<size_t>(perGroup));
            for (size_t i = first; i < last; ++i) {
                Zone& z = *zones_[i];
                z.link->sendReliable(zoneclient::zoneLogin(kGroupId, z.scoreId, z.name, ""), monotonicTick());
            }
            uint32_t start = monotonicTick();
            for (size_t i = first; i < last; ++i) {
                Zone& z = *zones_[i];
                std::string granted = std::to_string(z.scoreId) + " - Docking granted: " + z.name;
                while (!server.consoleHas(granted)) {
                    if (monotonicTick() - start >= kDockingLimit)
                        fail("zone " + z.name + " was not docked:\n" + server.consoleTail());
                    pump(10);
                }
                z.docked = true;
            }
        }
    }

    // One measured slice: a warm-up, `measureMs` of logins whose replies
    // count, then every player leaves so that the zones rest until the next
    // slice.
    void measureSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server, bool saves) {
        watching_ = &tally;
        watchesSaves_ = saves;
        watchedServer_ = &server;
        saveRunning_ = false;
        issuing_ = true;
        for (auto& z : zones_) topUp(*z);
        auto warmUpEnd = SteadyClock::now() + std::chrono::milliseconds(warmUpMs);
        while (SteadyClock::now() < warmUpEnd) pump(10);

        uint64_t inBefore = 0, outBefore = 0, resendsBefore = 0;
        for (auto& z : zones_) {
            inBefore += z->datagramsIn;
            outBefore += z->datagramsOut;
            resendsBefore += z->link->resends();
        }
        size_t countBefore = tally.latenciesNs.size();
        measureWindow(measureMs, tally, server);

        for (auto& z : zones_) {
            datagramsIn_ += z->datagramsIn;
            datagramsOut_ += z->datagramsOut;
            resends_ += z->link->resends();
        }
        datagramsIn_ -= inBefore;
        datagramsOut_ -= outBefore;
        resends_ -= resendsBefore;
        measured_ += tally.latenciesNs.size() - countBefore;
        quiesce();
        watching_ = nullptr;
    }

    void disconnect() {
        for (auto& z : zones_) z->link->disconnect();
    }

    uint64_t failed() const { return failed_; }
    const std::string& firstFailure() const { return firstFailure_; }
    double datagramsInPerLogin() const { return measured_ ? static_cast<double>(datagramsIn_) / measured_ : 0; }
    double datagramsOutPerLogin() const { return measured_ ? static_cast<double>(datagramsOut_) / measured_ : 0; }
    uint64_t resends() const { return resends_; }

    // Chat: `perZone` players of every zone log in, each with an account of
    // its own, and join one channel.
    void seatChatMembers(int perZone) {
        seating_ = true;
        for (auto& z : zones_) {
            z->slots.assign(static_cast<size_t>(perZone), Slot{});
            for (Slot& slot : z->slots) startLogin(*z, slot);
        }
        const uint64_t seated = completed_ + static_cast<uint64_t>(perZone) * zones_.size();
        uint32_t start = monotonicTick();
        while (completed_ < seated) {
            if (failed_ > 0) fail("chat members refused: " + firstFailure_);
            if (monotonicTick() - start >= kDockingLimit) fail("chat members were not let in");
            pump(10);
        }
        for (auto& z : zones_) {
            for (Slot& slot : z->slots) {
                z->link->sendReliable(zoneclient::command(slot.playerId, "?chat=loadgen"), monotonicTick());
            }
        }
        // Once every join is acknowledged the server has handled it: it
        // handles a zone's datagrams in order, before any chat sent later.
        start = monotonicTick();
        for (;;) {
            bool busy = false;
            for (auto& z : zones_) busy = busy || z->link->inFlight() > 0 || z->link->waiting() > 0;
            if (!busy) break;
            if (monotonicTick() - start >= kDockingLimit) fail("chat joins went unanswered");
            pump(10);
        }
        chatMembers_ = perZone * static_cast<int>(zones_.size());
    }

    // One measured slice of chat: every zone keeps `window` lines on their
    // way; a line whose every other member has it makes room for the next.
    // The tally counts deliveries.
    void measureChatSlice(int warmUpMs, int measureMs, Tally& tally, const ServerProcess& server) {
        issuing_ = true;
        for (auto& z : zones_) {
            for (int i = 0; i < options_.window; ++i) sendChatLine(*z);
        }
        auto warmUpEnd = SteadyClock::now() + std::chrono::milliseconds(warmUpMs);
        while (SteadyClock::now() < warmUpEnd) pump(10);
        measureWindow(measureMs, tally, server);
        issuing_ = false;
        uint32_t start = monotonicTick();
        while (!chatLines_.empty()) {
            if (monotonicTick() - start >= kQuiesceLimit) fail("chat lines were not delivered to every member");
            pump(10);
        }
    }
    uint64_t chatLinesSent() const { return chatLineCount_; }
    int chatMembers() const { return chatMembers_; }

private:
    struct Slot {
        uint32_t playerId = 0;
        bool awaitingReply = false;
        bool inZone = false;  // accepted and not yet left
        bool duringSave = false;  // a save was being written while in flight
        SteadyClock::time_point sent;
    };
    struct Zone {
        zoneclient::UdpClient client;
        std::unique_ptr<zoneclient::ZoneLink> link;
        int32_t scoreId = 0;
        std::string name;
        bool docked = false;
        uint32_t nextPlayerId = 1;
        std::vector<Slot> slots;
        size_t nextSpeaker = 0;
        // What the zone sends while it handles what it read leaves together.
        bool gathering = false;
        DatagramBatch outgoing;
        uint64_t datagramsIn = 0;
        uint64_t datagramsOut = 0;
    };

    // Uniformly spread over the whole table, so that a large table is not
    // served from a warm corner of it.
    int pickAccount() {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 7;
        rng_ ^= rng_ << 17;
        return 1 + static_cast<int>(rng_ % static_cast<uint64_t>(accounts_));
    }
    // Every login comes from an address of its own: 10.0.0.1 upwards.
    tallysv::IPv4Address nextAddress() {
        uint32_t n = ++addressCounter_;
        return {10, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    }

    void startLogin(Zone& z, Slot& slot) {
        zoneclient::PlayerLogin login;
        login.address = nextAddress();
        login.name = accountName(seating_ ? ++seatedAccounts_ : pickAccount());
        login.password = kPassword;
        login.playerId = z.nextPlayerId++;
        Bytes message = zoneclient::playerLogin(login);
        uint32_t tick = monotonicTick();
        slot.sent = SteadyClock::now();
        if (slot.inZone) {
            Bytes leaving = zoneclient::playerLeaving(slot.playerId, 1, std::nullopt);
            if (options_.separateLeaving) {
                z.link->sendReliable(leaving, tick);
                z.link->sendReliable(message, tick);
            } else {
                z.link->sendCluster({leaving, message}, true, tick);
            }
        } else {
            z.link->sendReliable(message, tick);
        }
        slot.playerId = login.playerId;
        slot.duringSave = saveRunning_;
        slot.awaitingReply = true;
        slot.inZone = false;
    }

    void leave(Zone& z, Slot& slot) {
        if (!slot.inZone) return;
        z.link->sendReliable(zoneclient::playerLeaving(slot.playerId, 1, std::nullopt), monotonicTick());
        slot.inZone = false;
    }

    void topUp(Zone& z) {
        if (!z.docked) return;
        for (Slot& slot : z.slots) {
            if (!slot.awaitingReply) startLogin(z, slot);
        }
    }

    void onReply(Zone& z, const zoneclient::PlayerLoginReply& reply) {
        auto now = SteadyClock::now();
        auto it = std::find_if(z.slots.begin(), z.slots.end(),
                               [&](const Slot& s) { return s.awaitingReply && s.playerId == reply.playerId; });
        if (it == z.slots.end()) return;
        Slot& slot = *it;
        slot.awaitingReply = false;
        if (reply.result == kAccepted || reply.result == kAcceptedUnregistered) {
            slot.inZone = true;
            ++completed_;
            int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - slot.sent).count();
            if (latencies_) latencies_->push_back(ns);
            if (latencies_ && watchesSaves_ && (slot.duringSave || saveRunning_)) watching_->duringSaveNs.push_back(ns);
        } else {
            ++failed_;
            if (firstFailure_.empty()) {
                firstFailure_ = z.name + ": player " + std::to_string(reply.playerId) + " refused with result " +
                                std::to_string(reply.result) + " (" + zoneclient::loginResultText(reply.result) + ")";
            }
        }
        if (seating_) return;
        if (issuing_) {
            startLogin(z, slot);
        } else {
            leave(z, slot);
        }
    }

    // A chat line reached a member: one delivery of the line it names.
    void onChatLine(const zoneclient::ChatLine& line) {
        size_t at = line.text.rfind("> line ");
        if (at == std::string::npos) return;
        uint64_t id = std::strtoull(line.text.c_str() + at + 7, nullptr, 10);
        auto it = chatLines_.find(id);
        if (it == chatLines_.end()) fail("a chat line delivered more often than it has members: " + line.text);
        if (latencies_)
            latencies_->push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - it->second.sent).count());
        if (--it->second.remaining > 0) return;
        Zone& sender = *zones_[it->second.zone];
        chatLines_.erase(it);
        if (issuing_) sendChatLine(sender);
    }

    // The zone's next member in turn says a line naming itself by a number.
    void sendChatLine(Zone& z) {
        uint64_t id = ++chatLineCount_;
        size_t zoneIndex = 0;
        while (zones_[zoneIndex].get() != &z) ++zoneIndex;
        const Slot& member = z.slots[z.nextSpeaker++ % z.slots.size()];
        chatLines_[id] = ChatPending{zoneIndex, chatMembers_ - 1, SteadyClock::now()};
        z.link->sendReliable(zoneclient::chat(member.playerId, '1', "line " + std::to_string(id)), monotonicTick());
    }

    // The measured part of a slice: what completes in `measureMs` goes into
    // the tally, with the processor time of the server and of the zones.
    void measureWindow(int measureMs, Tally& tally, const ServerProcess& server) {
        size_t countBefore = tally.latenciesNs.size();
        latencies_ = &tally.latenciesNs;
        double serverCpu = server.cpuSeconds();
        double clientCpu = threadCpuSeconds();
        auto begin = SteadyClock::now();
        auto end = begin + std::chrono::milliseconds(measureMs);
        while (SteadyClock::now() < end) pump(10);
        latencies_ = nullptr;
        double sliceSeconds = secondsSince(begin);
        double sliceServer = server.cpuSeconds() - serverCpu;
        tally.seconds += sliceSeconds;
        tally.serverCpu += sliceServer;
        tally.clientCpu += threadCpuSeconds() - clientCpu;
        tally.addSlice(tally.latenciesNs.size() - countBefore, sliceSeconds, sliceServer);
    }

    // One round: waits up to `timeoutMs` for datagrams, handles what came,
    // and runs the zones' resends.
    void pump(int timeoutMs) {
        ::poll(fds_.data(), fds_.size(), timeoutMs);
        if (watching_ && latencies_) watchSave();
        uint32_t tick = monotonicTick();
        for (size_t i = 0; i < zones_.size(); ++i) {
            Zone& z = *zones_[i];
            // Several datagrams per call, as a busy zone would read and
            // send; with --plain-zones one.
            const unsigned most = options_.plainZones ? 1 : DatagramBatch::kSize;
            z.gathering = !options_.plainZones;
            if (fds_[i].revents & (POLLIN | POLLERR)) {
                for (;;) {
                    int n = incoming_.receive(z.client.descriptor(), most);
                    if (n < 0 && errno == EINTR) continue;
                    // A refused datagram (the server not yet listening)
                    // reports an error once; the next read goes on.
                    if (n < 0 && errno == ECONNREFUSED) continue;
                    if (n <= 0) break;
                    for (int k = 0; k < n; ++k) {
                        ++z.datagramsIn;
                        z.link->receive(incoming_.datagram(k), tick);
                    }
                    if (n < static_cast<int>(most)) break;
                }
            }
            while (!z.link->inbox.empty()) {
                Bytes message = std::move(z.link->inbox.front());
                z.link->inbox.pop_front();
                if (!message.empty() && message[0] == 10) {
                    if (auto line = zoneclient::parseChatLine(message)) onChatLine(*line);
                    continue;
                }
                if (message.empty() || message[0] != 1) continue;
                if (auto reply = zoneclient::parsePlayerLoginReply(message)) onReply(z, *reply);
            }
            if (z.link->disconnectedByServer()) fail("the server dropped " + z.name);
            // A fresh tick: logins sent above carry a later one than `tick`.
            z.link->maintain(monotonicTick());
            z.outgoing.send();
            z.gathering = false;
        }
    }

    // Whether the server has a writing process now; the logins in flight
    // meanwhile count as logins during a save. Memory is sampled every
    // 100 ms: with a save, the server and its writing process together;
    // without, the server alone.
    void watchSave() {
        // Looked at every 2 ms: reading the process table at every datagram
        // would cost the zones more than the logins.
        auto now = SteadyClock::now();
        if (now - lastSaveCheck_ < std::chrono::milliseconds(2)) return;
        lastSaveCheck_ = now;
        std::vector<pid_t> children;
        if (watchesSaves_) children = watchedServer_->children();
        bool running = !children.empty();
        if (running && !saveRunning_) ++watching_->savesSeen;
        saveRunning_ = running;
        if (running) {
            ++watching_->saveSightings;
            for (auto& z : zones_)
                for (Slot& slot : z->slots)
                    if (slot.awaitingReply) slot.duringSave = true;
        }
        if (now - lastMemorySample_ < std::chrono::milliseconds(100)) return;
        lastMemorySample_ = now;
        ServerProcess::Memory server = ServerProcess::memoryOf(watchedServer_->pid());
        if (!running) {
            watching_->servingMiB = std::max(watching_->servingMiB, server.rss / 1024);
            return;
        }
        double together = server.pss;
        for (pid_t child : children) together += ServerProcess::memoryOf(child).pss;
        watching_->savingMiB = std::max(watching_->savingMiB, together / 1024);
    }

    // Stops new logins, waits for the replies still due and lets every
    // player leave; returns once the server has acknowledged everything.
    void quiesce() {
        issuing_ = false;
        uint32_t start = monotonicTick();
        for (;;) {
            bool busy = false;
            for (auto& z : zones_) {
                for (Slot& slot : z->slots) {
                    if (!slot.awaitingReply) leave(*z, slot);
                    busy = busy || slot.awaitingReply;
                }
                busy = busy || z->link->inFlight() > 0 || z->link->waiting() > 0;
            }
            if (!busy) return;
            if (monotonicTick() - start >= kQuiesceLimit) fail("logins or leavings went unanswered");
            pump(10);
        }
    }

    const Options& options_;
    int accounts_;
    sockaddr_in server_{};
    DatagramBatch incoming_;
    std::vector<std::unique_ptr<Zone>> zones_;
    std::vector<pollfd> fds_;
    uint64_t rng_ = 0x9E3779B97F4A7C15ull;
    uint32_t addressCounter_ = 0;
    bool issuing_ = false;
    std::vector<int64_t>* latencies_ = nullptr;  // while measuring
    Tally* watching_ = nullptr;                   // while measuring a server that saves
    const ServerProcess* watchedServer_ = nullptr;
    bool watchesSaves_ = false;
    bool saveRunning_ = false;
    SteadyClock::time_point lastMemorySample_{};
    SteadyClock::time_point lastSaveCheck_{};
    uint64_t completed_ = 0;
    uint64_t failed_ = 0;
    std::string firstFailure_;
    uint64_t measured_ = 0;
    uint64_t datagramsIn_ = 0;
    uint64_t datagramsOut_ = 0;
    uint64_t resends_ = 0;
    // Chat: members seated, lines on their way and how many members still
    // wait for each.
    struct ChatPending {
        size_t zone;
        int remaining;
        SteadyClock::time_point sent;
    };
    bool seating_ = false;
    int seatedAccounts_ = 0;
    int chatMembers_ = 0;
    uint64_t chatLineCount_ = 0;
    std::unordered_map<uint64_t, ChatPending> chatLines_;
};

// ---------------------------------------------------------------- the bare exchange

// Datagram sizes of one login exchange, taken from the real messages: the
// zone's reliable datagram with a leaving and a login, the server's login
// reply in a reliable datagram, and an acknowledgement.
struct ExchangeSizes {
    size_t request, reply, ack;
};

ExchangeSizes exchangeSizes(bool separateLeaving) {
    zoneclient::PlayerLogin login;
    login.name = accountName(1000000);
    login.password = kPassword;
    Bytes message = zoneclient::playerLogin(login);
    Bytes request = separateLeaving
                        ? zoneclient::reliableDatagram(0, message)
                        : zoneclient::reliableDatagram(
                              0, zoneclient::cluster({zoneclient::playerLeaving(1, 1, std::nullopt), message}));
    return {request.size(), 6 + 192, zoneclient::acknowledgement(0).size()};
}

// A server thread that answers each request with an acknowledgement and a
// reply and ignores acknowledgements; clients that acknowledge each reply
// and send the next request. The plain server waits for each datagram
// before reading it and sends each datagram with a call of its own, and so
// do its clients. The batched one works like the real server's receive
// loop: it reads what is queued, several datagrams in one call (recvmmsg),
// waits only when nothing is, and sends all the answers to what it read in
// one call (sendmmsg); its clients read and send like the zones of the
// login measurement do, several datagrams per call.
class BareExchange {
public:
    BareExchange(const Options& options, bool batched)
        : sizes_(exchangeSizes(options.separateLeaving)), batched_(batched) {
        serverFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (serverFd_ < 0 || ::bind(serverFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (serverFd_ >= 0) ::close(serverFd_);
            fail("cannot bind the bare server");
        }
        socklen_t size = sizeof address;
        ::getsockname(serverFd_, reinterpret_cast<sockaddr*>(&address), &size);
        std::string reason;
        for (int i = 0; i < options.zones; ++i) {
            auto c = std::make_unique<Client>();
            if (!c->socket.open("127.0.0.1", ntohs(address.sin_port), reason)) {
                ::close(serverFd_);
                fail("bare client: " + reason);
            }
            c->slots.resize(static_cast<size_t>(options.window));
            c->outgoing->aim(c->socket.descriptor(), address);
            fds_.push_back({c->socket.descriptor(), POLLIN, 0});
            clients_.push_back(std::move(c));
        }
        request_.assign(sizes_.request, 0x5A);
        request_[0] = 1;
        ack_.assign(sizes_.ack, 0);
        server_ = std::thread([this] {
            if (batched_) {
                serveBatched();
            } else {
                serve();
            }
        });
    }
    ~BareExchange() {
        running_.store(false);
        server_.join();
        ::close(serverFd_);
    }
    BareExchange(const BareExchange&) = delete;
    BareExchange& operator=(const BareExchange&) = delete;

    void measureSlice(int warmUpMs, int measureMs, Tally& tally) {
        issuing_ = true;
        for (auto& c : clients_) {
            for (size_t s = 0; s < c->slots.size(); ++s) sendRequest(*c, s);
        }
        auto warmUpEnd = SteadyClock::now() + std::chrono::milliseconds(warmUpMs);
        while (SteadyClock::now() < warmUpEnd) pump();
        latencies_ = &tally.latenciesNs;
        size_t countBefore = tally.latenciesNs.size();
        double serverCpu = serverCpuSeconds();
        double clientCpu = threadCpuSeconds();
        auto begin = SteadyClock::now();
        auto end = begin + std::chrono::milliseconds(measureMs);
        while (SteadyClock::now() < end) pump();
        latencies_ = nullptr;
        double sliceSeconds = secondsSince(begin);
        double sliceServer = serverCpuSeconds() - serverCpu;
        tally.seconds += sliceSeconds;
        tally.serverCpu += sliceServer;
        tally.clientCpu += threadCpuSeconds() - clientCpu;
        tally.addSlice(tally.latenciesNs.size() - countBefore, sliceSeconds, sliceServer);
        // Let the last replies come in; a lost one is given up after a while
        // (its token no longer matches anything).
        issuing_ = false;
        uint32_t start = monotonicTick();
        while (busy() && monotonicTick() - start < 1000) pump();
        for (auto& c : clients_) {
            for (Slot& slot : c->slots) slot.awaiting = false;
        }
    }

private:
    struct Slot {
        bool awaiting = false;
        uint32_t token = 0;
        SteadyClock::time_point sent;
    };
    struct Client {
        zoneclient::UdpClient socket;
        std::vector<Slot> slots;
        uint32_t nextToken = 0;
        bool gathering = false;
        std::unique_ptr<DatagramBatch> outgoing = std::make_unique<DatagramBatch>();
    };

    double serverCpuSeconds() {
        clockid_t id;
        timespec ts{};
        if (::pthread_getcpuclockid(server_.native_handle(), &id) != 0 || ::clock_gettime(id, &ts) != 0) return 0;
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }

    void serve() {
        uint8_t buffer[600];
        Bytes ack(sizes_.ack, 0);
        Bytes reply(sizes_.reply, 0);
        reply[0] = 2;
        while (running_.load(std::memory_order_relaxed)) {
            pollfd fd{serverFd_, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t fromSize = sizeof from;
            ssize_t n = ::recvfrom(serverFd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &fromSize);
            if (n < 5 || buffer[0] != 1) continue;
            std::memcpy(ack.data() + 1, buffer + 1, 4);
            std::memcpy(reply.data() + 1, buffer + 1, 4);
            ::sendto(serverFd_, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
            ::sendto(serverFd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
        }
    }

    void serveBatched() {
        constexpr unsigned kBatch = 16;
        struct Received {
            uint8_t bytes[600];
            sockaddr_in from;
            Bytes ack, reply;
        };
        std::vector<Received> received(kBatch);
        mmsghdr in[kBatch];
        iovec inVectors[kBatch];
        mmsghdr out[2 * kBatch];
        iovec outVectors[2 * kBatch];
        for (unsigned i = 0; i < kBatch; ++i) {
            Received& r = received[i];
            r.ack.assign(sizes_.ack, 0);
            r.reply.assign(sizes_.reply, 0);
            r.reply[0] = 2;
            inVectors[i] = {r.bytes, sizeof r.bytes};
            in[i] = {};
            in[i].msg_hdr.msg_iov = &inVectors[i];
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &r.from;
            outVectors[2 * i] = {r.ack.data(), r.ack.size()};
            outVectors[2 * i + 1] = {r.reply.data(), r.reply.size()};
        }
        while (running_.load(std::memory_order_relaxed)) {
            for (unsigned i = 0; i < kBatch; ++i) in[i].msg_hdr.msg_namelen = sizeof received[i].from;
            int n = ::recvmmsg(serverFd_, in, kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0) {
                pollfd fd{serverFd_, POLLIN, 0};
                ::poll(&fd, 1, 50);
                continue;
            }
            unsigned answers = 0;
            for (int i = 0; i < n; ++i) {
                Received& r = received[static_cast<size_t>(i)];
                if (in[i].msg_len < 5 || r.bytes[0] != 1) continue;
                std::memcpy(r.ack.data() + 1, r.bytes + 1, 4);
                std::memcpy(r.reply.data() + 1, r.bytes + 1, 4);
                for (int k = 0; k < 2; ++k) {
                    mmsghdr& m = out[answers];
                    m = {};
                    m.msg_hdr.msg_name = &r.from;
                    m.msg_hdr.msg_namelen = sizeof r.from;
                    m.msg_hdr.msg_iov = &outVectors[2 * i + k];
                    m.msg_hdr.msg_iovlen = 1;
                    ++answers;
                }
            }
            for (unsigned sent = 0; sent < answers;) {
                int k = ::sendmmsg(serverFd_, out + sent, answers - sent, 0);
                if (k < 0 && errno == EINTR) continue;
                sent += k > 0 ? static_cast<unsigned>(k) : 1;
            }
        }
    }

    // The token names the slot: token % window.
    void sendRequest(Client& c, size_t slot) {
        Slot& s = c.slots[slot];
        s.token = c.nextToken++ * static_cast<uint32_t>(c.slots.size()) + static_cast<uint32_t>(slot);
        s.awaiting = true;
        std::memcpy(request_.data() + 1, &s.token, 4);
        s.sent = SteadyClock::now();
        transmit(c, request_);
    }

    bool busy() const {
        for (const auto& c : clients_) {
            for (const Slot& slot : c->slots) {
                if (slot.awaiting) return true;
            }
        }
        return false;
    }

    void pump() {
        ::poll(fds_.data(), fds_.size(), 10);
        uint8_t buffer[600];
        for (size_t i = 0; i < clients_.size(); ++i) {
            if (!(fds_[i].revents & POLLIN)) continue;
            Client& c = *clients_[i];
            if (batched_) {
                // Like the zones: several datagrams per read, and what the
                // client answers to them sent together.
                c.gathering = true;
                for (;;) {
                    int n = incoming_.receive(c.socket.descriptor());
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) break;
                    for (int k = 0; k < n; ++k) answer(c, incoming_.datagram(k));
                    if (n < static_cast<int>(DatagramBatch::kSize)) break;
                }
                c.outgoing->send();
                c.gathering = false;
                continue;
            }
            for (;;) {
                ssize_t n = ::recv(c.socket.descriptor(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                answer(c, std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
            }
        }
    }

    // A reply is acknowledged and the slot's next request sent.
    void answer(Client& c, std::span<const uint8_t> datagram) {
        if (datagram.size() < 5 || datagram[0] != 2) return;
        uint32_t token;
        std::memcpy(&token, datagram.data() + 1, 4);
        Slot& slot = c.slots[token % c.slots.size()];
        if (!slot.awaiting || slot.token != token) return;
        auto received = SteadyClock::now();
        slot.awaiting = false;
        if (latencies_)
            latencies_->push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(received - slot.sent).count());
        std::memcpy(ack_.data() + 1, &token, 4);
        transmit(c, ack_);
        if (issuing_) sendRequest(c, token % c.slots.size());
    }

    void transmit(Client& c, std::span<const uint8_t> datagram) {
        if (c.gathering) {
            c.outgoing->add(datagram);
        } else {
            c.socket.send(datagram);
        }
    }

    const ExchangeSizes sizes_;
    const bool batched_;
    DatagramBatch incoming_;
    int serverFd_ = -1;
    std::atomic<bool> running_{true};
    std::thread server_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<pollfd> fds_;
    Bytes request_;
    Bytes ack_;
    bool issuing_ = false;
    std::vector<int64_t>* latencies_ = nullptr;
};

// ---------------------------------------------------------------- one database size

// A server with its own folder and database, and the zones docked at it.
struct Target {
    int accounts = 0;
    int periodicSave = 0;  // 0: no save while measured
    std::string binary;
    bool compared = false;  // the --compare-bin server
    bool scraped = false;   // its /metrics asked for every 100 ms
    std::unique_ptr<TempFolder> folder;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<LoginDriver> driver;
    std::unique_ptr<MetricsScraper> scraper;
    Tally logins;
    // Served as the reference of the comparisons: no saves, no scrapes.
    bool plain() const { return periodicSave == 0 && !scraped; }
};

constexpr int kNoSave = 3600000;

std::string targetName(const Target& target) {
    std::string name = withCommas(target.accounts) + " accounts";
    if (target.periodicSave > 0) name += ", saving every " + withCommas(target.periodicSave) + " ms";
    if (target.compared) name += " (compared binary)";
    if (target.scraped) name += ", /metrics every 100 ms";
    return name;
}

std::unique_ptr<Target> prepare(const Options& options, int accounts, int periodicSave, bool compared = false,
                                bool scraped = false) {
    auto target = std::make_unique<Target>();
    target->accounts = accounts;
    target->periodicSave = periodicSave;
    target->compared = compared;
    target->scraped = scraped;
    target->binary = compared ? options.compareBin : options.serverBin;
    target->folder = std::make_unique<TempFolder>();
    const std::filesystem::path& folder = target->folder->path();
    double built = buildDatabase(folder, accounts);
    uint16_t port = freeUdpPort();
    uint16_t statusPort = scraped ? freeTcpPort() : 0;
    {
        std::ofstream ini(folder / "TALLYSV.INI");
        ini << "[Misc]\nPort=" << port << "\nAllowNewUsers=0\n";
        if (scraped) ini << "StatusListen=127.0.0.1:" << statusPort << "\n";
        ini << "[Comms]\nPeriodicSave="
            << (periodicSave > 0 ? periodicSave : kNoSave) << "\n";
    }
    auto started = SteadyClock::now();
    target->server = std::make_unique<ServerProcess>(target->binary, folder);
    target->driver = std::make_unique<LoginDriver>(options, port, accounts);
    target->driver->connect(*target->server);
    double ready = secondsSince(started);
    target->driver->dock(*target->server);
    if (scraped) target->scraper = std::make_unique<MetricsScraper>(statusPort);
    std::printf("%s: database built and saved in %.2f s; server answering after %.2f s; %d zones docked\n",
                targetName(*target).c_str(), built, ready, options.zones);
    std::fflush(stdout);
    return target;
}

// Zones leave, the server is stopped with its quit key and must end with
// status 0.
void finish(Target& target) {
    if (target.scraper) {
        std::printf("%s: %llu scrapes of /metrics answered, %llu failed\n", targetName(target).c_str(),
                    static_cast<unsigned long long>(target.scraper->answered()),
                    static_cast<unsigned long long>(target.scraper->failed()));
        target.scraper.reset();
    }
    target.driver->disconnect();
    auto stopping = SteadyClock::now();
    target.server->sendKeys("q");
    std::optional<int> status = target.server->waitForExit(kServerExitLimit);
    if (!status) fail("the server did not stop after q:\n" + target.server->consoleTail());
    if (*status != 0)
        fail("the server stopped with status " + std::to_string(*status) + ":\n" + target.server->consoleTail());
    std::printf("%s: server stopped with status 0 in %.2f s\n", targetName(target).c_str(),
                secondsSince(stopping));
    if (target.driver->failed() > 0)
        fail(std::to_string(target.driver->failed()) + " logins refused; first: " + target.driver->firstFailure());
    std::string console = target.server->console();
    for (const char* trouble : {"Punt!", "Connection broken", "flood", "Flood", "INVALID", "Save failed"}) {
        if (console.find(trouble) != std::string::npos)
            std::printf("  warning: the server's console mentions \"%s\"\n", trouble);
    }
}

std::string defaultServerBin() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "tallysv";
    return (self.parent_path().parent_path() / "tallysv").string();
}

int parsePositive(const char* text, const char* what) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 100000000) fail(std::string("bad value for ") + what + ": " + text);
    return static_cast<int>(v);
}

// The middle, least and greatest of some figures.
struct Spread {
    double median = 0, least = 0, greatest = 0;
};

Spread spreadOf(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

// Slice by slice, a / b of the slices taken in the same round.
Spread roundRatios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (size_t r = 0; r < std::min(a.size(), b.size()); ++r) {
        if (b[r] > 0) ratios.push_back(a[r] / b[r]);
    }
    return spreadOf(ratios);
}

// The server's processor time per login against the bare server thread's
// per exchange, and the login rate against the bare exchange rate: over
// the whole run, then round by round to show how much the machine's other
// load moved them.
void compareWithBare(const std::string& what, const char* unit, const Tally& logins, const Figures& loginFigures,
                     const Tally& bare, const Figures& bareFigures, const Tally& batched,
                     const Figures& batchedFigures) {
    // The goals are those of logins.
    const bool goals = std::strcmp(unit, "login") == 0;
    auto perExchangeUs = [](const Tally& t, const Figures& f) {
        return f.count > 0 ? t.serverCpu / static_cast<double>(f.count) * 1e6 : 0;
    };
    double loginUs = perExchangeUs(logins, loginFigures);
    double bareUs = perExchangeUs(bare, bareFigures);
    double batchedUs = perExchangeUs(batched, batchedFigures);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::printf("at %s: server processor time per %s %.2f us; bare server thread per exchange %.2f us, batched "
                "%.2f us: %.2f of the bare%s, %.2f of the batched\n",
                what.c_str(), unit, loginUs, bareUs, batchedUs, ratio(loginUs, bareUs),
                goals ? " (goal at most 1.00)" : "", ratio(loginUs, batchedUs));
    std::printf("  %s rate / bare exchange rate: %.2f%s; / batched bare exchange rate: %.2f\n", unit,
                ratio(loginFigures.rate, bareFigures.rate), goals ? " (goal at least 0.90)" : "",
                ratio(loginFigures.rate, batchedFigures.rate));
    const struct {
        const char* name;
        const Tally& tally;
    } yardsticks[] = {{"bare", bare}, {"batched", batched}};
    for (const auto& y : yardsticks) {
        Spread time = roundRatios(logins.sliceServerUs, y.tally.sliceServerUs);
        Spread rate = roundRatios(logins.sliceRates, y.tally.sliceRates);
        std::printf("  round by round against the %s: time ratio median %.2f (%.2f to %.2f), rate ratio median %.2f "
                    "(%.2f to %.2f) over %zu rounds\n",
                    y.name, time.median, time.least, time.greatest, rate.median, rate.least, rate.greatest,
                    std::min(logins.sliceRates.size(), y.tally.sliceRates.size()));
    }
}

// ---------------------------------------------------------------- hashed passwords (--hashing)
//
// Two servers side by side, one with PasswordHashing off and one with it
// on, measured in the same run: logins per second of new accounts and of
// returning ones, and the longest stall of chat between two zones while a
// third floods wrong passwords from 1,000 addresses. Before them, the time
// of one hash and one check in this process.

constexpr int kHashingAccounts = 200;
constexpr int kHashingWindow = 16;       // logins in flight while rates are measured
constexpr int kFloodWindow = 256;        // wrong-password logins in flight in the flood: past the workers' queue
constexpr int kLinkWindow = 64;          // reliable datagrams in flight per zone
constexpr int kFloodAddresses = 1000;
constexpr int kChatIntervalMs = 10;      // one chat line every this often during the flood

// Accounts Player0000001.. whose fields are made as the server would make
// them, the hashes on every core at once.
void buildHashedDatabase(const std::filesystem::path& folder, bool hashing) {
    tallysv::SystemClock clock;
    tallysv::DiscardLog log;
    tallysv::Database database(clock, log, folder.string());
    std::vector<tallysv::PasswordField> fields(kHashingAccounts);
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
        workers.emplace_back([&] {
            for (int i; (i = next++) < kHashingAccounts;)
                fields[static_cast<size_t>(i)] = tallysv::makePasswordField(kPassword, hashing);
        });
    for (auto& worker : workers) worker.join();
    for (int i = 1; i <= kHashingAccounts; ++i) {
        tallysv::UserRecord* user = database.createUser(accountName(i), kPassword, {10, 0, 0, 1}, 100000 + i, 0);
        user->password = fields[static_cast<size_t>(i - 1)];
    }
    if (!database.save()) fail("the database was not saved");
}

struct HashingFigures {
    double newRate = 0, newP99 = 0;
    double returningRate = 0, returningP99 = 0;
    uint64_t busyAnswers = 0;  // result 7 while rates were measured
    double floodAnswers = 0;   // per second
    uint64_t floodWrong = 0, floodBusy = 0, floodOther = 0;
    uint64_t chatLines = 0;
    double longestGap = 0, chatMax = 0, chatP99 = 0;  // ms
    std::string workersLine;
};

// Three zones on one server: zone 0 logs players in; zones 1 and 2 hold
// one player each in one channel, and zone 1 chats to zone 2.
class HashingDriver {
public:
    explicit HashingDriver(uint16_t port) {
        std::string reason;
        for (int i = 0; i < 3; ++i) {
            auto zone = std::make_unique<Zone>();
            if (!zone->client.open("127.0.0.1", port, reason)) fail("cannot open a zone socket: " + reason);
            Zone* z = zone.get();
            zone->link = std::make_unique<zoneclient::ZoneLink>(
                [z](std::span<const uint8_t> d) { z->client.send(d); }, 0x3000 + i,
                zoneclient::ZoneLink::Options{kLinkWindow, 300});
            zones_.push_back(std::move(zone));
        }
    }

    void start(ServerProcess& server) {
        uint32_t begin = monotonicTick();
        while (!(zones_[0]->link->connected() && zones_[1]->link->connected() && zones_[2]->link->connected())) {
            if (!server.running()) fail("the server ended while starting:\n" + server.consoleTail());
            if (monotonicTick() - begin >= kServerReadyLimit) fail("the server does not answer");
            for (auto& z : zones_)
                if (!z->link->connected()) z->link->connect();
            pump(250);
        }
        // Three zone logins from 127.0.0.1: the most the flood table lets
        // through at once.
        for (int i = 0; i < 3; ++i) {
            std::string name = "Hashing Zone " + std::to_string(i + 1);
            send(i, zoneclient::zoneLogin(kGroupId, i + 1, name, ""));
            waitFor(server, std::to_string(i + 1) + " - Docking granted: " + name);
        }
        // The chatters, and their channel.
        for (int i = 1; i <= 2; ++i) login(i, "Chatter" + std::to_string(i), kPassword, 1, {11, 0, 0, static_cast<uint8_t>(i)});
        while (accepted_ < 2) {
            if (monotonicTick() - begin >= kServerReadyLimit) fail("the chatters were not let in:\n" + server.consoleTail());
            pump(10);
        }
        for (int i = 1; i <= 2; ++i) send(i, zoneclient::command(1, "?chat=hashing"));
        waitQuiet();
    }

    // Logins of new accounts (or returning ones) for `seconds`, a window of
    // them in flight: accepted logins per second and their p99 latency.
    std::pair<double, double> loginRate(bool returning, int seconds, uint64_t& busy) {
        latencies_.clear();
        returning_ = returning;
        wrongPassword_ = false;
        counting_ = true;
        busy_ = 0;
        for (int i = 0; i < kHashingWindow; ++i) nextLogin();
        auto begin = SteadyClock::now();
        auto end = begin + std::chrono::seconds(seconds);
        while (SteadyClock::now() < end) pump(5);
        counting_ = false;
        double elapsed = secondsSince(begin);
        drain();
        busy += busy_;
        Figures f = summarize(latencies_, elapsed);
        return {f.rate, f.p99};
    }

    // Wrong passwords from 1,000 addresses while zone 1 chats to zone 2.
    void flood(int seconds, HashingFigures& out) {
        returning_ = true;
        wrongPassword_ = true;
        counting_ = true;
        floodAnswers_ = {};
        for (int i = 0; i < kFloodWindow; ++i) nextLogin();
        chatSent_.clear();
        latencies_.clear();
        lastChat_.reset();
        longestGap_ = 0;
        auto begin = SteadyClock::now();
        auto end = begin + std::chrono::seconds(seconds);
        auto nextChat = begin;
        while (SteadyClock::now() < end) {
            if (SteadyClock::now() >= nextChat) {
                chatSent_.push_back(SteadyClock::now());
                send(1, zoneclient::chat(1, '1', "line " + std::to_string(chatSent_.size() - 1)));
                nextChat += std::chrono::milliseconds(kChatIntervalMs);
            }
            pump(1);
        }
        counting_ = false;
        double elapsed = secondsSince(begin);
        drain();
        out.floodWrong = floodAnswers_[0];
        out.floodBusy = floodAnswers_[1];
        out.floodOther = floodAnswers_[2];
        out.floodAnswers = static_cast<double>(floodAnswers_[0] + floodAnswers_[1] + floodAnswers_[2]) / elapsed;
        out.chatLines = latencies_.size();
        out.longestGap = longestGap_;
        Figures f = summarize(latencies_, elapsed);
        out.chatMax = f.max;
        out.chatP99 = f.p99;
        if (out.chatLines + 5 < chatSent_.size()) fail("chat lines were lost during the flood");
    }

private:
    struct Zone {
        zoneclient::UdpClient client;
        std::unique_ptr<zoneclient::ZoneLink> link;
    };

    void send(int zone, const Bytes& message) { zones_[static_cast<size_t>(zone)]->link->sendReliable(message, monotonicTick()); }

    void login(int zone, const std::string& name, const std::string& password, uint32_t playerId,
               tallysv::IPv4Address address) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = playerId;
        login.address = address;
        login.confirmNew = true;  // a new account is made without asking
        send(zone, zoneclient::playerLogin(login));
        sent_[playerId] = SteadyClock::now();
    }

    void nextLogin() {
        const uint32_t id = nextId_++;
        const uint32_t n = ++serial_;
        tallysv::IPv4Address address;
        if (wrongPassword_) {
            const uint32_t a = n % kFloodAddresses;
            address = {12, 0, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
        } else {
            address = {13, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        }
        std::string name = returning_ ? accountName(static_cast<int>(n % kHashingAccounts) + 1)
                                      : "New" + std::to_string(n);
        login(0, name, wrongPassword_ ? "wrong" : kPassword, id, address);
        ++inFlight_;
    }

    void pump(int ms) {
        std::vector<pollfd> fds;
        for (auto& z : zones_) fds.push_back({z->client.descriptor(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), ms);
        const uint32_t tick = monotonicTick();
        for (size_t i = 0; i < zones_.size(); ++i) {
            Zone& z = *zones_[i];
            while (auto datagram = z.client.receive(0)) z.link->receive(*datagram, tick);
            z.link->maintain(tick);
            while (!z.link->inbox.empty()) {
                Bytes message = std::move(z.link->inbox.front());
                z.link->inbox.pop_front();
                handle(i, message);
            }
        }
    }

    void handle(size_t zone, const Bytes& message) {
        if (message.empty()) return;
        const auto now = SteadyClock::now();
        if (message[0] == 1) {
            auto reply = zoneclient::parsePlayerLoginReply(message);
            if (!reply) return;
            if (zone != 0) {
                if (reply->result == kAccepted || reply->result == kAcceptedUnregistered) ++accepted_;
                return;
            }
            --inFlight_;
            auto sentAt = sent_.find(reply->playerId);
            if (sentAt == sent_.end()) return;
            const bool accepted = reply->result == kAccepted || reply->result == kAcceptedUnregistered;
            if (accepted) send(0, zoneclient::playerLeaving(reply->playerId, 0, std::nullopt));
            if (counting_) {
                if (wrongPassword_) {
                    ++floodAnswers_[reply->result == 2 ? 0 : reply->result == 7 ? 1 : 2];
                } else if (accepted) {
                    latencies_.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - sentAt->second).count());
                } else if (reply->result == 7) {
                    ++busy_;
                }
                nextLogin();
            }
            sent_.erase(sentAt);
        } else if (message[0] == 10 && zone == 2) {
            auto line = zoneclient::parseChatLine(message);
            if (!line) return;
            size_t at = line->text.rfind(' ');
            if (at == std::string::npos) return;
            size_t index = std::strtoul(line->text.c_str() + at + 1, nullptr, 10);
            if (index >= chatSent_.size()) return;
            latencies_.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - chatSent_[index]).count());
            if (lastChat_)
                longestGap_ = std::max(longestGap_, std::chrono::duration<double, std::milli>(now - *lastChat_).count());
            lastChat_ = now;
        }
    }

    void waitFor(ServerProcess& server, const std::string& line) {
        uint32_t begin = monotonicTick();
        while (!server.consoleHas(line)) {
            if (monotonicTick() - begin >= kDockingLimit) fail("no \"" + line + "\":\n" + server.consoleTail());
            pump(10);
        }
    }
    void waitQuiet() {
        uint32_t begin = monotonicTick();
        for (;;) {
            bool busy = false;
            for (auto& z : zones_) busy = busy || z->link->inFlight() > 0 || z->link->waiting() > 0;
            if (!busy) return;
            if (monotonicTick() - begin >= kQuiesceLimit) fail("the zones' messages went unacknowledged");
            pump(10);
        }
    }
    // Every login in flight answered (the slowest may wait for a hash).
    void drain() {
        uint32_t begin = monotonicTick();
        while (inFlight_ > 0) {
            if (monotonicTick() - begin >= kQuiesceLimit * 3) fail("logins went unanswered");
            pump(10);
        }
        waitQuiet();
    }

    std::vector<std::unique_ptr<Zone>> zones_;
    std::unordered_map<uint32_t, SteadyClock::time_point> sent_;
    std::vector<int64_t> latencies_;
    std::vector<SteadyClock::time_point> chatSent_;
    std::optional<SteadyClock::time_point> lastChat_;
    double longestGap_ = 0;
    std::array<uint64_t, 3> floodAnswers_{};  // wrong password, busy, other
    uint64_t busy_ = 0;
    uint32_t nextId_ = 100;
    uint32_t serial_ = 0;
    int inFlight_ = 0;
    int accepted_ = 0;
    bool returning_ = false;
    bool wrongPassword_ = false;
    bool counting_ = false;
};

HashingFigures measureHashing(const Options& options, bool hashing) {
    TempFolder folder;
    buildHashedDatabase(folder.path(), hashing);
    uint16_t port = freeUdpPort();
    {
        std::ofstream ini(folder.path() / "TALLYSV.INI");
        ini << "[Misc]\nPort=" << port << "\nAllowNewUsers=1\nPasswordHashing=" << (hashing ? 1 : 0)
            << "\n[Comms]\nPeriodicSave=" << kNoSave << "\n";
    }
    ServerProcess server(options.serverBin, folder.path());
    HashingDriver driver(port);
    driver.start(server);
    HashingFigures figures;
    std::string console = server.console();
    size_t at = console.find("Password workers:");
    if (at != std::string::npos) figures.workersLine = console.substr(at, console.find('\n', at) - at);
    std::tie(figures.newRate, figures.newP99) = driver.loginRate(false, options.seconds, figures.busyAnswers);
    std::tie(figures.returningRate, figures.returningP99) = driver.loginRate(true, options.seconds, figures.busyAnswers);
    driver.flood(options.seconds, figures);
    server.sendKeys("q");
    if (server.waitForExit(kServerExitLimit) != 0) fail("the server did not end well:\n" + server.consoleTail());
    return figures;
}

int runHashing(const Options& options) {
    // One hash and one check here, with the parameters the server uses.
    constexpr int kRounds = 10;
    auto begin = SteadyClock::now();
    tallysv::PasswordField field{};
    for (int i = 0; i < kRounds; ++i) field = tallysv::makePasswordField("correct horse", true);
    double hashMs = secondsSince(begin) * 1000 / kRounds;
    begin = SteadyClock::now();
    bool matched = true;
    for (int i = 0; i < kRounds; ++i) matched = tallysv::checkPassword(field, "correct horse", true).matches && matched;
    double checkMs = secondsSince(begin) * 1000 / kRounds;
    if (!matched) fail("a hash did not verify");
    std::printf("Argon2id, %zu MiB, %u passes, 1 lane: one hash %.1f ms, one check %.1f ms (mean of %d)\n",
                tallysv::kPasswordHashMemory / (1024 * 1024), tallysv::kPasswordHashPasses, hashMs, checkMs, kRounds);
    std::printf("%d s measured per figure; %d accounts; %d logins in flight for the rates, %d in the flood of wrong "
                "passwords from %d addresses while a zone chats to another every %d ms\nserver %s\n",
                options.seconds, kHashingAccounts, kHashingWindow, kFloodWindow, kFloodAddresses, kChatIntervalMs,
                options.serverBin.c_str());
    std::fflush(stdout);
    HashingFigures off = measureHashing(options, false);
    HashingFigures on = measureHashing(options, true);
    std::printf("%s (hashing on)\n", on.workersLine.c_str());
    std::printf("  %-46s %16s %16s\n", "", "hashing off", "hashing on");
    auto row = [](const char* what, double a, double b, const char* format) {
        char left[32], right[32];
        std::snprintf(left, sizeof left, format, a);
        std::snprintf(right, sizeof right, format, b);
        std::printf("  %-46s %16s %16s\n", what, left, right);
    };
    row("new accounts: logins/s", off.newRate, on.newRate, "%.0f");
    row("new accounts: p99 latency ms", off.newP99, on.newP99, "%.1f");
    row("returning accounts: logins/s", off.returningRate, on.returningRate, "%.0f");
    row("returning accounts: p99 latency ms", off.returningP99, on.returningP99, "%.1f");
    row("  answered busy (result 7) meanwhile", static_cast<double>(off.busyAnswers),
        static_cast<double>(on.busyAnswers), "%.0f");
    row("flood: wrong passwords answered/s", off.floodAnswers, on.floodAnswers, "%.0f");
    row("  of them wrong password (result 2)", static_cast<double>(off.floodWrong), static_cast<double>(on.floodWrong), "%.0f");
    row("  of them busy or flood (result 7)", static_cast<double>(off.floodBusy), static_cast<double>(on.floodBusy), "%.0f");
    row("other zones' chat: lines relayed", static_cast<double>(off.chatLines), static_cast<double>(on.chatLines), "%.0f");
    row("other zones' chat: longest stall ms", off.longestGap, on.longestGap, "%.1f");
    row("other zones' chat: p99 latency ms", off.chatP99, on.chatP99, "%.2f");
    row("other zones' chat: longest latency ms", off.chatMax, on.chatMax, "%.2f");
    return 0;
}

int run(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--accounts" && hasValue) {
            options.accounts.push_back(parsePositive(argv[++i], "--accounts"));
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::min(parsePositive(argv[++i], "--seconds"), 120);
        } else if (arg == "--zones" && hasValue) {
            options.zones = std::min(parsePositive(argv[++i], "--zones"), 40);
        } else if (arg == "--window" && hasValue) {
            options.window = std::min(parsePositive(argv[++i], "--window"), 64);
        } else if (arg == "--chat" && hasValue) {
            options.chatMembers = std::min(parsePositive(argv[++i], "--chat"), 64);
        } else if (arg == "--plain-zones") {
            options.plainZones = true;
        } else if (arg == "--separate-leaving") {
            options.separateLeaving = true;
        } else if (arg == "--periodic-save" && hasValue) {
            options.periodicSave = parsePositive(argv[++i], "--periodic-save");
        } else if (arg == "--compare-bin" && hasValue) {
            options.compareBin = argv[++i];
        } else if (arg == "--server-bin" && hasValue) {
            options.serverBin = argv[++i];
        } else if (arg == "--scrape-metrics") {
            options.scrapeMetrics = true;
        } else if (arg == "--hashing") {
            options.hashing = true;
        } else {
            std::fprintf(stderr,
                         "usage: loadgen_login [--accounts N]... [--seconds S] [--zones Z] [--window W]\n"
                         "                     [--separate-leaving] [--periodic-save MS] [--compare-bin PATH]\n"
                          "                     [--server-bin PATH] [--scrape-metrics] [--chat MEMBERS_PER_ZONE]\n"
                          "                     [--plain-zones] [--hashing]\n");
            return 2;
        }
    }
    if (options.accounts.empty()) options.accounts = {1000, 1000000};
    if (options.chatMembers > 0) {
        // Chat is measured on one database size, without saves.
        options.accounts.resize(1);
        options.accounts[0] = std::max(options.accounts[0], options.chatMembers * options.zones);
        options.periodicSave = 0;
    }
    if (options.serverBin.empty()) options.serverBin = defaultServerBin();
    if (::access(options.serverBin.c_str(), X_OK) != 0) fail("no server binary at " + options.serverBin);
    if (!options.compareBin.empty() && ::access(options.compareBin.c_str(), X_OK) != 0)
        fail("no server binary at " + options.compareBin);
    ::signal(SIGPIPE, SIG_IGN);
    if (options.hashing) return runHashing(options);

    if (options.chatMembers > 0) {
        std::printf("%d zones x %d chat lines in flight, %d s measured for chat and for the bare exchange (1 s "
                    "slices, taken in turns)\nserver %s\n",
                    options.zones, options.window, options.seconds, options.serverBin.c_str());
    } else {
        std::printf("%d zones x %d logins in flight, %d s measured per database size and for the bare exchange "
                    "(1 s slices, taken in turns), leaving %s\nserver %s\n",
                    options.zones, options.window, options.seconds,
                    options.separateLeaving ? "in a datagram of its own" : "in the datagram of the next login",
                    options.serverBin.c_str());
    }
    std::printf("zones read and send %s\n",
                options.plainZones ? "one datagram per system call" : "several datagrams per system call");
    std::fflush(stdout);
    std::vector<std::unique_ptr<Target>> targets;
    for (int accounts : options.accounts) {
        targets.push_back(prepare(options, accounts, 0));
        if (options.chatMembers > 0) targets.back()->driver->seatChatMembers(options.chatMembers);
        if (options.periodicSave > 0) targets.push_back(prepare(options, accounts, options.periodicSave));
        if (options.periodicSave > 0 && !options.compareBin.empty())
            targets.push_back(prepare(options, accounts, options.periodicSave, true));
        if (options.scrapeMetrics) targets.push_back(prepare(options, accounts, 0, false, true));
    }
    BareExchange bare(options, false);
    BareExchange batchedBare(options, true);
    Tally bareTally;
    Tally batchedTally;

    // The measurements take turns in short slices, in a rotating order, so
    // that whatever else the machine does meanwhile weighs on all of them
    // alike.
    const size_t kinds = targets.size() + 2;
    for (int round = 0; round < options.seconds; ++round) {
        int warmUp = round == 0 ? kFirstWarmUpMs : kWarmUpMs;
        for (size_t k = 0; k < kinds; ++k) {
            size_t which = (k + static_cast<size_t>(round)) % kinds;
            if (which == targets.size()) {
                bare.measureSlice(warmUp, kSliceMs, bareTally);
            } else if (which == targets.size() + 1) {
                batchedBare.measureSlice(warmUp, kSliceMs, batchedTally);
            } else {
                Target& t = *targets[which];
                if (options.chatMembers > 0) {
                    t.driver->measureChatSlice(warmUp, kSliceMs, t.logins, *t.server);
                } else {
                    t.driver->measureSlice(warmUp, kSliceMs, t.logins, *t.server, t.periodicSave > 0);
                }
            }
        }
    }
    for (auto& target : targets) finish(*target);

    Figures bareFigures = summarize(bareTally.latenciesNs, bareTally.seconds);
    Figures batchedFigures = summarize(batchedTally.latenciesNs, batchedTally.seconds);
    std::printf("\n");
    if (options.chatMembers > 0) {
        Target& t = *targets.front();
        Figures f = summarize(t.logins.latenciesNs, t.logins.seconds);
        std::printf("chat on one channel of %d members, %d in each of %d zones; %s lines said, each delivered to "
                    "the %d other members:\n",
                    t.driver->chatMembers(), options.chatMembers, options.zones,
                    withCommas(static_cast<long long>(t.driver->chatLinesSent())).c_str(), t.driver->chatMembers() - 1);
        printFigures("lines delivered:", f);
        if (f.count > 0)
            std::printf("  %-32s processor time per delivered line: server process %.2f us, zones %.2f us\n", "",
                        t.logins.serverCpu / static_cast<double>(f.count) * 1e6,
                        t.logins.clientCpu / static_cast<double>(f.count) * 1e6);
        printFigures("bare UDP exchanges:", bareFigures);
        printCpu(bareTally, bareFigures, "server thread", "clients");
        printFigures("bare UDP exchanges, batched:", batchedFigures);
        printCpu(batchedTally, batchedFigures, "server thread", "clients");
        compareWithBare("chat on one channel", "delivered line", t.logins, f, bareTally, bareFigures, batchedTally, batchedFigures);
        return 0;
    }
    std::vector<double> rates;
    for (auto& target : targets) {
        Figures f = summarize(target->logins.latenciesNs, target->logins.seconds);
        rates.push_back(f.rate);
        std::string what = "logins, " + targetName(*target) + ":";
        printFigures(what.c_str(), f);
        std::printf("  %-32s %.2f datagrams received and %.2f sent per login, %llu resends by the zones\n", "",
                    target->driver->datagramsInPerLogin(), target->driver->datagramsOutPerLogin(),
                    static_cast<unsigned long long>(target->driver->resends()));
        printCpu(target->logins, f, "server process", "zones");
        if (target->periodicSave > 0) {
            Tally& t = target->logins;
            Figures during = summarize(t.duringSaveNs, 0);
            printFigures("  of them in flight during a save:", during);
            std::printf("  %-32s %llu saves seen running; the server and its writing process together at most "
                        "%.0f MiB\n",
                        "", static_cast<unsigned long long>(t.savesSeen), t.savingMiB);
        } else {
            std::printf("  %-32s the server's memory at most %.0f MiB\n", "", target->logins.servingMiB);
        }
    }
    printFigures("bare UDP exchanges:", bareFigures);
    printCpu(bareTally, bareFigures, "server thread", "clients");
    printFigures("bare UDP exchanges, batched:", batchedFigures);
    printCpu(batchedTally, batchedFigures, "server thread", "clients");
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!targets[i]->plain()) continue;
        Figures logins = summarize(targets[i]->logins.latenciesNs, targets[i]->logins.seconds);
        compareWithBare(withCommas(targets[i]->accounts) + " accounts", "login", targets[i]->logins, logins,
                        bareTally, bareFigures, batchedTally, batchedFigures);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (targets[i]->periodicSave == 0) continue;
        // The server without saves of the same size was prepared before it.
        size_t plain = i;
        while (plain > 0 && !targets[plain]->plain()) --plain;
        Figures with = summarize(targets[i]->logins.duringSaveNs, 0);
        double ratio = rates[plain] > 0 ? rates[i] / rates[plain] : 0;
        double serving = targets[plain]->logins.servingMiB;
        double memory = serving > 0 ? targets[i]->logins.savingMiB / serving : 0;
        std::printf("at %s accounts%s: login rate with saves / without: %.2f (goal at least 0.90); longest login during "
                    "a save %.3f ms (goal under 20 ms); memory during a save / of the server alone: %.2f (goal under "
                    "1.5)\n",
                    withCommas(targets[i]->accounts).c_str(), targets[i]->compared ? " (compared binary)" : "", ratio,
                    with.max, memory);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!targets[i]->scraped) continue;
        size_t plain = i;
        while (plain > 0 && !targets[plain]->plain()) --plain;
        double ratio = rates[plain] > 0 ? rates[i] / rates[plain] : 0;
        // The spread of the reference's own slices: what a difference
        // must exceed to be more than noise.
        const std::vector<double>& slices = targets[plain]->logins.sliceRates;
        double mean = 0, squares = 0;
        for (double r : slices) mean += r / static_cast<double>(slices.size());
        for (double r : slices) squares += (r - mean) * (r - mean);
        double deviation = slices.size() > 1 ? std::sqrt(squares / static_cast<double>(slices.size() - 1)) : 0;
        double error = slices.empty() ? 0 : deviation / std::sqrt(static_cast<double>(slices.size()));
        std::printf("at %s accounts: login rate with /metrics scraped every 100 ms / without: %.3f (%.0f/s against "
                    "%.0f/s); the rate without varies by %.1f%% from slice to slice, %.1f%% standard error of its "
                    "mean (goal: no difference beyond that noise)\n",
                    withCommas(targets[i]->accounts).c_str(), ratio, rates[i], rates[plain],
                    mean > 0 ? 100 * deviation / mean : 0, mean > 0 ? 100 * error / mean : 0);
    }
    std::vector<size_t> plainTargets;
    for (size_t i = 0; i < targets.size(); ++i)
        if (targets[i]->plain()) plainTargets.push_back(i);
    if (plainTargets.size() >= 2) {
        auto byAccounts = [&](size_t a, size_t b) { return targets[a]->accounts < targets[b]->accounts; };
        size_t smallest = *std::min_element(plainTargets.begin(), plainTargets.end(), byAccounts);
        size_t largest = *std::max_element(plainTargets.begin(), plainTargets.end(), byAccounts);
        double ratio = rates[largest] > 0 ? rates[smallest] / rates[largest] : 0;
        std::printf("login rate at %s accounts / at %s accounts: %.2f (goal at most 1.20)\n",
                    withCommas(targets[smallest]->accounts).c_str(), withCommas(targets[largest]->accounts).c_str(),
                    ratio);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "loadgen_login: %s\n", failure.why.c_str());
        return 1;
    }
}
