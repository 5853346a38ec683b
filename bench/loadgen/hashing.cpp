// Hashed passwords ("hashing"): two servers side by side, one with
// PasswordHashing off and one with it on, measured in the same run: logins
// per second of new accounts and of returning ones, and the longest stall
// of chat between two zones while a third floods wrong passwords from 1,000
// addresses. Before them, the time of one hash and one check in this
// process.
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "credentials/password_store.h"
#include "db/database.h"
#include "loadgen/figures.h"
#include "loadgen/loadgen.h"
#include "loadgen/runs.h"
#include "loadgen/server.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace loadgen {

namespace {

using zoneclient::Bytes;
using zoneclient::monotonicTick;

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
    tallysv::Settings settings;
    tallysv::Database database(settings, clock, log, folder.string());
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

// How long a zone waits for the answer to its connection request before it
// asks again.
constexpr uint32_t kConnectRetryMs = 2000;

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
        // A zone asks again only when its request has gone unanswered for a
        // while: a request repeated while the answer is on its way reaches
        // a session that has its key already, is deciphered with it and
        // installs a key the zone never hears of, so its login is lost.
        std::array<std::optional<uint32_t>, 3> asked{};
        while (!(zones_[0]->link->connected() && zones_[1]->link->connected() && zones_[2]->link->connected())) {
            if (!server.running()) fail("the server ended while starting:\n" + server.consoleTail());
            if (monotonicTick() - begin >= kServerReadyLimit) fail("the server does not answer");
            for (size_t i = 0; i < zones_.size(); ++i) {
                if (zones_[i]->link->connected()) continue;
                if (asked[i] && monotonicTick() - *asked[i] < kConnectRetryMs) continue;
                zones_[i]->link->connect();
                asked[i] = monotonicTick();
            }
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
    tallysv::testing::TempDir folder;
    buildHashedDatabase(folder.path(), hashing);
    const auto port = static_cast<uint16_t>(tallysv::testing::freeUdpPort());
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

}  // namespace

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

}  // namespace loadgen
