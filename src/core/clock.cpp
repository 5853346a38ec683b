#include "core/clock.h"

#include <ctime>

namespace tallysv {

uint32_t SystemClock::tick() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int32_t SystemClock::now() const { return static_cast<int32_t>(std::time(nullptr)); }

}  // namespace tallysv
