#include "sim/invariants.h"

#include <algorithm>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "zone/zone_session.h"

namespace tallysv::sim {

namespace {

// The records of a table, for asking whether one still exists (sorted:
// this runs after every step, and tables are small).
template <typename Record>
class Members {
public:
    explicit Members(const Table<Record>& table) {
        for (const Record* record : table) records_.push_back(record);
        std::sort(records_.begin(), records_.end());
    }
    bool count(const Record* record) const { return std::binary_search(records_.begin(), records_.end(), record); }

private:
    std::vector<const Record*> records_;
};
template <typename Record>
Members<Record> members(const Table<Record>& table) {
    return Members<Record>(table);
}

// Calls `visit` for every player session of every zone.
template <typename Visit>
void forEachPlayer(const CoreTransport& transport, Visit visit) {
    for (const auto& host : transport.hosts()) {
        if (const ZoneSession* session = existingZoneSession(*host)) {
            for (const auto& player : session->players()) visit(*host, *session, *player);
        }
    }
}

std::string committedSaveSurvives(const ServerView& view) {
    if (!view.committedFiles || !view.filesAfterRestart) return "";
    for (const auto& [name, bytes] : *view.committedFiles) {
        auto found = view.filesAfterRestart->find(name);
        if (found == view.filesAfterRestart->end()) return name + " is missing after the restart";
        if (found->second != bytes)
            return name + " differs from the committed save (" + std::to_string(bytes.size()) + " bytes committed, " +
                   std::to_string(found->second.size()) + " after the restart)";
    }
    return "";
}

std::string recordsReferToWhatExists(const ServerView& view) {
    const Database& db = view.database;
    auto users = members(db.users());
    auto squads = members(db.squads());
    auto scores = members(db.scores());
    auto operators = members(db.operators());
    auto registrations = members(db.registrations());
    for (const UserRecord* user : db.users()) {
        if (user->squad && !squads.count(user->squad)) return std::string(user->name()) + " is in a squad that is gone";
        if (user->registration() && (!registrations.count(user->registration()) || user->registration()->user != user))
            return std::string(user->name()) + " has a registration that is not its own";
    }
    for (const SquadRecord* squad : db.squads()) {
        if (squad->owner && !users.count(squad->owner)) return std::string(squad->name()) + " has an owner that is gone";
    }
    for (const ScoreRecord* score : db.scores()) {
        if (!users.count(score->user)) return "a score of ScoreID " + std::to_string(score->scoreID) + " has no account";
    }
    for (const User2Record* registration : db.registrations()) {
        if (registration->user && !users.count(registration->user)) return "a registration's account is gone";
    }
    for (const BanRecord* ban : db.bans()) {
        if (!db.findUserByID(ban->userID)) return "ban " + std::to_string(ban->banID()) + " bans no account";
        if (ban->bannedBy && !users.count(ban->bannedBy)) return "ban " + std::to_string(ban->banID()) + " was made by an account that is gone";
    }
    for (const OperatorRecord* op : db.operators()) {
        if (op->user && !users.count(op->user)) return "an operator record's account is gone";
    }
    std::string fault;
    forEachPlayer(view.transport, [&](const Host& host, const ZoneSession& session, const PlayerSession& player) {
        if (!fault.empty()) return;
        if (player.zone != &host) fault = "a player session names another zone";
        else if (player.user != &db.placeholderUser && !users.count(player.user)) fault = "a player's account is gone";
        else if (player.score && !scores.count(player.score)) fault = std::string(player.name()) + " holds a score that is gone";
        else if (player.score && player.score->user != player.user) fault = std::string(player.name()) + " holds another account's score";
        else if (player.op && !operators.count(player.op)) fault = std::string(player.name()) + " is logged in as an operator record that is gone";
        (void)session;
    });
    if (!fault.empty()) return fault;
    for (const auto& host : view.transport.hosts()) {
        if (const ZoneSession* session = existingZoneSession(*host)) {
            for (const ScoreRecord* score : session->scores())
                if (!scores.count(score)) return "zone " + std::to_string(zoneOf(*host).scoreId) + " lists a score that is gone";
        }
    }
    return "";
}

// Checks a lookup against a walk of the table: for every record, the
// lookup of its key gives the first record in table order with that key.
// Keys go by a hash first; records whose hash another key shares are
// compared with `same`.
template <typename Records, typename Hash, typename Same, typename Lookup>
bool lookupAgrees(const Records& table, Hash hash, Same same, Lookup lookup, std::string& fault, const char* what) {
    using Record = std::remove_pointer_t<decltype(*table.begin())>;
    std::unordered_map<uint64_t, const Record*> first;
    first.reserve(table.count());
    for (const Record* record : table) first.emplace(hash(*record), record);
    for (const Record* record : table) {
        const Record* expected = first[hash(*record)];
        if (!same(*expected, *record)) {
            expected = nullptr;
            for (const Record* walked : table)
                if (same(*walked, *record)) {
                    expected = walked;
                    break;
                }
        }
        if (lookup(*record) != expected) {
            fault = std::string("the lookup of ") + what + " misses";
            return false;
        }
    }
    return true;
}

std::string lookupsAgreeWithTables(const ServerView& view) {
    const Database& db = view.database;
    std::string fault;
    auto byName = [](size_t limit) {
        return std::make_pair([limit](const auto& r) { return hashFolded(r.name(), limit); },
                              [limit](const auto& a, const auto& b) { return equalFolded(a.name(), b.name(), limit); });
    };
    auto byNumber = [](auto number) {
        return std::make_pair([number](const auto& r) { return static_cast<uint64_t>(number(r)); },
                              [number](const auto& a, const auto& b) { return number(a) == number(b); });
    };
    auto [userName, sameUserName] = byName(kNameCompareLength);
    auto [userID, sameUserID] = byNumber([](const UserRecord& r) { return static_cast<uint32_t>(r.userID()); });
    auto [otherName, sameOtherName] = byName(0);
    auto [banID, sameBanID] = byNumber([](const BanRecord& r) { return static_cast<uint32_t>(r.banID()); });
    auto [scoreID, sameScoreID] = byNumber([](const ZoneRecord& r) { return static_cast<uint32_t>(r.scoreID()); });
    bool agree =
        lookupAgrees(db.users(), userName, sameUserName, [&](const UserRecord& r) { return db.findUser(r.name()); },
                     fault, "an account by name") &&
        lookupAgrees(db.users(), userID, sameUserID, [&](const UserRecord& r) { return db.findUserByID(r.userID()); },
                     fault, "an account by UserID") &&
        lookupAgrees(db.squads(), otherName, sameOtherName, [&](const SquadRecord& r) { return db.findSquad(r.name()); },
                     fault, "a squad") &&
        lookupAgrees(view.zones.chatChannels(), otherName, sameOtherName,
                     [&](const ChatChannel& r) { return view.zones.chatChannels().find(r.name()); }, fault,
                     "a channel") &&
        lookupAgrees(db.bans(), banID, sameBanID, [&](const BanRecord& r) { return db.findBanByID(r.banID()); }, fault,
                     "a ban") &&
        lookupAgrees(db.zones(), scoreID, sameScoreID, [&](const ZoneRecord& r) { return db.findZone(r.scoreID()); },
                     fault, "a zone record");
    return agree ? "" : fault;
}

std::string squadMembershipBothWays(const ServerView& view) {
    std::unordered_map<const UserRecord*, int> listed;
    for (const SquadRecord* squad : view.database.squads()) {
        for (const UserRecord* member : squad->members()) {
            if (member->squad != squad) return std::string(member->name()) + " is listed in " + std::string(squad->name()) + " but not in it";
            if (++listed[member] > 1) return std::string(member->name()) + " is listed twice";
        }
    }
    for (const UserRecord* user : view.database.users()) {
        if (user->squad && listed[user] != 1) return std::string(user->name()) + " is in a squad that does not list it";
    }
    return "";
}

std::string channelMembershipBothWays(const ServerView& view) {
    std::string fault = view.zones.channelMembershipFault();
    if (!fault.empty()) return fault;
    for (const ChatChannel* channel : view.zones.chatChannels())
        if (channel->members().empty()) return std::string(channel->name()) + " has no member but was kept";
    return "";
}

std::string operatorSessionsCounted(const ServerView& view) {
    std::unordered_map<const OperatorRecord*, int32_t> sessions;
    forEachPlayer(view.transport, [&](const Host&, const ZoneSession&, const PlayerSession& player) {
        if (player.op) ++sessions[player.op];
    });
    for (const OperatorRecord* op : view.database.operators()) {
        if (op->sessionCount != sessions[op])
            return "an operator record counts " + std::to_string(op->sessionCount) + " sessions, " +
                   std::to_string(sessions[op]) + " players are logged in with it";
    }
    return "";
}

std::string reliableMessagesOnceAndInOrder(const ServerView& view) {
    return view.deliveryFaults.empty() ? "" : view.deliveryFaults.front();
}

std::string memoryPerPeerBounded(const ServerView& view) {
    const CoreTransport& t = view.transport;
    if (t.hosts().size() > static_cast<size_t>(t.settings().maxQueueForLogin) + 1)
        return std::to_string(t.hosts().size()) + " hosts, more than MaxQueueForLogin + 1";
    for (const auto& host : t.hosts()) {
        std::string who = "host of zone " + std::to_string(zoneOf(*host).scoreId) + ": ";
        if (host->pendingInbound.size() > static_cast<size_t>(CoreTransport::kHoldWindow))
            return who + std::to_string(host->pendingInbound.size()) + " early datagrams held";
        if (host->inFlight.size() > static_cast<size_t>(CoreTransport::kWindow)) return who + "more in flight than the window";
        if (host->waiting.size() > CoreTransport::kMaxWaiting) return who + "more waiting than the limit";
        if (host->smallChunkBuffer.size() > static_cast<size_t>(CoreTransport::kMaxMessage) ||
            host->bigChunkBuffer.size() > static_cast<size_t>(CoreTransport::kMaxMessage))
            return who + "a chunked message past the limit";
    }
    if (view.database.floodTable().size() > FloodTable::kCapacity) return "the flood table grew past its capacity";
    return "";
}

}  // namespace

const std::vector<Invariant>& invariants() {
    static const std::vector<Invariant> list = {
        // Nothing saved and committed is lost: after a restart (whatever
        // step of a save it cut short) the folder holds the files of the
        // last committed save, and the restarted server, saving what it
        // loaded, writes the same bytes again.
        {"committed save survives a restart", committedSaveSurvives},
        // Every account, squad, score, ban, registration and operator
        // record, and every player session, refers only to records that
        // exist (and to its own account's score).
        {"records refer to what exists", recordsReferToWhatExists},
        // Every lookup served by an index (account by name and by UserID,
        // squad, channel, ban, zone record) gives the first record of the
        // table's order with that key, as a walk would.
        {"lookups agree with the tables", lookupsAgreeWithTables},
        // A squad lists exactly the accounts that name it, each once.
        {"squad membership both ways", squadMembershipBothWays},
        // A channel lists exactly the players whose slot holds it, under
        // that slot; no channel is kept without a member.
        {"channel membership both ways", channelMembershipBothWays},
        // An operator record's session count is the number of players
        // logged in with it.
        {"operator sessions counted", operatorSessionsCounted},
        // A reliable message a zone sent on a link that stayed up arrives
        // once, in order, with none before it missing.
        {"reliable messages once and in order", reliableMessagesOnceAndInOrder},
        // The memory held for one peer stays within the stated limits:
        // hosts, early datagrams, window, queue, chunk buffers, flood table.
        {"memory per peer bounded", memoryPerPeerBounded},
    };
    return list;
}

std::string firstViolation(const ServerView& view) {
    for (const Invariant& invariant : invariants()) {
        std::string fault = invariant.check(view);
        if (!fault.empty()) return std::string(invariant.name) + ": " + fault;
    }
    return "";
}

}  // namespace tallysv::sim
