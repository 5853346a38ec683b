#include "status/status_history.h"

#include <algorithm>
#include <cstring>

#include "commands/command_processor.h"
#include "zone/zone_session.h"

namespace tallysv {

namespace {

int64_t minuteOf(int64_t time) { return time >= 0 ? time / 60 : -((-time + 59) / 60); }

size_t slotOf(int64_t minute) {
    int64_t slot = minute % StatusHistory::kMinutes;
    return static_cast<size_t>(slot < 0 ? slot + StatusHistory::kMinutes : slot);
}

// What a counter grew by. A counter that went back was started over (a
// restarted transport): all of it is new.
uint64_t growth(uint64_t now, uint64_t before) { return now >= before ? now - before : now; }

bool sameZone(const HistorySample::Zone& a, const HistorySample::Zone& b) {
    return a.scoreID == b.scoreID && a.connectedSince == b.connectedSince;
}

}  // namespace

HistorySample takeHistorySample(const CoreTransport& transport, const ZoneProtocol& zones,
                                const CommandProcessor& commands) {
    HistorySample s;
    for (const auto& host : transport.hosts()) {
        if (!host->loggedIn()) continue;
        const ZoneSession& session = zoneOf(*host);
        HistorySample::Zone zone;
        zone.scoreID = session.scoreId;
        zone.name = session.zoneNameText();
        zone.connectedSince = session.loginTime;
        s.players += session.players().size();
        s.zones.push_back(std::move(zone));
    }
    s.transport = transport.counters();
    s.zoneCounters = zones.counters();
    s.commands = commands.commandCount();
    return s;
}

StatusHistory::StatusHistory(const Clock& clock)
    : clock_(clock), buckets_(std::make_unique<std::array<HistoryBucket, kMinutes>>()),
      events_(std::make_unique<std::array<ZoneEvent, kZoneEvents>>()) {}

HistoryBucket& StatusHistory::bucketFor(int64_t minute) {
    HistoryBucket& bucket = (*buckets_)[slotOf(minute)];
    if (bucket.minute != minute || !bucket.sampled) {
        bucket = HistoryBucket{};
        bucket.minute = minute;
        bucket.sampled = true;
    }
    return bucket;
}

void StatusHistory::noteZoneEvent(int32_t time, const HistorySample::Zone& zone, bool connected) {
    ZoneEvent& event = (*events_)[eventCount_ % kZoneEvents];
    event = ZoneEvent{};
    event.time = time;
    event.scoreID = zone.scoreID;
    event.connected = connected;
    std::memcpy(event.name.data(), zone.name.data(), std::min(zone.name.size(), event.name.size() - 1));
    ++eventCount_;
}

void StatusHistory::record(const HistorySample& sample) {
    const int32_t now = clock_.now();
    MutexLock guard(mutex_);
    // A clock set back goes on filling the newest minute rather than
    // rewriting minutes already shown.
    const int64_t minute = std::max(minuteOf(now), latestMinute_);
    latestMinute_ = minute;
    HistoryBucket& b = bucketFor(minute);
    b.players = static_cast<uint32_t>(std::min<uint64_t>(sample.players, UINT32_MAX));
    b.zones = static_cast<uint32_t>(std::min<size_t>(sample.zones.size(), UINT32_MAX));
    for (size_t i = 0; i < b.playerLogins.size(); ++i)
        b.playerLogins[i] += growth(sample.zoneCounters.playerLogins[i], last_.zoneCounters.playerLogins[i]);
    b.chatMessages += growth(sample.zoneCounters.chatMessages, last_.zoneCounters.chatMessages);
    b.broadcasts += growth(sample.zoneCounters.broadcasts, last_.zoneCounters.broadcasts);
    b.commands += growth(sample.commands, last_.commands);
    b.datagramsIn += growth(sample.transport.datagramsIn, last_.transport.datagramsIn);
    b.datagramsOut += growth(sample.transport.datagramsOut, last_.transport.datagramsOut);
    b.resends += growth(sample.transport.resends, last_.transport.resends);
    if (sample.saves != last_.saves) {
        b.saves += static_cast<uint32_t>(std::min<uint64_t>(growth(sample.saves, last_.saves), UINT32_MAX));
        b.longestSaveMs = std::max(b.longestSaveMs, sample.lastSaveDurationMs);
    }

    // A zone is the same zone while its login time is: one that dropped and
    // logged in again between two readings went and came.
    for (const HistorySample::Zone& before : last_.zones) {
        bool still = std::any_of(sample.zones.begin(), sample.zones.end(),
                                 [&](const HistorySample::Zone& z) { return sameZone(z, before); });
        if (!still) noteZoneEvent(now, before, false);
    }
    for (const HistorySample::Zone& zone : sample.zones) {
        bool known = std::any_of(last_.zones.begin(), last_.zones.end(),
                                 [&](const HistorySample::Zone& z) { return sameZone(z, zone); });
        if (!known) noteZoneEvent(zone.connectedSince > 0 && zone.connectedSince <= now ? zone.connectedSince : now,
                                  zone, true);
    }
    last_ = sample;
}

HistoryView StatusHistory::view(int minutes) const {
    minutes = std::clamp(minutes, 1, kMinutes);
    HistoryView view;
    view.now = clock_.now();
    MutexLock guard(mutex_);
    const int64_t last = std::max(minuteOf(view.now), latestMinute_);
    view.firstMinute = last - minutes + 1;
    view.buckets.resize(static_cast<size_t>(minutes));
    for (int i = 0; i < minutes; ++i) {
        const int64_t minute = view.firstMinute + i;
        const HistoryBucket& kept = (*buckets_)[slotOf(minute)];
        if (kept.sampled && kept.minute == minute) {
            view.buckets[static_cast<size_t>(i)] = kept;
        } else {
            view.buckets[static_cast<size_t>(i)].minute = minute;
        }
    }
    const size_t kept = std::min<size_t>(eventCount_, kZoneEvents);
    for (size_t i = eventCount_ - kept; i < eventCount_; ++i) {
        const ZoneEvent& event = (*events_)[i % kZoneEvents];
        const int64_t minute = minuteOf(event.time);
        if (minute >= view.firstMinute && minute <= last) view.zoneEvents.push_back(event);
    }
    std::stable_sort(view.zoneEvents.begin(), view.zoneEvents.end(),
                     [](const ZoneEvent& a, const ZoneEvent& b) { return a.time < b.time; });
    return view;
}

}  // namespace tallysv
