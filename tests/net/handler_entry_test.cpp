// Handlers that replace table entries while they run, and the console
// lines of one datagram or maintenance pass written out together.
#include <string>

#include "transport_fixture.h"

namespace tallysv::testing {
namespace {

using namespace zoneclient;

TEST_F(TransportTest, AHandlerThatReplacesItsOwnEntryRunsToTheEnd) {
    Host& host = handshake();
    auto& replaced = record(host, 0x30);
    std::vector<std::string> seen;
    // Captures large enough to live outside the handler object: the
    // handler reads them after its entry has been replaced.
    const std::string label(64, 'x');
    const std::string other(64, 'y');
    transport.setMessageHandler(host, 0x30, [&, label, other](InboundMessage& m) {
        transport.setMessageHandler(*m.host, 0x30, [&replaced](InboundMessage& n) {
            replaced.emplace_back(n.bytes.begin(), n.bytes.begin() + n.length);
            return true;
        });
        seen.push_back(label + other);
        return true;
    });
    // The second message of the same datagram goes to the new handler.
    feedReliable(0, cluster({bytesOf({0x30, 1}), bytesOf({0x30, 2})}));
    EXPECT_EQ(seen, std::vector<std::string>{label + other});
    EXPECT_EQ(replaced, std::vector<Bytes>{bytesOf({0x30, 2})});
    feedReliable(1, bytesOf({0x30, 3}));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(replaced.size(), 2u);
}

TEST_F(TransportTest, AnEntryReplacedDuringADatagramServesItsLaterMessages) {
    Host& host = handshake();
    std::vector<std::string> seen;
    const std::string label(80, 'z');
    transport.setMessageHandler(host, 0x31, [&seen, label](InboundMessage&) {
        seen.push_back(label);
        return true;
    });
    // Type 0x30 puts back the unhandled handler of 0x31; the 0x31 message
    // after it in the same datagram is reported as unhandled.
    transport.setMessageHandler(host, 0x30, [&](InboundMessage& m) {
        transport.setMessageHandler(*m.host, 0x31, nullptr);
        return true;
    });
    feedReliable(0, cluster({bytesOf({0x31, 1}), bytesOf({0x30, 1}), bytesOf({0x31, 2})}));
    EXPECT_EQ(seen, std::vector<std::string>{label});
    EXPECT_EQ(lastLine(), "-1 - Unhandled packet(49)(2)");
}

TEST_F(TransportTest, AHostRemovedByAMessageDispatchedFromOutsideLivesUntilTheDispatchEnds) {
    Host& host = handshake();
    bool removedInHandler = false;
    transport.setMessageHandler(host, 0x30, [&](InboundMessage& m) {
        transport.disconnectHost(*m.host);
        removedInHandler = m.host->closed();  // still there to look at
        return true;
    });
    const uint8_t message[] = {0x30, 1};
    transport.dispatchMessage(host, message, 2);
    EXPECT_TRUE(removedInHandler);
    EXPECT_EQ(transport.findHost(zoneA), nullptr);
}

// Records each text with the depth of batching it was written at.
class BatchWatchingLog final : public Log {
public:
    struct Written {
        std::string text;
        int depth;
    };
    void write(std::string_view text) override { written.push_back({std::string(text), depth}); }
    void beginBatch() override { ++depth; }
    void endBatch() override {
        --depth;
        if (depth == 0) ++batchesEnded;
    }
    std::vector<Written> written;
    int depth = 0;
    int batchesEnded = 0;
};

class TransportBatchTest : public ::testing::Test {
protected:
    TransportBatchTest() : transport(sink, clock, log, settings) {}

    FakeClock clock{1000};
    BatchWatchingLog log;
    Settings settings;
    RecordingSink sink;
    CoreTransport transport;
    PeerAddress zone{{10, 0, 0, 1}, 5000};
};

TEST_F(TransportBatchTest, TheLinesOfADatagramAreWrittenInsideOneBatch) {
    transport.receive(connectionRequest(0x1234567), zone);
    ASSERT_EQ(log.written.size(), 1u);
    EXPECT_EQ(log.written[0].text, "Connection request from 10.0.0.1:5000\n");
    EXPECT_EQ(log.written[0].depth, 1);
    EXPECT_EQ(log.depth, 0);
    EXPECT_EQ(log.batchesEnded, 1);

    // A cluster of two unhandled messages: two lines, one batch.
    Host* host = transport.findHost(zone);
    ASSERT_NE(host, nullptr);
    Bytes datagram = encrypted(host->sessionKey(), reliableDatagram(0, cluster({bytesOf({9, 1}), bytesOf({9, 2, 3})})));
    log.written.clear();
    transport.receive(datagram, zone);
    ASSERT_EQ(log.written.size(), 2u);
    EXPECT_EQ(log.written[0].text, "-1 - Unhandled packet(9)(2)\n");
    EXPECT_EQ(log.written[1].text, "-1 - Unhandled packet(9)(3)\n");
    for (const auto& w : log.written) EXPECT_GE(w.depth, 1) << w.text;
    EXPECT_EQ(log.depth, 0);
    EXPECT_EQ(log.batchesEnded, 2);
}

TEST_F(TransportBatchTest, TheLinesOfAMaintenancePassAreWrittenInsideOneBatch) {
    settings.kickOutDelay = 500;
    PeerAddress second{{10, 0, 0, 2}, 5001};
    transport.receive(connectionRequest(0x1234567), zone);
    transport.receive(connectionRequest(0x1234567), second);
    log.written.clear();
    int before = log.batchesEnded;
    clock.advance(600);
    transport.maintain();
    ASSERT_EQ(log.written.size(), 2u);
    EXPECT_EQ(log.written[0].text, "Session timeout: 10.0.0.1:5000  Punt!\n");
    EXPECT_EQ(log.written[1].text, "Session timeout: 10.0.0.2:5001  Punt!\n");
    for (const auto& w : log.written) EXPECT_EQ(w.depth, 1) << w.text;
    EXPECT_EQ(log.batchesEnded, before + 1);
}

}  // namespace
}  // namespace tallysv::testing
