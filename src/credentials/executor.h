#pragma once
#include <functional>
#include <utility>

#include "credentials/fair_queue.h"

namespace tallysv {

// Where work that takes time runs: a password hash or a whois lookup must
// never hold the network's loop, and so every other zone, while it runs.
// The network side hands it over with submit(); `work` runs elsewhere,
// touching nothing of the network's (it gets copies of what it needs), and
// `done` runs afterwards on the network's loop, like any other event of it,
// where it may act on hosts, players and the database again (after
// checking that what it acts on is still there). The queue toward the
// workers is bounded for each origin: when the origin's share is full,
// submit returns false, queues nothing and runs neither function, and the
// caller answers with its refusal at once.
class Executor {
public:
    using Work = std::function<void()>;
    using Done = std::function<void()>;

    virtual ~Executor() = default;
    virtual bool submit(WorkOrigin origin, Work work, Done done) = 0;
};

// Runs both at once, inside submit, on the caller's thread (which holds the
// lock). The core's default: behaviour stays synchronous and immediate.
class InlineExecutor final : public Executor {
public:
    bool submit(WorkOrigin, Work work, Done done) override {
        work();
        done();
        return true;
    }
};

}  // namespace tallysv
