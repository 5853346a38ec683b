#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/wiped_string.h"
#include "net/host.h"
#include "zone/player_session.h"

namespace tallysv {

// The zone layer's data on a host: the zone's name, numbers and flags, the
// players in the zone (newest last) and the score records of the zone's
// ScoreID.
class ZoneSession final : public HostAttachment {
public:
    // ScoreID and GroupID are -1 until the zone login.
    std::array<char, 32> zoneName{};
    int32_t scoreId = -1;
    int32_t groupId = -1;
    bool externalChat = true;
    bool scoresEnabled = true;
    int32_t loginTime = 0;  // calendar time of the zone login

    std::string zoneNameText() const;

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

    // Work that takes time (a password check) keeps the order of what one
    // player sends: while a step of his is pending, his later messages wait
    // behind it and are handled when it has completed. One queue per
    // PlayerID, and one for the zone itself (its login); a queue exists
    // only while something is pending.
    struct PendingStep {
        uint64_t job = 0;               // a job's number; 0 for a message held
        bool completed = false;         // the job's result is in
        std::function<void()> finish;   // the job's completion
        WipedBytes message;             // a message held (the whole message)
    };
    struct PendingQueue {
        std::deque<PendingStep> steps;
        bool releasing = false;  // its steps are being completed now
    };
    std::unordered_map<uint64_t, PendingQueue> pending;

private:
    std::vector<std::unique_ptr<PlayerSession>> players_;
    std::unordered_map<uint32_t, std::vector<PlayerSession*>> playersByID_;  // each in list order
    std::vector<ScoreRecord*> scores_;
    std::unordered_map<const UserRecord*, ScoreRecord*> firstScoreByUser_;
};

// The zone session of a host, made on first use.
ZoneSession& zoneSession(Host& host);
// The zone of a host, for reading its name, numbers and flags: its zone
// session. A host that has none (not logged in) reads as a zone not logged
// in, and is given none.
const ZoneSession& zoneOf(const Host& host);
// The zone session of a host, or none if it has none.
ZoneSession* existingZoneSession(const Host& host);

}  // namespace tallysv
