#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/address.h"
#include "core/status.h"

namespace tallysv {

// An inclusive block of IPv4 addresses, first and last.
struct NetBlock {
    IPv4Address first{};
    IPv4Address last{};
};

// Where and how long to ask: the whois server as "host" or "host:port"
// (port 43 when none is given), and one time limit in milliseconds for the
// whole lookup, name resolution, connections, query and every read of
// every server asked included. `allowedServers` names the servers a
// referral may lead to beyond port 43 of a public address: "host[:port]"
// entries separated by commas, as the WhoisAllowedServers setting holds them.
struct WhoisOptions {
    std::string server = "whois.iana.org";
    int32_t timeoutMs = 5000;
    std::string allowedServers;
};

// Asks the whois server (and at most two servers it refers to) for the
// address block of the Internet provider that holds `address`. The replies
// are read as lines; "Netblock:", "NetRange:" and "inetnum:" lines of the
// form "first - last" name blocks, and "refer:", "whois:" and
// "ReferralServer: whois://host[:port]" lines name the next server. The
// answer is the smallest block found that holds the address and is smaller
// than 2^24 addresses (a /8 or larger is a registry's allocation, not a
// provider's block). No block when there is none or the time runs out.
// Blocks the caller until it ends.
//
// What a server sends cannot make the lookup hold more than a few KiB: of
// each reply only the first 64 KiB are read (the reply ends there), and
// only the best block so far is kept. Nor can a reply turn the lookup
// against the server's own network: the configured server is asked
// wherever it is, but a referral is followed only as referralAllowed
// says, to the very address that was checked.
//
// A server that cannot be asked ends the lookup with what was found
// before it, and a failure whose reason is the console line the caller
// prints: "Error resolving (host)", "Can't create socket" or "Error
// connecting (host)", also when the time runs out there, and "Whois
// referral refused (host:port)" for a referral that may not be followed.
// Running out of time while sending or reading, or a server that hangs up
// midway, is no such failure.
struct NetBlockLookup {
    std::optional<NetBlock> block;
    Status status;
};
NetBlockLookup lookupNetBlock(const IPv4Address& address, const WhoisOptions& options);

// The parts of a whois reply, for the lookup and its tests.
namespace whois {

// The block of a "first - last" value ("193.0.0.0 - 193.0.7.255").
std::optional<NetBlock> parseBlockValue(std::string_view value);

// What one line of a reply says.
struct ReplyLine {
    std::optional<NetBlock> block;
    std::string referral;  // "host" or "host:port"; empty when none
};
ReplyLine parseReplyLine(std::string_view line);

// Whether the block holds the address and is small enough to ban.
bool usableBlock(const NetBlock& block, const IPv4Address& address);

// Whether the address is one of the public Internet: not in "this"
// network, the private, shared (carrier NAT), loopback, link-local,
// protocol, benchmarking, documentation, multicast or reserved ranges,
// nor the broadcast address.
bool publicAddress(const IPv4Address& address);

// Whether a referral to `host` on `port`, which resolved to `resolved`, may
// be followed: to port 43 of a public address, or to a server that
// `allowedServers` names ("host[:port]" entries separated by commas, port
// 43 when none; hosts compared without regard to case, as the referral
// names them; blanks around entries dropped).
bool referralAllowed(std::string_view host, uint16_t port, const IPv4Address& resolved,
                     std::string_view allowedServers);

}  // namespace whois

}  // namespace tallysv
