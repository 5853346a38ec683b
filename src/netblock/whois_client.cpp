#include "netblock/whois_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tallysv {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

constexpr uint16_t kWhoisPort = 43;
// A server may refer to another at most this many times per lookup.
constexpr int kMostReferrals = 2;
// Blocks this large or larger are a registry's allocations.
constexpr uint64_t kLargestBlock = uint64_t{1} << 24;
// A line longer than this is cut; the rest of it up to the line feed is
// dropped, so a reply without line feeds holds no more memory than this.
constexpr size_t kLineLimit = 1024;
constexpr size_t kReadSize = 1023;
// Of one server's reply, at most this much is read; the reply ends there.
// Real replies are a few KiB, and a server that streams on cannot keep a
// lookup (and its worker) busy past this, whatever the time limit.
constexpr size_t kReplyLimit = 64 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool equalFoldedAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Reads a dotted IPv4 address at the start of `text`: four octets of one
// to three digits, each at most 255. Advances `text` past it.
std::optional<IPv4Address> takeAddress(std::string_view& text) {
    IPv4Address address{};
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        int value = 0;
        int digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (++digits > 3) return std::nullopt;
            value = value * 10 + (text[pos] - '0');
            ++pos;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        address[octet] = static_cast<uint8_t>(value);
    }
    text.remove_prefix(pos);
    return address;
}

uint32_t addressValue(const IPv4Address& a) {
    return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | uint32_t{a[3]};
}

uint64_t blockSize(const NetBlock& block) {
    return uint64_t{addressValue(block.last)} - uint64_t{addressValue(block.first)} + 1;
}

// A server named by a referral: a host name or dotted address of letters,
// digits, "." and "-", with an optional ":port".
bool plausibleServer(std::string_view server) {
    if (server.empty() || server.size() > 255) return false;
    size_t colon = server.find(':');
    std::string_view host = server.substr(0, colon);
    if (host.empty()) return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            return false;
    if (colon == std::string_view::npos) return true;
    std::string_view port = server.substr(colon + 1);
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    return true;
}

// "host" or "host:port" split; no value when the port is not 1 to 65535.
std::optional<std::pair<std::string, uint16_t>> splitServer(std::string_view server) {
    server = trimmed(server);
    size_t colon = server.rfind(':');
    if (colon == std::string_view::npos) return std::pair{std::string(server), kWhoisPort};
    std::string_view port = server.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return std::pair{std::string(server.substr(0, colon)), static_cast<uint16_t>(value)};
}

int remainingMs(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left) + 1;
}

// Refused: a referral that may not be followed, not asked at all.
enum class Outcome { Done, Failed, TimedOut, Refused };

// Waits for the socket to be ready; TimedOut when the deadline passes.
Outcome waitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        int left = remainingMs(deadline);
        if (left == 0) return Outcome::TimedOut;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, left);
        if (n > 0) return Outcome::Done;
        if (n == 0) continue;  // the loop checks the deadline again
        if (errno != EINTR) return Outcome::Failed;
    }
}

// The host name's address, resolved within the deadline. Dotted addresses
// need no lookup; a name is resolved on a thread of its own so that a slow
// name service cannot hold the lookup past its limit (the thread finishes
// on its own afterwards).
Outcome resolveWithin(const std::string& host, Deadline deadline, IPv4Address& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
        std::memcpy(address.data(), &parsed.s_addr, 4);
        return Outcome::Done;
    }
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool resolved = false;
        IPv4Address result{};
    };
    auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, host] {
            StatusOr<IPv4Address> result = resolveHostAddress(host.c_str());
            std::lock_guard lock(pending->mutex);
            pending->resolved = result.isOk();
            if (result) pending->result = *result;
            pending->finished = true;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Outcome::Failed;
    }
    std::unique_lock lock(pending->mutex);
    if (!pending->done.wait_until(lock, deadline, [&] { return pending->finished; })) return Outcome::TimedOut;
    if (!pending->resolved) return Outcome::Failed;
    address = pending->result;
    return Outcome::Done;
}

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Keeps the smaller of the best block so far and `block`, when it may be
// banned for the address.
void keepSmaller(std::optional<NetBlock>& best, const NetBlock& block, const IPv4Address& address) {
    if (!whois::usableBlock(block, address)) return;
    if (!best || blockSize(block) < blockSize(*best)) best = block;
}

// What one server said: only what the answer needs, so that a reply of
// any length holds no more than this.
struct ServerReply {
    Outcome outcome = Outcome::Failed;
    std::optional<NetBlock> best;
    std::string referral;  // the first one named
    Status status;         // why the server could not be asked
};

