// A hostile zone ("hostile"): what a zone that holds the zone password can
// do to the rest of the network. From the top of the source tree, after
// `nice cmake --build build -j2 --target loadgen_login tallysv`, every
// figure below comes from
//
//   build/bench/loadgen_login --benchmarks=hostile --server-bin build/tallysv
//                             --compare-bin OLD/build/tallysv
//
// (OLD a checkout of an earlier commit, built alike), which measures the
// server binary and, figure by figure beside it, the
// --compare-bin one (an earlier build). Every server runs in a folder of
// its own, copied from one database made here first (accounts whose
// passwords are Argon2id hashes, each with a salt of its own), with
// PasswordHashing=1 and two password workers (PasswordWorkers=2; a binary
// that does not know the setting takes one per core, two on a two-core
// machine); all traffic is on 127.0.0.1. --seconds S (default 10) is the
// length of the figures that have one; the run takes a few minutes.
//
// 1. Honest logins during a flood: an honest zone logs in one account
//    every 0.25 s (100 logins, each of an account with a hashed password
//    that has not logged in since the server started) while a hostile
//    zone sends wrong passwords for one account, each login claiming an
//    address of its own, at 50, 100 and 1,000 a second (each rate on a
//    server of its own, the flood starting 2 s before the honest logins):
//    the share of honest logins accepted, their p50 and p95 latency from
//    sending to the reply, and the result codes of those refused. During
//    the 1,000/s flood a third zone whose zone record holds a hashed
//    password tries to dock (again a second after each refusal): whether
//    it docks and how long its login takes.
// 2. Guesses checked per account per minute: of the wrong passwords sent
//    at 1,000/s in figure 1's first 27 s of flood (from its first guess to
//    the last honest login), how many were checked (result 2) and how
//    many refused unchecked (result 7), scaled to a minute.
// 3. Login p50 of other players (logins of accounts not yet seen, through
//    another zone, one every 0.25 s for S seconds) while four operators'
//    `?ban -!` lookups wait on a whois server that accepts and never
//    answers (WhoisTimeout=30000), against the same before the lookups.
// 4. Server memory (VmRSS and VmHWM) before and after one `?ban -!` lookup
//    against a whois server that streams "NetRange:" lines as fast as the
//    server reads them until the server hangs up, or for WhoisTimeout
//    (10 s) and a second more, when it goes.
// 5. Logins per second of returning players, a window of 16 in flight:
//    cold (each account's first login since the start: a hash each) for
//    S seconds, then warm (their later logins) for S seconds; on the
//    server binary with PasswordVerifierCache on and off, and on the
//    compared one.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "credentials/password_store.h"
#include "db/database.h"
#include "loadgen/loadgen.h"
#include "loadgen/runs.h"
#include "loadgen/server.h"
#include "support/fake_whois_server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace loadgen {

namespace {

using zoneclient::Bytes;
using zoneclient::monotonicTick;
using Clock = SteadyClock;
using Ms = std::chrono::milliseconds;

constexpr int kPasswordWorkers = 2;
constexpr const char* kSysopPassword = "hostile-sysop";
constexpr const char* kDockPassword = "dock-password";
constexpr const char* kWrongPassword = "not-the-password";
constexpr const char* kBanTarget = "BanTarget";
constexpr tallysv::IPv4Address kBanTargetAddress{10, 20, 30, 40};
// What the streaming whois server says over and over: a block that holds
// the target's address and is small enough to ban.
constexpr const char* kStreamedLine = "NetRange: 10.20.0.0 - 10.20.255.255\n";

// Figure 1.
constexpr int kFloodRates[] = {50, 100, 1000};
constexpr int kHonestLogins = 100;
constexpr int kHonestIntervalMs = 250;
constexpr int kFloodLeadMs = 2000;      // the flood runs this long before the first honest login
constexpr int kDockAfterMs = 5000;      // into the measured part of the 1,000/s flood
constexpr int kDockRetryMs = 1000;
constexpr int kAnswerLimitMs = 5000;    // after the last login of a measured part
constexpr int kDrainLimitMs = 30000;    // for everything still in flight at the end of a part
// Figure 3.
constexpr int kOperators = 4;
constexpr int kOtherIntervalMs = 250;
constexpr int kHangingTimeoutMs = 30000;
// Figure 4.
constexpr int kStreamTimeoutMs = 10000;
constexpr int kMemorySampleMs = 50;
// Figure 5.
constexpr int kRateWindow = 16;

constexpr int kLinkWindow = 256;        // reliable datagrams in flight per zone: past the workers' queue
constexpr uint32_t kLinkResendMs = 300;

// ScoreIDs: each zone has its own, so that each is an origin of its own.
constexpr int32_t kHonestScore = 1, kHostileScore = 2, kDockScore = 3, kOperatorScore = 4, kOtherScore = 5,
                  kRateScore = 6;

constexpr double kNever = std::numeric_limits<double>::infinity();

bool acceptedResult(uint8_t result) { return result == kAccepted || result == kAcceptedUnregistered; }

// The players of the run: each server starts from the same folder, so
// every account is one that has not logged in since its server started,
// until a measurement logs it in. Names stay within the 19 characters that
// identify an account.
std::string numbered(const char* prefix, int n) {
    char name[24];
    std::snprintf(name, sizeof name, "%s%05d", prefix, n);
    return name;
}
std::string playerName(int n) { return numbered("Player", n); }
std::string operatorName(int n) { return numbered("Operator", n); }
constexpr const char* kFloodTarget = "FloodTarget";

// ---- The database every server starts from.

// Made once, hashed on every core; each server gets a copy of its files.
class AccountTemplate {
public:
    explicit AccountTemplate(int players) {
        tallysv::SystemClock clock;
        tallysv::DiscardLog log;
        tallysv::Settings settings;
        tallysv::Database database(settings, clock, log, folder_.str());
        std::vector<std::string> names;
        for (int i = 1; i <= players; ++i) names.push_back(playerName(i));
        for (int i = 1; i <= kOperators; ++i) names.push_back(operatorName(i));
        names.push_back(kFloodTarget);
        names.push_back(kBanTarget);
        // One field more: the docking zone's password.
        std::vector<tallysv::PasswordField> fields(names.size() + 1);
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
            workers.emplace_back([&] {
                for (size_t i; (i = next++) < fields.size();)
                    fields[i] = tallysv::makePasswordField(i < names.size() ? kPassword : kDockPassword, true);
            });
        for (auto& worker : workers) worker.join();
        for (size_t i = 0; i < names.size(); ++i) {
            // Every account has been seen at an address of its own.
            const auto n = static_cast<uint32_t>(i + 1);
            tallysv::IPv4Address address{10, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
            if (names[i] == kBanTarget) address = kBanTargetAddress;
            tallysv::UserRecord* user = database.createUser(names[i], kPassword, address, 100000 + static_cast<int32_t>(n), 0);
            if (!user) fail("the account " + names[i] + " was not made");
            user->password = fields[i];
        }
        tallysv::ZoneRecord* zone = database.createZone(kDockScore, kGroupId, kDockPassword);
        zone->password = fields.back();
        if (!database.save()) fail("the database was not saved");
        accounts_ = names.size();
    }

    void copyTo(const std::filesystem::path& folder) const {
        for (const auto& entry : std::filesystem::directory_iterator(folder_.path()))
            if (entry.is_regular_file()) std::filesystem::copy_file(entry.path(), folder / entry.path().filename());
    }
    size_t accounts() const { return accounts_; }

private:
    tallysv::testing::TempDir folder_;
    size_t accounts_ = 0;
};

// ---- A server under attack.

struct ServerSettings {
    std::optional<std::string> whoisServer;
    int whoisTimeoutMs = 5000;
    bool verifierCache = true;
};

// A server binary in a folder of its own, made from the template.
class AttackedServer {
public:
    AttackedServer(const std::string& binary, const AccountTemplate& accounts, const ServerSettings& settings)
        : port_(static_cast<uint16_t>(tallysv::testing::freeUdpPort())) {
        accounts.copyTo(folder_.path());
        {
            std::ofstream ini(folder_.path() / "TALLYSV.INI");
            ini << "[Misc]\nPort=" << port_ << "\nAllowNewUsers=0\nPasswordHashing=1\nPasswordWorkers="
                << kPasswordWorkers << "\nSysopPassword=" << kSysopPassword
                << "\nPasswordVerifierCache=" << (settings.verifierCache ? 1 : 0)
                << "\nWhoisTimeout=" << settings.whoisTimeoutMs << "\n";
            if (settings.whoisServer) ini << "WhoisServer=" << *settings.whoisServer << "\n";
            ini << "[Comms]\nPeriodicSave=" << kNoSave << "\n";
        }
        process_ = std::make_unique<ServerProcess>(binary, folder_.path());
    }
    ServerProcess& process() { return *process_; }
    uint16_t port() const { return port_; }
    std::filesystem::path consolePath() const { return folder_.path() / "console.log"; }

