// A command that sets or checks a password waits for its hash with its whole
// text kept; once it has run, no heap block freed on the way holds the
// password. Freed blocks are searched by replacing the global allocation
// functions of this test program (plain malloc and free, with a search armed
// only inside one scope).
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "command_fixture.h"
#include "credentials/password_store.h"
#include "support/held_executor.h"

namespace {

std::atomic<const char*> commandFreedNeedle{nullptr};
std::atomic<int> commandFreedWithNeedle{0};

void* allocateForCommandTest(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void releaseForCommandTest(void* p) noexcept {
    if (!p) return;
    if (const char* needle = commandFreedNeedle.load()) {
        if (::memmem(p, malloc_usable_size(p), needle, std::strlen(needle))) commandFreedWithNeedle.fetch_add(1);
    }
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocateForCommandTest(size); }
void* operator new[](std::size_t size) { return allocateForCommandTest(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { releaseForCommandTest(p); }
void operator delete[](void* p) noexcept { releaseForCommandTest(p); }
void operator delete(void* p, std::size_t) noexcept { releaseForCommandTest(p); }
void operator delete[](void* p, std::size_t) noexcept { releaseForCommandTest(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { releaseForCommandTest(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { releaseForCommandTest(p); }

namespace tallysv::testing {
namespace {

class WipedCommandTextTest : public CommandTest {
protected:
    void SetUp() override {
        usePasswordTestCost(true);
        clock.setTick(100000);
        arena = &loginZone(5, 3, "Arena");
        ann = seat(*arena, "Ann", 1);
        settings.passwordHashing = true;
        settings.passwordVerifierCache = false;
        zones.setExecutor(held);
    }
    void TearDown() override { usePasswordTestCost(false); }

    // Runs the held work with freed blocks searched for `password`; how many
    // held it.
    int releaseSearchingFor(const char* password) {
        commandFreedWithNeedle.store(0);
        commandFreedNeedle.store(password);
        held.releaseAll();
        commandFreedNeedle.store(nullptr);
        return commandFreedWithNeedle.load();
    }

    HeldExecutor held;
    SimZone* arena = nullptr;
    Seat ann{};
};

TEST_F(WipedCommandTextTest, TheSearchFindsATextFreedAsItWas) {
    commandFreedWithNeedle.store(0);
    commandFreedNeedle.store("a text long enough for the heap");
    delete new std::string("a text long enough for the heap");
    commandFreedNeedle.store(nullptr);
    EXPECT_EQ(commandFreedWithNeedle.load(), 1);
}

TEST_F(WipedCommandTextTest, NoCopyOfACommandsPasswordOutlivesItsHashWork) {
    struct Case {
        const char* command;
        const char* password;
        const char* reply;
    };
    const Case cases[] = {
        {"?password=Ux7#short", "Ux7#short", "Password changed"},
        {"?password=a longer new password of 30 c", "a longer new password of 30 c", "Password changed"},
        {"?squadcreate=Ore:squad secret number one", "squad secret number one",
         "Squad successfully created and joined. Exit zone for it to take effect"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(type(ann, c.command), Lines{}) << c.command;
        ASSERT_EQ(held.held(), 1u) << c.command;
        EXPECT_EQ(releaseSearchingFor(c.password), 0) << c.command;
        EXPECT_EQ(texts(*arena), Lines{c.reply}) << c.command;
        EXPECT_TRUE(sessionOf(*arena).pending.empty()) << c.command;
        EXPECT_EQ(database.passwordResults(), nullptr) << c.command;
    }
    EXPECT_TRUE(checkPassword(ann.session->user->password, "a longer new password of 30 c", true).matches);
}

}  // namespace
}  // namespace tallysv::testing
