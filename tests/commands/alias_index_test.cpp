// The alias indexes held against a plain walk of the accounts. A seeded
// random run drives one zone through logins from changing addresses and
// machines, registration forms, account reclaims, account commands and
// reloads of the database from its files; after every step ?alias for an
// account answers as a walk of the whole table would, and now and then the
// indexes' answer for every account is compared with the walk's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "commands/server_core.h"
#include "core/block_hash.h"
#include "core/clock.h"
#include "core/fields.h"
#include "core/log.h"
#include "db/database.h"
#include "net/core_transport.h"
#include "support/temp_dir.h"
#include "zone/zone_protocol.h"
#include "zone/zone_session.h"
#include "zoneclient/messages.h"
#include "zoneclient/zone_link.h"

namespace tallysv::testing {
namespace {

using Lines = std::vector<std::string>;
using zoneclient::Bytes;

constexpr int32_t kReclaimDelay = 3600;
constexpr uint32_t kOperatorID = 1;

// The accounts that ?alias lists for the target, by a walk of the table.
std::vector<const UserRecord*> walkAliases(const Database& database, const IPv4Address& address,
                                           std::optional<int32_t> machineID, int32_t hardwareID) {
    std::vector<const UserRecord*> out;
    for (const UserRecord* user : database.users()) {
        const IPv4Address& a = user->address();
        if (a == IPv4Address{}) continue;
        if ((a[0] == address[0] && a[1] == address[1] && a[2] == address[2]) ||
            (machineID && user->machineID() == *machineID) ||
            (user->registration() && user->registration()->hardwareID() == hardwareID))
            out.push_back(user);
    }
    return out;
}

// The replies of ?alias for the target, worked out from the walk.
Lines expectedReplies(const Database& database, const UserRecord& target) {
    const IPv4Address& address = target.address();
    if (address == IPv4Address{}) return {"This account has not been accessed yet"};
    const int32_t hardwareID = target.registration() ? target.registration()->hardwareID() : 0;
    Lines lines;
    std::string line;
    int count = 0;
    for (const UserRecord* user : walkAliases(database, address, target.machineID(), hardwareID)) {
        const IPv4Address& a = user->address();
        std::string tag = a == address                                                        ? "[IP]"
                          : user->machineID() == target.machineID()                           ? "[MAC]"
                          : user->registration() && user->registration()->hardwareID() == hardwareID ? "[ID2]"
                                                                                                : "[~IP]";
        line += (count ? ", " : "") + std::string(user->name()) + tag;
        if (++count == 5) {
            lines.push_back(line);
            line.clear();
            count = 0;
        }
    }
    if (count) lines.push_back(line);
    if (lines.empty()) lines.push_back("No aliases");
    return lines;
}

// One server (database, transport, zone protocol, commands) with one zone
// on an in-memory wire; a reload replaces it with a new one read from the
// files of the folder.
class Server final : public DatagramSink {
public:
    Server(FakeClock& clock, const std::string& folder) : clock_(clock), database(settings, clock, log_, folder) {
        settings.allowNewUsers = true;
        settings.askNewUsers = false;
        settings.accountReclaimDelay = kReclaimDelay;
        database.load();
        link.connect();
        pump();
        link.sendReliable(zoneclient::zoneLogin(1, 7, "Field", ""), clock_.tick());
        pump();
    }

    void send(const PeerAddress&, std::span<const uint8_t> bytes) override {
        toZone_.emplace_back(bytes.begin(), bytes.end());
    }

    // Sends one message from the zone; what came back.
    std::vector<Bytes> exchange(const Bytes& message) {
        if (message.size() > static_cast<size_t>(CoreTransport::kMaxReliableMessage))
            EXPECT_TRUE(link.sendBigChunks(message, 400, true, clock_.tick()));
        else
            EXPECT_TRUE(link.sendReliable(message, clock_.tick()));
        pump();
        std::vector<Bytes> out(link.inbox.begin(), link.inbox.end());
        link.inbox.clear();
        return out;
    }

