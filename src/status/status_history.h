#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/mutex.h"
#include "status/status_snapshot.h"

namespace tallysv {

class CommandProcessor;

// The network's counters and gauges as read at one moment: cheaper than a
// snapshot (no database figures, no addresses), so the main loop can read
// one on every pass.
struct HistorySample {
    struct Zone {
        int32_t scoreID = 0;
        int32_t connectedSince = 0;
        std::string name;
    };
    std::vector<Zone> zones;
    uint64_t players = 0;
    TransportCounters transport;
    ZoneCounters zoneCounters;
    uint64_t commands = 0;
    uint64_t saves = 0;              // saves that ended, written or not
    uint32_t lastSaveDurationMs = 0;
};

// Reads the counters. Called with the lock held; only copies.
HistorySample takeHistorySample(const CoreTransport& transport, const ZoneProtocol& zones,
                                const CommandProcessor& commands);

// One minute of the network. Gauges hold the last value read in the minute;
// counts are what happened in it.
struct HistoryBucket {
    int64_t minute = 0;  // calendar time / 60
    bool sampled = false;  // false: no reading fell in this minute (all zero)
    uint32_t players = 0;
    uint32_t zones = 0;
    std::array<uint64_t, static_cast<size_t>(PlayerLoginOutcome::Count)> playerLogins{};
    uint64_t chatMessages = 0;
    uint64_t broadcasts = 0;
    uint64_t commands = 0;
    uint64_t datagramsIn = 0;
    uint64_t datagramsOut = 0;
    uint64_t resends = 0;
    uint32_t saves = 0;
    uint32_t longestSaveMs = 0;  // of the saves that ended in the minute
};

// A zone that came or went.
struct ZoneEvent {
    int32_t time = 0;
    int32_t scoreID = 0;
    bool connected = false;  // false: it dropped
    std::array<char, 32> name{};  // cut to fit, NUL-terminated
};

// A stretch of the history, oldest minute first, every minute present
// (minutes without a reading are zero).
struct HistoryView {
    int64_t firstMinute = 0;
    std::vector<HistoryBucket> buckets;
    std::vector<ZoneEvent> zoneEvents;  // within the stretch, oldest first
    int32_t now = 0;
    bool empty() const { return buckets.empty(); }
};

// The last 24 hours, one bucket a minute, in memory of fixed size: the
// minute of each reading decides its bucket, so a bucket rolls over exactly
// when the clock's minute changes, and a bucket 24 hours old is reused. A
// reading adds what the counters grew by since the last reading. Readings
// and views take the history's own lock, never the network's.
class StatusHistory {
public:
    static constexpr int kMinutes = 24 * 60;
    static constexpr int kZoneEvents = 256;

    explicit StatusHistory(const Clock& clock);

    // Adds a reading taken now.
    void record(const HistorySample& sample);
    // The last `minutes` minutes (1 to kMinutes) up to the clock's current
    // minute, and the zone events within them.
    HistoryView view(int minutes) const;

private:
    HistoryBucket& bucketFor(int64_t minute) REQUIRES(mutex_);
    void noteZoneEvent(int32_t time, const HistorySample::Zone& zone, bool connected) REQUIRES(mutex_);

    const Clock& clock_;
    mutable Mutex mutex_;
    std::unique_ptr<std::array<HistoryBucket, kMinutes>> buckets_ PT_GUARDED_BY(mutex_);
    std::unique_ptr<std::array<ZoneEvent, kZoneEvents>> events_ PT_GUARDED_BY(mutex_);
    size_t eventCount_ GUARDED_BY(mutex_) = 0;  // events ever noted; the newest kZoneEvents are kept
    int64_t latestMinute_ GUARDED_BY(mutex_) = -1;
    HistorySample last_ GUARDED_BY(mutex_);  // the last reading (all zero before the first)
};

}  // namespace tallysv
