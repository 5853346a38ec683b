#include "public/public_data.h"

#include <algorithm>
#include <unordered_map>

#include "db/database.h"
#include "db/fixed_text.h"
#include "net/core_transport.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

std::string foldedName(std::string_view text, size_t limit = 0) {
    if (limit != 0 && text.size() > limit) text = text.substr(0, limit);
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimmedText(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Five names separated by commas; false when there are not five.
bool parseLabelSet(std::string_view text, const ScoreLabelSet& fallback, ScoreLabelSet& out) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t comma = text.find(',');
        parts.push_back(trimmedText(text.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        text = text.substr(comma + 1);
    }
    if (parts.size() != kScoreValues) return false;
    for (size_t i = 0; i < kScoreValues; ++i) out[i] = parts[i].empty() ? fallback[i] : std::string(parts[i]);
    return true;
}

}  // namespace

const ScoreLabelSet& ScoreLabels::of(int32_t scoreID) const {
    auto found = byScoreID.find(scoreID);
    return found == byScoreID.end() ? network : found->second;
}

ScoreLabels parseScoreLabels(const std::string& network, const std::string& byScoreID) {
    ScoreLabels labels;
    if (!trimmedText(network).empty()) parseLabelSet(network, labels.network, labels.network);
    std::string_view rest = byScoreID;
    while (!rest.empty()) {
        const size_t semicolon = rest.find(';');
        const std::string_view entry = trimmedText(rest.substr(0, semicolon));
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        const size_t colon = entry.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string id(trimmedText(entry.substr(0, colon)));
        if (id.empty() || id.size() > 10 || id.find_first_not_of("-0123456789") != std::string::npos) continue;
        ScoreLabelSet set;
        if (parseLabelSet(entry.substr(colon + 1), labels.network, set))
            labels.byScoreID[static_cast<int32_t>(std::stol(id))] = set;
    }
    return labels;
}

PublicOnline takePublicOnline(const CoreTransport& transport, const Database& database) {
    PublicOnline online;
    online.now = transport.clock().now();
    for (const auto& host : transport.hosts()) {
        if (!host->loggedIn()) continue;
        const ZoneSession& session = zoneOf(*host);
        const auto zone = static_cast<uint32_t>(online.zones.size());
        PublicOnline::Zone figures;
        figures.name = session.zoneNameText();
        figures.scoreID = session.scoreId;
        for (const auto& player : session.players()) {
            if (player->ghosting || player->user == &database.placeholderUser) continue;
            online.players.push_back({std::string(player->user->name()), zone});
            ++figures.players;
        }
        online.zones.push_back(std::move(figures));
    }
    return online;
}

std::shared_ptr<const PublicData> PublicData::build(const Database& database, int32_t takenAt) {
    auto data = std::make_shared<PublicData>();
    data->takenAt_ = takenAt;
    std::unordered_map<const UserRecord*, uint32_t> accountOf;
    std::unordered_map<const SquadRecord*, uint32_t> squadOf;
    accountOf.reserve(database.users().count());
    data->accounts_.reserve(database.users().count());
    for (const UserRecord* user : database.users()) {
        accountOf.emplace(user, static_cast<uint32_t>(data->accounts_.size()));
        Account account;
        account.userID = user->userID();
        account.name = std::string(user->name());
        account.usage = user->Usage;
        account.created = user->created;
        account.lastLogin = user->lastLogin;
        data->accounts_.push_back(std::move(account));
    }
    for (const SquadRecord* squad : database.squads()) {
        squadOf.emplace(squad, static_cast<uint32_t>(data->squads_.size()));
        Squad copy;
        copy.name = std::string(squad->name());
        if (auto owner = accountOf.find(squad->owner); owner != accountOf.end()) copy.owner = owner->second;
        for (const UserRecord* member : squad->members())
            if (auto found = accountOf.find(member); found != accountOf.end()) copy.members.push_back(found->second);
        data->squads_.push_back(std::move(copy));
    }
    for (const UserRecord* user : database.users())
        if (auto squad = squadOf.find(user->squad); squad != squadOf.end())
            data->accounts_[accountOf[user]].squad = squad->second;

    // Score sets grouped by account, each account's by ScoreID.
    data->scores_.reserve(database.scores().count());
    for (const ScoreRecord* record : database.scores()) {
        auto owner = accountOf.find(record->user);
        if (owner == accountOf.end()) continue;
        Score score;
        score.account = owner->second;
        score.scoreID = record->scoreID;
        score.values = {record->WordStat1, record->WordStat2, record->WordStat3, record->LongStat1, record->LongStat2};
        data->scores_.push_back(score);
    }
    std::vector<Score>& scores = data->scores_;
    std::sort(scores.begin(), scores.end(), [](const Score& a, const Score& b) {
        return a.account != b.account ? a.account < b.account : a.scoreID < b.scoreID;
    });
    for (uint32_t i = 0; i < scores.size(); ++i) {
        Account& account = data->accounts_[scores[i].account];
        if (account.scoreCount == 0) account.firstScore = i;
        ++account.scoreCount;
    }

    // The rankings of each score group.
    std::map<int32_t, std::vector<uint32_t>> members;
    for (uint32_t i = 0; i < scores.size(); ++i) members[scores[i].scoreID].push_back(i);
    for (auto& [scoreID, list] : members) {
        Group group;
        group.scoreID = scoreID;
        for (size_t k = 0; k < kScoreValues; ++k) {
            std::vector<uint32_t> order = list;
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                if (scores[a].values[k] != scores[b].values[k]) return scores[a].values[k] > scores[b].values[k];
                return scores[a].account < scores[b].account;
            });
            for (uint32_t r = 0; r < order.size(); ++r) scores[order[r]].rank[k] = r + 1;
            group.ranking[k] = std::move(order);
        }
        data->groups_.push_back(std::move(group));
    }

    data->squadsBySize_.resize(data->squads_.size());
    for (uint32_t i = 0; i < data->squads_.size(); ++i) data->squadsBySize_[i] = i;
    const std::vector<Squad>& squads = data->squads_;
    for (uint32_t i = 0; i < squads.size(); ++i) data->squadsByName_.emplace_back(foldedName(squads[i].name), i);
    std::vector<const std::string*> folded(squads.size());
    for (const auto& [name, i] : data->squadsByName_) folded[i] = &name;
    std::sort(data->squadsBySize_.begin(), data->squadsBySize_.end(), [&](uint32_t a, uint32_t b) {
        if (squads[a].members.size() != squads[b].members.size()) return squads[a].members.size() > squads[b].members.size();
        return *folded[a] < *folded[b];
    });

    data->accountsByName_.reserve(data->accounts_.size());
    for (uint32_t i = 0; i < data->accounts_.size(); ++i)
        data->accountsByName_.emplace_back(foldedName(data->accounts_[i].name), i);
    // The first account in table order wins among equal names, as at the
    // server: equal keys keep their order.
    std::stable_sort(data->accountsByName_.begin(), data->accountsByName_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::stable_sort(data->squadsByName_.begin(), data->squadsByName_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return data;
}

const PublicData::Group* PublicData::group(int32_t scoreID) const {
    auto found = std::lower_bound(groups_.begin(), groups_.end(), scoreID,
                                  [](const Group& g, int32_t id) { return g.scoreID < id; });
    return found != groups_.end() && found->scoreID == scoreID ? &*found : nullptr;
}

const PublicData::Account* PublicData::findAccount(std::string_view name) const {
    // Names compare on their first 19 characters: every account whose
    // folded name begins with the key's first 19 is a candidate, and the
    // first of them in table order is the one.
    const std::string key = foldedName(name, kNameCompareLength);
    auto at = std::lower_bound(accountsByName_.begin(), accountsByName_.end(), key,
                               [](const auto& entry, const std::string& k) { return entry.first < k; });
    if (key.size() < kNameCompareLength)  // a shorter name matches only itself; equal names keep table order
        return at != accountsByName_.end() && at->first == key ? &accounts_[at->second] : nullptr;
    const Account* best = nullptr;
    for (; at != accountsByName_.end() && at->first.compare(0, key.size(), key) == 0; ++at)
        if (!best || at->second < static_cast<uint32_t>(best - accounts_.data())) best = &accounts_[at->second];
    return best;
}

const PublicData::Squad* PublicData::findSquad(std::string_view name) const {
    const std::string key = foldedName(name);
    auto at = std::lower_bound(squadsByName_.begin(), squadsByName_.end(), key,
                               [](const auto& entry, const std::string& k) { return entry.first < k; });
    return at != squadsByName_.end() && at->first == key ? &squads_[at->second] : nullptr;
}

std::vector<uint32_t> PublicData::search(std::string_view prefix, size_t limit) const {
    const std::string key = foldedName(prefix);
    std::vector<uint32_t> found;
    auto at = std::lower_bound(accountsByName_.begin(), accountsByName_.end(), key,
                               [](const auto& entry, const std::string& k) { return entry.first < k; });
    for (; at != accountsByName_.end() && found.size() < limit && at->first.compare(0, key.size(), key) == 0; ++at)
        found.push_back(at->second);
    return found;
}

}  // namespace tallysv
