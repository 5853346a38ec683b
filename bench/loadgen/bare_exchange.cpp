#include "loadgen/bare_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace loadgen {

using zoneclient::Bytes;
using zoneclient::monotonicTick;

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

BareExchange::BareExchange(const Options& options, bool batched)
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

BareExchange::~BareExchange() {
    running_.store(false);
    server_.join();
    ::close(serverFd_);
}

void BareExchange::measureSlice(int warmUpMs, int measureMs, Tally& tally) {
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

double BareExchange::serverCpuSeconds() {
    clockid_t id;
    timespec ts{};
    if (::pthread_getcpuclockid(server_.native_handle(), &id) != 0 || ::clock_gettime(id, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BareExchange::serve() {
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

void BareExchange::serveBatched() {
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

void BareExchange::sendRequest(Client& c, size_t slot) {
    Slot& s = c.slots[slot];
    s.token = c.nextToken++ * static_cast<uint32_t>(c.slots.size()) + static_cast<uint32_t>(slot);
    s.awaiting = true;
    std::memcpy(request_.data() + 1, &s.token, 4);
    s.sent = SteadyClock::now();
    transmit(c, request_);
}

bool BareExchange::busy() const {
    for (const auto& c : clients_) {
        for (const Slot& slot : c->slots) {
            if (slot.awaiting) return true;
        }
    }
    return false;
}

void BareExchange::pump() {
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

void BareExchange::answer(Client& c, std::span<const uint8_t> datagram) {
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

void BareExchange::transmit(Client& c, std::span<const uint8_t> datagram) {
    if (c.gathering) {
        c.outgoing->add(datagram);
    } else {
        c.socket.send(datagram);
    }
}
}  // namespace loadgen
