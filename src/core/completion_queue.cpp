#include "core/completion_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace tallysv {

CompletionQueue::CompletionQueue() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Without it no completion could ever wake the loop.
    if (event_ < 0) std::abort();
}

CompletionQueue::~CompletionQueue() {
    if (event_ >= 0) ::close(event_);
}

void CompletionQueue::post(Completion completion) {
    {
        MutexLock guard(mutex_);
        posted_.push_back(std::move(completion));
    }
    const uint64_t one = 1;
    (void)::write(event_, &one, sizeof one);
}

std::vector<CompletionQueue::Completion> CompletionQueue::take() {
    uint64_t count;
    (void)::read(event_, &count, sizeof count);
    std::vector<Completion> taken;
    MutexLock guard(mutex_);
    taken.swap(posted_);
    return taken;
}

size_t CompletionQueue::waiting() const {
    MutexLock guard(mutex_);
    return posted_.size();
}

}  // namespace tallysv
