#include <fcntl.h>
#include <unistd.h>

#include "core/block_hash.h"
#include "core/fields.h"
#include "core/text_string.h"
#include "db/ban_matching.h"
#include "db/dat_io.h"
#include "zone/zone_protocol.h"

namespace tallysv {

namespace {

constexpr int kSystemInfoOffset = 162;
constexpr const char* kFormFile = "regform.bin";

// Usage wraps as a 32-bit count, like every other counter in the files.
void addUsage(UserRecord& user, int64_t seconds) {
    user.Usage = static_cast<int32_t>(static_cast<uint32_t>(user.Usage) + static_cast<uint32_t>(seconds));
}

// The last form received, written over the start of regform.bin: a
// shorter form leaves the tail of a longer earlier one.
// Opened within the data folder without following a link: a link in its
// place is left alone and the form not kept.
void storeForm(const std::string& directory, const InboundMessage& message) {
    FolderDescriptor folder(directory);
    if (!folder.isOpen()) return;
    const int fd = folder.open(kFormFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)!::pwrite(fd, message.data(), static_cast<size_t>(message.length), 0);
    ::close(fd);
}

bool isValidProcessorClass(int16_t processor) {
    return processor == 286 || processor == 386 || processor == 486 || processor == 586 || processor == 686;
}

}  // namespace

bool ZoneProtocol::onRegistrationForm(InboundMessage& message) {
    storeForm(database_.directory(), message);
    Host& zone = *message.host;
    if (message.length < kFormLength) {
        log_.printf("%i - Short packet(%i)(%i) dropped\n", zoneOf(zone).scoreId, message.data()[0],
                    static_cast<int>(message.length));
        return true;
    }
    const uint8_t* m = message.data();
    PlayerSession* player = zoneSession(zone).findPlayer(readUInt32(m, 1));
    if (!player) {
        log_.printf("%i - (UNKNOWN) sent registration data\n", zoneOf(zone).scoreId);
        return true;
    }
    UserRecord& user = *player->user;
    std::string_view realName = fieldText(m, 5, 32);
    std::string_view email = fieldText(m, 37, 32);
    const int32_t hardwareID = static_cast<int32_t>(blockHash(m + kSystemInfoOffset));

    if (BanRecord* ban = database_.findBanByHardwareID(hardwareID)) {
        database_.registerUser(user, realName, email, hardwareID);
        log_.printf("%i - Banned user getting kicked: %s\n", zoneOf(zone).scoreId, user.nameText());
        kickPlayer(*player, kFormKickDelay, ban->banID(), ban->banID());
        followAddress(*ban, user.address());
        TextString notice;
        notice.assign(zoneOf(zone).zoneNameText().c_str()).append(": Banned user #").append(ban->banID())
            .append(" attempting to enter as ").append(user.nameText()).append(". (HardwareID match)");
        notifyOperators(NoticeKind::Ban, notice.view());
        return true;
    }
    if (hardwareID == 0 || !isValidProcessorClass(readInt16(m, kSystemInfoOffset))) {
        log_.printf("%i - Player sending invalid registration form: %s\n", zoneOf(zone).scoreId, user.nameText());
        kickPlayer(*player, kFormKickDelay, 0, 0);
        TextString notice;
        notice.assign(zoneOf(zone).zoneNameText().c_str()).append(": ").append(user.nameText())
            .append(" connecting with a hacked client. (Invalid Reg Form)");
        notifyOperators(NoticeKind::Ban, notice.view());
        return true;
    }
    database_.registerUser(user, realName, email, hardwareID);
    log_.printf("%i - %s sent registration data\n", zoneOf(zone).scoreId, user.nameText());
    return true;
}

bool ZoneProtocol::onPlayerLeaving(InboundMessage& message) {
    Host& zone = *message.host;
    ZoneSession& session = zoneSession(zone);
    const uint8_t* m = message.data();
    PlayerSession* player = session.findPlayer(readUInt32(m, 1));
    if (!player) {
        log_.printf("%i - Player leaving(INVALID)\n", session.scoreId);
        return true;
    }
    UserRecord& user = *player->user;
    if (player->op) {
        player->op->sessionCount -= 1;
        player->op = nullptr;
    }
    leaveAllChannels(*player, true);

    // The score part is read only when it is there whole. A locked-out
    // player under the placeholder account keeps no scores: that account is
    // in no table and never saved, so its score record would be written
    // without an account to be read back with, and would stay in the score
    // table for good.
    if (message.length >= kLeavingWithScores && session.scoresEnabled && &user != &database_.placeholderUser) {
        ScoreRecord* score = player->score;
        if (score) {
            log_.printf("%i - Player leaving: %s\n", session.scoreId, user.nameText());
        } else {
            score = database_.createScore(user, session.scoreId);
            session.addScore(score);
            log_.printf("%i - Player leaving(New Score): %s\n", session.scoreId, user.nameText());
        }
        score->WordStat1 = readInt16(m, 15);
        score->WordStat2 = readInt16(m, 17);
        score->WordStat3 = readInt16(m, 19);
        score->LongStat1 = readInt32(m, 21);
        score->LongStat2 = readInt32(m, 25);
    } else {
        log_.printf("%i - Player leaving(No Score): %s\n", session.scoreId, user.nameText());
    }
    // Zones that do not fill in the usage field leave it 0; the server's own
    // measure replaces it when UsageFromSessions is on.
    if (!database_.settings().usageFromSessions) addUsage(user, readInt16(m, 13));
    endPlayTime(*player);
    session.removePlayer(player);
    return true;
}

void ZoneProtocol::endPlayTime(PlayerSession& player) {
    if (!player.acceptedAt) return;
    const int64_t seconds = int64_t{clock_.now()} - *player.acceptedAt;
    player.acceptedAt.reset();
    // A clock set back during the session takes nothing away.
    if (database_.settings().usageFromSessions && seconds > 0) addUsage(*player.user, seconds);
}

void ZoneProtocol::endPlayerSessionsAtStop() {
    for (const auto& host : transport_.hosts()) {
        if (ZoneSession* zone = existingZoneSession(*host))
            for (const auto& player : zone->players()) endPlayTime(*player);
    }
}

bool ZoneProtocol::onScoreReport(InboundMessage& message) {
    Host& zone = *message.host;
    const uint8_t* m = message.data();
    int a = readInt16(m, 5), b = readInt16(m, 9), c = readInt16(m, 13), d = readInt16(m, 17);
    if (PlayerSession* player = zoneSession(zone).findPlayer(readUInt32(m, 1))) {
        log_.printf("%i - %s(%i)(%i)(%i)(%i)(%i)(%i)(%i)(%i)\n", zoneOf(zone).scoreId, player->name(), a, b, c, d, a, b, c, d);
    } else {
        log_.printf("%i - (INVALID)(%i)(%i)(%i)(%i)(%i)(%i)(%i)(%i)\n", zoneOf(zone).scoreId, a, b, c, d, a, b, c, d);
    }
    return true;
}

}  // namespace tallysv