void takeLine(std::string_view line, const IPv4Address& address, ServerReply& reply) {
    whois::ReplyLine parsed = whois::parseReplyLine(line);
    if (parsed.block) keepSmaller(reply.best, *parsed.block, address);
    if (reply.referral.empty() && !parsed.referral.empty()) reply.referral = std::move(parsed.referral);
}

// Who named the server being asked: the operator, in the settings, or
// another server's reply, which is checked before anything is sent.
struct Referral {
    bool referred = false;
    std::string_view allowedServers;
};

// One query to one server: connect, send the address, read the reply as
// lines until the server closes the connection or the reply is too long.
ServerReply askServer(const std::string& server, const IPv4Address& address, Deadline deadline,
                      const Referral& referral) {
    ServerReply reply;
    auto split = splitServer(server);
    if (!split) {
        reply.status = Status::failure("Error resolving (" + server + ")");
        return reply;
    }
    const std::string& host = split->first;
    IPv4Address serverAddress{};
    Outcome resolved = resolveWithin(host, deadline, serverAddress);
    if (resolved != Outcome::Done) {
        reply.status = Status::failure("Error resolving (" + host + ")");
        reply.outcome = resolved;
        return reply;
    }
    // The address checked is the one connected to, from this one
    // resolution: a name that would resolve elsewhere a second time (to
    // an internal service, say) gets no second time.
    if (referral.referred && !whois::referralAllowed(host, split->second, serverAddress, referral.allowedServers)) {
        reply.status = Status::failure("Whois referral refused (" + host + ":" + std::to_string(split->second) + ")");
        reply.outcome = Outcome::Refused;
        return reply;
    }

    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0) {
        reply.status = Status::failure("Can't create socket");
        return reply;
    }
    int on = 1;
    (void)::setsockopt(socket.fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(split->second);
    std::memcpy(&to.sin_addr.s_addr, serverAddress.data(), 4);
    Outcome connected = Outcome::Done;
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS) {
            connected = Outcome::Failed;
        } else {
            connected = waitFor(socket.fd(), POLLOUT, deadline);
            int error = 0;
            socklen_t size = sizeof error;
            if (connected == Outcome::Done &&
                (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0))
                connected = Outcome::Failed;
        }
    }
    if (connected != Outcome::Done) {
        reply.status = Status::failure("Error connecting (" + host + ")");
        reply.outcome = connected;
        return reply;
    }

    std::string query = addressText(address) + "\n";
    size_t sent = 0;
    while (sent < query.size()) {
        ssize_t n = ::send(socket.fd(), query.data() + sent, query.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            Outcome ready = waitFor(socket.fd(), POLLOUT, deadline);
            if (ready != Outcome::Done) {
                reply.outcome = ready;
                return reply;
            }
            continue;
        }
        return reply;
    }

    std::string line;
    bool cut = false;  // the current line is over the limit; drop until its end
    char buffer[kReadSize];
    size_t received = 0;
    for (;;) {
        if (received == kReplyLimit) {
            // The reply ends here. The line it stops in is dropped: cut
            // short, "10.1.2.0 - 10.1.2.255" would read as a smaller block.
            reply.outcome = Outcome::Done;
            return reply;
        }
        ssize_t n = ::recv(socket.fd(), buffer, std::min(sizeof buffer, kReplyLimit - received), 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return reply;  // what was read counts; the rest is lost
            Outcome ready = waitFor(socket.fd(), POLLIN, deadline);
            if (ready == Outcome::TimedOut) {
                reply.outcome = ready;
                return reply;
            }
            if (ready == Outcome::Failed) return reply;
            continue;
        }
        received += static_cast<size_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\n') {
                if (!cut) takeLine(line, address, reply);
                line.clear();
                cut = false;
            } else if (!cut) {
                if (line.size() < kLineLimit)
                    line.push_back(c);
                else
                    cut = true;
            }
        }
    }
    // The server closed the connection: the reply is whole, and its last
    // line may lack a line feed.
    if (!cut && !line.empty()) takeLine(line, address, reply);
    reply.outcome = Outcome::Done;
    return reply;
}

}  // namespace

