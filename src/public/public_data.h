#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallysv {

class CoreTransport;
class Database;

// The five values of a score set. The server keeps them without meaning;
// zones report kills, deaths, flags, kill points and flag points in them.
constexpr size_t kScoreValues = 5;
using ScoreValues = std::array<int32_t, kScoreValues>;
using ScoreLabelSet = std::array<std::string, kScoreValues>;

// What the players' site calls the five values: one set for the network,
// and sets of their own for some ScoreIDs.
struct ScoreLabels {
    ScoreLabelSet network{"Kills", "Deaths", "Flags", "Kill points", "Flag points"};
    std::map<int32_t, ScoreLabelSet> byScoreID;
    const ScoreLabelSet& of(int32_t scoreID) const;
};

// `network`: five names separated by commas (blanks around each ignored);
// `byScoreID`: entries "ScoreID:five names" separated by semicolons. A set
// that does not name five values is ignored (an empty name keeps the
// network's).
ScoreLabels parseScoreLabels(const std::string& network, const std::string& byScoreID);

// Who is online now, as the players' site shows it. A ghosted player, and
// a locked-out one under the placeholder account, is not in it: the site
// tells no one where they are, nor counts them in a zone.
struct PublicOnline {
    struct Zone {
        std::string name;
        int32_t scoreID = 0;
        uint32_t players = 0;
    };
    struct Player {
        std::string name;
        uint32_t zone = 0;  // index into zones
    };
    int32_t now = 0;
    std::vector<Zone> zones;
    std::vector<Player> players;  // by zone, then in the zone's order
};

// Copies who is online. Called with the network's lock held; the walk is
// over the players online only.
PublicOnline takePublicOnline(const CoreTransport& transport, const Database& database);

// The players' view of the accounts, score sets and squads, built at once
// from a database that the site loaded for itself (from the folder's
// files, after a save), so that nothing the site reads is the network's.
// Only public fields are copied: names, squads, play time, first and last
// login, scores. Every score set is ranked by each of its five values when
// built, so a page of any table is a slice and a player's rank a lookup.
class PublicData {
public:
    static constexpr uint32_t kNone = UINT32_MAX;
    struct Account {
        int32_t userID = 0;
        std::string name;
        uint32_t squad = kNone;
        int32_t usage = 0;      // seconds played
        int32_t created = 0;
        int32_t lastLogin = 0;
        uint32_t firstScore = 0;  // its score sets: [firstScore, firstScore + scoreCount)
        uint32_t scoreCount = 0;
    };
    struct Score {
        uint32_t account = 0;
        int32_t scoreID = 0;
        ScoreValues values{};
        std::array<uint32_t, kScoreValues> rank{};  // 1 = best in its score group
    };
    struct Group {
        int32_t scoreID = 0;
        // Indexes into scores(), best first: highest value, then the
        // account made first.
        std::array<std::vector<uint32_t>, kScoreValues> ranking;
        size_t size() const { return ranking[0].size(); }
    };
    struct Squad {
        std::string name;
        uint32_t owner = kNone;
        std::vector<uint32_t> members;  // in joining order
    };

    static std::shared_ptr<const PublicData> build(const Database& database, int32_t takenAt);

    int32_t takenAt() const { return takenAt_; }
    const std::vector<Account>& accounts() const { return accounts_; }
    const std::vector<Score>& scores() const { return scores_; }
    const std::vector<Squad>& squads() const { return squads_; }
    const std::vector<Group>& groups() const { return groups_; }  // by ScoreID
    const Group* group(int32_t scoreID) const;
    // Squads by member count, the largest first (ties by name).
    const std::vector<uint32_t>& squadsBySize() const { return squadsBySize_; }
    // As the server finds an account: its first 19 characters, any case.
    const Account* findAccount(std::string_view name) const;
    const Squad* findSquad(std::string_view name) const;  // whole name, any case
    // Up to `limit` accounts whose names begin with `prefix` (any case), in
    // name order.
    std::vector<uint32_t> search(std::string_view prefix, size_t limit) const;

private:
    int32_t takenAt_ = 0;
    std::vector<Account> accounts_;
    std::vector<Score> scores_;
    std::vector<Squad> squads_;
    std::vector<Group> groups_;
    std::vector<uint32_t> squadsBySize_;
    std::vector<std::pair<std::string, uint32_t>> accountsByName_;  // folded name, account; sorted
    std::vector<std::pair<std::string, uint32_t>> squadsByName_;
};

}  // namespace tallysv
