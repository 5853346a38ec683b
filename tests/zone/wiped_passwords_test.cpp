// A login's plain password is dropped once its hash work is done: no heap
// block freed while the work completes still holds it, and nothing is left
// in the queues the server keeps. Freed blocks are searched by replacing
// the global allocation functions of this test program (plain malloc and
// free, with a search that is armed only inside one scope).
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "credentials/password_store.h"
#include "support/held_executor.h"
#include "zone/zone_session.h"
#include "zone_fixture.h"

namespace {

// The text searched for in every block freed while it is set, and how many
// freed blocks held it.
std::atomic<const char*> freedNeedle{nullptr};
std::atomic<int> freedWithNeedle{0};

void* allocateForTest(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void releaseForTest(void* p) noexcept {
    if (!p) return;
    if (const char* needle = freedNeedle.load()) {
        const size_t size = malloc_usable_size(p);
        if (::memmem(p, size, needle, std::strlen(needle))) freedWithNeedle.fetch_add(1);
    }
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocateForTest(size); }
void* operator new[](std::size_t size) { return allocateForTest(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { releaseForTest(p); }
void operator delete[](void* p) noexcept { releaseForTest(p); }
void operator delete(void* p, std::size_t) noexcept { releaseForTest(p); }
void operator delete[](void* p, std::size_t) noexcept { releaseForTest(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { releaseForTest(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { releaseForTest(p); }

namespace tallysv::testing {
namespace {

// Counts the freed blocks that hold `needle` while it lives.
class FreedBlockSearch {
public:
    explicit FreedBlockSearch(const char* needle) {
        freedWithNeedle.store(0);
        freedNeedle.store(needle);
    }
    ~FreedBlockSearch() { freedNeedle.store(nullptr); }
    int found() const { return freedWithNeedle.load(); }
};

class WipedPasswordsTest : public ZoneTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        settings.passwordHashing = true;
        settings.passwordVerifierCache = false;
        zones.setExecutor(held);
        clock.setTick(100000);
    }
    void TearDown() override { usePasswordTestCost(false); }

    void sendWipeLogin(SimZone& zone, const std::string& name, const std::string& password, uint32_t playerID) {
        zoneclient::PlayerLogin login;
        login.name = name;
        login.password = password;
        login.playerId = playerID;
        login.address = nextPlayerAddress();
        send(zone, zoneclient::playerLogin(login));
    }

    HeldExecutor held;
};

// The search itself finds a password freed as it was.
TEST_F(WipedPasswordsTest, TheSearchFindsAPasswordFreedAsItWas) {
    FreedBlockSearch search("long enough to be on the heap");
    delete new std::string("long enough to be on the heap");
    EXPECT_EQ(search.found(), 1);
}

TEST_F(WipedPasswordsTest, NoCopyOfALoginPasswordOutlivesItsHashWork) {
    struct Case {
        const char* what;
        const char* password;  // short ones live inside their strings, long ones on the heap
        bool known;            // a returning account (a check) or a new one (a field)
    };
    const Case cases[] = {
        {"new account, short", "Tz9#kQ", false},
        {"new account, long", "a much longer secret of 29 ch", false},
        {"returning, short", "Tz9#kQ", true},
        {"returning, long", "a much longer secret of 29 ch", true},
    };
    SimZone& zone = loginZone(1);
    uint32_t playerID = 0;
    for (const Case& c : cases) {
        const std::string name = std::string("W") + std::to_string(playerID);
        if (c.known) database.createUser(name, c.password, {}, 0, 0);
        sendWipeLogin(zone, name, c.password, ++playerID);
        ASSERT_EQ(held.held(), 1u) << c.what;
        ASSERT_FALSE(sessionOf(zone).pending.empty()) << c.what;
        {
            FreedBlockSearch search(c.password);
            held.release();
            EXPECT_EQ(search.found(), 0) << c.what;
        }
        EXPECT_TRUE(sessionOf(zone).pending.empty()) << c.what;
        EXPECT_EQ(database.passwordResults(), nullptr) << c.what;
        ASSERT_NE(player(zone, playerID), nullptr) << c.what;
        EXPECT_TRUE(Database::passwordMatches(database.findUser(name)->password, c.password)) << c.what;
    }
}

// A message held behind a login that is waiting for its hash may itself be
// a login: it is wiped once handled too.
TEST_F(WipedPasswordsTest, AHeldLoginBehindAnotherIsWipedOnceHandled) {
    SimZone& zone = loginZone(1);
    sendWipeLogin(zone, "First", "first login secret pw", 1);
    sendWipeLogin(zone, "First", "second login secret pw", 1);
    ASSERT_EQ(held.held(), 1u);
    FreedBlockSearch search("second login secret pw");
    held.releaseAll();
    EXPECT_EQ(search.found(), 0);
    EXPECT_TRUE(sessionOf(zone).pending.empty());
}

}  // namespace
}  // namespace tallysv::testing