    // Its "Password workers" line, once it has started.
    std::string workersLine() const {
        std::string console = process_->console();
        size_t at = console.find("Password workers:");
        return at == std::string::npos ? "(no password workers line)"
                                       : console.substr(at, console.find('\n', at) - at);
    }

    // Stopped with its quit key; a warning, not the end of the run, when
    // it does not end well.
    void stop(const std::string& label) {
        process_->sendKeys("q");
        std::optional<int> status = process_->waitForExit(60000);
        if (!status)
            std::printf("  warning: the %s server did not stop within 60 s after q and was killed\n", label.c_str());
        else if (*status != 0)
            std::printf("  warning: the %s server stopped with status %d\n", label.c_str(), *status);
    }

private:
    tallysv::testing::TempDir folder_;
    uint16_t port_;
    // Goes before its folder: a server still running then is killed.
    std::unique_ptr<ServerProcess> process_;
};

// The server's console as it grows, read from a point on: a flooded
// server writes lines by the thousand, so only what is new is read.
class ConsoleReader {
public:
    explicit ConsoleReader(std::filesystem::path path) : path_(std::move(path)) {}
    size_t size() const {
        std::error_code error;
        auto n = std::filesystem::file_size(path_, error);
        return error ? 0 : static_cast<size_t>(n);
    }
    std::string from(size_t offset) const {
        std::ifstream file(path_, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

// Memory of a process from /proc/PID/status, in KiB (0 when gone).
double statusKiB(pid_t pid, const char* key) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t length = std::strlen(key);
    while (std::getline(file, line))
        if (line.compare(0, length, key) == 0) return std::strtod(line.c_str() + length, nullptr);
    return 0;
}

// ---- Zones at one server.

struct LoginAnswer {
    size_t zone = 0;
    uint32_t playerId = 0;
    int tag = 0;  // what the login was sent for
    uint8_t result = 0;
    double ms = 0;
    Clock::time_point sent;
};

enum class DockState { Idle, Connecting, LoggingIn, Docked, Refused };

// Zones, each with its socket and link to one server, that dock, log
// players in (an accepted player leaves again at once unless he is to
// stay), send commands, and hand the server's replies to the measurement.
class ZoneSet {
public:
    explicit ZoneSet(AttackedServer& server) : server_(server), console_(server.consolePath()) {}

    size_t add(int32_t scoreId, const std::string& name, const std::string& password) {
        auto zone = std::make_unique<Zone>();
        zone->scoreId = scoreId;
        zone->name = name;
        zone->password = password;
        zones_.push_back(std::move(zone));
        return zones_.size() - 1;
    }

    // Handshake and zone login on a new socket, answered later: see
    // dockState.
    void beginDock(size_t index) {
        Zone& z = *zones_[index];
        z.link.reset();
        z.client = std::make_unique<zoneclient::UdpClient>();
        std::string reason;
        if (!z.client->open("127.0.0.1", server_.port(), reason)) fail("cannot open a zone socket: " + reason);
        zoneclient::UdpClient* client = z.client.get();
        z.link = std::make_unique<zoneclient::ZoneLink>(
            [client](std::span<const uint8_t> d) { client->send(d); }, 0x4000 + z.scoreId * 16 + ++z.attempts,
            zoneclient::ZoneLink::Options{kLinkWindow, kLinkResendMs});
        z.state = DockState::Connecting;
        z.lastConsoleCheck = z.droppedAt = Clock::time_point{};
        z.reason.clear();
        z.link->connect();
        z.lastConnect = monotonicTick();
    }
    DockState dockState(size_t index) const { return zones_[index]->state; }
    // From sending the zone login to its outcome.
    double dockMs(size_t index) const { return zones_[index]->dockMs; }
    const std::string& refusal(size_t index) const { return zones_[index]->reason; }
    int attempts(size_t index) const { return zones_[index]->attempts; }

    // Docks and waits for it; a refusal ends the run.
    void dock(size_t index) {
        beginDock(index);
        const auto begin = Clock::now();
        while (dockState(index) == DockState::Connecting || dockState(index) == DockState::LoggingIn) {
            if (!server_.process().running()) fail("the server ended:\n" + server_.process().consoleTail());
            if (secondsSince(begin) * 1000 > kServerReadyLimit)
                fail("the server does not answer:\n" + server_.process().consoleTail());
            pump(5);
        }
        if (dockState(index) != DockState::Docked)
            fail(zones_[index]->name + " was refused: " + refusal(index) + "\n" + server_.process().consoleTail());
    }

    uint32_t login(size_t index, const std::string& name, const std::string& password, int tag, bool stays = false) {
        Zone& z = *zones_[index];
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = z.nextPlayerId++;
        login.address = nextAddress();
        const Clock::time_point now = Clock::now();
        z.link->sendReliable(zoneclient::playerLogin(login), monotonicTick());
        pending_[key(index, login.playerId)] = Pending{now, tag, stays};
        ++pendingByTag_[tag];
        return login.playerId;
    }

    void command(size_t index, uint32_t playerId, const std::string& text) {
        zones_[index]->link->sendReliable(zoneclient::command(playerId, text), monotonicTick());
    }

    size_t pending(int tag) const {
        auto found = pendingByTag_.find(tag);
        return found == pendingByTag_.end() ? 0 : found->second;
    }
    // Forgets the logins of `tag` still unanswered: their answers, if any
    // come, are dropped. Returns how many there were.
    size_t forget(int tag) {
        size_t n = 0;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.tag == tag) {
                it = pending_.erase(it);
                ++n;
            } else {
                ++it;
            }
        }
        pendingByTag_.erase(tag);
        return n;
    }