    // A command typed by the operator (PlayerID 1); the lines sent back.
    Lines command(const std::string& text) {
        Lines out;
        for (const Bytes& m : exchange(zoneclient::command(kOperatorID, text)))
            if (auto t = zoneclient::parsePlayerText(m)) out.push_back(t->text);
        return out;
    }

    PlayerSession* player(uint32_t playerID) { return zoneSession(*transport.findHost(peer_)).findPlayer(playerID); }

private:
    FakeClock& clock_;
    DiscardLog log_;

public:
    Settings settings;
    Database database;
    ServerCore core{*this, settings, database, clock_, log_};
    CoreTransport& transport = core.transport;
    ZoneProtocol& zones = core.zones;
    CommandProcessor& commands = core.commands;

private:
    void pump() {
        for (bool moved = true; moved;) {
            moved = false;
            while (!toServer_.empty()) {
                Bytes d = std::move(toServer_.front());
                toServer_.pop_front();
                core.receive(d, peer_);
                moved = true;
            }
            while (!toZone_.empty()) {
                Bytes d = std::move(toZone_.front());
                toZone_.pop_front();
                link.receive(d, clock_.tick());
                moved = true;
            }
        }
    }

    PeerAddress peer_{{10, 200, 0, 1}, 7000};
    std::deque<Bytes> toServer_;
    std::deque<Bytes> toZone_;

public:
    zoneclient::ZoneLink link{[this](std::span<const uint8_t> d) { toServer_.emplace_back(d.begin(), d.end()); },
                              0x4242};
};

class AliasIndexRun {
public:
    explicit AliasIndexRun(uint32_t seed) : random_(seed) {
        for (int i = 0; i < 5; ++i) {
            std::vector<uint8_t> block(kHashedBlockSize, static_cast<uint8_t>(i + 1));
            // The last block is refused (processor class 1586) unless banned.
            writeInt16(block.data(), 0, i == 4 ? 1586 : 586);
            systemInfos_.push_back(block);
        }
        start();
        // Forms with the first block belong to a banned player: they are
        // kept all the same (and the form's player is kicked later).
        UserRecord* banned = server_->database.createUser("Banned", "pw", {}, 40000, 0);
        server_->database.createBan(*banned, nullptr, 3650)->hardwareID =
            static_cast<int32_t>(blockHash(systemInfos_[0].data()));
    }

    void step() {
        clock_.advance(random_() % 120000);
        const unsigned kind = random_() % 100;
        if (kind < 45)
            login(someName());
        else if (kind < 70)
            registrationForm();
        else if (kind < 76)
            addUser();
        else if (kind < 80)
            rename();
        else if (kind < 83)
            block();
        else if (kind < 98)
            server_->database.setUserAddress(*someAccount(), someAddress(), someMachine());
        else if (random_() % 8 == 0)
            reload();  // rare: a save flushes every file to the disk
        checkOneAlias();
    }

    // The indexes' answer for every account against the walk's.
    void checkEveryAccount() {
        const Database& db = server_->database;
        for (const UserRecord* target : db.users()) {
            const int32_t hardwareID = target->registration() ? target->registration()->hardwareID() : 0;
            for (std::optional<int32_t> machineID : {std::optional<int32_t>(target->machineID()), std::optional<int32_t>()})
                ASSERT_EQ(db.findAliases(target->address(), machineID, hardwareID),
                          walkAliases(db, target->address(), machineID, hardwareID))
                    << target->name();
        }
    }

    size_t accounts() const { return server_->database.users().count(); }

private:
    void start() {
        server_ = std::make_unique<Server>(clock_, folder_.str());
        players_.clear();
        zoneclient::PlayerLogin login;
        login.name = "Judge";
        login.password = "pw";
        login.playerId = kOperatorID;
        login.address = someAddress();
        server_->database.decayFloodTable();
        server_->exchange(zoneclient::playerLogin(login));
        PlayerSession* judge = server_->player(kOperatorID);
        ASSERT_NE(judge, nullptr);
        judge->op = server_->database.findOperatorByUserName("Judge");
        if (!judge->op) judge->op = server_->database.createOperator(judge->user, 0, 0, 0, "op");
    }

    void reload() {
        ASSERT_TRUE(server_->database.save());
        server_.reset();
        start();
    }

