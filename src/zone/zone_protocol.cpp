#include "zone/zone_protocol.h"

#include <cstring>

#include "core/fields.h"
#include "core/text_string.h"
#include "core/time_helpers.h"

namespace tallysv {

std::string_view messageText(const InboundMessage& message, int offset) {
    if (offset >= message.length) return {};
    return fieldText(message.data(), offset, message.length - offset);
}

ZoneProtocol::ZoneProtocol(CoreTransport& transport, Database& database, const Clock& clock, Log& log)
    : transport_(transport), database_(database), clock_(clock), log_(log) {}

void ZoneProtocol::receive(std::span<const uint8_t> datagram, const PeerAddress& from, uint32_t now) {
    transport_.receive(datagram, from, now);
    TransportEvent event;
    while (transport_.nextEvent(event)) handle(event);
}

void ZoneProtocol::maintain(uint32_t now) {
    transport_.maintain(now);
    TransportEvent event;
    while (transport_.nextEvent(event)) handle(event);
}

void ZoneProtocol::handle(const TransportEvent& event) {
    switch (event.kind) {
        case TransportEvent::Kind::Message:
            dispatch(*event.message);
            break;
        case TransportEvent::Kind::Closed:
            // A named session is a logged-in zone's.
            if (event.host->logNumber != -1) onZoneSessionEnd(*event.host);
            break;
        case TransportEvent::Kind::HostPass:
            checkKicks(*event.host);
            break;
        case TransportEvent::Kind::FloodDecay:
            database_.decayFloodTable();
            break;
        case TransportEvent::Kind::Connected:
            break;
    }
}

void ZoneProtocol::closeZone(Host& zone) {
    if (transport_.disconnectHost(zone) && zone.logNumber != -1) onZoneSessionEnd(zone);
}

void ZoneProtocol::dispatch(InboundMessage& message) {
    Host& host = *message.host;
    if (host.closed()) return;
    const uint8_t type = message.bytes[0];
    // A handler with the least length it reads: shorter messages are
    // dropped with a console line before it runs. A message about one
    // player (his PlayerID at `playerAt`) waits while work of his is
    // pending, so that it is handled after it.
    auto run = [&](auto&& handler, int16_t least, int playerAt) {
        if (message.length < least) {
            log_.printf("%i - Short packet(%i)(%i) dropped\n", host.logNumber, type, static_cast<int>(message.length));
            return;
        }
        if (playerAt >= 0 && message.length >= playerAt + 4 &&
            holdBehindPending(host, readUInt32(message.data(), playerAt), message))
            return;
        handler(message);
    };
    auto method = [this](bool (ZoneProtocol::*on)(InboundMessage&)) {
        return [this, on](InboundMessage& m) { (this->*on)(m); };
    };
    if (!host.loggedIn()) {
        // Before its zone login a zone may only log in; a second login on a
        // logged-in session is not processed.
        if (host.state == HostState::Connected && type == 2) {
            onZoneLogin(message);
        } else {
            transport_.reportUnhandled(message);
        }
        return;
    }
    switch (type) {
        case 1:
        case 3:
            return;  // ignored
        case 4:
            return run(method(&ZoneProtocol::onPlayerLogin), kPlayerLoginLength, 70);
        case 5:
            return run(method(&ZoneProtocol::onPlayerLeaving), kLeavingLength, 1);
        case 7:
            return run(method(&ZoneProtocol::onBroadcast), kBroadcastLength, -1);
        case 13:
            // Forms of any length are stored; the handler checks the rest itself.
            return run(method(&ZoneProtocol::onRegistrationForm), 0, 1);
        case 14:
            return run(method(&ZoneProtocol::onPrivateMessage), kPrivateMessageLength, -1);
        case 15:
            return run(method(&ZoneProtocol::onLogLine), kLogLineLength, -1);
        case 16:
            return run(method(&ZoneProtocol::onPlayerBanner), kBannerLength, 1);
        case 17:
            return run(method(&ZoneProtocol::onScoreReport), kScoreReportLength, 1);
        case 19:
            // Commands belong to the command processor; without one they
            // are unhandled.
            if (!commandHandler_) break;
            return run([this](InboundMessage& m) { commandHandler_(m); }, kCommandLength, 1);
        case 20:
            return run(method(&ZoneProtocol::onChat), kChatLength, 1);
        default:
            break;
    }
    transport_.reportUnhandled(message);
}

void ZoneProtocol::sendToHost(Host& host, const uint8_t* bytes, int length) {
    if (host.closed()) return;
    // A zone that cannot keep up may lose chat lines and broadcasts; every
    // other message changes what the zone or a player holds and is kept.
    const bool sheddable = bytes[0] == kChatLineMessage || bytes[0] == kBroadcastMessage;
    transport_.sendMessage(host, bytes, length, true,
                           sheddable ? CoreTransport::Overload::Shed : CoreTransport::Overload::Keep);
}

void ZoneProtocol::sendZoneOrder(Host& zone, uint8_t type) {
    // The type, 0, a 32-bit 1, then 2, 0, 0: the constants are the zone's.
    uint8_t order[9] = {type, 0};
    writeInt32(order, 2, 1);
    order[6] = 2;
    sendToHost(zone, order, sizeof order);
}

void ZoneProtocol::sendToZones(std::span<const uint8_t> message, int32_t groupID) {
    for (const auto& host : transport_.hosts()) {
        const ZoneSession& zone = zoneOf(*host);
        if (!zone.externalChat || (groupID != 0 && zone.groupId != groupID)) continue;
        sendToHost(*host, message.data(), static_cast<int>(message.size()));
    }
}

void ZoneProtocol::sendPlayerText(PlayerSession& player, std::string_view text) {
    uint8_t message[kMessageBuffer] = {};
    message[0] = 9;
    writeUInt32(message, 1, player.playerID);
    size_t room = kMessageBuffer - 6;
    size_t n = std::min(text.size(), room);
    // An empty view may have no buffer at all: nothing to copy then.
    if (n > 0) std::memcpy(message + 5, text.data(), n);
    sendToHost(*player.zone, message, static_cast<int>(6 + n));
}

void ZoneProtocol::sendChatLine(PlayerSession& player, uint8_t slot, std::string_view text) {
    uint8_t message[kMessageBuffer] = {};
    message[0] = kChatLineMessage;
    writeUInt32(message, 1, player.playerID);
    message[5] = slot;
    size_t room = kMessageBuffer - 7;
    size_t n = std::min(text.size(), room);
    if (n > 0) std::memcpy(message + 6, text.data(), n);
    sendToHost(*player.zone, message, static_cast<int>(7 + n));
}

void ZoneProtocol::kickPlayer(PlayerSession& player, uint32_t delay, int32_t reason, int32_t banID) {
    if (delay != 0) {
        uint32_t when = clock_.tick() + delay;
        player.kickTime = when == 0 ? 1 : when;  // 0 means no kick pending
        player.kickReason = reason;
        player.kickBanID = banID;
        // The kick check of the first maintenance pass after it carries it out.
        transport_.requestPassBy(player.kickTime + 1);
        return;
    }
    if (banID == 0) {
        sendPlayerText(player, "You have been blocked from my network");
    } else if (banID != -1) {
        if (BanRecord* ban = database_.findBanByID(banID)) {
            TextString notice;
            notice.assign("You have been banned from ");
            if (ban->groupID == 0) {
                notice.append("our network");
            } else if (ban->scoreID != 0) {
                notice.append(zoneOf(*player.zone).zoneNameText().c_str());
            } else {
                notice.append("group # ").append(ban->groupID);
            }
            notice.append(" until ")
                .append(formatDate(localTimeWithBias(ban->expires, player.user->timeZoneBias)).c_str())
                .append(".  Ban # ")
                .append(ban->banID())
                .append(" by ")
                .append(ban->bannedBy ? ban->bannedBy->nameText() : "(UNKNOWN)");
            sendPlayerText(player, notice.view());
            ZoneRecord* record = database_.findZone(zoneOf(*player.zone).scoreId);
            if (record && !record->BanText.empty()) sendPlayerText(player, record->BanText.view());
        }
    }
    endPlayTime(player);
    uint8_t kick[9];
    kick[0] = 8;
    writeUInt32(kick, 1, player.playerID);
    writeInt32(kick, 5, reason);
    sendToHost(*player.zone, kick, sizeof kick);
    player.kickTime = 0;
}

void ZoneProtocol::checkKicks(Host& host) {
    ZoneSession* zone = existingZoneSession(host);
    if (!zone) return;
    uint32_t now = clock_.tick();
    // A kick may lead nowhere but the zone's own player list stays as it is:
    // the player leaves only with the zone's leaving message.
    for (const auto& player : zone->players()) {
        if (player->kickTime != 0 && static_cast<int32_t>(now - player->kickTime) > 0) {
            kickPlayer(*player, 0, player->kickReason, player->kickBanID);
        }
    }
}

void ZoneProtocol::notifyOperators(NoticeKind kind, std::string_view text, int32_t groupID, int32_t scoreID) {
    for (const auto& host : transport_.hosts()) {
        ZoneSession* zone = existingZoneSession(*host);
        if (!zone) continue;
        for (const auto& player : zone->players()) {
            const OperatorRecord* op = player->op;
            if (!op) continue;
            bool wanted;
            if (kind == NoticeKind::Ban) {
                wanted = player->NotifyBan != 0;
            } else {
                wanted = player->NotifyZone != 0 && op->level <= 2 &&
                         (op->groupID == 0 || (op->groupID == groupID && (op->scoreID == 0 || op->scoreID == scoreID)));
            }
            if (wanted) sendChatLine(*player, 0, text);
        }
    }
}

PasswordNeeds ZoneProtocol::zonePasswordNeeds(int32_t scoreID, std::string_view plainPassword) const {
    PasswordNeeds needs;
    // The BillingPassword comes from TALLYSV.INI, scrambled: it costs nothing.
    if (Database::passwordMatches(database_.settings().billingPassword, plainPassword)) return needs;
    if (const ZoneRecord* record = database_.findZone(scoreID))
        needs.checks.push_back({record->password, std::string(plainPassword)});
    return needs;
}

bool ZoneProtocol::checkZonePassword(int32_t scoreID, std::string_view plainPassword) {
    if (Database::passwordMatches(database_.settings().billingPassword, plainPassword)) return true;
    ZoneRecord* record = database_.findZone(scoreID);
    return record && database_.verifyPassword(record->password, plainPassword);
}

}  // namespace tallysv
