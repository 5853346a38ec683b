#pragma once
#include <cstdint>

namespace tallysv {

// Time as the server sees it. `tick()` is a wrapping 32-bit millisecond
// counter: compare two ticks only by unsigned subtraction (a - b >= limit).
// `now()` is calendar time in seconds since 1970, as stored in the files.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tick() const = 0;
    virtual int32_t now() const = 0;
};

// Monotonic milliseconds since boot cut to 32 bits, and the system's time.
class SystemClock final : public Clock {
public:
    uint32_t tick() const override;
    int32_t now() const override;
};

// A clock that moves only when told to; tests drive timed behaviour with it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(uint32_t tick = 1000, int32_t now = 1000000000) : tick_(tick), now_(now) {}
    uint32_t tick() const override { return tick_; }
    int32_t now() const override { return now_; }
    // Advances the tick and the calendar time together (ms; the calendar
    // time moves by whole seconds as the ticks add up).
    void advance(uint32_t ms) {
        tick_ += ms;
        subSecond_ += ms;
        now_ += static_cast<int32_t>(subSecond_ / 1000);
        subSecond_ %= 1000;
    }
    void setTick(uint32_t tick) { tick_ = tick; }
    void setNow(int32_t now) { now_ = now; }

private:
    uint32_t tick_;
    int32_t now_;
    uint32_t subSecond_ = 0;
};

}  // namespace tallysv
