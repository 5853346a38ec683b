#include "db/database.h"

#include <algorithm>
#include <limits>

#include "core/configuration.h"
#include "core/text.h"
#include "db/ban_matching.h"

namespace tallysv {

Database::Database(const Settings& settings, const Clock& clock, Log& log, std::string directory)
    : settings_(settings), clock_(clock), log_(log), directory_(std::move(directory)) {
    randomSeed(random, 55555);
    randomSeed(random, clock_.tick());
    placeholderUser.name_.set("^Banned");
}

void Database::clear() {
    random = RandomGenerator{};
    randomSeed(random, 55555);
    randomSeed(random, clock_.tick());
    placeholderUser = UserRecord{};
    placeholderUser.name_.set("^Banned");
    floodTable_ = FloodTable{};
    zoneFloodTables_.clear();
    guessTable_.clear();
    verifiers_.clear();
    usersByName_.clear();
    usersByID_.clear();
    squadsByName_.clear();
    bansByID_.clear();
    banfreesByUser_.clear();
    zonesByScoreID_.clear();
    usersBySubnet_.clear();
    usersByMachine_.clear();
    usersByHardware_.clear();
    users_.reset();
    squads_.reset();
    scores_.reset();
    registrations_.reset();
    bans_.reset();
    operators_.reset();
    zones_.reset();
    banfrees_.reset();
    lastBanID_ = 0;
}

void Database::addBuiltInOperator(const PasswordField& password) {
    OperatorRecord* op = operators_.append();
    op->password = password;
}

void readConfiguration(Settings& settings, Database& database, Log& log) {
    // Later readings leave the built-in operator's password as it was made.
    if (readConfiguration(settings, log, database.directory())) database.addBuiltInOperator(settings.sysopPassword);
}

// ---- accounts ----

UserRecord* Database::findUser(std::string_view name) const { return usersByName_.find(untilNul(name)); }

UserRecord* Database::findUserByID(int32_t userID) const { return usersByID_.find(userID); }

UserRecord* Database::appendUser(int32_t userID, std::string_view name) {
    UserRecord* user = users_.append();
    user->userID_ = userID;
    user->name_.set(name);
    usersByName_.insert(user);
    usersByID_.insert(user);
    return user;
}

UserRecord* Database::createUser(std::string_view name, std::string_view plainPassword, const IPv4Address& address,
                                 int32_t machineID, int16_t timeZoneBias) {
    UserRecord* user = appendUser(static_cast<int32_t>(users_.count() + 1), name);
    user->password = passwordField(plainPassword);
    user->address_ = address;
    user->machineID_ = machineID;
    user->timeZoneBias = timeZoneBias;
    user->created = now();
    user->lastLogin = user->created;
    indexAliases(*user);
    return user;
}

void Database::renameUser(UserRecord& user, std::string_view name) {
    usersByName_.remove(&user);
    user.name_.set(name);
    usersByName_.insert(&user);
}

// ---- aliases ----

namespace {

// An address of zero is an account never accessed, which no alias listing shows.
bool accessed(const IPv4Address& address) { return address != IPv4Address{}; }

}  // namespace

void Database::indexAliases(UserRecord& user) {
    if (!accessed(user.address_)) return;
    usersBySubnet_.insert(&user, UserSubnetKey::of(user.address_));
    usersByMachine_.insert(&user, user.machineID_);
    if (user.registration_) usersByHardware_.insert(&user, user.registration_->hardwareID_);
}

void Database::unindexAliases(UserRecord& user) {
    if (!accessed(user.address_)) return;
    usersBySubnet_.remove(&user, UserSubnetKey::of(user.address_));
    usersByMachine_.remove(&user, user.machineID_);
    if (user.registration_) usersByHardware_.remove(&user, user.registration_->hardwareID_);
}

void Database::setUserAddress(UserRecord& user, const IPv4Address& address, int32_t machineID) {
    if (accessed(address) != accessed(user.address_)) {
        unindexAliases(user);
        user.address_ = address;
        user.machineID_ = machineID;
        indexAliases(user);
        return;
    }
    // Most entries come from where the account was last seen: nothing moves.
    if (accessed(address)) {
        const uint32_t from = UserSubnetKey::of(user.address_), to = UserSubnetKey::of(address);
        if (from != to) {
            usersBySubnet_.remove(&user, from);
            usersBySubnet_.insert(&user, to);
        }
        if (machineID != user.machineID_) {
            usersByMachine_.remove(&user, user.machineID_);
            usersByMachine_.insert(&user, machineID);
        }
    }
    user.address_ = address;
    user.machineID_ = machineID;
}

void Database::setRegistration(UserRecord& user, User2Record* registration) {
    if (user.registration_ == registration) return;
    if (accessed(user.address_) && user.registration_)
        usersByHardware_.remove(&user, user.registration_->hardwareID_);
    user.registration_ = registration;
    if (accessed(user.address_) && registration) usersByHardware_.insert(&user, registration->hardwareID_);
}

std::vector<const UserRecord*> Database::findAliases(const IPv4Address& address, std::optional<int32_t> machineID,
                                                     int32_t hardwareID) const {
    // The buckets hold their accounts in no order, and an account may be in
    // more than one: sorted by table order, each is kept once.
    std::vector<std::pair<uint64_t, const UserRecord*>> found;
    for (const UserRecord* u = usersBySubnet_.bucket(UserSubnetKey::of(address)); u; u = u->sameSubnet_.next)
        found.emplace_back(u->tableOrder(), u);
    if (machineID)
        for (const UserRecord* u = usersByMachine_.bucket(*machineID); u; u = u->sameMachine_.next)
            found.emplace_back(u->tableOrder(), u);
    for (const UserRecord* u = usersByHardware_.bucket(hardwareID); u; u = u->sameHardware_.next)
        found.emplace_back(u->tableOrder(), u);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<const UserRecord*> users;
    users.reserve(found.size());
    for (const auto& entry : found) users.push_back(entry.second);
    return users;
}

size_t Database::aliasIndexBytes() const {
    return usersBySubnet_.slotBytes() + usersByMachine_.slotBytes() + usersByHardware_.slotBytes() +
           users_.count() * 3 * sizeof(BucketLinks<UserRecord>);
}

bool Database::passwordMatches(const PasswordField& stored, std::string_view plainPassword) {
    return checkPassword(stored, plainPassword, false).matches;
}

bool Database::storedPasswordMatches(const PasswordField& stored, std::string_view plainPassword) const {
    if (passwordResults_)
        if (const PasswordCheck* made = passwordResults_->findCheck(stored, plainPassword, settings_.passwordHashing))
            return made->matches;
    return passwordMatches(stored, plainPassword);
}

void Database::rememberPassword(const PasswordField& stored, std::string_view plainPassword) const {
    if (!settings_.passwordVerifierCache) {
        if (verifiers_.size() != 0) verifiers_.clear();
        return;
    }
    if (!isHashedPassword(stored)) return;
    // Room for every account and a quarter more, so that sets seldom fill.
    const size_t accounts = users_.count();
    verifiers_.remember(stored, plainPassword, accounts + accounts / 4 + 1024);
}

PasswordField Database::passwordField(std::string_view plainPassword) const {
    std::optional<PasswordField> made;
    if (passwordResults_) made = passwordResults_->takeField(plainPassword, settings_.passwordHashing);
    if (!made) made = makePasswordField(plainPassword, settings_.passwordHashing);
    rememberPassword(*made, plainPassword);
    return *made;
}

bool Database::verifyPassword(PasswordField& stored, std::string_view plainPassword) const {
    const bool hashing = settings_.passwordHashing;
    if (settings_.passwordVerifierCache) {
        const PasswordVerifiers::Answer answer = verifiers_.verify(stored, plainPassword);
        if (PasswordVerifiers::settled(answer, stored, hashing)) return answer == PasswordVerifiers::Answer::Right;
    }
    const PasswordCheck* made = passwordResults_ ? passwordResults_->findCheck(stored, plainPassword, hashing) : nullptr;
    PasswordCheck check = made ? *made : checkPassword(stored, plainPassword, hashing);
    if (check.upgrade) stored = *check.upgrade;
    if (check.matches) rememberPassword(stored, plainPassword);
    return check.matches;
}

FloodVerdict Database::registerAttempt(const IPv4Address& address, std::optional<int32_t> playerZone) {
    if (playerZone && settings_.floodPerZone) return zoneFloodTables_[*playerZone].registerAttempt(address);
    return floodTable_.registerAttempt(address);
}

void Database::decayFloodTable() {
    floodTable_.decay();
    for (auto it = zoneFloodTables_.begin(); it != zoneFloodTables_.end();) {
        it->second.decay();
        it = it->second.size() == 0 ? zoneFloodTables_.erase(it) : std::next(it);
    }
}

GuessTable::Verdict Database::registerGuess(int32_t scoreID, const UserRecord& user) {
    const uint32_t window = static_cast<uint32_t>(settings_.guessWindow) * 1000u;
    return guessTable_.attempt(scoreID, user.userID(), clock_.tick(), settings_.guessLimit, window);
}

bool Database::passwordWorkNeeded(const PasswordNeeds& needs) const {
    return tallysv::passwordWorkNeeded(needs, passwordResults_, settings_.passwordHashing,
                                       settings_.passwordVerifierCache ? &verifiers_ : nullptr);
}

PasswordNeeds Database::loginPasswordNeeds(const UserRecord& user, std::string_view plainPassword) const {
    PasswordNeeds needs;
    if (reclaimable(user))
        needs.fields.emplace_back(plainPassword);
    else
        needs.checks.push_back({user.password, std::string(plainPassword)});
    return needs;
}

bool Database::reclaimable(const UserRecord& user) const {
    // A negative delay (a setting beyond what 32 bits of seconds hold) would
    // hand every account to whoever logs in; it means no reclaim instead.
    int64_t idle = static_cast<int64_t>(now()) - user.lastLogin;
    return settings_.accountReclaimDelay >= 0 && idle > settings_.accountReclaimDelay;
}

Database::LoginPassword Database::checkLoginPassword(UserRecord& user, std::string_view plainPassword) {
    if (reclaimable(user)) {
        user.password = passwordField(plainPassword);
        // Every registration of the account goes, not only the current
        // one: an older one left in the table would come back as the new
        // holder's registration when the files are read again.
        if (user.registration_) {
            for (User2Record* r = registrations_.head(); r;) {
                User2Record* next = r->tableNext();
                if (r->user == &user) removeRegistration(r);
                r = next;
            }
        }
        return LoginPassword::Reclaimed;
    }
    return verifyPassword(user.password, plainPassword) ? LoginPassword::Correct : LoginPassword::Wrong;
}

// ---- registrations ----

User2Record* Database::registerUser(UserRecord& user, std::string_view realName, std::string_view email,
                                    int32_t hardwareID) {
    User2Record* r = registrations_.append();
    r->user = &user;
    r->realName.set(realName);
    r->email.set(email);
    r->details.set("(No details)");
    r->hardwareID_ = hardwareID;
    setRegistration(user, r);
    return r;
}

void Database::removeRegistration(User2Record* registration) {
    if (registration->user && registration->user->registration_ == registration)
        setRegistration(*registration->user, nullptr);
    registrations_.remove(registration);
}

// ---- scores ----

ScoreRecord* Database::createScore(UserRecord& user, int32_t scoreID) {
    ScoreRecord* score = scores_.append();
    score->user = &user;
    score->scoreID = scoreID;
    return score;
}

void Database::removeScore(ScoreRecord* score) { scores_.remove(score); }

// ---- squads ----

SquadRecord* Database::findSquad(std::string_view name) const { return squadsByName_.find(untilNul(name)); }

SquadRecord* Database::createSquad(std::string_view name, std::string_view plainPassword, UserRecord* owner) {
    SquadRecord* squad = squads_.append();
    squad->name_.set(name);
    squad->password = passwordField(plainPassword);
    squad->owner = owner;
    squadsByName_.insert(squad);
    return squad;
}

void Database::renameSquad(SquadRecord& squad, std::string_view name) {
    squadsByName_.remove(&squad);
    squad.name_.set(name);
    squadsByName_.insert(&squad);
}

void Database::removeSquad(SquadRecord* squad) {
    for (UserRecord* member : squad->members_) member->squad = nullptr;
    squadsByName_.remove(squad);
    squads_.remove(squad);
}

void Database::addSquadMember(SquadRecord& squad, UserRecord& user) {
    if (user.squad == &squad) return;
    removeSquadMember(user);
    squad.members_.push_back(&user);
    user.squad = &squad;
}

void Database::removeSquadMember(UserRecord& user) {
    if (!user.squad) return;
    auto& members = user.squad->members_;
    members.erase(std::remove(members.begin(), members.end(), &user), members.end());
    user.squad = nullptr;
}

UserRecord* Database::findSquadMember(const SquadRecord& squad, std::string_view name) {
    name = untilNul(name);
    for (UserRecord* member : squad.members_)
        if (equalFolded(name, member->name())) return member;
    return nullptr;
}

// ---- bans ----

BanRecord* Database::createBan(const UserRecord& banned, UserRecord* bannedBy, int32_t days) {
    // The counter never goes back, even when bans are lifted.
    lastBanID_ = static_cast<int32_t>(static_cast<uint32_t>(lastBanID_) + 1u);
    BanRecord* ban = bans_.append();
    ban->banID_ = lastBanID_;
    ban->userID = banned.userID();
    ban->name.set(banned.name());
    ban->bannedBy = bannedBy;
    ban->created = ban->lastHit = now();
    // A ban longer than the calendar can hold ends at its last second
    // rather than wrapping into the past.
    int64_t expires = static_cast<int64_t>(ban->created) + static_cast<int64_t>(days) * 86400;
    expires = std::clamp<int64_t>(expires, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    ban->expires = static_cast<int32_t>(expires);
    bansByID_.insert(ban);
    return ban;
}

void Database::removeBan(BanRecord* ban) {
    bansByID_.remove(ban);
    bans_.remove(ban);
}

BanRecord* Database::findBanByID(int32_t banID) const { return bansByID_.find(banID); }

void Database::removeExpiredBans(int32_t now) {
    for (BanRecord* ban = bans_.head(); ban;) {
        BanRecord* next = ban->tableNext();
        if (ban->expires < now) removeBan(ban);
        ban = next;
    }
}

BanRecord* Database::findBan(int32_t userID, const IPv4Address& address, int32_t machineID,
                             std::optional<int32_t> hardwareID, int32_t zoneGroupID, int32_t zoneScoreID) {
    // A client without a machine matches no ban by machine, so one ban of
    // a chat client does not lock out every other one.
    std::optional<int32_t> machine;
    if (!namesNoMachine(machineID, settings_.allowNoMachineID)) machine = machineID;
    for (BanRecord* ban : bans_) {
        if (!banApplies(*ban, zoneGroupID, zoneScoreID)) continue;
        std::optional<BanMatch> match = matchBan(*ban, userID, address, machine, hardwareID);
        if (!match) continue;
        ban->lastHit = now();
        ban->lastMatch = *match;
        return ban;
    }
    return nullptr;
}

BanRecord* Database::findBanByHardwareID(int32_t hardwareID) {
    for (BanRecord* ban : bans_) {
        if (ban->hardwareID != hardwareID) continue;
        ban->lastHit = now();
        ban->lastMatch = BanMatch::HardwareID;
        return ban;
    }
    return nullptr;
}

// ---- banfrees ----

BanfreeRecord* Database::findBanfree(int32_t userID, int32_t zoneScoreID) const {
    for (BanfreeRecord* b = banfreesByUser_.find(userID); b; b = b->nextSameUser_)
        if (banfreeApplies(*b, zoneScoreID)) return b;
    return nullptr;
}

BanfreeRecord* Database::createBanfree(int32_t userID, int32_t groupID, int32_t scoreID) {
    BanfreeRecord* b = banfrees_.append();
    b->userID_ = userID;
    b->groupID = groupID;
    b->scoreID = scoreID;
    banfreesByUser_.insert(b);
    return b;
}

void Database::removeBanfree(BanfreeRecord* banfree) {
    banfreesByUser_.remove(banfree);
    banfrees_.remove(banfree);
}

UserRecord* Database::banfreeUser(BanfreeRecord& banfree) {
    if (!banfree.user) banfree.user = findUserByID(banfree.userID());
    return banfree.user;
}

// ---- operators ----

OperatorRecord* Database::createOperator(UserRecord* user, int32_t groupID, int32_t scoreID, uint8_t level,
                                         std::string_view plainPassword) {
    OperatorRecord* op = operators_.append();
    op->user = user;
    op->groupID = groupID;
    op->scoreID = scoreID;
    op->level = level;
    op->password = passwordField(plainPassword);
    return op;
}

void Database::removeOperator(OperatorRecord* op) { operators_.remove(op); }

OperatorRecord* Database::findOperatorByUserName(std::string_view name) const {
    name = untilNul(name);
    for (OperatorRecord* op : operators_)
        if (op->user && equalFolded(name, op->user->name(), kNameCompareLength)) return op;
    return nullptr;
}

OperatorRecord* Database::findOperatorForPassword(const UserRecord* player, std::string_view plainPassword) {
    // An empty password closes its entry: the built-in operator made from
    // an unset SysopPassword, or an entry given "" by ?changeop, is never
    // logged into, whatever bytes a command message carries.
    static const PasswordField empty = scrambledPassword("");
    if (scrambledPassword(plainPassword) == empty) return nullptr;
    for (OperatorRecord* op : operators_) {
        if (op->user && op->user != player) continue;
        // The built-in operator's password is TALLYSV.INI's, never saved.
        if (!op->user) {
            if (storedPasswordMatches(op->password, plainPassword)) return op;
        } else if (verifyPassword(op->password, plainPassword)) {
            return op;
        }
    }
    return nullptr;
}

// ---- zone records ----

ZoneRecord* Database::findZone(int32_t scoreID) const { return zonesByScoreID_.find(scoreID); }

ZoneRecord* Database::createZone(int32_t scoreID, int32_t groupID, std::string_view plainPassword) {
    ZoneRecord* zone = zones_.append();
    zone->scoreID_ = scoreID;
    zone->groupID = groupID;
    zone->password = passwordField(plainPassword);
    zonesByScoreID_.insert(zone);
    return zone;
}

void Database::removeZone(ZoneRecord* zone) {
    zonesByScoreID_.remove(zone);
    zones_.remove(zone);
}

}  // namespace tallysv
