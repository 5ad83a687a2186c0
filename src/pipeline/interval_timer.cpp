#include "pipeline/interval_timer.h"

#include <stdexcept>
#include <time.h>

namespace {

bool queryMonotonicFrequency(int64_t* ticksPerSecond) {
    timespec resolution;
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        return false;
    }
    *ticksPerSecond = 1000000000;
    return true;
}

bool readMonotonicCounter(int64_t* ticks) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return false;
    }
    *ticks = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return true;
}

const TickClock kSystemTickClock = {queryMonotonicFrequency, readMonotonicCounter};

}  // namespace

const TickClock& systemTickClock() {
    return kSystemTickClock;
}

IntervalTimer::IntervalTimer(const TickClock& clock) : clock_(&clock) {
    int64_t ticksPerSecond = 0;
    if (!clock_->queryFrequency(&ticksPerSecond)) {
        throw std::runtime_error("timer is not supported");
    }
    frequency = static_cast<double>(ticksPerSecond);
    if (!clock_->readCounter(&start)) {
        throw std::runtime_error("could not query counter");
    }
}

double IntervalTimer::elapsedSeconds() const {
    int64_t now = 0;
    if (!clock_->readCounter(&now)) {
        throw std::runtime_error("could not query counter");
    }
    return static_cast<double>(now - start) / frequency;
}
