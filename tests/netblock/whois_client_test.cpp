#include <gtest/gtest.h>

#include <chrono>
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
        NetBlockLookup found = lookupNetBlock(address, WhoisOptions{server, timeoutMs});
        if (!found.status) log.printf("%s\n", found.status.reason().c_str());
        return blockText(found.block);
    }
    RecordingLog log;
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
    EXPECT_EQ(lookup(registry.server()), "10.1.2.0 - 10.1.2.255");
    EXPECT_EQ(provider.queries(), std::vector<std::string>{"10.1.2.3"});

    // The referral's block is not smaller: the first one stays.
    FakeWhoisServer wide({"NetRange: 10.1.0.0 - 10.1.255.255\n"});
    FakeWhoisServer narrow({"ReferralServer: whois://" + wide.server() + "\ninetnum: 10.1.2.0 - 10.1.2.63\n"});
    EXPECT_EQ(lookup(narrow.server()), "10.1.2.0 - 10.1.2.63");
}

TEST_F(WhoisClientTest, AtMostTwoReferrals) {
    FakeWhoisServer fourth({"NetRange: 10.1.2.0 - 10.1.2.255\n"});
    FakeWhoisServer third({"whois: " + fourth.server() + "\n"});
    FakeWhoisServer second({"refer: " + third.server() + "\n"});
    FakeWhoisServer first({"refer: " + second.server() + "\n"});
    EXPECT_EQ(lookup(first.server()), "none");
    EXPECT_EQ(third.queries().size(), 1u);
    EXPECT_TRUE(fourth.queries().empty());
    // Two referrals are followed.
    EXPECT_EQ(lookup(second.server()), "10.1.2.0 - 10.1.2.255");
}

TEST_F(WhoisClientTest, AServerIsNeverAskedTwice) {
    FakeWhoisServer self({});
    self.setReply({"refer: " + self.server() + "\nNetblock: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup(self.server()), "10.1.2.0 - 10.1.2.255");
    EXPECT_EQ(self.queries().size(), 1u);

    FakeWhoisServer a({});
    FakeWhoisServer b({"refer: " + a.server() + "\n"});
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
    // A megabyte without a line feed, then a block line: the long line is
    // cut and dropped, the block still read.
    FakeWhoisServer server({std::string(1 << 20, 'x') + "\nNetblock: 10.1.2.0 - 10.1.2.255\n"});
    EXPECT_EQ(lookup(server.server()), "10.1.2.0 - 10.1.2.255");
}

}  // namespace
}  // namespace tallysv::testing
