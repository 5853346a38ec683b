#pragma once
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/host.h"
#include "zone/player_session.h"

namespace tallysv {

// The zone layer's data on a host: the players in the zone (newest last)
// and the score records of the zone's ScoreID. The name, ScoreID, GroupID
// and flags of the zone live on the host itself.
class ZoneSession final : public HostAttachment {
public:
    int32_t loginTime = 0;  // calendar time of the zone login

    std::vector<std::string> playerNames() const override;

    const std::vector<std::unique_ptr<PlayerSession>>& players() const { return players_; }
    PlayerSession& addPlayer(std::unique_ptr<PlayerSession> player);
    // Removes and discards the player.
    void removePlayer(PlayerSession* player);
    // The first player in list order with this PlayerID.
    PlayerSession* findPlayer(uint32_t playerID) const;
    // The first player whose account name equals `name` (any case), or, with
    // `prefix`, begins with it.
    PlayerSession* findPlayerByName(std::string_view name, bool prefix) const;

    const std::vector<ScoreRecord*>& scores() const { return scores_; }
    void addScore(ScoreRecord* score);
    // The first score record of the zone's list that belongs to the account.
    ScoreRecord* findScore(const UserRecord* user) const;
    void clearScores();

private:
    std::vector<std::unique_ptr<PlayerSession>> players_;
    std::unordered_map<uint32_t, std::vector<PlayerSession*>> playersByID_;  // each in list order
    std::vector<ScoreRecord*> scores_;
    std::unordered_map<const UserRecord*, ScoreRecord*> firstScoreByUser_;
};

// The zone session of a host, made on first use.
ZoneSession& zoneSession(Host& host);
// The zone session of a host, or none if it has none.
ZoneSession* existingZoneSession(const Host& host);

}  // namespace tallysv
