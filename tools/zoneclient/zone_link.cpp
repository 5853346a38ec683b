#include "zoneclient/zone_link.h"

#include <algorithm>

#include "core/fields.h"

namespace zoneclient {

using tallysv::readInt32;
using tallysv::readUInt32;

ZoneLink::ZoneLink(Send send, int32_t clientKey) : ZoneLink(std::move(send), clientKey, Options{}) {}

ZoneLink::ZoneLink(Send send, int32_t clientKey, Options options)
    : send_(std::move(send)), clientKey_(clientKey), options_(options) {}

void ZoneLink::connect() { send_(connectionRequest(clientKey_)); }

void ZoneLink::transmit(Bytes datagram) {
    tallysv::encryptDatagram(cipher_, datagram.data(), static_cast<int>(datagram.size()));
    send_(datagram);
}

bool ZoneLink::sendUnreliable(std::span<const uint8_t> datagram) {
    if (datagram.empty() || datagram.size() > 520) return false;
    transmit(Bytes(datagram.begin(), datagram.end()));
    return true;
}

bool ZoneLink::sendReliable(std::span<const uint8_t> message, uint32_t tick) {
    if (message.empty() || message.size() > 514) return false;
    Bytes d = reliableDatagram(nextOutboundSeq_, message);
    tallysv::encryptDatagram(cipher_, d.data(), static_cast<int>(d.size()));
    Outgoing out{std::move(d), nextOutboundSeq_, tick};
    ++nextOutboundSeq_;
    if (inFlight_.size() < static_cast<size_t>(options_.window)) {
        send_(out.datagram);
        inFlight_.push_back(std::move(out));
    } else {
        waiting_.push_back(std::move(out));
    }
    return true;
}

bool ZoneLink::sendSmallChunks(std::span<const uint8_t> message, size_t chunkSize, bool reliable, uint32_t tick) {
    if (chunkSize == 0 || chunkSize > 508) return false;
    for (const Bytes& chunk : smallChunks(message, chunkSize)) {
        if (!(reliable ? sendReliable(chunk, tick) : sendUnreliable(chunk))) return false;
    }
    return true;
}

bool ZoneLink::sendBigChunks(std::span<const uint8_t> message, size_t chunkSize, bool reliable, uint32_t tick) {
    if (chunkSize == 0 || chunkSize > 508) return false;
    for (const Bytes& chunk : bigChunks(message, chunkSize)) {
        if (!(reliable ? sendReliable(chunk, tick) : sendUnreliable(chunk))) return false;
    }
    return true;
}

bool ZoneLink::sendCluster(const std::vector<Bytes>& messages, bool reliable, uint32_t tick) {
    Bytes d = cluster(messages);
    if (d.empty()) return false;
    return reliable ? sendReliable(d, tick) : sendUnreliable(d);
}

void ZoneLink::sendSyncRequest(uint32_t stamp) { transmit(syncRequest(stamp)); }

void ZoneLink::disconnect() { transmit(disconnectNotice()); }

void ZoneLink::maintain(uint32_t tick) {
    for (Outgoing& out : inFlight_) {
        if (tick - out.lastSend >= options_.resendAfter) {
            send_(out.datagram);
            out.lastSend = tick;
            ++resends_;
        }
    }
}

void ZoneLink::receive(std::span<const uint8_t> datagram, uint32_t tick) {
    if (datagram.empty() || datagram.size() > 520) return;
    lastReceive_ = tick;
    if (options_.readLimit > 0 && datagram.size() > options_.readLimit) {
        datagram = datagram.first(options_.readLimit);
        ++cutDatagrams_;
    }
    Bytes bytes(datagram.begin(), datagram.end());
    tallysv::decryptDatagram(cipher_, bytes.data(), static_cast<int>(bytes.size()));
    if (bytes.size() >= 2 && bytes[0] == 0) {
        switch (bytes[1]) {
            case 0x02:
                if (bytes.size() >= 6) {
                    int32_t key = readInt32(bytes.data(), 2);
                    if (key != 0) tallysv::installSessionKey(cipher_, key);
                    connected_ = true;
                }
                return;
            case 0x03: {
                if (bytes.size() <= 6) return;
                int32_t sequence = readInt32(bytes.data(), 2);
                transmit(acknowledgement(sequence));
                if (sequence == nextInboundSeq_) {
                    handle(std::span<const uint8_t>(bytes).subspan(6));
                    for (;;) {
                        ++nextInboundSeq_;
                        auto it = held_.find(nextInboundSeq_);
                        if (it == held_.end()) break;
                        Bytes next = std::move(it->second);
                        held_.erase(it);
                        handle(std::span<const uint8_t>(next).subspan(6));
                    }
                } else if (sequence > nextInboundSeq_ && sequence - nextInboundSeq_ <= 1024) {
                    held_.emplace(sequence, std::move(bytes));
                }
                return;
            }
            case 0x04: {
                if (bytes.size() != 6) return;
                int32_t sequence = readInt32(bytes.data(), 2);
                auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                                       [&](const Outgoing& o) { return o.sequence == sequence; });
                if (it == inFlight_.end()) return;
                inFlight_.erase(it);
                ++acknowledged_;
                if (!waiting_.empty()) {
                    Outgoing next = std::move(waiting_.front());
                    waiting_.pop_front();
                    send_(next.datagram);
                    next.lastSend = tick;
                    inFlight_.push_back(std::move(next));
                }
                return;
            }
            default:
                break;
        }
    }
    handle(bytes);
}

void ZoneLink::handle(std::span<const uint8_t> message) {
    if (message.empty()) return;
    if (message[0] == 0 && message.size() >= 2) {
        if (message[1] == 0x07) {
            disconnected_ = true;
            return;
        }
        if (message[1] == 0x0E) {
            // A run of (length, message); a malformed one is dropped from
            // the faulty element on.
            size_t offset = 2;
            while (offset < message.size()) {
                size_t n = message[offset];
                if (n == 0 || offset + n >= message.size()) return;
                handle(message.subspan(offset + 1, n));
                offset += n + 1;
            }
            return;
        }
        if (message[1] == 0x05 && message.size() >= 9) {
            uint32_t time = static_cast<uint32_t>(message[6]) | static_cast<uint32_t>(message[7]) << 8 |
                            static_cast<uint32_t>(message[8]) << 16;
            syncReply_ = std::make_pair(readUInt32(message.data(), 2), time);
            return;
        }
    }
    inbox.emplace_back(message.begin(), message.end());
}

}  // namespace zoneclient
