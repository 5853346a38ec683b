#include <algorithm>

#include "zone/zone_protocol.h"
#include "zone/zone_session.h"

namespace tallysv {

WorkOrigin ZoneProtocol::workOrigin(const Host& zone) {
    // A zone's session is the zone once it has logged in; before that, a
    // peer could open as many hosts as there are slots, so its hosts share
    // the share of their address.
    if (zone.loggedIn()) return WorkOrigin{1} << 32 | static_cast<uint32_t>(zoneOf(zone).scoreId);
    const IPv4Address& a = zone.peer.address;
    return WorkOrigin{2} << 32 | uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
}

bool ZoneProtocol::runInOrder(Host& zone, uint64_t key, WorkKind kind, Executor::Work work,
                              std::function<void()> finish) {
    ZoneSession& session = zoneSession(zone);
    ZoneSession::PendingQueue& queue = session.pending[key];
    const uint64_t job = ++lastJob_;
    ZoneSession::PendingStep step;
    step.job = job;
    step.finish = std::move(finish);
    // A step made while the queue is being completed (by the message or the
    // completion being handled now) comes before everything still waiting.
    const bool first = queue.releasing;
    if (first)
        queue.steps.push_front(std::move(step));
    else
        queue.steps.push_back(std::move(step));

    // The job may complete inside submit (an inline executor): the queue is
    // not touched after it unless it was refused, when nothing ran.
    auto done = [this, id = zone.id, key, job] {
        // The zone may have gone meanwhile: its id then names nothing.
        Host* host = transport_.find(id);
        if (!host) return;
        ZoneSession& owner = zoneSession(*host);
        auto found = owner.pending.find(key);
        if (found == owner.pending.end()) return;
        for (ZoneSession::PendingStep& s : found->second.steps) {
            if (s.job == job) s.completed = true;
        }
        releasePending(*host, key);
    };
    Executor& executor = kind == WorkKind::Lookup ? *lookupExecutor_ : *executor_;
    if (executor.submit(workOrigin(zone), std::move(work), std::move(done))) return true;

    auto& steps = queue.steps;
    steps.erase(std::remove_if(steps.begin(), steps.end(),
                               [job](const ZoneSession::PendingStep& s) { return s.job == job; }),
                steps.end());
    if (steps.empty() && !queue.releasing) session.pending.erase(key);
    return false;
}

bool ZoneProtocol::holdBehindPending(Host& zone, uint64_t key, const InboundMessage& message) {
    ZoneSession* session = existingZoneSession(zone);
    if (!session) return false;
    auto found = session->pending.find(key);
    // A message being handled out of the queue is its turn.
    if (found == session->pending.end() || found->second.releasing) return false;
    auto& steps = found->second.steps;
    const auto held = std::count_if(steps.begin(), steps.end(), [](const auto& s) { return s.job == 0; });
    // A client that sends on and on while its password is checked loses
    // what is past the bound, rather than have the server keep it all.
    if (static_cast<size_t>(held) >= kMostHeld) return true;
    ZoneSession::PendingStep step;
    step.message.bytes.assign(message.bytes.begin(), message.bytes.begin() + message.length);
    steps.push_back(std::move(step));
    return true;
}

void ZoneProtocol::releasePending(Host& zone, uint64_t key) {
    ZoneSession& session = zoneSession(zone);
    auto found = session.pending.find(key);
    if (found == session.pending.end() || found->second.releasing) return;
    // Nodes of the map stay where they are while others come and go. A
    // zone closed meanwhile keeps its session until the transport takes
    // its slot back, which is never while this layer acts.
    ZoneSession::PendingQueue& queue = found->second;
    queue.releasing = true;
    LogBatch lines(log_);
    while (!zone.closed() && !queue.steps.empty()) {
        ZoneSession::PendingStep& front = queue.steps.front();
        if (front.job != 0) {
            if (!front.completed) break;
            std::function<void()> finish = std::move(front.finish);
            queue.steps.pop_front();
            finish();
        } else {
            InboundMessage held{&zone, 0, std::move(front.message.bytes)};
            held.length = static_cast<int16_t>(held.bytes.size());
            queue.steps.pop_front();
            dispatch(held);
            // It may have been a login: no copy outlives its handling.
            wipeBytes(held.bytes);
        }
    }
    queue.releasing = false;
    if (queue.steps.empty()) session.pending.erase(key);
}

ZoneProtocol::LoginWork ZoneProtocol::deferLogin(Host& zone, uint64_t key, PasswordNeeds needs,
                                                 std::function<void(Host&)> resume) {
    if (!database_.passwordWorkNeeded(needs)) return LoginWork::Now;
    const bool hashing = database_.settings().passwordHashing;
    auto results = std::make_shared<PasswordResults>();
    auto work = [results, needs = std::move(needs), hashing] { *results = computePasswordResults(needs, hashing); };
    // The login (its password among it) is kept by `resume` only until it
    // goes on, and wiped then or when the queue goes unhandled.
    auto finish = [this, id = zone.id, results, resume = std::move(resume)] {
        Host* host = transport_.find(id);
        if (!host) return;
        // The record may have changed meanwhile: the login then finds no
        // result for its new inputs and checks again.
        UsingPasswordResults using_(database_, results.get());
        resume(*host);
    };
    return runInOrder(zone, key, WorkKind::Password, std::move(work), std::move(finish)) ? LoginWork::Later
                                                                                         : LoginWork::Busy;
}

}  // namespace tallysv
