// What one zone can do to the others' logins: its guesses are limited per
// account at that zone, its password work takes its turn with theirs, a
// returning player's password costs no hash, and (with FloodPerZone) the
// addresses it claims are counted for it alone.
#include <gtest/gtest.h>

#include "credentials/fair_queue.h"
#include "credentials/password_store.h"
#include "support/held_executor.h"
#include "zone/zone_session.h"
#include "zone_fixture.h"

namespace tallysv::testing {
namespace {

// Work held as the server's workers queue it: in turn by origin, each
// origin with a share of at most `share` jobs waiting.
class FairHeldExecutor final : public Executor {
public:
    explicit FairHeldExecutor(size_t share) : queue_(share) {}
    bool submit(WorkOrigin origin, Work work, Done done) override {
        return queue_.push(origin, Job{std::move(work), std::move(done)});
    }
    size_t held() const { return queue_.size(); }
    // Runs the job whose turn it is.
    void releaseNext() {
        Job job = std::move(*queue_.pop());
        job.work();
        job.done();
    }

private:
    struct Job {
        Work work;
        Done done;
    };
    FairQueue<Job> queue_;
};

class LoginGuardTest : public ZoneTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        clock.setTick(100000);
    }
    void TearDown() override { usePasswordTestCost(false); }

    // A login with the name and password, each from an address of its own
    // (as a zone that claims a new one every time), and the result codes
    // that came back at once.
    std::vector<uint8_t> attempt(SimZone& zone, const std::string& name, const std::string& password) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = ++playerIDs_;
        login.address = nextPlayerAddress();
        send(zone, zoneclient::playerLogin(login));
        return results(zone);
    }
    std::vector<uint8_t> results(SimZone& zone) {
        std::vector<uint8_t> out;
        for (const Bytes& m : take(zone, 1)) out.push_back(zoneclient::parsePlayerLoginReply(m)->result);
        return out;
    }

    uint32_t playerIDs_ = 0;
};

using Results = std::vector<uint8_t>;

TEST_F(LoginGuardTest, GuessesAreLimitedPerAccountAtEachZoneWithLockoutsThatDouble) {
    database.createUser("Ann", "right", {}, 0, 0);
    SimZone& hostile = loginZone(1);
    SimZone& honest = loginZone(2);
    for (int i = 0; i < settings.guessLimit; ++i) EXPECT_EQ(attempt(hostile, "Ann", "guess"), Results{2});
    EXPECT_EQ(attempt(hostile, "Ann", "guess"), Results{7});
    EXPECT_TRUE(logged("1 - Player connection refused(Too many attempts): Ann"));
    // Locked at that zone, the right password is not even checked there...
    EXPECT_EQ(attempt(hostile, "Ann", "right"), Results{7});
    // ...while Ann logs in through another zone, and another account
    // through the same zone.
    EXPECT_EQ(attempt(honest, "Ann", "right"), Results{6});
    database.createUser("Bob", "bobpw", {}, 0, 0);
    EXPECT_EQ(attempt(hostile, "Bob", "bobpw"), Results{6});

    // After a window the zone may guess again, and the next lockout is two.
    advance(60000);
    for (int i = 0; i < settings.guessLimit; ++i) EXPECT_EQ(attempt(hostile, "Ann", "guess"), Results{2});
    EXPECT_EQ(attempt(hostile, "Ann", "guess"), Results{7});
    advance(60000);
    EXPECT_EQ(attempt(hostile, "Ann", "right"), Results{7});
    advance(60000);
    // The right password, once checked, forgives the zone's guesses.
    EXPECT_EQ(attempt(hostile, "Ann", "right"), Results{6});
    for (int i = 0; i < settings.guessLimit; ++i) EXPECT_EQ(attempt(hostile, "Ann", "guess"), Results{2});
}

TEST_F(LoginGuardTest, GuessesWaitingForAWorkerCountAtOnce) {
    settings.passwordHashing = true;
    settings.passwordVerifierCache = false;
    database.createUser("Ann", "right", {}, 0, 0);
    HeldExecutor held;
    zones.setExecutor(held);
    SimZone& hostile = loginZone(1);
    Results refused;
    for (int i = 0; i < 20; ++i)
        for (uint8_t result : attempt(hostile, "Ann", "guess")) refused.push_back(result);
    EXPECT_EQ(held.held(), static_cast<size_t>(settings.guessLimit)) << "only the guesses within the limit are hashed";
    EXPECT_EQ(refused, Results(20 - settings.guessLimit, 7));
    held.releaseAll();
    EXPECT_EQ(results(hostile), Results(settings.guessLimit, 2));
}

TEST_F(LoginGuardTest, NoLimitWhenTheSettingIsZero) {
    settings.guessLimit = 0;
    database.createUser("Ann", "right", {}, 0, 0);
    SimZone& zone = loginZone(1);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(attempt(zone, "Ann", "guess"), Results{2});
    EXPECT_EQ(attempt(zone, "Ann", "right"), Results{6});
}