    // Waits up to `limitMs` until no login of `tag` is unanswered.
    void awaitAnswers(int tag, int limitMs) {
        const auto begin = Clock::now();
        while (pending(tag) > 0 && secondsSince(begin) * 1000 < limitMs) pump(5);
    }

    // Waits up to `limitMs` until `done` holds.
    bool awaitUntil(const std::function<bool()>& done, int limitMs) {
        const auto begin = Clock::now();
        while (!done()) {
            if (secondsSince(begin) * 1000 >= limitMs) return false;
            pump(5);
        }
        return true;
    }

    // One round: waits up to `ms` for datagrams, handles what came, runs
    // the links' resends and moves the dockings on.
    void pump(int ms) {
        fds_.clear();
        for (auto& z : zones_)
            if (z->client) fds_.push_back({z->client->descriptor(), POLLIN, 0});
        ::poll(fds_.data(), fds_.size(), ms);
        const uint32_t tick = monotonicTick();
        for (size_t i = 0; i < zones_.size(); ++i) {
            Zone& z = *zones_[i];
            if (!z.client) continue;
            while (auto datagram = z.client->receive(0)) z.link->receive(*datagram, tick);
            z.link->maintain(tick);
            while (!z.link->inbox.empty()) {
                Bytes message = std::move(z.link->inbox.front());
                z.link->inbox.pop_front();
                handle(i, message);
            }
            advanceDock(z);
        }
    }

    void disconnect() {
        for (auto& z : zones_)
            if (z->link && z->state == DockState::Docked) z->link->disconnect();
    }

    std::function<void(const LoginAnswer&)> onAnswer;
    std::function<void(size_t zone, uint32_t playerId, const std::string& text)> onText;

private:
    struct Zone {
        int32_t scoreId = 0;
        std::string name, password;
        std::unique_ptr<zoneclient::UdpClient> client;
        std::unique_ptr<zoneclient::ZoneLink> link;
        DockState state = DockState::Idle;
        int attempts = 0;
        uint32_t lastConnect = 0;
        Clock::time_point loginSent, lastConsoleCheck, droppedAt;
        size_t consoleMark = 0;
        double dockMs = 0;
        std::string reason;
        uint32_t nextPlayerId = 1;
    };
    struct Pending {
        Clock::time_point sent;
        int tag;
        bool stays;
    };

    static uint64_t key(size_t zone, uint32_t playerId) { return uint64_t{zone} << 32 | playerId; }

    // Every login claims an address of its own: 20.0.0.1 upwards.
    tallysv::IPv4Address nextAddress() {
        const uint32_t n = ++addresses_;
        return {static_cast<uint8_t>(20 + (n >> 24)), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                static_cast<uint8_t>(n)};
    }

    void advanceDock(Zone& z) {
        const uint32_t tick = monotonicTick();
        if (z.state == DockState::Connecting) {
            if (z.link->connected()) {
                z.consoleMark = console_.size();
                z.loginSent = Clock::now();
                z.link->sendReliable(zoneclient::zoneLogin(kGroupId, z.scoreId, z.name, z.password), tick);
                z.state = DockState::LoggingIn;
            } else if (tick - z.lastConnect >= 250) {
                // The server may still be reading its files.
                z.link->connect();
                z.lastConnect = tick;
            }
            return;
        }
        if (z.state != DockState::LoggingIn) return;
        // The outcome is on the console only; it is read every few ms, and
        // at once when the server drops the zone (a refusal), whose time
        // is then the outcome's.
        const auto now = Clock::now();
        const bool dropped = z.link->disconnectedByServer();
        if (dropped && z.droppedAt == Clock::time_point{}) z.droppedAt = now;
        if (!dropped && now - z.lastConsoleCheck < Ms(5)) return;
        z.lastConsoleCheck = now;
        const std::string text = console_.from(z.consoleMark);
        const std::string prefix = std::to_string(z.scoreId) + " - ";
        if (text.find(prefix + "Docking granted: " + z.name) != std::string::npos) {
            z.state = DockState::Docked;
        } else if (size_t at = text.find(prefix + "Disallowed connection "); at != std::string::npos) {
            // The reason in its parentheses: "(Busy)", "(Bad Password)".
            z.state = DockState::Refused;
            at += prefix.size() + std::strlen("Disallowed connection ");
            z.reason = text.substr(at, text.find(':', at) - at);
        } else if (size_t flood = text.find("Zone connection flood from"); flood != std::string::npos) {
            z.state = DockState::Refused;
            z.reason = "(flood)";
        } else if (dropped && now - z.droppedAt >= Ms(200)) {
            // Dropped, and no line to say why.
            z.state = DockState::Refused;
            z.reason = "(disconnected)";
        } else {
            return;
        }
        const auto outcome = dropped ? z.droppedAt : now;
        z.dockMs = std::chrono::duration<double, std::milli>(outcome - z.loginSent).count();
    }