    // Addresses from four subnets of two networks, now and then none.
    IPv4Address someAddress() {
        if (random_() % 30 == 0) return {};
        return {static_cast<uint8_t>(10 + random_() % 2), 0, static_cast<uint8_t>(random_() % 2),
                static_cast<uint8_t>(1 + random_() % 6)};
    }
    int32_t someMachine() {
        // Now and then one that marks a faked client: only banfree accounts
        // keep it.
        if (random_() % 20 == 0) return static_cast<int32_t>(random_() % 31338);
        return 40000 + static_cast<int32_t>(random_() % 12);
    }
    UserRecord* someAccount() {
        const auto& users = server_->database.users();
        size_t index = random_() % users.count();
        UserRecord* user = users.head();
        while (index--) user = user->tableNext();
        return user;
    }
    // An account's name, or a new one; never the operator's, whose
    // password must stay.
    std::string someName() {
        if (random_() % 4 != 0 && accounts() > 2) {
            std::string name(someAccount()->name());
            if (name != "Judge") return name;
        }
        return "P" + std::to_string(nextName_++);
    }

    void login(const std::string& name) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = random_() % 10 == 0 ? "wrong" : "pw";
        login.playerId = nextPlayerID_++;
        login.address = someAddress();
        login.machineId = someMachine();
        login.timeZoneBias = random_() % 25 == 0 ? 17 : 60;
        // Flood control would soon turn most of these away.
        server_->database.decayFloodTable();
        server_->exchange(zoneclient::playerLogin(login));
        if (server_->player(login.playerId)) players_.push_back(login.playerId);
    }

    void registrationForm() {
        if (players_.empty()) return;
        const uint32_t playerID = players_[random_() % players_.size()];
        if (!server_->player(playerID)) return;
        const auto& info = systemInfos_[random_() % systemInfos_.size()];
        server_->exchange(zoneclient::registrationForm(playerID, "Real", "mail", readInt16(info.data(), 0), info));
    }

    void addUser() { server_->command("?adduser=A" + std::to_string(nextName_++) + ":pw"); }

    void rename() {
        const UserRecord* user = someAccount();
        if (user->name() == "Judge") return;
        server_->command("?changename=" + std::string(user->name()) + ":R" + std::to_string(nextName_++));
    }

    void block() { someAccount()->passBlock = static_cast<int16_t>(random_() % 2); }

    void checkOneAlias() {
        const UserRecord* target = random_() % 8 == 0 ? server_->player(kOperatorID)->user : someAccount();
        const std::string text = target->name() == "Judge" ? "?alias" : "?alias=" + std::string(target->name());
        clock_.advance(2000);  // clear of command flood control
        const Lines expected = expectedReplies(server_->database, *target);
        ASSERT_EQ(server_->command(text), expected) << text;
    }

    std::mt19937 random_;
    FakeClock clock_{1000, 1000000000};
    TempDir folder_;
    std::unique_ptr<Server> server_;
    std::vector<std::vector<uint8_t>> systemInfos_;
    std::vector<uint32_t> players_;
    uint32_t nextPlayerID_ = 2;
    int nextName_ = 1;
};

// TALLYSV_ALIAS_RUNS=n runs n seeds instead of two, for a longer search.
TEST(AliasIndexTest, AgreesWithAWalkOverRandomRuns) {
    const char* runs = std::getenv("TALLYSV_ALIAS_RUNS");
    const uint32_t seeds = runs ? static_cast<uint32_t>(std::strtoul(runs, nullptr, 10)) : 2;
    for (uint32_t seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        AliasIndexRun run(seed);
        for (int step = 1; step <= 1500; ++step) {
            ASSERT_NO_FATAL_FAILURE(run.step()) << "step " << step;
            if (step % 300 == 0) {
                ASSERT_NO_FATAL_FAILURE(run.checkEveryAccount()) << "step " << step;
            }
        }
        ASSERT_NO_FATAL_FAILURE(run.checkEveryAccount());
        EXPECT_GT(run.accounts(), 100u);
    }
}

}  // namespace
}  // namespace tallysv::testing
