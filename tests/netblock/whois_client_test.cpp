#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "netblock/whois_client.h"
#include "support/fake_whois_server.h"

namespace tallysv::testing {
namespace {

const IPv4Address kPlayer{10, 1, 2, 3};

std::string blockText(const std::optional<NetBlock>& block) {
    if (!block) return "none";
    return addressText(block->first) + " - " + addressText(block->last);
}

class WhoisClientTest : public ::testing::Test {
protected:
    // The console gets the reason of a lookup that failed, as ?ban writes it.
    std::string lookup(const std::string& server, int32_t timeoutMs = 3000, IPv4Address address = kPlayer) {
        NetBlockLookup found = lookupNetBlock(address, WhoisOptions{server, timeoutMs, allowedServers});
        if (!found.status) log.printf("%s\n", found.status.reason().c_str());
        return blockText(found.block);
    }
    RecordingLog log;
    // WhoisAllowedServers: the fake servers all listen on loopback, where
    // only servers named here are asked when a reply refers to them.
    std::string allowedServers;
};

TEST_F(WhoisClientTest, BlockInTheFirstChunkAndANewConnectionForEachLookup) {
    FakeWhoisServer server({"% registry reply\nNetname: EXAMPLE-NET\nNetblock: 10.1.0.0 - 10.1.255.255\n"
                            "Country: XX\n"});
    EXPECT_EQ(lookup(server.server()), "10.1.0.0 - 10.1.255.255");
    EXPECT_EQ(lookup(server.server()), "10.1.0.0 - 10.1.255.255");
    // The query is the address and a line feed, once per lookup.
    EXPECT_EQ(server.queries(), (std::vector<std::string>{"10.1.2.3", "10.1.2.3"}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WhoisClientTest, NoBlockAtAllFailsWhenTheServerCloses) {
    FakeWhoisServer server({"% no entries found\n", "Netname: NOTHING\n"});
    EXPECT_EQ(lookup(server.server()), "none");
}

TEST_F(WhoisClientTest, RepliesAreReadAsLinesWhateverTheChunks) {
    const std::vector<std::vector<std::string>> replies = {
        {"% header\nNet", "block: 10.1.0.0 - 10.1.255.255\n"},   // the marker split
        {"Netblock: 10.1.0.0 - 10.", "1.255.255\nCountry: XX\n"},  // the last address split
        {"Netblock: 10.1.0.0 - 10.1.255.255\r", "\n"},             // CR before LF
        {"Netblock: 10.1.0.0 - 10.1.255.255"},                     // no line feed before the close
    };
    for (const auto& writes : replies) {
        FakeWhoisServer server(writes);
        EXPECT_EQ(lookup(server.server()), "10.1.0.0 - 10.1.255.255") << writes[0];
    }
}

TEST_F(WhoisClientTest, EachLineFormOverTheWire) {
    for (const char* key : {"Netblock:", "NetRange:", "inetnum:"}) {
        FakeWhoisServer server({std::string(key) + "        10.1.2.0 - 10.1.2.255\n"});
        EXPECT_EQ(lookup(server.server()), "10.1.2.0 - 10.1.2.255") << key;
    }
}

TEST_F(WhoisClientTest, ReplyLines) {
    const struct {
        const char* line;
        const char* block;     // "none" when the line names none
        const char* referral;  // "" when the line names none
    } cases[] = {
        {"Netblock: 10.1.0.0 - 10.1.255.255", "10.1.0.0 - 10.1.255.255", ""},
        {"NetRange:       8.0.0.0 - 8.127.255.255", "8.0.0.0 - 8.127.255.255", ""},
        {"inetnum:        193.0.0.0 - 193.0.7.255", "193.0.0.0 - 193.0.7.255", ""},
        {"INETNUM: 193.0.0.0-193.0.7.255  ", "193.0.0.0 - 193.0.7.255", ""},
        {"  netblock:\t10.0.0.0 - 10.0.0.255", "10.0.0.0 - 10.0.0.255", ""},
        {"inetnum: 193.0.0.0", "none", ""},                          // no "-"
        {"inetnum: 193.0.0.0 - ", "none", ""},                       // nothing after it
        {"inetnum: 193.0.0.256 - 193.0.1.0", "none", ""},            // octet over 255
        {"inetnum: 193.0.0 - 193.0.1.0", "none", ""},                // three octets
        {"inetnum: 193.0.0.0 - 193.0.7.255 extra", "none", ""},      // trailing text
        {"inetnum: 0193.0.0.0 - 193.0.7.255", "none", ""},           // four digits
        {"inet6num: 2001:db8::/32", "none", ""},
        {"remarks: Netblock: 10.0.0.0 - 10.0.0.255", "none", ""},    // not the line's key
        {"refer:        whois.arin.net", "none", "whois.arin.net"},
        {"whois:        whois.ripe.net", "none", "whois.ripe.net"},
        {"ReferralServer:  whois://whois.lacnic.net", "none", "whois.lacnic.net"},
        {"ReferralServer: whois://127.0.0.1:4343/", "none", "127.0.0.1:4343"},
        {"ReferralServer: rwhois://rwhois.example.net:4321", "none", ""},  // another protocol
        {"refer: not a host", "none", ""},
        {"refer: host:99999x", "none", ""},
        {"% This query was served by the registry", "none", ""},
        {"", "none", ""},
    };
    for (const auto& c : cases) {
        whois::ReplyLine parsed = whois::parseReplyLine(c.line);
        EXPECT_EQ(blockText(parsed.block), c.block) << c.line;
        EXPECT_EQ(parsed.referral, c.referral) << c.line;
    }
}

TEST_F(WhoisClientTest, OnlyBlocksThatHoldTheAddressAndAreSmallerThanASlashEight) {
    const struct {
        const char* block;
        bool usable;
    } cases[] = {
        {"10.1.2.3 - 10.1.2.3", true},
        {"10.0.0.0 - 10.127.255.255", true},   // 2^23 addresses
        {"10.0.0.0 - 10.255.255.254", true},   // one short of 2^24
        {"10.0.0.0 - 10.255.255.255", false},  // a /8
        {"0.0.0.0 - 255.255.255.255", false},
        {"10.1.3.0 - 10.1.3.255", false},      // beside the address
        {"10.1.2.255 - 10.1.2.0", false},      // reversed
        {"10.0.2.200 - 10.2.2.100", false},    // holds it by value, not octet by octet as bans match
    };
    for (const auto& c : cases) {
        auto block = whois::parseBlockValue(c.block);
        ASSERT_TRUE(block) << c.block;
        EXPECT_EQ(whois::usableBlock(*block, kPlayer), c.usable) << c.block;
    }
}

TEST_F(WhoisClientTest, AReplyWhoseOnlyBlockIsASlashEightFails) {
    FakeWhoisServer server({"inetnum:      10.0.0.0 - 10.255.255.255\norganisation: Registry\n"});
    EXPECT_EQ(lookup(server.server()), "none");
}

TEST_F(WhoisClientTest, TheSmallestBlockThatHoldsTheAddressWins) {
    FakeWhoisServer server({"NetRange: 10.0.0.0 - 10.255.255.255\n"   // too large
                            "NetRange: 10.1.0.0 - 10.1.255.255\n"
                            "NetRange: 10.1.3.0 - 10.1.3.255\n"       // does not hold it
                            "NetRange: 10.1.2.0 - 10.1.2.127\n"
                            "NetRange: 10.1.0.0 - 10.1.127.255\n"});
    EXPECT_EQ(lookup(server.server()), "10.1.2.0 - 10.1.2.127");
}

TEST_F(WhoisClientTest, AReferralIsAskedAndTheSmallestBlockOfBothTaken) {
    FakeWhoisServer provider({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    FakeWhoisServer registry({"inetnum: 10.0.0.0 - 10.255.255.255\nrefer: " + provider.server() +
                              "\ninetnum: 10.1.0.0 - 10.1.255.255\n"});
    FakeWhoisServer wide({"NetRange: 10.1.0.0 - 10.1.255.255\n"});
    allowedServers = provider.server() + "," + wide.server();
    EXPECT_EQ(lookup(registry.server()), "10.1.2.0 - 10.1.2.255");
    EXPECT_EQ(provider.queries(), std::vector<std::string>{"10.1.2.3"});

    // The referral's block is not smaller: the first one stays.
    FakeWhoisServer narrow({"ReferralServer: whois://" + wide.server() + "\ninetnum: 10.1.2.0 - 10.1.2.63\n"});
    EXPECT_EQ(lookup(narrow.server()), "10.1.2.0 - 10.1.2.63");
    EXPECT_EQ(wide.queries(), std::vector<std::string>{"10.1.2.3"});
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WhoisClientTest, AtMostTwoReferrals) {
    FakeWhoisServer fourth({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    FakeWhoisServer third({"whois: " + fourth.server() + "\n"});
    FakeWhoisServer second({"refer: " + third.server() + "\n"});
    FakeWhoisServer first({"refer: " + second.server() + "\n"});
    // Every one may be asked: it is the count that stops the lookup.
    allowedServers = second.server() + "," + third.server() + "," + fourth.server();
    EXPECT_EQ(lookup(first.server()), "none");
    EXPECT_EQ(third.queries().size(), 1u);
    EXPECT_TRUE(fourth.queries().empty());
    // Two referrals are followed.
    EXPECT_EQ(lookup(second.server()), "10.1.2.0 - 10.1.2.255");
}

TEST_F(WhoisClientTest, AServerIsNeverAskedTwice) {
    FakeWhoisServer self({});
    FakeWhoisServer a({});
    FakeWhoisServer b({"refer: " + a.server() + "\n"});
    allowedServers = self.server() + "," + a.server() + "," + b.server();
    self.setReply({"refer: " + self.server() + "\nNetblock: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup(self.server()), "10.1.2.0 - 10.1.2.255");
    EXPECT_EQ(self.queries().size(), 1u);

    a.setReply({"refer: " + b.server() + "\nNetRange: 10.1.0.0 - 10.1.255.255\n"});
    EXPECT_EQ(lookup(a.server()), "10.1.0.0 - 10.1.255.255");
    EXPECT_EQ(a.queries().size(), 1u);
    EXPECT_EQ(b.queries().size(), 1u);
}

TEST_F(WhoisClientTest, ASilentServerFailsTheLookupWithinItsLimit) {
    FakeWhoisServer silent({}, true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(silent.server(), 300), "none");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_EQ(silent.queries(), std::vector<std::string>{"10.1.2.3"});
}

TEST_F(WhoisClientTest, ASilentReferralFailsTheWholeLookup) {
    FakeWhoisServer silent({}, true);
    FakeWhoisServer registry({"refer: " + silent.server() + "\nNetRange: 10.1.0.0 - 10.1.255.255\n"});
    allowedServers = silent.server();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(registry.server(), 300), "none");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(WhoisClientTest, ConsoleLinesOfFailedConnections) {
    int closedPort;
    {
        FakeWhoisServer gone({});
        closedPort = gone.port();
    }
    EXPECT_EQ(lookup("127.0.0.1:" + std::to_string(closedPort)), "none");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error connecting (127.0.0.1)"});
    log.clear();

    EXPECT_EQ(lookup("no-such-host.invalid:43", 500), "none");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error resolving (no-such-host.invalid)"});
    log.clear();

    EXPECT_EQ(lookup("127.0.0.1:0"), "none");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error resolving (127.0.0.1:0)"});
}

TEST_F(WhoisClientTest, AHostNameIsResolved) {
    FakeWhoisServer server({"Netblock: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup("localhost:" + std::to_string(server.port())), "10.1.2.0 - 10.1.2.255");
}

TEST_F(WhoisClientTest, AnEndlessLineHoldsNoMoreThanItsLimit) {
    // 60 KiB without a line feed (sixty times the longest line kept, and
    // within what is read of a reply), then a block line: the long line is
    // cut and dropped, the block still read.
    FakeWhoisServer server({std::string(60 * 1024, 'x') + "\nNetblock: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup(server.server()), "10.1.2.0 - 10.1.2.255");
}

TEST_F(WhoisClientTest, WhereAReferralMayLead) {
    const IPv4Address kPublicServer{192, 0, 47, 59};
    const struct {
        const char* host;
        uint16_t port;
        IPv4Address resolved;
        const char* allowed;
        bool followed;
    } cases[] = {
        {"whois.example.net", 43, kPublicServer, "", true},
        {"whois.example.net", 4343, kPublicServer, "", false},   // another port of a public host
        {"whois.example.net", 25, {8, 8, 8, 8}, "", false},
        // Not public, whatever the name says.
        {"whois.example.net", 43, {0, 0, 0, 0}, "", false},
        {"whois.example.net", 43, {0, 1, 2, 3}, "", false},
        {"whois.example.net", 43, {10, 0, 0, 1}, "", false},
        {"whois.example.net", 43, {10, 255, 255, 255}, "", false},
        {"whois.example.net", 43, {100, 64, 0, 1}, "", false},
        {"whois.example.net", 43, {100, 127, 255, 255}, "", false},
        {"whois.example.net", 43, {127, 0, 0, 1}, "", false},
        {"whois.example.net", 43, {127, 200, 1, 1}, "", false},
        {"whois.example.net", 43, {169, 254, 169, 254}, "", false},
        {"whois.example.net", 43, {172, 16, 0, 1}, "", false},
        {"whois.example.net", 43, {172, 31, 255, 255}, "", false},
        {"whois.example.net", 43, {192, 0, 0, 8}, "", false},
        {"whois.example.net", 43, {192, 0, 2, 1}, "", false},
        {"whois.example.net", 43, {192, 168, 1, 1}, "", false},
        {"whois.example.net", 43, {198, 18, 0, 1}, "", false},
        {"whois.example.net", 43, {198, 19, 255, 255}, "", false},
        {"whois.example.net", 43, {198, 51, 100, 7}, "", false},
        {"whois.example.net", 43, {203, 0, 113, 7}, "", false},
        {"whois.example.net", 43, {224, 0, 0, 1}, "", false},
        {"whois.example.net", 43, {239, 255, 255, 250}, "", false},
        {"whois.example.net", 43, {240, 0, 0, 1}, "", false},
        {"whois.example.net", 43, {255, 255, 255, 255}, "", false},
        // Their public neighbours.
        {"whois.example.net", 43, {1, 0, 0, 1}, "", true},
        {"whois.example.net", 43, {9, 255, 255, 255}, "", true},
        {"whois.example.net", 43, {11, 0, 0, 0}, "", true},
        {"whois.example.net", 43, {100, 63, 255, 255}, "", true},
        {"whois.example.net", 43, {100, 128, 0, 0}, "", true},
        {"whois.example.net", 43, {126, 255, 255, 255}, "", true},
        {"whois.example.net", 43, {128, 0, 0, 0}, "", true},
        {"whois.example.net", 43, {169, 253, 255, 255}, "", true},
        {"whois.example.net", 43, {172, 15, 255, 255}, "", true},
        {"whois.example.net", 43, {172, 32, 0, 0}, "", true},
        {"whois.example.net", 43, {192, 0, 1, 0}, "", true},
        {"whois.example.net", 43, {192, 167, 255, 255}, "", true},
        {"whois.example.net", 43, {198, 17, 255, 255}, "", true},
        {"whois.example.net", 43, {198, 20, 0, 0}, "", true},
        {"whois.example.net", 43, {223, 255, 255, 255}, "", true},
        // Named by the operator: followed wherever it is.
        {"whois.internal", 43, {10, 0, 0, 5}, "whois.internal", true},
        {"WHOIS.Internal", 43, {10, 0, 0, 5}, " whois.internal:43 ", true},
        {"127.0.0.1", 4343, {127, 0, 0, 1}, "whois.internal, 127.0.0.1:4343,", true},
        {"whois.example.net", 4343, kPublicServer, ",,whois.example.net:4343", true},
        {"whois.internal", 4343, {10, 0, 0, 5}, "whois.internal", false},       // port 43 when none
        {"whois.internal", 43, {10, 0, 0, 5}, "whois.internal:4343", false},
        {"127.0.0.1", 4343, {127, 0, 0, 1}, "127.0.0.10:4343", false},          // the whole host
        {"127.0.0.10", 4343, {127, 0, 0, 10}, "127.0.0.1:4343", false},
        {"localhost", 43, {127, 0, 0, 1}, "127.0.0.1", false},                 // as the referral names it
        {"internal", 43, {10, 0, 0, 5}, "whois.internal", false},
        {"whois.internal", 43, {10, 0, 0, 5}, "whois.internal:0", false},      // no such port
        {"whois.internal", 43, {10, 0, 0, 5}, ",  ,", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(whois::referralAllowed(c.host, c.port, c.resolved, c.allowed), c.followed)
            << c.host << ":" << c.port << " at " << addressText(c.resolved) << " allowed \"" << c.allowed << "\"";
    }
}

TEST_F(WhoisClientTest, AReferralToAServerNotAllowedIsNeitherAskedNorItsRefusalTheEnd) {
    FakeWhoisServer internal({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    const std::string port = std::to_string(internal.port());
    const struct {
        std::string line;
        std::string named;  // as the console line names it
    } referrals[] = {
        {"refer: 127.0.0.1:" + port, "127.0.0.1:" + port},
        {"whois: localhost:" + port, "localhost:" + port},
        {"ReferralServer: whois://LocalHost:" + port + "/", "LocalHost:" + port},
        {"refer: localhost", "localhost:43"},  // refused before any connection to port 43
    };
    for (const auto& r : referrals) {
        FakeWhoisServer registry({"NetRange: 10.1.0.0 - 10.1.255.255\n" + r.line + "\n"});
        // What came before the referral is the answer.
        EXPECT_EQ(lookup(registry.server()), "10.1.0.0 - 10.1.255.255") << r.line;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Whois referral refused (" + r.named + ")"}) << r.line;
        log.clear();
    }
    EXPECT_TRUE(internal.queries().empty());

    // Named in WhoisAllowedServers (the host in any case), it is asked.
    allowedServers = "whois.example.net, LOCALHOST:" + port + " ,127.0.0.1:" + port;
    for (int form = 0; form < 3; ++form) {
        FakeWhoisServer registry({"NetRange: 10.1.0.0 - 10.1.255.255\n" + referrals[form].line + "\n"});
        EXPECT_EQ(lookup(registry.server()), "10.1.2.0 - 10.1.2.255") << referrals[form].line;
    }
    EXPECT_EQ(internal.queries().size(), 3u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(WhoisClientTest, TheConfiguredServerIsAskedWhereverItIs) {
    // Loopback, another port, nothing allowed: the operator chose it.
    FakeWhoisServer local({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup("localhost:" + std::to_string(local.port())), "10.1.2.0 - 10.1.2.255");
    EXPECT_EQ(local.queries().size(), 1u);
}

TEST_F(WhoisClientTest, AReplyThatStreamsOnIsReadOnlyToItsLimit) {
    // What the client reads of one server's reply at most.
    constexpr size_t kReplyReadLimit = 64 * 1024;
    // The best block comes early among many larger ones; the limit falls
    // inside a line whose first part, "10.1.2.0 - 10.1.2.3", is a smaller
    // block than the whole line's; after it, smaller blocks stream forever.
    std::string reply = "NetRange: 10.0.0.0 - 10.255.255.255\nNetRange: 10.1.2.0 - 10.1.2.255\n";
    const std::string larger = "NetRange: 10.1.0.0 - 10.1.255.255\n";
    const std::string straddling = "NetRange: 10.1.2.0 - 10.1.2.31\n";
    const size_t cutAt = straddling.find("10.1.2.31") + std::strlen("10.1.2.3");
    while (kReplyReadLimit - cutAt - reply.size() >= larger.size() + 2) reply += larger;
    const size_t pad = kReplyReadLimit - cutAt - reply.size();
    reply += "%" + std::string(pad - 2, ' ') + "\n";
    ASSERT_EQ(reply.size() + cutAt, kReplyReadLimit);
    reply += straddling;

    FakeWhoisServer streaming({reply});
    streaming.setEndless("NetRange: 10.1.2.0 - 10.1.2.7\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(streaming.server(), 5000), "10.1.2.0 - 10.1.2.255");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000))
        << "ended by the read limit, not the time limit";
    EXPECT_TRUE(log.lines().empty());

    // A referral after the limit is never seen either.
    FakeWhoisServer provider({"NetRange: 10.1.2.0 - 10.1.2.15\n"});
    allowedServers = provider.server();
    FakeWhoisServer tooLate({std::string(kReplyReadLimit, '\n') + "refer: " + provider.server() + "\n"});
    EXPECT_EQ(lookup(tooLate.server()), "none");
    EXPECT_TRUE(provider.queries().empty());
}

}  // namespace
}  // namespace tallysv::testing
