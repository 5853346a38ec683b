#include <gtest/gtest.h>

#include "db/guess_table.h"

namespace tallysv::testing {
namespace {

using Verdict = GuessTable::Verdict;
constexpr int32_t kLimit = 3;
constexpr uint32_t kWindow = 1000;

// Attempts of one zone on one account at `tick`, `count` times.
std::vector<Verdict> guesses(GuessTable& table, uint32_t tick, int count, int32_t scoreID = 1, int32_t userID = 9) {
    std::vector<Verdict> out;
    for (int i = 0; i < count; ++i) out.push_back(table.attempt(scoreID, userID, tick, kLimit, kWindow));
    return out;
}

const std::vector<Verdict> kThreeChecked{Verdict::Check, Verdict::Check, Verdict::Check};

// Ticks wrap: a table that starts just before the wrap behaves as any.
class GuessTableAtTick : public ::testing::TestWithParam<uint32_t> {};

TEST_P(GuessTableAtTick, LockoutsDoubleUntilQuietAndTheWindowSlides) {
    const uint32_t t = GetParam();
    GuessTable table;
    EXPECT_EQ(guesses(table, t, 3), kThreeChecked);
    EXPECT_EQ(guesses(table, t + 10, 1), std::vector<Verdict>{Verdict::TooMany});
    EXPECT_EQ(guesses(table, t + 1009, 1), std::vector<Verdict>{Verdict::TooMany}) << "a lockout of one window";
    // Free again, and the second lockout lasts two windows.
    EXPECT_EQ(guesses(table, t + 1010, 4), (std::vector<Verdict>{Verdict::Check, Verdict::Check, Verdict::Check,
                                                                  Verdict::TooMany}));
    EXPECT_EQ(guesses(table, t + 3009, 1), std::vector<Verdict>{Verdict::TooMany});
    EXPECT_EQ(guesses(table, t + 3010, 1), std::vector<Verdict>{Verdict::Check});
    // Quiet for a window past the last lockout's length: forgiven whole,
    // the next lockout is one window again.
    const uint32_t later = t + 3010 + kWindow + 2 * kWindow + 1;
    EXPECT_EQ(guesses(table, later, 4).back(), Verdict::TooMany);
    EXPECT_EQ(guesses(table, later + 1000, 1), std::vector<Verdict>{Verdict::Check});
    // Attempts spread wider than a window never lock.
    GuessTable slow;
    for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(guesses(slow, t + i * 600, 1), std::vector<Verdict>{Verdict::Check});
}

INSTANTIATE_TEST_SUITE_P(Ticks, GuessTableAtTick, ::testing::Values(0u, 0xFFFFFF00u));

TEST(GuessTable, ZonesAndAccountsAreCountedApartAndTheRightPasswordForgives) {
    GuessTable table;
    guesses(table, 0, 4);
    EXPECT_EQ(guesses(table, 1, 3, 2, 9), kThreeChecked) << "another zone";
    EXPECT_EQ(guesses(table, 1, 3, 1, 10), kThreeChecked) << "another account";
    table.forget(1, 9);
    EXPECT_EQ(guesses(table, 2, 3), kThreeChecked);
}

TEST(GuessTable, LockoutsStopGrowingAtADayAndTheTableIsBounded) {
    GuessTable table;
    const uint32_t window = 60000;
    uint32_t t = 0;
    // Each round: the limit, one more (locked), then wait the lockout out.
    uint32_t lockout = window;
    for (int round = 0; round < 16; ++round) {
        for (int i = 0; i < kLimit; ++i) ASSERT_EQ(table.attempt(1, 9, t, kLimit, window), Verdict::Check);
        ASSERT_EQ(table.attempt(1, 9, t, kLimit, window), Verdict::TooMany);
        ASSERT_EQ(table.attempt(1, 9, t + lockout - 1, kLimit, window), Verdict::TooMany) << round;
        t += lockout;
        lockout = std::min(lockout * 2, GuessTable::kLongestLockout);
    }
    EXPECT_EQ(lockout, GuessTable::kLongestLockout);

    for (int32_t user = 0; user < static_cast<int32_t>(GuessTable::kMostEntries) + 10; ++user)
        table.attempt(3, user, t, kLimit, window);
    EXPECT_EQ(table.size(), GuessTable::kMostEntries);
}

}  // namespace
}  // namespace tallysv::testing
