#include "status/status_history.h"

#include <gtest/gtest.h>

#include "core/clock.h"

namespace tallysv {
namespace {

// 1000000020 is the first second of a minute.
constexpr int32_t kMinuteStart = 1000000020;

class StatusHistoryTest : public ::testing::Test {
protected:
    StatusHistoryTest() : clock(1000, kMinuteStart) {}

    void read() { history.record(sample); }
    void zone(int32_t scoreID, int32_t since, const std::string& name) {
        sample.zones.push_back({scoreID, since, name});
    }
    HistoryBucket bucketAt(int minutesBack) {
        HistoryView v = history.view(minutesBack + 1);
        return v.buckets.front();
    }

    FakeClock clock;
    StatusHistory history{clock};
    HistorySample sample;
};

TEST_F(StatusHistoryTest, ABucketRollsOverExactlyWhenTheMinuteChanges) {
    sample.zoneCounters.chatMessages = 5;
    sample.players = 3;
    read();
    clock.advance(59000);
    sample.zoneCounters.chatMessages = 8;
    sample.players = 7;
    read();
    clock.advance(999);  // 59.999 s: still the first minute
    sample.zoneCounters.chatMessages = 9;
    read();
    clock.advance(1);  // the next minute's first millisecond
    sample.zoneCounters.chatMessages = 10;
    sample.players = 2;
    read();

    HistoryView v = history.view(2);
    ASSERT_EQ(v.buckets.size(), 2u);
    EXPECT_EQ(v.firstMinute * 60, kMinuteStart);
    EXPECT_EQ(v.buckets[0].chatMessages, 9u);  // since start, all in its first minute
    EXPECT_EQ(v.buckets[0].players, 7u);       // the last value of the minute
    EXPECT_EQ(v.buckets[1].chatMessages, 1u);
    EXPECT_EQ(v.buckets[1].players, 2u);
}

TEST_F(StatusHistoryTest, MinutesWithoutTrafficOrWithoutReadingsAreZero) {
    sample.transport.datagramsIn = 40;
    sample.players = 4;
    read();
    // Readings every 250 ms for three minutes without traffic.
    for (int i = 0; i < 3 * 240; ++i) {
        clock.advance(250);
        read();
    }
    // Then none for five minutes, while 6 datagrams come in.
    clock.advance(5 * 60000);
    sample.transport.datagramsIn = 46;
    read();
    clock.advance(3 * 60000);

    HistoryView v = history.view(12);
    ASSERT_EQ(v.buckets.size(), 12u);
    struct Case {
        int minute;  // from the first reading's
        uint64_t datagramsIn;
        uint32_t players;
        bool sampled;
    } cases[] = {
        {0, 40, 4, true}, {1, 0, 4, true},  {2, 0, 4, true},  {3, 0, 4, true},
        {4, 0, 0, false}, {7, 0, 0, false}, {8, 6, 4, true},  {9, 0, 0, false}, {11, 0, 0, false},
    };
    for (const Case& c : cases) {
        const HistoryBucket& b = v.buckets[static_cast<size_t>(c.minute)];
        EXPECT_EQ(b.minute * 60, kMinuteStart + c.minute * 60) << c.minute;
        EXPECT_EQ(b.datagramsIn, c.datagramsIn) << c.minute;
        EXPECT_EQ(b.players, c.players) << c.minute;
        EXPECT_EQ(b.sampled, c.sampled) << c.minute;
    }
}

TEST_F(StatusHistoryTest, TwentyFourHoursWrapAndOlderMinutesNeverComeBack) {
    // A reading a minute for a day and half an hour; minute i has i commands.
    const int total = StatusHistory::kMinutes + 30;
    for (int i = 0; i < total; ++i) {
        if (i > 0) clock.advance(60000);
        sample.commands += static_cast<uint64_t>(i);
        read();
    }
    HistoryView v = history.view(StatusHistory::kMinutes);
    ASSERT_EQ(v.buckets.size(), static_cast<size_t>(StatusHistory::kMinutes));
    for (int k = 0; k < StatusHistory::kMinutes; ++k) {
        const HistoryBucket& b = v.buckets[static_cast<size_t>(k)];
        ASSERT_EQ(b.commands, static_cast<uint64_t>(30 + k)) << k;
        ASSERT_EQ(b.minute * 60, kMinuteStart + (30 + k) * 60) << k;
    }
    // A longer view is a day.
    EXPECT_EQ(history.view(5000).buckets.size(), static_cast<size_t>(StatusHistory::kMinutes));

    // Three days later the slots still hold minutes of the old day, which
    // are not these.
    clock.setNow(kMinuteStart + (total - 1) * 60 + 3 * 86400);
    sample.commands += 2;
    read();
    v = history.view(StatusHistory::kMinutes);
    for (size_t k = 0; k + 1 < v.buckets.size(); ++k) ASSERT_FALSE(v.buckets[k].sampled) << k;
    EXPECT_EQ(v.buckets.back().commands, 2u);
}

TEST_F(StatusHistoryTest, ACounterThatStartedOverCountsWhole) {
    sample.transport.resends = 100;
    read();
    clock.advance(60000);
    sample.transport.resends = 7;
    read();
    EXPECT_EQ(bucketAt(0).resends, 7u);
}

TEST_F(StatusHistoryTest, AClockSetBackFillsTheNewestMinute) {
    sample.commands = 1;
    read();
    clock.setNow(kMinuteStart + 120);
    sample.commands = 2;
    read();
    clock.setNow(kMinuteStart - 600);
    sample.commands = 5;
    read();
    HistoryView v = history.view(3);  // ends at the newest minute read
    EXPECT_EQ(v.buckets[0].commands, 1u);
    EXPECT_EQ(v.buckets[2].commands, 4u);
}

TEST_F(StatusHistoryTest, ZonesThatComeAndGoAreEvents) {
    zone(1, kMinuteStart - 5, "North");
    read();  // North was there before the first reading: it came at its login
    clock.advance(10000);
    zone(2, kMinuteStart + 8, "South");
    read();
    clock.advance(30000);
    sample.zones.erase(sample.zones.begin());  // North drops
    read();
    clock.advance(30000);
    sample.zones.front().connectedSince = kMinuteStart + 65;  // South went and came between readings
    read();

    HistoryView v = history.view(3);
    struct Expected {
        int32_t time;
        int32_t scoreID;
        bool connected;
        const char* name;
    } expected[] = {
        {kMinuteStart - 5, 1, true, "North"},
        {kMinuteStart + 8, 2, true, "South"},
        {kMinuteStart + 40, 1, false, "North"},
        {kMinuteStart + 65, 2, true, "South"},
        {kMinuteStart + 70, 2, false, "South"},
    };
    ASSERT_EQ(v.zoneEvents.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(v.zoneEvents[i].time, expected[i].time) << i;
        EXPECT_EQ(v.zoneEvents[i].scoreID, expected[i].scoreID) << i;
        EXPECT_EQ(v.zoneEvents[i].connected, expected[i].connected) << i;
        EXPECT_STREQ(v.zoneEvents[i].name.data(), expected[i].name) << i;
    }
    // An event older than the view is not in it.
    EXPECT_EQ(history.view(1).zoneEvents.size(), 2u);
}

TEST_F(StatusHistoryTest, OnlyTheNewestZoneEventsAreKept) {
    for (int i = 0; i < StatusHistory::kZoneEvents; ++i) {
        sample.zones.clear();
        zone(i, kMinuteStart + i, std::string(40, 'Z'));  // a name longer than an event holds
        read();
        clock.advance(1000);
    }
    HistoryView v = history.view(60);
    ASSERT_EQ(v.zoneEvents.size(), static_cast<size_t>(StatusHistory::kZoneEvents));
    // Each reading after the first noted a drop and a connect: the oldest
    // kept is the drop of zone 127.
    EXPECT_EQ(v.zoneEvents.front().scoreID, 127);
    EXPECT_FALSE(v.zoneEvents.front().connected);
    EXPECT_EQ(std::string(v.zoneEvents.back().name.data()), std::string(31, 'Z'));
}

}  // namespace
}  // namespace tallysv
