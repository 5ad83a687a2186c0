#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "pipeline/interval_timer.h"

namespace {

// Fake clocks: a counter that advances 250 ms per read at 1000 ticks per second, and failures.
int64_t gFakeTicks = 0;
bool fakeFrequency(int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000;
    return true;
}
bool failingFrequency(int64_t*) {
    return false;
}
bool fakeCounter(int64_t* ticks) {
    gFakeTicks += 250;
    *ticks = gFakeTicks;
    return true;
}
bool failingCounter(int64_t*) {
    return false;
}
// Succeeds on the first read only, so the timer starts but cannot be read at the end.
int gReadsLeft = 0;
bool counterThatDies(int64_t* ticks) {
    if (gReadsLeft-- <= 0) {
        return false;
    }
    *ticks = 0;
    return true;
}

std::string runtimeErrorOf(const TickClock& clock) {
    try {
        IntervalTimer timer(clock);
        timer.elapsedSeconds();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(IntervalTimer, MeasuresFromConstructionWithTheClocksRate) {
    const TickClock clock = {fakeFrequency, fakeCounter};
    gFakeTicks = 0;
    IntervalTimer timer(clock);
    EXPECT_EQ(timer.elapsedSeconds(), 0.25);
    EXPECT_EQ(timer.elapsedSeconds(), 0.5);  // same start, never smaller
    IntervalTimer real;
    const double first = real.elapsedSeconds();
    EXPECT_GE(first, 0.0);
    EXPECT_GE(real.elapsedSeconds(), first);
}

TEST(IntervalTimer, ClockFailuresRaiseTheirMessages) {
    EXPECT_EQ(runtimeErrorOf({failingFrequency, fakeCounter}), "timer is not supported");
    EXPECT_EQ(runtimeErrorOf({fakeFrequency, failingCounter}), "could not query counter");
    gReadsLeft = 1;
    EXPECT_EQ(runtimeErrorOf({fakeFrequency, counterThatDies}), "could not query counter");
}