// A zone that floods logins needing a hash gets its share of the queue and
// is refused "busy" past it; another zone's login is not refused, and its
// turn comes next, not after the flood.
TEST_F(LoginGuardTest, AFloodingZoneWaitsItsTurnAndIsBusyPastItsShare) {
    settings.passwordHashing = true;
    settings.passwordVerifierCache = false;
    for (int i = 0; i < 10; ++i) database.createUser("Acct" + std::to_string(i), "right", {}, 0, 0);
    database.createUser("Honest", "mine", {}, 0, 0);
    FairHeldExecutor fair(4);
    zones.setExecutor(fair);
    SimZone& hostile = loginZone(1);
    SimZone& honest = loginZone(2);
    Results busy;
    for (int i = 0; i < 10; ++i)
        for (uint8_t result : attempt(hostile, "Acct" + std::to_string(i), "guess")) busy.push_back(result);
    EXPECT_EQ(busy, Results(6, 7)) << "past its share of four";
    EXPECT_TRUE(logged("1 - Player connection refused(Busy): Acct4"));
    EXPECT_EQ(attempt(honest, "Honest", "mine"), Results{});
    EXPECT_EQ(fair.held(), 5u);
    fair.releaseNext();
    EXPECT_EQ(results(hostile), Results{2});
    fair.releaseNext();
    EXPECT_EQ(results(honest), Results{6}) << "the honest zone's turn comes second";
}

TEST_F(LoginGuardTest, ZonesAndHostsStillLoggingInHaveOriginsOfTheirOwn) {
    SimZone& one = loginZone(1);
    SimZone& two = loginZone(2);
    SimZone& pendingA = connect({10, 9, 9, 9}, 6001);
    SimZone& pendingB = connect({10, 9, 9, 9}, 6002);
    SimZone& pendingC = connect({10, 9, 9, 8}, 6001);
    const WorkOrigin first = ZoneProtocol::workOrigin(*hostOf(one));
    EXPECT_NE(first, ZoneProtocol::workOrigin(*hostOf(two)));
    // Hosts of one address that have not logged in share its origin: a
    // peer cannot get a share per connection.
    EXPECT_EQ(ZoneProtocol::workOrigin(*hostOf(pendingA)), ZoneProtocol::workOrigin(*hostOf(pendingB)));
    EXPECT_NE(ZoneProtocol::workOrigin(*hostOf(pendingA)), ZoneProtocol::workOrigin(*hostOf(pendingC)));
    EXPECT_NE(ZoneProtocol::workOrigin(*hostOf(pendingA)), first);
}

// Once a password has been checked or set, a login to its account is
// answered from the verifier, right or wrong, without a hash; a password
// that changes is answered by its new verifier only.
TEST_F(LoginGuardTest, AReturningPlayerIsCheckedWithoutAHash) {
    settings.passwordHashing = true;
    HeldExecutor held;
    zones.setExecutor(held);
    SimZone& zone = loginZone(1);
    settings.allowNewUsers = true;
    settings.askNewUsers = false;
    EXPECT_EQ(attempt(zone, "Ann", "first"), Results{});
    held.releaseAll();
    EXPECT_EQ(results(zone), Results{6});
    const size_t hashes = held.submitted();

    EXPECT_EQ(attempt(zone, "Ann", "wrong"), Results{2});
    EXPECT_EQ(attempt(zone, "Ann", "first"), Results{6});
    EXPECT_EQ(held.submitted(), hashes) << "no hash for a returning player";

    // The password changes (as ?password sets it): the old one is wrong at
    // once, and the new one right, both from the new verifier.
    UserRecord* ann = database.findUser("Ann");
    ann->password = database.passwordField("second");
    EXPECT_EQ(attempt(zone, "Ann", "first"), Results{2});
    EXPECT_EQ(attempt(zone, "Ann", "second"), Results{6});
    EXPECT_EQ(held.submitted(), hashes);

    // A field the verifiers have not seen (set by another writer) is hashed.
    ann->password = makePasswordField("third", true);
    EXPECT_EQ(attempt(zone, "Ann", "third"), Results{});
    held.releaseAll();
    EXPECT_EQ(results(zone), Results{6});
    EXPECT_EQ(held.submitted(), hashes + 1);

    // Turned off, every check is a hash again, and nothing is kept.
    settings.passwordVerifierCache = false;
    EXPECT_EQ(attempt(zone, "Ann", "third"), Results{});
    held.releaseAll();
    EXPECT_EQ(results(zone), Results{6});
    EXPECT_EQ(database.passwordVerifiers().size(), 0u);
}

TEST_F(LoginGuardTest, FloodPerZoneCountsAClaimedAddressForItsZoneAlone) {
    settings.allowNewUsers = true;
    settings.askNewUsers = false;
    SimZone& hostile = loginZone(1);
    SimZone& honest = loginZone(2);
    auto from = [&](SimZone& zone, const std::string& name, IPv4Address address) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = "pw";
        login.playerId = ++playerIDs_;
        login.address = address;
        send(zone, zoneclient::playerLogin(login));
        return results(zone);
    };
    const IPv4Address victim{77, 1, 2, 3};
    for (bool perZone : {false, true}) {
        database.clear();
        settings.floodPerZone = perZone;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(from(hostile, "H" + std::to_string(i), victim), Results{6});
        EXPECT_EQ(from(hostile, "H3", victim), Results{7});
        EXPECT_EQ(from(honest, "Real", victim), perZone ? Results{6} : Results{7}) << "FloodPerZone=" << perZone;
    }
}

}  // namespace
}  // namespace tallysv::testing
