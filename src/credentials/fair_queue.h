#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>

namespace tallysv {

// Who a job is done for: a zone, a host still logging in, or the control
// socket. Workers share their time between origins, not between jobs.
using WorkOrigin = uint64_t;

// Jobs waiting for a worker, kept per origin and handed out one origin at a
// time in turn: an origin with many jobs waiting gets a worker no more often
// than one with a single job, so a zone that floods slows only its own work.
// Each origin may have at most `share` jobs waiting; a job past that is
// refused, whatever the others have waiting. Not thread-safe: its owner
// guards it.
template <typename Job>
class FairQueue {
public:
    explicit FairQueue(size_t share) : share_(share) {}

    size_t share() const { return share_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t waiting(WorkOrigin origin) const {
        auto found = waiting_.find(origin);
        return found == waiting_.end() ? 0 : found->second.size();
    }

    // False, and nothing queued, when the origin's share is full.
    bool push(WorkOrigin origin, Job job) {
        std::deque<Job>& jobs = waiting_[origin];
        if (jobs.size() >= share_) return false;
        if (jobs.empty()) turns_.push_back(origin);
        jobs.push_back(std::move(job));
        ++size_;
        return true;
    }

    // The oldest job of the origin whose turn it is; that origin goes to
    // the back of the turns when it has more waiting.
    std::optional<Job> pop() {
        if (turns_.empty()) return std::nullopt;
        const WorkOrigin origin = turns_.front();
        turns_.pop_front();
        auto found = waiting_.find(origin);
        Job job = std::move(found->second.front());
        found->second.pop_front();
        --size_;
        if (found->second.empty())
            waiting_.erase(found);
        else
            turns_.push_back(origin);
        return job;
    }

    // Takes every waiting job out, in the order pop would give them.
    std::deque<Job> takeAll() {
        std::deque<Job> all;
        while (std::optional<Job> job = pop()) all.push_back(std::move(*job));
        return all;
    }

private:
    size_t share_;
    size_t size_ = 0;
    std::unordered_map<WorkOrigin, std::deque<Job>> waiting_;
    std::deque<WorkOrigin> turns_;  // origins with jobs waiting, next first
};

}  // namespace tallysv
