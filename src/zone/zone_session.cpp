#include "zone/zone_session.h"

#include <algorithm>
#include <cstring>

#include "db/fixed_text.h"

namespace tallysv {

std::vector<std::string> ZoneSession::playerNames() const {
    std::vector<std::string> names;
    names.reserve(players_.size());
    for (const auto& player : players_) names.emplace_back(player->name());
    return names;
}

PlayerSession& ZoneSession::addPlayer(std::unique_ptr<PlayerSession> player) {
    PlayerSession& added = *player;
    playersByID_[added.playerID].push_back(&added);
    players_.push_back(std::move(player));
    return added;
}

void ZoneSession::removePlayer(PlayerSession* player) {
    auto sameID = playersByID_.find(player->playerID);
    if (sameID != playersByID_.end()) {
        auto& list = sameID->second;
        list.erase(std::remove(list.begin(), list.end(), player), list.end());
        if (list.empty()) playersByID_.erase(sameID);
    }
    auto it = std::find_if(players_.begin(), players_.end(), [&](const auto& p) { return p.get() == player; });
    if (it != players_.end()) players_.erase(it);
}

PlayerSession* ZoneSession::findPlayer(uint32_t playerID) const {
    auto it = playersByID_.find(playerID);
    return it == playersByID_.end() ? nullptr : it->second.front();
}

PlayerSession* ZoneSession::findPlayerByName(std::string_view name, bool prefix) const {
    for (const auto& player : players_) {
        std::string_view account = player->user->name();
        if (prefix ? account.size() >= name.size() && equalFolded(account.substr(0, name.size()), name)
                   : equalFolded(account, name))
            return player.get();
    }
    return nullptr;
}

void ZoneSession::addScore(ScoreRecord* score) {
    scores_.push_back(score);
    firstScoreByUser_.emplace(score->user, score);
}

ScoreRecord* ZoneSession::findScore(const UserRecord* user) const {
    auto it = firstScoreByUser_.find(user);
    return it == firstScoreByUser_.end() ? nullptr : it->second;
}

void ZoneSession::clearScores() {
    scores_.clear();
    firstScoreByUser_.clear();
}

ZoneSession& zoneSession(Host& host) {
    if (!host.attachment) host.attachment = std::make_unique<ZoneSession>();
    return static_cast<ZoneSession&>(*host.attachment);
}

ZoneSession* existingZoneSession(const Host& host) { return static_cast<ZoneSession*>(host.attachment.get()); }

const ZoneSession& zoneOf(const Host& host) {
    static const ZoneSession none;
    const ZoneSession* session = existingZoneSession(host);
    return session ? *session : none;
}

std::string ZoneSession::zoneNameText() const {
    size_t n = strnlen(zoneName.data(), zoneName.size());
    return std::string(zoneName.data(), n);
}

}  // namespace tallysv
