#pragma once
#include <cstddef>
#include <deque>
#include <utility>

#include "credentials/executor.h"

namespace tallysv::testing {

// An executor whose jobs wait until the test releases them, in any order,
// on the test's own thread: what a worker pool does, made deterministic
// under the fake clock. A bound, when set, refuses jobs like a full queue.
class HeldExecutor final : public Executor {
public:
    explicit HeldExecutor(size_t bound = 0) : bound_(bound) {}

    bool submit(WorkOrigin, Work work, Done done) override {
        if (bound_ != 0 && jobs_.size() >= bound_) {
            ++refused_;
            return false;
        }
        jobs_.push_back(Job{std::move(work), std::move(done)});
        ++submitted_;
        return true;
    }

    size_t held() const { return jobs_.size(); }
    size_t submitted() const { return submitted_; }
    size_t refused() const { return refused_; }
    void setBound(size_t bound) { bound_ = bound; }

    // Runs the job at `index` (0 is the oldest held): its work, then its done.
    void release(size_t index = 0) {
        Job job = std::move(jobs_.at(index));
        jobs_.erase(jobs_.begin() + static_cast<std::ptrdiff_t>(index));
        job.work();
        job.done();
    }
    // Releases the oldest until none is held (jobs submitted meanwhile too).
    void releaseAll() {
        while (!jobs_.empty()) release(0);
    }
    // Drops every held job without running it (a pool that stops).
    void dropAll() { jobs_.clear(); }

private:
    struct Job {
        Work work;
        Done done;
    };
    std::deque<Job> jobs_;
    size_t bound_;
    size_t submitted_ = 0;
    size_t refused_ = 0;
};

}  // namespace tallysv::testing
