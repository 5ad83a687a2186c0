// Wall-clock interval timer over a monotonic 64-bit tick counter.
#pragma once

#include <cstdint>

// The two platform operations the timer needs; each fills its argument and returns false on
// failure. Replaceable so that tests can make either one fail.
struct TickClock {
    bool (*queryFrequency)(int64_t* ticksPerSecond);
    bool (*readCounter)(int64_t* ticks);
};

// CLOCK_MONOTONIC in nanosecond ticks (frequency 1e9).
const TickClock& systemTickClock();

class IntervalTimer {
public:
    // Starts timing. Throws std::runtime_error "timer is not supported" when the frequency query
    // fails, "could not query counter" when the counter read fails.
    explicit IntervalTimer(const TickClock& clock = systemTickClock());

    // Seconds since construction; may be called any number of times. Throws std::runtime_error
    // "could not query counter" when the counter read fails.
    double elapsedSeconds() const;

private:
    const TickClock* clock_;
    double frequency;
    int64_t start;
};
