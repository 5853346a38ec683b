#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "net/datagram_batch_writer.h"

namespace tallysv {
namespace {

struct Datagram {
    PeerAddress to;
    std::vector<uint8_t> bytes;
    bool operator==(const Datagram&) const = default;
};

// One answer of the fake socket to a sendmmsg: take up to `accept`
// datagrams, or fail with `error`.
struct Answer {
    int accept = 0;
    int error = 0;
};

// A socket that answers as scripted (then takes everything) and keeps
// what it took.
class FakeSocket final : public BatchSendCalls {
public:
    std::deque<Answer> script;
    std::vector<Datagram> taken;
    int calls = 0;
    int waits = 0;

    int sendBatch(mmsghdr* datagrams, unsigned count) override {
        ++calls;
        EXPECT_GE(count, 1u);
        Answer answer{static_cast<int>(count), 0};
        if (!script.empty()) {
            answer = script.front();
            script.pop_front();
        }
        if (answer.error != 0) {
            errno = answer.error;
            return -1;
        }
        int n = std::min(answer.accept, static_cast<int>(count));
        for (int i = 0; i < n; ++i) {
            const msghdr& header = datagrams[i].msg_hdr;
            EXPECT_EQ(header.msg_iovlen, 1u);
            const auto* address = static_cast<const sockaddr_in*>(header.msg_name);
            Datagram d;
            std::memcpy(d.to.address.data(), &address->sin_addr.s_addr, 4);
            d.to.port = ntohs(address->sin_port);
            const auto* bytes = static_cast<const uint8_t*>(header.msg_iov[0].iov_base);
            d.bytes.assign(bytes, bytes + header.msg_iov[0].iov_len);
            taken.push_back(std::move(d));
        }
        return n;
    }
    void waitWritable() override { ++waits; }
};

Datagram numbered(int n, size_t size) {
    Datagram d;
    d.to.address = {127, 0, static_cast<uint8_t>(n % 3), 1};
    d.to.port = static_cast<uint16_t>(5000 + n % 7);
    d.bytes.resize(size);
    for (size_t i = 0; i < size; ++i) d.bytes[i] = static_cast<uint8_t>(n * 31 + static_cast<int>(i));
    return d;
}

struct ScriptCase {
    const char* name;
    std::vector<Answer> script;
    int datagrams;
    int expectedWaits;
};

class DatagramBatchWriterScript : public ::testing::TestWithParam<ScriptCase> {};

// Everything added arrives once and in order, however the socket answers.
TEST_P(DatagramBatchWriterScript, DeliversEverythingOnceInOrder) {
    const ScriptCase& c = GetParam();
    FakeSocket socket;
    socket.script.assign(c.script.begin(), c.script.end());
    auto writer = std::make_unique<DatagramBatchWriter>(socket);
    std::vector<Datagram> sent;
    for (int i = 0; i < c.datagrams; ++i) {
        sent.push_back(numbered(i, 1 + static_cast<size_t>(i * 37) % 520));
        writer->add(sent.back().to, sent.back().bytes);
    }
    EXPECT_EQ(socket.calls, 0) << "nothing leaves before the flush while the batch has room";
    writer->flush();
    EXPECT_TRUE(writer->empty());
    EXPECT_EQ(socket.taken, sent);
    EXPECT_EQ(socket.waits, c.expectedWaits);
    EXPECT_TRUE(socket.script.empty());
    writer->flush();
    EXPECT_EQ(socket.taken.size(), sent.size()) << "a second flush sends nothing again";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DatagramBatchWriterScript,
    ::testing::Values(ScriptCase{"AllAtOnce", {}, 10, 0},
                      ScriptCase{"PartOfTheBatch", {{3, 0}, {1, 0}, {4, 0}}, 10, 0},
                      ScriptCase{"WouldBlock", {{0, EAGAIN}, {5, 0}, {0, EWOULDBLOCK}, {0, EAGAIN}}, 10, 3},
                      ScriptCase{"Interrupted", {{0, EINTR}, {2, 0}, {0, EINTR}, {0, EINTR}}, 10, 0},
                      ScriptCase{"Mixed", {{4, 0}, {0, EINTR}, {0, EAGAIN}, {1, 0}, {0, EINTR}, {2, 0}}, 12, 1},
                      ScriptCase{"OneByOne", std::vector<Answer>(9, Answer{1, 0}), 10, 0}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

// Many more datagrams than one batch holds, against a socket that takes a
// random part of each call or fails it: the batch fills, goes out and
// fills again, and the socket still sees exactly what was added.
TEST(DatagramBatchWriter, FullBatchesGoOutInOrderUnderRandomAnswers) {
    FakeSocket socket;
    std::mt19937 random(19);
    for (int i = 0; i < 12000; ++i) {
        int kind = static_cast<int>(random() % 4);
        if (kind == 0) socket.script.push_back({0, EAGAIN});
        if (kind == 1) socket.script.push_back({0, EINTR});
        if (kind >= 2) socket.script.push_back({1 + static_cast<int>(random() % 8), 0});
    }
    auto writer = std::make_unique<DatagramBatchWriter>(socket);
    std::vector<Datagram> sent;
    std::vector<uint8_t> buffer;
    const int total = 3 * static_cast<int>(DatagramBatchWriter::kCapacity);
    for (int i = 0; i < total; ++i) {
        Datagram d = numbered(i, 1 + random() % 520);
        // The writer keeps its own copy: the caller's buffer is reused.
        buffer = d.bytes;
        writer->add(d.to, buffer);
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        sent.push_back(std::move(d));
        if (random() % 1000 == 0) writer->flush();
    }
    writer->flush();
    EXPECT_EQ(socket.taken, sent);
    EXPECT_GT(socket.waits, 0);
    EXPECT_LT(socket.calls, 12000) << "the script outlasts the run";
}

// A datagram the kernel refuses for a reason of its own is dropped alone,
// as one sendto of it would be; those after it still go.
TEST(DatagramBatchWriter, DatagramRefusedForItsOwnReasonIsDroppedAlone) {
    FakeSocket socket;
    socket.script = {{2, 0}, {0, EMSGSIZE}, {0, EINTR}, {1, 0}, {0, ENETUNREACH}};
    auto writer = std::make_unique<DatagramBatchWriter>(socket);
    std::vector<Datagram> sent;
    for (int i = 0; i < 6; ++i) {
        sent.push_back(numbered(i, 20));
        writer->add(sent.back().to, sent.back().bytes);
    }
    writer->flush();
    std::vector<Datagram> expected = {sent[0], sent[1], sent[3], sent[5]};
    EXPECT_EQ(socket.taken, expected);
}

// A datagram bigger than the whole batch goes out on its own, after what
// was added before it and before what is added after it.
TEST(DatagramBatchWriter, DatagramLargerThanTheBatchKeepsItsPlace) {
    FakeSocket socket;
    auto writer = std::make_unique<DatagramBatchWriter>(socket);
    std::vector<Datagram> sent = {numbered(1, 10), numbered(2, DatagramBatchWriter::kSpace + 1), numbered(3, 10)};
    for (const Datagram& d : sent) writer->add(d.to, d.bytes);
    writer->flush();
    EXPECT_EQ(socket.taken, sent);
}

}  // namespace
}  // namespace tallysv
