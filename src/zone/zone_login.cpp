#include <cstring>

#include "core/address.h"
#include "core/fields.h"
#include "core/text.h"
#include "core/text_string.h"
#include "zone/zone_protocol.h"

namespace tallysv {

bool ZoneProtocol::onZoneLogin(InboundMessage& message) {
    Host& host = *message.host;
    const IPv4Address& a = host.peer.address;
    const uint8_t* m = message.data();
    if (message.length != kZoneLoginLength || anyNotPositive(readInt32(m, 1), readInt32(m, 5), readInt32(m, 9))) {
        log_.printf("Invalid login from %i.%i.%i.%i  Punt!\n", a[0], a[1], a[2], a[3]);
        counters_.count(ZoneLoginOutcome::Invalid);
        closeZone(host);
        return true;
    }
    // A second login while the first one's password is being checked
    // comes after it.
    if (holdBehindPending(host, kZoneItself, message)) return true;
    ZoneLoginRequest request;
    request.groupID = readInt32(m, 5);
    request.scoreID = readInt32(m, 9);
    request.name = fieldText(m, 13, 128);
    request.password = fieldText(m, 141, 32);

    switch (database_.registerAttempt(a)) {
        case FloodVerdict::HeavyFlood:
            counters_.count(ZoneLoginOutcome::Flood);
            closeZone(host);
            return true;
        case FloodVerdict::LightFlood: {
            counters_.count(ZoneLoginOutcome::Flood);
            log_.printf("Zone connection flood from %i.%i.%i.%i:%i  Punt!\n", a[0], a[1], a[2], a[3], host.peer.port);
            closeZone(host);
            TextString notice;
            notice.assign("Zone connection flood detected from ").append(addressText(a).c_str());
            notifyOperators(NoticeKind::Zone, notice.view(), request.groupID, request.scoreID);
            return true;
        }
        case FloodVerdict::Accept:
            break;
    }
    continueZoneLogin(host, request);
    return true;
}

void ZoneProtocol::continueZoneLogin(Host& host, const ZoneLoginRequest& request) {
    const int32_t groupID = request.groupID;
    const int32_t scoreID = request.scoreID;
    const std::string& name = request.name;
    const std::string_view password = request.password.view();
    auto resume = [this, request](Host& zone) { continueZoneLogin(zone, request); };
    switch (deferLogin(host, kZoneItself, zonePasswordNeeds(scoreID, password), std::move(resume))) {
        case LoginWork::Now:
            break;
        case LoginWork::Later:
            return;
        case LoginWork::Busy:
            // The zone tries again, as after any refused login.
            counters_.count(ZoneLoginOutcome::BadPassword);
            closeZone(host);
            log_.printf("%i - Disallowed connection (Busy): %s\n", scoreID, name.c_str());
            return;
    }
    TextString notice;
    if (!checkZonePassword(scoreID, password)) {
        counters_.count(ZoneLoginOutcome::BadPassword);
        closeZone(host);
        log_.printf("%i - Disallowed connection (Bad Password): %s\n", scoreID, name.c_str());
        notice.assign(name.c_str()).append("(").append(scoreID).append(") - Disallowed connection (Bad password).");
        notifyOperators(NoticeKind::Zone, notice.view(), groupID, scoreID);
        return;
    }
    // A zone restarted at the address of its old session has now shown it
    // holds the password: the old session ends here.
    if (Host* old = transport_.takeOverSession(host)) onZoneSessionEnd(*old);
    for (Host* other : transport_.hosts()) {
        if (zoneOf(*other).scoreId == scoreID) {
            log_.printf("%i - Connection broken: Same ScoreID requested session\n", scoreID);
            closeZone(*other);
            break;
        }
    }
    {
        ZoneSession& zone = zoneSession(host);
        zone.zoneName.fill(0);
        std::memcpy(zone.zoneName.data(), name.data(), std::min<size_t>(name.size(), 24));
        zone.scoreId = scoreID;
        zone.groupId = groupID;
        // The transport's own lines about this zone carry its ScoreID.
        host.logNumber = scoreID;
        zone.clearScores();
        zone.loginTime = clock_.now();
        for (ScoreRecord* score : database_.scores()) {
            if (score->scoreID == scoreID) zone.addScore(score);
        }
    }
    log_.printf("%i - Docking granted: %s\n", scoreID, name.c_str());
    transport_.markLoggedIn(host);
    counters_.count(ZoneLoginOutcome::Accepted);
    notice.assign(name.c_str()).append("(").append(scoreID).append(") - Zone connected.");
    notifyOperators(NoticeKind::Zone, notice.view(), groupID, scoreID);
}

void ZoneProtocol::onZoneSessionEnd(Host& host) {
    TextString notice;
    const ZoneSession& ended = zoneOf(host);
    notice.assign(ended.zoneNameText().c_str()).append("(").append(ended.scoreId).append(") - Disconnected.");
    for (Host* other : transport_.hosts()) {
        if (other == &host) continue;
        ZoneSession* zone = existingZoneSession(*other);
        if (!zone) continue;
        for (const auto& player : zone->players()) {
            const OperatorRecord* op = player->op;
            // The sector is tested against the operator's own zone.
            if (player->NotifyZone && op && op->level <= 2 &&
                (op->groupID == 0 ||
                 (op->groupID == zone->groupId && (op->scoreID == 0 || op->scoreID == zone->scoreId)))) {
                sendChatLine(*player, 0, notice.view());
            }
        }
    }
    ZoneSession* zone = existingZoneSession(host);
    if (!zone) return;
    for (const auto& player : zone->players()) {
        endPlayTime(*player);
        if (player->op) {
            player->op->sessionCount -= 1;
            player->op = nullptr;
        }
        leaveAllChannels(*player, true);
    }
}

}  // namespace tallysv
