#pragma once
#include <functional>
#include <mutex>
#include <vector>

#include "core/mutex.h"

namespace tallysv {

// Where work done on other threads comes back to the network's loop: a
// worker posts a completion and the loop, woken through the queue's event
// descriptor, runs it on its own thread with the network's state in its
// hands. A poster touches nothing but the queue itself.
class CompletionQueue {
public:
    using Completion = std::function<void()>;

    CompletionQueue();
    ~CompletionQueue();
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    // From any thread: queues the completion and wakes the loop.
    void post(Completion completion) EXCLUDES(mutex_);
    // Readable while completions wait (an eventfd).
    int descriptor() const { return event_; }
    // The loop: everything posted so far, in the order it was posted; the
    // descriptor is read empty first, so that a post after it wakes again.
    std::vector<Completion> take() EXCLUDES(mutex_);
    // Posted and not yet taken.
    size_t waiting() const EXCLUDES(mutex_);

private:
    int event_ = -1;
    mutable Mutex mutex_;  // the posts, between the posters and the loop
    std::vector<Completion> posted_ GUARDED_BY(mutex_);
};

}  // namespace tallysv