    void handle(size_t zone, const Bytes& message) {
        if (message.empty()) return;
        if (message[0] == 1) {
            auto reply = zoneclient::parsePlayerLoginReply(message);
            if (!reply) return;
            const auto now = Clock::now();
            auto found = pending_.find(key(zone, reply->playerId));
            const bool stays = found != pending_.end() && found->second.stays;
            if (acceptedResult(reply->result) && !stays)
                zones_[zone]->link->sendReliable(zoneclient::playerLeaving(reply->playerId, 0, std::nullopt),
                                                 monotonicTick());
            if (found == pending_.end()) return;
            LoginAnswer answer;
            answer.zone = zone;
            answer.playerId = reply->playerId;
            answer.tag = found->second.tag;
            answer.result = reply->result;
            answer.sent = found->second.sent;
            answer.ms = std::chrono::duration<double, std::milli>(now - answer.sent).count();
            pending_.erase(found);
            --pendingByTag_[answer.tag];
            if (onAnswer) onAnswer(answer);
        } else if (message[0] == 9) {
            auto text = zoneclient::parsePlayerText(message);
            if (text && onText) onText(zone, text->playerId, text->text);
        }
    }

    AttackedServer& server_;
    ConsoleReader console_;
    std::vector<std::unique_ptr<Zone>> zones_;
    std::vector<pollfd> fds_;
    std::unordered_map<uint64_t, Pending> pending_;
    std::unordered_map<int, size_t> pendingByTag_;
    uint32_t addresses_ = 0;
};

// ---- Figures and how they are printed.

// The q-th quantile of `values` (sorted here); NaN when there are none.
double quantile(std::vector<double> values, double q) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    size_t i = std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
    return values[i];
}

std::string fixed(double value, int decimals = 0) {
    if (std::isnan(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string milliseconds(double ms, double limitMs = 0) {
    if (std::isnan(ms)) return "-";
    if (std::isinf(ms)) return limitMs > 0 ? "over " + fixed(limitMs / 1000) + " s" : "never";
    return fixed(ms, ms < 100 ? 1 : 0);
}

// Result codes and their counts: "2:5 7:1,245".
std::string codes(const std::map<int, uint64_t>& counts) {
    std::string out;
    for (const auto& [code, count] : counts) {
        if (count == 0) continue;
        if (!out.empty()) out += " ";
        out += std::to_string(code) + ":" + withCommas(static_cast<long long>(count));
    }
    return out.empty() ? "-" : out;
}

// A plain table: a label column and one column per server.
class Table {
public:
    explicit Table(std::vector<std::string> columns) : columns_(std::move(columns)) {}
    void row(std::string label, std::vector<std::string> cells) { rows_.push_back({std::move(label), std::move(cells)}); }
    void print() const {
        size_t labelWidth = 0;
        std::vector<size_t> widths;
        for (const auto& c : columns_) widths.push_back(c.size());
        for (const auto& [label, cells] : rows_) {
            labelWidth = std::max(labelWidth, label.size());
            for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
        }
        auto line = [&](const std::string& label, const std::vector<std::string>& cells) {
            std::string out = "  " + label + std::string(labelWidth - label.size(), ' ');
            for (size_t i = 0; i < widths.size(); ++i) {
                const std::string cell = i < cells.size() ? cells[i] : "";
                out += "   " + std::string(widths[i] - cell.size(), ' ') + cell;
            }
            std::printf("%s\n", out.c_str());
        };
        line("", columns_);
        for (const auto& [label, cells] : rows_) line(label, cells);
        std::fflush(stdout);
    }

private:
    std::vector<std::string> columns_;
    std::vector<std::pair<std::string, std::vector<std::string>>> rows_;
};

// The servers measured, figure by figure: the server binary, and the
// compared one when given.
struct Contender {
    std::string label;
    std::string binary;
};

// ---- Figures 1 and 2: an honest zone beside a flooding one.

struct DockTrial {
    bool tried = false;
    int attempts = 0;
    std::string first;  // the first attempt's outcome
    double firstMs = 0;
    std::optional<double> dockedAfterMs;  // from the first attempt's start
};

struct FloodRound {
    int rate = 0;
    int honestSent = 0, honestAccepted = 0;
    size_t honestUnanswered = 0;
    std::map<int, uint64_t> honestRefused;
    std::vector<double> honestMs;
    // The flood's logins sent from its start until the last honest one's
    // time (figure 2).
    uint64_t floodSent = 0;
    size_t floodUnanswered = 0;
    std::map<int, uint64_t> floodAnswers;
    double windowSeconds = 0;
    DockTrial dock;
    std::string workersLine;
};

enum Tag { kHonestTag = 1, kFloodMeasuredTag, kFloodOtherTag, kOtherTag, kOperatorTag, kColdTag, kWarmTag };

// One flood rate on a server of its own: the flood starts, the honest
// logins follow, at 1,000/s a third zone tries to dock meanwhile.
FloodRound measureFlood(const Contender& who, const AccountTemplate& accounts, int rate) {
    AttackedServer server(who.binary, accounts, ServerSettings{});
    ZoneSet zones(server);
    const size_t honest = zones.add(kHonestScore, "Honest Zone", "");
    const size_t hostile = zones.add(kHostileScore, "Hostile Zone", "");
    const size_t docking = zones.add(kDockScore, "Docking Zone", kDockPassword);
    zones.dock(honest);
    zones.dock(hostile);

    FloodRound round;
    round.rate = rate;
    round.workersLine = server.workersLine();
    zones.onAnswer = [&](const LoginAnswer& a) {
        if (a.tag == kHonestTag) {
            if (acceptedResult(a.result)) {
                ++round.honestAccepted;
                round.honestMs.push_back(a.ms);
            } else {
                ++round.honestRefused[a.result];
            }
        } else if (a.tag == kFloodMeasuredTag) {
            ++round.floodAnswers[a.result];
        }
    };
    const auto start = Clock::now();
    const auto measureStart = start + Ms(kFloodLeadMs);
    const auto measureEnd = measureStart + Ms(kHonestLogins * kHonestIntervalMs);
    // The next docking attempt's time; none when max.
    constexpr Clock::time_point kNoDock = Clock::time_point::max();
    Clock::time_point nextDock = rate == 1000 ? measureStart + Ms(kDockAfterMs) : kNoDock;
    Clock::time_point firstDockBegan = kNoDock;
    uint64_t floodTotal = 0;
    for (;;) {
        const auto now = Clock::now();
        // Figure 2 counts the flood from its first guess to the last
        // honest login's time.
        const bool measuring = now < measureEnd;
        const bool honestDone = round.honestSent == kHonestLogins && zones.pending(kHonestTag) == 0;
        if (now >= measureEnd && (honestDone || now >= measureEnd + Ms(kAnswerLimitMs))) break;
        // The flood keeps its rate, whatever the replies.
        const auto due = static_cast<uint64_t>(secondsSince(start) * rate);
        for (; floodTotal < due; ++floodTotal) {
            zones.login(hostile, kFloodTarget, kWrongPassword, measuring ? kFloodMeasuredTag : kFloodOtherTag);
            if (measuring) ++round.floodSent;
        }
        while (round.honestSent < kHonestLogins && now >= measureStart + Ms(round.honestSent * kHonestIntervalMs)) {
            ++round.honestSent;
            zones.login(honest, playerName(round.honestSent), kPassword, kHonestTag);
        }
        if (now >= nextDock && now < measureEnd) {
            nextDock = kNoDock;
            if (firstDockBegan == kNoDock) firstDockBegan = now;
            zones.beginDock(docking);
            round.dock.tried = true;
        }
        const DockState state = zones.dockState(docking);
        if (round.dock.tried && !round.dock.dockedAfterMs &&
            (state == DockState::Docked || (state == DockState::Refused && nextDock == kNoDock))) {
            if (round.dock.first.empty()) {
                round.dock.first = state == DockState::Docked ? "docked" : "refused " + zones.refusal(docking);
                round.dock.firstMs = zones.dockMs(docking);
            }
            round.dock.attempts = zones.attempts(docking);
            if (state == DockState::Docked)
                round.dock.dockedAfterMs = std::chrono::duration<double, std::milli>(now - firstDockBegan).count();
            else
                nextDock = now + Ms(kDockRetryMs);
        }
        zones.pump(1);
    }
    round.windowSeconds = (kFloodLeadMs + kHonestLogins * kHonestIntervalMs) / 1000.0;
    round.honestUnanswered = zones.forget(kHonestTag);
    zones.awaitAnswers(kFloodMeasuredTag, kDrainLimitMs);
    round.floodUnanswered = zones.forget(kFloodMeasuredTag);
    if (round.dock.tried && round.dock.first.empty()) {
        round.dock.first = "no outcome while the flood lasted";
        round.dock.attempts = zones.attempts(docking);
    }
    zones.onAnswer = nullptr;
    zones.disconnect();
    zones.pump(50);
    server.stop(who.label);
    std::printf("  %s, %s/s: %d of %d honest logins accepted; %s\n", who.label.c_str(), withCommas(rate).c_str(),
                round.honestAccepted, round.honestSent, round.workersLine.c_str());
    std::fflush(stdout);
    return round;
}

void printFloods(const std::vector<Contender>& who, const std::vector<std::vector<FloodRound>>& all) {
    std::vector<std::string> columns;
    for (const auto& c : who) columns.push_back(c.label);
    std::printf("\nFigure 1: %d honest logins, one every %d ms, each an account with a hashed password not seen "
                "since the start, while another zone sends wrong passwords for one account, each from a new "
                "address (result codes as code:count; 2 wrong password, 7 too many attempts or busy)\n",
                kHonestLogins, kHonestIntervalMs);
    Table table(columns);
    for (size_t r = 0; r < std::size(kFloodRates); ++r) {
        const std::string rate = withCommas(kFloodRates[r]) + "/s: ";
        std::vector<std::string> accepted, latency, refused, unanswered, flood;
        for (const auto& rounds : all) {
            const FloodRound& f = rounds[r];
            accepted.push_back(fixed(100.0 * f.honestAccepted / std::max(1, f.honestSent)) + "% (" +
                               std::to_string(f.honestAccepted) + "/" + std::to_string(f.honestSent) + ")");
            latency.push_back(milliseconds(quantile(f.honestMs, 0.50)) + " / " + milliseconds(quantile(f.honestMs, 0.95)));
            refused.push_back(codes(f.honestRefused));
            unanswered.push_back(std::to_string(f.honestUnanswered));
            flood.push_back(codes(f.floodAnswers));
        }
        table.row(rate + "honest logins accepted", accepted);
        table.row(rate + "accepted p50 / p95 ms", latency);
        table.row(rate + "honest refused, result:count", refused);
        table.row(rate + "honest unanswered after " + std::to_string(kAnswerLimitMs / 1000) + " s", unanswered);
        table.row(rate + "answers to the flood's first " + fixed(all.front()[r].windowSeconds) + " s", flood);
    }
    std::vector<std::string> first, docked;
    for (const auto& rounds : all) {
        const DockTrial& d = rounds.back().dock;
        first.push_back(d.first.empty() ? "-" : d.first + (d.firstMs > 0 ? " in " + milliseconds(d.firstMs) + " ms" : ""));
        docked.push_back(d.dockedAfterMs ? "after " + milliseconds(*d.dockedAfterMs) + " ms, attempt " +
                                               std::to_string(d.attempts)
                                         : "no (" + std::to_string(d.attempts) + " attempts)");
    }
    table.row("1,000/s: third zone (hashed zone password), first login", first);
    table.row("1,000/s: third zone docked", docked);
    table.print();

    std::printf("\nFigure 2: wrong passwords for one account from one zone at 1,000/s, per minute (from the first "
                "%.0f s of figure 1's 1,000/s flood)\n",
                all.front().back().windowSeconds);
    Table guesses(columns);
    std::vector<std::string> raw, sent, checked, refused, other, unanswered;
    for (const auto& rounds : all) {
        const FloodRound& f = rounds.back();
        const double perMinute = 60.0 / f.windowSeconds;
        uint64_t others = 0;
        for (const auto& [code, count] : f.floodAnswers)
            if (code != 2 && code != 7) others += count;
        auto scaled = [&](uint64_t n) { return withCommas(std::llround(static_cast<double>(n) * perMinute)); };
        auto count = [&](int code) { return f.floodAnswers.count(code) ? f.floodAnswers.at(code) : uint64_t{0}; };
        raw.push_back(withCommas(static_cast<long long>(count(2))) + " / " +
                      withCommas(static_cast<long long>(count(7))));
        sent.push_back(scaled(f.floodSent));
        checked.push_back(scaled(count(2)));
        refused.push_back(scaled(count(7)));
        other.push_back(scaled(others));
        unanswered.push_back(scaled(f.floodUnanswered));
    }
    guesses.row("guesses sent per minute", sent);
    guesses.row("checked: wrong password (result 2) per minute", checked);
    guesses.row("refused unchecked (result 7) per minute", refused);
    guesses.row("other answers per minute", other);
    guesses.row("unanswered per minute", unanswered);
    guesses.row("as counted: result 2 / result 7", raw);
    guesses.print();
}

// ---- Figure 3: logins while operators' lookups hang.

struct PacedLogins {
    int sent = 0, accepted = 0;
    size_t unanswered = 0;
    std::map<int, uint64_t> refused;
    std::vector<double> acceptedMs;
    // The time to be let in of every login sent, refused or unanswered
    // ones counting as never.
    double p50 = 0, p95 = 0;
};

struct HangingFigures {
    PacedLogins before, during;
    size_t lookupsAsked = 0;  // queries the silent whois server had when the logins began
    std::string workersLine;
};

// Operators: players of `zone` logged in as the level 0 operator. Returns
// their PlayerIDs.
std::vector<uint32_t> seatOperators(ZoneSet& zones, size_t zone, int count, AttackedServer& server) {
    std::vector<uint32_t> ids;
    int accepted = 0;
    zones.onAnswer = [&](const LoginAnswer& a) {
        if (a.tag != kOperatorTag) return;
        if (!acceptedResult(a.result))
            fail("an operator's login was refused: " + std::string(zoneclient::loginResultText(a.result)));
        ++accepted;
    };
    for (int i = 1; i <= count; ++i)
        ids.push_back(zones.login(zone, operatorName(i), kPassword, kOperatorTag, /*stays=*/true));
    if (!zones.awaitUntil([&] { return accepted == count; }, 60000))
        fail("the operators were not let in:\n" + server.process().consoleTail());
    int loggedOn = 0;
    zones.onText = [&](size_t, uint32_t, const std::string& text) {
        if (text.rfind("Successfully logged on", 0) == 0) ++loggedOn;
    };
    for (uint32_t id : ids) zones.command(zone, id, std::string("?login ") + kSysopPassword);
    if (!zones.awaitUntil([&] { return loggedOn == count; }, 30000))
        fail("the operators' ?login went unanswered:\n" + server.process().consoleTail());
    zones.onAnswer = nullptr;
    zones.onText = nullptr;
    return ids;
}

// Logins of accounts not seen before, one every kOtherIntervalMs for
// `seconds`, then up to kAnswerLimitMs for the last answers.
PacedLogins pacedLogins(ZoneSet& zones, size_t zone, int firstAccount, int seconds) {
    PacedLogins out;
    zones.onAnswer = [&](const LoginAnswer& a) {
        if (a.tag != kOtherTag) return;
        if (acceptedResult(a.result)) {
            ++out.accepted;
            out.acceptedMs.push_back(a.ms);
        } else {
            ++out.refused[a.result];
        }
    };
    const int count = seconds * 1000 / kOtherIntervalMs;
    const auto start = Clock::now();
    while (out.sent < count || zones.pending(kOtherTag) > 0) {
        const auto now = Clock::now();
        if (now >= start + Ms(seconds * 1000 + kAnswerLimitMs)) break;
        while (out.sent < count && now >= start + Ms(out.sent * kOtherIntervalMs)) {
            zones.login(zone, playerName(firstAccount + out.sent), kPassword, kOtherTag);
            ++out.sent;
        }
        zones.pump(1);
    }
    out.unanswered = zones.forget(kOtherTag);
    zones.onAnswer = nullptr;
    std::vector<double> all = out.acceptedMs;
    all.resize(static_cast<size_t>(out.sent), kNever);
    out.p50 = quantile(all, 0.50);
    out.p95 = quantile(all, 0.95);
    return out;
}

HangingFigures measureHangingLookups(const Contender& who, const AccountTemplate& accounts, int seconds) {
    auto whois = std::make_unique<tallysv::testing::FakeWhoisServer>(std::vector<std::string>{}, true);
    ServerSettings settings;
    settings.whoisServer = whois->server();
    settings.whoisTimeoutMs = kHangingTimeoutMs;
    AttackedServer server(who.binary, accounts, settings);
    ZoneSet zones(server);
    const size_t operators = zones.add(kOperatorScore, "Operators Zone", "");
    const size_t others = zones.add(kOtherScore, "Players Zone", "");
    zones.dock(operators);
    zones.dock(others);
    HangingFigures figures;
    figures.workersLine = server.workersLine();
    std::vector<uint32_t> ops = seatOperators(zones, operators, kOperators, server);

    figures.before = pacedLogins(zones, others, 1, seconds);

    int waiting = 0, ended = 0;
    zones.onText = [&](size_t, uint32_t, const std::string& text) {
        if (text == "Please wait while downloading information for NetBlock...") ++waiting;
        if (text.rfind("Unable to calculate NetBlock", 0) == 0 || text.rfind("Ban # ", 0) == 0) ++ended;
    };
    for (uint32_t id : ops) zones.command(operators, id, std::string("?ban -! ") + kBanTarget);
    if (!zones.awaitUntil([&] { return waiting == kOperators; }, 10000))
        fail("the operators' ?ban -! went unanswered:\n" + server.process().consoleTail());
    // The lookups that have a thread are at the whois server, waiting.
    zones.awaitUntil([&] { return !whois->queries().empty(); }, 2000);
    zones.pump(100);
    figures.lookupsAsked = whois->queries().size();
    figures.during = pacedLogins(zones, others, 1 + seconds * 1000 / kOtherIntervalMs, seconds);

    // The whois server goes: the lookups still waiting on it end at once,
    // and the server stops without waiting out their time limits.
    whois.reset();
    zones.awaitUntil([&] { return ended == kOperators; }, 10000);
    zones.onText = nullptr;
    zones.disconnect();
    zones.pump(50);
    server.stop(who.label);
    return figures;
}

void printHanging(const std::vector<Contender>& who, const std::vector<HangingFigures>& all, int seconds) {
    std::vector<std::string> columns;
    for (const auto& c : who) columns.push_back(c.label);
    std::printf("\nFigure 3: logins through another zone, one every %d ms for %d s (accounts not seen since the "
                "start), before and while %d operators' ?ban -! lookups wait on a whois server that never "
                "answers (WhoisTimeout=%d); time to be let in, refused or unanswered logins counting as never\n",
                kOtherIntervalMs, seconds, kOperators, kHangingTimeoutMs);
    Table table(columns);
    const double limit = kAnswerLimitMs;
    for (int part = 0; part < 2; ++part) {
        const std::string label = part == 0 ? "without lookups: " : "lookups hanging: ";
        std::vector<std::string> accepted, p50, p95, refused, unanswered;
        for (const auto& f : all) {
            const PacedLogins& p = part == 0 ? f.before : f.during;
            accepted.push_back(std::to_string(p.accepted) + "/" + std::to_string(p.sent));
            p50.push_back(milliseconds(p.p50, limit));
            p95.push_back(milliseconds(p.p95, limit));
            refused.push_back(codes(p.refused));
            unanswered.push_back(std::to_string(p.unanswered));
        }
        table.row(label + "logins accepted", accepted);
        table.row(label + "p50 ms", p50);
        table.row(label + "p95 ms", p95);
        table.row(label + "refused, result:count", refused);
        table.row(label + "unanswered " + std::to_string(kAnswerLimitMs / 1000) + " s after the last", unanswered);
    }
    std::vector<std::string> asked;
    for (const auto& f : all) asked.push_back(std::to_string(f.lookupsAsked));
    table.row("lookups at the whois server meanwhile", asked);
    table.print();
}

// ---- Figure 4: memory against a whois server that streams.

struct MemoryFigures {
    double rssBefore = 0, hwmBefore = 0, rssAfter = 0, hwmAfter = 0, rssPeak = 0;  // KiB
    double lookupSeconds = 0;
    // The lookup still read the stream a second past WhoisTimeout, and the
    // whois server was stopped to end it.
    bool outlasted = false;
    std::string reply;
};

MemoryFigures measureStreamedReply(const Contender& who, const AccountTemplate& accounts) {
    // The line over and over, many to a send, so that the server reading
    // them sets the pace; the stream ends when the server hangs up or this
    // whois server goes.
    auto whois = std::make_unique<tallysv::testing::FakeWhoisServer>(std::vector<std::string>{});
    std::string lines;
    while (lines.size() < 65536) lines += kStreamedLine;
    whois->setEndless(lines);
    ServerSettings settings;
    settings.whoisServer = whois->server();
    settings.whoisTimeoutMs = kStreamTimeoutMs;
    AttackedServer server(who.binary, accounts, settings);
    ZoneSet zones(server);
    const size_t operators = zones.add(kOperatorScore, "Operators Zone", "");
    zones.dock(operators);
    std::vector<uint32_t> ops = seatOperators(zones, operators, 1, server);
    zones.pump(500);
    const pid_t pid = server.process().pid();
    MemoryFigures m;
    m.rssBefore = statusKiB(pid, "VmRSS:");
    m.hwmBefore = statusKiB(pid, "VmHWM:");
    m.rssPeak = m.rssBefore;
    zones.onText = [&](size_t, uint32_t, const std::string& text) {
        if (text.rfind("Unable to calculate NetBlock", 0) == 0 || text.rfind("Ban # ", 0) == 0) m.reply = text;
    };
    const auto start = Clock::now();
    zones.command(operators, ops.front(), std::string("?ban -! ") + kBanTarget);
    auto lastSample = start;
    while (m.reply.empty() && secondsSince(start) * 1000 < kStreamTimeoutMs * 3) {
        zones.pump(5);
        if (whois && secondsSince(start) * 1000 >= kStreamTimeoutMs + 1000) {
            whois.reset();
            m.outlasted = true;
        }
        if (Clock::now() - lastSample >= Ms(kMemorySampleMs)) {
            lastSample = Clock::now();
            m.rssPeak = std::max(m.rssPeak, statusKiB(pid, "VmRSS:"));
        }
    }
    m.lookupSeconds = secondsSince(start);
    if (m.reply.empty()) m.reply = "(none)";
    zones.pump(200);
    m.rssAfter = statusKiB(pid, "VmRSS:");
    m.hwmAfter = statusKiB(pid, "VmHWM:");
    m.rssPeak = std::max(m.rssPeak, m.rssAfter);
    zones.onText = nullptr;
    zones.disconnect();
    zones.pump(50);
    server.stop(who.label);
    return m;
}

void printMemory(const std::vector<Contender>& who, const std::vector<MemoryFigures>& all) {
    std::vector<std::string> columns;
    for (const auto& c : who) columns.push_back(c.label);
    std::printf("\nFigure 4: server memory around one ?ban -! lookup whose whois server streams \"%.*s\" lines as "
                "fast as they are read, until the server hangs up or for %d s at most (WhoisTimeout=%d)\n",
                static_cast<int>(std::strlen(kStreamedLine) - 1), kStreamedLine, kStreamTimeoutMs / 1000 + 1,
                kStreamTimeoutMs);
    Table table(columns);
    auto mib = [](double kib) { return fixed(kib / 1024, 1); };
    std::vector<std::string> rb, hb, ra, ha, peak, took, outlasted, reply;
    for (const auto& m : all) {
        rb.push_back(mib(m.rssBefore));
        hb.push_back(mib(m.hwmBefore));
        ra.push_back(mib(m.rssAfter));
        ha.push_back(mib(m.hwmAfter));
        peak.push_back(mib(m.rssPeak));
        took.push_back(fixed(m.lookupSeconds, 2));
        outlasted.push_back(m.outlasted ? "yes" : "no");
        // "Ban # 1 added ...": the lookup found a block; "Unable to
        // calculate NetBlock...": it did not.
        reply.push_back(m.reply.rfind("Ban # ", 0) == 0             ? "ban added"
                        : m.reply.rfind("Unable to calculate", 0) == 0 ? "no NetBlock"
                                                                        : m.reply);
    }
    table.row("VmRSS before, MiB", rb);
    table.row("VmHWM before, MiB", hb);
    table.row("VmRSS after, MiB", ra);
    table.row("VmHWM after, MiB", ha);
    table.row("largest VmRSS seen meanwhile (every 50 ms), MiB", peak);
    table.row("?ban to its last reply, s", took);
    table.row("still reading 1 s past WhoisTimeout (stream then stopped)", outlasted);
    table.row("the ?ban's outcome", reply);
    table.print();
}

// ---- Figure 5: returning players' logins, cold and warm.

struct RatePhase {
    double rate = 0, p50 = 0;
    uint64_t accepted = 0;
    std::map<int, uint64_t> refused;
    double seconds = 0;
};

struct RateFigures {
    RatePhase cold, warm;
    std::string workersLine;
};

RateFigures measureRates(const std::string& label, const std::string& binary, const AccountTemplate& accounts,
                         int coldAccounts, bool verifierCache, int seconds) {
    ServerSettings settings;
    settings.verifierCache = verifierCache;
    AttackedServer server(binary, accounts, settings);
    ZoneSet zones(server);
    const size_t zone = zones.add(kRateScore, "Rates Zone", "");
    zones.dock(zone);
    RateFigures figures;
    figures.workersLine = server.workersLine();
    std::vector<std::string> returning;  // accounts that have logged in once

    for (int warm = 0; warm < 2; ++warm) {
        RatePhase& phase = warm ? figures.warm : figures.cold;
        const int tag = warm ? kWarmTag : kColdTag;
        std::vector<double> ms;
        int nextCold = 1;
        size_t nextWarm = 0;
        bool issuing = true;
        std::unordered_map<uint32_t, std::string> coldInFlight;  // the account of each cold PlayerID
        auto sendNext = [&] {
            if (!issuing) return;
            if (!warm) {
                if (nextCold > coldAccounts) return;
                std::string name = playerName(nextCold++);
                coldInFlight[zones.login(zone, name, kPassword, tag)] = std::move(name);
            } else if (!returning.empty()) {
                zones.login(zone, returning[nextWarm++ % returning.size()], kPassword, tag);
            }
        };
        zones.onAnswer = [&](const LoginAnswer& a) {
            if (a.tag != tag) return;
            if (auto found = coldInFlight.find(a.playerId); found != coldInFlight.end()) {
                if (acceptedResult(a.result)) returning.push_back(found->second);
                coldInFlight.erase(found);
            }
            if (!issuing) return;
            if (acceptedResult(a.result)) {
                ++phase.accepted;
                ms.push_back(a.ms);
            } else {
                ++phase.refused[a.result];
            }
            sendNext();
        };
        // The first window, then one more for each answer.
        const auto start = Clock::now();
        for (int i = 0; i < kRateWindow; ++i) sendNext();
        while (secondsSince(start) < seconds && zones.pending(tag) > 0) zones.pump(5);
        phase.seconds = secondsSince(start);
        issuing = false;
        zones.awaitAnswers(tag, kDrainLimitMs);
        zones.forget(tag);
        phase.rate = phase.seconds > 0 ? static_cast<double>(phase.accepted) / phase.seconds : 0;
        phase.p50 = quantile(ms, 0.50);
    }
    zones.onAnswer = nullptr;
    zones.disconnect();
    zones.pump(50);
    server.stop(label);
    return figures;
}

void printRates(const std::vector<std::string>& columns, const std::vector<RateFigures>& all, int seconds) {
    std::printf("\nFigure 5: logins of returning players (accounts with hashed passwords), %d in flight: cold, each "
                "account's first login since the start, for %d s; warm, their later logins, for %d s\n",
                kRateWindow, seconds, seconds);
    Table table(columns);
    for (int warm = 0; warm < 2; ++warm) {
        const std::string label = warm ? "warm: " : "cold: ";
        std::vector<std::string> rate, p50, refused;
        for (const auto& f : all) {
            const RatePhase& p = warm ? f.warm : f.cold;
            rate.push_back(fixed(p.rate));
            p50.push_back(milliseconds(p.p50));
            refused.push_back(codes(p.refused));
        }
        table.row(label + "logins/s", rate);
        table.row(label + "p50 ms", p50);
        table.row(label + "refused, result:count", refused);
    }
    table.print();
}

}  // namespace

int runHostile(const Options& options) {
    const auto begin = Clock::now();
    const int seconds = options.seconds;
    std::vector<Contender> who{{"this build", options.serverBin}};
    if (!options.compareBin.empty()) who.push_back({"compared", options.compareBin});

    // One check here, to know how many accounts S seconds of cold logins
    // on the server's workers may take.
    constexpr int kRounds = 3;
    const tallysv::PasswordField field = tallysv::makePasswordField(kPassword, true);
    auto checking = Clock::now();
    for (int i = 0; i < kRounds; ++i)
        if (!tallysv::checkPassword(field, kPassword, true).matches) fail("a hash did not verify");
    const double checkMs = secondsSince(checking) * 1000 / kRounds;
    const int coldAccounts =
        std::clamp(static_cast<int>(kPasswordWorkers * seconds * 1000 / checkMs * 1.25) + kRateWindow, 100, 20000);
    const int players = std::max({kHonestLogins, 2 * seconds * 1000 / kOtherIntervalMs, coldAccounts});

    std::printf("hostile zones: PasswordHashing=1, PasswordWorkers=%d; one Argon2id check here %.1f ms; --seconds "
                "%d\n",
                kPasswordWorkers, checkMs, seconds);
    for (const auto& c : who) std::printf("%s: %s\n", c.label.c_str(), c.binary.c_str());
    std::fflush(stdout);
    auto building = Clock::now();
    AccountTemplate accounts(players);
    std::printf("%s accounts with hashed passwords made and saved in %.1f s; each server starts from a copy\n",
                withCommas(static_cast<long long>(accounts.accounts())).c_str(), secondsSince(building));
    std::fflush(stdout);

    std::vector<std::vector<FloodRound>> floods(who.size());
    for (int rate : kFloodRates)
        for (size_t i = 0; i < who.size(); ++i) floods[i].push_back(measureFlood(who[i], accounts, rate));
    printFloods(who, floods);

    std::vector<HangingFigures> hanging;
    for (const auto& c : who) {
        hanging.push_back(measureHangingLookups(c, accounts, seconds));
        std::printf("  %s: %s\n", c.label.c_str(), hanging.back().workersLine.c_str());
    }
    printHanging(who, hanging, seconds);

    std::vector<MemoryFigures> memory;
    for (const auto& c : who) memory.push_back(measureStreamedReply(c, accounts));
    printMemory(who, memory);

    std::vector<std::string> columns{"this build", "this build, PasswordVerifierCache=0"};
    std::vector<RateFigures> rates;
    rates.push_back(measureRates(who[0].label, who[0].binary, accounts, coldAccounts, true, seconds));
    rates.push_back(measureRates(who[0].label, who[0].binary, accounts, coldAccounts, false, seconds));
    if (who.size() > 1) {
        columns.push_back(who[1].label);
        rates.push_back(measureRates(who[1].label, who[1].binary, accounts, coldAccounts, true, seconds));
    }
    printRates(columns, rates, seconds);

    std::printf("\nthe whole run took %.0f s\n", secondsSince(begin));
    return 0;
}

}  // namespace loadgen
