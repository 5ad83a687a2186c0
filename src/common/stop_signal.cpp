#include "common/stop_signal.h"

#include <csignal>

namespace {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void requestStop(int) {
    gStopRequested.store(true);
}

}  // namespace

const std::atomic<bool>* installStopSignals() {
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGXFSZ, SIG_IGN);
    return &gStopRequested;
}