namespace whois {

std::optional<NetBlock> parseBlockValue(std::string_view value) {
    value = trimmed(value);
    auto first = takeAddress(value);
    if (!first) return std::nullopt;
    value = trimmed(value);
    if (value.empty() || value.front() != '-') return std::nullopt;
    value = trimmed(value.substr(1));
    auto last = takeAddress(value);
    if (!last || !trimmed(value).empty()) return std::nullopt;
    return NetBlock{*first, *last};
}

ReplyLine parseReplyLine(std::string_view line) {
    ReplyLine out;
    line = trimmed(line);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return out;
    std::string_view key = line.substr(0, colon);
    std::string_view value = trimmed(line.substr(colon + 1));
    if (equalFoldedAscii(key, "Netblock") || equalFoldedAscii(key, "NetRange") || equalFoldedAscii(key, "inetnum")) {
        out.block = parseBlockValue(value);
    } else if (equalFoldedAscii(key, "refer") || equalFoldedAscii(key, "whois")) {
        if (plausibleServer(value)) out.referral = std::string(value);
    } else if (equalFoldedAscii(key, "ReferralServer")) {
        // Only the whois protocol is spoken here; rwhois and others are not.
        constexpr std::string_view scheme = "whois://";
        if (value.size() > scheme.size() && equalFoldedAscii(value.substr(0, scheme.size()), scheme)) {
            std::string_view server = value.substr(scheme.size());
            if (!server.empty() && server.back() == '/') server.remove_suffix(1);
            if (plausibleServer(server)) out.referral = std::string(server);
        }
    }
    return out;
}

bool usableBlock(const NetBlock& block, const IPv4Address& address) {
    // Bans match addresses octet by octet, so the block must hold the
    // address that way, which also puts it between first and last.
    if (!addressInRange(address, block.first, block.last)) return false;
    return blockSize(block) < kLargestBlock;
}

bool publicAddress(const IPv4Address& address) {
    struct Range {
        uint32_t base;
        int bits;
    };
    static constexpr Range kNotPublic[] = {
        {0x00000000, 8},   // 0/8, "this" network
        {0x0A000000, 8},   // 10/8, private
        {0x64400000, 10},  // 100.64/10, carrier NAT
        {0x7F000000, 8},   // 127/8, loopback
        {0xA9FE0000, 16},  // 169.254/16, link-local
        {0xAC100000, 12},  // 172.16/12, private
        {0xC0000000, 24},  // 192.0.0/24, protocol assignments
        {0xC0000200, 24},  // 192.0.2/24, documentation
        {0xC0A80000, 16},  // 192.168/16, private
        {0xC6120000, 15},  // 198.18/15, benchmarking
        {0xC6336400, 24},  // 198.51.100/24, documentation
        {0xCB007100, 24},  // 203.0.113/24, documentation
        {0xE0000000, 4},   // 224/4, multicast
        {0xF0000000, 4},   // 240/4, reserved, with the broadcast address
    };
    const uint32_t value = addressValue(address);
    for (const Range& range : kNotPublic) {
        const uint32_t mask = ~uint32_t{0} << (32 - range.bits);
        if ((value & mask) == range.base) return false;
    }
    return true;
}

bool referralAllowed(std::string_view host, uint16_t port, const IPv4Address& resolved,
                     std::string_view allowedServers) {
    if (port == kWhoisPort && publicAddress(resolved)) return true;
    // Anything else is the operator's to allow, by the name the referral
    // gives: an internal service must never get a player's address because
    // a reply named it.
    while (!allowedServers.empty()) {
        const size_t comma = allowedServers.find(',');
        const std::string_view entry = trimmed(allowedServers.substr(0, comma));
        allowedServers = comma == std::string_view::npos ? std::string_view{} : allowedServers.substr(comma + 1);
        if (entry.empty()) continue;
        auto named = splitServer(entry);
        if (named && named->second == port && equalFoldedAscii(named->first, host)) return true;
    }
    return false;
}

}  // namespace whois

NetBlockLookup lookupNetBlock(const IPv4Address& address, const WhoisOptions& options) {
    const Deadline deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeoutMs > 0 ? options.timeoutMs : 0);
    std::optional<NetBlock> best;
    std::vector<std::string> asked;
    std::string server = options.server;
    for (int hop = 0;; ++hop) {
        // The configured server is the operator's choice, wherever it is.
        const Referral referral{hop > 0, options.allowedServers};
        ServerReply reply = askServer(server, address, deadline, referral);
        // Running out of time fails the whole lookup, whatever was found.
        if (reply.outcome == Outcome::TimedOut) return {std::nullopt, std::move(reply.status)};
        if (reply.best) keepSmaller(best, *reply.best, address);
        if (reply.outcome != Outcome::Done) return {best, std::move(reply.status)};
        if (hop == kMostReferrals || reply.referral.empty()) break;
        asked.push_back(server);
        bool seen = false;
        for (const std::string& s : asked) seen = seen || equalFoldedAscii(s, reply.referral);
        if (seen) break;
        server = reply.referral;
    }
    return {best, Status::ok()};
}

}  // namespace tallysv
