// tallysv-zone: connects to a billing server as a zone, logs in, and then
// plays players from commands on standard input, printing every message the
// server sends.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/address.h"
#include "core/fields.h"
#include "zoneclient/messages.h"
#include "zoneclient/udp_client.h"
#include "zoneclient/zone_link.h"

namespace {

using namespace zoneclient;

constexpr const char* kUsage =
    "usage: tallysv-zone --server HOST:PORT --score-id N --group-id N --name NAME --password P [--local-port N]\n";
constexpr const char* kHelp =
    "usage: tallysv-zone --server HOST:PORT --score-id N --group-id N --name NAME --password P [--local-port N]\n"
    "\n"
    "--local-port binds the zone's socket to a fixed port, as zones behind a\n"
    "firewall do (0, the default, takes any free port).\n"
    "\n"
    "Connects to a billing server as a zone, logs in, then reads commands from\n"
    "standard input, one a line:\n"
    "  player NAME PASSWORD [--new] [--machine-id N] [--tzb N] [--ip A.B.C.D]\n"
    "                                                            log a player in\n"
    "  cmd NAME ?text                                            send a command\n"
    "  chat NAME SLOT text                                       chat on a channel slot\n"
    "  broadcast [NAME] text                                     broadcast (as the zone without NAME)\n"
    "  leave NAME [--usage N] [--scores W1 W2 W3 L1 L2]          the player leaves\n"
    "  quit                                                      disconnect and end\n"
    "Every message from the server is printed on a line of its own.\n";

constexpr uint32_t kHandshakeRetry = 1000;
constexpr uint32_t kHandshakeLimit = 10000;
constexpr uint32_t kKeepAlive = 5000;
constexpr uint32_t kSilenceLimit = 15000;

struct Options {
    std::string server;
    int32_t scoreId = 0;
    int32_t groupId = 0;
    std::string name = "Zone";
    std::string password;
    bool scoreIdGiven = false;
    bool groupIdGiven = false;
    int32_t localPort = 0;
};

bool parseInt(const char* text, int32_t& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') return false;
    out = static_cast<int32_t>(v);
    return true;
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class Simulator {
public:
    Simulator(UdpClient& client, const Options& options)
        : client_(client), options_(options),
          link_([this](std::span<const uint8_t> d) { client_.send(d); },
                static_cast<int32_t>(0x10000 + (static_cast<uint32_t>(getpid()) & 0x7FFF))) {}

    int run() {
        if (!connect()) return 1;
        link_.sendReliable(zoneLogin(options_.groupId, options_.scoreId, options_.name, options_.password), now());
        say("zone login sent as " + options_.name + " (ScoreID " + std::to_string(options_.scoreId) + ", GroupID " +
            std::to_string(options_.groupId) + ")");
        std::string pending;
        bool inputOpen = true;
        uint32_t lastKeepAlive = now();
        for (;;) {
            pollfd fds[2] = {{client_.descriptor(), POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
            ::poll(fds, 2, 50);
            if (fds[0].revents & POLLIN) {
                while (auto d = client_.receive(0)) link_.receive(*d, now());
            }
            if (!printInbox()) return 1;
            if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
                char buffer[4096];
                ssize_t n = ::read(0, buffer, sizeof buffer);
                if (n <= 0) {
                    inputOpen = false;
                    // End of input ends the session as quit does, once what
                    // was sent has been acknowledged.
                    if (!drain()) return 1;
                    link_.disconnect();
                    say("disconnected");
                    return 0;
                }
                pending.append(buffer, static_cast<size_t>(n));
                size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    if (line == "quit") {
                        if (!drain()) return 1;
                        link_.disconnect();
                        say("disconnected");
                        return 0;
                    }
                    handleLine(line);
                }
            }
            uint32_t t = now();
            link_.maintain(t);
            if (t - lastKeepAlive >= kKeepAlive) {
                link_.sendSyncRequest(t);
                lastKeepAlive = t;
            }
            if (t - link_.lastReceiveTick().value_or(t) >= kSilenceLimit) {
                say("server stopped answering (nothing received for " + std::to_string(kSilenceLimit / 1000) +
                    " s)");
                return 1;
            }
        }
    }

private:
    static uint32_t now() { return monotonicTick(); }

    bool connect() {
        uint32_t start = now();
        uint32_t lastTry = start - kHandshakeRetry;
        while (!link_.connected()) {
            uint32_t t = now();
            if (t - start >= kHandshakeLimit) {
                say("server is not answering the connection request (" + options_.server + ")");
                return false;
            }
            if (t - lastTry >= kHandshakeRetry) {
                link_.connect();
                lastTry = t;
            }
            if (auto d = client_.receive(100)) link_.receive(*d, now());
        }
        say("connected to " + options_.server + (link_.sessionKey() ? " (encrypted)" : " (not encrypted)"));
        return true;
    }

    // Waits (bounded) until everything sent reliably has been acknowledged.
    bool drain() {
        uint32_t start = now();
        while (link_.inFlight() || link_.waiting()) {
            if (now() - start >= kSilenceLimit) {
                say("server stopped answering (messages not acknowledged)");
                return false;
            }
            if (auto d = client_.receive(50)) link_.receive(*d, now());
            link_.maintain(now());
            if (!printInbox()) return false;
        }
        return true;
    }

    bool printInbox() {
        while (!link_.inbox.empty()) {
            Bytes m = std::move(link_.inbox.front());
            link_.inbox.pop_front();
            std::string line = "server: " + describeServerMessage(m);
            uint32_t playerId = 0;
            bool aboutPlayer = false;
            if (m.size() >= 6 && m[0] == 1) {
                playerId = tallysv::readUInt32(m.data(), 2);
                aboutPlayer = true;
            } else if (m.size() >= 5 && (m[0] == 8 || m[0] == 9 || m[0] == 10)) {
                playerId = tallysv::readUInt32(m.data(), 1);
                aboutPlayer = true;
            }
            if (aboutPlayer) {
                for (const auto& [name, id] : players_) {
                    if (id == playerId) line += " [" + name + "]";
                }
            }
            say(line);
        }
        if (link_.disconnectedByServer()) {
            say("server closed the connection: the zone was refused or dropped");
            return false;
        }
        return true;
    }

    bool playerId(const std::string& name, uint32_t& id) {
        auto it = players_.find(name);
        if (it == players_.end()) {
            say("unknown player " + name + " (log it in with: player NAME PASSWORD)");
            return false;
        }
        id = it->second;
        return true;
    }

    void send(const Bytes& message) {
        if (!link_.sendReliable(message, now())) say("message too long, not sent");
    }

    static std::string rest(std::istringstream& in) {
        std::string text;
        std::getline(in, text);
        size_t first = text.find_first_not_of(' ');
        return first == std::string::npos ? std::string() : text.substr(first);
    }

    void handleLine(const std::string& line) {
        std::istringstream in(line);
        std::string word;
        if (!(in >> word)) return;
        if (word == "player") {
            PlayerLogin login;
            if (!(in >> login.name >> login.password)) {
                say("usage: player NAME PASSWORD [--new] [--machine-id N] [--tzb N] [--ip A.B.C.D]");
                return;
            }
            std::string option;
            while (in >> option) {
                int32_t value = 0;
                std::string v;
                if (option == "--new") {
                    login.confirmNew = true;
                } else if (option == "--ip" && in >> v) {
                    tallysv::IPv4Address low{}, high{};
                    int end = 0;
                    v += ' ';
                    if (!tallysv::parseAddressRange(v.c_str(), static_cast<int>(v.size()), low, high, end) ||
                        low != high) {
                        say("bad address " + v);
                        return;
                    }
                    login.address = low;
                } else if ((option == "--machine-id" || option == "--tzb") && in >> v && parseInt(v.c_str(), value)) {
                    if (option == "--machine-id") login.machineId = value;
                    else login.timeZoneBias = static_cast<int16_t>(value);
                } else {
                    say("unknown option " + option);
                    return;
                }
            }
            auto known = players_.find(login.name);
            login.playerId = known != players_.end() ? known->second : nextPlayerId_++;
            players_[login.name] = login.playerId;
            send(playerLogin(login));
        } else if (word == "cmd") {
            std::string name;
            uint32_t id;
            if (!(in >> name) || !playerId(name, id)) return;
            send(command(id, rest(in)));
        } else if (word == "chat") {
            std::string name, slot;
            uint32_t id;
            if (!(in >> name >> slot) || slot.empty()) {
                say("usage: chat NAME SLOT text");
                return;
            }
            if (!playerId(name, id)) return;
            send(chat(id, slot[0], rest(in)));
        } else if (word == "broadcast") {
            std::string text = rest(in);
            int32_t id = -1;
            size_t space = text.find(' ');
            std::string first = text.substr(0, space);
            auto it = players_.find(first);
            if (it != players_.end() && space != std::string::npos) {
                id = static_cast<int32_t>(it->second);
                text = text.substr(space + 1);
            }
            send(broadcast(id, text));
        } else if (word == "leave") {
            std::string name;
            uint32_t id;
            if (!(in >> name) || !playerId(name, id)) return;
            // leave NAME [--usage N] [--scores W1 W2 W3 L1 L2]
            int32_t usage = 0;
            Scores scores;
            std::string option, v;
            while (in >> option) {
                int32_t values[5] = {};
                if (option == "--usage" && in >> v && parseInt(v.c_str(), usage)) continue;
                bool ok = option == "--scores";
                for (int i = 0; ok && i < 5; ++i) ok = static_cast<bool>(in >> v) && parseInt(v.c_str(), values[i]);
                if (!ok) {
                    say("usage: leave NAME [--usage N] [--scores W1 W2 W3 L1 L2]");
                    return;
                }
                scores = Scores{static_cast<uint16_t>(values[0]), static_cast<uint16_t>(values[1]),
                                static_cast<uint16_t>(values[2]), values[3], values[4]};
            }
            send(playerLeaving(id, static_cast<int16_t>(usage), scores));
            players_.erase(name);
        } else {
            say("unknown command " + word + " (player, cmd, chat, broadcast, leave, quit)");
        }
    }

    UdpClient& client_;
    const Options& options_;
    ZoneLink link_;
    std::map<std::string, uint32_t> players_;
    uint32_t nextPlayerId_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (arg == "--server") options.server = value;
        else if (arg == "--score-id") ok = options.scoreIdGiven = parseInt(value, options.scoreId);
        else if (arg == "--group-id") ok = options.groupIdGiven = parseInt(value, options.groupId);
        else if (arg == "--name") options.name = value;
        else if (arg == "--password") options.password = value;
        else if (arg == "--local-port")
            ok = parseInt(value, options.localPort) && options.localPort >= 0 && options.localPort <= 65535;
        else ok = false;
        if (!ok) {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (options.server.empty() || !options.scoreIdGiven || !options.groupIdGiven) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    UdpClient client;
    std::string reason;
    if (!client.open(options.server, reason, static_cast<uint16_t>(options.localPort))) {
        std::fprintf(stderr, "tallysv-zone: %s: %s\n", options.server.c_str(), reason.c_str());
        return 2;
    }
    Simulator simulator(client, options);
    return simulator.run();
}
